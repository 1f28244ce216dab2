"""Totals by group with a threshold: order totals per customer, summed by the
rules twice (by groupby, and by accumulate per customer) and once by polars,
and the customers whose total passes a limit flagged.

A rule cannot test `$total > 100` directly: the limit is a fact, and the rule
compares it with the total (`Limit(amount < $total)`)."""

import decimal

import polars as pl

import quarn

RULES = """
rule "total per customer, by groupby"
when
    groupby(Order($c : customer, $t : total); $c; $sum : sum($t))
then
    insert(new GroupTotal($c, $sum));
end

rule "total per customer, by accumulate"
when
    Customer($c : name)
    accumulate(Order(customer == $c, $t : total); $sum : sum($t))
then
    insert(new CustomerTotal($c, $sum));
end

rule "over the limit"
when
    CustomerTotal($c : customer, $sum : total)
    Limit(amount < $sum)
then
    insert(new Flag($c, $sum));
end
"""

orders = pl.DataFrame(
    {
        "customer": ["ann", "bob", "ann", "cy", "bob", "ann"],
        "total": [decimal.Decimal(t) for t in ["60.00", "20.00", "50.50", "100.01", "80.00", "0.99"]],
    },
    schema={"customer": pl.String, "total": pl.Decimal(10, 2)},
)
customers = pl.DataFrame({"name": ["ann", "bob", "cy", "dee"]})
total = "decimal(12,2)"

result = quarn.run(
    RULES,
    {"Order": orders, "Customer": customers, "Limit": {"amount": [100]}},
    schemas={
        "GroupTotal": {"customer": "String", "total": total},
        "CustomerTotal": {"customer": "String", "total": total},
        "Flag": {"customer": "String", "total": total},
    },
)
derived = result.derived()

by_groupby = pl.DataFrame(derived["GroupTotal"]).drop("_handle").sort("customer")
by_accumulate = pl.DataFrame(derived["CustomerTotal"]).drop("_handle").sort("customer")
by_polars = orders.group_by("customer").agg(pl.col("total").sum()).sort("customer")

print("groupby makes one group per customer that has orders:")
print(by_groupby)
print("accumulate gives every customer a total, 0.00 without orders:")
print(by_accumulate)
print("the same totals as polars:", by_groupby.rows() == by_polars.rows())
print("over the limit of 100:")
print(pl.DataFrame(derived["Flag"]).drop("_handle").sort("customer"))
