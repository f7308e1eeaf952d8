"""SASS listings (cuobjdump -sass text): instructions per function and their pipe classes."""

import collections
import re

# "/*0a30*/  @!P0 IMAD.WIDE.U32 R2, R4, R5, R2 ;" -- address, optional guard, opcode, operands.
_INSN = re.compile(
    r"^\s*/\*([0-9a-f]{4,})\*/\s+(?:(@!?U?P[T0-9]+)\s+)?([A-Z][A-Z0-9_]*(?:\.[A-Z0-9_]+)*)\s*([^;]*);")
_FUNC = re.compile(r"^\s*Function\s*:\s*(\S+)")
_HEX = re.compile(r"0x([0-9a-f]+)")
_PRED_OPERAND = re.compile(r"^!?U?P[0-6],")

# Integer ALU pipe (the "ALU-class"): adds, logic, shifts, selects, compares, moves.
ALU_OPS = frozenset("""
    IADD3 IADD IADD32I VIADD VIADDMNMX LOP3 LOP LOP32I SHF SHL SHR SEL FSEL ISETP ICMP MOV MOV32I
    PRMT LEA IMNMX VIMNMX IABS PLOP3 SGXT BMSK P2R R2P
""".split())

# Multiply-add pipe: every IMAD form (wide, high, with carry, used as a move, shift or add).
IMAD_OPS = frozenset("IMAD IMAD32I IMUL IMUL32I IMADSP".split())

CLASSES = ("total", "imad", "wide", "imad_mov", "alu", "other")


class Insn(collections.namedtuple("Insn", "addr guard op operands")):
    """One SASS instruction; op is the full opcode with modifiers (IMAD.WIDE.U32)."""

    @property
    def base(self):
        return self.op.split(".", 1)[0]

    @property
    def is_branch(self):
        # CALL.REL.NOINC is how sm_89 code leaves a loop: a jump that pushes no return address.
        return self.base in ("BRA", "JMP") or self.op.startswith("CALL.REL.NOINC")

    @property
    def is_call(self):
        return self.base == "CALL" and not self.is_branch

    @property
    def is_exit(self):
        return self.base in ("EXIT", "RET")

    @property
    def conditional(self):
        """Guarded (@P0) or, as sm_120's BRA.U UP0, with a predicate operand."""
        if self.guard and self.guard not in ("@PT", "@UPT"):
            return True
        return bool(_PRED_OPERAND.match(self.operands))

    @property
    def target(self):
        """Branch target address, or None for an indirect branch."""
        m = _HEX.search(self.operands)
        return int(m.group(1), 16) if m and self.is_branch else None


def parse_listing(text):
    """Maps each function name in a cuobjdump -sass listing to its instructions in address order.
    A listing without "Function :" headers is taken as one function named ''. Only the first
    copy of a name is kept (a fat binary lists a kernel once per architecture)."""
    funcs = collections.OrderedDict()
    name, cur = "", None
    for line in text.splitlines():
        f = _FUNC.match(line)
        if f:
            name = f.group(1)
            cur = None if name in funcs else funcs.setdefault(name, [])
            continue
        m = _INSN.match(line)
        if not m:
            continue
        if cur is None and name == "" and "" not in funcs:
            cur = funcs.setdefault("", [])
        if cur is None:
            continue
        cur.append(Insn(int(m.group(1), 16), m.group(2) or "", m.group(3), m.group(4).strip()))
    return funcs


def find_function(funcs, short_name):
    """The function whose (mangled) name holds short_name, e.g. mine_kernel."""
    hits = [n for n in funcs if short_name in n]
    if len(hits) == 1:
        return hits[0]
    exact = [n for n in hits if re.search(r"\d%s" % re.escape(short_name), n)]
    return exact[0] if len(exact) == 1 else None


def class_of(op):
    """'imad' or 'alu' or 'other' for a full opcode."""
    base = op.split(".", 1)[0]
    if base in IMAD_OPS:
        return "imad"
    if base in ALU_OPS:
        return "alu"
    return "other"


def classify(opcounts):
    """Class totals for a Counter of full opcodes (counts may be per-nonce weights)."""
    c = dict.fromkeys(CLASSES, 0)
    for op, n in opcounts.items():
        c["total"] += n
        k = class_of(op)
        c[k] += n
        if k == "imad":
            parts = op.split(".")
            if "WIDE" in parts:
                c["wide"] += n
            if "MOV" in parts:
                c["imad_mov"] += n
    return c


def other_breakdown(opcounts):
    """The 'other' instructions by base opcode, largest first, so none is silently dropped."""
    o = collections.Counter()
    for op, n in opcounts.items():
        if class_of(op) == "other":
            o[op.split(".", 1)[0]] += n
    return o.most_common()


def static_counts(insns):
    return collections.Counter(i.op for i in insns)


def class_line(prefix, c):
    return prefix + " " + " ".join("%s=%d" % (k, c[k]) for k in CLASSES)
