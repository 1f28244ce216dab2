"""Instructions and last-level cache misses per unit (input fact, firing or source) of each timed
part of the scaling shapes, counted by callgrind (load does not move them, unlike wall time), kept
as a baseline in bench/baseline/ and compared against a build.

    python3 bench/callgrind_baseline.py --write  [--n 1e5] [--shapes a-join,...]   # record the baseline
    python3 bench/callgrind_baseline.py          [--n 1e5] [--shapes a-join,...]   # compare a build with it

The quarn imported is the one on PYTHONPATH (or installed). Each shape runs once, in its own process
under `valgrind --tool=callgrind`, each fire ending a part; what is counted is the inclusive cost of
the native insert, delete and fire calls in each part. The cache model is fixed (32 KiB L1s, 8 MiB last level) so figures agree across machines. A timed part
labelled "insert" counts the native inserts, "fire" the fire that ends its part, "delete+fire" the
deletes and the fire after them. Compare prints each figure beside the baseline's and exits 1 when an
instruction count grew by more than --tolerance (default 1 %).
"""

from __future__ import annotations

import argparse
import json
import os
import re
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_SHAPES = "a-join,b-accumulate,c-not-exists,d-chain,e-tms,string-join,minmax-delete"
CACHES = ["--I1=32768,8,64", "--D1=32768,8,64", "--LL=8388608,16,64"]
# The native entry points a timed part is made of, by the word its label uses.
ENTRY = {"insert": "session_insert", "delete": "session_delete", "fire": "session_fire"}

CHILD = """
import json, sys
import numpy as np
sys.path.insert(0, {here!r})
import scaling
phases = scaling.SHAPES[{shape!r}].run({n}, np.random.default_rng({seed}))
print("PHASES " + json.dumps([[p.label, p.units, p.unit] for p in phases]))
"""


def count(text: str) -> int:
    return 0 if text == "." else int(text.replace(",", ""))


def part_costs(path: str) -> dict:
    """{entry function: (instructions, last-level misses)} inclusive, for one callgrind part file."""
    out = subprocess.run(["callgrind_annotate", "--inclusive=yes", "--threshold=100", path],
                         capture_output=True, text=True, check=True).stdout
    events, costs = None, {}
    for line in out.splitlines():
        if line.startswith("Events shown:"):
            events = line.split(":", 1)[1].split()
            continue
        if events is None:
            continue
        for entry in ENTRY.values():
            if re.search(rf"\b{entry}\b", line) and entry not in costs:
                # Each count may be followed by its share, "(12.3%)".
                cells = re.sub(r"\([^)]*\)", " ", line).split()[:len(events)]
                row = dict(zip(events, (count(c) for c in cells)))
                misses = row.get("ILmr", 0) + row.get("DLmr", 0) + row.get("DLmw", 0)
                costs[entry] = (row["Ir"], misses)
    return costs


def measure(shape: str, n: int, seed: int) -> list:
    """[(label, unit, instructions per unit, misses per unit)] for the shape's timed parts."""
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "cg.out")
        proc = subprocess.run(
            ["valgrind", "--tool=callgrind", "--cache-sim=yes", *CACHES, "--dump-after=*session_fire*",
             f"--callgrind-out-file={out}",
             sys.executable, "-c", CHILD.format(here=HERE, shape=shape, n=n, seed=seed)],
            capture_output=True, text=True)
        if proc.returncode != 0:
            sys.exit(f"{shape}: the run failed\n{proc.stderr[-3000:]}")
        phases = json.loads(next(l for l in proc.stdout.splitlines() if l.startswith("PHASES "))[7:])
        parts = sorted((f for f in os.listdir(tmp) if f.startswith("cg.out.")),
                       key=lambda f: int(f.rsplit(".", 1)[1]))
        costs = [part_costs(os.path.join(tmp, f)) for f in parts]
    # Phases and parts pair from the end: each part ends in a fire; an "insert" phase shares the
    # part of the fire after it.
    rows, k = [], len(costs)
    for label, units, unit in reversed(phases):
        if label != "insert":
            k -= 1
        if k < 0:
            sys.exit(f"{shape}: more timed parts than fires")
        ir = ll = 0
        for word in label.split("+"):
            i, m = costs[k].get(ENTRY[word], (0, 0))
            ir += i
            ll += m
        rows.append((label, unit, ir / units, ll / units))
    return list(reversed(rows))


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=" ".join(__doc__.split("\n\n")[0].split()))
    ap.add_argument("--shapes", default=DEFAULT_SHAPES)
    ap.add_argument("--n", default="1e5")
    ap.add_argument("--seed", type=int, default=20261206)
    ap.add_argument("--baseline", default=None, help="default: bench/baseline/callgrind-<n>.json")
    ap.add_argument("--write", action="store_true", help="record the baseline instead of comparing")
    ap.add_argument("--tolerance", type=float, default=1.0, help="percent an instruction count may grow")
    args = ap.parse_args(argv)
    n = int(float(args.n))
    path = args.baseline or os.path.join(HERE, "baseline", f"callgrind-{args.n}.json")
    base = {}
    if not args.write:
        with open(path) as f:
            base = json.load(f)["shapes"]
    now, worse = {}, []
    print(f"{'shape':16} {'part':12} {'per':8} {'instr':>10} {'base':>10} {'diff':>7}  {'LL miss':>8} {'base':>8}")
    for shape in args.shapes.split(","):
        now[shape] = {}
        for label, unit, ir, ll in measure(shape, n, args.seed):
            now[shape][label] = {"unit": unit, "instructions": round(ir, 1), "ll_misses": round(ll, 3)}
            b = base.get(shape, {}).get(label)
            if b:
                diff = 100.0 * (ir / b["instructions"] - 1.0) if b["instructions"] else 0.0
                if diff > args.tolerance:
                    worse.append(f"{shape} {label}")
                print(f"{shape:16} {label:12} {unit:8} {ir:10.0f} {b['instructions']:10.0f} {diff:+6.1f}%"
                      f"  {ll:8.2f} {b['ll_misses']:8.2f}", flush=True)
            else:
                print(f"{shape:16} {label:12} {unit:8} {ir:10.0f} {'-':>10} {'':>7}  {ll:8.2f}", flush=True)
    if args.write:
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as f:
            json.dump({"n": n, "seed": args.seed, "caches": CACHES, "shapes": now}, f, indent=1)
            f.write("\n")
        print(f"written: {path}")
        return 0
    if worse:
        print(f"more instructions than the baseline (over {args.tolerance} %): {', '.join(worse)}")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
