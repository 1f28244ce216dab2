"""Instructions and last-level cache misses per item of every measured_*
stretch of a benchmark, counted by callgrind's cache simulation (noise does not
move them, unlike wall times on a shared machine). The benchmark runs as given;
each stretch's inclusive counts are divided by ITEMS: every stretch of
network_join_scaling handles N items (children, pairs or evaluations); those
of end_to_end handle one workload at one size, so ITEMS = its input facts
(or firings) gives the cost per fact (or per firing).

    python3 bench/callgrind_per_child.py [--LL=size,assoc,line] ITEMS <benchmark> [args...]

e.g. python3 bench/callgrind_per_child.py 1e5 build/network_join_scaling 1e5 --join-only
     python3 bench/callgrind_per_child.py --LL=33554432,16,64 1e5 build/network_join_scaling 1e5 --join-only
     python3 bench/callgrind_per_child.py 111000 build/end_to_end a 1e5

Without --LL the simulation takes the host's cache sizes (valgrind's default);
the line above that names the last-level cache says which were used.
"""

import os
import re
import subprocess
import sys
import tempfile


def count(text):
    return 0 if text == "." else int(text.replace(",", ""))


def main():
    args = sys.argv[1:]
    if len(args) < 2:
        sys.exit(__doc__)
    sim = [a for a in args if a.startswith("--LL=")]
    args = [a for a in args if not a.startswith("--LL=")]
    n = int(float(args[0]))
    command = args[1:]
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "callgrind.out")
        subprocess.run(["valgrind", "--tool=callgrind", "--cache-sim=yes", *sim, f"--callgrind-out-file={out}",
                        *command], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        annotated = subprocess.run(["callgrind_annotate", "--inclusive=yes", "--show=Ir,ILmr,DLmr,DLmw", out],
                                   check=True, capture_output=True, text=True).stdout
    for line in annotated.splitlines():
        if line.startswith("LL cache:"):
            print(f"simulated {line}")
    print(f"{'stretch':<34} {'items':>9} {'Ir/item':>10} {'LL miss/item':>13}")
    number = r"([\d,]+|\.)(?:\s+\([^)]*\))?"
    pattern = re.compile(rf"^\s*{number}\s+{number}\s+{number}\s+{number}\s+.*?measured_(\w+)\(")
    for line in annotated.splitlines():
        m = pattern.match(line)
        if not m:
            continue
        ir, ilmr, dlmr, dlmw, name = m.groups()
        misses = count(ilmr) + count(dlmr) + count(dlmw)
        print(f"{name:<34} {n:>9,} {count(ir) / n:>10.0f} {misses / n:>13.2f}")


if __name__ == "__main__":
    main()
