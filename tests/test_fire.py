"""Firing: result tables read by pyarrow and polars, the audit table and its
JSON texts, the observer, the changes between fires, and the module surface."""

import decimal
import gc
import json
import random
import threading

import polars as pl
import pyarrow as pa
import pytest
import quarn
import quarn._native as native

D = decimal.Decimal
SEEN = "rule seen when $v : V() then end"
V_SCHEMA = {"V": {"i": "i64", "f": "f64?", "s": "String?", "b": "bool", "d": "decimal(10,2)?"}}


def refusal(exc, fn, *args, **kwargs):
    with pytest.raises(exc) as e:
        fn(*args, **kwargs)
    return str(e.value)


def audit(result):
    return pa.table(result.firings()).to_pylist()


def fired_v(**columns):
    """One V fact per row, each matched once; the audit rows in firing order."""
    n = len(next(iter(columns.values())))
    full = {"i": list(range(n)), "f": [None] * n, "s": [None] * n, "b": [True] * n, "d": [None] * n}
    full.update(columns)
    return quarn.run(SEEN, {"V": full}, schemas=V_SCHEMA)


def test_fact_tables_keep_declared_types_nullability_and_handles():
    r = fired_v(i=[7, -1], f=[1.5, float("nan")], s=["x", None], b=[True, False], d=[D("1.25"), None])
    t = pa.table(r.facts()["V"])
    assert [(f.name, str(f.type), f.nullable) for f in t.schema] == [
        ("_handle", "int64", False), ("i", "int64", False), ("f", "double", True), ("s", "string", True),
        ("b", "bool", False), ("d", "decimal128(10, 2)", True)]
    assert t.to_pydict() == {"_handle": [0, 1], "i": [7, -1], "f": [1.5, None], "s": ["x", None], "b": [True, False],
                             "d": [D("1.25"), None]}
    # Validity bitmaps only where a null is; decimals keep their unscaled integer.
    batch = t.to_batches()[0]
    assert [col.buffers()[0] is None for col in batch.columns] == [True, True, False, False, True, False]
    assert int.from_bytes(batch.column(5).buffers()[1].to_pybytes()[:16], "little", signed=True) == 125
    df = pl.DataFrame(r.facts()["V"])
    assert df.schema == {"_handle": pl.Int64, "i": pl.Int64, "f": pl.Float64, "s": pl.String, "b": pl.Boolean,
                         "d": pl.Decimal(10, 2)}
    assert df.rows() == [(0, 7, 1.5, "x", True, D("1.25")), (1, -1, None, None, False, None)]
    assert (len(r.derived()["V"]), r.deleted_handles(), r.fired) == (0, [], 2)


@pytest.mark.parametrize("value, text", [
    (1.0, "1.0"), (0.1, "0.1"), (1e16, "1e+16"), (1e-7, "1e-7"), (float("nan"), "null"), (float("inf"), "null"),
    (-0.0, "-0.0"), (0.0, "0.0"), (1e15, "1000000000000000.0"), (1e-5, "0.00001"), (0.00123, "0.00123"),
    (12.5, "12.5"), (1.5e-7, "1.5e-7"), (1e-6, "1e-6"), (2.5e300, "2.5e+300"), (-123456.789, "-123456.789"),
    (5e-324, "5e-324"), (1.7976931348623157e308, "1.7976931348623157e+308"), (123456789012345.6, "123456789012345.6"),
])
def test_values_json_floats(value, text):
    r = quarn.run(SEEN, {"V": {"x": [value]}}, schemas={"V": {"x": "f64"}})
    assert audit(r)[0]["values_json"] == '{"x":%s}' % text


def test_values_json_keys_escapes_and_decimals():
    r = quarn.run(SEEN, {"V": {"b": [1], "a": ['q"\\\n\t\b\f\r\x01\x1f\x7f é€'], "n": [D("-0.0500")], "z": [None],
                               "c": [D("12345")]}},
                  schemas={"V": {"b": "i64", "a": "String", "n": "decimal(12,4)?", "z": "bool?", "c": "decimal(5,0)"}})
    assert audit(r) == [{"seq": 0, "rule": "seen", "pos": 0, "type": "V", "handle": 0, "values_json":
                         '{"a":"q\\"\\\\\\n\\t\\b\\f\\r\\u0001\\u001f\x7f é€","b":1,"c":"12345","n":"-0.0500",'
                         '"z":null}'}]


def test_audit_rows_follow_firings_and_matched_facts():
    rules = """
    rule pair salience 3 when $a : A($k : k) $b : B(k == $k) then end
    rule empty salience 2 when not C() then end
    rule one salience 1 when $b : B() then $b.setK(9); end
    """
    r = quarn.run(rules, {"A": {"k": [4]}, "B": {"k": [4]}}, schemas={"C": {"k": "i64"}})
    t = pa.table(r.firings())
    assert [(f.name, str(f.type), f.nullable) for f in t.schema] == [
        ("seq", "int64", False), ("rule", "string", False), ("pos", "int64", False), ("type", "string", False),
        ("handle", "int64", False), ("values_json", "string", False)]
    # A not-only rule matches the InitialFact; values are those after the RHS ran.
    assert [tuple(row.values()) for row in t.to_pylist()] == [
        (0, "pair", 0, "A", 1, '{"k":4}'), (0, "pair", 1, "B", 2, '{"k":4}'), (1, "empty", 0, "InitialFact", 0, "{}"),
        (2, "one", 0, "B", 2, '{"k":9}')]
    assert repr(r) == "quarn.Result(fired=3, derived_types=3, deleted=0)"
    assert repr(r.firings()) == "quarn.Table(4 rows x 5 cols)"
    assert [repr(r.facts()[k]) for k in ("A", "B", "C")] == [
        "quarn.Table(1 rows x 1 cols)", "quarn.Table(1 rows x 1 cols)", "quarn.Table(0 rows x 1 cols)"]


def test_observer_order_matches_and_exceptions():
    rules = """
    rule first salience 2 when $a : A() then end
    rule second salience 1 when $a : A() $b : B() then end
    rule lonely when not C() then end
    """
    calls = []
    s = quarn.Session(rules, {"A": {"k": [1, 2]}, "B": {"k": [3]}}, schemas={"C": {"k": "i64"}})
    r = s.fire(on_fire=lambda rule, matches: calls.append((rule, matches)))
    assert calls == [("first", [("A", 2)]), ("first", [("A", 1)]), ("second", [("A", 2), ("B", 3)]),
                     ("second", [("A", 1), ("B", 3)]), ("lonely", [("InitialFact", 0)])]
    assert r.fired == 5

    class Stop(Exception):
        pass

    def observer(rule, matches):
        calls.append(rule)
        if len(calls) == 3:
            raise Stop("third")

    calls.clear()
    s = quarn.Session(rules, {"A": {"k": [1, 2]}, "B": {"k": [3]}}, schemas={"C": {"k": "i64"}})
    with pytest.raises(Stop, match="third"):
        s.fire(on_fire=observer)
    assert calls == ["first", "first", "second"]
    assert s.fire(on_fire=42).fired == 0  # not callable, never called: nothing fires
    s.insert_row("A", {"k": 5})
    assert "not callable" in refusal(TypeError, s.fire, on_fire=42)


def test_multi_fire_deltas_and_changes_between_fires():
    rules = """
    rule flag when $o : Order(total > 100) then insert(new Flag($o.getId())); end
    rule drop when $o : Order(total < 0) then delete($o); end
    """
    schemas = {"Order": {"id": "i64", "total": "decimal(10,2)", "note": "String?"}, "Flag": {"id": "i64"}}
    s = quarn.Session(rules, schemas=schemas)
    assert s.insert("Order", {"id": [1, 2], "total": [D("150.00"), D("5.00")], "note": ["a", None]}) == [0, 1]
    r1 = s.fire()
    assert (r1.fired, pl.DataFrame(r1.derived()["Flag"]).rows()) == (1, [(2, 1)])
    s.update(1, total=D("-1"), note="gone")
    s.update(handle=0, note=None)
    r2 = s.fire()
    assert (r2.fired, r2.deleted_handles(), len(r2.derived()["Flag"])) == (1, [1], 0)
    assert pl.DataFrame(r2.facts()["Order"]).rows() == [(0, 1, D("150.00"), None)]
    r3 = s.fire()
    assert (r3.fired, pa.table(r3.facts()["Flag"]).equals(pa.table(r2.facts()["Flag"]))) == (0, True)
    s.delete(0)
    s.delete(0)  # a dead handle: nothing happens
    r = s.fire()  # deleted before the fire began: not this fire's deletion
    assert (r.deleted_handles(), len(r.facts()["Order"])) == ([], 0)
    s.reset()
    assert s.insert_row("Order", {"id": 9, "total": "101", "note": None}) == 0
    r4 = s.fire()
    assert pl.DataFrame(r4.facts()["Flag"]).rows() == [(1, 9)]
    # Earlier results stay as they were.
    assert pl.DataFrame(r1.facts()["Order"]).rows() == [(0, 1, D("150.00"), "a"), (1, 2, D("5.00"), None)]
    assert r1.facts() is not r1.facts() and r1.facts().keys() == r1.facts().keys()
    del s
    gc.collect()
    assert len(r4.facts()["Order"]) == 1


def test_change_refusals():
    s = quarn.Session(SEEN, schemas={"V": {"price": "decimal(10,2)", "note": "String"}})
    h = s.insert_row("V", {"price": "1", "note": "x"})
    cases = [
        (lambda: s.update(h), ValueError, "update: no fields given"),
        (lambda: s.update(h, price=1.5), TypeError,
         "update.price: floats never ingest into decimals — pass decimal.Decimal or str (D-098)"),
        (lambda: s.update(h, note=None), ValueError, "update.note: None is outside the certified subset for a "
         "non-nullable field — declare it Optional[...] to opt in (D-097)"),
        (lambda: s.update(h, other=1), ValueError, "engine error: V: no field other"),
        (lambda: s.update(7, note="y"), ValueError, "engine error: unknown handle 7"),
        (lambda: s.update(-1, note="y"), ValueError, "engine error: unknown handle -1"),
        (lambda: s.delete(2**32), ValueError, "engine error: unknown handle 4294967296"),
        (lambda: s.update("x", note="y"), TypeError, "argument 'handle': 'str' object cannot be interpreted as an integer"),
        (lambda: s.update(2**63, note="y"), OverflowError, "argument 'handle': int too big to convert"),
        (lambda: s.advance(1.0), TypeError, "argument 'ms': 'float' object cannot be interpreted as an integer"),
        (lambda: s.advance(-1), ValueError, "engine error: advance must be >= 0"),
        (lambda: s.fire(-1), OverflowError, "argument 'fire_limit': can't convert negative int to unsigned"),
        (lambda: s.fire(2**64), OverflowError, "argument 'fire_limit': int too big to convert"),
        (lambda: s.fire("1"), TypeError, "argument 'fire_limit': 'str' object cannot be interpreted as an integer"),
        (lambda: s.fire(0), RuntimeError, "engine error: fire limit 0 reached (non-terminating?)"),
    ]
    assert [(type(e), str(e)) for e in (_raised(f) for f, _, _ in cases)] == [(c, t) for _, c, t in cases]
    s.update(h, price="2.5", note="y")
    assert pl.DataFrame(s.fire().facts()["V"]).rows() == [(0, D("2.50"), "y")]
    empty = quarn.Session("")
    assert [str(_raised(f)) for f in (lambda: empty.update(0, a=1), lambda: empty.delete(0), empty.reset)] == [
        "session has no declared types"] * 3
    assert (empty.advance(0), empty.reset()) == (None, None)
    r = quarn.Session("").fire()
    assert (r.facts(), r.derived(), r.fired, audit(r)) == ({}, {}, 0, [])


def test_the_engines_own_facts_refuse_changes_from_outside():
    # The InitialFact, an accumulate result, a collection and a groupby row
    # reach the observer and the audit with their handles; changing one from
    # outside would leave the rule that made it answering wrongly for good.
    rules = """
    rule lonely when not P(a == 5) then end
    rule total when Q($k : k) accumulate(P(a == $k); $n : count()) then end
    rule all when Q() $l : List() from collect(P()) then end
    rule groups when groupby(P($a : a); $a; $n : count()) then end
    """
    s = quarn.Session(rules, {"P": {"a": [1]}, "Q": {"k": [1]}})
    seen = []
    r = s.fire(on_fire=lambda rule, matches: seen.append((rule, matches[-1])))
    own = dict(seen)
    assert own == {"lonely": ("InitialFact", 0), "total": ("Long", 3), "all": ("Collection", 4),
                   "groups": ("__gbrow$groups$1", 5)}
    assert {(row["type"], row["handle"]) for row in audit(r) if row["type"] not in ("P", "Q")} == set(own.values())
    for type_name, handle in own.values():
        assert refusal(ValueError, s.delete, handle) == (
            f"engine error: delete of the engine's own fact {handle} ({type_name})")
        assert refusal(ValueError, s.update, handle, value=9) == (
            f"engine error: update of the engine's own fact {handle} ({type_name})")
    # Nothing changed: the rules still answer as the facts say.
    assert s.fire().fired == 0
    assert s.insert_row("P", {"a": 5}) == 6
    seen.clear()
    s.fire(on_fire=lambda rule, matches: seen.append(rule))
    assert seen == ["all", "groups"]
    s.delete(6)
    seen.clear()
    s.fire(on_fire=lambda rule, matches: seen.append(rule))
    assert seen == ["lonely", "all"]


def _raised(fn):
    try:
        fn()
    except Exception as e:  # noqa: BLE001 - the table compares the class
        return e
    raise AssertionError("no exception")


def test_lock_released_and_session_held_during_fire():
    # Another thread runs while a fire is under way and finds the session
    # held. A fire can end before that thread is scheduled at all (a short
    # one on a busy machine), so a few fires are tried; one that kept the
    # interpreter lock would never let it in.
    for _ in range(20):
        s = quarn.Session(SEEN, {"V": {"i": list(range(30000))}})
        borrowed, fired, ticks = [], [], 0
        t = threading.Thread(target=lambda: fired.append(s.fire().fired))
        t.start()
        while t.is_alive():
            ticks += 1
            try:
                s.advance(0)
            except RuntimeError as e:
                borrowed.append(str(e))
        t.join()
        assert fired == [30000] and set(borrowed) <= {"Already borrowed"}
        if borrowed:
            break
    assert borrowed and ticks > 1
    inner = []

    def observer(rule, matches):
        try:
            s.insert_row("V", {"i": 1})
        except RuntimeError as e:
            inner.append(str(e))

    s.insert_row("V", {"i": 1})
    s.fire(on_fire=observer)
    assert inner == ["Already borrowed"]


def test_tables_export_zero_copy_streams():
    r = fired_v(i=[1, 2, 3])
    t = r.facts()["V"]
    a, b = pa.table(t), pa.table(t)
    assert a.equals(b) and a.column("i").chunks[0].buffers()[1].address == b.column("i").chunks[0].buffers()[1].address
    other = pa.schema([("zz", pa.string())])
    capsule = t.__arrow_c_stream__(other.__arrow_c_schema__())
    assert type(capsule).__name__ == "PyCapsule" and "arrow_array_stream" in repr(capsule)
    assert pa.RecordBatchReader._import_from_c_capsule(capsule).read_all().equals(a)
    del capsule, r, t  # an untaken stream is released by its capsule
    t2 = fired_v(i=[5]).facts()["V"]
    t2.__arrow_c_stream__()
    gc.collect()
    assert pl.DataFrame(a).get_column("i").to_list() == [1, 2, 3]


def test_many_sessions_keep_memory_flat():
    def rss_kb():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * 4

    def one():
        r = quarn.run(SEEN, {"V": {"i": [1, 2], "s": ["a", "b"]}})
        for t in list(r.facts().values()) + [r.firings()]:
            pa.table(t)
            t.__arrow_c_stream__()

    for _ in range(1000):
        one()
    gc.collect()
    start = rss_kb()
    for _ in range(10000):
        one()
    gc.collect()
    assert rss_kb() - start < 4096


DOCS = [
    (native.Session.update, "($self, handle, **fields)",
     "EXTERNAL update by handle (D-047): set the given fields and\npropagate with the changed-fields property mask. "
     "Handles come\nfrom result tables' `_handle` column. Composes with other\nexternal actions in SESSION-ACTION "
     "ORDER (certified)."),
    (native.Session.delete, "($self, handle)", "EXTERNAL delete by handle (D-047)."),
    (native.Session.advance, "($self, ms)", "CEP (D-101): advance the pseudo-clock by ms."),
    (native.Session.reset, "($self)", "D-104: in-place session reset for paged batches — clears WM,\nagenda, TMS, "
     "clock and handle numbering; keeps rules/queries."),
    (native.Session.fire, "($self, fire_limit=100000, on_fire=None)",
     "Run the rules to quiescence and return THIS fire's delta.\nSessions are multi-fire (D-046): insert more facts "
     "afterwards and\nfire again. `on_fire(rule, matches)` is an OBSERVER invoked per\nfiring after the run "
     "completes, in firing order; matches is a\nlist of (type, handle) pairs. The run itself releases the GIL."),
    (native.Session.insert, "($self, type_name, data)", "Insert more rows: an Arrow table or a dict of column lists.\n"
     "Returns the new facts' HANDLES (insertion order). The type must\nalready be known to the session."),
    (native.Result.facts, "($self)", "Final working memory, one Arrow table per fact type."),
    (native.Result.derived, "($self)", "Facts derived (inserted) by rule firings, per type — the WM delta."),
    (native.Result.firings, "($self)", "Long-format firing audit: (seq, rule, pos, type, handle,\nvalues_json) — "
     "values as rendered at fire time (post-RHS)."),
    (native.Result.deleted_handles, "($self)", "Handles of Python-inserted facts the run deleted."),
    (native.Table.__arrow_c_stream__, "($self, _requested_schema=None)", None),
    (native.run, "(rules, facts, fire_limit=100000, on_fire=None, schemas=None, events=None)",
     "One-call convenience: build a session from tables, fire, return the\nresult. `quarn.run(rules, {\"P\": df})`."),
]


def test_signatures_and_docstrings():
    assert [(f.__text_signature__, f.__doc__) for f, _, _ in DOCS] == [(sig, doc) for _, sig, doc in DOCS]
    assert native.Table.__doc__ == ("A one-batch Arrow table exposed via the PyCapsule stream interface —\n"
                                    "`polars.DataFrame(t)` / `pyarrow.table(t)` import it zero-copy.")
    assert (native.Result.fired.__doc__, native.Result.__doc__) == (None, "")


def test_values_json_of_many_types_in_one_fire():
    # Texts rendered while firing, type after type: each keeps its own keys,
    # null cells, and the values a setter left at that firing.
    rules = """
    rule pq salience 2 when $p : P($k : k) $q : Q(id == $k) then end
    rule bump salience 1 when $q : Q(id == 2, a < 10.0) then $q.setA(12.25); end
    """
    r = quarn.run(rules, {"P": {"k": [1, 2], "z": ["x", None]}, "Q": {"id": [1, 2], "a": [1.5, 2.0]}},
                  schemas={"P": {"k": "i64", "z": "String?"}, "Q": {"id": "i64", "a": "f64"}})
    assert [(row["seq"], row["rule"], row["type"], row["handle"], row["values_json"]) for row in audit(r)] == [
        (0, "pq", "P", 1, '{"k":2,"z":null}'), (0, "pq", "Q", 3, '{"a":2.0,"id":2}'),
        (1, "pq", "P", 0, '{"k":1,"z":"x"}'), (1, "pq", "Q", 2, '{"a":1.5,"id":1}'),
        (2, "bump", "Q", 3, '{"a":12.25,"id":2}')]


def test_rendering_of_members_and_refused_cells():
    import quarn_probe as probe

    member = ("P", {"s": 'x"', "a": 1}, None)
    assert probe.fact_json(("C", {"value": 5, "n": D("1.50")}, [member, None])) == \
        '{"n":"1.50","value":["{\\"a\\":1,\\"s\\":\\"x\\\\\\"\\"}",null]}'
    assert probe.fact_json(("C", {}, [])) == '{"value":[]}'
    cases = [
        ({"x": "i64"}, [("T", {"x": 1.5}, None)], "x: column type drift"),
        ({"x": "f64"}, [("T", {"x": 1}, None)], "x: column type drift"),
        ({"x": "bool", "d": "decimal(38,2)"}, [("T", {"x": True, "d": D("1" + "0" * 37)}, None)],
         "d: decimal rescale overflow"),
        ({"x": "i64", "y": "String"}, [("T", {"x": 1}, None)], "y: fact 0 carries no value for this field"),
        ({"x": "i64"}, [], 0),
        ({"d": "decimal(5,2)"}, [("T", {"d": D("1.005")}, None)] * 2, 2),
    ]
    assert [probe.batch("T", spec, views) for spec, views, _ in cases] == [want for _, _, want in cases]


def _json_float(v):
    """values_json's text of a double, from Python's shortest repr."""
    if v != v or v in (float("inf"), float("-inf")):
        return "null"
    sign = "-" if str(v).startswith("-") else ""
    if v == 0:
        return sign + "0.0"
    _, digits, exp = D(repr(abs(v))).as_tuple()
    digits = "".join(map(str, digits)).rstrip("0") or "0"
    e = exp + len("".join(map(str, D(repr(abs(v))).as_tuple()[1]))) - 1
    if -5 <= e <= 15:
        if e < 0:
            return sign + "0." + "0" * (-e - 1) + digits
        if len(digits) <= e + 1:
            return sign + digits + "0" * (e + 1 - len(digits)) + ".0"
        return sign + digits[:e + 1] + "." + digits[e + 1:]
    mantissa = digits[0] + ("." + digits[1:] if len(digits) > 1 else "")
    return sign + mantissa + ("e+" if e >= 0 else "e-") + str(abs(e))


def _json_row(row):
    def text(s):
        return json.dumps(s, ensure_ascii=False)

    cells = {"i": str(row["i"]), "f": "null" if row["f"] is None else _json_float(row["f"]),
             "s": "null" if row["s"] is None else text(row["s"]), "b": "true" if row["b"] else "false",
             "d": "null" if row["d"] is None else text(str(row["d"]))}
    return "{" + ",".join(f'"{k}":{cells[k]}' for k in sorted(cells)) + "}"


def test_audit_read_late_shows_each_firing_as_it_was():
    # The audit keeps every firing's cells and renders them when read: after
    # later fires changed the facts, after the session is gone, and twice.
    rng = random.Random(30)
    floats = [0.0, -0.0, 1e16, 1e-7, 5e-324, float("nan"), float("-inf"), 1.7976931348623157e308, 123456.789]
    texts = ["", "x", 'q"\\\n\t\x01\x1f\x7f é€', "long " * 40]

    def draw(i):
        return {"i": rng.choice([i, -(2 ** 63), 2 ** 63 - 1, rng.randrange(-10 ** 12, 10 ** 12)]),
                "f": rng.choice(floats + [None, rng.uniform(-1e6, 1e6), rng.random() * 10 ** rng.randrange(-30, 30)]),
                "s": rng.choice(texts + [None, "".join(chr(rng.randrange(1, 0x3000)) for _ in range(5))]),
                "b": rng.random() < 0.5,
                "d": rng.choice([None, D(rng.randrange(-10 ** 11, 10 ** 11)).scaleb(-3), D("0.000"), D("-0.001")])}

    schemas = {"V": {"i": "i64", "f": "f64?", "s": "String?", "b": "bool", "d": "decimal(12,3)?"},
               "W": {"k": "i64"}}
    # Each V fires once per fire with the W beside it, and the setter leaves
    # W holding the V's i at that firing only.
    rules = "rule seen no-loop when $v : V($i : i) $w : W() then modify($w) { setK($i) } end"
    first = [draw(i) for i in range(60)]
    s = quarn.Session(rules, {"V": {k: [r[k] for r in first] for k in first[0]}, "W": {"k": [0]}}, schemas=schemas)
    r1 = s.fire()
    second = [draw(i) for i in range(60)]
    for h, row in enumerate(second):
        s.update(h, **row)
    r2 = s.fire()
    s.delete(0)
    del s
    gc.collect()

    for result, rows in ((r2, second), (r1, first)):
        audit_rows = audit(result)
        assert audit(result) == audit_rows
        assert result.fired == 60 and len(audit_rows) == 120
        for v, w in zip(audit_rows[::2], audit_rows[1::2]):
            assert (v["seq"], v["type"], w["type"], w["handle"]) == (w["seq"], "V", "W", 60)
            assert v["values_json"] == _json_row(rows[v["handle"]])
            assert w["values_json"] == '{"k":%d}' % rows[v["handle"]]["i"]
        assert sorted(v["handle"] for v in audit_rows[::2]) == list(range(60))


def test_fact_tables_read_late_show_each_fire_as_it_ended():
    # Fact tables of plain columns are made when first read; whatever the
    # session does in between (updates, inserts, deletes, the clock, a reset,
    # later fires, going away), a late read gives what a read right after the
    # fire gave. The decimal type takes the other road (made at the fire).
    rules = """
    rule mark when $p : P(b == true, $k : k) then insert(new Q($k, "q")); modify($p) { setB(false) } end
    rule gone when $p : P(k < 0) then delete($p); end
    rule cost when $c : C(amount > 10) then delete($c); end
    """
    schemas = {"P": {"k": "i64", "f": "f64?", "b": "bool", "s": "String?"}, "Q": {"k": "i64", "tag": "String"},
               "C": {"amount": "decimal(8,2)"}}
    start = {"P": {"k": [1, 2, -3, 4], "f": [0.5, None, 2.0, -1.0], "b": [True, False, True, True],
                   "s": ["a", None, "c", "d"]},
             "C": {"amount": [D("5.00"), D("11.50")]}}

    def tables(result, derived_first):
        reads = [("derived", result.derived), ("facts", result.facts)]
        out = {}
        for name, read in (reads if derived_first else reads[::-1]):
            out[name] = {t: pa.table(v).to_pydict() for t, v in read().items()}
        return out

    def scenario(read_now):
        s = quarn.Session(rules, start, schemas=schemas)
        results, read = [], []

        def fire():
            r = s.fire()
            results.append(r)
            if read_now:
                read.append(tables(r, derived_first=False))

        fire()
        s.update(1, b=True, s="now")
        s.insert("P", {"k": [7, -8], "f": [None, 3.5], "b": [True, False], "s": [None, "x"]})
        fire()
        s.delete(0)
        s.insert_row("C", {"amount": D("99.99")})
        s.advance(5)
        fire()
        s.reset()
        s.insert_row("P", {"k": 5, "f": None, "b": True, "s": "r"})
        fire()
        del s
        gc.collect()
        if not read_now:
            read = [tables(r, derived_first=i % 2 == 0) for i, r in enumerate(results)]
        return read, [r.fired for r in results]

    now, late = scenario(True), scenario(False)
    assert late == now
    first = now[0][0]
    assert first["facts"]["P"] == {"_handle": [0, 1, 3], "k": [1, 2, 4], "f": [0.5, None, -1.0],
                                   "b": [False, False, False], "s": ["a", None, "d"]}
    assert first["derived"]["Q"]["k"] == first["facts"]["Q"]["k"] and sorted(first["facts"]["Q"]["k"]) == [-3, 1, 4]
    assert (first["facts"]["C"]["_handle"], now[0][3]["facts"]["P"]["b"], now[1]) == ([4], [False], [5, 3, 1, 1])


def test_fact_tables_of_a_result_outliving_its_session_read_in_any_order():
    # A result whose session went first keeps what its tables need; reading
    # one kind, then the other, then again gives the same tables as a result
    # read at once, through run and through a session.
    rules = "rule d when $p : P($k : k) then insert(new Q($k)); end"
    facts = {"P": {"k": list(range(50))}}
    schemas = {"Q": {"k": "i64"}}
    at_once = quarn.run(rules, facts, schemas=schemas)
    expected = (pl.DataFrame(at_once.facts()["P"]).rows(), pl.DataFrame(at_once.derived()["Q"]).rows())
    for derived_first in (True, False):
        s = quarn.Session(rules, facts, schemas=schemas)
        r = s.fire()
        del s
        gc.collect()
        if derived_first:
            q = pl.DataFrame(r.derived()["Q"]).rows()
            p = pl.DataFrame(r.facts()["P"]).rows()
        else:
            p = pl.DataFrame(r.facts()["P"]).rows()
            q = pl.DataFrame(r.derived()["Q"]).rows()
        assert (p, q) == expected
        assert (p, q) == (pl.DataFrame(r.facts()["P"]).rows(), pl.DataFrame(r.derived()["Q"]).rows())
        assert len(r.facts()["Q"]) == 50 and len(r.derived()["P"]) == 0
    assert sorted(row[1] for row in expected[1]) == list(range(50))


def test_tables_taken_before_changes_keep_their_integer_and_float_columns():
    # Integer and float columns of facts in consecutive rows are handed out
    # without a copy; an array a consumer holds still reads the fire's values
    # after updates of those very cells, inserts, a later fire's modifies and
    # inserts, a reset and the session's end. The second fire's derived table
    # starts mid-column.
    rules = "rule q when $p : P(k > 0, $k : k, $w : w) then insert(new Q($k, $w)); modify($p) { setK(0) } end"
    schemas = {"P": {"k": "i64", "w": "f64"}, "Q": {"k": "i64", "w": "f64"}}
    s = quarn.Session(rules, {"P": {"k": [1, 2, 3], "w": [0.5, 1.5, 2.5]}}, schemas=schemas)
    r1 = s.fire()
    p1, q1 = pa.table(r1.facts()["P"]), pl.DataFrame(r1.derived()["Q"])
    s.update(0, k=7, w=-1.0)
    s.update(4, k=99, w=9.5)
    s.insert("P", {"k": [4, 5], "w": [4.5, 5.5]})
    r2 = s.fire()
    q2 = pa.table(r2.derived()["Q"])
    q_all = pl.DataFrame(r2.facts()["Q"])
    s.update(6, k=0, w=0.0)
    s.reset()
    s.insert("Q", {"k": [-1], "w": [-1.5]})
    del s, r1, r2
    gc.collect()
    assert p1.to_pydict() == {"_handle": [0, 1, 2], "k": [0, 0, 0], "w": [0.5, 1.5, 2.5]}
    assert q1["_handle"].to_list() == [3, 4, 5] and sorted(q1.rows()[k][1:] for k in range(3)) == [
        (1, 0.5), (2, 1.5), (3, 2.5)]
    assert q2.column("_handle").to_pylist() == [8, 9, 10]
    assert sorted(zip(q2["k"].to_pylist(), q2["w"].to_pylist())) == [(4, 4.5), (5, 5.5), (7, -1.0)]
    assert sorted(q_all.rows()) == sorted([q1.row(0), (4, 99, 9.5), q1.row(2)] + list(zip(*q2.to_pydict().values())))


def test_audit_keeps_integers_on_every_packing_boundary():
    # Captured cells are kept packed, 7 bits a byte; integers on each side of
    # every byte boundary, both signs, and decimals of both signs and large
    # magnitude come back as they were.
    ints = sorted({s * v for b in range(0, 64, 7) for v in (2 ** b - 1, 2 ** b, 2 ** b + 1) if v < 2 ** 63
                   for s in (1, -1)} | {-(2 ** 63), 2 ** 63 - 1})
    decs = [None, D("0.00"), D("-0.01"), D("99999999.99"), D("-99999999.99"), D("1.28"), D("-1.28")]
    n = len(ints)
    r = fired_v(i=ints, d=[decs[k % len(decs)] for k in range(n)], s=[None if k % 3 else "t" * k for k in range(n)])
    rows = {row["handle"]: row["values_json"] for row in audit(r)}
    assert len(rows) == n
    for h, i in enumerate(ints):
        d = decs[h % len(decs)]
        expected = {"b": "true", "d": "null" if d is None else json.dumps(str(d)), "f": "null", "i": str(i),
                    "s": "null" if h % 3 else json.dumps("t" * h)}
        assert rows[h] == "{" + ",".join(f'"{k}":{v}' for k, v in sorted(expected.items())) + "}", h


def test_audit_stays_exact_across_rule_shapes_and_many_firings():
    # The audit packs each firing as steps from the previous firing of the
    # same rule and fact types: rules of three shapes fire in turn (one with
    # two facts of one type, one with a collection between plain facts),
    # values and handles jump both ways by up to the whole 64-bit range, and
    # the firings fill several chunks of packed bytes.
    rng = random.Random(11)
    n = 10_000
    v = [rng.choice([rng.randrange(-2 ** 63, 2 ** 63), rng.randrange(-3, 3), -2 ** 63, 2 ** 63 - 1]) for _ in range(n)]
    k = [rng.randrange(n // 2) for _ in range(n)]
    rules = """
    rule one when A() then end
    rule two when A($k : k) A(k == $k) then end
    rule held when A($k : k, v > 0) accumulate(A(k == $k, $w : v); $l : collectList($w)) B() then end
    rule either when (A(v < 0) or B()) then end
    """
    fired = []
    r = quarn.run(rules, {"A": {"k": k, "v": v}, "B": {"x": [1]}},
                  schemas={"A": {"k": "i64", "v": "i64"}, "B": {"x": "i64"}},
                  on_fire=lambda rule, matches: fired.append((rule, matches)))
    rows = audit(r)
    assert r.fired == len(fired) and len(rows) == sum(len(m) for _, m in fired)
    shown = lambda h: '{"k":%d,"v":%d}' % (k[h], v[h])
    groups = {}
    for h in range(n):
        groups.setdefault(k[h], []).append(v[h])
    at = 0
    for seq, (rule, matches) in enumerate(fired):
        mine = rows[at:at + len(matches)]
        at += len(matches)
        assert [(x["seq"], x["rule"], x["pos"], x["type"], x["handle"]) for x in mine] == [
            (seq, rule, p, t, h) for p, (t, h) in enumerate(matches)]
        for x in mine:
            if x["type"] == "A":
                assert x["values_json"] == shown(x["handle"])
            elif x["type"] == "B":
                assert x["values_json"] == '{"x":1}'
            else:
                group = sorted(json.loads(m)["value"] for m in json.loads(x["values_json"])["value"])
                assert group == sorted(groups[k[mine[0]["handle"]]])
    assert sorted(rule for rule, _ in fired) == sorted(
        ["one"] * n + ["two"] * sum(len(g) ** 2 for g in groups.values()) + ["held"] * sum(x > 0 for x in v)
        + ["either"] * (sum(x < 0 for x in v) + 1))


def _ipc_bytes(table):
    """The table as an Arrow IPC stream: equal bytes, equal tables, buffers included."""
    sink = pa.BufferOutputStream()
    t = pa.table(table)
    with pa.ipc.new_stream(sink, t.schema) as writer:
        writer.write_table(t)
    return sink.getvalue().to_pybytes()


def test_kept_results_read_byte_for_byte_what_a_read_at_once_gives():
    # Results kept while the session changes the very cells they show (twice
    # over), deletes their facts, lets events expire, fires, resets and goes:
    # each reads later the bytes a read right after its fire gave, whichever
    # table it reads first.
    rules = """
    rule mark when $p : P(b == true, $k : k) then insert(new Q($k, "q")); modify($p) { setB(false) } end
    rule gone when $p : P(k < 0) then delete($p); end
    rule seen when $e : E($k : k) then end
    """
    schemas = {"P": {"k": "i64", "f": "f64?", "b": "bool", "s": "String?"}, "Q": {"k": "i64", "tag": "String"},
               "E": {"ts": "i64", "k": "i64"}, "C": {"amount": "decimal(8,2)"}}
    n = 3000
    start = {"P": {"k": list(range(n)), "f": [None if k % 5 == 0 else k / 4 for k in range(n)],
                   "b": [k % 3 == 0 for k in range(n)], "s": [None if k % 7 == 0 else f"s{k}" for k in range(n)]},
             "E": {"ts": [k % 50 for k in range(100)], "k": list(range(100))},
             "C": {"amount": [D("1.25"), D("-7.50")]}}

    def read(result, derived_first):
        kinds = [("derived", result.derived), ("facts", result.facts)]
        return {name: {t: _ipc_bytes(v) for t, v in fn().items()} for name, fn in
                (kinds if derived_first else kinds[::-1])}

    def scenario(read_now):
        s = quarn.Session(rules, start, schemas=schemas, events={"E": ("ts", 60)})
        results, now = [], []

        def fire():
            results.append(s.fire())
            if read_now:
                now.append(read(results[-1], False))

        fire()
        for k in range(0, n, 97):
            s.update(k, f=-1.5, s="changed")
            s.update(k, f=None, s=None, k=k + 1)
        for k in range(1, n, 13):
            s.delete(k)
        s.insert("P", {"k": [-1, 5000], "f": [1.0, None], "b": [True, True], "s": ["x", None]})
        s.advance(100)
        fire()
        for k in range(2, n, 11):
            if (k - 1) % 13:
                s.update(k, b=True)
        s.insert_row("C", {"amount": D("3.00")})
        fire()
        s.reset()
        s.insert_row("P", {"k": 1, "f": None, "b": True, "s": "after"})
        fire()
        s.update(0, s="last")
        del s
        gc.collect()
        late = [read(r, i % 2 == 0) for i, r in enumerate(results)]
        return now, late

    now, _ = scenario(True)
    _, late = scenario(False)
    assert late == now
    assert [sorted(x["facts"]) for x in now] == [sorted(schemas)] * 4
    first = pa.ipc.open_stream(now[0]["facts"]["P"]).read_all()
    assert first.num_rows == n and first.column("s")[7].as_py() is None and first.column("b")[3].as_py() is False


def test_a_kept_result_holds_on_to_what_changes_touch_and_no_more():
    # A result still unread keeps, per later change, the cell it overwrote or
    # the fact it removed: one entry each, not the session's facts. Once its
    # tables are built it holds nothing, and the next fire lets the log go.
    import quarn_probe as probe

    s = quarn.Session(SEEN, {"V": {"i": list(range(20000))}})
    r = s.fire()
    assert probe.store(s)[0] == 0
    s.update(5, i=-5)
    s.update(5, i=-6)
    s.delete(6)
    s.insert_row("V", {"i": 1})
    s.update(20000, i=2)
    assert probe.store(s)[0] == 2
    rows = pl.DataFrame(r.facts()["V"])
    assert (rows.height, rows.row(5), rows.row(6)) == (20000, (5, 5), (6, 6))
    assert len(r.derived()["V"]) == 0
    s.fire()
    assert probe.store(s)[0] == 0


def test_results_read_while_their_session_fires_on_another_thread():
    # Reading a result builds its tables from the session's store, which a
    # fire on another thread changes meanwhile: the read waits for it and
    # shows the result's own fire.
    n = 20000
    s = quarn.Session(SEEN, {"V": {"i": list(range(n))}})
    s.fire()
    results = []
    for k in range(40):
        s.update(k, i=-k)
        results.append(s.fire())
    for h in range(0, n, 2):
        s.update(h, i=h + 1)
    t = threading.Thread(target=s.fire)
    t.start()
    tables = [pl.DataFrame(r.facts()["V"]) for r in results]
    t.join()
    for k, table in enumerate(tables):
        assert table["i"].to_list() == [-j if j <= k else j for j in range(n)], k


def test_deleted_facts_give_their_rows_back_and_the_rest_reads_the_same():
    # Deleting most of a large session: the rows of the dead go back while
    # the deletes go on, and what is left reads, joins and fires as before.
    import quarn_probe as probe

    rules = "rule pair when $a : A($k : k) $b : B(k == $k) then end"
    schemas = {"A": {"k": "i64", "s": "String"}, "B": {"k": "i64"}}
    n = 20000
    s = quarn.Session(rules, {"A": {"k": list(range(n)), "s": [f"a{k}" for k in range(n)]}, "B": {"k": [7, 40001]}},
                      schemas=schemas)
    assert s.fire().fired == 1
    for h in range(n):
        if h % 4:
            s.delete(h)
    # The join's memory holds the dead until a fire takes their deletes.
    _, dead, live = probe.store(s)
    assert live == n // 4 + 2 and dead == 3 * n // 4
    assert s.fire().fired == 0
    s.advance(0)
    _, dead, live = probe.store(s)
    assert live == n // 4 + 2 and dead <= 4096
    s.insert("B", {"k": [8, 12, 40000]})
    r = s.fire()
    assert r.fired == 2
    a = pl.DataFrame(r.facts()["A"])
    assert a["_handle"].to_list() == list(range(0, n, 4)) and a["s"].to_list() == [f"a{k}" for k in range(0, n, 4)]
    assert s.insert_row("A", {"k": 40000, "s": "new"}) == n + 5
    assert s.fire().fired == 1


def test_audit_of_states_walked_by_many_firings():
    # Facts of several field kinds walk up and down by turns, interleaved on
    # the agenda: each audit row shows its own fact's cells after that firing,
    # whatever the row before it in the same rule held (the same text, another
    # text, a null, another fact), and a joined fact that never changes shows
    # the same each time.
    rules = """
    rule up when $s : S(phase == "a", $n : n) $st : Step(from == $n, $to : to)
        then modify($s) { setPhase("bb"), setN($to) } end
    rule down when $s : S(phase == "bb") $t : T() then modify($s) { setPhase("a") } end
    """
    tags = ["x", None, "x", "yy", None, "", "x" * 20, "x" * 20, "q\"\n"]
    n0 = [0, 1, 2, 0, 3, 1, 0, 2, 0]
    xs = [0.5, -2.0, 1e300, 0.0, 12.25, 3.0, 7.5, 2.5e-8, 1.0]
    oks = [True, False] * 4 + [True]
    decs = [D("1.50"), None, D("-0.05"), D("1.50"), None, D("99.99"), D("0.00"), None, D("12.30")]
    flags = [None, True, False, None, None, True, True, False, None]
    schemas = {"S": {"n": "i64", "phase": "String", "tag": "String?", "x": "f64", "ok": "bool",
                     "d": "decimal(4,2)?", "flag": "bool?"}, "T": {"k": "i64", "t": "String"},
               "Step": {"from": "i64", "to": "i64"}}
    facts = {"S": {"n": n0, "phase": ["a"] * 9, "tag": tags, "x": xs, "ok": oks, "d": decs, "flag": flags},
             "T": {"k": [7], "t": ["t\\"]}, "Step": {"from": [0, 1, 2, 3], "to": [1, 2, 3, 4]}}
    r = quarn.run(rules, facts, schemas=schemas)

    def shown(h, n, phase):
        def j(v):
            return json.dumps(v, ensure_ascii=False, separators=(",", ":"))
        d = "null" if decs[h] is None else j(str(decs[h]))
        flag = "null" if flags[h] is None else j(flags[h])
        return (f'{{"d":{d},"flag":{flag},"n":{n},"ok":{j(oks[h])},"phase":{j(phase)},"tag":{j(tags[h])},'
                f'"x":{_json_float(xs[h])}}}')

    rows = audit(r)
    walked = {h: 0 for h in range(9)}  # firings of each S fact so far
    want = []
    seq = 0
    for row in rows:
        if row["pos"] != 0:
            continue
        h = row["handle"]
        k = walked[h]
        walked[h] += 1
        if k % 2 == 0:
            n = n0[h] + k // 2
            want.append((seq, "up", 0, "S", h, shown(h, n + 1, "bb")))
            want.append((seq, "up", 1, "Step", 10 + n, '{"from":%d,"to":%d}' % (n, n + 1)))
        else:
            want.append((seq, "down", 0, "S", h, shown(h, n0[h] + k // 2 + 1, "a")))
            want.append((seq, "down", 1, "T", 9, '{"k":7,"t":"t\\\\"}'))
        seq += 1
    assert [tuple(row.values()) for row in rows] == want
    assert walked == {h: 2 * (4 - n0[h]) for h in range(9)}
    assert r.fired == seq == sum(walked.values())


def test_audit_keeps_a_repeated_text_once():
    # A state field that takes two texts by turns over many firings: the
    # capture holds each text once, not once per firing.
    import quarn_probe as probe

    rules = """
    rule take when $c : Counter(phase == "take", $r : n > 0) $i : Item(id == $r, done == false)
        then modify($i) { setDone(true) } modify($c) { setPhase("advance") } end
    rule advance when $c : Counter(phase == "advance", $r : n) $i : Item(id == $r, done == true, $nx : next)
        then modify($c) { setPhase("take"), setN($nx) } end
    """
    n = 500
    order = random.Random(5).sample(range(1, n + 1), n)
    nxt = {a: b for a, b in zip(order, order[1:] + [0])}
    r = quarn.run(rules, {"Item": {"id": list(range(1, n + 1)), "next": [nxt[k] for k in range(1, n + 1)],
                                   "done": [False] * n},
                          "Counter": {"n": [order[0]], "phase": ["take"]}},
                  schemas={"Item": {"id": "i64", "next": "i64", "done": "bool"}, "Counter": {"n": "i64", "phase": "String"}})
    assert r.fired == 2 * n
    assert probe.audit_kept(r)[1] == len("advance") + len("take")
    rows = audit(r)
    assert probe.audit_kept(r) is None
    counters = [row["values_json"] for row in rows if row["type"] == "Counter"]
    want = []
    for a in order:
        want += ['{"n":%d,"phase":"advance"}' % a, '{"n":%d,"phase":"take"}' % nxt[a]]
    assert counters == want
