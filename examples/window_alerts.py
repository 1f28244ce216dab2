"""Alerts over a sliding window of events: a card is flagged when it makes three
or more payments within one minute.

Payments are events: their `ts` field is a time in milliseconds, and they are
deleted an hour after it. The session's clock does not follow the wall clock:
it starts at 0 and moves when the program calls `advance`. A window of 60 s
holds the payments with ts + 60000 > clock; after an advance, the next fire
sees the old ones gone. The session is fired batch after batch, and each fire
reports what it did alone."""

import polars as pl

import quarn

RULES = """
rule "busy card"
when
    Card($card : number)
    accumulate(Payment(card == $card) over window:time(60s); $n : count())
    Threshold(payments <= $n)
then
    insert(new Alert($card, $n));
end
"""

SECOND = 1000
session = quarn.Session(
    RULES,
    schemas={
        "Card": {"number": "String"},
        "Payment": {"ts": "i64", "card": "String", "amount": "decimal(10,2)"},
        "Threshold": {"payments": "i64"},
        "Alert": {"card": "String", "payments": "i64"},
    },
    events={"Payment": ("ts", 3600 * SECOND)},
)
session.insert("Card", pl.DataFrame({"number": ["4111", "5500"]}))
session.insert_row("Threshold", {"payments": 3})


clock = 0


def batch(label, at, payments=None):
    """Move the clock to `at` ms, insert the payments, fire, print the alerts."""
    global clock
    session.advance(at - clock)
    clock = at
    if payments is not None:
        session.insert("Payment", pl.DataFrame(payments, schema_overrides={"amount": pl.Decimal(10, 2)}))
    alerts = pl.DataFrame(session.fire().derived()["Alert"]).drop("_handle")
    print(f"{label} (clock {clock // SECOND} s): {alerts.height} alert(s)")
    if alerts.height:
        print(alerts)


batch("two payments of 4111", 0, {"ts": [0, 20 * SECOND], "card": ["4111", "4111"], "amount": ["12.00", "8.50"]})
batch(
    "a third of 4111, one of 5500",
    40 * SECOND,
    {"ts": [40 * SECOND, 41 * SECOND], "card": ["4111", "5500"], "amount": ["99.99", "5.00"]},
)
# At 60 s the payment made at 0 leaves the window: two remain, no alert.
batch("the first payment leaves the window", 60 * SECOND)
batch(
    "a burst on 5500",
    63 * SECOND,
    {"ts": [61 * SECOND, 62 * SECOND, 63 * SECOND], "card": ["5500"] * 3, "amount": ["1.00"] * 3},
)
print("Out of the window is not gone: payments stay until they expire, an hour after ts.")
print(pl.DataFrame(session.fire().facts()["Payment"]).drop("_handle"))
