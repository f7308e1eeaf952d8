"""kernel-cost's model against the GPU: one Nsight Compute profile of a bench launch of mine_kernel
(instructions per nonce, issue and pipe use, occupancy, stalls) and the bench rate against the
modelled rate of the card. scripts/gpu-check runs both and reads one line from each:
RESULT DETAIL, with the figures written as JSON for gpu-check.json."""

import argparse
import csv
import json
import re
import shutil
import subprocess
import sys

from . import main as kc

KERNEL = "mine_kernel"
TOLERANCE = 0.02       # the budget guard's slack: a model further off than that cannot back it
BENCH_SECONDS = 2
NCU_TIMEOUT = 240
# Sections rather than single metrics: a metric name a chip lacks makes ncu refuse the whole run,
# while a section collects what the chip has.
NCU_SECTIONS = ("LaunchStats", "Occupancy", "ComputeWorkloadAnalysis", "InstructionStats",
                "WarpStateStats")

# ncu's words when it may not read the counters, and the reason the row gives.
NO_COUNTERS = (
    ("ERR_NVGPUCTRPERM", "this user may not read the GPU performance counters (ERR_NVGPUCTRPERM)"),
    ("permission to access NVIDIA GPU Performance Counters",
     "this user may not read the GPU performance counters"),
    ("Profiling is not supported on", "ncu cannot profile this device"),
)

# Each figure: the first of its metrics that ncu reported.
METRICS = (
    ("warp_inst", ("smsp__inst_executed.sum", "sm__inst_executed.sum")),
    ("grid", ("launch__grid_size",)),
    ("block", ("launch__block_size",)),
    ("registers", ("launch__registers_per_thread",)),
    ("occupancy_pct", ("sm__warps_active.avg.pct_of_peak_sustained_active",)),
    ("issue_slots_pct", ("sm__inst_issued.avg.pct_of_peak_sustained_active",
                         "smsp__issue_active.avg.pct_of_peak_sustained_active")),
    ("alu_pct", ("sm__inst_executed_pipe_alu.avg.pct_of_peak_sustained_active",
                 "sm__pipe_alu_cycles_active.avg.pct_of_peak_sustained_active")),
    ("fma_pct", ("sm__inst_executed_pipe_fma.avg.pct_of_peak_sustained_active",
                 "sm__pipe_fma_cycles_active.avg.pct_of_peak_sustained_active")),
    # IMAD issues to the heavy half of the FMA pipe where the chip splits it.
    ("fmaheavy_pct", ("sm__inst_executed_pipe_fmaheavy.avg.pct_of_peak_sustained_active",
                      "sm__pipe_fmaheavy_cycles_active.avg.pct_of_peak_sustained_active")),
)
# Stall reasons, per issue-active cycle; the older latency family where that one is missing.
# "selected" is the issuing warp itself, 1 per issue by definition, not a stall.
STALL_FAMILIES = (re.compile(r"^smsp__average_warps_issue_stalled_(\w+)_per_issue_active\.ratio$"),
                  re.compile(r"^smsp__average_warp_latency_issue_stalled_(\w+)\.ratio$"))
NOT_STALLS = ("selected",)

BENCH_LINE = re.compile(r"BENCH gpu\d+ \(.*\): ([0-9.]+) MH/s .*blocks=(\d+) tpb=(\d+) "
                        r"per_thread=(\d+)")
SCALE = {"K": 1e3, "M": 1e6, "G": 1e9, "T": 1e12}
SM_COUNT = re.compile(r"^0: .*\| (\d+) SMs \|", re.M)


def number(text):
    """A value of ncu's CSV (thousands separators allowed), or None for n/a and the like."""
    t = text.strip()
    if re.match(r"^-?\d{1,3}(,\d{3})+(\.\d+)?$", t):
        t = t.replace(",", "")
    try:
        return float(t)
    except ValueError:
        return None


def parse_raw_csv(text):
    """ncu --csv --page raw among the program's own output: (rows, units). Each row maps a column
    to its text; units maps a metric to its unit."""
    lines = text.splitlines()
    start = next((k for k, line in enumerate(lines) if line.startswith('"ID",')), None)
    if start is None:
        return [], {}
    header = next(csv.reader([lines[start]]))
    rows, units = [], {}
    for line in lines[start + 1:]:
        if not line.startswith('"'):
            continue  # ==PROF== lines or the program's output
        fields = next(csv.reader([line]))
        if len(fields) != len(header):
            continue
        row = dict(zip(header, fields))
        if row["ID"] == "":
            units = {k: v for k, v in row.items() if v}
        else:
            rows.append(row)
    return rows, units


def launch_dims(row, column):
    # "(512, 1, 1)" as ncu prints the launch's Block Size and Grid Size columns.
    dims = re.findall(r"\d+", row.get(column, ""))
    if len(dims) != 3:
        return None
    return int(dims[0]) * int(dims[1]) * int(dims[2])


def figures(row, units):
    """The figures of one profiled launch, the metric each came from, and the top three stalls."""
    fig, used = {}, {}
    for key, names in METRICS:
        for name in names:
            v = number(row.get(name, ""))
            if v is not None:
                # An ncu that does not honour --print-units base scales counts (Ginst).
                m = re.match(r"^([KMGT])(inst|warp|block|thread)$", units.get(name, ""))
                fig[key], used[key] = v * (SCALE[m.group(1)] if m else 1), name
                break
        else:
            fig[key] = None
    for key, column in (("grid", "Grid Size"), ("block", "Block Size")):
        if fig[key] is None:
            fig[key] = launch_dims(row, column)
            used[key] = column if fig[key] is not None else None
    for key in ("warp_inst", "grid", "block", "registers"):  # counts
        if fig[key] is not None:
            fig[key] = int(round(fig[key]))
    stalls = []
    for family in STALL_FAMILIES:
        stalls = [(m.group(1), number(v)) for m, v in ((family.match(k), v) for k, v in row.items())
                  if m and m.group(1) not in NOT_STALLS and number(v) is not None]
        if stalls:
            break
    stalls.sort(key=lambda s: -s[1])
    fig["stalls"] = [{"reason": r, "value": v} for r, v in stalls[:3]]
    return fig, used


def bench_line(text):
    """(MH/s, blocks, tpb, per_thread) of the first BENCH line, or None."""
    m = BENCH_LINE.search(text or "")
    if not m:
        return None
    return float(m.group(1)), int(m.group(2)), int(m.group(3)), int(m.group(4))


def model_figures(arch, cost_text):
    """kernel-cost's figures for arch, or (None, why not)."""
    if arch not in kc.ARCHS:
        return None, "kernel-cost models %s only, this GPU is %s" % (", ".join(kc.ARCHS), arch)
    fig = kc.read_summary_line(cost_text or "", arch)
    if fig is None:
        return None, "no kernel-cost figures for %s (see the kernel-cost row)" % arch
    return fig, None


def ncu_command(ncu, binary, seconds):
    # The warm-up launch is the first mine_kernel launch; the first timed one is profiled.
    cmd = [ncu, "--kernel-name", "regex:" + KERNEL, "--launch-skip", "1", "--launch-count", "1"]
    for s in NCU_SECTIONS:
        cmd += ["--section", s]
    return cmd + ["--csv", "--page", "raw", "--print-units", "base", binary, "bench", str(seconds)]


def pct(v):
    return "?" if v is None else "%.1f%%" % v


def ncu_fields(arch):
    """Every field of the ncu row's JSON, null until measured."""
    out = dict.fromkeys(("result", "reason", "command", "kernel", "grid", "block", "per_thread",
                         "nonces", "warp_inst", "inst_per_nonce", "model_total", "ratio",
                         "issue_slots_pct", "alu_pct", "fma_pct", "fmaheavy_pct", "occupancy_pct",
                         "registers", "metrics"))
    out.update(arch=arch, tolerance=TOLERANCE, stalls=[])
    return out


def judge_ncu(text, rc, arch, cost_text):
    """RESULT, DETAIL and the JSON fields from ncu's combined output and exit status."""
    out = ncu_fields(arch)
    for needle, why in NO_COUNTERS:
        if needle in text:
            return skip(out, why)
    rows, units = parse_raw_csv(text)
    rows = [r for r in rows if KERNEL in r.get("Kernel Name", "")]
    errors = [line.strip() for line in text.splitlines() if line.startswith("==ERROR==")]
    if rc != 0 or not rows:
        why = errors[-1] if errors else ("ncu exited %d" % rc if rc else "ncu profiled no %s launch"
                                         % KERNEL)
        return fail(out, why + "; see ncu.log")
    fig, used = figures(rows[0], units)
    out.update(kernel=rows[0]["Kernel Name"], metrics=used, **fig)
    bench = bench_line(text)
    if bench is None:
        return fail(out, "the profiled bench printed no BENCH line; see ncu.log")
    _, blocks, tpb, per_thread = bench
    out["per_thread"] = per_thread
    if None not in (fig["grid"], fig["block"]) and (fig["grid"], fig["block"]) != (blocks, tpb):
        return fail(out, "the profiled launch (grid %d, block %d) is not the bench's (blocks=%d "
                    "tpb=%d)" % (fig["grid"], fig["block"], blocks, tpb))
    if fig["warp_inst"] is None:
        return fail(out, "ncu gave no executed-instruction count; see ncu.log")
    nonces = blocks * tpb * per_thread
    if re.match(r"^sm_\d+$", arch) and kc.layout_of(arch) == "counter":
        nonces = min(nonces, 1 << 32)  # the bench caps the counter layout at 2^32
    out["nonces"] = nonces
    out["inst_per_nonce"] = fig["warp_inst"] * 32 / nonces
    heavy = "" if fig["fmaheavy_pct"] is None else " (heavy %s)" % pct(fig["fmaheavy_pct"])
    stalls = ", ".join("%s %.2f" % (s["reason"], s["value"]) for s in fig["stalls"]) or "none reported"
    measured = "%.1f inst/nonce (blocks=%d tpb=%d per_thread=%d)" % (
        out["inst_per_nonce"], blocks, tpb, per_thread)
    rest = "issue slots %s, ALU %s, FMA %s%s; occupancy %s, %s regs/thread; stalls: %s" % (
        pct(fig["issue_slots_pct"]), pct(fig["alu_pct"]), pct(fig["fma_pct"]), heavy,
        pct(fig["occupancy_pct"]), "?" if fig["registers"] is None else "%d" % fig["registers"],
        stalls)
    model, why = model_figures(arch, cost_text)
    if model is None:
        out.update(result="SKIP", reason=why)
        return "SKIP", "%s; %s %s %s; %s" % (why, arch, KERNEL, measured, rest), out
    ratio = out["inst_per_nonce"] / model["total"]
    out.update(model_total=model["total"], ratio=ratio)
    out["result"] = "PASS" if abs(ratio - 1) <= TOLERANCE else "FAIL"
    if out["result"] == "FAIL":
        out["reason"] = "measured/model %.3f, outside 1 +- %g" % (ratio, TOLERANCE)
    return out["result"], "%s %s %s vs kernel-cost total=%d: %.3f (%s 2%%); %s" % (
        arch, KERNEL, measured, model["total"], ratio,
        "within" if out["result"] == "PASS" else "outside", rest), out


def skip(out, why):
    out.update(result="SKIP", reason=why)
    return "SKIP", why, out


def fail(out, why):
    out.update(result="FAIL", reason=why)
    return "FAIL", why, out


def ncu_step(arch, cost_text, cpu, ncu, binary, seconds=BENCH_SECONDS, timeout=NCU_TIMEOUT,
            log=None):
    out = ncu_fields(arch)
    if cpu:
        return skip(out, "host emulation: no CUDA kernel runs, so there is nothing to profile")
    exe = shutil.which(ncu)
    if exe is None:
        return skip(out, "ncu not found (%s); NCU=PATH names one" % ncu)
    cmd = ncu_command(exe, binary, seconds)
    try:
        p = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                           errors="replace", timeout=timeout)
        text, rc = p.stdout, p.returncode
    except subprocess.TimeoutExpired as e:
        text = e.output.decode(errors="replace") if isinstance(e.output, bytes) else e.output or ""
        rc = None
    if log:
        with open(log, "w") as fh:
            fh.write(" ".join(cmd) + "\n" + text)
    out["command"] = cmd
    if rc is None:
        for needle, why in NO_COUNTERS:
            if needle in text:
                return skip(out, why)
        return fail(out, "ncu timed out after %d s; see ncu.log" % timeout)
    result, detail, fields = judge_ncu(text, rc, arch, cost_text)
    fields["command"] = cmd
    return result, detail, fields


def rate_step(arch, cost_text, cpu, devices, mhz, bench_text):
    """The bench rate against the modelled one: a NOTE (the 0.85 in the model is a guess, so
    there is no threshold to hold it to) or SKIP with the reason."""
    out = dict.fromkeys(("result", "reason", "sms", "mhz", "alu_width", "terms", "bound",
                         "modelled_mhs", "measured_mhs", "ratio"))
    out["arch"] = arch
    if cpu:
        return skip(out, "host emulation: the bench rate is the host's, not a GPU's")
    fig, why = model_figures(arch, cost_text)
    if fig is None:
        return skip(out, why)
    m = SM_COUNT.search(devices or "")
    if not m:
        first = (devices or "").strip().splitlines()[:1]
        return skip(out, "tarn-cuda --list-devices gave no SM count (%s)"
                    % (first[0] if first else "no output"))
    clock = number((mhz or "").strip().splitlines()[0] if (mhz or "").strip() else "")
    if clock is None or clock <= 0:
        return skip(out, "nvidia-smi gave no max SM clock (%r)" % (mhz or "").strip())
    bench = bench_line(bench_text)
    if bench is None:
        return skip(out, "the bench step printed no rate")
    sms = int(m.group(1))
    rate, terms, bind = kc.card_rate(fig, sms, clock / 1000.0)
    out.update(result="NOTE", sms=sms, mhz=clock, alu_width=kc.alu_width_of(arch), terms=terms,
               bound=bind, modelled_mhs=rate / 1e6, measured_mhs=bench[0],
               ratio=bench[0] / (rate / 1e6))
    return "NOTE", "%s bench %.2f MH/s vs modelled %.0f MH/s (%d SMs x %.3f GHz, alu %d, bound: %s): " \
        "measured/modelled %.2f" % (arch, bench[0], rate / 1e6, sms, clock / 1000.0,
                                    out["alu_width"], bind, out["ratio"]), out


def read(path):
    if not path:
        return ""
    try:
        with open(path, errors="replace") as fh:
            return fh.read()
    except OSError:
        return ""


def main(argv=None):
    ap = argparse.ArgumentParser(prog="kernel-cost-profile", description=__doc__)
    sub = ap.add_subparsers(dest="step", required=True)
    for name, helptext in (("ncu", "profile one bench launch of mine_kernel with Nsight Compute"),
                           ("model-rate", "the bench rate against the modelled rate of the card")):
        p = sub.add_parser(name, help=helptext)
        p.add_argument("--arch", required=True,
                       help="the GPU's sm_XX (sm_native where the driver does not name it)")
        p.add_argument("--cost-log", help="scripts/kernel-cost's output for that arch")
        p.add_argument("--cpu", action="store_true", help="the host emulation: nothing to measure")
        p.add_argument("--json", help="write the figures there")
    p = sub.choices["ncu"]
    p.add_argument("--bin", required=True, help="the tarn-cuda to profile")
    p.add_argument("--ncu", default="ncu", help="the ncu to run (default: ncu on PATH)")
    p.add_argument("--seconds", type=int, default=BENCH_SECONDS, help="bench length")
    p.add_argument("--timeout", type=int, default=NCU_TIMEOUT, help="ncu's limit in seconds")
    p.add_argument("--log", help="ncu's output goes there")
    p = sub.choices["model-rate"]
    p.add_argument("--devices", default="", help="tarn-cuda --list-devices output")
    p.add_argument("--mhz", default="", help="nvidia-smi's clocks.max.sm (MHz)")
    p.add_argument("--bench-log", help="the bench step's output")
    a = ap.parse_args(argv)
    if not a.arch.startswith("sm_"):
        ap.error("--arch: expected sm_XX, got %r" % a.arch)
    cost = read(a.cost_log)
    if a.step == "ncu":
        result, detail, fields = ncu_step(a.arch, cost, a.cpu, a.ncu, a.bin, a.seconds, a.timeout,
                                         a.log)
    else:
        result, detail, fields = rate_step(a.arch, cost, a.cpu, a.devices, a.mhz, read(a.bench_log))
    if a.json:
        with open(a.json, "w") as fh:
            json.dump(fields, fh, indent=1)
    print("%s %s" % (result, detail))
    return 0


if __name__ == "__main__":
    sys.exit(main())
