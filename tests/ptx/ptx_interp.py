"""Runs the PTX that nvcc emits for our kernels, as a GPU would run it, on the host.

A module's constant tables go into a flat memory and each entry is translated once into a Python
generator function: registers are locals, inline-asm scopes get their own names, branches walk a
chain of basic blocks, and bar.sync yields, so the threads of a block interleave at barriers.
Every buffer sits between guard bytes; a load or store outside a buffer of the right space, an
unset register or an instruction outside the modelled subset raises PtxError naming it.

CC.CF is the hardware carry, as ptxas compiles the carry family (IADD3.X): a subtraction is
a + ~b + 1, or a + ~b + CF with carry-in, so after sub.cc CF is 1 when nothing was borrowed.
Chains of one kind read the same under either convention; mixed_carry_chains() finds the others.
"""

import collections
import re
import struct

MASK = {8: 0xFF, 16: 0xFFFF, 32: 0xFFFFFFFF, 64: (1 << 64) - 1, 128: (1 << 128) - 1}

# Memory kinds, one per byte: what a load or store of each state space may touch.
GLOBAL, CONST, SHARED = 1, 2, 4
SPACE_KINDS = {"global": GLOBAL, "const": CONST, "shared": SHARED, "generic": GLOBAL | CONST | SHARED}
GUARD = 64
GUARD_BYTE = 0xCD
SHARED_FILL = 0xA5  # shared memory starts as garbage, not zeros, as on a GPU

SPECIAL = {"%tid.x": "TID", "%ctaid.x": "CTAID", "%ntid.x": "NTID", "%nctaid.x": "NCTAID",
           "%tid.y": "0", "%tid.z": "0", "%ctaid.y": "0", "%ctaid.z": "0",
           "%ntid.y": "1", "%ntid.z": "1", "%nctaid.y": "1", "%nctaid.z": "1"}
INT_TYPE = re.compile(r"^([usb])(8|16|32|64)$")
CACHE_OPS = {"ca", "cg", "cs", "lu", "cv", "nc", "volatile", "wb", "wt", "relaxed", "gpu", "sys",
             "cta", "L1::no_allocate", "L2::64B", "L2::128B", "L2::256B"}
CARRY_WRITERS = re.compile(r"^(add|addc|sub|subc|mad|madc)\.(?:[a-z]+\.)?cc\.")
CARRY_READERS = re.compile(r"^(addc|subc|madc)\.")
SHARED_DECL = re.compile(r"\.shared\s+(?:\.align\s+\d+\s+)?\.\w+\s+(\S+?)\[(\d+)\]")
LABEL = re.compile(r"([$\w.]+):(?!:)")


class PtxError(Exception):
    pass


def _int_type(t):
    m = INT_TYPE.match(t)
    if not m:
        raise PtxError("type .%s not modelled" % t)
    return m.group(1) == "s", int(m.group(2))


def _signed(expr, w):
    """The two's-complement reading of a w-bit expression, as Python code."""
    s = 1 << (w - 1)
    return "((%s ^ %d) - %d)" % (expr, s, s)


# ----------------------------------------------------------------------------------------- text

def _strip_comments(text):
    return re.sub(r"//[^\n]*", "", re.sub(r"/\*.*?\*/", "", text, flags=re.S))


def entries(ptx):
    """Maps each .entry name to its body lines (comments and braces kept as written)."""
    return {name: e.body.splitlines() for name, e in _parse_entries(ptx).items()}


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


def statements(body):
    """The body as ('{',), ('}',), ('label', name) and ('ins', text) items, in order."""
    out = []
    text = _strip_comments(body)
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        if c.isspace():
            i += 1
        elif c in "{}":
            out.append((c,))
            i += 1
        elif text.startswith(".loc", i) or text.startswith(".file", i):
            j = text.find("\n", i)  # line directives end at the line's end, not at a ';'
            i = n if j < 0 else j
        else:
            m = LABEL.match(text, i)
            if m and not m.group(1).startswith("."):
                out.append(("label", m.group(1)))
                i = m.end()
                continue
            j = text.find(";", i)
            if j < 0:
                raise PtxError("unterminated statement: %s" % text[i:i + 60].strip())
            out.append(("ins", " ".join(text[i:j].split())))
            i = j + 1
    return out


def mixed_carry_chains(ptx):
    """Carry reads whose flag was set by the other kind (add vs sub), or by nothing since the last
    scope or label: their result depends on the carry convention. Returns (entry, text) pairs."""
    bad = []
    for name, e in _parse_entries(ptx).items():
        kind = None
        for item in statements(e.body):
            if item[0] != "ins":
                kind = None  # the flag does not live across an asm block's braces or a label
                continue
            op = re.sub(r"^@!?%\w+\s+", "", item[1]).split(" ")[0]
            r = CARRY_READERS.match(op)
            if r and kind != ("sub" if r.group(1) == "subc" else "add"):
                bad.append((name, item[1]))
            w = CARRY_WRITERS.match(op)
            if w:
                kind = "sub" if w.group(1).startswith("sub") else "add"
    return bad


def const_tables(ptx):
    """Module-level .const (and .global) variables: name -> initial bytes (zeros if none)."""
    out = {}
    decl = re.compile(r"^(?:\.visible\s+|\.extern\s+)?\.(const|global)\s+(?:\.align\s+\d+\s+)?\.([usb]\d+)\s+(\S+?)"
                      r"(?:\[(\d+)\])?\s*(?:=\s*(\{[^}]*\}|[^;]+))?;", re.M)
    for m in decl.finditer(ptx):
        _, w = _int_type(m.group(2))
        count = int(m.group(4)) if m.group(4) else 1
        vals = [int(v, 0) for v in m.group(5).strip("{} ").split(",")] if m.group(5) else []
        data = b"".join((v & MASK[w]).to_bytes(w // 8, "little") for v in vals)
        out[m.group(3)] = (m.group(1), data.ljust(count * w // 8, b"\0"))
    return out


# --------------------------------------------------------------------------------------- memory

class Memory:
    """One flat address space for every state space: each buffer between guard bytes, and per
    byte the kind of space it belongs to (0 for guards and gaps)."""

    def __init__(self):
        self.buf = bytearray(GUARD)
        self.kind = bytearray(GUARD)
        self.regions = []

    def alloc(self, size, kind=GLOBAL, data=b"", name="buffer"):
        base = (len(self.buf) + 255) & ~255
        self.buf.extend(bytes([GUARD_BYTE]) * (base - len(self.buf)))
        self.buf.extend(bytes(data).ljust(size, b"\0"))
        self.buf.extend(bytes([GUARD_BYTE]) * GUARD)
        self.kind.extend(bytes(base - len(self.kind)))
        self.kind.extend(bytes([kind]) * size)
        self.kind.extend(bytes(GUARD))
        self.regions.append((base, size, name))
        return base

    def read(self, addr, n):
        return bytes(self.buf[addr:addr + n])

    def write(self, addr, data):
        self.buf[addr:addr + len(data)] = data

    def fill(self, addr, n, byte):
        self.buf[addr:addr + n] = bytes([byte]) * n

    def where(self, addr):
        for base, size, name in self.regions:
            if base - GUARD <= addr < base + size + GUARD:
                return "%s%+d" % (name, addr - base)
        return "0x%x" % addr

    def guards_intact(self):
        return all(self.buf[b - GUARD:b] == bytes([GUARD_BYTE]) * GUARD and
                   self.buf[b + s:b + s + GUARD] == bytes([GUARD_BYTE]) * GUARD
                   for b, s, _ in self.regions)

    def accessors(self):
        """LD/ST/ATOM functions the translated kernels call, checking kind per access."""
        buf, kind, where = self.buf, self.kind, self.where
        fmts = {1: struct.Struct("<B"), 2: struct.Struct("<H"), 4: struct.Struct("<I"),
                8: struct.Struct("<Q")}

        def check(addr, n, space, what):
            if addr + n > len(kind) or not (kind[addr] & space and kind[addr + n - 1] & space):
                raise PtxError("%s of %d bytes outside a buffer at %s" % (what, n, where(addr)))

        def ld(addr, n, space):
            check(addr, n, space, "load")
            return fmts[n].unpack_from(buf, addr)[0]

        def st(addr, n, space, v):
            check(addr, n, space & (GLOBAL | SHARED), "store")
            fmts[n].pack_into(buf, addr, v & MASK[8 * n])

        def atom_add(addr, n, space, v):
            old = ld(addr, n, space)
            st(addr, n, space, old + v)
            return old

        return ld, st, atom_add


# ---------------------------------------------------------------------------------- translation

# params: [(name, bits)]; body: the text between the entry's braces.
_Entry = collections.namedtuple("_Entry", "name params body")


def _parse_entries(ptx):
    out = {}
    for m in re.finditer(r"\.entry\s+(\w+)\s*\((.*?)\)(.*?)\{(.*?)\n\}", ptx, re.S):
        params = []
        for p in re.finditer(r"\.param\s+\.([usb]\d+)\s+(?:\.ptr\s+)?(?:\.\w+\s+)*?(?:\.align\s+\d+\s+)?(\w+)",
                             m.group(2)):
            params.append((p.group(2), _int_type(p.group(1))[1]))
        out[m.group(1)] = _Entry(m.group(1), params, m.group(4))
    return out


def _split_operands(rest):
    out, depth, cur = [], 0, ""
    for c in rest:
        if c in "{[":
            depth += 1
        elif c in "}]":
            depth -= 1
        if c == "," and depth == 0:
            out.append(cur.strip())
            cur = ""
        else:
            cur += c
    if cur.strip():
        out.append(cur.strip())
    return out


class _Translator:
    """Turns one entry into Python source. Addresses of module and shared symbols are known here,
    so they become literals."""

    def __init__(self, entry, symbols, shared_symbols):
        self.e = entry
        self.symbols = dict(symbols)
        self.symbols.update(shared_symbols)
        self.param_index = {name: (k, w) for k, (name, w) in enumerate(entry.params)}
        self.scopes = [{}]
        self.n_scopes = 0
        self.has_barrier = False

    # operands
    def reg(self, tok):
        for scope in reversed(self.scopes):
            if tok in scope:
                return scope[tok]
        if re.match(r"^%\w+$", tok):
            return "v_" + tok[1:]
        raise PtxError("unknown operand %s" % tok)

    def src(self, tok, w):
        tok = tok.strip()
        if tok in SPECIAL:
            return SPECIAL[tok]
        if re.match(r"^-?(0[xX][0-9a-fA-F]+|\d+)[uU]?$", tok):
            return str(int(tok.rstrip("uU"), 0) & MASK[w])
        if tok in self.symbols:
            return str(self.symbols[tok])
        return self.reg(tok)

    def dst(self, tok):
        return self.reg(tok.strip())

    def addr(self, tok):
        m = re.match(r"^\[\s*([%$\w.]+)\s*(?:\+\s*(-?\d+))?\s*\]$", tok)
        if not m:
            raise PtxError("address form %s not modelled" % tok)
        base, off = m.group(1), int(m.group(2) or 0)
        expr = str(self.symbols[base]) if base in self.symbols else self.reg(base)
        return "(%s + %d)" % (expr, off) if off else expr

    # one instruction -> python lines
    def ins(self, text):
        guard = None
        m = re.match(r"^@(!?)(%\w+)\s+(.*)$", text)
        if m:
            guard = ("not " if m.group(1) else "") + self.reg(m.group(2))
            text = m.group(3)
        op, _, rest = text.partition(" ")
        args = _split_operands(rest)
        lines = self.translate(op, args, text)
        if guard is None:
            return lines
        return ["if %s:" % guard] + ["    " + x for x in lines]

    def translate(self, op, args, text):
        parts = op.split(".")
        fn = getattr(self, "op_" + parts[0], None)
        try:
            out = fn(parts[1:], args) if fn else None
        except (PtxError, KeyError, IndexError, ValueError) as exc:
            raise PtxError("%s: instruction not modelled: %s (%s)" % (self.e.name, text, exc))
        if out is None:
            raise PtxError("%s: instruction not modelled: %s" % (self.e.name, text))
        return out

    def _type(self, mods):
        for m in reversed(mods):
            if INT_TYPE.match(m):
                return _int_type(m)
        if "pred" in mods:
            return False, 1
        return None

    def op_ret(self, mods, args):
        return ["return"]

    op_exit = op_ret

    def op_bra(self, mods, args):
        return ["L = %d" % self.labels[args[0]], "continue"]

    def op_bar(self, mods, args):
        if mods not in (["sync"], ["cta", "sync"]) or args not in (["0"],):
            return None
        self.has_barrier = True
        return ["yield"]

    def op_ld(self, mods, args):
        if mods[:1] == ["param"]:
            _, w = _int_type(mods[-1])
            name = args[1].strip("[] ")
            if len(mods) != 2 or name not in self.param_index:
                return None
            return ["%s = P[%d] & %d" % (self.dst(args[0]), self.param_index[name][0], MASK[w])]
        space = next((m for m in mods if m in SPACE_KINDS), "generic")
        rest = [m for m in mods if m != space and m not in CACHE_OPS]
        if len(rest) != 1:
            return None
        signed, w = _int_type(rest[0])
        if signed and w < 32:
            return None  # would need the destination's width to sign-extend
        return ["%s = LD(%s, %d, %d)" % (self.dst(args[0]), self.addr(args[1]), w // 8,
                                         SPACE_KINDS[space])]

    def op_st(self, mods, args):
        space = next((m for m in mods if m in SPACE_KINDS), "generic")
        rest = [m for m in mods if m != space and m not in CACHE_OPS]
        if len(rest) != 1:
            return None
        _, w = _int_type(rest[0])
        return ["ST(%s, %d, %d, %s)" % (self.addr(args[0]), w // 8, SPACE_KINDS[space],
                                        self.src(args[1], w))]

    def op_atom(self, mods, args):
        space = next((m for m in mods if m in SPACE_KINDS), "generic")
        rest = [m for m in mods if m != space and m not in CACHE_OPS]
        if rest[:1] != ["add"] or len(rest) != 2:
            return None
        _, w = _int_type(rest[1])
        return ["%s = ATOM_ADD(%s, %d, %d, %s)" % (self.dst(args[0]), self.addr(args[1]), w // 8,
                                                   SPACE_KINDS[space], self.src(args[2], w))]

    def op_cvta(self, mods, args):
        # One flat address space: every conversion between generic and a state space is the
        # identity.
        _, w = _int_type(mods[-1])
        return ["%s = %s" % (self.dst(args[0]), self.src(args[1], w))]

    def op_cvt(self, mods, args):
        if len(mods) != 2:
            return None
        (_, dw), (ss, sw) = _int_type(mods[0]), _int_type(mods[1])
        v = "(%s & %d)" % (self.src(args[1], 64), MASK[sw])
        if ss:
            v = _signed(v, sw)
        return ["%s = %s & %d" % (self.dst(args[0]), v, MASK[dw])]

    def op_mov(self, mods, args):
        t = self._type(mods)
        if t is None:
            return None
        _, w = t
        d, s = args
        if w == 1:
            if re.match(r"^-?\d+$", s):
                return ["%s = %s" % (self.dst(d), int(s) != 0)]
            return ["%s = %s" % (self.dst(d), self.reg(s))]
        if d.startswith("{"):
            parts = [x.strip() for x in d.strip("{}").split(",")]
            k = w // len(parts)
            v = self.src(s, w)
            return ["%s = (%s >> %d) & %d" % (self.dst(p), v, k * i, MASK[k])
                    for i, p in enumerate(parts) if p != "_"]
        if s.startswith("{"):
            parts = [x.strip() for x in s.strip("{}").split(",")]
            k = w // len(parts)
            return ["%s = %s" % (self.dst(d), " | ".join("(%s << %d)" % (self.src(p, k), k * i)
                                                          for i, p in enumerate(parts)))]
        return ["%s = %s" % (self.dst(d), self.src(s, w))]

    def _bin(self, mods, args, expr):
        t = self._type(mods)
        if t is None:
            return None
        signed, w = t
        a, b = self.src(args[1], w), self.src(args[2], w)
        return ["%s = (%s) & %d" % (self.dst(args[0]), expr(a, b, w, signed), MASK[w])]

    def _bitop(self, mods, args, int_op, pred_op):
        if mods == ["pred"]:
            return ["%s = %s %s %s" % (self.dst(args[0]), self.reg(args[1]), pred_op,
                                       self.reg(args[2]))]
        return self._bin(mods, args, lambda a, b, w, s: "%s %s %s" % (a, int_op, b))

    def op_and(self, mods, args):
        return self._bitop(mods, args, "&", "and")

    def op_or(self, mods, args):
        return self._bitop(mods, args, "|", "or")

    def op_xor(self, mods, args):
        return self._bitop(mods, args, "^", "!=")

    def op_not(self, mods, args):
        if mods == ["pred"]:
            return ["%s = not %s" % (self.dst(args[0]), self.reg(args[1]))]
        _, w = _int_type(mods[0])
        return ["%s = %s ^ %d" % (self.dst(args[0]), self.src(args[1], w), MASK[w])]

    def op_neg(self, mods, args):
        _, w = _int_type(mods[0])
        return ["%s = (-%s) & %d" % (self.dst(args[0]), self.src(args[1], w), MASK[w])]

    def op_min(self, mods, args):
        return self._minmax(mods, args, "<")

    def op_max(self, mods, args):
        return self._minmax(mods, args, ">")

    def _minmax(self, mods, args, cmp):
        signed, w = _int_type(mods[-1])
        a, b = self.src(args[1], w), self.src(args[2], w)
        if signed:
            x = 1 << (w - 1)
            test = "(%s ^ %d) %s (%s ^ %d)" % (a, x, cmp, b, x)
        else:
            test = "%s %s %s" % (a, cmp, b)
        return ["%s = %s if %s else %s" % (self.dst(args[0]), a, test, b)]

    def op_shl(self, mods, args):
        _, w = _int_type(mods[0])
        a, n = self.src(args[1], w), self.src(args[2], 32)
        return ["%s = (%s << min(%s, %d)) & %d" % (self.dst(args[0]), a, n, w, MASK[w])]

    def op_shr(self, mods, args):
        signed, w = _int_type(mods[0])
        a, n = self.src(args[1], w), self.src(args[2], 32)
        if signed:
            a = _signed(a, w)
        return ["%s = (%s >> min(%s, %d)) & %d" % (self.dst(args[0]), a, n, w, MASK[w])]

    def op_shf(self, mods, args):
        if len(mods) != 3 or mods[2] != "b32" or mods[0] not in ("l", "r") or mods[1] not in ("wrap", "clamp"):
            return None
        a, b, n = self.src(args[1], 32), self.src(args[2], 32), self.src(args[3], 32)
        n = "(%s & 31)" % n if mods[1] == "wrap" else "min(%s, 32)" % n
        v = "((%s << 32) | %s)" % (b, a)
        if mods[0] == "l":
            return ["%s = ((%s << %s) >> 32) & 4294967295" % (self.dst(args[0]), v, n)]
        return ["%s = (%s >> %s) & 4294967295" % (self.dst(args[0]), v, n)]

    def op_bfi(self, mods, args):
        _, w = _int_type(mods[0])
        f, b = self.src(args[1], w), self.src(args[2], w)
        pos, ln = self.src(args[3], 32), self.src(args[4], 32)
        return ["%s = BFI(%s, %s, %s, %s, %d)" % (self.dst(args[0]), f, b, pos, ln, w)]

    def op_prmt(self, mods, args):
        if mods != ["b32"]:
            return None
        a, b, c = self.src(args[1], 32), self.src(args[2], 32), self.src(args[3], 32)
        return ["%s = PRMT(%s, %s, %s)" % (self.dst(args[0]), a, b, c)]

    def op_selp(self, mods, args):
        _, w = _int_type(mods[0])
        return ["%s = %s if %s else %s" % (self.dst(args[0]), self.src(args[1], w),
                                           self.reg(args[3]), self.src(args[2], w))]

    def op_setp(self, mods, args):
        if len(mods) != 2 or len(args) != 3 or "|" in args[0]:
            return None
        cmp = mods[0]
        signed, w = _int_type(mods[1])
        a, b = self.src(args[1], w), self.src(args[2], w)
        ops = {"eq": "==", "ne": "!=", "lt": "<", "le": "<=", "gt": ">", "ge": ">=",
               "lo": "<", "ls": "<=", "hi": ">", "hs": ">="}
        if cmp not in ops:
            return None
        if signed and cmp in ("lt", "le", "gt", "ge"):
            x = 1 << (w - 1)
            a, b = "(%s ^ %d)" % (a, x), "(%s ^ %d)" % (b, x)
        return ["%s = %s %s %s" % (self.dst(args[0]), a, ops[cmp], b)]

    def _carry(self, name, mods, args):
        cc = "cc" in mods
        _, w = _int_type(mods[-1])
        a, b = self.src(args[1], w), self.src(args[2], w)
        if name.startswith("sub"):
            b = "(%s ^ %d)" % (b, MASK[w])
            cin = "cf" if name == "subc" else "1"
        else:
            cin = "cf" if name == "addc" else "0"
        full = "%s + %s" % (a, b) + ("" if cin == "0" else " + " + cin)
        d = self.dst(args[0])
        if not cc:
            return ["%s = (%s) & %d" % (d, full, MASK[w])]
        return ["t_ = %s" % full, "%s = t_ & %d" % (d, MASK[w]), "cf = t_ >> %d" % w]

    def op_add(self, mods, args):
        return self._carry("add", mods, args)

    def op_addc(self, mods, args):
        return self._carry("addc", mods, args)

    def op_sub(self, mods, args):
        return self._carry("sub", mods, args)

    def op_subc(self, mods, args):
        return self._carry("subc", mods, args)

    def _product(self, mode, signed, w, a, b):
        if signed:
            a, b = _signed(a, w), _signed(b, w)
        p = "(%s * %s)" % (a, b)
        if mode == "lo":
            return "(%s & %d)" % (p, MASK[w]), w
        if mode == "hi":
            return "((%s >> %d) & %d)" % (p, w, MASK[w]), w
        if mode == "wide":
            return "(%s & %d)" % (p, MASK[2 * w]), 2 * w
        return None, None

    def op_mul(self, mods, args):
        if len(mods) != 2:
            return None
        signed, w = _int_type(mods[1])
        p, rw = self._product(mods[0], signed, w, self.src(args[1], w), self.src(args[2], w))
        if p is None:
            return None
        return ["%s = %s" % (self.dst(args[0]), p)]

    def _mad(self, carry_in, mods, args):
        cc = "cc" in mods
        mods = [m for m in mods if m != "cc"]
        if len(mods) != 2:
            return None
        signed, w = _int_type(mods[1])
        if signed and (cc or carry_in or mods[0] != "lo"):
            return None
        p, rw = self._product(mods[0], False, w, self.src(args[1], w), self.src(args[2], w))
        if p is None:
            return None
        full = "%s + %s" % (p, self.src(args[3], rw)) + (" + cf" if carry_in else "")
        d = self.dst(args[0])
        if not cc:
            return ["%s = (%s) & %d" % (d, full, MASK[rw])]
        return ["t_ = %s" % full, "%s = t_ & %d" % (d, MASK[rw]), "cf = t_ >> %d" % rw]

    def op_mad(self, mods, args):
        return self._mad(False, mods, args)

    def op_madc(self, mods, args):
        return self._mad(True, mods, args)

    # whole entry
    def source(self, final="return"):
        items = statements(self.e.body)
        self.labels, k = {}, 0
        for it in items:
            if it[0] == "label":
                k += 1
                self.labels[it[1]] = k
        out = ["def kernel(P, TID, CTAID, NTID, NCTAID):",
               "    cf = 0", "    L = 0", "    while True:", "        if L == 0:",
               "            pass"]
        ind = " " * 12
        depth = 0
        for it in items:
            if it[0] == "{":
                self.n_scopes += 1
                self.scopes.append({})
                depth += 1
            elif it[0] == "}":
                self.scopes.pop()
                depth -= 1
            elif it[0] == "label":
                k = self.labels[it[1]]
                out += [ind + "L = %d" % k, "        if L == %d:" % k, ind + "pass"]
            else:
                text = it[1]
                if text.startswith("."):
                    self.directive(text, depth)
                    continue
                out += [ind + x for x in self.ins(text)]
        out += [ind + final]
        if not self.has_barrier:
            out += ["    yield"]  # unreachable: every kernel is a generator
        return "\n".join(out)

    def directive(self, text, depth):
        m = re.match(r"^\.reg\s+\.(\w+)\s+(.*)$", text)
        if m:
            if depth == 0:
                return  # %r<N> families: used by their numbered names
            for name in (x.strip() for x in m.group(2).split(",")):
                self.scopes[-1][name] = "s%d_%s" % (self.n_scopes, name.lstrip("%"))
            return
        m = SHARED_DECL.match(text)
        if m:
            if m.group(1) not in self.symbols:
                raise PtxError("shared variable %s without an address" % m.group(1))
            return
        if re.match(r"^\.(loc|pragma|maxntid|minnctapersm|reqntid|file)\b", text):
            return
        raise PtxError("directive not modelled: %s" % text)


def _bfi(f, b, pos, ln, w):
    pos &= 0xFF
    ln &= 0xFF
    if ln == 0 or pos >= w:
        return b
    m = (((1 << ln) - 1) << pos) & MASK[w]
    return ((b & ~m) | ((f << pos) & m)) & MASK[w]


def _prmt(a, b, c):
    v = (b << 32) | a
    r = 0
    for i in range(4):
        sel = (c >> (4 * i)) & 0xF
        byte = (v >> (8 * (sel & 7))) & 0xFF
        if sel & 8:
            byte = 0xFF if byte & 0x80 else 0
        r |= byte << (8 * i)
    return r


# --------------------------------------------------------------------------------------- module

class Module:
    """A PTX module: its constant tables placed in memory, its entries translated on first use."""

    def __init__(self, ptx):
        self.ptx = ptx
        self.mem = Memory()
        self.tables = const_tables(ptx)
        self.symbols = {}
        for name, (space, data) in self.tables.items():
            kind = CONST if space == "const" else GLOBAL
            self.symbols[name] = self.mem.alloc(len(data), kind, data, name)
        self.entries = _parse_entries(ptx)
        self.LD, self.ST, self.ATOM_ADD = self.mem.accessors()
        self._compiled = {}

    def entry_named(self, fragment):
        names = [n for n in self.entries if fragment in n]
        if len(names) != 1:
            raise PtxError("%d entries match %s" % (len(names), fragment))
        return names[0]

    def kernel(self, name):
        if name not in self._compiled:
            e = self.entries[name]
            shared = {}
            for m in SHARED_DECL.finditer(e.body):
                size = int(m.group(2))
                shared[m.group(1)] = (self.mem.alloc(size, SHARED, name=m.group(1)), size)
            tr = _Translator(e, self.symbols, {k: a for k, (a, _) in shared.items()})
            src = tr.source()
            scope = {"LD": self.LD, "ST": self.ST, "ATOM_ADD": self.ATOM_ADD, "BFI": _bfi,
                     "PRMT": _prmt}
            exec(compile(src, "<ptx %s>" % name, "exec"), scope)
            self._compiled[name] = (scope["kernel"], e.params, shared)
        return self._compiled[name]

    def buffer(self, data=b"", size=None, name="buffer"):
        """A global buffer holding data (zeros past it); returns its address."""
        return self.mem.alloc(len(data) if size is None else size, GLOBAL, data, name)

    def read(self, addr, n):
        return self.mem.read(addr, n)

    def launch(self, name, blocks, tpb, params, only_threads=None, only_blocks=None):
        """Runs the entry on a grid. Within a block the threads run from the last to the first
        between barriers, so a thread that reads shared memory before the barrier that orders it
        sees garbage. only_threads/only_blocks run a subset (thread 0 must be among the threads)."""
        fn, pdecl, shared = self.kernel(name)
        if len(params) != len(pdecl):
            raise PtxError("%s takes %d parameters, given %d" % (name, len(pdecl), len(params)))
        P = tuple(v & MASK[w] for v, (_, w) in zip(params, pdecl))
        threads = list(range(tpb)) if only_threads is None else sorted(only_threads)
        for b in (range(blocks) if only_blocks is None else only_blocks):
            for addr, size in shared.values():
                self.mem.fill(addr, size, SHARED_FILL)
            live = [fn(P, t, b, tpb, blocks) for t in reversed(threads)]
            try:
                while live:
                    live = [g for g in live if _step(g)]
            except (NameError, UnboundLocalError) as exc:
                raise PtxError("%s: read of an unset register (%s)" % (name, exc))
        if not self.mem.guards_intact():
            raise PtxError("%s: a guard byte changed" % name)


def _step(gen):
    try:
        next(gen)
        return True
    except StopIteration:
        return False


# ------------------------------------------------------------------------- single-block kernels

def run_kernel(lines, param_names, inputs, n_out, _cache={}):
    """Runs a one-thread kernel(const u64* in, u64* out), given as its body lines, on the inputs;
    returns the outputs. Used for the inline-asm blocks on their own."""
    body = "\n".join(lines)
    key = (body, tuple(param_names), len(inputs), n_out)
    if key not in _cache:
        if len(_cache) > 64:
            _cache.clear()
        params = ",".join(".param .u64 %s" % p for p in param_names)
        mod = Module(".visible .entry k(%s)\n{\n%s\n}\n" % (params, body))
        _cache[key] = (mod, mod.buffer(size=8 * len(inputs), name="in"),
                       mod.buffer(size=8 * n_out, name="out"))
    mod, ins, out = _cache[key]
    mod.mem.write(ins, b"".join(v.to_bytes(8, "little") for v in inputs))
    mod.mem.write(out, bytes(8 * n_out))
    mod.launch("k", 1, 1, [ins, out])
    data = mod.read(out, 8 * n_out)
    return [int.from_bytes(data[8 * k:8 * k + 8], "little") for k in range(n_out)]


def run_lines(lines, regs):
    """Runs loose instruction lines with the given register values (64-bit moves); returns every
    %-register they name, read back (for tests of one instruction's semantics)."""
    names = sorted(set(re.findall(r"%[a-z]\w*", " ".join(lines))) - {"%tid", "%ctaid", "%ntid", "%nctaid"})
    body = ["mov.u64 %s, %d;" % (r, v) for r, v in regs.items()] + list(lines)
    final = "return {%s}" % ", ".join("%r: locals().get(%r)" % (n, "v_" + n[1:]) for n in names)
    src = _Translator(_Entry("k", [], "\n".join(body)), {}, {}).source(final)
    scope = {"BFI": _bfi, "PRMT": _prmt}
    exec(compile(src, "<ptx lines>", "exec"), scope)
    try:
        next(scope["kernel"]((), 0, 0, 1, 1))
    except StopIteration as stop:
        return stop.value
    raise PtxError("loose lines reached a barrier")
