"""Truth maintenance seen from Python: logically inserted facts leave with
their last justification, and a fire reports them among its deleted handles."""

import polars as pl
import pytest
import quarn

SCHEMAS = {"Person": {"name": "String", "age": "i64"}, "Club": {"id": "i64"},
           "Adult": {"name": "String"}, "Member": {"name": "String"}}


def rows(result, type_name):
    return pl.DataFrame(result.facts()[type_name]).rows()


def test_a_retraction_during_a_fire_is_among_its_deleted_handles():
    rules = """
    rule adult when $p : Person(age >= 18, $n : name) $c : Club() then insertLogical(new Adult($n)); end
    rule member when $a : Adult($n : name) $c : Club() then insertLogical(new Member($n)); end
    """
    s = quarn.Session(rules, schemas=SCHEMAS)
    assert s.insert("Person", {"name": ["ann", "bob", "cy"], "age": [30, 40, 12]}) == [0, 1, 2]
    assert s.insert_row("Club", {"id": 1}) == 3
    r1 = s.fire()
    assert r1.fired == 4
    assert sorted(rows(r1, "Adult")) == [(4, "bob"), (5, "ann")]
    assert sorted(pl.DataFrame(r1.derived()["Member"]).rows()) == [(6, "ann"), (7, "bob")]

    s.delete(1)  # bob: his Adult and Member go with the next fire, which reports them
    r2 = s.fire()
    assert (r2.fired, r2.deleted_handles()) == (0, [4, 7])
    assert (rows(r2, "Adult"), rows(r2, "Member")) == ([(5, "ann")], [(6, "ann")])

    s.delete(3)  # the club: everything derived goes
    r3 = s.fire()
    assert (r3.deleted_handles(), rows(r3, "Adult"), rows(r3, "Member")) == ([5, 6], [], [])
    assert [h for h, *_ in rows(r3, "Person")] == [0, 2]


def test_a_one_pattern_justification_breaks_before_the_next_fire():
    rules = """
    rule adult when $p : Person(age >= 18, $n : name) then insertLogical(new Adult($n)); end
    rule member when $a : Adult($n : name) then insertLogical(new Member($n)); end
    """
    s = quarn.Session(rules, schemas=SCHEMAS)
    s.insert("Person", {"name": ["ann", "bob"], "age": [30, 40]})
    r1 = s.fire()
    assert (r1.fired, rows(r1, "Member")) == (4, [(4, "ann"), (5, "bob")])
    s.update(0, age=17)  # ann leaves the pattern: her facts go inside update
    s.delete(1)  # and bob's inside delete
    r2 = s.fire()
    assert (r2.fired, r2.deleted_handles(), rows(r2, "Adult"), rows(r2, "Member")) == (0, [], [], [])
    s.update(0, age=18)
    r3 = s.fire()
    assert (r3.fired, rows(r3, "Adult"), rows(r3, "Member")) == (2, [(6, "ann")], [(7, "ann")])


def test_logical_types_refuse_outside_updates_and_keep_stated_copies():
    rules = "rule adult when $p : Person(age >= 18, $n : name) then insertLogical(new Adult($n)); end"
    s = quarn.Session(rules, schemas=SCHEMAS)
    s.insert_row("Person", {"name": "ann", "age": 30})
    s.fire()
    assert s.insert_row("Adult", {"name": "ann"}) == 2  # a stated copy of the logical content
    with pytest.raises(ValueError, match=r"^engine error: external update of a logically-inserted type is out of "
                                         r"subset \(D-076; a runtime error otherwise — tms_u1/u4\)$"):
        s.update(2, name="bo")
    s.delete(2)  # deletes the copy; the logical fact stays to its justification
    r = s.fire()
    assert (r.deleted_handles(), rows(r, "Adult")) == ([], [(1, "ann")])
    s.delete(0)
    assert rows(s.fire(), "Adult") == []
