"""First-match pricing over exact decimals: each order line takes the first
price that applies, in this order: the customer's contract price, an active
promotion, the list price. Salience orders the three rules; the `not Quote`
pattern makes the first quote of a line withdraw the other rules' matches.

Prices are decimal(10,2): exact, never floats. A price given with more places
is rounded half away from zero when it is inserted (the promotion's 4.125
becomes 4.13). The rules choose prices; the arithmetic (quantity times price)
is done afterwards by polars, since the rule language has none."""

import decimal

import polars as pl

import quarn

RULES = """
rule "contract price" salience 30
when
    OrderLine($line : id, $c : customer, $s : sku)
    Contract(customer == $c, sku == $s, $p : price)
    not Quote(line == $line)
then
    insert(new Quote($line, $p, "contract"));
end

rule "promotion" salience 20
when
    OrderLine($line : id, $s : sku)
    Promo(sku == $s, active == true, $p : price)
    not Quote(line == $line)
then
    insert(new Quote($line, $p, "promotion"));
end

rule "list price" salience 10
when
    OrderLine($line : id, $s : sku)
    Product(sku == $s, $p : list_price)
    not Quote(line == $line)
then
    insert(new Quote($line, $p, "list"));
end
"""

D = decimal.Decimal
money = "decimal(10,2)"
products = pl.DataFrame(
    {"sku": ["tea", "cup", "pot"], "list_price": [D("5.50"), D("3.20"), D("24.00")]},
    schema_overrides={"list_price": pl.Decimal(10, 2)},
)
lines = pl.DataFrame(
    {
        "id": [1, 2, 3, 4, 5],
        "customer": ["acme", "acme", "bolt", "bolt", "cato"],
        "sku": ["tea", "pot", "tea", "cup", "pot"],
        "qty": [10, 1, 3, 4, 2],
    }
)
contracts = {"customer": ["acme"], "sku": ["tea"], "price": ["4.00"]}
promos = {"sku": ["tea", "cup"], "price": ["4.125", "2.00"], "active": [True, False]}

result = quarn.run(
    RULES,
    {"Product": products, "OrderLine": lines, "Contract": contracts, "Promo": promos},
    schemas={
        "Product": {"sku": "String", "list_price": money},
        "Contract": {"customer": "String", "sku": "String", "price": money},
        "Promo": {"sku": "String", "price": money, "active": "bool"},
        "Quote": {"line": "i64", "price": money, "source": "String"},
    },
)

quotes = pl.DataFrame(result.derived()["Quote"]).drop("_handle")
priced = (
    lines.join(quotes, left_on="id", right_on="line")
    .with_columns(amount=(pl.col("price") * pl.col("qty")).cast(pl.Decimal(12, 2)))
    .sort("id")
)
print(priced)
print("order total:", priced["amount"].sum())
print("firings:", result.fired)
