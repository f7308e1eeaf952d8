"""Tests of scripts/kernel-cost: SASS classification of small known kernels built with nvcc, the
per-nonce walk over listings of each loop style, and the budget guard."""

import os
import subprocess
import sys
import tempfile
import textwrap
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tools"))

from kernel_cost import build, cfg, main, sass  # noqa: E402

# Kernels whose one arithmetic step is known, with the opcode and class it must come out as.
TINY_KERNELS = r"""
__global__ void k_wide(const unsigned* a, unsigned long long* o) {
  o[0] = static_cast<unsigned long long>(a[0]) * a[1];
}
__global__ void k_hi(const unsigned* a, unsigned* o) { o[0] = __umulhi(a[0], a[1]); }
__global__ void k_xor3(const unsigned* a, unsigned* o) { o[0] = a[0] ^ (a[1] & a[2]); }
__global__ void k_add3(const unsigned* a, unsigned* o) { o[0] = a[0] + a[1] + a[2]; }
__global__ void k_shf(const unsigned long long* a, unsigned long long* o) { o[0] = a[0] >> a[1]; }
__global__ void k_sel(const unsigned* a, unsigned* o) { o[0] = a[0] < a[1] ? a[2] : a[3]; }
__global__ void k_loop(const unsigned* a, unsigned* o, int n) {
  unsigned x = a[0];
#pragma unroll 1
  for (int i = 0; i < n; ++i) x = x * a[1] + a[2];
  o[0] = x;
}
"""
EXPECT = (("k_wide", "IMAD.WIDE", "imad"), ("k_hi", "IMAD.HI", "imad"),
          ("k_xor3", "LOP3", "alu"), ("k_add3", "IADD3", "alu"), ("k_shf", "SHF", "alu"),
          ("k_sel", "ISETP", "alu"))
# What may sit under "other": memory, control, special registers and the uniform datapath.
NON_ARITH = {"LDG", "STG", "LDC", "LDCU", "ULDC", "S2R", "S2UR", "CS2R", "EXIT", "BRA", "NOP",
             "UMOV", "ULEA", "UIADD3", "UISETP", "BSSY", "BSYNC", "HFMA2"}


class TinyKernels(unittest.TestCase):
    """Builds the small kernels once per arch with nvcc and classifies cuobjdump's listing."""

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        src = os.path.join(cls.tmp.name, "tiny.cu")
        with open(src, "w") as fh:
            fh.write(TINY_KERNELS)
        cls.listings = {}
        for arch in ("sm_90", "sm_120"):
            cubin, _ = build.compile_cubin(src, arch, cls.tmp.name, cls.tmp.name)
            cls.listings[arch] = sass.parse_listing(build.disassemble(cubin))

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def test_each_known_step_lands_in_its_class_and_nothing_arithmetic_is_other(self):
        for arch, funcs in self.listings.items():
            for short, prefix, klass in EXPECT:
                with self.subTest(arch=arch, kernel=short):
                    insns = funcs[sass.find_function(funcs, short)]
                    hits = [i.op for i in insns if i.op.startswith(prefix)]
                    self.assertTrue(hits, "%s has no %s: %s" % (short, prefix, [i.op for i in insns]))
                    self.assertEqual({sass.class_of(op) for op in hits}, {klass})
                    c = sass.classify(sass.static_counts(insns))
                    self.assertEqual(c["total"], len(insns))
                    self.assertEqual(c["total"], c["imad"] + c["alu"] + c["other"])
            for name, insns in funcs.items():
                stray = {i.base for i in insns if sass.class_of(i.op) == "other"} - NON_ARITH
                self.assertFalse(stray, "%s %s: unclassified opcodes %s" % (arch, name, stray))
            wide = funcs[sass.find_function(funcs, "k_wide")]
            self.assertGreaterEqual(sass.classify(sass.static_counts(wide))["wide"], 1)

    def test_the_loop_of_a_real_kernel_is_found_and_its_trip_counted(self):
        for arch, funcs in self.listings.items():
            with self.subTest(arch=arch):
                g = cfg.Cfg(funcs[sass.find_function(funcs, "k_loop")])
                self.assertEqual(len(g.loops), 1)
                loop = g.loops[0]
                body = [i for i in g.insns if loop.head <= i.addr <= loop.latch]
                self.assertTrue(any(i.base == "IMAD" for i in body), [i.op for i in body])
                self.assertEqual(cfg.loop_trip_ops(g, 1), len(body))


def listing(lines):
    """A cuobjdump-style listing of mine_kernel from (opcode and operands) lines, 16 bytes apart."""
    out = ["\t\tFunction : _Z11mine_kernelPKmPKhS2_yjP11FoundResult"]
    for k, text in enumerate(lines):
        out.append("        /*%04x*/                   %s ;   /* 0x0 */" % (16 * k, text))
    return "\n".join(out)


def mine_shape(latch_style):
    """A mine_kernel skeleton: prologue, per-nonce loop, pass loop, three round loops (sizes 3, 2
    and 4 plus their closing branches), the padding tail of pass 0, the compare of pass 1 with its
    tie and hit branches. Returns the listing lines and a map label -> index."""
    code, labels, fix = [], {}, []

    def at(name):
        labels[name] = len(code)

    def emit(text, target=None):
        if target:
            fix.append((len(code), target))
        code.append(text)

    def close(head, body_end_label):
        # The closing branch of a loop in each compiler style.
        if latch_style == "bra":        # sm_90: @P0 BRA head
            emit("@P0 BRA {%s}" % head, head)
        elif latch_style == "call":     # sm_89: @!P0 CALL.REL.NOINC out; BRA head
            emit("@!P0 CALL.REL.NOINC {%s}" % body_end_label, body_end_label)
            emit("BRA {%s}" % head, head)
        else:                           # sm_120: BRA.U UP0, head
            emit("BRA.U UP0, {%s}" % head, head)

    emit("S2R R0, SR_TID.X")
    emit("@P0 EXIT")
    at("nonce")
    emit("IADD3 R1, R1, 0x1, RZ")         # first layer
    emit("@P1 BRA {out}", "out")           # i >= count
    at("pass")
    emit("ISETP.NE.AND P2, PT, R9, RZ, PT")
    for name, size in (("init", 3), ("part", 2), ("term", 4)):
        at(name)
        for _ in range(size):
            emit("IMAD.WIDE.U32 R2, R3, R4, R2")
        close(name, name + "_x")
        at(name + "_x")
        emit("MOV R5, R6")                  # between loops / after the last one
    emit("@P2 BRA {cmp}", "cmp")
    emit("LOP3.LUT R0, R0, 0x1, RZ, 0xfc, !PT")  # padding (pass 0)
    emit("BRA {layer}", "layer")
    at("cmp")
    emit("ISETP.GT.U32.AND P3, PT, R1, R2, PT")
    emit("@P3 BRA {nohit}", "nohit")         # the first word decides: above, no hit
    emit("ISETP.EQ.U32.AND P4, PT, R1, R2, PT")
    emit("@!P4 BRA {hit}", "hit")            # below: a hit
    at("layer")
    emit("IADD3 R7, R7, R8, RZ")             # tie or pass 0: the next initial layer
    emit("BRA {pass}", "pass")
    at("hit")
    emit("ATOMG.E.ADD R0, [R2], R3")
    at("nohit")
    emit("IADD3 R9, R9, 0x1, RZ")
    if latch_style == "call":
        emit("@!P5 CALL.REL.NOINC {out}", "out")
        emit("BRA {nonce}", "nonce")
    elif latch_style == "bra":
        emit("@!P5 BRA {nonce}", "nonce")
    else:
        emit("BRA.U !UP1, {nonce}", "nonce")
    at("out")
    emit("EXIT")
    emit("BRA {self}", "self")
    labels["self"] = len(code) - 1
    for k, name in fix:
        code[k] = code[k].replace("{%s}" % name, "0x%x" % (16 * labels[name]))
    return code


class PerNonceWalk(unittest.TestCase):
    def test_counts_of_each_loop_style(self):
        # Per nonce: the per-nonce loop's head (2), the pass head twice (1 each), six loop entries
        # of n trips each costing n x (body + close) less what the last trip skips (a CALL-style
        # close runs CALL and BRA per trip, only the CALL on the last), three MOVs per pass,
        # pass 0's tail (branch, padding, BRA, layer, BRA) and pass 1's (branch, compare,
        # branch, IADD3, the per-nonce close).
        for style, close in (("bra", 1), ("call", 2), ("bra.u", 1)):
            for skipped in (False, True):
                with self.subTest(style=style, direction=skipped):
                    g = cfg.Cfg(sass.parse_listing(listing(mine_shape(style)))[
                        "_Z11mine_kernelPKmPKhS2_yjP11FoundResult"])
                    ops = cfg.mine_per_nonce(g, first_round_skipped=skipped)
                    n0 = 3 if skipped else 4
                    entries = ((n0, 3), (4, 3), (22, 2), (22, 2), (4, 4), (4, 4))
                    expect = (2 + 2 + sum(n * (size + close) - (close - 1) for n, size in entries)
                              + 6 + 5 + 4 + close)
                    self.assertEqual(sum(ops.values()), expect)
                    init_trips = n0 + 4
                    self.assertEqual(ops["IMAD.WIDE.U32"], init_trips * 3 + 44 * 2 + 8 * 4)
                    self.assertNotIn("ATOMG.E.ADD", ops)  # no hit on the common path

    def test_a_kernel_of_another_shape_is_refused(self):
        code = mine_shape("bra")
        k = next(k for k, t in enumerate(code) if t.startswith("@P0 BRA") and k > 8)
        code[k] = "NOP"  # the second round loop closes no more
        g = cfg.Cfg(sass.parse_listing(listing(code))["_Z11mine_kernelPKmPKhS2_yjP11FoundResult"])
        with self.assertRaises(cfg.CfgError):
            cfg.mine_per_nonce(g, False)


class BudgetAndCli(unittest.TestCase):
    def test_budget_guard(self):
        fig = lambda arch, total: {"arch": arch, "total": total}
        cases = (([fig("sm_90", 1000)], True), ([fig("sm_90", 1020)], True),
                 ([fig("sm_90", 1021)], False), ([fig("sm_90", 500), fig("sm_120", 2041)], False),
                 ([fig("sm_89", 10)], False))
        for figs, ok in cases:
            with self.subTest(figs=figs):
                self.assertEqual(main.check_budget(figs, {"sm_90": 1000, "sm_120": 2000})[0], ok)

    def test_the_recorded_budget_reads(self):
        # Every arch kernel-cost measures is guarded.
        b = main.read_budget(os.path.join(ROOT, main.BUDGET_FILE))
        self.assertEqual(set(b), set(main.ARCHS))

    def test_classify_sass_prints_one_line_and_refuses_a_file_without_the_kernel(self):
        with tempfile.TemporaryDirectory() as d:
            good, bad = os.path.join(d, "good.sass"), os.path.join(d, "bad.sass")
            with open(good, "w") as fh:
                fh.write(listing(["IMAD.MOV.U32 R1, RZ, RZ, R2", "IMAD.WIDE.U32 R2, R3, R4, R2",
                                  "IADD3 R1, R1, R2, RZ", "LDG.E.64 R2, [R4]", "EXIT",
                                  "BRA 0x50"]))
            with open(bad, "w") as fh:
                fh.write("Function : other\n" + textwrap.dedent("""\
                    /*0000*/  EXIT ;
                    Function : another
                    /*0000*/  EXIT ;"""))
            tool = [sys.executable, os.path.join(ROOT, "scripts", "kernel-cost"), "--classify-sass"]
            p = subprocess.run(tool + [good], capture_output=True, text=True)
            self.assertEqual((p.returncode, p.stdout),
                             (0, "sass-classes total=6 imad=2 wide=1 imad_mov=1 alu=1 other=3\n"))
            for f in (bad, os.path.join(d, "missing.sass")):
                p = subprocess.run(tool + [f], capture_output=True, text=True)
                self.assertEqual(p.returncode, 1)
                self.assertEqual(len(p.stderr.strip().splitlines()), 1, p.stderr)


if __name__ == "__main__":
    unittest.main()
