'use strict';
// The test pool end to end: messages, share judging, scripted behaviours and the summary.
// Run: node --test tests/tools/testpool.test.js

const test = require('node:test');
const assert = require('node:assert/strict');
const { spawn, execFileSync, spawnSync } = require('child_process');
const crypto = require('crypto');
const net = require('net');
const path = require('path');
const readline = require('readline');

const TOOLS = path.join(__dirname, '..', '..', 'tools');
const WebSocket = require(path.join(TOOLS, 'node_modules', 'ws'));
const { hashFull, targetFromDifficulty, isBelow } = require(path.join(TOOLS, 'pow_hash'));
const ORACLE = path.join(TOOLS, 'oracle.py');

// A queue whose next() waits, bounded, for the next item matching a predicate.
function channel() {
  const items = [];
  let waiter = null;
  return {
    push(item) { items.push(item); if (waiter) waiter(); },
    async next(pred = () => true, ms = 5000) {
      const deadline = Date.now() + ms;
      for (;;) {
        const at = items.findIndex(pred);
        if (at >= 0) return items.splice(at, 1)[0];
        if (Date.now() >= deadline) throw new Error('timed out waiting');
        await new Promise((resolve) => {
          waiter = resolve;
          setTimeout(resolve, deadline - Date.now());
        });
        waiter = null;
      }
    },
  };
}

const children = [];
test.after(() => children.forEach((c) => c.kill('SIGKILL')));

async function startPool(args) {
  const child = spawn(process.execPath, [path.join(TOOLS, 'testpool.js'), '--port', '0', ...args],
    { stdio: ['ignore', 'pipe', 'inherit'] });
  children.push(child);
  const lines = channel();
  const all = [];
  readline.createInterface({ input: child.stdout }).on('line', (l) => { all.push(l); lines.push(l); });
  const exited = new Promise((resolve) => child.on('exit', (code) => resolve(code)));
  const first = await lines.next();
  const port = Number(/^LISTENING (\d+)$/.exec(first)[1]);
  const summary = async () => {
    assert.equal(await exited, 0);
    const line = all.find((l) => l.startsWith('SUMMARY '));
    return Object.fromEntries(line.split(' ').slice(1).map((kv) => kv.split('=')).map(([k, v]) => [k, Number(v)]));
  };
  return { port, lines, summary, stop: () => { child.kill('SIGTERM'); return summary(); } };
}

const hello = '{"Hello":{"payout_address":"P","worker_name":"W","client":"tarn-cuda/1.0.8"}}';
const jobResult = (job, nonce, work = nonce, count = 5) => '{"JobResult":{"status":"completed",' +
  `"job_id":"${job}","nonce":"${nonce}","work":"${work}","hash_count":${count},"elapsed_time":0.0,"miner_id":null}}`;
const NEWJOB = /^\{"NewJob":\{"job_id":"([^"]+)","difficulty":"(\d+)","mining_hash":"([0-9a-f]{64})"\}\}$/;

// A random nonce whose hash is (or is not) below the target of difficulty d.
function findNonce(header, d, below) {
  for (;;) {
    const nonce = crypto.randomBytes(64);
    if (isBelow(hashFull(header, nonce), targetFromDifficulty(d)) === below) return nonce.toString('hex');
  }
}

// The Python oracle's verdict, so the pool's judge is held against the other implementation.
const oracleSays = (hdr, nonce, d) => spawnSync('python3', [ORACLE, 'check', hdr, nonce, String(d)]).status;

async function wsClient(port) {
  const ws = new WebSocket(`ws://127.0.0.1:${port}`);
  const inbox = channel();
  ws.on('message', (data) => inbox.push(data.toString()));
  await new Promise((resolve, reject) => { ws.once('open', resolve); ws.once('error', reject); });
  return { ws, inbox };
}

test('pool hash agrees with the oracle', { timeout: 60000 }, () => {
  const zero = hashFull(Buffer.alloc(32), Buffer.alloc(64)).toString('hex');
  assert.equal(zero.slice(0, 16), '8e64e3d8e0f38f88');
  const count = Buffer.from([...Array(64).keys()]);
  const inputs = [`${count.subarray(0, 32).toString('hex')} ${count.toString('hex')}`];
  for (let i = 0; i < 12; i++) inputs.push(`${crypto.randomBytes(32).toString('hex')} ${crypto.randomBytes(64).toString('hex')}`);
  const want = execFileSync('python3', [ORACLE, 'hash'], { input: inputs.join('\n') + '\n' }).toString().split('\n');
  inputs.forEach((line, k) => {
    const [h, n] = line.split(' ').map((x) => Buffer.from(x, 'hex'));
    assert.equal(hashFull(h, n).toString('hex'), want[k], line);
  });
  const targets = { 1: 'ff'.repeat(64), 3: '55'.repeat(64), 256: '00' + 'ff'.repeat(63),
    '18446744073709551615': '0000000000000001'.repeat(8) };
  for (const [d, t] of Object.entries(targets)) assert.equal(targetFromDifficulty(BigInt(d)).toString('hex'), t);
});

test('hello, job and share judging', { timeout: 30000 }, async () => {
  const pool = await startPool(['--difficulty', '2']);
  const { ws, inbox } = await wsClient(pool.port);
  ws.send(hello);
  assert.equal(await inbox.next(), '{"HelloAck":{}}');
  const [, job, diff, hdr] = NEWJOB.exec(await inbox.next());
  assert.equal(diff, '2');
  const header = Buffer.from(hdr, 'hex');
  const good = findNonce(header, 2n, true);
  const bad = findNonce(header, 2n, false);
  assert.deepEqual([oracleSays(hdr, good, 2), oracleSays(hdr, bad, 2)], [0, 1]);

  const answers = [
    [jobResult(job, good), `{"ShareAccepted":{"job_id":"${job}"}}`],
    [jobResult(job, good), 'duplicate share'],
    [jobResult(job, bad), 'low difficulty share'],
    [jobResult('nosuchjob', good), 'unknown job'],
    [jobResult(job, good.toUpperCase()), 'malformed nonce'],
    [jobResult(job, good.slice(2)), 'malformed nonce'],
    [jobResult(job, good, bad), 'work does not match nonce'],
    ['{"JobResult":{"job_id":', 'malformed message'],
  ];
  for (const [send, want] of answers) {
    ws.send(send);
    const got = await inbox.next();
    assert.equal(got, want.startsWith('{') ? want : `{"ShareRejected":{"reason":"${want}"}}`, send);
  }
  await pool.lines.next((l) => /^SHARE rejected .*reason=malformed$/.test(l));
  const s = await pool.stop();
  assert.deepEqual([s.connections, s.hellos, s.jobs, s.accepted, s.rejected], [1, 1, 1, 1, 7]);
  assert.deepEqual([s.duplicate, s.low_difficulty, s.unknown_job, s.bad_nonce, s.work_mismatch, s.malformed],
    [1, 1, 1, 2, 1, 1]);
});

// A raw client sees what ws would hide: fragments, the ping between them, every frame's opcode.
async function rawClient(port) {
  const sock = net.connect(port, '127.0.0.1');
  const frames = channel();
  let buf = Buffer.alloc(0);
  let upgraded = false;
  sock.on('data', (d) => {
    buf = Buffer.concat([buf, d]);
    if (!upgraded) {
      const end = buf.indexOf('\r\n\r\n');
      if (end < 0) return;
      assert.match(buf.subarray(0, end).toString(), /^HTTP\/1\.1 101 /);
      buf = buf.subarray(end + 4);
      upgraded = true;
    }
    while (buf.length >= 2) {
      let len = buf[1] & 0x7f;
      let at = 2;
      if (len === 126) { if (buf.length < 4) return; len = buf.readUInt16BE(2); at = 4; }
      if (len === 127) { if (buf.length < 10) return; len = Number(buf.readBigUInt64BE(2)); at = 10; }
      if (buf.length < at + len) return;
      frames.push({ fin: !!(buf[0] & 0x80), opcode: buf[0] & 0x0f, data: buf.subarray(at, at + len).toString() });
      buf = buf.subarray(at + len);
    }
  });
  await new Promise((resolve) => sock.once('connect', resolve));
  sock.write('GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n' +
    `Sec-WebSocket-Key: ${crypto.randomBytes(16).toString('base64')}\r\nSec-WebSocket-Version: 13\r\n\r\n`);
  const sendText = (text) => {
    const payload = Buffer.from(text);
    assert.ok(payload.length < 65536);
    const head = payload.length < 126 ? Buffer.from([0x81, 0x80 | payload.length])
      : Buffer.from([0x81, 0x80 | 126, payload.length >> 8, payload.length & 0xff]);
    const mask = crypto.randomBytes(4);
    sock.write(Buffer.concat([head, mask, payload.map((b, i) => b ^ mask[i % 4])]));
  };
  // Reassembles the next data message, noting the frames it came in and any control frames between.
  const nextMessage = async () => {
    const seen = [];
    let text = '';
    for (;;) {
      const f = await frames.next();
      seen.push(f);
      if (f.opcode === 1 || f.opcode === 0) text += f.data;
      if (f.fin && (f.opcode === 1 || f.opcode === 0)) return { text, seen };
    }
  };
  return { sock, sendText, nextMessage };
}

test('fragments, bad JSON, new jobs and a lower difficulty', { timeout: 30000 }, async () => {
  const pool = await startPool(['--difficulty', '1000', '--ping-between-fragments', '--bad-json-once',
    '--new-job-every', '0.3', '--set-difficulty-after', '2:1.5']);
  const c = await rawClient(pool.port);
  c.sendText(hello);
  assert.equal((await c.nextMessage()).text, '{"HelloAck":{}}');
  const broken = (await c.nextMessage()).text;
  assert.throws(() => JSON.parse(broken));
  const first = await c.nextMessage();
  const [, job, , hdr] = NEWJOB.exec(first.text);
  const opcodes = first.seen.map((f) => f.opcode);
  assert.deepEqual(opcodes.slice(0, 3), [1, 9, 0]); // text, ping, continuation
  assert.ok(opcodes.slice(3).every((op) => op === 0));
  assert.deepEqual(first.seen.map((f) => f.fin), opcodes.map((_, k) => k === opcodes.length - 1 || k === 1));

  // A share that misses difficulty 1000 but meets difficulty 1, sent well before the change
  // (the oracle's slow verdict is taken afterwards).
  const nonce = findNonce(Buffer.from(hdr, 'hex'), 1000n, false);
  // Jobs keep coming every 0.3 s; everything else is collected in order.
  const jobs = new Set([job]);
  const nextOther = async () => {
    for (;;) {
      const { text } = await c.nextMessage();
      const m = NEWJOB.exec(text);
      if (!m) return text;
      jobs.add(m[1]);
    }
  };
  c.sendText(jobResult(job, nonce));
  assert.equal(await nextOther(), '{"ShareRejected":{"reason":"low difficulty share"}}');
  assert.equal(await nextOther(), '{"SetDifficulty":{"share_difficulty":1.5}}');
  assert.ok(jobs.size >= 2, [...jobs].join());
  // Difficulty 1 now, and the replaced job is still known.
  c.sendText(jobResult(job, nonce));
  assert.equal(await nextOther(), `{"ShareAccepted":{"job_id":"${job}"}}`);
  c.sock.destroy();
  assert.equal(oracleSays(hdr, nonce, 1000), 1);
  const s = await pool.stop();
  assert.deepEqual([s.accepted, s.rejected, s.low_difficulty], [1, 1, 1]);
  assert.ok(s.jobs >= 3 && s.pings >= s.jobs, JSON.stringify(s));
});

test('refusal, pings, server close and duration', { timeout: 30000 }, async () => {
  const pool = await startPool(['--refuse-for', '0.5', '--ping-every', '0.1', '--close-after', '0.6',
    '--duration', '3']);
  const refused = new WebSocket(`ws://127.0.0.1:${pool.port}`);
  const status = await new Promise((resolve) => refused.on('unexpected-response', (req, res) => resolve(res.statusCode)));
  assert.equal(status, 503);
  refused.on('error', () => {});
  await new Promise((resolve) => setTimeout(resolve, 600));
  const { ws } = await wsClient(pool.port);
  let pings = 0;
  ws.on('ping', () => pings++);
  const [code] = await new Promise((resolve) => ws.on('close', (...a) => resolve(a)));
  assert.equal(code, 1000);
  assert.ok(pings >= 2, `pings=${pings}`);
  const s = await pool.summary(); // ends by itself after --duration
  assert.deepEqual([s.refused, s.connections], [1, 1]);
  assert.ok(s.pongs >= 2 && s.pongs <= s.pings, JSON.stringify(s));
});
