"""Table ingest: Arrow streams from pyarrow, polars and a hand-made producer,
and dicts of column lists, converted under an optional declared schema."""

import decimal

import polars as pl
import pyarrow as pa
import pytest
import quarn_probe as probe
from arrow_fakes import Col, FakeStream, bitmap, i32s, i64s, view

D = decimal.Decimal
NULLS_1 = "T.a: 1 null(s) present — nulls are outside the certified subset; drop or fill them before insertion"
LONG_SUBSET = (
    "T.a: Arrow type {} is outside the certified subset (supported: int8..int64/uint8..uint32 -> i64, "
    "float32/64 -> f64, bool, utf8; cast or drop the column first)"
)


def ingest(data, schema=None):
    return probe.ingest("T", data, schema)


def refusal(exc, data, schema=None):
    with pytest.raises(exc) as e:
        ingest(data, schema)
    return str(e.value)


ALL_TYPES = [
    ("int8", pa.int8(), [-128, 127], "I64", ["I64(-128)", "I64(127)"]),
    ("int16", pa.int16(), [-32768, 5], "I64", ["I64(-32768)", "I64(5)"]),
    ("int32", pa.int32(), [-(2**31), 6], "I64", ["I64(-2147483648)", "I64(6)"]),
    ("int64", pa.int64(), [-(2**63), 2**63 - 1], "I64", ["I64(-9223372036854775808)", "I64(9223372036854775807)"]),
    ("uint8", pa.uint8(), [255, 0], "I64", ["I64(255)", "I64(0)"]),
    ("uint16", pa.uint16(), [65535, 1], "I64", ["I64(65535)", "I64(1)"]),
    ("uint32", pa.uint32(), [2**32 - 1, 2], "I64", ["I64(4294967295)", "I64(2)"]),
    ("float32", pa.float32(), [0.5, -2.0], "F64", ["F64(0.5)", "F64(-2.0)"]),
    ("float64", pa.float64(), [0.1, 1e300], "F64", ["F64(0.1)", "F64(1e300)"]),
    ("utf8", pa.string(), ["", "a longer text than twelve"], "Str", ['Str("")', 'Str("a longer text than twelve")']),
    ("large", pa.large_string(), ["é", "x"], "Str", ['Str("é")', 'Str("x")']),
    ("view", pa.string_view(), ["short", "a text beyond the inline twelve"], "Str",
     ['Str("short")', 'Str("a text beyond the inline twelve")']),
    ("bool", pa.bool_(), [True, False], "Bool", ["Bool(true)", "Bool(false)"]),
    ("dec", pa.decimal128(10, 2), [D("1.25"), D("-99999999.99")], "Dec { p: 10, s: 2 }",
     ["Dec { u: 125, s: 2 }", "Dec { u: -9999999999, s: 2 }"]),
]


def all_types_table():
    return pa.table({name: pa.array(values, t) for name, t, values, _, _ in ALL_TYPES})


def test_every_arrow_type_from_pyarrow():
    fields, columns = ingest(all_types_table())
    assert fields == [(name, ft) for name, _, _, ft, _ in ALL_TYPES]
    assert columns == [vals for *_, vals in ALL_TYPES]


def test_sliced_tables_and_several_batches():
    t = all_types_table()
    big = pa.concat_tables([t, t.slice(1, 1), t.slice(0, 1)])
    fields, columns = ingest(big.slice(1, 3))
    assert [len(c) for c in columns] == [3] * len(ALL_TYPES)
    assert columns == [[vals[1], vals[1], vals[0]] for *_, vals in ALL_TYPES]
    batches = pa.Table.from_batches([pa.record_batch({"a": [i, i + 1]}) for i in (0, 10, 20)])
    assert ingest(batches)[1] == [["I64(0)", "I64(1)", "I64(10)", "I64(11)", "I64(20)", "I64(21)"]]


def test_sliced_nullable_column_reads_its_own_validity_bits():
    t = pa.table({"a": pa.array([None, 1, None, 3, 4], pa.int64()), "s": pa.array(["x", None, "y", None, "z"])})
    fields, columns = ingest(t.slice(1, 3), {"a": "i64?", "s": "String?"})
    assert columns == [["I64(1)", "Null", "I64(3)"], ["Null", 'Str("y")', "Null"]]


def test_every_polars_type_and_a_slice():
    # polars exports its own layouts (text as Utf8View, its own chunks).
    df = pl.from_arrow(all_types_table())
    assert ingest(df) == ingest(all_types_table())
    assert ingest(df.slice(1, 1))[1] == [vals[1:] for *_, vals in ALL_TYPES]
    with_null = pl.DataFrame({"a": [1, None]})
    assert refusal(ValueError, with_null) == NULLS_1
    assert ingest(with_null, {"a": "i64?"})[1] == [["I64(1)", "Null"]]


def test_nulls_and_nans():
    nullable = pa.table({"a": pa.array([1, 2], pa.int64())})
    assert ingest(nullable)[1] == [["I64(1)", "I64(2)"]]
    assert refusal(ValueError, pa.table({"a": pa.array([1, None], pa.int64())})) == NULLS_1
    assert refusal(ValueError, pa.table({"a": pa.array([None, None, 3], pa.int64())}), {"a": "i64"}) == (
        NULLS_1.replace("1 null(s)", "2 null(s)"))
    nan = pa.table({"a": pa.array([1.5, float("nan")], pa.float64())})
    assert ingest(nan, {"a": "f64?"})[1] == [["F64(1.5)", "Null"]]
    assert ingest(nan, {"a": "f64"})[1] == [["F64(1.5)", "F64(NaN)"]]
    assert ingest(nan)[1] == [["F64(1.5)", "F64(NaN)"]]
    f32 = pa.table({"a": pa.array([float("nan"), None], pa.float32())})
    assert ingest(f32, {"a": "f64?"})[1] == [["Null", "Null"]]


def test_declared_types_govern_matching_columns_only():
    t = pa.table({"a": pa.array([1, 2], pa.int64()), "b": pa.array(["x", "y"])})
    fields, columns = ingest(t, {"a": "f64", "b": "i64", "z": "bool"})
    # The declared type is taken; the values keep the Arrow column's variant.
    assert fields == [("a", "F64"), ("b", "I64")]
    assert columns == [["I64(1)", "I64(2)"], ['Str("x")', 'Str("y")']]


def test_unsupported_arrow_types():
    u64 = pa.table({"a": pa.array([1, 2], pa.uint64())})
    assert refusal(TypeError, u64) == LONG_SUBSET.format("UInt64")
    assert refusal(TypeError, u64, {"a": "i64"}) == "T.a: unsupported Arrow type UInt64"
    assert refusal(TypeError, u64, {"a": "i64?"}) == "T.a: unsupported Arrow type UInt64"
    u64_null = pa.table({"a": pa.array([1, None], pa.uint64())})
    assert refusal(TypeError, u64_null, {"a": "i64?"}) == "T.a: Arrow type UInt64 is outside the certified subset"
    shown = [
        (pa.float16(), "Float16"),
        (pa.null(), "Null"),
        (pa.binary(), "Binary"),
        (pa.date32(), "Date32"),
        (pa.timestamp("ms"), "Timestamp(Millisecond, None)"),
        (pa.timestamp("us", tz="UTC"), 'Timestamp(Microsecond, Some("UTC"))'),
        (pa.list_(pa.int64()), "List"),
        (pa.decimal256(40, 2), "Decimal256(40, 2)"),
        (pa.dictionary(pa.int32(), pa.string()), "Dictionary(Int32, Utf8)"),
    ]
    for t, text in shown:
        schema = pa.schema([("a", t)])
        assert refusal(TypeError, pa.Table.from_batches([], schema)) == LONG_SUBSET.format(text)


def test_decimal_columns():
    col = pa.array([D("1.2345"), D("1.2350"), D("-1.2350"), D("0.0049")], pa.decimal128(12, 4))
    t = pa.table({"d": col})
    assert ingest(t, {"d": "decimal(10,2)"})[1] == [
        ["Dec { u: 123, s: 2 }", "Dec { u: 124, s: 2 }", "Dec { u: -124, s: 2 }", "Dec { u: 0, s: 2 }"]]
    assert ingest(t, {"d": "decimal(20,6)"})[1] == [
        ["Dec { u: 1234500, s: 6 }", "Dec { u: 1235000, s: 6 }", "Dec { u: -1235000, s: 6 }", "Dec { u: 4900, s: 6 }"]]
    too_big = pa.table({"d": pa.array([D("123456789.0000")], pa.decimal128(14, 4))})
    with pytest.raises(ValueError) as e:
        ingest(too_big, {"d": "decimal(10,2)"})
    assert str(e.value) == "T.d: decimal value overflows decimal(10,2)"
    with pytest.raises(TypeError) as e:
        ingest(t, {"d": "i64"})
    assert str(e.value) == "T.d: decimal column for a I64 field"
    nullable = pa.table({"d": pa.array([None, D("2.5")], pa.decimal128(5, 1))})
    assert ingest(nullable, {"d": "decimal(5,1)?"})[1] == [["Null", "Dec { u: 25, s: 1 }"]]
    for fmt, text in [("d:40,2", "decimal128(40,2)"), ("d:5,6", "decimal128(5,6)"), ("d:5,-1", "decimal128(5,-1)")]:
        with pytest.raises(TypeError) as e:
            ingest(FakeStream([("d", fmt)], []))
        assert str(e.value) == f"T.d: {text} is outside Decimal128 limits"


def test_form_detection_and_producer_errors():
    assert refusal(TypeError, [{"a": 1}]) == (
        "expected an Arrow-compatible table (anything implementing __arrow_c_stream__: polars.DataFrame, "
        "pyarrow.Table, ...) or a dict of column lists")

    class Raises:
        def __arrow_c_stream__(self, requested_schema=None):
            raise KeyError("producer failed")

    class LookupFails:
        @property
        def __arrow_c_stream__(self):
            raise RuntimeError("lookup failed")

    class NotCapsule:
        def __arrow_c_stream__(self, requested_schema=None):
            return 5

    with pytest.raises(KeyError, match="producer failed"):
        ingest(Raises())
    with pytest.raises(RuntimeError, match="lookup failed"):
        ingest(LookupFails())
    assert refusal(TypeError, NotCapsule()) == "'int' object cannot be converted to 'PyCapsule'"

    wrong = FakeStream([("a", "l")], [[Col(1, [None, i64s([1])])]], capsule_name=b"arrow_array")
    assert refusal(ValueError, wrong) == "capsule is not an arrow_array_stream"
    assert wrong.released == {"stream": 0, "schema": 0, "array": 0}

    def batches():
        yield pa.record_batch({"a": [1]})
        raise ValueError("generator broke")

    reader = pa.RecordBatchReader.from_batches(pa.schema([("a", pa.int64())]), batches())
    message = refusal(ValueError, reader)
    assert message.startswith("arrow read: ") and "generator broke" in message


I64 = ("a", "l")
UTF8 = ("s", "u")
VIEW = ("v", "vu")


@pytest.mark.parametrize(
    "fields, batch, kwargs, message",
    [
        ([I64], [Col(2, [None])], {}, 'column "a": 1 buffers for Int64, expected 2'),
        ([I64], [Col(2, [None, None])], {}, 'column "a": values buffer missing'),
        ([I64], [Col(2, [None, i64s([1, 2])], null_count=1)], {}, 'column "a": null_count 1 without a validity bitmap'),
        ([I64], [Col(2, [bitmap([1, 0]), i64s([1, 2])], null_count=0)], {},
         'column "a": null_count 0 disagrees with the validity bitmap (1 nulls)'),
        ([I64], [Col(2, [None, i64s([1, 2])], offset=-1)], {}, 'column "a": negative length, offset or buffer count'),
        ([I64], [Col(2, [None, i64s([1, 2])])], {"batch_length": 3}, 'column "a": 3 rows from row 0 exceed the array\'s length 2'),
        ([I64], [Col(2, [None, i64s([1, 2])])], {"batch_offset": 1, "batch_length": 2},
         'column "a": 2 rows from row 1 exceed the array\'s length 2'),
        ([UTF8], [Col(2, [None, i32s([0, 3, 2]), b"abc"])], {}, 'column "s": offsets decrease at row 1 (2 after 3)'),
        ([UTF8], [Col(1, [None, i32s([-1, 2]), b"abc"])], {}, 'column "s": negative offset -1'),
        ([UTF8], [Col(1, [None, i32s([0, 2]), None])], {}, 'column "s": data buffer missing'),
        ([UTF8], [Col(1, [None, i32s([0, 2]), b"\xff\xfe"])], {}, 'column "s": text is not valid UTF-8'),
        ([UTF8], [Col(1, [None, None, b"ab"])], {}, 'column "s": offsets buffer missing'),
        ([VIEW], [Col(1, [None, view("x" * 20, 1), b"x" * 20, i64s([20])])], {},
         'column "v": row 0 refers to data buffer 1 of 1'),
        ([VIEW], [Col(1, [None, view("x" * 20, 0, 5), b"x" * 20, i64s([20])])], {},
         'column "v": row 0 reads bytes 5..25 of a data buffer of 20 bytes'),
        ([VIEW], [Col(1, [None, view("x" * 20), b"x" * 20, None])], {}, 'column "v": buffer sizes missing'),
        ([VIEW], [Col(1, [None, view("x" * 20)])], {}, 'column "v": 2 buffers for Utf8View, expected at least 3'),
        ([VIEW], [Col(1, [None, view(b"\xc3\x28"), i64s([])], n_buffers=3)], {}, 'column "v": text at row 0 is not valid UTF-8'),
        ([I64], ("fail", "producer says no"), {}, "producer says no"),
    ],
)
def test_malformed_streams_are_refused_and_released_once(fields, batch, kwargs, message):
    stream = FakeStream(fields, [batch], **kwargs)
    assert refusal(ValueError, stream) == "arrow read: " + message
    assert stream.released == {"stream": 1, "schema": 1, "array": stream.arrays_out}


def test_malformed_schemas_are_refused_and_released_once():
    failing = FakeStream([I64], [], schema_error="no schema today")
    assert refusal(ValueError, failing) == "arrow stream import failed: no schema today"
    assert failing.released == {"stream": 1, "schema": 0, "array": 0}
    unknown = FakeStream([("a", "q")], [])
    assert refusal(ValueError, unknown) == 'arrow stream import failed: column 0: unsupported or malformed format string "q"'
    assert unknown.released == {"stream": 1, "schema": 1, "array": 0}


def test_hand_made_stream_reads_offsets_views_and_batches():
    long_text = "a text beyond the inline twelve"
    batches = [
        [Col(3, [None, i64s([9, 1, 2])]), Col(3, [None, view("x") + view(long_text, 0, 0) + view("yz"), long_text.encode(), i64s([len(long_text)])])],
        [Col(2, [bitmap([0, 1]), i64s([0, 3])], null_count=1, offset=0), Col(2, [None, view("p") + view("q"), i64s([])], n_buffers=3)],
    ]
    stream = FakeStream([I64, VIEW], batches, batch_offset=1)
    # The batch offset applies to every column; the second batch has one null.
    assert ingest(stream, {"a": "i64?"})[1] == [["I64(1)", "I64(2)", "I64(3)"], [f'Str("{long_text}")', 'Str("yz")', 'Str("q")']]
    assert stream.released == {"stream": 1, "schema": 1, "array": 2}


DICT_CASES = [
    ({"a": [1, 2.5]}, None, [("a", "F64")], [["F64(1.0)", "F64(2.5)"]]),
    ({"a": [2.5, 1]}, None, [("a", "F64")], [["F64(2.5)", "F64(1.0)"]]),
    ({"a": [1, 2], "b": ["x", "y"]}, None, [("a", "I64"), ("b", "Str")], [["I64(1)", "I64(2)"], ['Str("x")', 'Str("y")']]),
    ({"a": [1, 2]}, {"a": "f64"}, [("a", "F64")], [["F64(1.0)", "F64(2.0)"]]),
    ({"a": []}, {"a": "String"}, [("a", "Str")], [[]]),
    ({"a": [None, 3]}, {"a": "i64?"}, [("a", "I64")], [["Null", "I64(3)"]]),
    ({"a": [None]}, {"a": "bool?"}, [("a", "Bool")], [["Null"]]),
    ({"d": ["1.5", 2, D("3.255")]}, {"d": "decimal(6,2)"}, [("d", "Dec { p: 6, s: 2 }")],
     [["Dec { u: 150, s: 2 }", "Dec { u: 200, s: 2 }", "Dec { u: 326, s: 2 }"]]),
    ({}, None, [], []),
]


@pytest.mark.parametrize("data, schema, fields, columns", DICT_CASES)
def test_dict_form(data, schema, fields, columns):
    assert ingest(data, schema) == (fields, columns)


@pytest.mark.parametrize(
    "data, schema, exc, message",
    [
        ({"a": [1, "x"]}, None, TypeError, "T.a: mixed types I64 vs Str"),
        ({"a": [True, 1]}, None, TypeError, "T.a: mixed types Bool vs I64"),
        ({"a": [1]}, {"a": "String"}, TypeError, "T.a: mixed types Str vs I64"),
        ({"d": [True]}, {"d": "decimal(10,2)"}, TypeError, "T.d: mixed types Dec { p: 10, s: 2 } vs Bool"),
        ({"a": []}, None, TypeError,
         "T.a: empty column — schema cannot be inferred; pass an Arrow table with an explicit schema instead"),
        ({"a": [1], "b": [1, 2]}, None, ValueError, "T: ragged columns (1 vs 2 rows)"),
        ({"a": [1], "b": [1, "x"]}, None, TypeError, "T.b: mixed types I64 vs Str"),
        ({"a": (1, 2)}, None, TypeError, "T.a: expected a list of values"),
        ({1: [1]}, None, TypeError, "'int' object cannot be converted to 'PyString'"),
        ({"a": [None]}, None, ValueError,
         "T.a: None is outside the certified subset for a non-nullable field — declare it Optional[...] to opt in (D-097)"),
    ],
)
def test_dict_form_refusals(data, schema, exc, message):
    assert refusal(exc, data, schema) == message


def test_column_names_must_be_utf8():
    bad = FakeStream([("a", "l"), (b"b\xff", "l")], [[Col(1, [None, i64s([1])]), Col(1, [None, i64s([2])])]])
    assert refusal(ValueError, bad) == "T: column 1 name b'b\\xff' is not valid UTF-8"
    # Refused before any batch is read, under a declared schema too.
    assert bad.released == {"stream": 1, "schema": 1, "array": 0}
    surrogate = FakeStream([(b"\xed\xa0\x80", "l")], [])
    assert refusal(ValueError, surrogate, {"a": "i64"}) == "T: column 0 name b'\\xed\\xa0\\x80' is not valid UTF-8"
    quote = FakeStream([(b"it's\x80", "l")], [])
    assert refusal(ValueError, quote) == 'T: column 0 name b"it\'s\\x80" is not valid UTF-8'
    assert ingest(FakeStream([("é", "l")], [[Col(1, [None, i64s([5])])]])) == ([("é", "I64")], [["I64(5)"]])


def decimals(texts, p, s):
    return pa.table({"d": pa.array([D(t) for t in texts], pa.decimal128(p, s))})


@pytest.mark.parametrize(
    "table, schema, field, values",
    [
        # The largest magnitude decimal(5,2) holds, as it is and after rounding.
        (decimals(["999.99", "-999.99"], 5, 2), {"d": "decimal(5,2)"}, "Dec { p: 5, s: 2 }", [99999, -99999]),
        (decimals(["999.994", "-999.994"], 6, 3), {"d": "decimal(5,2)"}, "Dec { p: 5, s: 2 }", [99999, -99999]),
        (decimals(["999.99"], 5, 2), None, "Dec { p: 5, s: 2 }", [99999]),
        # A scale equal to the precision.
        (decimals(["0.99999", "-0.99999"], 5, 5), None, "Dec { p: 5, s: 5 }", [99999, -99999]),
        (decimals(["0.99999"], 5, 5), {"d": "decimal(5,5)"}, "Dec { p: 5, s: 5 }", [99999]),
        (decimals(["0." + "9" * 38], 38, 38), None, "Dec { p: 38, s: 38 }", [10**38 - 1]),
    ],
)
def test_decimal_bounds_accepted(table, schema, field, values):
    s = int(field.split("s: ")[1].rstrip(" }"))
    assert ingest(table, schema) == ([("d", field)], [[f"Dec {{ u: {u}, s: {s} }}" for u in values]])


@pytest.mark.parametrize(
    "table",
    [
        decimals(["1000.00"], 6, 2),
        decimals(["-1000.00"], 6, 2),
        decimals(["999.995"], 6, 3),
        decimals(["-999.995"], 6, 3),
    ],
)
def test_decimal_bounds_refused(table):
    assert refusal(ValueError, table, {"d": "decimal(5,2)"}) == "T.d: decimal value overflows decimal(5,2)"


def test_a_table_changed_by_its_owner_after_the_insert_leaves_the_session_as_inserted():
    # An Arrow table may share its buffers with memory its owner goes on
    # writing (an array over a reused buffer): the session keeps the cells as
    # they were when it read them.
    import numpy as np
    import polars as pl
    import quarn

    buf = np.arange(3, dtype=np.int64)
    weights = np.array([0.5, 1.5, 2.5])
    s = quarn.Session("rule none when P(k < 0) then end", {"P": pa.table({"k": buf, "w": weights})})
    buf[:] = [7, 8, 9]
    weights[0] = -1.0
    assert pl.DataFrame(s.fire().facts()["P"]).rows() == [(0, 0, 0.5), (1, 1, 1.5), (2, 2, 2.5)]
