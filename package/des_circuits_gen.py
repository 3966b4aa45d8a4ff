#!/usr/bin/env python3
"""Writes des_circuits.h: each DES S-box as a circuit of AND, OR, XOR, AND-NOT and NOT.

The bitsliced cipher evaluates an S-box on many blocks at once, one block per bit of a
machine word, so it needs the S-boxes as logic rather than as tables. Each of the four
output functions of an S-box (a 64-entry truth table) is split on one input at a time
(f = f0 ^ (x & (f0 ^ f1)) and its relatives, with the cheaper forms where a cofactor is
constant or contains the other), and every sub-function is built once and shared by all
four outputs. A function one operation away from one already built (its complement, or
its XOR with it) reuses it. The input chosen at each split, the order of the outputs and
the ties are varied over many seeded trials; the smallest circuit per S-box is kept.

Run by hand after changing it, from the top folder:

    python3 package/des_circuits_gen.py > package/des_circuits.h

The result is checked exhaustively against the S-box tables by the cipher's unit tests.
"""
import itertools
import random
import sys

# S1..S8 of the standard, row-major: 4 rows of 16 columns.
SBOXES = [
    [14, 4, 13, 1, 2, 15, 11, 8, 3, 10, 6, 12, 5, 9, 0, 7,
     0, 15, 7, 4, 14, 2, 13, 1, 10, 6, 12, 11, 9, 5, 3, 8,
     4, 1, 14, 8, 13, 6, 2, 11, 15, 12, 9, 7, 3, 10, 5, 0,
     15, 12, 8, 2, 4, 9, 1, 7, 5, 11, 3, 14, 10, 0, 6, 13],
    [15, 1, 8, 14, 6, 11, 3, 4, 9, 7, 2, 13, 12, 0, 5, 10,
     3, 13, 4, 7, 15, 2, 8, 14, 12, 0, 1, 10, 6, 9, 11, 5,
     0, 14, 7, 11, 10, 4, 13, 1, 5, 8, 12, 6, 9, 3, 2, 15,
     13, 8, 10, 1, 3, 15, 4, 2, 11, 6, 7, 12, 0, 5, 14, 9],
    [10, 0, 9, 14, 6, 3, 15, 5, 1, 13, 12, 7, 11, 4, 2, 8,
     13, 7, 0, 9, 3, 4, 6, 10, 2, 8, 5, 14, 12, 11, 15, 1,
     13, 6, 4, 9, 8, 15, 3, 0, 11, 1, 2, 12, 5, 10, 14, 7,
     1, 10, 13, 0, 6, 9, 8, 7, 4, 15, 14, 3, 11, 5, 2, 12],
    [7, 13, 14, 3, 0, 6, 9, 10, 1, 2, 8, 5, 11, 12, 4, 15,
     13, 8, 11, 5, 6, 15, 0, 3, 4, 7, 2, 12, 1, 10, 14, 9,
     10, 6, 9, 0, 12, 11, 7, 13, 15, 1, 3, 14, 5, 2, 8, 4,
     3, 15, 0, 6, 10, 1, 13, 8, 9, 4, 5, 11, 12, 7, 2, 14],
    [2, 12, 4, 1, 7, 10, 11, 6, 8, 5, 3, 15, 13, 0, 14, 9,
     14, 11, 2, 12, 4, 7, 13, 1, 5, 0, 15, 10, 3, 9, 8, 6,
     4, 2, 1, 11, 10, 13, 7, 8, 15, 9, 12, 5, 6, 3, 0, 14,
     11, 8, 12, 7, 1, 14, 2, 13, 6, 15, 0, 9, 10, 4, 5, 3],
    [12, 1, 10, 15, 9, 2, 6, 8, 0, 13, 3, 4, 14, 7, 5, 11,
     10, 15, 4, 2, 7, 12, 9, 5, 6, 1, 13, 14, 0, 11, 3, 8,
     9, 14, 15, 5, 2, 8, 12, 3, 7, 0, 4, 10, 1, 13, 11, 6,
     4, 3, 2, 12, 9, 5, 15, 10, 11, 14, 1, 7, 6, 0, 8, 13],
    [4, 11, 2, 14, 15, 0, 8, 13, 3, 12, 9, 7, 5, 10, 6, 1,
     13, 0, 11, 7, 4, 9, 1, 10, 14, 3, 5, 12, 2, 15, 8, 6,
     1, 4, 11, 13, 12, 3, 7, 14, 10, 15, 6, 8, 0, 5, 9, 2,
     6, 11, 13, 8, 1, 4, 10, 7, 9, 5, 0, 15, 14, 2, 3, 12],
    [13, 2, 8, 4, 6, 15, 11, 1, 10, 9, 3, 14, 5, 0, 12, 7,
     1, 15, 13, 8, 10, 3, 7, 4, 12, 5, 6, 11, 0, 14, 9, 2,
     7, 11, 4, 1, 9, 12, 14, 2, 0, 6, 10, 13, 15, 3, 5, 8,
     2, 1, 14, 7, 4, 10, 8, 13, 15, 12, 9, 0, 3, 5, 6, 11],
]

FULL = (1 << 64) - 1
# Input k (0 = the S-box's first input bit, the most significant of its 6-bit value).
LITERALS = [sum(1 << v for v in range(64) if v >> (5 - k) & 1) for k in range(6)]


def output_tables(box):
    tables = []
    for j in range(4):
        t = 0
        for v in range(64):
            row = (v >> 4 & 2) | (v & 1)
            column = v >> 1 & 15
            if box[row * 16 + column] >> (3 - j) & 1:
                t |= 1 << v
        tables.append(t)
    return tables


def cofactors(f, k):
    m = LITERALS[k]
    d = 1 << (5 - k)
    lo = f & ~m & FULL
    hi = f & m
    return (lo | lo << d) & FULL, (hi | hi >> d) & FULL


class Circuit:
    def __init__(self):
        self.nodes = []  # (op, a, b): op in LIT, NOT, AND, OR, XOR, ANDNOT (~a & b)
        self.by_table = {}
        for k, t in enumerate(LITERALS):
            self.add(t, ('LIT', k, None))

    def add(self, table, node):
        self.by_table[table] = len(self.nodes)
        self.nodes.append((table, node))
        return len(self.nodes) - 1

    def gates(self):
        return sum(1 for _, n in self.nodes if n[0] != 'LIT')


OPS = {
    'AND': lambda a, b: a & b,
    'OR': lambda a, b: a | b,
    'XOR': lambda a, b: a ^ b,
    'ANDNOT': lambda a, b: ~a & b & FULL,
}


def splits(f, k):
    """Ways to build f from input k and simpler functions: (cost, recipe)."""
    f0, f1 = cofactors(f, k)
    if f0 == f1:
        return []
    x = LITERALS[k]
    g = f0 ^ f1
    out = []
    if f0 == 0:
        out.append((1, ('AND', x, f1), [f1]))
    if f1 == 0:
        out.append((1, ('ANDNOT', x, f0), [f0]))
    if g == FULL:
        out.append((1, ('XOR', x, f0), [f0]))
    if f0 & ~f1 & FULL == 0:
        out.append((2, ('OR', f0, ('AND', x, f1)), [f0, f1]))
        out.append((2, ('OR', f0, ('AND', x, g)), [f0, g]))
    if f1 & ~f0 & FULL == 0:
        out.append((2, ('OR', f1, ('ANDNOT', x, f0)), [f1, f0]))
        out.append((2, ('OR', f1, ('ANDNOT', x, g)), [f1, g]))
    out.append((2, ('XOR', f0, ('AND', x, g)), [f0, g]))
    out.append((2, ('XOR', f1, ('ANDNOT', x, g)), [f1, g]))
    out.append((3, ('OR', ('AND', x, f1), ('ANDNOT', x, f0)), [f0, f1]))
    return out


class Builder:
    def __init__(self, rng):
        self.c = Circuit()
        self.rng = rng

    def estimate(self, f, memo):
        """Cost of f as a tree over what the circuit already holds."""
        if f in self.c.by_table:
            return 0
        if f in memo:
            return memo[f]
        best = 1 if (~f & FULL) in self.c.by_table else 10 ** 9
        if best > 1:
            for k in range(6):
                for cost, _, parts in splits(f, k):
                    total = cost
                    for p in parts:
                        total += self.estimate(p, memo)
                        if total >= best:
                            break
                    if total < best:
                        best = total
        memo[f] = best
        return best

    def build(self, f, memo):
        if f in self.c.by_table:
            return self.c.by_table[f]
        inverse = ~f & FULL
        if inverse in self.c.by_table:
            return self.c.add(f, ('NOT', self.c.by_table[inverse], None))
        options = []
        for k in range(6):
            for cost, recipe, parts in splits(f, k):
                options.append((cost + sum(self.estimate(p, memo) for p in parts), self.rng.random(), recipe))
        # One operation with a function already built.
        for h in list(self.c.by_table):
            r = f ^ h
            options.append((1 + self.estimate(r, memo), self.rng.random(), ('XOR', h, r)))
        options.sort()
        return self.emit(options[0][2], memo)

    def emit(self, recipe, memo):
        if isinstance(recipe, int):
            return self.build(recipe, memo)
        op, a, b = recipe
        na = self.emit(a, memo)
        nb = self.emit(b, memo)
        table = OPS[op](self.c.nodes[na][0], self.c.nodes[nb][0])
        if table in self.c.by_table:
            return self.c.by_table[table]
        return self.c.add(table, (op, na, nb))


def synthesize(box, trials, seed):
    tables = output_tables(box)
    best = None
    rng = random.Random(seed)
    orders = list(itertools.permutations(range(4)))
    for trial in range(trials):
        b = Builder(random.Random(rng.random()))
        outputs = [None] * 4
        for j in orders[trial % len(orders)]:
            outputs[j] = b.build(tables[j], {})
        if best is None or b.c.gates() < best[0].gates():
            best = (b.c, outputs)
    return best


def emit_function(index, circuit, outputs):
    used = set()
    stack = list(outputs)
    while stack:
        n = stack.pop()
        if n in used:
            continue
        used.add(n)
        op, a, b = circuit.nodes[n][1]
        if op != 'LIT':
            stack.append(a)
            if b is not None:
                stack.append(b)
    names = {}
    lines = []
    gates = 0
    for n, (_, (op, a, b)) in enumerate(circuit.nodes):
        if n not in used:
            continue
        if op == 'LIT':
            names[n] = 'x%d' % a
            continue
        names[n] = 't%d' % gates
        gates += 1
        if op == 'NOT':
            expr = '~%s' % names[a]
        elif op == 'ANDNOT':
            expr = '~%s & %s' % (names[a], names[b])
        else:
            expr = '%s %s %s' % (names[a], {'AND': '&', 'OR': '|', 'XOR': '^'}[op], names[b])
        lines.append('  const W %s = %s;' % (names[n], expr))
    out = ['// S%d: %d operations.' % (index + 1, gates),
           'template <typename W>',
           'inline void SBox%d(const W& x0, const W& x1, const W& x2, const W& x3, const W& x4, const W& x5,' % (index + 1),
           '                  W& y0, W& y1, W& y2, W& y3) {']
    out += lines
    for j, n in enumerate(outputs):
        out.append('  y%d ^= %s;' % (j, names[n]))
    out.append('}')
    return gates, out


def main():
    trials = int(sys.argv[1]) if len(sys.argv) > 1 else 24
    body = []
    total = 0
    for i, box in enumerate(SBOXES):
        circuit, outputs = synthesize(box, trials, 1000 + i)
        gates, lines = emit_function(i, circuit, outputs)
        total += gates
        body += lines + ['']
        print('S%d: %d' % (i + 1, gates), file=sys.stderr)
    print('total: %d' % total, file=sys.stderr)
    print('// Generated by package/des_circuits_gen.py; do not edit (run the script instead).')
    print('//')
    print('// The DES S-boxes as logic, for the bitsliced cipher: SBoxN takes the box\'s six input')
    print('// bits x0..x5 (x0 the most significant of its 6-bit input) and XORs its four output')
    print('// bits into y0..y3 (y0 the most significant), on every bit of W at once. W is any type')
    print('// with ~ & | ^ (an integer, or a vector type of the compiler). %d operations in all.' % total)
    print('#pragma once')
    print()
    print('namespace des_circuits {')
    print()
    for line in body:
        print(line)
    print('}  // namespace des_circuits')


if __name__ == '__main__':
    main()
