"""quarn in a few lines: rules over a polars DataFrame, derived facts back as one."""

import polars as pl

import quarn

RULES = """
rule "big spender"
when
  $c : Customer($id : id)
  $o : Order(customer == $id, total > 100)
then
  insert(new Alert($id, $o.getId(), "big order"));
end

rule "no orders yet"
when
  $c : Customer($id : id)
  not Order(customer == $id)
then
  insert(new Alert($id, -1, "no orders"));
end
"""

customers = pl.DataFrame({"id": [1, 2, 3], "name": ["ann", "bob", "cy"]})
orders = pl.DataFrame({"id": [10, 11, 12], "customer": [1, 1, 2], "total": [250.0, 40.0, 120.5]})

result = quarn.run(
    RULES,
    {"Customer": customers, "Order": orders},
    schemas={"Alert": {"customer": "i64", "order": "i64", "reason": "String"}},
)
print(result)
alerts = pl.DataFrame(result.derived()["Alert"])
print(alerts.sort("customer", "order"))
print(pl.DataFrame(result.firings()).select("seq", "rule", "type", "values_json"))
