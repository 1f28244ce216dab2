"""The cost of a fire after a one-row change, with N facts already stored.

A session holds N readings (none above the threshold) and fires once. Then,
K times: one reading above the threshold is inserted and the session fires,
which runs one rule once and builds the Result (final and derived facts of
every type, the audit, the deleted handles). Reports the first fire and the
median, minimum and maximum of the K one-row fires; what grows with N in the
one-row fire is what a Result costs on top of the rule's own work.

    python3 bench/one_row_fire.py [N] [K]     (default: 1e6 20)

For an instruction count, run K=1 and K=11 under callgrind, collecting inside
the fire call only, and divide the difference by 10:
    valgrind --tool=callgrind --toggle-collect='quarn::py::PySession::fire(*' \
        python3 bench/one_row_fire.py 1e6 1
"""

import statistics
import sys
import time

import polars as pl

import quarn

RULES = """
rule "flag"
when
  $r : Reading($id : id, value > 100)
then
  insert(new Alert($id));
  delete($r);
end
"""


def main():
    args = sys.argv[1:]
    n = int(float(args[0])) if args else 1_000_000
    k = int(args[1]) if len(args) > 1 else 20
    readings = pl.DataFrame({"id": pl.int_range(0, n, eager=True), "value": pl.int_range(0, n, eager=True) % 100})
    session = quarn.Session(RULES, {"Reading": readings}, schemas={"Alert": {"id": "i64"}})
    t0 = time.perf_counter()
    first = session.fire()
    first_s = time.perf_counter() - t0
    assert first.fired == 0, first.fired
    times = []
    for i in range(k):
        handle = session.insert_row("Reading", {"id": n + i, "value": 1000})
        t0 = time.perf_counter()
        result = session.fire()
        times.append(time.perf_counter() - t0)
        assert result.fired == 1, result.fired
        assert result.deleted_handles() == [handle], result.deleted_handles()
        assert len(result.derived()["Alert"]) == 1
    print(f"N {n:,}  first fire {first_s:.3f} s  one-row fire over {k}: median {1e3 * statistics.median(times):.2f} ms"
          f"  min {1e3 * min(times):.2f} ms  max {1e3 * max(times):.2f} ms", flush=True)


if __name__ == "__main__":
    main()
