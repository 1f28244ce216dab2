"""Rules whose conditions call a backward-chaining query or test a group of
patterns with not/exists: sessions fed and read with polars, the audit rows and
observer matches of a query's answers."""

import polars as pl
import pyarrow as pa
import pytest
import quarn

ANCESTOR = """
query ancestor(String $a, String $d)
    Parent(up == $a, down == $d)
    or Parent(up == $a, $z : down) ancestor($z, $d;)
end
"""


def test_a_rule_calling_a_recursive_query():
    rules = ANCESTOR + """
    rule below when $p : Person($n : name) ?ancestor($n, $d;) then insert(new Found($n, $d)); end
    """
    parents = pl.DataFrame({"up": ["ann", "bob"], "down": ["bob", "cid"]})
    people = pl.DataFrame({"name": ["ann", "zed"]})
    s = quarn.Session(rules, {"Parent": parents, "Person": people}, schemas={"Found": {"who": "String", "what": "String"}})
    calls = []
    r = s.fire(on_fire=lambda rule, matches: calls.append((rule, matches)))
    found = pl.DataFrame(r.derived()["Found"]).sort("what")
    assert found.select("who", "what").rows() == [("ann", "bob"), ("ann", "cid")]
    # An answer row shows as the call's arguments: the given one empty, the
    # one the query bound as a one-value pseudo fact.
    assert sorted(calls) == [("below", [("Person", 2), ("QueryArgs", 4294967295)])] * 2
    rows = [row for row in pa.table(r.firings()).to_pylist() if row["type"] == "QueryArgs"]
    assert sorted((row["handle"], row["values_json"]) for row in rows) == [
        (4294967295, '{"value":[null,"{\\"value\\":\\"bob\\"}"]}'),
        (4294967295, '{"value":[null,"{\\"value\\":\\"cid\\"}"]}')]
    # Row facts stay out of every table and handle list.
    assert set(r.facts()) == {"Parent", "Person", "Found"}
    assert sum(len(t) for t in r.facts().values()) == 6

    # A new parent fact answers the query anew for the same person: only the
    # new answer fires; the old answers' rows are retracted unseen.
    s.insert("Parent", pl.DataFrame({"up": ["cid"], "down": ["dan"]}))
    r2 = s.fire()
    assert pl.DataFrame(r2.derived()["Found"]).select("who", "what").rows() == [("ann", "dan")]
    s.update(2, name="bob")
    r3 = s.fire()
    assert sorted(pl.DataFrame(r3.derived()["Found"]).select("who", "what").rows()) == [("bob", "cid"), ("bob", "dan")]
    assert r3.deleted_handles() == []
    # A reset session asks its queries afresh.
    s.reset()
    s.insert("Parent", parents)
    s.insert("Person", pl.DataFrame({"name": ["bob"]}))
    r4 = s.fire()
    assert pl.DataFrame(r4.derived()["Found"]).select("who", "what").rows() == [("bob", "cid")]


def test_a_failing_query_fails_the_fire_until_its_cause_is_gone():
    rules = ANCESTOR + "rule below when $p : Person($n : name) ?ancestor($n, $d;) then end"
    s = quarn.Session(rules, {"Parent": {"up": ["ann", "bob"], "down": ["bob", "ann"]}, "Person": {"name": ["ann"]}})
    for _ in range(2):
        with pytest.raises(RuntimeError) as e:
            s.fire()
        assert str(e.value) == "engine error: query evaluation step limit exceeded (cyclic recursion data? D-055)"
    s.delete(1)
    assert s.fire().fired == 1


def test_a_rule_with_a_grouped_not_over_polars_tables():
    rules = """
    rule unpaid when $c : Customer($i : id)
        not (Order(cust == $i, $o : id) and Payment(order == $o))
    then insert(new Reminder($i)); end
    rule paid when $c : Customer($i : id)
        exists (Order(cust == $i, $o : id) and Payment(order == $o))
    then insert(new Receipt($i)); end
    """
    tables = {
        "Customer": pl.DataFrame({"id": [1, 2, 3]}),
        "Order": pl.DataFrame({"id": [10, 11, 12], "cust": [1, 2, 2]}),
        "Payment": pl.DataFrame({"order": [10, 12]}),
    }
    schemas = {"Reminder": {"cust": "i64"}, "Receipt": {"cust": "i64"}}
    s = quarn.Session(rules, tables, schemas=schemas)
    r = s.fire()
    assert sorted(pl.DataFrame(r.derived()["Reminder"])["cust"].to_list()) == [3]
    assert sorted(pl.DataFrame(r.derived()["Receipt"])["cust"].to_list()) == [1, 2]
    payments = pl.DataFrame(r.facts()["Payment"])
    # Customer 2 loses its only paid order, customer 3 gets one.
    s.delete(payments.filter(pl.col("order") == 12)["_handle"][0])
    s.insert("Order", pl.DataFrame({"id": [13], "cust": [3]}))
    s.insert("Payment", pl.DataFrame({"order": [13]}))
    r2 = s.fire()
    assert pl.DataFrame(r2.derived()["Reminder"])["cust"].to_list() == [2]
    assert pl.DataFrame(r2.derived()["Receipt"])["cust"].to_list() == [3]
