"""The device module as nvcc compiles it with the release flags, for sm_90 (counter layout) and
sm_120 (direction layout), executed from its own PTX and compared with the outside oracle: every
kernel the modes launch, on random launches and on the edges of both nonce layouts. This runs
what a GPU runs (every __CUDA_ARCH__ arm, the device tables, __byte_perm, atomics, barriers),
which the host emulation, compiled from the same source by g++, never does."""

import os
import random
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(ROOT, "tools"))

import oracle  # noqa: E402
import ptx_interp  # noqa: E402
from kernel_cost import build  # noqa: E402

ARCHS = (("sm_90", False), ("sm_120", True))  # (arch, direction layout)
FOUND_SLOTS = 8
RESULT_BYTES = 8 + 16 * FOUND_SLOTS  # count (padded), index[8], base[8]
MASK32, MASK64 = 0xFFFFFFFF, (1 << 64) - 1
ALL_ONES, ZEROS = b"\xff" * 64, bytes(64)
# The source folders of the device module; the mutants are made in a copy of them.
DEVICE_SOURCES = ("field", "gpu", "hash", "search")


def module_ptx(root, arch, out_dir):
    out = os.path.join(out_dir, "kernels.%s.ptx" % arch)
    build.run([build.find_nvcc()] + build.RELEASE_FLAGS +
              ["-I", root, "-ptx", "-arch=" + arch, "-o", out,
               os.path.join(root, "gpu", "cuda_kernels.cu")], "nvcc -ptx " + arch)
    with open(out) as fh:
        return fh.read()


def le64s(data):
    return [int.from_bytes(data[k:k + 8], "little") for k in range(0, len(data), 8)]


def words_bytes(words):
    return b"".join(w.to_bytes(8, "little") for w in words)


def montgomery(x):
    return (x << 64) % oracle.P


class Device:
    """One architecture's module, launched as the modes launch it, on byte strings."""

    def __init__(self, ptx, direction):
        self.m = ptx_interp.Module(ptx)
        self.dir = direction

    def run(self, kernel, blocks, tpb, params, **subset):
        self.m.launch(self.m.entry_named(kernel), blocks, tpb, params, **subset)

    def midstate_words(self, header, high):
        """What the midstate kernel hands the mining kernels: canonical from 12.0, else
        Montgomery."""
        mid = oracle.midstate(header, high)
        return mid if self.dir else [montgomery(x) for x in mid]

    def hash_full(self, header, nonce):
        m = self.m
        out = m.buffer(size=64)
        self.run("hash_full_kernel", 1, 1, [m.buffer(header), m.buffer(nonce), out])
        return m.read(out, 64)

    def midstate(self, header, high):
        m = self.m
        out = m.buffer(size=96)
        self.run("midstate_kernel", 1, 1, [m.buffer(header), m.buffer(high), out])
        return le64s(m.read(out, 96))

    def mine(self, mid, start, target, count, per_thread, blocks, tpb, threads=None):
        """Returns (hit count, [(index, base)] of the filled slots, the raw result bytes)."""
        m = self.m
        res = m.buffer(size=RESULT_BYTES)
        self.run("mine_kernel", blocks, tpb,
                 [m.buffer(words_bytes(mid)), m.buffer(start), m.buffer(target), count,
                  per_thread, res], only_threads=threads)
        raw = m.read(res, RESULT_BYTES)
        n = int.from_bytes(raw[:4], "little")
        idx, base = le64s(raw[8:8 + 8 * FOUND_SLOTS]), le64s(raw[8 + 8 * FOUND_SLOTS:])
        return n, list(zip(idx, base))[:min(n, FOUND_SLOTS)], raw


# ----------------------------------------------------------------------------- the mining cases

# (name, blocks, tpb, per_thread, count (None: every index), target, start value, threads)
# target: ("rank", k) launches twice, at H_j and at H_j + 1 for the index j with the k-th
# smallest hash, so j must miss, then hit; "zero" and "ones" are the all-0x00 / all-0xFF targets.
# start value: G0 (direction layout) or the counter (counter layout); None draws one.
COMMON_CASES = (
    ("random launch", 2, 8, 2, None, ("rank", 3), None, None),
    ("random launch, odd geometry", 3, 5, 3, None, ("rank", 1), None, None),
    ("count below the thread total", 2, 8, 2, 13, ("rank", 2), None, None),
    ("count 0", 2, 8, 2, 0, "ones", None, None),
    ("per_thread 0", 2, 8, 0, 32, "ones", None, None),
    ("more than 8 hits", 2, 8, 2, None, ("rank", 12), None, None),
    ("all-zero target", 2, 4, 2, None, "zero", None, None),
)
DIRECTION_CASES = (
    ("G0 crossing from L into M", 2, 4, 2, None, ("rank", 3), 0x3FFFFF, None),
    ("G0 crossing from M into H", 2, 4, 2, None, ("rank", 3), (1 << 44) - 1, None),
    ("G0 = 2^64 - 1 wrapping", 2, 4, 2, None, ("rank", 3), MASK64, None),
    ("span 32768, threads 0 and 511", 1, 512, 64, None, ("rank", 2), None, (0, 511)),
    ("span 32769 evaluates nothing", 1, 3, 10923, None, "ones", None, None),
)
COUNTER_CASES = (
    ("counter wrapping at 2^32", 2, 8, 1, None, ("rank", 3), 0xFFFFFFF9, None),
    ("counter across bytes 1 and 2", 2, 4, 2, None, ("rank", 3), 0x2300FFFB, None),
    ("counter across bytes 0 to 3", 2, 4, 2, None, ("rank", 3), 0x00FFFFFC, None),
)


def mine_cases(direction):
    return COMMON_CASES + (DIRECTION_CASES if direction else COUNTER_CASES)


def evaluated(direction, blocks, tpb, per_thread, count, threads):
    """The indices a launch evaluates: nothing past count, nothing from a direction span over
    32768 (the words would leave (0, 2^31))."""
    if direction and tpb * per_thread > 32768:
        return []
    return [i for b in range(blocks) for t in (threads or range(tpb)) for k in range(per_thread)
            for i in [(b * tpb + t) * per_thread + k] if i < count]


def check_mine_case(dev, case, rng):
    """Runs one case; returns what differed from the oracle ([] when nothing)."""
    name, blocks, tpb, per_thread, count, target, value, threads = case
    header, high = rng.randbytes(32), rng.randbytes(32)
    mid = oracle.midstate(header, high)
    if value is None:
        value = rng.getrandbits(64 if dev.dir else 32)
    if dev.dir:
        start = rng.randbytes(24) + value.to_bytes(8, "big")
        low = lambda i: oracle.dir_low(value, i, tpb, per_thread)  # noqa: E731
    else:
        start = rng.randbytes(28) + value.to_bytes(4, "big")
        low = lambda i: start[:28] + ((value + i) & MASK32).to_bytes(4, "big")  # noqa: E731
    total = blocks * tpb * max(per_thread, 1)
    count = total if count is None else count
    hashes = {i: oracle.tail(mid, low(i)) for i in evaluated(dev.dir, blocks, tpb, per_thread,
                                                             count, threads)}
    if target in ("zero", "ones"):
        targets = [ZEROS if target == "zero" else ALL_ONES]
    else:
        j = sorted(hashes, key=hashes.get)[target[1] - 1]
        h = int.from_bytes(hashes[j], "big")
        targets = [hashes[j], (h + 1).to_bytes(64, "big")]
    g0 = int.from_bytes(start[24:], "big")
    faults = []
    for t in targets:
        want = {i for i, h in hashes.items() if h < t}
        n, slots, _ = dev.mine(dev.midstate_words(header, high), start, t, count, per_thread,
                               blocks, tpb, threads)
        got = [i for i, _ in slots]
        if n != len(want):
            faults.append("%s: %d hits, the oracle %d" % (name, n, len(want)))
        elif len(set(got)) != len(got) or not set(got) <= want:
            faults.append("%s: slots %s are not distinct hits" % (name, got))
        elif any(b != g0 for _, b in slots):
            faults.append("%s: slot bases %s, G0 %d" % (name, [b for _, b in slots], g0))
        elif len(want) <= FOUND_SLOTS and set(got) != want:
            faults.append("%s: hits %s, the oracle %s" % (name, sorted(got), sorted(want)))
    return faults


def first_faults(dev, rng, cases):
    for case in cases:
        try:
            faults = check_mine_case(dev, case, rng)
        except ptx_interp.PtxError as exc:
            faults = ["%s: %s" % (case[0], exc)]
        if faults:
            return faults
    return []


# ------------------------------------------------------------------------------------ the tests

class KernelPtx(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        cls.ptx = {arch: module_ptx(ROOT, arch, cls.tmp.name) for arch, _ in ARCHS}
        cls.dev = {arch: Device(cls.ptx[arch], d) for arch, d in ARCHS}
        dump = os.path.join(cls.tmp.name, "tables_dump")
        build.run(["g++", "-std=c++17", "-O1", "-I", ROOT, "-o", dump,
                   os.path.join(HERE, "tables_dump.cpp")], "g++ tables_dump")
        out = subprocess.run([dump], capture_output=True, text=True, check=True).stdout
        cls.host_tables = {n: bytes.fromhex(h) for n, h in (ln.split() for ln in out.splitlines())}
        cls.seed = int(os.environ.get("TARN_TEST_SEED", random.randrange(1 << 32)))
        print("kernel PTX cases: seed %d (TARN_TEST_SEED to repeat)" % cls.seed, file=sys.stderr)

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def rng(self, arch):
        return random.Random("%d %s %s" % (self.seed, arch, self.id()))

    def test_constant_tables_are_the_host_tables(self):
        named = {"INTERNAL_RC": oracle.INTERNAL_RC, "MAT_DIAG": oracle.MAT_DIAG,
                 "TERM_EXT_RC": oracle.TERM_EXT_RC, "INIT_EXT_RC": oracle.INIT_EXT_RC}
        for arch, _ in ARCHS:
            with self.subTest(arch=arch):
                consts = {n: data for n, (space, data) in ptx_interp.const_tables(self.ptx[arch]).items()
                          if space == "const"}
                self.assertEqual(sorted(consts), sorted(self.host_tables))
                for name, data in consts.items():
                    self.assertEqual(data.hex(), self.host_tables[name].hex(), name)
                for name, values in named.items():
                    self.assertEqual(le64s(consts[name]), values, name)

    def test_no_carry_chain_mixes_add_and_sub(self):
        # Mixed chains read CC.CF as the hardware carry, which a reading as a borrow gets wrong:
        # without them the result cannot depend on the convention.
        for arch, _ in ARCHS:
            with self.subTest(arch=arch):
                self.assertEqual(ptx_interp.mixed_carry_chains(self.ptx[arch]), [])
        doctored = self.ptx["sm_90"].replace("sub.cc.u32", "add.cc.u32", 1)
        self.assertTrue(ptx_interp.mixed_carry_chains(doctored))

    def test_hash_and_midstate_kernels_match_the_oracle(self):
        for arch, direction in ARCHS:
            rng, dev = self.rng(arch), self.dev[arch]
            inputs = [(bytes(32), bytes(64)), (ALL_ONES[:32], ALL_ONES)]
            inputs += [(rng.randbytes(32), rng.randbytes(64)) for _ in range(2)]
            for header, nonce in inputs:
                with self.subTest(arch=arch, header=header.hex()[:8], nonce=nonce.hex()[:8]):
                    self.assertEqual(dev.hash_full(header, nonce).hex(),
                                     oracle.hash_full(header, nonce).hex())
                    self.assertEqual(dev.midstate(header, nonce[:32]),
                                     dev.midstate_words(header, nonce[:32]))

    def test_mine_kernel_decides_as_the_oracle(self):
        for arch, direction in ARCHS:
            rng = self.rng(arch)
            for case in mine_cases(direction):
                with self.subTest(arch=arch, case=case[0]):
                    self.assertEqual(check_mine_case(self.dev[arch], case, rng), [])

    def test_mineverify_kernel_matches_the_oracle(self):
        blocks, tpb, n = 2, 8, 13
        for arch, direction in ARCHS:
            rng, dev = self.rng(arch), self.dev[arch]
            m = dev.m
            header, high = rng.randbytes(32), rng.randbytes(32)
            low = rng.randbytes(28) + (MASK32 - 5).to_bytes(4, "big")  # wraps at index 6
            mid = oracle.midstate(header, high)
            want = [oracle.tail(mid, low[:28] + ((MASK32 - 5 + i) & MASK32).to_bytes(4, "big"))
                    for i in range(n)]
            target = (int.from_bytes(sorted(want)[3], "big") + 1).to_bytes(64, "big")
            hashes, decisions, ties = (m.buffer(size=64 * n), m.buffer(size=n), m.buffer(size=n))
            dev.run("mineverify_kernel", blocks, tpb,
                    [m.buffer(words_bytes(dev.midstate_words(header, high))), m.buffer(low), n,
                     hashes, m.buffer(target), decisions, ties])
            with self.subTest(arch=arch):
                self.assertEqual(m.read(hashes, 64 * n), b"".join(want))
                self.assertEqual(list(m.read(decisions, n)), [0 if h < target else 1 for h in want])
                self.assertEqual(list(m.read(ties, n)), [1] * n)

    def test_sparse_path_and_full_oracle_kernels_match_the_oracle(self):
        blocks, tpb, pt = 2, 4, 2
        n = blocks * tpb * pt
        dev = self.dev["sm_120"]
        m, rng = dev.m, self.rng("sm_120")
        header, high = rng.randbytes(32), rng.randbytes(32)
        g0 = (1 << 44) - 1  # block 1 carries into H
        start = rng.randbytes(24) + g0.to_bytes(8, "big")
        mid = oracle.midstate(header, high)
        lows = [oracle.dir_low(g0, i, tpb, pt) for i in range(n)]
        want = [oracle.tail(mid, lo) for lo in lows]
        target = (int.from_bytes(sorted(want)[4], "big") + 1).to_bytes(64, "big")
        out = {k: m.buffer(size=s) for k, s in (("indices", 8 * n), ("nonces", 64 * n),
                                                ("sparse", 64 * n), ("direct", 64 * n),
                                                ("decisions", n), ("ties", n),
                                                ("seed", RESULT_BYTES))}
        dev.run("minesparsepath_kernel", blocks, tpb,
                [m.buffer(words_bytes(mid)), m.buffer(start), m.buffer(high), m.buffer(target),
                 m.buffer(ZEROS), pt, out["indices"], out["nonces"], out["sparse"],
                 out["direct"], out["decisions"], out["ties"], out["seed"]])
        self.assertEqual(le64s(m.read(out["indices"], 8 * n)), list(range(n)))
        self.assertEqual(m.read(out["nonces"], 64 * n), b"".join(high + lo for lo in lows))
        self.assertEqual(m.read(out["sparse"], 64 * n), b"".join(want))
        self.assertEqual(m.read(out["direct"], 64 * n), b"".join(want))
        self.assertEqual(list(m.read(out["decisions"], n)), [0 if h < target else 1 for h in want])
        self.assertEqual(list(m.read(out["ties"], n)), [1] * n)
        seed = m.read(out["seed"], RESULT_BYTES)
        self.assertEqual((int.from_bytes(seed[:4], "little"), le64s(seed[8:16]),
                          le64s(seed[8 + 8 * FOUND_SLOTS:16 + 8 * FOUND_SLOTS])), (1, [0], [g0]))
        # The from-scratch hash of a nonce list, one thread past the count writing nothing.
        nonces = [rng.randbytes(64) for _ in range(4)]
        hashes = m.buffer(size=64 * 4)
        dev.run("minesparse_full_oracle_kernel", 1, 4,
                [m.buffer(header), m.buffer(b"".join(nonces)), 3, hashes])
        self.assertEqual(m.read(hashes, 256),
                         b"".join(oracle.hash_full(header, x) for x in nonces[:3]) + ZEROS)

    def test_what_the_interpreter_cannot_vouch_for_fails(self):
        dev = self.dev["sm_90"]
        m = dev.m
        with self.assertRaisesRegex(ptx_interp.PtxError, "store of 8 bytes outside a buffer"):
            # Every index hits; the result record is one word long.
            dev.run("mine_kernel", 1, 2, [m.buffer(bytes(96)), m.buffer(bytes(32)),
                                          m.buffer(ALL_ONES), 2, 1, m.buffer(size=8)])
        odd = self.ptx["sm_90"].replace("mul.wide.u32", "mul.wide.f32", 1)
        with self.assertRaisesRegex(ptx_interp.PtxError, "mul.wide.f32"):
            ptx_interp.Module(odd).kernel(m.entry_named("hash_full_kernel"))

    def test_device_only_mutants_fail(self):
        # Faults in what only a GPU build compiles (the asm, the device arms) or runs (the barrier),
        # and in the wide multiply-add fold that the builds from 12.0 use in every layer.
        mutants = (
            ("sm_120", "field/goldilocks.h", "(F == Fold::mad) return fold_mul_eps(a.lo, a.hi,",
             "(F == Fold::mad) return fold_mul_eps(a.lo ^ (a.hi & 1u), a.hi,"),
            ("sm_90", "hash/sponge.h", "  return __byte_perm(x, 0, 0x0123);",
             "  return __byte_perm(x, 0, 0x1023);"),
            ("sm_90", "gpu/cuda_kernels.cu",
             "&shared);\n  __syncthreads();\n  tarn::mine_thread", "&shared);\n  tarn::mine_thread"),
        )
        direction = dict(ARCHS)
        for arch, path, good, bad in mutants:
            with self.subTest(arch=arch, mutant=path), tempfile.TemporaryDirectory() as tree:
                for d in DEVICE_SOURCES:
                    shutil.copytree(os.path.join(ROOT, d), os.path.join(tree, d))
                with open(os.path.join(tree, path)) as fh:
                    text = fh.read()
                self.assertEqual(text.count(good), 1, "the mutant no longer applies")
                with open(os.path.join(tree, path), "w") as fh:
                    fh.write(text.replace(good, bad))
                dev = Device(module_ptx(tree, arch, tree), direction[arch])
                faults = first_faults(dev, self.rng(arch), mine_cases(direction[arch]))
                print("mutant %s %s: %s" % (arch, path, faults[:1]), file=sys.stderr)
                self.assertTrue(faults)


if __name__ == "__main__":
    unittest.main()
