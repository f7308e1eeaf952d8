"""Every inline PTX block of the arithmetic, as nvcc emits it (operands bound), run by a PTX
interpreter on boundary and random operands and compared with the host twin of the same call."""

import glob
import itertools
import os
import random
import re
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(ROOT, "tools"))

import ptx_interp  # noqa: E402
from kernel_cost import build  # noqa: E402

P = 0xFFFFFFFF00000001
EDGES = (0, 1, 2, 0xFFFFFFFF, 1 << 32, (1 << 32) + 1, (1 << 63) - 1, 1 << 63, P - 1, P, P + 1,
         0xFFFFFFFF00000000, (1 << 64) - 2, (1 << 64) - 1)
EPS = 0xFFFFFFFF
# Inputs that are the field's epsilon by contract (the fold's bound argument needs eps = 2^32-1).
EPS_INPUT = {"fold_mul_eps": 2, "fold_mul_eps_adds": 2, "fold128": 2, "fold128_plus_eps": 2, "add_fold": 2, "add_fold_mad": 2}
# Where an asm statement may live; each must have its entry in blocks.h.
ASM_HEADERS = ("field", "hash", "search")


def block_table():
    with open(os.path.join(HERE, "blocks.h")) as fh:
        return [(m.group(1), int(m.group(2)), int(m.group(3)))
                for m in re.finditer(r"X\((\w+), (\d+), (\d+),", fh.read())]


def operand_sets(name, nin, rng):
    combos = list(itertools.product(EDGES, repeat=nin))
    if len(combos) > 3000:
        combos = [tuple(rng.choice(EDGES) for _ in range(nin)) for _ in range(3000)]
    combos += [tuple(rng.getrandbits(64) for _ in range(nin)) for _ in range(400)]
    combos += [tuple(rng.choice((rng.getrandbits(64), rng.choice(EDGES))) for _ in range(nin))
               for _ in range(400)]
    if name in EPS_INPUT:
        k = EPS_INPUT[name]
        combos = sorted({c[:k] + (EPS,) + c[k + 1:] for c in combos})
    return combos


class InlinePtx(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        ptx = os.path.join(cls.tmp.name, "blocks.ptx")
        build.run([build.find_nvcc()] + build.RELEASE_FLAGS +
                  ["-I", ROOT, "-ptx", "-arch=sm_90", "-o", ptx, os.path.join(HERE, "blocks.cu")],
                  "nvcc -ptx")
        with open(ptx) as fh:
            cls.ptx = fh.read()
        cls.twin = os.path.join(cls.tmp.name, "twin")
        build.run(["g++", "-std=c++17", "-O1", "-I", ROOT, "-o", cls.twin,
                   os.path.join(HERE, "twin.cpp")], "g++ twin")
        seed = int(os.environ.get("TARN_TEST_SEED", random.randrange(1 << 32)))
        print("inline PTX operands: seed %d (TARN_TEST_SEED to repeat)" % seed, file=sys.stderr)
        cls.cases = {}
        rng = random.Random(seed)
        for name, nin, nout in block_table():
            cls.cases[name] = (nout, operand_sets(name, nin, rng))
        cls.expected = cls.run_twin(cls.cases)

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    @classmethod
    def run_twin(cls, cases):
        text = "".join("%s %s\n" % (name, " ".join("%x" % v for v in ops))
                       for name, (_, sets) in cases.items() for ops in sets)
        p = subprocess.run([cls.twin], input=text, capture_output=True, text=True, check=True)
        lines = iter(p.stdout.splitlines())
        return {name: [[int(x, 16) for x in next(lines).split()] for _ in sets]
                for name, (_, sets) in cases.items()}

    def mismatches(self, ptx, name):
        body = ptx_interp.entries(ptx)["k_" + name]
        params = ["k_%s_param_0" % name, "k_%s_param_1" % name]
        nout, sets = self.cases[name]
        bad = []
        for ops, want in zip(sets, self.expected[name]):
            got = ptx_interp.run_kernel(body, params, ops, nout)
            if got != want:
                bad.append((ops, got, want))
        return bad

    def test_every_asm_statement_has_a_kernel_with_its_block(self):
        n_asm = 0
        for d in ASM_HEADERS:
            for f in glob.glob(os.path.join(ROOT, d, "*.h")):
                with open(f) as fh:
                    n_asm += len(re.findall(r"\basm\s*(?:volatile\s*)?\(", fh.read()))
        table = block_table()
        self.assertEqual(n_asm, len(table), "an asm statement has no entry in tests/ptx/blocks.h")
        kernels = ptx_interp.entries(self.ptx)
        for name, _, _ in table:
            self.assertEqual(len(ptx_interp.asm_blocks(kernels["k_" + name])), 1, name)

    def test_each_block_matches_the_host_twin(self):
        for name in self.cases:
            with self.subTest(block=name):
                bad = self.mismatches(self.ptx, name)
                self.assertEqual(bad[:3], [], "%d mismatches" % len(bad))

    def test_a_one_character_fault_in_a_carry_chain_is_caught(self):
        faults = (("mul_wide_add96", "mad.lo.cc.u32", "mad.lo.u32"),     # dropped .cc
                  ("mul_wide_add96", "madc.hi.cc.u32", "mad.hi.cc.u32"),  # madc -> mad
                  ("acc_add_acc", "addc.cc.u32", "add.cc.u32"),
                  ("acc_add_wide", "addc.u32", "add.u32"),              # 64-bit carry lost
                  ("sub_small_fold", "subc.cc.u32", "subc.u32"),
                  ("fold_mul_eps", "addc.u32", "add.u32"),
                  ("sqr_wide", "addc.cc.u32", "addc.u32"),
                  ("mul_wide", "madc.hi.cc.u32", "madc.hi.u32"),       # cross carry lost
                  ("fold128", "subc.cc.u32", "subc.u32"),              # borrow lost
                  ("fold128", "addc.u32", "add.u32"))                  # carry lost
        for name, good, broken in faults:
            with self.subTest(block=name, fault=broken):
                start = self.ptx.index(".entry k_%s(" % name)
                at = self.ptx.index(good, start)
                mutated = self.ptx[:at] + broken + self.ptx[at + len(good):]
                self.assertTrue(self.mismatches(mutated, name))

    def test_a_carry_read_across_add_and_sub_is_the_hardware_carry(self):
        # ptxas compiles subc after add.cc as IADD3.X d, RZ, -1, RZ, carry (carry - 1, not
        # -carry), and addc after sub.cc as the not-borrow: a block that mixes them must be
        # judged that way, or a fold that is wrong on the GPU passes here.
        for a, b in ((0xFFFFFFFF, 1), (1, 1), (0, 1)):
            regs = ptx_interp.run_lines(["add.cc.u32 %t, %a, %b;", "subc.u32 %c, 0, 0;",
                                         "sub.cc.u32 %u, %a, %b;", "addc.u32 %d, 0, 0;"],
                                        {"%a": a, "%b": b})
            self.assertEqual(regs["%c"], ((a + b >> 32) - 1) & 0xFFFFFFFF)
            self.assertEqual(regs["%d"], int(a >= b))


if __name__ == "__main__":
    unittest.main()
