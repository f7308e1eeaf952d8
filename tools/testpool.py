#!/usr/bin/env python3
"""Scriptable mining pool for tests and demos.

Speaks the miner's JSON pool messages over WebSocket (the `websockets` library) on 127.0.0.1
and judges every share with the outside oracle's hash (oracle.py beside this file).
"""

import asyncio
import json
import os
import re
import signal
import ssl
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import oracle  # noqa: E402  (the one hash of the tools)

try:
    from websockets.asyncio.server import serve
    from websockets.exceptions import ConnectionClosed
except ImportError:
    sys.stderr.write("testpool: the python3 package websockets (15.x) is missing; "
                     "install it with: python3 -m pip install websockets==15.0.1\n")
    sys.exit(3)

USAGE = """usage: testpool.py [--port N] [--difficulty N] [--set-difficulty-after S:D]...
  [--new-job-every S] [--ping-every S] [--fragment] [--ping-between-fragments]
  [--close-after S] [--refuse-for S] [--duration S] [--bad-json-once] [--job-delay MS]
  [--silent] [--tls-cert PEM --tls-key PEM]
--silent sends nothing at all (no HelloAck, no job); --tls-cert/--tls-key serve wss://.
Prints "LISTENING <port>" first, one line per event, and a SUMMARY line on exit."""

FRAGMENT_BYTES = 16  # payload bytes per frame with --fragment
FRAGMENT_PAUSE_S = 0.005  # so fragments reach the client in separate reads

# Short codes (log and summary keys) and the reason texts sent to the miner.
REASONS = {
    "unknown_job": "unknown job",
    "bad_nonce": "malformed nonce",
    "work_mismatch": "work does not match nonce",
    "duplicate": "duplicate share",
    "low_difficulty": "low difficulty share",
    "no_difficulty": "job has no valid difficulty",
    "malformed": "malformed message",
}

SECONDS_RE = re.compile(r"\d+(\.\d+)?")
NONCE_RE = re.compile(r"[0-9a-f]{128}")


def fail(message):
    sys.stderr.write("testpool: %s\n%s\n" % (message, USAGE))
    sys.exit(2)


class Options:
    def __init__(self):
        self.port = 0
        self.difficulty = 1000
        self.set_difficulty = []  # (after seconds, text as sent, integer value)
        self.new_job_every = 0.0
        self.ping_every = 0.0
        self.fragment = False
        self.ping_between_fragments = False
        self.close_after = 0.0
        self.refuse_for = 0.0
        self.duration = 0.0
        self.bad_json_once = False
        self.job_delay_ms = 100.0
        self.silent = False
        self.tls_cert = None
        self.tls_key = None


def parse_args(argv):
    o = Options()
    args = list(argv)

    def value(flag):
        return args.pop(0) if args else None

    def seconds(flag):
        v = value(flag)
        if v is None or not SECONDS_RE.fullmatch(v):
            fail("%s needs a number of seconds, got %s" % (flag, v))
        return float(v)

    while args:
        flag = args.pop(0)
        if flag == "--port":
            v = value(flag)
            if v is None or not v.isdigit() or not v.isascii() or int(v) > 65535:
                fail("--port needs a port number, got %s" % v)
            o.port = int(v)
        elif flag == "--difficulty":
            v = value(flag)
            if v is None or not re.fullmatch(r"\d+", v):
                fail("--difficulty needs a decimal integer, got %s" % v)
            o.difficulty = int(v)
        elif flag == "--set-difficulty-after":
            # D is sent as the JSON number it is written as; the pool keeps its integer part.
            m = re.fullmatch(r"(\d+(?:\.\d+)?):(\d+(?:\.\d+)?)", value(flag) or "")
            if not m:
                fail("--set-difficulty-after needs S:D, for example 2:1000")
            o.set_difficulty.append((float(m.group(1)), m.group(2), int(m.group(2).split(".")[0])))
        elif flag == "--new-job-every":
            o.new_job_every = seconds(flag)
        elif flag == "--ping-every":
            o.ping_every = seconds(flag)
        elif flag == "--fragment":
            o.fragment = True
        elif flag == "--ping-between-fragments":
            o.fragment = True
            o.ping_between_fragments = True
        elif flag == "--close-after":
            o.close_after = seconds(flag)
        elif flag == "--refuse-for":
            o.refuse_for = seconds(flag)
        elif flag == "--duration":
            o.duration = seconds(flag)
        elif flag == "--bad-json-once":
            o.bad_json_once = True
        elif flag == "--job-delay":
            o.job_delay_ms = seconds(flag)
        elif flag == "--silent":
            o.silent = True
        elif flag in ("--tls-cert", "--tls-key"):
            v = value(flag)
            if not v or not os.path.isfile(v):
                fail("%s needs a PEM file, got %s" % (flag, v))
            setattr(o, flag[2:].replace("-", "_"), v)
        elif flag == "--help":
            print(USAGE)
            sys.exit(0)
        else:
            fail("unknown argument %s" % flag)
    if (o.tls_cert is None) != (o.tls_key is None):
        fail("--tls-cert and --tls-key go together")
    return o


def compact(obj):
    return json.dumps(obj, separators=(",", ":"), ensure_ascii=False)


def log(line):
    sys.stdout.write(line + "\n")
    sys.stdout.flush()


class Connection:
    def __init__(self, cid, ws, difficulty):
        self.id = cid
        self.ws = ws
        self.jobs = {}  # job id -> 32-byte header
        self.seen = set()  # "job/nonce" of accepted shares
        self.tasks = []
        self.difficulty = difficulty
        self.hello_seen = False
        self.outbox = asyncio.Queue()


class Pool:
    def __init__(self, opts):
        self.opts = opts
        self.started_at = time.monotonic()
        self.stats = {"connections": 0, "refused": 0, "hellos": 0, "jobs": 0, "accepted": 0,
                      "rejected": 0}
        self.stats.update({k: 0 for k in REASONS})
        self.stats.update({"pings": 0, "pongs": 0})
        self.conns = set()
        self.job_counter = 0
        self.bad_json_sent = False
        self.finished = False

    # ------------------------------------------------------------ sending

    def send(self, conn, text):
        if self.opts.silent:
            return  # a pool that hangs without closing: the miner must notice on its own
        conn.outbox.put_nowait(text)

    # Messages of one connection go out strictly in order from one task, so a fragmented
    # message is never interleaved with another data message (control frames may go between).
    async def sender(self, conn):
        try:
            while True:
                text = await conn.outbox.get()
                data = text.encode()
                if not self.opts.fragment or len(data) <= FRAGMENT_BYTES:
                    await conn.ws.send(text)
                else:
                    await conn.ws.send(self.fragments(conn, data), text=True)
        except ConnectionClosed:
            pass

    async def fragments(self, conn, data):
        for at in range(0, len(data), FRAGMENT_BYTES):
            if at > 0:
                # The library has sent the previous fragment by now; a ping here lands between
                # two fragments of the same message.
                if at == FRAGMENT_BYTES and self.opts.ping_between_fragments:
                    await self.ping(conn)
                await asyncio.sleep(FRAGMENT_PAUSE_S)
            yield data[at:at + FRAGMENT_BYTES]

    async def ping(self, conn):
        try:
            waiter = await conn.ws.ping()
        except ConnectionClosed:
            return
        self.stats["pings"] += 1

        def on_pong(fut):
            if not fut.cancelled() and fut.exception() is None:
                self.stats["pongs"] += 1
                log("PONG conn=%d" % conn.id)

        waiter.add_done_callback(on_pong)

    def later(self, conn, seconds, action, repeat=False):
        async def run():
            while True:
                await asyncio.sleep(seconds)
                result = action()
                if asyncio.iscoroutine(result):
                    await result
                if not repeat:
                    return

        conn.tasks.append(asyncio.ensure_future(run()))

    # ------------------------------------------------------------ messages

    def send_new_job(self, conn):
        self.job_counter += 1
        job_id = "j%d" % self.job_counter
        header = os.urandom(32)
        conn.jobs[job_id] = header
        self.stats["jobs"] += 1
        log("JOB conn=%d job=%s diff=%d mining_hash=%s" % (conn.id, job_id, conn.difficulty,
                                                           header.hex()))
        self.send(conn, compact({"NewJob": {"job_id": job_id, "difficulty": str(conn.difficulty),
                                            "mining_hash": header.hex()}}))

    def on_hello(self, conn, hello):
        self.stats["hellos"] += 1
        h = hello if isinstance(hello, dict) else {}
        log("HELLO conn=%d payout=%s worker=%s client=%s" % (
            conn.id, compact(h.get("payout_address")), compact(h.get("worker_name")),
            compact(h.get("client"))))
        self.send(conn, compact({"HelloAck": {}}))
        if conn.hello_seen:
            return  # a repeated Hello is acknowledged but starts nothing new
        conn.hello_seen = True

        # The miner drops whatever is already waiting right after its Hello, so the first job
        # comes a little later.
        def first_job():
            if self.opts.bad_json_once and not self.bad_json_sent:
                self.bad_json_sent = True
                log("BADJSON conn=%d" % conn.id)
                self.send(conn, '{"Notice":{"text":"this message is cut off')
            self.send_new_job(conn)
            if self.opts.new_job_every > 0:
                self.later(conn, self.opts.new_job_every, lambda: self.send_new_job(conn), True)

        self.later(conn, self.opts.job_delay_ms / 1000.0, first_job)
        for after, text, value in self.opts.set_difficulty:
            def change(text=text, value=value):
                conn.difficulty = value
                log("SETDIFF conn=%d diff=%s" % (conn.id, text))
                self.send(conn, '{"SetDifficulty":{"share_difficulty":%s}}' % text)

            self.later(conn, after, change)

    def reject(self, conn, job_id, code):
        self.stats["rejected"] += 1
        self.stats[code] += 1
        log("SHARE rejected conn=%d job=%s reason=%s" % (conn.id, compact(job_id), code))
        self.send(conn, compact({"ShareRejected": {"reason": REASONS[code]}}))

    # Every share is judged against the connection's share difficulty at the moment it arrives
    # (jobs are issued at that difficulty, and SetDifficulty changes it for all of them).
    def on_job_result(self, conn, result):
        share = result if isinstance(result, dict) else {}
        job_id = share.get("job_id")
        header = conn.jobs.get(job_id) if isinstance(job_id, str) else None
        if header is None:
            return self.reject(conn, job_id, "unknown_job")
        nonce = share.get("nonce")
        if not isinstance(nonce, str) or not NONCE_RE.fullmatch(nonce):
            return self.reject(conn, job_id, "bad_nonce")
        if share.get("work") != nonce:
            return self.reject(conn, job_id, "work_mismatch")
        key = "%s/%s" % (job_id, nonce)
        if key in conn.seen:
            return self.reject(conn, job_id, "duplicate")
        if conn.difficulty == 0:
            return self.reject(conn, job_id, "no_difficulty")  # a difficulty of 0 has no target
        digest = oracle.hash_full(header, bytes.fromhex(nonce))
        if not oracle.is_hit(digest, oracle.target_from_difficulty(conn.difficulty)):
            return self.reject(conn, job_id, "low_difficulty")
        conn.seen.add(key)
        self.stats["accepted"] += 1
        log("SHARE accepted conn=%d job=%s diff=%d hash_count=%s nonce=%s hash=%s" % (
            conn.id, job_id, conn.difficulty, compact(share.get("hash_count")), nonce,
            digest.hex()))
        self.send(conn, compact({"ShareAccepted": {"job_id": job_id}}))

    def on_message(self, conn, text):
        try:
            msg = json.loads(text)
        except ValueError:
            if '"JobResult"' in text:
                return self.reject(conn, None, "malformed")
            return log("BADMSG conn=%d %s" % (conn.id, compact(text[:200])))
        if isinstance(msg, dict) and "Hello" in msg:
            return self.on_hello(conn, msg["Hello"])
        if isinstance(msg, dict) and "JobResult" in msg:
            return self.on_job_result(conn, msg["JobResult"])
        log("UNKNOWN conn=%d %s" % (conn.id, compact(text[:200])))

    # ------------------------------------------------------------ connections

    def process_request(self, ws, request):
        if time.monotonic() - self.started_at < self.opts.refuse_for:
            self.stats["refused"] += 1
            host, port = ws.remote_address[:2]
            log("REFUSED peer=%s:%d" % (host, port))
            return ws.respond(503, "Service Unavailable\n")
        return None

    async def handler(self, ws):
        self.stats["connections"] += 1
        conn = Connection(self.stats["connections"], ws, self.opts.difficulty)
        self.conns.add(conn)
        host, port = ws.remote_address[:2]
        log("CONNECT conn=%d peer=%s:%d" % (conn.id, host, port))
        conn.tasks.append(asyncio.ensure_future(self.sender(conn)))
        if self.opts.ping_every > 0:
            self.later(conn, self.opts.ping_every, lambda: self.ping(conn), True)
        if self.opts.close_after > 0:
            async def server_close():
                log("SERVERCLOSE conn=%d" % conn.id)
                await ws.close(1000, "test pool closes the connection")

            self.later(conn, self.opts.close_after, server_close)
        try:
            async for message in ws:
                if isinstance(message, bytes):
                    message = message.decode("utf-8", errors="replace")
                self.on_message(conn, message)
        except ConnectionClosed:
            pass
        finally:
            for task in conn.tasks:
                task.cancel()
            self.conns.discard(conn)
            if not self.finished:
                log("CLOSE conn=%d code=%s" % (conn.id, ws.close_code))

    def finish(self):
        if self.finished:
            return
        self.finished = True
        log("SUMMARY " + " ".join("%s=%d" % kv for kv in self.stats.items()))
        for conn in list(self.conns):
            conn.ws.transport.abort()
        sys.stdout.flush()
        os._exit(0)


async def main(opts):
    pool = Pool(opts)
    try:
        tls = None
        if opts.tls_cert:
            tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            tls.load_cert_chain(opts.tls_cert, opts.tls_key)
        server = await serve(pool.handler, "127.0.0.1", opts.port, ssl=tls,
                             process_request=pool.process_request,
                             ping_interval=None, compression=None, max_size=1 << 20)
    except OSError as e:
        sys.stderr.write("testpool: cannot listen on 127.0.0.1:%d: %s\n" % (opts.port, e.strerror or e))
        sys.exit(1)
    port = server.sockets[0].getsockname()[1]
    log("LISTENING %d" % port)
    loop = asyncio.get_running_loop()
    for sig in (signal.SIGINT, signal.SIGTERM):
        loop.add_signal_handler(sig, pool.finish)
    if opts.duration > 0:
        loop.call_later(opts.duration, pool.finish)
    await asyncio.Event().wait()


if __name__ == "__main__":
    asyncio.run(main(parse_args(sys.argv[1:])))
