"""Accumulate and groupby sessions: derived tables read with polars, result and
row facts kept out of the tables, collections in the audit's JSON and the
observer, and a sum that overflows failing the fire without changing state."""

import decimal
import json

import polars as pl
import pyarrow as pa
import pytest
import quarn

D = decimal.Decimal
SCHEMAS = {
    "Store": {"id": "i64"},
    "Sale": {"store": "i64", "amount": "decimal(10,2)", "qty": "i64", "tag": "String"},
    "Total": {"store": "i64", "sum": "decimal(38,2)", "n": "i64", "top": "i64"},
    "ByTag": {"tag": "String", "qty": "i64"},
}


def totals(result):
    return sorted(pl.DataFrame(result.facts()["Total"]).drop("_handle").rows())


def test_accumulate_session_derives_one_fact_per_store_and_follows_changes():
    rules = """
    rule total when
        Store($id : id)
        accumulate(Sale(store == $id, $a : amount); $s : sum($a))
        accumulate(Sale(store == $id); $n : count())
        accumulate(Sale(store == $id, $q : qty); $m : max($q))
    then insert(new Total($id, $s, $n, $m)); end
    """
    s = quarn.Session(rules, schemas=SCHEMAS)
    s.insert("Store", {"id": [1, 2]})
    sales = s.insert("Sale", {"store": [1, 1, 2], "amount": [D("1.25"), D("2.50"), D("9")], "qty": [3, 7, 1],
                              "tag": ["x", "y", "x"]})
    r = s.fire()
    assert totals(r) == [(1, D("3.75"), 2, 7), (2, D("9.00"), 1, 1)]
    # Only declared types come back: no Long, Decimal or row tables.
    assert sorted(r.facts()) == sorted(SCHEMAS) and sorted(r.derived()) == sorted(SCHEMAS)
    assert len(r.derived()["Total"]) == 2
    s.delete(sales[1])
    r = s.fire()
    assert sorted(pl.DataFrame(r.derived()["Total"]).drop("_handle").rows()) == [(1, D("1.25"), 1, 3)]
    assert r.deleted_handles() == []


def test_groupby_rows_stay_out_of_the_tables_and_show_in_the_audit():
    rules = """
    rule bytag when groupby(Sale($t : tag, $q : qty); $t; $n : sum($q)) then insert(new ByTag($t, $n)); end
    """
    seen = []
    r = quarn.run(rules, {"Sale": {"store": [1, 1, 2], "amount": [D("1"), D("2"), D("3")], "qty": [3, 7, 1],
                                   "tag": ["x", "y", "x"]}},
                  schemas=SCHEMAS, on_fire=lambda rule, matches: seen.append((rule, [t for t, _ in matches])))
    assert sorted(pl.DataFrame(r.derived()["ByTag"]).drop("_handle").rows()) == [("x", 4), ("y", 7)]
    assert seen == [("bytag", ["InitialFact", "__gbrow$bytag$1"])] * 2
    rows = [row for row in pa.table(r.firings()).to_pylist() if row["pos"] == 1]
    assert sorted(json.loads(row["values_json"])["key"] for row in rows) == ["x", "y"]
    assert sorted(json.loads(row["values_json"])["res"] for row in rows) == [4, 7]


def test_collections_render_their_members_in_values_json():
    rules = """
    rule lists when Store()
        accumulate(Sale($q : qty); $l : collectList($q))
        accumulate(Sale($t : tag); $u : collectSet($t))
        $all : List() from collect(Sale(qty > 2))
    then end
    """
    pairs = []
    r = quarn.run(rules, {"Store": {"id": [1]},
                          "Sale": {"store": [1, 1], "amount": [D("1"), D("2")], "qty": [3, 7], "tag": ["y", "x"]}},
                  schemas=SCHEMAS, on_fire=lambda rule, matches: pairs.append(matches))
    audit = {row["pos"]: row for row in pa.table(r.firings()).to_pylist()}
    assert [audit[p]["type"] for p in (1, 2, 3)] == ["Collection", "SetCollection", "Collection"]
    as_list = json.loads(audit[1]["values_json"])["value"]
    assert sorted(json.loads(m)["value"] for m in as_list) == [3, 7]
    assert audit[2]["values_json"] == '{"value":["{\\"value\\":\\"x\\"}","{\\"value\\":\\"y\\"}"]}'
    members = [json.loads(m) for m in json.loads(audit[3]["values_json"])["value"]]
    assert sorted(m["qty"] for m in members) == [3, 7] and all(m["amount"] in ("1.00", "2.00") for m in members)
    assert [t for t, _ in pairs[0]] == ["Store", "Collection", "SetCollection", "Collection"]
    assert [h for _, h in pairs[0]] == [audit[p]["handle"] for p in range(4)]


def test_an_overflowing_sum_fails_the_fire_and_changes_nothing():
    rules = "rule s when Store($id : id) accumulate(Sale(store == $id, $q : qty); $t : sum($q)) " \
            "then insert(new ByTag(\"s\", $t)); end"
    s = quarn.Session(rules, schemas=SCHEMAS)
    s.insert("Store", {"id": [1]})
    s.insert("Sale", {"store": [1], "amount": [D("1")], "qty": [2**63 - 1], "tag": ["a"]})
    assert pl.DataFrame(s.fire().derived()["ByTag"]).rows() == [(3, "s", 2**63 - 1)]
    [big] = s.insert("Sale", {"store": [1], "amount": [D("1")], "qty": [1], "tag": ["a"]})
    with pytest.raises(RuntimeError, match=r"^engine error: integer sum overflow \(64-bit integer exceeded\)$"):
        s.fire()
    s.delete(big)
    s.insert("Sale", {"store": [1], "amount": [D("1")], "qty": [-1], "tag": ["a"]})
    r = s.fire()
    assert pl.DataFrame(r.derived()["ByTag"]).drop("_handle").rows() == [("s", 2**63 - 2)]
