"""The test pool end to end: messages, share judging, scripted behaviours and the summary.

A raw client sees what a WebSocket library would hide: every frame's opcode and FIN bit, the
ping between fragments, the HTTP status of a refused upgrade.
Run: python3 -m unittest discover -s tests/tools -p test_testpool.py
"""

import base64
import json
import os
import queue
import re
import signal
import socket
import struct
import subprocess
import sys
import threading
import time
import unittest

TOOLS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools")
sys.path.insert(0, TOOLS)
import oracle  # noqa: E402

try:
    import websockets  # noqa: F401
    HAVE_WEBSOCKETS = True
except ImportError:
    HAVE_WEBSOCKETS = False

NEWJOB = re.compile(r'\{"NewJob":\{"job_id":"([^"]+)","difficulty":"(\d+)",'
                    r'"mining_hash":"([0-9a-f]{64})"\}\}')
HELLO = '{"Hello":{"payout_address":"P","worker_name":"W","client":"tarn-cuda/1.0.8"}}'


def job_result(job, nonce, work=None, count=5):
    return ('{"JobResult":{"status":"completed","job_id":"%s","nonce":"%s","work":"%s",'
            '"hash_count":%d,"elapsed_time":0.0,"miner_id":null}}'
            % (job, nonce, nonce if work is None else work, count))


def find_nonce(header, difficulty, below):
    """A random nonce whose oracle hash is (or is not) below the target of the difficulty."""
    target = oracle.target_from_difficulty(difficulty)
    while True:
        nonce = os.urandom(64)
        if oracle.is_hit(oracle.hash_full(header, nonce), target) == below:
            return nonce.hex()


def oracle_says(hdr, nonce, difficulty):
    """The oracle's command-line verdict, the one the C++ end-to-end tests rely on."""
    return subprocess.run([sys.executable, os.path.join(TOOLS, "oracle.py"), "check", hdr, nonce,
                           str(difficulty)], stdout=subprocess.DEVNULL).returncode


class Pool:
    """tools/testpool.py as a child process whose output lines are read with time limits."""

    def __init__(self, *args):
        self.proc = subprocess.Popen(
            [sys.executable, os.path.join(TOOLS, "testpool.py"), "--port", "0", *args],
            stdout=subprocess.PIPE, text=True)
        self.lines = queue.Queue()
        self.all = []
        threading.Thread(target=self._read, daemon=True).start()
        first = self.next_line()
        m = re.fullmatch(r"LISTENING (\d+)", first or "")
        if not m:
            self.proc.kill()
            raise AssertionError("the pool did not start: %r" % first)
        self.port = int(m.group(1))

    def _read(self):
        for line in self.proc.stdout:
            self.all.append(line.rstrip("\n"))
            self.lines.put(line.rstrip("\n"))

    def next_line(self, pattern=None, timeout=10):
        deadline = time.monotonic() + timeout
        while True:
            try:
                line = self.lines.get(timeout=max(0.0, deadline - time.monotonic()))
            except queue.Empty:
                raise AssertionError("no pool line matching %r" % pattern)
            if pattern is None or re.search(pattern, line):
                return line

    def summary(self, timeout=10):
        self.proc.wait(timeout)
        assert self.proc.returncode == 0, self.proc.returncode
        time.sleep(0.1)  # the reader thread takes the last lines
        line = next(l for l in self.all if l.startswith("SUMMARY "))
        return {k: int(v) for k, v in (kv.split("=") for kv in line.split()[1:])}

    def stop(self):
        self.proc.send_signal(signal.SIGTERM)
        return self.summary()

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        self.proc.stdout.close()


class RawClient:
    """Minimal RFC 6455 client: masked text frames out, every frame in, pings answered."""

    def __init__(self, port, expect_status=101):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=10)
        key = base64.b64encode(os.urandom(16)).decode()
        self.sock.sendall(("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"
                           "Connection: Upgrade\r\nSec-WebSocket-Key: %s\r\n"
                           "Sec-WebSocket-Version: 13\r\n\r\n" % key).encode())
        self.buf = b""
        while b"\r\n\r\n" not in self.buf:
            chunk = self.sock.recv(4096)
            if not chunk:
                break
            self.buf += chunk
        head, _, self.buf = self.buf.partition(b"\r\n\r\n")
        self.status = int(head.split(b" ", 2)[1]) if head.startswith(b"HTTP/1.1 ") else 0
        assert self.status == expect_status, head
        self.pings = 0

    def _send_frame(self, opcode, payload):
        mask = os.urandom(4)
        n = len(payload)
        head = bytes([0x80 | opcode])
        if n < 126:
            head += bytes([0x80 | n])
        else:
            assert n < 65536
            head += bytes([0x80 | 126]) + struct.pack(">H", n)
        self.sock.sendall(head + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(payload)))

    def send_text(self, text):
        self._send_frame(1, text.encode())

    def _need(self, n):
        while len(self.buf) < n:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise EOFError("connection closed")
            self.buf += chunk

    def frame(self):
        """The next frame as (fin, opcode, payload); pings are answered with a pong."""
        self._need(2)
        fin, opcode, n = bool(self.buf[0] & 0x80), self.buf[0] & 0x0F, self.buf[1] & 0x7F
        at = 2
        if n == 126:
            self._need(4)
            n, at = struct.unpack(">H", self.buf[2:4])[0], 4
        elif n == 127:
            self._need(10)
            n, at = struct.unpack(">Q", self.buf[2:10])[0], 10
        self._need(at + n)
        payload, self.buf = self.buf[at:at + n], self.buf[at + n:]
        if opcode == 9:
            self.pings += 1
            self._send_frame(10, payload)
        return fin, opcode, payload

    def message(self):
        """The next data message reassembled, with every frame seen on the way (controls too)."""
        seen, text = [], b""
        while True:
            fin, opcode, payload = self.frame()
            seen.append((fin, opcode))
            if opcode in (0, 1):
                text += payload
                if fin:
                    return text.decode(), seen

    def close(self):
        self.sock.close()


@unittest.skipUnless(HAVE_WEBSOCKETS, "the python3 package websockets is not installed")
class TestPool(unittest.TestCase):
    def start(self, *args):
        pool = Pool(*args)
        self.addCleanup(pool.kill)
        return pool

    def client(self, port, **kw):
        c = RawClient(port, **kw)
        self.addCleanup(c.close)
        return c

    def test_hello_job_and_share_judging(self):
        pool = self.start("--difficulty", "2")
        c = self.client(pool.port)
        c.send_text(HELLO)
        self.assertEqual(c.message()[0], '{"HelloAck":{}}')
        job, diff, hdr = NEWJOB.fullmatch(c.message()[0]).groups()
        self.assertEqual(diff, "2")
        header = bytes.fromhex(hdr)
        good, bad = find_nonce(header, 2, True), find_nonce(header, 2, False)
        self.assertEqual([oracle_says(hdr, good, 2), oracle_says(hdr, bad, 2)], [0, 1])

        answers = [
            (job_result(job, good), '{"ShareAccepted":{"job_id":"%s"}}' % job),
            (job_result(job, good), "duplicate share"),
            (job_result(job, bad), "low difficulty share"),
            (job_result("nosuchjob", good), "unknown job"),
            (job_result(job, good.upper()), "malformed nonce"),
            (job_result(job, good[2:]), "malformed nonce"),
            (job_result(job, good + "\\n"), "malformed nonce"),
            (job_result(job, good, bad), "work does not match nonce"),
            ('{"JobResult":{"job_id":', "malformed message"),
        ]
        for sent, want in answers:
            c.send_text(sent)
            want = want if want.startswith("{") else '{"ShareRejected":{"reason":"%s"}}' % want
            self.assertEqual(c.message()[0], want, sent)
        pool.next_line(r"^SHARE rejected .*reason=malformed$")
        accepted = [l for l in pool.all if l.startswith("SHARE accepted ")]
        self.assertEqual(len(accepted), 1)
        self.assertIn(" hash=%s" % oracle.hash_full(header, bytes.fromhex(good)).hex(), accepted[0])
        self.assertIn(" hash_count=5 ", accepted[0])
        s = pool.stop()
        self.assertEqual([s["connections"], s["hellos"], s["jobs"], s["accepted"], s["rejected"]],
                         [1, 1, 1, 1, 8])
        self.assertEqual([s["duplicate"], s["low_difficulty"], s["unknown_job"], s["bad_nonce"],
                          s["work_mismatch"], s["malformed"]], [1, 1, 1, 3, 1, 1])

    def test_fragments_bad_json_new_jobs_and_a_lower_difficulty(self):
        pool = self.start("--difficulty", "1000", "--ping-between-fragments", "--bad-json-once",
                          "--new-job-every", "0.3", "--set-difficulty-after", "2:1.5")
        c = self.client(pool.port)
        c.send_text(HELLO)
        self.assertEqual(c.message()[0], '{"HelloAck":{}}')
        broken = c.message()[0]
        self.assertRaises(ValueError, json.loads, broken)
        text, seen = c.message()
        job, _, hdr = NEWJOB.fullmatch(text).groups()
        opcodes = [op for _, op in seen]
        self.assertEqual(opcodes[:3], [1, 9, 0])  # text, ping, continuation
        self.assertTrue(all(op == 0 for op in opcodes[3:]), opcodes)
        self.assertEqual([fin for fin, _ in seen],
                         [k == 1 or k == len(seen) - 1 for k in range(len(seen))])

        # A share that misses difficulty 1000 but meets difficulty 1, sent before the change.
        nonce = find_nonce(bytes.fromhex(hdr), 1000, False)
        jobs = {job}

        def next_other():
            while True:
                t, _ = c.message()
                m = NEWJOB.fullmatch(t)
                if not m:
                    return t
                jobs.add(m.group(1))

        c.send_text(job_result(job, nonce))
        self.assertEqual(next_other(), '{"ShareRejected":{"reason":"low difficulty share"}}')
        self.assertEqual(next_other(), '{"SetDifficulty":{"share_difficulty":1.5}}')
        self.assertGreaterEqual(len(jobs), 2)
        # Difficulty 1 now, and the replaced job is still known.
        c.send_text(job_result(job, nonce))
        self.assertEqual(next_other(), '{"ShareAccepted":{"job_id":"%s"}}' % job)
        c.close()
        self.assertEqual(oracle_says(hdr, nonce, 1000), 1)
        s = pool.stop()
        self.assertEqual([s["accepted"], s["rejected"], s["low_difficulty"]], [1, 1, 1])
        self.assertTrue(s["jobs"] >= 3 and s["pings"] >= s["jobs"], s)

    def test_refusal_pings_server_close_and_duration(self):
        pool = self.start("--refuse-for", "0.5", "--ping-every", "0.1", "--close-after", "0.6",
                          "--duration", "3")
        self.client(pool.port, expect_status=503)
        time.sleep(0.6)
        c = self.client(pool.port)
        while True:
            fin, opcode, payload = c.frame()
            if opcode == 8:
                break
        self.assertEqual(struct.unpack(">H", payload[:2])[0], 1000)
        c._send_frame(8, payload[:2])
        self.assertRaises(EOFError, c.frame)  # the server ends the TCP connection first
        c.close()
        self.assertGreaterEqual(c.pings, 2)
        pool.next_line(r"^CLOSE conn=1 code=1000$")
        s = pool.summary()  # ends by itself after --duration
        self.assertEqual([s["refused"], s["connections"]], [1, 1])
        self.assertTrue(2 <= s["pongs"] <= s["pings"], s)

    def test_bad_options_exit_2_with_usage(self):
        for args in (["--port", "70000"], ["--difficulty", "1e3"], ["--ping-every", "-1"],
                     ["--set-difficulty-after", "2"], ["--duration"], ["--frobnicate"]):
            r = subprocess.run([sys.executable, os.path.join(TOOLS, "testpool.py"), *args],
                               capture_output=True, text=True, timeout=30)
            self.assertEqual(r.returncode, 2, args)
            self.assertIn("usage: testpool.py", r.stderr, args)


if __name__ == "__main__":
    unittest.main()
