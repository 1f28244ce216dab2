"""Flags kept by truth maintenance: a member is eligible for a senior discount
while they are 65 or older and their membership is active, and for free
shipping while they have a paid order of 50.00 or more. The rules insert the
flags with insertLogical: a flag lives as long as the match that inserted it,
and disappears by itself when that match stops holding, whatever the change
that broke it (an update, a delete)."""

import decimal

import polars as pl

import quarn

RULES = """
rule "senior discount"
when
    Member($id : id, age >= 65, active == true)
then
    insertLogical(new Eligible($id, "senior discount"));
end

rule "free shipping"
when
    Member($id : id)
    Order(member == $id, paid == true, total >= 50.00)
then
    insertLogical(new Eligible($id, "free shipping"));
end
"""

session = quarn.Session(
    RULES,
    schemas={
        "Member": {"id": "i64", "name": "String", "age": "i64", "active": "bool"},
        "Order": {"member": "i64", "total": "decimal(10,2)", "paid": "bool"},
        "Eligible": {"member": "i64", "benefit": "String"},
    },
)
ann, bob, cy = session.insert(
    "Member",
    pl.DataFrame({"id": [1, 2, 3], "name": ["ann", "bob", "cy"], "age": [70, 66, 30], "active": [True, True, True]}),
)
big, small = session.insert(
    "Order",
    {"member": [3, 3], "total": [decimal.Decimal("75.00"), decimal.Decimal("49.99")], "paid": [True, True]},
)


def show(label):
    result = session.fire()
    flags = pl.DataFrame(result.facts()["Eligible"]).drop("_handle").sort("member", "benefit")
    print(f"{label}: {result.fired} firing(s)")
    print(flags)


show("first fire")
session.update(bob, active=False)  # bob's senior discount loses its support
session.delete(big)  # cy's only order of 50.00 or more goes
show("bob inactive, cy's big order deleted")
session.update(bob, active=True)  # the support comes back, and the flag with it
session.update(small, total="50.00")
show("bob active again, cy's other order raised to 50.00")
