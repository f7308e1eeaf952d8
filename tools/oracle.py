#!/usr/bin/env python3
"""Outside oracle of the tarn proof-of-work hash (Poseidon2 sponge over Goldilocks).

Written from the mathematics with Python integers and canonical values after every
step, so it shares no code and no shortcuts with the miner it checks.

Commands:
  hash [--echo]               stdin lines "HEADER NONCE [...]" -> one hash per line
  minev HDR START SEL...      the standard input of the miner's "minev" self-test
  target D                    the 64-byte target of difficulty D
  check HDR NONCE D           exit 0 when hash(HDR, NONCE) < target(D), else 1
  dirlow BASE INDEX TPB PT    the 32-byte direction-layout low half of a hit
Usage errors exit with status 2.
"""

import argparse
import re
import sys

P = 0xFFFFFFFF00000001  # Goldilocks prime 2^64 - 2^32 + 1
MASK32 = 0xFFFFFFFF
MASK64 = (1 << 64) - 1

# Round constants and internal diagonal of the width-12 Poseidon2 instance, as published
# for this hash; pinned by the permutation vectors in tests/tools/test_oracle.py.
INIT_EXT_RC = [int(x, 16) for x in """
c002e770975b1607 bca51a8dfe14593a 72938dfbe774f7f9 e4f2fe29e03234ac d5e0ba2f541b6449 ec33b868f3cc46c1
486dcb55419d475a 6c1cb2a358cc24f1 e3f30d509a1436bb d9a64f068dca7c29 e59b3f57aabba1ae 2a3dd4505b478fdc
ada1f8dc7676ed25 2711aa8b5509d516 4ae6acd0c9c92897 56eb3d6b5256d67a 1f7a9d55923bf51e 3600427d397a7f68
e5076df75b72c3d0 fcd59aa12c6090ad cd895e8c68b57a9e 41df7ef9d730ae3e ee3e2b889abe977d d29bb7edbeb9c405
7d5c08eef608e382 89ae889caaf0802c b35a8e976d2af617 db14234eafaf5173 78f04462d48b1c98 265293b0e47ce88a
999a649b69b9d32f 64b0a186698e01d3 ee0b22d0dfae8bb8 4fd53e50ca04a7ee 5762bfe181f25047 f51593e2beb5e3bd
1e5e2b5760e32477 622462a1f9aaaeed aa284b3ecdb222ae 63c8e72f542bf3fc 3ba588cacb43b5e0 23eda6f3c99150dd
aad3bea4baac9a5a e9da8d699b94184a cdb13f4cd93e024c 902cbd0956f655e3 5b4e40ffc759532f de795c20a2357af7
""".split()]

TERM_EXT_RC = [int(x, 16) for x in """
7b72c539e0ea4c6e 144573dae2ce9976 802028b68f35fc88 6d36c5022c4fe7c2 a205d0ffa9b9def3 f6e7e38b1ea6ba2f
34f7909ae5258d64 b0464d9d77b97fca 64ddb9d5de7e00a6 0ed0d75c27975d97 1cbb36f11127338b 6673e505cfd0b6ba
605f902830872e01 3fd5eb927e95fe4f e81025b5a24c69cd f7d0ce75de23f74e f39942b6a8585089 6d808a08f7b71df6
f8806b6588f49a8b 57df2d8c2a32107a 16e7c2074d654a2d 213de241fcf33835 b0f2b8905a0976f6 d8e3cf2bbd355417
e498691679d9330f 763b45d2a3821b28 0908bf65eb0a1f0d 7691eb2d194b24f4 0e43551233ae13b2 93c393dbfc2fe76f
98f607485d48cdea e3d95f30309819c0 1ef581a93eaf6acf 0b24c1b7a030fca4 624370be5670b327 5f1e28615a11e486
fe04051f909e042b 7257e5b147fd3803 e6ae134bb82f2e78 5711fd5cf4784511 f83a42660c08c0bc 2cd8c96d9a3ce855
7d2ffb1bb0e17271 85ae1528caea3811 52a345d5c7adb0b8 504c4c51f3faee94 bce34a649cfccaf9 e0a3389266fb6dc9
""".split()]

INTERNAL_RC = [int(x, 16) for x in """
97f7798a784ad863 d1d2bf082f60d4f0 69a377a79f9ad206 a9d06906a3858e24 295275001eede5b5 5874e441117bd746
8a084bbba8ed86cc 3defd7645cde6425 3998cfe6871cc137 3e52ef8bca48314a 964a209f85dc9ecc 3fcc9ee82cc4577e
8e79b4a5d0096d6d 8492362ad2392556 ee72f470262574d6 1e0e18496da2444a 0f3a74bf215eaac6 1b061b76a1c0ded3
192c42d86803d7a6 f6d49ff997ae0260 3ec372e7a0fa3786 5538cdf4f23445d3
""".split()]

MAT_DIAG = [int(x, 16) for x in """
c3b6c08e23ba9300 d84b5de94a324fb6 0d0c371c5b35b84f 7964f570e7188037 5daf18bbd996604b 6743bc47b9595257
5528b9362c59bb70 ac45e25b7127b68b a2077d7dfbb606b5 f3faac6faee378ae 0c6388b51545e883 d27dbb6944917b60
""".split()]

# The 4x4 block of the external layer; the diagonal blocks of the 12x12 matrix are twice it.
M4 = [[2, 3, 1, 1], [1, 2, 3, 1], [1, 1, 2, 3], [3, 1, 1, 2]]


def external_layer(s):
    """12 canonical felts -> 12 canonical felts: blocks 2*M4 on the diagonal, M4 elsewhere."""
    out = []
    for bi in range(3):
        row = []
        for r in range(4):
            acc = 0
            for bj in range(3):
                weight = 2 if bi == bj else 1
                for c in range(4):
                    acc += weight * M4[r][c] * s[4 * bj + c]
            row.append(acc % P)
        out += row
    return out


def internal_layer(s):
    """diag(MAT_DIAG) plus the all-ones matrix."""
    total = sum(s)
    return [(s[i] * MAT_DIAG[i] + total) % P for i in range(12)]


def sbox(x):
    return pow(x, 7, P)


def permute(state):
    """Poseidon2, width 12: 4 external, 22 internal, 4 external rounds. Returns a new list."""
    s = external_layer([x % P for x in state])
    for r in range(4):
        s = external_layer([sbox(s[i] + INIT_EXT_RC[12 * r + i]) for i in range(12)])
    for r in range(22):
        s = internal_layer([sbox(s[0] + INTERNAL_RC[r])] + s[1:])
    for r in range(4):
        s = external_layer([sbox(s[i] + TERM_EXT_RC[12 * r + i]) for i in range(12)])
    return s


def words_le32(data):
    return [int.from_bytes(data[i:i + 4], "little") for i in range(0, len(data), 4)]


def absorb(state, words):
    return permute([(state[i] + words[i]) % P if i < 8 else state[i] for i in range(12)])


def felts_le64(lanes):
    return b"".join(x.to_bytes(8, "little") for x in lanes)


def midstate(header, prefix):
    """Sponge state after the header block and nonce bytes 0-31: 12 canonical felts."""
    state = absorb([0] * 12, words_le32(header))
    return absorb(state, words_le32(prefix[:32]))


def tail(mid, low_half):
    """Hash bytes from a midstate and nonce bytes 32-63: block 3, padding, two squeezes."""
    state = absorb(mid, words_le32(low_half))
    state = absorb(state, [1, 1, 0, 0, 0, 0, 0, 0])
    first = felts_le64(state[:4])
    return first + felts_le64(permute(state)[:4])


def hash_full(header, nonce):
    assert len(header) == 32 and len(nonce) == 64
    return tail(midstate(header, nonce[:32]), nonce[32:])


def target_from_difficulty(d):
    """floor((2^512 - 1) / d) as 64 big-endian bytes."""
    return (((1 << 512) - 1) // d).to_bytes(64, "big")


def is_hit(hash_bytes, target):
    # Equal-length big-endian byte strings compare like the numbers they encode.
    return hash_bytes < target


def dir_low(base, index, tpb, per_thread):
    """Direction-layout low half of hit (base, index) for a launch with tpb x per_thread span."""
    span = tpb * per_thread
    g = (base + index // span) & MASK64
    r = index % span
    big = 1 << 30
    lo, mid, hi = g & 0x3FFFFF, (g >> 22) & 0x3FFFFF, g >> 44
    words = [big + 17 * r, big - 11 * r + lo, big + 3 * r + mid, big - 4 * r + hi,
             big - 17 * r, big + 11 * r, big - 3 * r, big + 4 * r]
    return b"".join((w & MASK32).to_bytes(4, "little") for w in words)


def counter_nonce(start, i):
    """Start nonce with bytes 60-63 replaced by big-endian (v + i) mod 2^32."""
    v = int.from_bytes(start[60:64], "big")
    return start[:60] + ((v + i) & MASK32).to_bytes(4, "big")


def minev_lines(header, start, indices, label="MIDSTATE"):
    """Standard input for the miner's mining-path self-test, in the given index order."""
    mid = midstate(header, start[:32])
    lines = [" ".join([label] + ["%016x" % x for x in mid])]
    for i in indices:
        lines.append("%d %s" % (i, hash_full(header, counter_nonce(start, i)).hex()))
    return lines


# ---------------------------------------------------------------- command line

HEX_RE = re.compile(r"^[0-9a-fA-F]*$")


class UsageError(Exception):
    pass


def parse_hex(text, nbytes, what):
    if len(text) != 2 * nbytes or not HEX_RE.match(text):
        raise UsageError("%s must be %d hexadecimal digits: %r" % (what, 2 * nbytes, text))
    return bytes.fromhex(text)


def parse_uint(text, what, limit=None):
    if not text.isdigit():
        raise UsageError("%s must be an unsigned decimal integer: %r" % (what, text))
    value = int(text)
    if limit is not None and value > limit:
        raise UsageError("%s must be at most %d: %r" % (what, limit, text))
    return value


def parse_difficulty(text):
    d = parse_uint(text, "difficulty")
    if d < 1:
        raise UsageError("difficulty must be at least 1")
    return d


def cmd_hash(args):
    for lineno, line in enumerate(sys.stdin, 1):
        fields = line.split()
        if len(fields) < 2:
            continue  # like the miner: lines without both fields are skipped
        header = parse_hex(fields[0], 32, "line %d header" % lineno)
        nonce = parse_hex(fields[1], 64, "line %d nonce" % lineno)
        digest = hash_full(header, nonce).hex()
        print("%s %s %s" % (fields[0], fields[1], digest) if args.echo else digest)
    return 0


class IndexSelection(argparse.Action):
    """Collects --indices and --range in command-line order into one list."""

    def __call__(self, parser, namespace, values, option_string=None):
        chosen = getattr(namespace, self.dest) or []
        try:
            if option_string == "--indices":
                chosen += [parse_uint(v, "index", MASK32) for v in values.split(",") if v != ""]
            else:
                a = parse_uint(values[0], "range start", MASK32)
                b = parse_uint(values[1], "range end", MASK32 + 1)
                chosen += list(range(a, b))
        except UsageError as e:
            parser.error(str(e))
        setattr(namespace, self.dest, chosen)


def cmd_minev(args):
    header = parse_hex(args.hdr, 32, "header")
    start = parse_hex(args.start, 64, "start nonce")
    indices = args.indices or []
    if not re.match(r"^\S{1,15}$", args.label):
        raise UsageError("the label must be one word of at most 15 characters")
    if not indices:
        raise UsageError("minev needs at least one index (--indices LIST or --range A B)")
    lines = minev_lines(header, start, indices, args.label)
    if args.corrupt_midstate is not None:
        # Deliberate fault for testing the self-test: flip the lowest bit of one lane.
        parts = lines[0].split()
        lane = args.corrupt_midstate
        parts[1 + lane] = "%016x" % (int(parts[1 + lane], 16) ^ 1)
        lines[0] = " ".join(parts)
    for k in range(1, len(lines)):
        idx, digest = lines[k].split()
        if int(idx) in (args.corrupt_index or []):
            # Flip the last digit: the hash stays well-formed but wrong in its last byte.
            digest = digest[:-1] + "%x" % (int(digest[-1], 16) ^ 1)
            lines[k] = "%s %s" % (idx, digest)
    print("\n".join(lines))
    return 0


def cmd_target(args):
    print(target_from_difficulty(parse_difficulty(args.difficulty)).hex())
    return 0


def cmd_check(args):
    header = parse_hex(args.hdr, 32, "header")
    nonce = parse_hex(args.nonce, 64, "nonce")
    digest = hash_full(header, nonce)
    hit = is_hit(digest, target_from_difficulty(parse_difficulty(args.difficulty)))
    print("%s %s" % (digest.hex(), "below" if hit else "not-below"))
    return 0 if hit else 1


def cmd_dirlow(args):
    base = parse_uint(args.base, "base", MASK64)
    index = parse_uint(args.index, "index", MASK64)
    tpb = parse_uint(args.tpb, "tpb")
    per_thread = parse_uint(args.per_thread, "per_thread")
    if tpb < 1 or per_thread < 1 or tpb * per_thread > 32768:
        raise UsageError("tpb and per_thread must be at least 1 with a span of at most 32768")
    print(dir_low(base, index, tpb, per_thread).hex())
    return 0


def build_parser():
    parser = argparse.ArgumentParser(prog="oracle.py", description=__doc__.splitlines()[0])
    sub = parser.add_subparsers(dest="command", required=True)

    p = sub.add_parser("hash", help="hash stdin lines 'HEADER NONCE [...]'")
    p.add_argument("--echo", action="store_true",
                   help="print 'HEADER NONCE HASH' lines (a verify file) instead of the hash alone")
    p.set_defaults(run=cmd_hash)

    p = sub.add_parser("minev", help="standard input of the mining-path self-test")
    p.add_argument("hdr", help="header, 64 hex digits")
    p.add_argument("start", help="start nonce, 128 hex digits")
    p.add_argument("--indices", dest="indices", action=IndexSelection, metavar="LIST",
                   help="comma-separated indices, any order, repeats allowed")
    p.add_argument("--range", dest="indices", action=IndexSelection, nargs=2, metavar=("A", "B"),
                   help="indices A to B-1")
    p.add_argument("--label", default="MIDSTATE", help="first word of the midstate line")
    p.add_argument("--corrupt-index", type=int, action="append", metavar="I",
                   help="write a wrong hash for index I (fault injection)")
    p.add_argument("--corrupt-midstate", type=int, choices=range(12), metavar="LANE",
                   help="write a wrong midstate felt for LANE (fault injection)")
    p.set_defaults(run=cmd_minev)

    p = sub.add_parser("target", help="target of a difficulty, 128 hex digits")
    p.add_argument("difficulty")
    p.set_defaults(run=cmd_target)

    p = sub.add_parser("check", help="exit 0 when the hash is below the target, else 1")
    p.add_argument("hdr")
    p.add_argument("nonce")
    p.add_argument("difficulty")
    p.set_defaults(run=cmd_check)

    p = sub.add_parser("dirlow", help="direction-layout low half, 64 hex digits")
    p.add_argument("base")
    p.add_argument("index")
    p.add_argument("tpb")
    p.add_argument("per_thread")
    p.set_defaults(run=cmd_dirlow)
    return parser


def main(argv=None):
    args = build_parser().parse_args(argv)
    try:
        return args.run(args)
    except UsageError as e:
        print("oracle.py: error: %s" % e, file=sys.stderr)
        return 2


if __name__ == "__main__":
    sys.exit(main())
