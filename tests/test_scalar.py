"""Scalar conversion: every Python value that becomes a field value."""

import decimal
import pytest
import quarn_probe as probe

D = decimal.Decimal

D097 = "T.f: None is outside the certified subset for a non-nullable field — declare it Optional[...] to opt in (D-097)"
D098_DEC = "T.f: decimal.Decimal for a non-decimal field — declare Annotated[Decimal, quarn.Decimal(p, s)] (D-098)"
D098_FLOAT = "T.f: floats never ingest into decimals — pass decimal.Decimal or str (D-098)"


class Index:
    def __index__(self):
        return 7


class Floaty:
    def __float__(self):
        return 2.5


class BadIndex:
    def __index__(self):
        raise RuntimeError("no index")

    def __float__(self):
        return 1.25


@pytest.mark.parametrize(
    "value, spec, expected",
    [
        (None, "i64?", "Null"),
        (None, "decimal(10,2)?", "Null"),
        (True, "i64", "Bool(true)"),
        (False, None, "Bool(false)"),
        (1, "bool", "I64(1)"),
        (1, "String", "I64(1)"),
        (-(2**63), None, "I64(-9223372036854775808)"),
        (Index(), None, "I64(7)"),
        (Floaty(), None, "F64(2.5)"),
        (BadIndex(), None, "F64(1.25)"),
        (2**70, None, "F64(1.1805916207174113e21)"),
        (2**63, "i64", "F64(9.223372036854776e18)"),
        (1.5, "i64", "F64(1.5)"),
        ("x", None, 'Str("x")'),
        ("x", "i64", 'Str("x")'),
        (float("nan"), "f64", "F64(NaN)"),
        (float("nan"), None, "F64(NaN)"),
        (float("nan"), "f64?", "Null"),
        (float("inf"), "f64?", "F64(inf)"),
        (12, "decimal(10,2)", "Dec { u: 1200, s: 2 }"),
        (-12, "decimal(3,1)", "Dec { u: -120, s: 1 }"),
        (D("1E+3"), "decimal(10,2)", "Dec { u: 100000, s: 2 }"),
        (D("1.005"), "decimal(10,2)", "Dec { u: 101, s: 2 }"),
        (D("-1.005"), "decimal(10,2)", "Dec { u: -101, s: 2 }"),
        (D("1.2E-5"), "decimal(10,6)", "Dec { u: 12, s: 6 }"),
        ("12.345", "decimal(5,2)", "Dec { u: 1235, s: 2 }"),
        ("  -0.5 ", "decimal(3,0)", "Dec { u: -1, s: 0 }"),
        ("7", "decimal(38,38)", None),
    ],
)
def test_scalar_values(value, spec, expected):
    if expected is None:
        with pytest.raises(ValueError, match="does not fit"):
            probe.scalar(value, spec)
        return
    assert probe.scalar(value, spec) == expected


@pytest.mark.parametrize(
    "value, spec, exc, message",
    [
        (None, None, ValueError, D097),
        (None, "i64", ValueError, D097),
        (D("1.5"), None, TypeError, D098_DEC),
        (D("1.5"), "f64", TypeError, D098_DEC),
        (1.5, "decimal(10,2)", TypeError, D098_FLOAT),
        (2**70, "decimal(10,2)", TypeError, D098_FLOAT),
        (D("NaN"), "decimal(10,2)", ValueError, "T.f: NaN does not fit decimal(10,2)"),
        (D("123456789.5"), "decimal(10,2)", ValueError, "T.f: 123456789.5 does not fit decimal(10,2)"),
        (D("1E+40"), "decimal(38,0)", ValueError, "T.f: " + "1" + "0" * 40 + " does not fit decimal(38,0)"),
        (10**9, "decimal(10,2)", ValueError, "T.f: 1000000000 does not fit decimal(10,2)"),
        ("1234.5", "decimal(5,2)", ValueError, 'T.f: "1234.5" does not fit decimal(5,2)'),
        ("a\"b", "decimal(5,2)", ValueError, 'T.f: "a\\"b" does not fit decimal(5,2)'),
        ("1.2.3", "decimal(5,2)", ValueError, 'T.f: "1.2.3" does not fit decimal(5,2)'),
        (b"x", None, TypeError, "T.f: unsupported scalar bytes"),
        ([1], "i64", TypeError, "T.f: unsupported scalar list"),
        (10**400, None, TypeError, "T.f: unsupported scalar int"),
    ],
)
def test_scalar_refusals(value, spec, exc, message):
    with pytest.raises(exc) as e:
        probe.scalar(value, spec)
    assert str(e.value) == message


def test_decimal_methods_raise_through():
    class Loud(D):
        def __str__(self):
            raise KeyError("from __str__")

    with pytest.raises(KeyError, match="from __str__"):
        probe.scalar(Loud("1"), "decimal(5,2)")


def test_decimal_class_is_looked_up_for_each_value(monkeypatch):
    class Other:
        pass

    monkeypatch.setattr(decimal, "Decimal", Other)
    with pytest.raises(TypeError) as e:
        probe.scalar(Other(), None)
    assert str(e.value) == D098_DEC
    # A real Decimal is then just a number with a float conversion.
    assert probe.scalar(D("1.5"), None) == "F64(1.5)"
