"""Ingest speed: a polars DataFrame of 1e6 rows and five columns (i64, f64,
utf8, bool, decimal) inserted into a session, next to the time polars itself
takes to copy the same frame (df.clone() plus to_arrow()), and the peak
memory the insert adds per row.

    python3 bench/ingest_polars.py [rows]
"""

import decimal
import resource
import sys
import time

import polars as pl

import quarn

ROWS = int(float(sys.argv[1])) if len(sys.argv) > 1 else 1_000_000
SCHEMA = {"P": {"id": "i64", "x": "f64", "name": "String", "flag": "bool", "amount": "decimal(12,2)"}}


def frame(rows):
    ids = pl.int_range(0, rows, eager=True)
    return pl.DataFrame(
        {
            "id": ids,
            "x": ids.cast(pl.Float64) * 0.5,
            "name": ("name-" + (ids % 1000).cast(pl.String)),
            "flag": (ids % 3) == 0,
            "amount": (ids.cast(pl.Decimal(12, 2)) / 4).cast(pl.Decimal(12, 2)),
        }
    )


def best_of(n, fn):
    times = []
    for _ in range(n):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times)


def peak_rss_bytes():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def main():
    df = frame(ROWS)
    assert df.height == ROWS
    quarn.Session("", schemas=SCHEMA).insert("P", df.head(1000))  # warm up the code paths
    base = peak_rss_bytes()
    times, cpu, peak = [], [], None
    for _ in range(3):
        session = quarn.Session("", schemas=SCHEMA)
        t0, c0 = time.perf_counter(), time.process_time()
        handles = session.insert("P", df)
        times.append(time.perf_counter() - t0)
        cpu.append(time.process_time() - c0)
        if peak is None:
            peak = peak_rss_bytes() - base
        assert len(handles) == ROWS and handles[-1] - handles[0] == ROWS - 1
        del handles, session
    insert_s, median_s = min(times), sorted(times)[1]

    copy_s = best_of(3, lambda: df.clone().to_arrow())
    print(f"rows: {ROWS}, columns: i64, f64, utf8, bool, decimal(12,2)")
    print(f"quarn insert: best {insert_s:.3f} s = {ROWS / insert_s / 1e6:.2f} M rows/s "
          f"(median of 3: {ROWS / median_s / 1e6:.2f} M rows/s)")
    # On a shared machine the CPU time is the steadier figure.
    print(f"quarn insert CPU time: best {min(cpu):.3f} s = {ROWS / min(cpu) / 1e6:.2f} M rows per CPU second")
    print(f"polars clone + to_arrow: {copy_s:.4f} s = {ROWS / copy_s / 1e6:.1f} M rows/s")
    print(f"peak memory added by the insert: {peak / ROWS:.0f} bytes/row")


if __name__ == "__main__":
    main()
