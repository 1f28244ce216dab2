"""A session with event types: failed logins counted per user over a sliding
five-minute window that follows the pseudo-clock, inserts evaluated as they
come, advance evicting logins from the window and, later, expiring them."""

import polars as pl
import quarn

SCHEMAS = {
    "User": {"name": "String"},
    "Login": {"ts": "i64", "user": "String", "ok": "bool"},
    "Tally": {"user": "String", "failed": "i64"},
}
RULES = """
rule tally when
    User($n : name)
    accumulate(Login(user == $n, ok == false) over window:time(300s); $c : count())
then insert(new Tally($n, $c)); end
"""
MINUTE = 60_000


def tallies(result):
    """The tallies a fire derived, as sorted (user, failed) rows."""
    return sorted(pl.DataFrame(result.derived()["Tally"]).drop("_handle").rows())


def test_failed_logins_are_counted_over_a_window_that_follows_advance():
    s = quarn.Session(RULES, schemas=SCHEMAS, events={"Login": ("ts", 10 * MINUTE)})
    s.insert("User", pl.DataFrame({"name": ["alice", "bob"]}))
    logins = s.insert("Login", pl.DataFrame({
        "ts": [0, 1 * MINUTE, 2 * MINUTE, 30_000, 3 * MINUTE],
        "user": ["alice", "alice", "alice", "bob", "bob"],
        "ok": [False, False, False, False, True],
    }))
    assert tallies(s.fire()) == [("alice", 3), ("bob", 1)]

    # After the first fire an insert is evaluated at once; the fire reports it.
    s.insert("Login", pl.DataFrame({"ts": [200_000], "user": ["alice"], "ok": [False]}))
    assert tallies(s.fire()) == [("alice", 4)]

    # The clock reaches ts + 5 minutes of alice's first login: it is out.
    s.advance(5 * MINUTE)
    assert tallies(s.fire()) == [("alice", 3)]
    s.advance(30_000)
    assert tallies(s.fire()) == [("bob", 0)]
    # Out of the window is not gone: the logins stay until they expire.
    r = s.fire()
    assert tallies(r) == []
    assert pl.DataFrame(r.facts()["Login"]).height == 6

    # Ten minutes after a login (and one millisecond) it expires and is deleted.
    s.advance(10 * MINUTE + 1 - (5 * MINUTE + 30_000))
    r = s.fire()
    assert r.deleted_handles() == [logins[0]]
    assert sorted(pl.DataFrame(r.facts()["Login"])["ts"].to_list()) == [30_000, MINUTE, 2 * MINUTE, 3 * MINUTE,
                                                                         200_000]


def test_an_event_inserted_outside_its_window_and_reset_start_afresh():
    s = quarn.Session(RULES, schemas=SCHEMAS, events={"Login": ("ts", 10 * MINUTE)})
    s.advance(6 * MINUTE)
    s.insert("User", pl.DataFrame({"name": ["carol"]}))
    # ts + 5 minutes is the clock: already out. One millisecond later is in.
    s.insert("Login", pl.DataFrame({"ts": [MINUTE, MINUTE + 1], "user": ["carol", "carol"], "ok": [False, False]}))
    assert tallies(s.fire()) == [("carol", 1)]
    s.advance(1)
    assert tallies(s.fire()) == [("carol", 0)]

    s.reset()
    s.insert("User", pl.DataFrame({"name": ["carol"]}))
    s.insert("Login", pl.DataFrame({"ts": [MINUTE, MINUTE + 1], "user": ["carol", "carol"], "ok": [False, False]}))
    # The clock is back at 0: both logins are inside.
    assert tallies(s.fire()) == [("carol", 2)]
