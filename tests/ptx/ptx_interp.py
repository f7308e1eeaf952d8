"""A small interpreter of the integer PTX that nvcc emits around and inside our inline asm blocks:
loads and stores, conversions, bit fields, and the carry-chain arithmetic with the CC.CF flag."""

import re


class PtxError(Exception):
    pass


def entries(ptx):
    """Maps each .entry name to its instruction lines (comments and braces kept as written)."""
    out = {}
    for m in re.finditer(r"\.entry\s+(\w+)\s*\((.*?)\)\s*\{(.*?)\n\}", ptx, re.S):
        out[m.group(1)] = m.group(3).splitlines()
    return out


def asm_blocks(lines):
    """The text between nvcc's inline-asm markers, one string per block."""
    blocks, cur = [], None
    for line in lines:
        if "// begin inline asm" in line:
            cur = []
        elif "// end inline asm" in line:
            blocks.append("\n".join(cur))
            cur = None
        elif cur is not None:
            cur.append(line)
    return blocks


def _width(op):
    m = re.search(r"\.[usb](8|16|32|64)\b", op)
    return int(m.group(1)) if m else 32


class Machine:
    def __init__(self, params, memory):
        self.params = params      # param name -> value
        self.mem = memory         # byte address -> byte
        self.regs = {}
        self.cf = 0

    def val(self, tok, w):
        tok = tok.strip()
        if re.match(r"^-?(0x[0-9a-fA-F]+|\d+)$", tok):
            return int(tok, 0) & ((1 << w) - 1)
        if tok not in self.regs:
            raise PtxError("read of unset register %s" % tok)
        return self.regs[tok] & ((1 << w) - 1)

    def addr(self, tok):
        m = re.match(r"^\[([%\w]+)(?:\+(-?\d+))?\]$", tok.strip())
        if not m:
            raise PtxError("address %s" % tok)
        base = self.params[m.group(1)] if m.group(1) in self.params else self.regs[m.group(1)]
        return base + int(m.group(2) or 0)

    def load(self, a, w):
        return sum(self.mem.get(a + k, 0) << (8 * k) for k in range(w // 8))

    def store(self, a, v, w):
        for k in range(w // 8):
            self.mem[a + k] = (v >> (8 * k)) & 0xFF

    def run(self, lines):
        for raw in lines:
            line = raw.split("//", 1)[0].strip()
            if not line or line in ("{", "}") or line.startswith("."):  # .reg, .loc
                continue
            if not line.endswith(";"):
                raise PtxError("unparsed line: %s" % raw)
            self.step(line[:-1].strip())

    def step(self, line):
        op, _, rest = line.partition(" ")
        args = [a.strip() for a in re.split(r",(?![^{]*\})", rest)] if rest.strip() else []
        parts = op.split(".")
        name = parts[0]
        w = _width(op)
        mask = (1 << w) - 1
        cc = "cc" in parts
        if name == "ret":
            return
        if name in ("ld", "st"):
            space = parts[1]
            if name == "ld":
                if space == "param":
                    self.regs[args[0]] = self.params[args[1].strip("[]")]
                else:
                    self.regs[args[0]] = self.load(self.addr(args[1]), w)
            else:
                self.store(self.addr(args[0]), self.val(args[1], w), w)
            return
        if name == "cvta":
            self.regs[args[0]] = self.val(args[1], 64)
            return
        if name == "cvt":
            dw, sw = _width("." + parts[1]), _width("." + parts[2])
            self.regs[args[0]] = self.val(args[1], sw) & ((1 << dw) - 1)
            return
        if name == "mov":
            d, s = args
            if d.startswith("{"):  # unpack a 64-bit value into 32-bit halves
                lo, hi = [x.strip() for x in d.strip("{}").split(",")]
                v = self.val(s, 64)
                self.regs[lo], self.regs[hi] = v & 0xFFFFFFFF, v >> 32
            elif s.startswith("{"):
                lo, hi = [x.strip() for x in s.strip("{}").split(",")]
                self.regs[d] = self.val(lo, 32) | (self.val(hi, 32) << 32)
            else:
                self.regs[d] = self.val(s, w)
            return
        if name == "bfi":
            f, b, pos, ln = self.val(args[1], w), self.val(args[2], w), self.val(args[3], 32), self.val(args[4], 32)
            m = ((1 << ln) - 1) << pos
            self.regs[args[0]] = ((b & ~m) | ((f << pos) & m)) & mask
            return
        if name in ("and", "or", "xor"):
            a, b = self.val(args[1], w), self.val(args[2], w)
            self.regs[args[0]] = {"and": a & b, "or": a | b, "xor": a ^ b}[name]
            return
        if name in ("shl", "shr"):
            a, n = self.val(args[1], w), self.val(args[2], 32)
            if name == "shl":
                r = (a << n) & mask if n < w else 0
            elif parts[1].startswith("s") and a >> (w - 1):
                r = ((a - (1 << w)) >> min(n, w)) & mask
            else:
                r = a >> n if n < w else 0
            self.regs[args[0]] = r
            return
        if name == "shf":
            a, b, n = self.val(args[1], 32), self.val(args[2], 32), self.val(args[3], 32)
            n = min(n, 32) if "clamp" in parts else n & 31
            v = (b << 32) | a
            self.regs[args[0]] = ((v << n) >> 32) & 0xFFFFFFFF if parts[1] == "l" else (v >> n) & 0xFFFFFFFF
            return
        if name in ("add", "addc", "sub", "subc"):
            # CC.CF is the hardware carry, as ptxas compiles these (IADD3.X): a subtraction is
            # a + ~b + 1, or a + ~b + CF with carry-in, so after sub.cc CF is 1 when nothing was
            # borrowed. Chains of one kind read the same under either convention; a subc after
            # an add.cc (or addc after sub.cc) reads CF this way, not as a borrow.
            a, b = self.val(args[1], w), self.val(args[2], w)
            if name.startswith("sub"):
                b = ~b & mask
                cin = self.cf if name == "subc" else 1
            else:
                cin = self.cf if name == "addc" else 0
            full = a + b + cin
            self.regs[args[0]] = full & mask
            if cc:
                self.cf = full >> w
            return
        if name in ("mul", "mad", "madc"):
            a, b = self.val(args[1], w), self.val(args[2], w)
            p = a * b
            mode = parts[1]
            if mode == "lo":
                p &= mask
            elif mode == "hi":
                p >>= w
            elif mode != "wide":
                raise PtxError("mul mode %s" % mode)
            if name == "mul":
                self.regs[args[0]] = p & ((1 << (2 * w)) - 1) if mode == "wide" else p
                return
            full = p + self.val(args[3], w) + (self.cf if name == "madc" else 0)
            self.regs[args[0]] = full & mask
            if cc:
                self.cf = full >> w
            return
        if name == "selp":
            self.regs[args[0]] = self.val(args[1], w) if self.regs[args[3]] else self.val(args[2], w)
            return
        raise PtxError("instruction not modelled: %s" % line)


def run_kernel(lines, param_names, inputs, n_out):
    """Runs a kernel(const u64* in, u64* out) on the given inputs; returns the outputs."""
    mem = {}
    in_addr, out_addr = 0x1000, 0x2000
    m = Machine({param_names[0]: in_addr, param_names[1]: out_addr}, mem)
    for k, v in enumerate(inputs):
        m.store(in_addr + 8 * k, v, 64)
    m.run(lines)
    return [m.load(out_addr + 8 * k, 64) for k in range(n_out)]
