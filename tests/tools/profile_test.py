"""Tests of tools/kernel_cost/profile.py, gpu-check's ncu and modelled-rate rows: a fake ncu on
PATH printing what the real one prints (raw CSV page, the counter-permission error), an absent ncu,
the host emulation, and the command line."""

import json
import os
import subprocess
import sys
import tempfile
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

# What ncu --csv --page raw --print-units base prints around a bench run: its own ==PROF== lines,
# the program's output, then a header of columns and metrics, a units row and one row per kernel.
METRICS = (("launch__block_size", "", "512"), ("launch__grid_size", "", "2112"),
           ("launch__registers_per_thread", "register/thread", "128"),
           ("sm__inst_executed_pipe_alu.avg.pct_of_peak_sustained_active", "%", "41.37"),
           ("sm__inst_executed_pipe_fma.avg.pct_of_peak_sustained_active", "%", "63.02"),
           ("sm__inst_executed_pipe_fmaheavy.avg.pct_of_peak_sustained_active", "%", "58.5"),
           ("sm__inst_issued.avg.pct_of_peak_sustained_active", "%", "88.19"),
           ("sm__warps_active.avg.pct_of_peak_sustained_active", "%", "24.96"),
           ("smsp__average_warps_issue_stalled_barrier_per_issue_active.ratio", "ratio", "0"),
           ("smsp__average_warps_issue_stalled_long_scoreboard_per_issue_active.ratio", "ratio", "0.21"),
           ("smsp__average_warps_issue_stalled_math_pipe_throttle_per_issue_active.ratio", "ratio", "0.95"),
           ("smsp__average_warps_issue_stalled_not_selected_per_issue_active.ratio", "ratio", "0.40"),
           ("smsp__average_warps_issue_stalled_selected_per_issue_active.ratio", "ratio", "1"),
           ("smsp__average_warps_issue_stalled_wait_per_issue_active.ratio", "ratio", "1.45"),
           # 23900 instructions per nonce over 2112 x 512 x 64 nonces, in warps.
           ("smsp__inst_executed.sum", "inst", "51,688,243,200"))
COLUMNS = ("ID", "Process ID", "Process Name", "Host Name", "Kernel Name", "Context", "Stream",
           "Block Size", "Grid Size", "Device", "CC")
ROW = ("0", "4242", "tarn-cuda", "127.0.0.1",
       "mine_kernel(const unsigned long *, const unsigned char *, const unsigned char *, "
       "unsigned long, unsigned int, FoundResult *)", "1", "7", "(512, 1, 1)", "(2112, 1, 1)", "0",
       "9.0")
BENCH = ("BENCH gpu0 (NVIDIA H100 80GB HBM3): 310.52 MH/s  (69206016 nonces in 0.22s, 1 launches, "
         "blocks=2112 tpb=512 per_thread=64)")


def csv_line(cells):
    return ",".join('"%s"' % c for c in cells)


def ncu_csv(metrics):
    return "\n".join([
        "==PROF== Connected to process 4242 (/w/build-gpu/tarn-cuda)",
        '==PROF== Profiling "mine_kernel" - 0: 0%....50%....100% - 38 passes', BENCH,
        "==PROF== Disconnected from process 4242",
        csv_line(COLUMNS + tuple(m[0] for m in metrics)),
        csv_line(("",) * len(COLUMNS) + tuple(m[1] for m in metrics)),
        csv_line(ROW + tuple(m[2] for m in metrics))])


NCU_CSV = ncu_csv(METRICS)
# The same count as an ncu that scales units prints it.
NCU_GINST = ncu_csv(METRICS[:-1] + (("smsp__inst_executed.sum", "Ginst", "51.6882432"),))
NCU_PERM = ("==PROF== Connected to process 4242 (/w/build-gpu/tarn-cuda)\n"
            "==ERROR== ERR_NVGPUCTRPERM - The user does not have permission to access NVIDIA GPU "
            "Performance Counters on the target device 0.\n" + BENCH + "\n"
            "==WARNING== No kernels were profiled.\n")
NCU_NONE = BENCH + "\n==WARNING== No kernels were profiled.\n"
COST = ("kernel-cost sm_90 layout=counter total=%d imad=9000 wide=5000 imad_mov=100 alu=12000 "
        "other=2661 regs=128 spills=0 static=3000\n")
# SM count, clock and figures for which width 64 binds on the ALU and width 128 on issue.
DEVICES = "0: NVIDIA H100 80GB HBM3 | cc 9.0 | 132 SMs | 81008 MiB | bus 0000:19:00.0\n"
RATE_COST = ("kernel-cost %s layout=%s total=12800 imad=3200 wide=0 imad_mov=0 alu=11520 other=0 "
             "regs=128 spills=0 static=3000\n")


class Tool(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.addCleanup(self.tmp.cleanup)

    def path(self, name, text=None):
        p = os.path.join(self.tmp.name, name)
        if text is not None:
            with open(p, "w") as fh:
                fh.write(text)
        return p

    def run_tool(self, args, ncu_output=None, ncu_rc=0):
        """The command line with a fake ncu on PATH that prints ncu_output: (status, line, JSON)."""
        env = dict(os.environ, PYTHONPATH=os.path.join(ROOT, "tools"))
        if ncu_output is not None:
            self.path("ncu.out", ncu_output)
            fake = self.path("ncu", '#!/bin/sh\necho "$@" >"%s"\ncat "%s"\nexit %d\n' % (
                self.path("ncu.args"), self.path("ncu.out"), ncu_rc))
            os.chmod(fake, 0o755)
            env["PATH"] = self.tmp.name + os.pathsep + env["PATH"]
        out = self.path("fields.json")
        if os.path.exists(out):
            os.remove(out)
        p = subprocess.run([sys.executable, "-m", "kernel_cost.profile"] + args + ["--json", out],
                           capture_output=True, text=True, env=env, cwd=self.tmp.name)
        fields = None
        if os.path.exists(out):
            with open(out) as fh:
                fields = json.load(fh)
        return p.returncode, p.stdout.strip(), fields


class NcuStep(Tool):
    def test_outcomes(self):
        # (ncu output or None for no ncu, its status, arch, kernel-cost total, extra arguments,
        #  result, words in the row, JSON fields)
        cases = (
            (NCU_CSV, 0, "sm_90", 23661, [], "PASS", ["23900.0 inst/nonce", "total=23661: 1.010",
                                                    "issue slots 88.2%", "ALU 41.4%", "FMA 63.0%",
                                                    "occupancy 25.0%", "128 regs",
                                                    "wait 1.45, math_pipe_throttle 0.95, not_selected"],
             {"inst_per_nonce": 23900.0, "model_total": 23661, "nonces": 69206016,
              "registers": 128, "occupancy_pct": 24.96, "issue_slots_pct": 88.19, "alu_pct": 41.37,
              "fma_pct": 63.02, "fmaheavy_pct": 58.5,
              "stalls": [{"reason": "wait", "value": 1.45},
                         {"reason": "math_pipe_throttle", "value": 0.95},
                         {"reason": "not_selected", "value": 0.4}]}),
            (NCU_GINST, 0, "sm_90", 23661, [], "PASS", ["23900.0 inst/nonce"],
             {"warp_inst": 51688243200}),
            (NCU_CSV, 0, "sm_90", 23400, [], "FAIL", ["total=23400: 1.021 (outside 2%)"],
             {"reason": "measured/model 1.021, outside 1 +- 0.02"}),
            (NCU_CSV, 0, "sm_80", 23661, [], "SKIP",
             ["kernel-cost models sm_89, sm_90, sm_120 only, this GPU is sm_80", "23900.0 inst/nonce"],
             {"inst_per_nonce": 23900.0}),
            (NCU_CSV, 0, "sm_90", None, [], "SKIP", ["no kernel-cost figures for sm_90"],
             {"inst_per_nonce": 23900.0}),
            # A driver that does not name the compute capability: measured all the same.
            (NCU_CSV, 0, "sm_native", 23661, [], "SKIP", ["this GPU is sm_native"],
             {"inst_per_nonce": 23900.0}),
            (NCU_PERM, 1, "sm_90", 23661, [], "SKIP", ["(ERR_NVGPUCTRPERM)"], {}),
            (NCU_NONE, 0, "sm_90", 23661, [], "FAIL", ["ncu profiled no mine_kernel launch"], {}),
            (NCU_CSV, 3, "sm_90", 23661, [], "FAIL", ["ncu exited 3"], {}),
            (None, 0, "sm_90", 23661, ["--ncu", "no-such-ncu"], "SKIP", ["ncu not found (no-such-ncu)"],
             {}),
            (NCU_CSV, 0, "sm_90", 23661, ["--cpu"], "SKIP", ["host emulation"], {}),
        )
        keys = set()
        for ncu, rc, arch, total, extra, result, words, fields in cases:
            with self.subTest(result=result, words=words[0]):
                if os.path.exists(self.path("ncu.args")):
                    os.remove(self.path("ncu.args"))
                cost = self.path("cost.log", COST % total if total else "")
                status, line, got = self.run_tool(
                    ["ncu", "--arch", arch, "--bin", "/w/tarn-cuda", "--cost-log", cost] + extra,
                    ncu, rc)
                self.assertEqual(status, 0)
                self.assertTrue(line.startswith(result + " "), line)
                for w in words:
                    self.assertIn(w, line)
                self.assertEqual(got["result"], result)
                self.assertEqual(bool(got["reason"]), result != "PASS")
                for k, v in fields.items():
                    self.assertEqual(got.get(k), v, k)
                # Neither the host emulation nor a missing ncu starts one.
                self.assertEqual(os.path.exists(self.path("ncu.args")),
                                 ncu is not None and "--cpu" not in extra)
                keys.add(frozenset(got))
        self.assertEqual(len(keys), 1, "every outcome writes the same JSON fields")

    def test_ncu_profiles_one_timed_bench_launch_of_mine_kernel(self):
        self.run_tool(["ncu", "--arch", "sm_90", "--bin", "/w/tarn-cuda", "--seconds", "2"], NCU_CSV)
        with open(self.path("ncu.args")) as fh:
            args = fh.read().split()
        for flag in ("--kernel-name regex:mine_kernel", "--launch-skip 1", "--launch-count 1",
                     "--csv --page raw --print-units base", "/w/tarn-cuda bench 2"):
            self.assertIn(flag, " ".join(args))
        self.assertEqual(args[-3:], ["/w/tarn-cuda", "bench", "2"])


class RateStep(Tool):
    def test_outcomes(self):
        # (arch, layout, the arguments after --arch, result, words in the row, JSON fields)
        bench = self.path("bench.log", BENCH + "\n")
        good = ["--devices", DEVICES, "--mhz", "2000", "--bench-log", bench]
        cases = (
            # 132 x 2.0 GHz x 0.85 / max(12800/128, 11520/64, 3200/64) = 224.4e9 / 180
            ("sm_90", "counter", good, "NOTE", ["310.52 MH/s vs modelled 1247 MH/s", "bound: alu",
                                                "measured/modelled 0.25"],
             {"sms": 132, "mhz": 2000.0, "alu_width": 64, "bound": "alu",
              "modelled_mhs": 224.4e3 / 180, "measured_mhs": 310.52}),
            # width 128: max(100, 90, 50) = 100
            ("sm_120", "direction", good, "NOTE", ["modelled 2244 MH/s", "alu 128, bound: issue"],
             {"alu_width": 128, "bound": "issue", "modelled_mhs": 2244.0}),
            ("sm_90", "counter", good + ["--cpu"], "SKIP", ["host emulation"], {}),
            ("sm_86", "counter", good, "SKIP", ["this GPU is sm_86"], {}),
            ("sm_90", "counter", ["--devices", "no CUDA devices found", "--mhz", "2000",
                                  "--bench-log", bench], "SKIP",
             ["--list-devices gave no SM count (no CUDA devices found)"], {}),
            ("sm_90", "counter", ["--devices", DEVICES, "--mhz", "[N/A]", "--bench-log", bench],
             "SKIP", ["no max SM clock ('[N/A]')"], {}),
            ("sm_90", "counter", ["--devices", DEVICES, "--mhz", "2000",
                                  "--bench-log", self.path("missing.log")], "SKIP",
             ["the bench step printed no rate"], {}),
        )
        keys = set()
        for arch, layout, args, result, words, fields in cases:
            with self.subTest(arch=arch, result=result, words=words[0]):
                cost = self.path("cost.log", RATE_COST % (arch, layout))
                status, line, got = self.run_tool(["model-rate", "--arch", arch, "--cost-log", cost]
                                                  + args)
                self.assertEqual(status, 0)
                self.assertTrue(line.startswith(result + " "), line)
                for w in words:
                    self.assertIn(w, line)
                self.assertEqual(got["result"], result)
                for k, v in fields.items():
                    if isinstance(v, float):
                        self.assertAlmostEqual(got[k], v, places=6, msg=k)
                    else:
                        self.assertEqual(got[k], v, k)
                keys.add(frozenset(got))
        self.assertEqual(len(keys), 1, "every outcome writes the same JSON fields")


class CommandLine(unittest.TestCase):
    def test_bad_arguments_are_refused_with_a_usage_line(self):
        for args, words in ((["ncu", "--arch", "sm_90", "--bin", "x", "--frobnicate"],
                             "unrecognized arguments: --frobnicate"),
                            (["ncu", "--arch", "sm_90"], "the following arguments are required: --bin"),
                            (["ncu", "--arch", "sm_90", "--bin"], "--bin: expected one argument"),
                            (["model-rate", "--arch", "90"], "expected sm_XX"),
                            (["model-rate", "--arch", "sm_90", "--timeout", "5"],
                             "unrecognized arguments: --timeout"),
                            ([], "required: step")):
            with self.subTest(args=args):
                p = subprocess.run([sys.executable, "-m", "kernel_cost.profile"] + args,
                                   capture_output=True, text=True,
                                   env=dict(os.environ, PYTHONPATH=os.path.join(ROOT, "tools")))
                self.assertEqual((p.returncode, p.stdout), (2, ""))
                self.assertIn(words, p.stderr)


if __name__ == "__main__":
    unittest.main()
