"""End to end from Python: workloads (a), a three-way equality join deriving
one fact per match (N orders, N/10 customers, N/100 products), and (c), not
and exists (N accounts, N transactions over half of them), with inputs as
polars DataFrames. Reports ingest (session construction with the frames),
fire, and result export (the derived facts as a polars DataFrame) apart, the
same answer computed with polars joins in the same run, and the ratio.

    python3 bench/fire_polars.py [N ...]      (default: 1e5 1e6)
"""

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


def run(name, n, build):
    rules, frames, schemas, answers = build(n)
    t0 = time.perf_counter()
    session = quarn.Session(rules, frames, schemas=schemas)
    t1 = time.perf_counter()
    result = session.fire(fire_limit=10 * n + 10)
    t2 = time.perf_counter()
    derived = {k: pl.DataFrame(t) for k, t in result.derived().items() if k in answers}
    t3 = time.perf_counter()
    expected = {k: f() for k, f in answers.items()}
    t4 = time.perf_counter()
    for k, frame in expected.items():
        assert len(derived[k]) == len(frame), (k, len(derived[k]), len(frame))
    total, theirs = t3 - t0, t4 - t3
    print(f"{name:>3} {n:>9,} {t1 - t0:9.3f} {t2 - t1:9.3f} {t3 - t2:9.3f} {total:9.3f} {result.fired:>9,} "
          f"{theirs:9.4f} {total / theirs:9.1f}x", flush=True)


def main():
    sizes = [int(float(a)) for a in sys.argv[1:]] or [100_000, 1_000_000]
    print("workload         N    ingest      fire    export     total     fired    polars     ratio")
    for n in sizes:
        run("a", n, workload_a)
        run("c", n, workload_c)


if __name__ == "__main__":
    main()
