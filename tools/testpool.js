#!/usr/bin/env node
'use strict';
// Scriptable mining pool for tests and demos: speaks the miner's JSON pool messages over
// WebSocket on 127.0.0.1 and judges every share with its own hash (pow_hash.js).

const crypto = require('crypto');
const { WebSocketServer, WebSocket } = require('ws');
const { hashFull, targetFromDifficulty, isBelow } = require('./pow_hash');

const USAGE = `usage: testpool.js [--port N] [--difficulty N] [--set-difficulty-after S:D]...
  [--new-job-every S] [--ping-every S] [--fragment] [--ping-between-fragments]
  [--close-after S] [--refuse-for S] [--duration S] [--bad-json-once] [--job-delay MS]
Prints "LISTENING <port>" first, one line per event, and a SUMMARY line on exit.`;

const FRAGMENT_BYTES = 16; // payload bytes per frame with --fragment
const FRAGMENT_PAUSE_MS = 5; // so fragments reach the client in separate reads

// Short codes (log and summary keys) and the reason texts sent to the miner.
const REASONS = {
  unknown_job: 'unknown job',
  bad_nonce: 'malformed nonce',
  work_mismatch: 'work does not match nonce',
  duplicate: 'duplicate share',
  low_difficulty: 'low difficulty share',
  no_difficulty: 'job has no valid difficulty',
  malformed: 'malformed message',
};

function fail(message) {
  process.stderr.write(`testpool: ${message}\n${USAGE}\n`);
  process.exit(2);
}

function parseArgs(argv) {
  const o = { port: 0, difficulty: 1000n, setDifficulty: [], newJobEvery: 0, pingEvery: 0,
    fragment: false, pingBetweenFragments: false, closeAfter: 0, refuseFor: 0, duration: 0,
    badJsonOnce: false, jobDelayMs: 100 };
  const seconds = (flag, v) => {
    if (!/^\d+(\.\d+)?$/.test(v || '')) fail(`${flag} needs a number of seconds, got ${v}`);
    return Number(v);
  };
  for (let i = 0; i < argv.length; i++) {
    const flag = argv[i];
    const value = () => argv[++i];
    switch (flag) {
      case '--port': {
        const v = value();
        if (!/^\d+$/.test(v || '') || Number(v) > 65535) fail(`--port needs a port number, got ${v}`);
        o.port = Number(v);
        break;
      }
      case '--difficulty': {
        const v = value();
        if (!/^\d+$/.test(v || '')) fail(`--difficulty needs a decimal integer, got ${v}`);
        o.difficulty = BigInt(v);
        break;
      }
      case '--set-difficulty-after': {
        // D is sent as the JSON number it is written as; the pool keeps its integer part.
        const m = /^(\d+(?:\.\d+)?):(\d+(?:\.\d+)?)$/.exec(value() || '');
        if (!m) fail('--set-difficulty-after needs S:D, for example 2:1000');
        o.setDifficulty.push({ after: Number(m[1]), text: m[2], value: BigInt(m[2].split('.')[0]) });
        break;
      }
      case '--new-job-every': o.newJobEvery = seconds(flag, value()); break;
      case '--ping-every': o.pingEvery = seconds(flag, value()); break;
      case '--fragment': o.fragment = true; break;
      case '--ping-between-fragments': o.fragment = true; o.pingBetweenFragments = true; break;
      case '--close-after': o.closeAfter = seconds(flag, value()); break;
      case '--refuse-for': o.refuseFor = seconds(flag, value()); break;
      case '--duration': o.duration = seconds(flag, value()); break;
      case '--bad-json-once': o.badJsonOnce = true; break;
      case '--job-delay': o.jobDelayMs = seconds(flag, value()); break;
      case '--help': process.stdout.write(USAGE + '\n'); process.exit(0); break;
      default: fail(`unknown argument ${flag}`);
    }
  }
  return o;
}

const opts = parseArgs(process.argv.slice(2));
const startedAt = Date.now();
const stats = { connections: 0, refused: 0, hellos: 0, jobs: 0, accepted: 0, rejected: 0,
  ...Object.fromEntries(Object.keys(REASONS).map((k) => [k, 0])), pings: 0, pongs: 0 };
const conns = new Set();
let jobCounter = 0;
let badJsonSent = false;

const log = (line) => process.stdout.write(line + '\n');
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// Messages of one connection go out strictly in order, so a fragmented message is never
// interleaved with another data message (control frames may, and sometimes do, go between).
function send(conn, text) {
  conn.queue = conn.queue.then(() => transmit(conn, Buffer.from(text))).catch(() => {});
}

async function transmit(conn, data) {
  if (!opts.fragment) {
    if (conn.ws.readyState === WebSocket.OPEN) conn.ws.send(data, { binary: false });
    return;
  }
  for (let at = 0; at < data.length; at += FRAGMENT_BYTES) {
    if (conn.ws.readyState !== WebSocket.OPEN) return;
    const fin = at + FRAGMENT_BYTES >= data.length;
    conn.ws.send(data.subarray(at, at + FRAGMENT_BYTES), { binary: false, fin });
    if (at === 0 && !fin && opts.pingBetweenFragments) ping(conn);
    if (!fin) await sleep(FRAGMENT_PAUSE_MS);
  }
}

function ping(conn) {
  if (conn.ws.readyState !== WebSocket.OPEN) return;
  conn.ws.ping();
  stats.pings++;
}

function later(conn, ms, fn, repeat = false) {
  conn.timers.push(repeat ? setInterval(fn, ms) : setTimeout(fn, ms));
}

function sendNewJob(conn) {
  const job = { id: `j${++jobCounter}`, header: crypto.randomBytes(32) };
  conn.jobs.set(job.id, job);
  stats.jobs++;
  const miningHash = job.header.toString('hex');
  log(`JOB conn=${conn.id} job=${job.id} diff=${conn.difficulty} mining_hash=${miningHash}`);
  send(conn, JSON.stringify({ NewJob: { job_id: job.id, difficulty: conn.difficulty.toString(),
    mining_hash: miningHash } }));
}

function onHello(conn, hello) {
  stats.hellos++;
  const h = hello && typeof hello === 'object' ? hello : {};
  log(`HELLO conn=${conn.id} payout=${JSON.stringify(h.payout_address)} ` +
    `worker=${JSON.stringify(h.worker_name)} client=${JSON.stringify(h.client)}`);
  send(conn, JSON.stringify({ HelloAck: {} }));
  if (conn.helloSeen) return; // a repeated Hello is acknowledged but starts nothing new
  conn.helloSeen = true;
  // The miner drops whatever is already waiting right after its Hello, so the first job
  // comes a little later.
  later(conn, opts.jobDelayMs, () => {
    if (opts.badJsonOnce && !badJsonSent) {
      badJsonSent = true;
      log(`BADJSON conn=${conn.id}`);
      send(conn, '{"Notice":{"text":"this message is cut off');
    }
    sendNewJob(conn);
    if (opts.newJobEvery > 0) later(conn, opts.newJobEvery * 1000, () => sendNewJob(conn), true);
  });
  for (const change of opts.setDifficulty) {
    later(conn, change.after * 1000, () => {
      conn.difficulty = change.value;
      log(`SETDIFF conn=${conn.id} diff=${change.text}`);
      send(conn, `{"SetDifficulty":{"share_difficulty":${change.text}}}`);
    });
  }
}

function reject(conn, jobId, code) {
  stats.rejected++;
  stats[code]++;
  log(`SHARE rejected conn=${conn.id} job=${JSON.stringify(jobId)} reason=${code}`);
  send(conn, JSON.stringify({ ShareRejected: { reason: REASONS[code] } }));
}

// Every share is judged against the connection's share difficulty at the moment it arrives
// (jobs are issued at that difficulty, and SetDifficulty changes it for all of them).
function onJobResult(conn, r) {
  const share = r && typeof r === 'object' ? r : {};
  const job = typeof share.job_id === 'string' ? conn.jobs.get(share.job_id) : undefined;
  if (!job) return reject(conn, share.job_id, 'unknown_job');
  if (typeof share.nonce !== 'string' || !/^[0-9a-f]{128}$/.test(share.nonce)) {
    return reject(conn, job.id, 'bad_nonce');
  }
  if (share.work !== share.nonce) return reject(conn, job.id, 'work_mismatch');
  const key = `${job.id}/${share.nonce}`;
  if (conn.seen.has(key)) return reject(conn, job.id, 'duplicate');
  if (conn.difficulty === 0n) return reject(conn, job.id, 'no_difficulty'); // a difficulty of 0 has no target
  const hash = hashFull(job.header, Buffer.from(share.nonce, 'hex'));
  if (!isBelow(hash, targetFromDifficulty(conn.difficulty))) {
    return reject(conn, job.id, 'low_difficulty');
  }
  conn.seen.add(key);
  stats.accepted++;
  log(`SHARE accepted conn=${conn.id} job=${job.id} diff=${conn.difficulty} ` +
    `hash_count=${share.hash_count} nonce=${share.nonce} hash=${hash.toString('hex')}`);
  send(conn, JSON.stringify({ ShareAccepted: { job_id: job.id } }));
}

function onMessage(conn, text) {
  let msg;
  try {
    msg = JSON.parse(text);
  } catch (e) {
    if (text.includes('"JobResult"')) return reject(conn, null, 'malformed');
    return log(`BADMSG conn=${conn.id} ${JSON.stringify(text.slice(0, 200))}`);
  }
  if (msg && typeof msg === 'object' && 'Hello' in msg) return onHello(conn, msg.Hello);
  if (msg && typeof msg === 'object' && 'JobResult' in msg) return onJobResult(conn, msg.JobResult);
  log(`UNKNOWN conn=${conn.id} ${JSON.stringify(text.slice(0, 200))}`);
}

function verifyClient(info, done) {
  if (Date.now() - startedAt < opts.refuseFor * 1000) {
    stats.refused++;
    log(`REFUSED peer=${info.req.socket.remoteAddress}:${info.req.socket.remotePort}`);
    return done(false, 503, 'Service Unavailable');
  }
  done(true);
}

const wss = new WebSocketServer({ host: '127.0.0.1', port: opts.port, verifyClient });

wss.on('listening', () => log(`LISTENING ${wss.address().port}`));
wss.on('error', (e) => {
  process.stderr.write(`testpool: cannot listen on 127.0.0.1:${opts.port}: ${e.message}\n`);
  process.exit(1);
});

wss.on('connection', (ws, req) => {
  const conn = { id: ++stats.connections, ws, jobs: new Map(), seen: new Set(), timers: [],
    difficulty: opts.difficulty, helloSeen: false, queue: Promise.resolve() };
  conns.add(conn);
  log(`CONNECT conn=${conn.id} peer=${req.socket.remoteAddress}:${req.socket.remotePort}`);
  ws.on('message', (data) => onMessage(conn, data.toString()));
  ws.on('pong', () => {
    stats.pongs++;
    log(`PONG conn=${conn.id}`);
  });
  ws.on('error', (e) => log(`ERROR conn=${conn.id} ${JSON.stringify(e.message)}`));
  ws.on('close', (code) => {
    conn.timers.forEach((t) => clearTimeout(t)); // clearTimeout also clears intervals
    conns.delete(conn);
    log(`CLOSE conn=${conn.id} code=${code}`);
  });
  if (opts.pingEvery > 0) later(conn, opts.pingEvery * 1000, () => ping(conn), true);
  if (opts.closeAfter > 0) {
    later(conn, opts.closeAfter * 1000, () => {
      log(`SERVERCLOSE conn=${conn.id}`);
      ws.close(1000, 'test pool closes the connection');
    });
  }
});

let finished = false;
function finish() {
  if (finished) return;
  finished = true;
  log('SUMMARY ' + Object.entries(stats).map(([k, v]) => `${k}=${v}`).join(' '));
  for (const conn of conns) conn.ws.terminate();
  process.exit(0);
}

process.on('SIGINT', finish);
process.on('SIGTERM', finish);
if (opts.duration > 0) setTimeout(finish, opts.duration * 1000);
