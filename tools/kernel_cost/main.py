"""kernel-cost: per-nonce SASS instruction counts of mine_kernel, by pipe class, and a rate model."""

import argparse
import os
import re
import sys

from . import build, cfg, sass

ARCHS = ("sm_89", "sm_90", "sm_120")
MINE = "mine_kernel"
MULBENCH = "_Z15mulbench_kernelPmj"
MULBENCH_PER_TRIP = 8  # the benchmark loop runs eight independent gf_mul chains per trip
CEILING_MULS = 1472    # products per hash that mulbench's ceiling assumes

# Card, arch whose figures it runs, SMs, clock (GHz).
CARDS = (("H100 SXM", "sm_90", 132, 1.98),
         ("RTX 4090", "sm_89", 128, 2.52),
         ("RTX 5090", "sm_120", 170, 2.41))

BUDGET_FILE = os.path.join("scripts", "kernel-cost-budget.txt")
BUDGET_SLACK = 0.02


def arch_number(arch):
    return int(arch.split("_")[1])


def layout_of(arch):
    # The module picks the direction layout from compute capability 12.0 on.
    return "direction" if arch_number(arch) >= 120 else "counter"


def alu_width_of(arch):
    """Integer ALU lanes per SM per clock: 12.0 doubled them."""
    return 128 if arch_number(arch) >= 120 else 64


def measure(arch, root, out_dir):
    """Builds the device module for one arch and returns its figures."""
    src = os.path.join(root, "gpu", "cuda_kernels.cu")
    cubin, log = build.compile_cubin(src, arch, out_dir, root)
    funcs = sass.parse_listing(build.disassemble(cubin))
    mangled = sass.find_function(funcs, MINE)
    if mangled is None:
        raise build.ToolError("%s: no %s in the disassembly" % (arch, MINE))
    g = cfg.Cfg(funcs[mangled])
    try:
        ops = g and cfg.mine_per_nonce(g, first_round_skipped=layout_of(arch) == "direction")
    except cfg.CfgError as e:
        raise build.ToolError("%s: %s has an unexpected shape: %s" % (arch, MINE, e))
    fig = sass.classify(ops)
    fig.update(build.ptxas_figures(log, mangled))
    fig["static"] = build.text_size(cubin, mangled) // 16
    fig["arch"] = arch
    fig["layout"] = layout_of(arch)
    fig["other_ops"] = sass.other_breakdown(ops)
    fig["static_classes"] = sass.classify(sass.static_counts(funcs[mangled]))
    gf_mul = None
    if MULBENCH in funcs:
        try:
            gf_mul = cfg.loop_trip_ops(cfg.Cfg(funcs[MULBENCH]), MULBENCH_PER_TRIP)
        except cfg.CfgError:
            gf_mul = None
    fig["gf_mul"] = gf_mul
    return fig


def model_rate(fig, sms, ghz, alu_width):
    """Modelled hashes per second and the binding term (a model, not a measurement)."""
    terms = {"issue": fig["total"] / 128.0, "alu": fig["alu"] / float(alu_width),
             "imad": fig["imad"] / 64.0}
    bind = max(terms, key=terms.get)
    return sms * ghz * 1e9 * 0.85 / terms[bind], terms, bind


def card_rate(fig, sms, ghz):
    """model_rate for a card of fig's arch with that many SMs at that clock."""
    return model_rate(fig, sms, ghz, alu_width_of(fig["arch"]))


SUMMARY_KEYS = ("total", "imad", "wide", "imad_mov", "alu", "other", "regs", "spills", "static")


def summary_line(fig):
    return "kernel-cost %s layout=%s %s" % (fig["arch"], fig["layout"],
                                             " ".join("%s=%d" % (k, fig[k]) for k in SUMMARY_KEYS))


def read_summary_line(text, arch):
    """The figures of summary_line's line for arch in a kernel-cost output, or None."""
    for line in text.splitlines():
        m = re.match(r"^kernel-cost (%s) layout=(\w+) ((?:\w+=\d+ ?)+)$" % re.escape(arch),
                     line.strip())
        if m:
            fig = {k: int(v) for k, v in (kv.split("=") for kv in m.group(3).split())}
            if all(k in fig for k in SUMMARY_KEYS):
                fig.update(arch=m.group(1), layout=m.group(2))
                return fig
    return None


def report(figs, nvcc_version):
    print("mine_kernel per nonce, %s, release flags; common path: the 3rd and 4th permutations "
          "(the 5th runs only when the first half ties with the target)" % nvcc_version)
    hdr = "%-7s %-9s %5s %6s %5s %7s %7s %6s %8s %7s %6s %7s" % (
        "arch", "layout", "regs", "spills", "stack", "total", "imad", "wide", "imad_mov", "alu",
        "other", "static")
    print(hdr)
    for f in figs:
        print("%-7s %-9s %5d %6d %5d %7d %7d %6d %8d %7d %6d %7d" % (
            f["arch"], f["layout"], f["regs"], f["spills"], f["stack"], f["total"], f["imad"],
            f["wide"], f["imad_mov"], f["alu"], f["other"], f["static"]))
    for f in figs:
        print("  %s other: %s" % (f["arch"], ", ".join("%s %d" % o for o in f["other_ops"])))
    print("model (not a measurement): rate = SMs x clock x 0.85 / max(total/128, alu/alu_width, "
          "imad/64)")
    by_arch = {f["arch"]: f for f in figs}
    for card, arch, sms, ghz in CARDS:
        if arch not in by_arch:
            continue
        width = alu_width_of(arch)
        rate, t, bind = card_rate(by_arch[arch], sms, ghz)
        print("  %-9s %-6s %3d SMs %.2f GHz alu %3d: max(%.0f, %.0f, %.0f) -> %6.0f MH/s modelled "
              "(bound: %s)" % (card, arch, sms, ghz, width, t["issue"], t["alu"], t["imad"],
                               rate / 1e6, bind))
    for f in figs:
        if f["gf_mul"]:
            ratio = f["total"] / f["gf_mul"]
            print("  %s gf_mul = %.1f instructions (mulbench loop); one nonce = %.0f gf_mul; "
                  "mulbench ceiling (%d gf_mul per hash) x %.2f = expected bench rate" % (
                      f["arch"], f["gf_mul"], ratio, CEILING_MULS, CEILING_MULS / ratio))
    for f in figs:
        print(sass.class_line("sass-classes %s static" % f["arch"], f["static_classes"]))
    for f in figs:
        print(summary_line(f))


def read_budget(path):
    budget = {}
    with open(path) as fh:
        for line in fh:
            line = line.split("#", 1)[0].strip()
            m = re.match(r"^(sm_\d+)\s+total=(\d+)$", line)
            if m:
                budget[m.group(1)] = int(m.group(2))
            elif line:
                raise build.ToolError("%s: cannot read line %r" % (path, line))
    return budget


def check_budget(figs, budget):
    """Lines to print and whether every arch stays within its budget plus the slack."""
    ok = True
    lines = []
    for f in figs:
        b = budget.get(f["arch"])
        if b is None:
            ok = False
            lines.append("kernel-cost budget %s: no budget recorded" % f["arch"])
            continue
        limit = b * (1 + BUDGET_SLACK)
        verdict = "PASS" if f["total"] <= limit else "FAIL"
        if f["total"] > limit:
            ok = False
        note = " (below the budget by more than 2%: lower it)" if f["total"] < b * (1 - BUDGET_SLACK) else ""
        lines.append("kernel-cost budget %s %s: total=%d budget=%d limit=%d%s" % (
            f["arch"], verdict, f["total"], b, int(limit), note))
    return ok, lines


def nvcc_version():
    out = build.run([build.find_nvcc(), "--version"], "nvcc --version")
    m = re.search(r"release (\d+\.\d+)", out)
    return "nvcc " + (m.group(1) if m else "?")


def main(argv=None):
    ap = argparse.ArgumentParser(prog="kernel-cost", description=__doc__)
    ap.add_argument("--arch", choices=ARCHS, action="append",
                    help="measure this arch only (repeatable); default all three")
    ap.add_argument("--classify-sass", metavar="FILE",
                    help="classify the mine_kernel of a cuobjdump -sass listing (static counts)")
    ap.add_argument("--check-budget", action="store_true",
                    help="fail when an arch of %s exceeds its line there by more than 2%%%%" % BUDGET_FILE)
    ap.add_argument("--src", default=build.repo_root(), help="source tree to build (default: this one)")
    ap.add_argument("--out", default=None, help="folder for the cubins (default build-kernel-cost)")
    ap.add_argument("--budget", default=None, help="budget file (default %s)" % BUDGET_FILE)
    a = ap.parse_args(argv)
    try:
        if a.classify_sass:
            try:
                with open(a.classify_sass) as fh:
                    funcs = sass.parse_listing(fh.read())
            except OSError as e:
                raise build.ToolError("cannot read %s: %s" % (a.classify_sass, e.strerror))
            name = sass.find_function(funcs, MINE) or (list(funcs)[0] if len(funcs) == 1 else None)
            if name is None or not funcs[name]:
                raise build.ToolError("%s holds no %s listing" % (a.classify_sass, MINE))
            print(sass.class_line("sass-classes", sass.classify(sass.static_counts(funcs[name]))))
            return 0
        out = a.out or os.path.join(build.repo_root(), "build-kernel-cost")
        budget = read_budget(a.budget or os.path.join(a.src, BUDGET_FILE)) if a.check_budget else {}
        # The budget file says which archs it guards: one line adds one.
        archs = a.arch or (sorted(budget, key=arch_number) if a.check_budget else list(ARCHS))
        build.find_cuobjdump()  # fail before the builds when it is missing
        figs = [measure(x, a.src, out) for x in archs]
        report(figs, nvcc_version())
        if a.check_budget:
            ok, lines = check_budget(figs, budget)
            print("\n".join(lines))
            return 0 if ok else 1
        return 0
    except build.ToolError as e:
        print("kernel-cost: %s" % e, file=sys.stderr)
        return 1
