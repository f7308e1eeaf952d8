'use strict';
// The tarn proof-of-work hash (Poseidon2 sponge over Goldilocks) in BigInt, canonical values
// throughout: the test pool's own share judge, independent of the miner's arithmetic.

const P = 0xffffffff00000001n; // 2^64 - 2^32 + 1

const felts = (text) => text.trim().split(/\s+/).map((h) => BigInt('0x' + h));

// Published constants of this width-12 instance; pinned by the vectors in tests/tools.
const INIT_EXT_RC = felts(`
c002e770975b1607 bca51a8dfe14593a 72938dfbe774f7f9 e4f2fe29e03234ac d5e0ba2f541b6449 ec33b868f3cc46c1
486dcb55419d475a 6c1cb2a358cc24f1 e3f30d509a1436bb d9a64f068dca7c29 e59b3f57aabba1ae 2a3dd4505b478fdc
ada1f8dc7676ed25 2711aa8b5509d516 4ae6acd0c9c92897 56eb3d6b5256d67a 1f7a9d55923bf51e 3600427d397a7f68
e5076df75b72c3d0 fcd59aa12c6090ad cd895e8c68b57a9e 41df7ef9d730ae3e ee3e2b889abe977d d29bb7edbeb9c405
7d5c08eef608e382 89ae889caaf0802c b35a8e976d2af617 db14234eafaf5173 78f04462d48b1c98 265293b0e47ce88a
999a649b69b9d32f 64b0a186698e01d3 ee0b22d0dfae8bb8 4fd53e50ca04a7ee 5762bfe181f25047 f51593e2beb5e3bd
1e5e2b5760e32477 622462a1f9aaaeed aa284b3ecdb222ae 63c8e72f542bf3fc 3ba588cacb43b5e0 23eda6f3c99150dd
aad3bea4baac9a5a e9da8d699b94184a cdb13f4cd93e024c 902cbd0956f655e3 5b4e40ffc759532f de795c20a2357af7`);
const TERM_EXT_RC = felts(`
7b72c539e0ea4c6e 144573dae2ce9976 802028b68f35fc88 6d36c5022c4fe7c2 a205d0ffa9b9def3 f6e7e38b1ea6ba2f
34f7909ae5258d64 b0464d9d77b97fca 64ddb9d5de7e00a6 0ed0d75c27975d97 1cbb36f11127338b 6673e505cfd0b6ba
605f902830872e01 3fd5eb927e95fe4f e81025b5a24c69cd f7d0ce75de23f74e f39942b6a8585089 6d808a08f7b71df6
f8806b6588f49a8b 57df2d8c2a32107a 16e7c2074d654a2d 213de241fcf33835 b0f2b8905a0976f6 d8e3cf2bbd355417
e498691679d9330f 763b45d2a3821b28 0908bf65eb0a1f0d 7691eb2d194b24f4 0e43551233ae13b2 93c393dbfc2fe76f
98f607485d48cdea e3d95f30309819c0 1ef581a93eaf6acf 0b24c1b7a030fca4 624370be5670b327 5f1e28615a11e486
fe04051f909e042b 7257e5b147fd3803 e6ae134bb82f2e78 5711fd5cf4784511 f83a42660c08c0bc 2cd8c96d9a3ce855
7d2ffb1bb0e17271 85ae1528caea3811 52a345d5c7adb0b8 504c4c51f3faee94 bce34a649cfccaf9 e0a3389266fb6dc9`);
const INTERNAL_RC = felts(`
97f7798a784ad863 d1d2bf082f60d4f0 69a377a79f9ad206 a9d06906a3858e24 295275001eede5b5 5874e441117bd746
8a084bbba8ed86cc 3defd7645cde6425 3998cfe6871cc137 3e52ef8bca48314a 964a209f85dc9ecc 3fcc9ee82cc4577e
8e79b4a5d0096d6d 8492362ad2392556 ee72f470262574d6 1e0e18496da2444a 0f3a74bf215eaac6 1b061b76a1c0ded3
192c42d86803d7a6 f6d49ff997ae0260 3ec372e7a0fa3786 5538cdf4f23445d3`);
const MAT_DIAG = felts(`
c3b6c08e23ba9300 d84b5de94a324fb6 0d0c371c5b35b84f 7964f570e7188037 5daf18bbd996604b 6743bc47b9595257
5528b9362c59bb70 ac45e25b7127b68b a2077d7dfbb606b5 f3faac6faee378ae 0c6388b51545e883 d27dbb6944917b60`);

// One 4-lane block times [[2,3,1,1],[1,2,3,1],[1,1,2,3],[3,1,1,2]], unreduced.
function m4(a, b, c, d) {
  return [2n * a + 3n * b + c + d, a + 2n * b + 3n * c + d, a + b + 2n * c + 3n * d, 3n * a + b + c + 2n * d];
}

// Diagonal blocks 2*M4, off-diagonal blocks M4: each lane adds its column sum over the blocks.
function externalLayer(s) {
  const y = [...m4(s[0], s[1], s[2], s[3]), ...m4(s[4], s[5], s[6], s[7]), ...m4(s[8], s[9], s[10], s[11])];
  return y.map((v, i) => (v + y[i % 4] + y[4 + (i % 4)] + y[8 + (i % 4)]) % P);
}

function internalLayer(s) {
  const sum = s.reduce((a, b) => a + b, 0n);
  return s.map((v, i) => (v * MAT_DIAG[i] + sum) % P);
}

function sbox(x) {
  const x2 = (x * x) % P;
  const x4 = (x2 * x2) % P;
  return (((x4 * x2) % P) * x) % P;
}

function permute(state) {
  let s = externalLayer(state.map((v) => v % P));
  for (let r = 0; r < 4; r++) s = externalLayer(s.map((v, i) => sbox(v + INIT_EXT_RC[12 * r + i])));
  for (let r = 0; r < 22; r++) s = internalLayer([sbox(s[0] + INTERNAL_RC[r]), ...s.slice(1)]);
  for (let r = 0; r < 4; r++) s = externalLayer(s.map((v, i) => sbox(v + TERM_EXT_RC[12 * r + i])));
  return s;
}

function absorb(state, words) {
  return permute(state.map((v, i) => (i < 8 ? (v + words[i]) % P : v)));
}

function wordsLe32(buf) {
  const out = [];
  for (let i = 0; i < buf.length; i += 4) out.push(BigInt(buf.readUInt32LE(i)));
  return out;
}

function feltsLe64(lanes) {
  const out = Buffer.alloc(8 * lanes.length);
  lanes.forEach((v, k) => out.writeBigUInt64LE(v, 8 * k));
  return out;
}

// header: 32-byte Buffer, nonce: 64-byte Buffer -> 64-byte Buffer.
function hashFull(header, nonce) {
  if (header.length !== 32 || nonce.length !== 64) throw new Error('hashFull: wrong input lengths');
  let s = absorb(new Array(12).fill(0n), wordsLe32(header));
  s = absorb(s, wordsLe32(nonce.subarray(0, 32)));
  s = absorb(s, wordsLe32(nonce.subarray(32)));
  s = absorb(s, [1n, 1n, 0n, 0n, 0n, 0n, 0n, 0n]);
  return Buffer.concat([feltsLe64(s.slice(0, 4)), feltsLe64(permute(s).slice(0, 4))]);
}

// floor((2^512 - 1) / d) as 64 big-endian bytes; d a BigInt >= 1.
function targetFromDifficulty(d) {
  const t = ((1n << 512n) - 1n) / d;
  return Buffer.from(t.toString(16).padStart(128, '0'), 'hex');
}

// Both 64-byte big-endian strings: a byte-wise comparison is the numeric one.
function isBelow(hash, target) {
  return Buffer.compare(hash, target) < 0;
}

module.exports = { P, permute, externalLayer, hashFull, targetFromDifficulty, isBelow };
