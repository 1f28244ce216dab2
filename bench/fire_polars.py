"""End to end from Python, with inputs as polars DataFrames:
  (a) a three-way equality join deriving one fact per match (N orders, N/10
      customers, N/100 products);
  (c) not and exists (N accounts, N transactions over half of them);
  (d) a counter chain: N counters at 0 and a chain of two steps (0 to 1, 1 to
      2); one rule joins a counter with the step leaving its value and moves
      it on by modify, so each counter fires twice: 2N firings of two facts;
  (e) truth maintenance: N Base facts, each supporting an L1 (insertLogical)
      that supports an L2; fire (the build), then delete every Base one call
      at a time and fire again (the retract). Its line reports the build's
      fire as match+fire, and the retract (deletes and fire) on a line "e-ret".
Reports apart: ingest (session construction with the frames), match+fire (the
fire call alone: propagating the ingested facts, matching, firing, and the
audit it renders today), export (the derived or final facts as polars
DataFrames); the total, the firings, the cost per input fact, the same answer
computed with polars in the same run (none for (d)) and the ratio, and the
process's peak RSS when quarn's part ended (after the export, before polars
computes its answer, whose frames would otherwise count as quarn's). For peak
memory per input fact, run one workload at one size per process.

    python3 bench/fire_polars.py [--workloads acde] [N ...]   (default: acd, 1e5 1e6)
"""

import resource
import sys
import time

import polars as pl

import quarn

JOIN_RULES = """
rule "match"
when
  $o : Order($id : id, $c : cust, $p : prod)
  Customer(id == $c)
  Product(id == $p)
then
  insert(new Match($id, $c, $p));
end
"""

NOT_EXISTS_RULES = """
rule "idle"
when
  Account($a : id)
  not Txn(acct == $a)
then
  insert(new Idle($a));
end

rule "active"
when
  Account($a : id)
  exists Txn(acct == $a)
then
  insert(new Active($a));
end
"""


COUNTER_RULES = """
rule "step"
when
  $c : Counter($v : value)
  Step(from == $v, $t : to)
then
  modify($c) { setValue($t) }
end
"""

TMS_RULES = """
rule "support" when $b : Base($i : id) then insertLogical(new L1($i)); end
rule "chain" when $l : L1($i : id) then insertLogical(new L2($i)); end
"""


def workload_a(n):
    ids = pl.int_range(0, n, eager=True)
    orders = pl.DataFrame({"id": ids, "cust": ids % max(n // 10, 1), "prod": ids % max(n // 100, 1)})
    customers = pl.DataFrame({"id": pl.int_range(0, max(n // 10, 1), eager=True)})
    products = pl.DataFrame({"id": pl.int_range(0, max(n // 100, 1), eager=True)})
    frames = {"Order": orders, "Customer": customers, "Product": products}
    schemas = {"Match": {"order": "i64", "cust": "i64", "prod": "i64"}}

    def with_polars():
        return (orders.join(customers, left_on="cust", right_on="id")
                .join(products, left_on="prod", right_on="id")
                .select(pl.col("id").alias("order"), "cust", "prod"))

    return JOIN_RULES, frames, schemas, {"Match": with_polars}


def workload_c(n):
    accounts = pl.DataFrame({"id": pl.int_range(0, n, eager=True)})
    txns = pl.DataFrame({"acct": pl.int_range(0, n, eager=True) % max(n // 2, 1)})
    frames = {"Account": accounts, "Txn": txns}
    schemas = {"Idle": {"acct": "i64"}, "Active": {"acct": "i64"}}
    return NOT_EXISTS_RULES, frames, schemas, {
        "Idle": lambda: accounts.join(txns, left_on="id", right_on="acct", how="anti"),
        "Active": lambda: accounts.join(txns, left_on="id", right_on="acct", how="semi"),
    }


def workload_d(n):
    counters = pl.DataFrame({"id": pl.int_range(0, n, eager=True), "value": pl.zeros(n, pl.Int64, eager=True)})
    steps = pl.DataFrame({"from": [0, 1], "to": [1, 2]})
    return COUNTER_RULES, {"Counter": counters, "Step": steps}, {}, {}


def workload_e(n):
    bases = pl.DataFrame({"id": pl.int_range(0, n, eager=True)})
    return TMS_RULES, {"Base": bases}, {"L1": {"id": "i64"}, "L2": {"id": "i64"}}, {}


# The answer each workload must give besides the polars comparison.
def check_d(n, result):
    assert result.fired == 2 * n, result.fired
    values = pl.DataFrame(result.facts()["Counter"])["value"]
    assert len(values) == n and (values == 2).all(), values.value_counts()


def check_e(n, result):
    assert result.fired == 2 * n, result.fired
    facts = result.facts()
    assert len(pl.DataFrame(facts["L1"])) == n and len(pl.DataFrame(facts["L2"])) == n


WORKLOADS = {"a": (workload_a, None), "c": (workload_c, None), "d": (workload_d, check_d), "e": (workload_e, check_e)}


# The retract of (e): every Base deleted through the API, then a fire that
# finds nothing left to fire and every logical fact gone.
def retract_e(n, session):
    t0 = time.perf_counter()
    for handle in range(n):  # the Base facts took the first handles
        session.delete(handle)
    t1 = time.perf_counter()
    result = session.fire(fire_limit=10 * n + 10)
    t2 = time.perf_counter()
    facts = result.facts()
    assert result.fired == 0 and all(len(pl.DataFrame(facts[k])) == 0 for k in ("Base", "L1", "L2"))
    rss_mb = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print(f"e-ret {n:>9,} delete {t1 - t0:9.3f} fire {t2 - t1:9.3f} total {t2 - t0:9.3f} "
          f"us/base {1e6 * (t2 - t0) / n:8.2f} {rss_mb:9.0f}", flush=True)


def run(name, n):
    build, check = WORKLOADS[name]
    rules, frames, schemas, answers = build(n)
    inputs = sum(len(f) for f in frames.values())
    t0 = time.perf_counter()
    session = quarn.Session(rules, frames, schemas=schemas)
    t1 = time.perf_counter()
    result = session.fire(fire_limit=10 * n + 10)
    t2 = time.perf_counter()
    if answers:
        derived = {k: pl.DataFrame(t) for k, t in result.derived().items() if k in answers}
    else:
        derived = {k: pl.DataFrame(t) for k, t in result.facts().items()}
    t3 = time.perf_counter()
    rss_mb = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    expected = {k: f() for k, f in answers.items()}
    t4 = time.perf_counter()
    for k, frame in expected.items():
        assert len(derived[k]) == len(frame), (k, len(derived[k]), len(frame))
    if check:
        check(n, result)
    total = t3 - t0
    theirs = f"{t4 - t3:9.4f} {total / (t4 - t3):9.1f}x" if answers else f"{'-':>9} {'-':>10}"
    print(f"{name:>3} {n:>9,} {t1 - t0:9.3f} {t2 - t1:10.3f} {t3 - t2:9.3f} {total:9.3f} {result.fired:>9,} "
          f"{1e6 * total / inputs:8.2f} {theirs} {rss_mb:9.0f}", flush=True)
    if name == "e":
        del result, derived
        retract_e(n, session)


def main():
    args = sys.argv[1:]
    workloads = "acd"
    if "--workloads" in args:
        at = args.index("--workloads")
        workloads = args[at + 1]
        del args[at:at + 2]
    sizes = [int(float(a)) for a in args] or [100_000, 1_000_000]
    print("workload         N    ingest match+fire    export     total     fired  us/fact    polars      ratio  "
          "peak MB")
    for n in sizes:
        for name in workloads:
            run(name, n)


if __name__ == "__main__":
    main()
