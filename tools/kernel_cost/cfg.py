"""Control flow of one SASS function: basic blocks, loops, and instruction counts along paths."""

import collections
import heapq


class CfgError(Exception):
    pass


class Block:
    def __init__(self, start, insns):
        self.start = start
        self.insns = insns
        self.succ = []  # (target start, is_back_edge)

    @property
    def end(self):
        return self.insns[-1].addr


class Loop:
    """A loop laid out contiguously: header at `head`, closing branch at `latch`."""

    def __init__(self, head, latch):
        self.head, self.latch = head, latch
        self.children = []

    def contains(self, addr):
        return self.head <= addr <= self.latch

    @property
    def exit(self):
        return self.latch + 16

    def __repr__(self):
        return "loop[%#x..%#x]" % (self.head, self.latch)


class Cfg:
    def __init__(self, insns):
        if not insns:
            raise CfgError("empty function")
        self.insns = insns
        self.by_addr = {i.addr: k for k, i in enumerate(insns)}
        leaders = {insns[0].addr}
        for k, i in enumerate(insns):
            if i.is_call:
                raise CfgError("call at %#x: only fully inlined code is counted" % i.addr)
            if i.is_branch or i.is_exit:
                if k + 1 < len(insns):
                    leaders.add(insns[k + 1].addr)
                if i.is_branch:
                    if i.target is None:
                        raise CfgError("indirect branch at %#x" % i.addr)
                    if i.target not in self.by_addr:
                        raise CfgError("branch at %#x to %#x outside the function" % (i.addr, i.target))
                    leaders.add(i.target)
        self.blocks = collections.OrderedDict()
        cur = []
        for i in insns:
            if i.addr in leaders and cur:
                self.blocks[cur[0].addr] = Block(cur[0].addr, cur)
                cur = []
            cur.append(i)
        self.blocks[cur[0].addr] = Block(cur[0].addr, cur)
        starts = list(self.blocks)
        for n, b in enumerate(self.blocks.values()):
            last = b.insns[-1]
            nxt = starts[n + 1] if n + 1 < len(starts) else None
            if last.is_branch:
                if last.target == last.addr:
                    continue  # the self-loop that closes the listing after EXIT
                b.succ.append((last.target, last.target <= last.addr))
                if last.conditional and nxt is not None:
                    b.succ.append((nxt, False))
            elif last.is_exit:
                if last.conditional and nxt is not None:
                    b.succ.append((nxt, False))
            elif nxt is not None:
                b.succ.append((nxt, False))
        self.loops = self._loops()

    def _loops(self):
        """Loops from the backward branches, nested by address range. Every edge into a loop from
        outside must reach its header, or the layout is not the contiguous one we rely on."""
        loops = []
        for b in self.blocks.values():
            for t, back in b.succ:
                if back:
                    loops.append(Loop(t, b.end))
        loops.sort(key=lambda l: (l.head, -l.latch))
        for l in loops:
            for b in self.blocks.values():
                for t, back in b.succ:
                    if l.contains(t) and t != l.head and not l.contains(b.end):
                        raise CfgError("%r entered at %#x from %#x" % (l, t, b.end))
        roots = []
        stack = []
        for l in loops:
            while stack and not stack[-1].contains(l.head):
                stack.pop()
            if stack:
                if l.latch > stack[-1].latch:
                    raise CfgError("%r overlaps %r" % (l, stack[-1]))
                stack[-1].children.append(l)
            else:
                roots.append(l)
            stack.append(l)
        return roots

    def range_ops(self, lo, hi):
        """Opcode counts of the instructions at addresses lo..hi inclusive."""
        return collections.Counter(i.op for i in self.insns if lo <= i.addr <= hi)

    def branches_in(self, lo, hi):
        return [i for i in self.insns if lo <= i.addr <= hi and i.is_branch]

    def path(self, src, dst, back_edges=()):
        """The fewest instructions executed from entering block src until entering block dst, as
        an opcode Counter. Backward branches are followed only when listed in back_edges (as
        (from block end, to) pairs), so a path cannot go round a loop it is not meant to."""
        if src not in self.blocks or dst not in self.blocks:
            raise CfgError("no block at %#x or %#x" % (src, dst))
        allowed = set(back_edges)
        best = {src: 0}
        prev = {}
        heap = [(0, src, False)]
        done = set()
        while heap:
            d, s, arrived = heapq.heappop(heap)
            key = (s, arrived)
            if key in done:
                continue
            done.add(key)
            if s == dst and arrived:
                break
            b = self.blocks[s]
            nd = d + len(b.insns)
            for t, back in b.succ:
                if back and (b.end, t) not in allowed:
                    continue
                nk = (t, True)
                if nd < best.get(nk, 1 << 62):
                    best[nk] = nd
                    prev[nk] = key
                    heapq.heappush(heap, (nd, t, True))
        if (dst, True) not in best:
            raise CfgError("no path from %#x to %#x" % (src, dst))
        ops = collections.Counter()
        k = prev[(dst, True)]
        while True:
            ops.update(i.op for i in self.blocks[k[0]].insns)
            if k not in prev:
                break
            k = prev[k]
        return ops


def weighted(*terms):
    """Sum of (multiplier, Counter) terms."""
    out = collections.Counter()
    for m, c in terms:
        for op, n in c.items():
            out[op] += m * n
    return out


def loop_ops(cfg, loop, trips):
    """Opcodes of `trips` trips round a loop entered at its head: trips - 1 times round the
    back edge, then the shortest way out (the last trip may skip the closing branch)."""
    if loop.children:
        raise CfgError("%r holds other loops" % loop)
    again = cfg.path(loop.head, loop.head, [(loop.latch, loop.head)])
    return weighted((trips - 1, again), (1, cfg.path(loop.head, loop.exit)))


def mine_per_nonce(cfg, first_round_skipped, rounds=(4, 22, 4), passes=2):
    """Instructions per nonce of mine_kernel on its common path.

    The expected shape is the source's: a per-nonce loop holding the pass loop (permutation 3,
    then 4, then 5 only on a tie) holding the initial, partial and terminal round loops. A nonce
    costs one trip of the per-nonce loop with two passes: pass 0 (permutation 3, whose first
    initial round the direction layout has already done) ends with the padding and the next
    initial layer; pass 1 (permutation 4) compares and leaves the loop, the first word deciding
    the comparison and no hit recorded. Each stretch of straight code between the loops is the
    shortest path through it, which is that common path.
    """
    if len(cfg.loops) != 1:
        raise CfgError("expected one per-nonce loop, found %r" % cfg.loops)
    nonce = cfg.loops[0]
    if len(nonce.children) != 1:
        raise CfgError("expected one pass loop inside %r, found %r" % (nonce, nonce.children))
    pas = nonce.children[0]
    if len(pas.children) != 3:
        raise CfgError("expected three round loops inside %r, found %r" % (pas, pas.children))
    init, part, term = pas.children
    first_init = rounds[0] - (1 if first_round_skipped else 0)
    pass_back = [(pas.latch, pas.head)]
    nonce_back = [(nonce.latch, nonce.head)]
    return weighted(
        (1, cfg.path(nonce.head, pas.head)),
        (passes, cfg.path(pas.head, init.head)),
        (1, loop_ops(cfg, init, first_init)),
        (passes - 1, loop_ops(cfg, init, rounds[0])),
        (passes, cfg.path(init.exit, part.head)),
        (passes, loop_ops(cfg, part, rounds[1])),
        (passes, cfg.path(part.exit, term.head)),
        (passes, loop_ops(cfg, term, rounds[2])),
        # Passes before the last: back to the pass loop's head; the last: out to the next nonce.
        (passes - 1, cfg.path(term.exit, pas.head, pass_back)),
        (1, cfg.path(term.exit, nonce.head, nonce_back)),
    )


def loop_trip_ops(cfg, per_trip):
    """Opcodes of one trip of the function's only loop, divided by per_trip (e.g. the products
    per trip of a benchmark loop)."""
    loops = cfg.loops
    if len(loops) != 1 or loops[0].children:
        raise CfgError("expected one loop, found %r" % loops)
    body = cfg.path(loops[0].head, loops[0].head, [(loops[0].latch, loops[0].head)])
    return sum(body.values()) / per_trip
