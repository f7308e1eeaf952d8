"""Builds the device module as a cubin per architecture and disassembles it."""

import glob
import os
import re
import shutil
import struct
import subprocess
import sys

# The disassembler comes from PyPI; this is the version the figures were taken with.
CUOBJDUMP_PIN = "nvidia-cuda-cuobjdump==13.2.78 nvidia-cuda-nvdisasm==13.2.78"

# The release flags of the device module (CMakeLists.txt: Release build, tarn_kernels options).
RELEASE_FLAGS = ["-O3", "-DNDEBUG", "-std=c++17", "--expt-relaxed-constexpr", "-lineinfo"]


class ToolError(Exception):
    """A missing tool or a failed step: reported as one line, exit status 1."""


def repo_root():
    return os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def find_nvcc():
    for c in (os.environ.get("CUDACXX"), shutil.which("nvcc"), "/usr/local/cuda/bin/nvcc"):
        if c and os.path.isfile(c) and os.access(c, os.X_OK):
            return c
    raise ToolError("nvcc not found (set CUDACXX or put it on PATH)")


def find_cuobjdump():
    """TARN_CUOBJDUMP, the PyPI package (in build-kernel-cost/pip or any import path, such as
    scripts/setup's .venv), then PATH and the toolkit."""
    cands = [os.environ.get("TARN_CUOBJDUMP")]
    roots = [os.path.join(repo_root(), "build-kernel-cost", "pip")] + sys.path
    for r in roots:
        if r and os.path.isdir(r):
            cands += sorted(glob.glob(os.path.join(r, "nvidia", "cu*", "bin", "cuobjdump")))
            cands += sorted(glob.glob(os.path.join(r, "nvidia", "cuda_cuobjdump", "bin", "cuobjdump")))
    cands += [shutil.which("cuobjdump"), "/usr/local/cuda/bin/cuobjdump"]
    for c in cands:
        if c and os.path.isfile(c) and os.access(c, os.X_OK):
            return c
    raise ToolError("cuobjdump not found: scripts/setup installs %s into .venv "
                    "(or set TARN_CUOBJDUMP)" % CUOBJDUMP_PIN)


def run(cmd, what, env=None):
    p = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, env=env)
    if p.returncode != 0:
        tail = p.stdout.strip().splitlines()[-3:]
        raise ToolError("%s failed (status %d): %s" % (what, p.returncode, " | ".join(tail)))
    return p.stdout


def compile_cubin(src, arch, out_dir, root=None, extra=()):
    """nvcc -cubin for one sm_XX; returns (cubin path, ptxas -v text)."""
    os.makedirs(out_dir, exist_ok=True)
    cubin = os.path.join(out_dir, "%s.%s.cubin" % (os.path.basename(src).split(".")[0], arch))
    cmd = [find_nvcc()] + RELEASE_FLAGS + ["-I", root or repo_root(), "-cubin",
                                           "-arch=" + arch, "-Xptxas=-v", "-o", cubin, src]
    cmd += list(extra)
    log = run(cmd, "nvcc %s %s" % (arch, os.path.relpath(src, root or repo_root())))
    return cubin, log


def disassemble(cubin):
    # cuobjdump -sass runs nvdisasm, which the PyPI packages install beside it.
    tool = find_cuobjdump()
    env = dict(os.environ)
    env["PATH"] = os.path.dirname(tool) + os.pathsep + env.get("PATH", "")
    return run([tool, "-sass", cubin], "cuobjdump -sass", env=env)


def ptxas_figures(log, mangled):
    """Registers, spill bytes (stores + loads) and stack frame of one entry from ptxas -v."""
    lines = log.splitlines()
    for k, line in enumerate(lines):
        if "Compiling entry function '%s'" % mangled in line:
            chunk = "\n".join(lines[k:k + 6])
            regs = re.search(r"Used (\d+) registers", chunk)
            st = re.search(r"(\d+) bytes stack frame, (\d+) bytes spill stores, (\d+) bytes spill loads",
                           chunk)
            if regs and st:
                return {"regs": int(regs.group(1)), "stack": int(st.group(1)),
                        "spills": int(st.group(2)) + int(st.group(3))}
    raise ToolError("no ptxas figures for %s" % mangled)


def text_size(cubin, mangled):
    """Size in bytes of the ELF section .text.<mangled> of a cubin (64-bit little-endian ELF)."""
    with open(cubin, "rb") as f:
        data = f.read()
    if data[:4] != b"\x7fELF" or data[4] != 2:
        raise ToolError("%s is not a 64-bit ELF cubin" % cubin)
    shoff, = struct.unpack_from("<Q", data, 0x28)
    shentsize, shnum, shstrndx = struct.unpack_from("<HHH", data, 0x3A)
    def sec(n):
        return struct.unpack_from("<IIQQQQIIQQ", data, shoff + n * shentsize)
    stroff = sec(shstrndx)[4]
    want = (".text." + mangled).encode()
    for n in range(shnum):
        s = sec(n)
        end = data.index(b"\0", stroff + s[0])
        if data[stroff + s[0]:end] == want:
            return s[5]
    raise ToolError("no section .text.%s in %s" % (mangled, cubin))
