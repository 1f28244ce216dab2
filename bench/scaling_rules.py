"""Whether a fact and a firing cost the routes and the rules they touch, not every rule of the
session: each shape runs at several rule counts and prints its cost per unit and how much that cost
grows from the fewest rules to the most.

  rules-literal: 1e5 orders over 100 customers; rule i is Order(region == i % 20, total > K_i)
      joined to its customer, where only rule 0's threshold lets orders through (the others lie
      above every total), so every rule count gives the same firings (about 1/20 of the orders).
      Cost per order of the fire: the stored orders and customers propagated through the rules'
      first patterns and join nodes, matching and firing. (Each rule has a join node of its own,
      which takes every customer: with many customers those inserts, which are the routes a
      customer passes, weigh as much as the orders; --customers sets their number.)
  rules-busy-agenda: rule i is Item(grp == i) and inserts an Out; 20 items per rule in random
      order, so every rule holds activations at once and the fire makes 20 per rule. Cost per
      firing of the fire.
  rules-idle-modify: two rules hand one Counter back and forth by modifying its phase (20,000
      firings, each a change of one fact), beside k rules on another type that no fact reaches.
      Cost per firing of the fire: what a change costs as idle rules are added.
  rules-idle-accumulate: one rule sums 16 events; 2,000 steps each update one of them and fire
      (one firing), beside k rules that hold an accumulate over the same events behind a first
      pattern no fact reaches, so that they never fire. The change of an event reaches the
      accumulates when the fire takes it: cost per step (update and fire) as such rules are added.

The shapes have the calling shape of bench/scaling.py's registry (fn(size, rng) -> [Phase]), so
that they can join it; run alone:

    python3 bench/scaling_rules.py [--shapes rules-literal,rules-busy-agenda,rules-idle-modify,rules-idle-accumulate] [--n 1,20,200,2000]
                                   [--reps 3] [--customers 100]

Measured on a shared machine (RelWithDebInfo, wall time, medians of 3 rounds interleaved with the
build before the change, while other builds ran), cost per order and per firing:
                              rules = 1      20     200    2,000    growth
  rules-literal      before       110 ns   773 ns  6.8 us  69.8 us   635x
                     after        119 ns   160 ns  162 ns   353 ns   3.0x
  rules-busy-agenda  1,000 rules: before 38.5 us, after 1.1 us; 4,000: before 237 us, after 4.4 us
                     (after, 5 reps alone: 2.0 us and 4.3 us)
Instruction counts of the fire (callgrind, after): rules-literal 547, 788 and 1,369 Ir per order
at 1, 200 and 2,000 rules; rules-busy-agenda 4,192 and 4,486 Ir per firing at 1,000 and 4,000
rules. What still grows in wall time with the rule count on rules-busy-agenda is memory, not
work: each rule's activation list is an id map keyed by tuple ids that all rules share, so its
pages and directory spread with the highest tuple id.
Since a rule's activation list and first-pattern input keep a few ids in a sorted vector (about
12 and 4 bytes an id) rather than a page each, the fire of rules-busy-agenda, measured alone
(callgrind on Engine::fire_all, and the process's minor page faults during the fire):
                      Ir per firing    LL misses per firing   page faults     wall per firing
  1,000 rules         4,275 -> 3,756   13.3 -> 1.2            4,359 -> 395    1.7 -> 1.2 us
  4,000 rules         4,584 -> 3,772   16.5 -> 1.2            21,509 -> 1,520 3.9 -> 1.1 us
(wall: one quiet pair of runs; under load, medians of 3 interleaved, 4,000 rules 5.3 -> 1.9 us).
"""

from __future__ import annotations

import argparse
import statistics
import sys

import numpy as np
import pyarrow as pa

import quarn
from scaling import SHAPES, Phase, Timer, fmt_cost, shape


ORDERS = 100_000
CUSTOMERS = 100


@shape("rules-literal", sizes=(1, 20, 200, 2_000), size_name="rules")
def rules_literal(k, rng):
    """1e5 orders, k rules Order(region == i % 20, total > K_i) joined to a customer, only rule 0 matching"""
    n, customers = ORDERS, CUSTOMERS
    orders = pa.table({
        "id": pa.array(np.arange(n), pa.int64()),
        "cust": pa.array(rng.integers(0, customers, n), pa.int64()),
        "region": pa.array(rng.integers(0, 20, n), pa.int64()),
        "total": pa.array(rng.integers(1, 10_000, n), pa.int64()),
    })
    cust = pa.table({"id": pa.array(rng.permutation(customers), pa.int64())})
    rules = []
    for i in range(k):
        threshold = 0 if i == 0 else 1_000_000 + i
        rules.append(f'rule "r{i}" when $o : Order(region == {i % 20}, total > {threshold}, $id : id, $c : cust) '
                     f'Customer(id == $c) then insert(new Hit($id)); end')
    schemas = {"Order": {"id": "i64", "cust": "i64", "region": "i64", "total": "i64"},
               "Customer": {"id": "i64"}, "Hit": {"order": "i64"}}
    s = quarn.Session("\n".join(rules), {"Order": orders, "Customer": cust}, schemas=schemas)
    with Timer() as t:
        r = s.fire()
    assert r.fired == int(np.count_nonzero(orders.column("region").to_numpy() == 0)), r.fired
    return [Phase("fire", n, t.seconds, "order")]


@shape("rules-busy-agenda", sizes=(1_000, 4_000), size_name="rules")
def rules_busy_agenda(k, rng, each=20):
    """k rules Item(grp == i), 20 items each in random order: every rule holds activations; per firing"""
    groups = rng.permutation(np.repeat(np.arange(k), each))
    items = pa.table({"id": pa.array(np.arange(k * each), pa.int64()), "grp": pa.array(groups, pa.int64())})
    rules = "\n".join(f'rule "r{i}" when Item(grp == {i}, $id : id) then insert(new Out({i}, $id)); end'
                      for i in range(k))
    schemas = {"Item": {"id": "i64", "grp": "i64"}, "Out": {"rule": "i64", "item": "i64"}}
    s = quarn.Session(rules, {"Item": items}, schemas=schemas)
    with Timer() as t:
        r = s.fire(fire_limit=k * each)
    assert r.fired == k * each, r.fired
    return [Phase("fire", k * each, t.seconds, "firing")]


@shape("rules-idle-modify", sizes=(0, 200, 2_000), size_name="rules")
def rules_idle_modify(k, rng, firings=20_000):
    """a Counter modified by every firing beside k idle rules on another type; per firing"""
    rules = ['rule "a" when $c : Counter(phase == "a") then modify($c) { setPhase("b") } end',
             'rule "b" when $c : Counter(phase == "b") then modify($c) { setPhase("a") } end']
    rules += [f'rule "r{i}" when Order(region == {i}) then end' for i in range(k)]
    s = quarn.Session("\n".join(rules), schemas={"Counter": {"phase": "String"}, "Order": {"region": "i64"}})
    s.insert("Counter", {"phase": ["a"]})
    with Timer() as t:
        try:
            s.fire(fire_limit=firings)
        except RuntimeError as e:  # the two rules never stop: the limit ends the fire
            assert "fire limit" in str(e), e
    return [Phase("fire", firings, t.seconds, "firing")]


@shape("rules-idle-accumulate", sizes=(10, 100, 1_000), size_name="rules")
def rules_idle_accumulate(k, rng, steps=2_000):
    """an event summed by one rule is updated, then a fire, beside k gated rules summing the same type; per step"""
    rules = ['rule "t" when accumulate(Tick($v : v); $s : sum($v)) then end']
    rules += [f'rule "i{i}" when Gate(id == {i}) accumulate(Tick($v : v); $s : sum($v)) then end' for i in range(k)]
    s = quarn.Session("\n".join(rules), schemas={"Tick": {"ts": "i64", "v": "i64"}, "Gate": {"id": "i64"}},
                      events={"Tick": ("ts", 1 << 40)})
    ticks = s.insert("Tick", pa.table({"ts": pa.array(np.zeros(16, np.int64)), "v": pa.array(rng.integers(0, 100, 16))}))
    assert s.fire().fired == 1
    order = rng.integers(0, len(ticks), steps)
    fired = 0
    with Timer() as t:
        for step in range(steps):
            s.update(ticks[order[step]], v=step)
            fired += s.fire().fired
    assert fired == steps, fired
    return [Phase("steps", steps, t.seconds, "step")]


def main(argv=None) -> int:
    global CUSTOMERS
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--shapes", default="rules-literal,rules-busy-agenda,rules-idle-modify,rules-idle-accumulate")
    ap.add_argument("--n", default=None, help="comma-separated rule counts (default: each shape's own)")
    ap.add_argument("--reps", type=int, default=3)
    ap.add_argument("--seed", type=int, default=20261206)
    ap.add_argument("--customers", type=int, default=CUSTOMERS)
    args = ap.parse_args(argv)
    CUSTOMERS = args.customers
    print(f"wall time, median of {args.reps}; cost per unit, growth = most rules / fewest")
    for name in args.shapes.split(","):
        sh = SHAPES[name]
        sizes = tuple(int(float(x)) for x in args.n.split(",")) if args.n else sh.sizes
        costs = {}
        label = unit = ""
        for size in sizes:
            runs = []
            for rep in range(args.reps):
                (ph,) = sh.run(size, np.random.default_rng([args.seed, size, rep]))
                label, unit = ph.label, ph.unit
                runs.append(ph.seconds / ph.units)
            costs[size] = statistics.median(runs)
            print(f"  {name} {sh.size_name}={size}: {fmt_cost(costs[size])} per {unit}", file=sys.stderr, flush=True)
        cells = "  ".join(f"{sh.size_name}={s:<6}{fmt_cost(c)}" for s, c in costs.items())
        print(f"{name:18} {label:6} per {unit:7} {cells}  growth {costs[sizes[-1]] / costs[sizes[0]]:6.2f}x",
              flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
