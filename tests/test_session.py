"""Session construction, field schemas, and inserting tables and rows."""

import decimal
import gc

import pyarrow as pa
import pytest
import quarn
import quarn._native as native
import quarn_probe as probe
from arrow_fakes import Col, FakeStream, i64s

D = decimal.Decimal
NO_TYPES = "session has no declared types: construct with facts= to establish schemas"


def stored(session):
    """Live facts as (handle, type, {field: debug form})."""
    return [(h, t, dict(fields)) for h, t, fields in probe.facts(session)]


def refusal(exc, fn, *args, **kwargs):
    with pytest.raises(exc) as e:
        fn(*args, **kwargs)
    return str(e.value)


def test_module_surface():
    assert [n for n in dir(native) if not n.startswith("__")] == ["Result", "Session", "Table", "run"]
    assert (quarn.Session, quarn.Result, quarn.Table, quarn.run) == (native.Session, native.Result, native.Table, native.run)
    assert native.Session.__text_signature__ == "(rules, facts=None, schemas=None, events=None)"
    assert native.Session.insert.__text_signature__ == "($self, type_name, data)"
    for cls in (native.Result, native.Table):
        assert refusal(TypeError, cls) == "No constructor defined"


def test_module_is_one_object_and_refuses_a_second_interpreter():
    import importlib
    import sys

    subinterpreters = pytest.importorskip("_xxsubinterpreters")
    first = sys.modules.pop("quarn._native")
    try:
        assert importlib.import_module("quarn._native") is first
    finally:
        sys.modules["quarn._native"] = first
    interp = subinterpreters.create()
    try:
        with pytest.raises(subinterpreters.RunFailedError, match="ImportError"):
            subinterpreters.run_string(interp, "import quarn._native")
    finally:
        subinterpreters.destroy(interp)


def test_no_cpp_exception_reaches_the_interpreter():
    with pytest.raises(BaseException) as e:
        probe.fail("unreachable")
    cls = type(e.value)
    assert (cls.__name__, cls.__module__, issubclass(cls, Exception)) == ("InternalError", "quarn._native", False)
    assert str(e.value) == "internal error: entered unreachable code: probe"
    assert not hasattr(native, "InternalError")
    with pytest.raises(MemoryError):
        probe.fail("bad_alloc")
    for kind, text in [("logic", "internal error: probe logic"), ("other", "internal error: unknown exception")]:
        with pytest.raises(BaseException) as e:
            probe.fail(kind)
        assert (type(e.value), str(e.value)) == (cls, text)


@pytest.mark.parametrize(
    "spec, value, expected",
    [
        ("i64", 5, "I64(5)"),
        ("i64?", None, "Null"),
        ("f64", 5, "F64(5.0)"),
        ("String", "x", 'Str("x")'),
        ("bool", True, "Bool(true)"),
        ("decimal(38,38)", "0.5", "Dec { u: 50000000000000000000000000000000000000, s: 38 }"),
        ("decimal( 10 , +2 )", 3, "Dec { u: 300, s: 2 }"),
        ("decimal(\u00a010,2\u2003)?", None, "Null"),
    ],
)
def test_field_specifications(spec, value, expected):
    s = native.Session("", schemas={"P": {"a": spec}})
    assert s.insert_row("P", {"a": value}) == 0
    assert stored(s) == [(0, "P", {"a": expected})]


NEEDS = "P.a: decimal(p,s) needs 1<=p<=38, 0<=s<=p"


@pytest.mark.parametrize(
    "spec, message",
    [
        ("decimal(0,0)", NEEDS),
        ("decimal(39,2)", NEEDS),
        ("decimal(255,2)", NEEDS),
        ("decimal(10,11)", NEEDS),
        ("decimal(10)", 'P.a: bad decimal spec "decimal(10)"'),
        ("decimal(10,2,1)", 'P.a: bad decimal spec "decimal(10,2,1)"'),
        ("decimal(-1,2)", 'P.a: bad decimal spec "decimal(-1,2)"'),
        ("decimal(300,2)", 'P.a: bad decimal spec "decimal(300,2)"'),
        ("decimal(,2)?", 'P.a: bad decimal spec "decimal(,2)?"'),
        ("I64", 'P.a: unknown subset type "I64"'),
        ("string", 'P.a: unknown subset type "string"'),
        ("Bool", 'P.a: unknown subset type "Bool"'),
        ("Decimal(10,2)", 'P.a: unknown subset type "Decimal(10,2)"'),
        ("i64 ", 'P.a: unknown subset type "i64 "'),
        ("?", 'P.a: unknown subset type ""'),
        ("i64??", 'P.a: unknown subset type "i64?"'),
        ("decimal(10,2", 'P.a: unknown subset type "decimal(10,2"'),
    ],
)
def test_field_specification_refusals(spec, message):
    assert refusal(ValueError, native.Session, "", schemas={"P": {"a": spec}}) == message


@pytest.mark.parametrize(
    "kwargs, exc, message",
    [
        ({"rules": 1}, TypeError, "argument 'rules': 'int' object cannot be converted to 'PyString'"),
        ({"rules": "", "facts": []}, TypeError, "argument 'facts': 'list' object cannot be converted to 'PyDict'"),
        ({"rules": "", "schemas": 1}, TypeError, "argument 'schemas': 'int' object cannot be converted to 'PyDict'"),
        ({"rules": "", "events": ()}, TypeError, "argument 'events': 'tuple' object cannot be converted to 'PyDict'"),
        # A value inside an argument: no argument prefix.
        ({"rules": "", "schemas": {"P": ["a"]}}, TypeError, "'list' object cannot be converted to 'PyDict'"),
        ({"rules": "", "schemas": {"T": 5}}, TypeError, "'int' object cannot be converted to 'PyDict'"),
        ({"rules": "", "schemas": {"P": {"a": 1}}}, TypeError, "argument 'schemas': 'int' object cannot be converted to 'PyString'"),
        ({"rules": "", "schemas": {1: {}}}, TypeError, "argument 'schemas': 'int' object cannot be converted to 'PyString'"),
        ({"rules": "", "facts": {1: {}}}, TypeError, "argument 'facts': 'int' object cannot be converted to 'PyString'"),
        ({"rules": "", "events": {1: ("ts", 1)}}, TypeError, "argument 'events': 'int' object cannot be converted to 'PyString'"),
        ({"rules": "", "events": {"E": ["ts", 1]}}, TypeError, "argument 'events': 'list' object cannot be converted to 'PyTuple'"),
        ({"rules": "", "events": {"E": ("ts", 1, 2)}}, ValueError, "expected tuple of length 2, but got tuple of length 3"),
        ({"rules": "", "events": {"E": ("ts", "1")}}, TypeError, "argument 'events': 'str' object cannot be interpreted as an integer"),
        ({"rules": "", "events": {"E": ("ts", 2**63)}}, OverflowError, None),
        # Events are read before schemas, schemas before facts.
        ({"rules": "", "facts": {"P": []}, "schemas": {"Q": {"a": "x"}}, "events": {"E": ("ts",)}}, ValueError,
         "expected tuple of length 2, but got tuple of length 1"),
        ({"rules": "", "facts": {"P": []}, "schemas": {"Q": {"a": "x"}}}, ValueError, 'Q.a: unknown subset type "x"'),
        ({"rules": "", "facts": {"P": [], "Q": {"a": [1]}}}, TypeError,
         "expected an Arrow-compatible table (anything implementing __arrow_c_stream__: polars.DataFrame, "
         "pyarrow.Table, ...) or a dict of column lists"),
        ({"rules": "", "schemas": {"InitialFact": {}}}, ValueError, "engine error: type name InitialFact is reserved"),
        ({"rules": "", "facts": {"Long": {"value": [1]}}}, ValueError, "engine error: type name Long is reserved"),
        ({"rules": "", "schemas": {"P": {f"f{i}": "i64" for i in range(65)}}}, ValueError,
         "engine error: type P: more than 64 fields"),
        # The build follows every conversion and precedes every row.
        ({"rules": "rule oops", "facts": {"P": []}}, TypeError,
         "expected an Arrow-compatible table (anything implementing __arrow_c_stream__: polars.DataFrame, "
         "pyarrow.Table, ...) or a dict of column lists"),
        ({"rules": "rule oops", "facts": {"P": {"a": [None]}}, "schemas": {"P": {"a": "i64?"}}}, ValueError,
         "engine error: rule parse error: expected rule attribute or 'when', got None at line 1, col 6:\n"
         "  rule oops\n       ^"),
        ({"rules": "", "schemas": {"E": {"ts": "i64"}}, "events": {"F": ("ts", 5)}}, ValueError, "engine error: unknown type F"),
        ({"rules": "", "facts": {}, "events": {"F": ("ts", 5)}}, ValueError, "engine error: unknown type F"),
        ({"rules": "", "schemas": {"E": {"ts": "i64"}}, "events": {"E": ("t", 5)}}, ValueError, "engine error: E has no field t"),
        ({"rules": "", "schemas": {"E": {"ts": "i64"}}, "events": {"E": ("ts", -1)}}, ValueError,
         "engine error: expires_ms must be >= 0"),
        ({"rules": "", "schemas": {"P": {"a": "i64", "b": "String"}}, "facts": {"P": {"b": ["x"], "a": [1]}}}, ValueError,
         'P: table schema differs from the declared schema (declared [("a", I64), ("b", Str)], table [("b", Str), ("a", I64)])'),
        ({"rules": "", "schemas": {"P": {"d": "decimal(10,2)"}}, "facts": {"P": {"d": [1], "e": [2]}}}, ValueError,
         'P: table schema differs from the declared schema (declared [("d", Dec { p: 10, s: 2 })], '
         'table [("d", Dec { p: 10, s: 2 }), ("e", I64)])'),
    ],
)
def test_construction_refusals(kwargs, exc, message):
    text = refusal(exc, native.Session, **kwargs)
    # None: the interpreter's own text.
    assert message is None or text == message


def test_sessions_with_and_without_an_engine():
    # Without types the build waits for the first fire: nothing is checked yet.
    bare = native.Session("rule oops", events={"F": ("ts", -1)})
    assert refusal(RuntimeError, bare.insert, "P", {"a": [1]}) == NO_TYPES
    assert refusal(RuntimeError, bare.insert_row, "P", {"a": 1}) == NO_TYPES
    empty = native.Session("", facts={})
    assert refusal(ValueError, empty.insert, "P", {"a": [1]}) == (
        "unknown fact type P (types are declared by the constructor's tables)")
    assert refusal(ValueError, empty.insert_row, "P", {"a": 1}) == "unknown fact type P"
    events = native.Session("", schemas={"E": {"ts": "i64"}}, events={"E": ("ts", 100)})
    assert events.insert_row("E", {"ts": 7}) == 0
    fieldless = native.Session("", schemas={"Tick": {}})
    assert fieldless.insert("Tick", {}) == []
    assert fieldless.insert_row("Tick", {"ignored": 1}) == 0
    assert stored(fieldless) == [(0, "Tick", {})]


def test_initial_tables_in_dictionary_order_and_declared_nullability():
    a = pa.table({"x": pa.array([1, 2], pa.int64())}, schema=pa.schema([pa.field("x", pa.int64(), nullable=False)]))
    s = native.Session("", facts={"B": {"n": [True]}, "A": a, "C": {"v": [None, 2.5]}}, schemas={"C": {"v": "f64?"}})
    assert stored(s) == [
        (0, "B", {"n": "Bool(true)"}),
        (1, "A", {"x": "I64(1)"}),
        (2, "A", {"x": "I64(2)"}),
        (3, "C", {"v": "Null"}),
        (4, "C", {"v": "F64(2.5)"}),
    ]


@pytest.fixture
def people():
    return native.Session("", facts={"P": {"name": ["ann"], "age": [30]}})


def test_insert_returns_handles_in_row_order(people):
    assert people.insert("P", {"name": ["bob", "cy"], "age": [41, 52]}) == [1, 2]
    assert people.insert("P", pa.table({"name": ["dee"], "age": pa.array([7], pa.int8())})) == [3]
    assert people.insert("P", {"name": [], "age": []}) == []
    assert people.insert_row("P", {"age": 9, "name": "eve", "extra": object()}) == 4
    assert [f[2]["name"] for f in stored(people)] == ['Str("ann")', 'Str("bob")', 'Str("cy")', 'Str("dee")', 'Str("eve")']
    assert stored(people)[3] == (3, "P", {"name": 'Str("dee")', "age": "I64(7)"})


def test_insert_takes_the_declared_type_and_the_engine_converts():
    rules = 'rule "big"\nwhen\n  $m : M(v > 1.5)\nthen\nend\n'
    s = native.Session(rules, schemas={"M": {"v": "f64", "d": "decimal(6,2)"}})
    assert s.insert("M", pa.table({"v": pa.array([1, 2], pa.int64()), "d": ["1.255", "7"]})) == [0, 1]
    assert stored(s) == [(0, "M", {"v": "F64(1.0)", "d": "Dec { u: 126, s: 2 }"}),
                         (1, "M", {"v": "F64(2.0)", "d": "Dec { u: 700, s: 2 }"})]


@pytest.mark.parametrize(
    "data, exc, message",
    [
        ({"age": [1], "name": ["x"]}, ValueError, "P: schema mismatch with the declaring table"),
        ({"name": ["x"], "age": [1], "more": [1]}, ValueError, "P: schema mismatch with the declaring table"),
        ({"name": ["x"], "age": [1.5]}, ValueError, "P: schema mismatch with the declaring table"),
        ({"name": ["x"], "age": [None]}, ValueError,
         "P.age: None is outside the certified subset for a non-nullable field — declare it Optional[...] to opt in (D-097)"),
        ([("x", 1)], TypeError,
         "expected an Arrow-compatible table (anything implementing __arrow_c_stream__: polars.DataFrame, "
         "pyarrow.Table, ...) or a dict of column lists"),
        # Every row is checked before the first is inserted.
        (pa.table({"name": ["a", "b", "c"], "age": ["1", "2", "x"]}), ValueError, "engine error: P.age: type mismatch"),
    ],
)
def test_insert_refusals_change_nothing(people, data, exc, message):
    assert refusal(exc, people.insert, "P", data) == message
    assert stored(people) == [(0, "P", {"name": 'Str("ann")', "age": "I64(30)"})]
    assert people.insert_row("P", {"name": "z", "age": 1}) == 1


def test_delete_and_advance_take_their_argument_by_position_or_name_and_refuse_other_forms(people):
    people.insert("P", {"name": ["bob", "cy", "dee"], "age": [1, 2, 3]})
    people.delete(1)
    people.delete(handle=2)
    people.advance(5)
    people.advance(ms=5)
    assert [h for h, _, _ in stored(people)] == [0, 3]
    for call, message in [
        (lambda: people.delete(), "delete() missing required argument 'handle' (pos 1)"),
        (lambda: people.delete(0, 3), "delete() takes at most 1 argument (2 given)"),
        (lambda: people.delete(0, handle=3), "delete() takes at most 1 argument (2 given)"),
        (lambda: people.delete(hnd=0), "delete() missing required argument 'handle' (pos 1)"),
        (lambda: people.advance(), "advance() missing required argument 'ms' (pos 1)"),
        (lambda: people.advance(1, 2), "advance() takes at most 1 argument (2 given)"),
    ]:
        assert refusal(TypeError, call) == message
    assert [h for h, _, _ in stored(people)] == [0, 3]


def test_all_or_nothing_insert_reports_the_engines_first_refusal():
    s = native.Session("", schemas={"Q": {"a": "decimal(5,2)", "b": "decimal(5,2)"}})
    table = pa.table({"a": ["1", "2", "3", "4"], "b": ["1", "2", "2000", "x"]})
    # Row 2 fails first, on field b, before row 3's worse text.
    assert refusal(ValueError, s.insert, "Q", table) == "engine error: Q.b: type mismatch"
    assert stored(s) == []
    assert s.insert("Q", pa.table({"a": ["1"], "b": ["2"]})) == [0]


@pytest.mark.parametrize(
    "row, exc, message",
    [
        ({"age": 3}, ValueError, "P: missing field name"),
        ({}, ValueError, "P: missing field name"),
        ({"name": None, "age": 3}, ValueError,
         "P.name: None is outside the certified subset for a non-nullable field — declare it Optional[...] to opt in (D-097)"),
        ({"name": "x", "age": "3"}, ValueError, "engine error: P.age: type mismatch"),
        ({"name": "x", "age": b"3"}, TypeError, "P.age: unsupported scalar bytes"),
        ([("name", "x")], TypeError, "argument 'row': 'list' object cannot be converted to 'PyDict'"),
    ],
)
def test_insert_row_refusals_change_nothing(people, row, exc, message):
    assert refusal(exc, people.insert_row, "P", row) == message
    assert len(stored(people)) == 1


def test_insert_row_lookup_errors_pass_through(people):
    class Strict(dict):
        def __getitem__(self, key):
            raise LookupError(f"no {key}")

    with pytest.raises(LookupError, match="no name"):
        people.insert_row("P", Strict(name="x", age=1))


def test_a_session_in_use_is_already_borrowed(people):
    class Reentrant:
        def __arrow_c_stream__(self, requested_schema=None):
            return people.insert_row("P", {"name": "x", "age": 1})

    assert refusal(RuntimeError, people.insert, "P", Reentrant()) == "Already borrowed"
    s = native.Session("", schemas={"M": {"d": "decimal(5,2)"}})
    holder = {"s": s}

    class Inner(D):
        def __str__(self):
            holder["s"].insert_row("M", {"d": 1})
            return "1"

    assert refusal(RuntimeError, s.insert_row, "M", {"d": Inner("1")}) == "Already borrowed"
    # The borrow ends with the call.
    assert people.insert_row("P", {"name": "w", "age": 5}) == 1
    assert s.insert_row("M", {"d": 2}) == 0


@pytest.mark.parametrize(
    "kwargs, message",
    [
        # Cut at the NUL, both types would come back as "A".
        ({"facts": {"A\0x": {"a": [1]}, "A\0y": {"a": [2]}}}, "type name 'A\\x00x' contains a NUL character"),
        ({"facts": {"A\udcff": {"a": [1]}}}, "type name 'A\\udcff' is not valid UTF-8"),
        ({"facts": {"A": {"a": [1], "b\0": [2]}}}, "A: column 1 name 'b\\x00' contains a NUL character"),
        ({"facts": {"A": {"\ud800": [1]}}}, "A: column 0 name '\\ud800' is not valid UTF-8"),
        ({"schemas": {"T\0": {}}}, "type name 'T\\x00' contains a NUL character"),
        ({"schemas": {"T": {"a": "i64", "b\0c": "i64"}}}, "T: field 1 name 'b\\x00c' contains a NUL character"),
        ({"schemas": {"T": {"\udc80": "i64"}}}, "T: field 0 name '\\udc80' is not valid UTF-8"),
        ({"events": {"E\0": ("ts", 1)}}, "type name 'E\\x00' contains a NUL character"),
        ({"schemas": {"E": {"ts": "i64"}}, "events": {"E": ("t\0s", 1)}},
         "E: timestamp field name 't\\x00s' contains a NUL character"),
        # Events are read before schemas.
        ({"schemas": {"T\0": {}}, "events": {"E": ("\udcff", 1)}},
         "E: timestamp field name '\\udcff' is not valid UTF-8"),
    ],
)
def test_names_with_a_nul_or_not_utf8_are_refused(kwargs, message):
    assert refusal(ValueError, native.Session, "", **kwargs) == message


def test_refused_names_leave_the_session_unchanged(people):
    before = stored(people)
    bad_stream = FakeStream([("name", "u"), (b"age\xff", "l")], [])
    cases = [
        (lambda: people.insert("P\0", {"name": ["x"], "age": [1]}), "type name 'P\\x00' contains a NUL character"),
        (lambda: people.insert("P", {"name": ["x"], "age\0": [1]}), "P: column 1 name 'age\\x00' contains a NUL character"),
        (lambda: people.insert("P", bad_stream), "P: column 1 name b'age\\xff' is not valid UTF-8"),
        (lambda: people.insert_row("P\udcff", {"name": "x", "age": 1}), "type name 'P\\udcff' is not valid UTF-8"),
        (lambda: people.update(0, **{"age\0": 5}), "update: field name 'age\\x00' contains a NUL character"),
    ]
    assert [refusal(ValueError, call) for call, _ in cases] == [message for _, message in cases]
    assert bad_stream.released == {"stream": 1, "schema": 1, "array": 0}
    assert stored(people) == before
    assert people.insert_row("P", {"name": "z", "age": 1}) == 1


def test_arrow_column_names_that_are_not_utf8_refuse_the_construction():
    stream = FakeStream([("a", "l"), (b"b\xc3", "l")], [[Col(1, [None, i64s([1])]), Col(1, [None, i64s([2])])]])
    assert refusal(ValueError, native.Session, "", facts={"T": stream}) == "T: column 1 name b'b\\xc3' is not valid UTF-8"
    assert stream.released == {"stream": 1, "schema": 1, "array": 0}


# Fires until the rules are done: "first" three times (salience), then
# "second" once per P.
FAULT_RULES = (
    'rule "first"\nsalience 10\nwhen\n  $p : P(n > 0)\nthen\nend\n'
    'rule "second"\nwhen\n  $p : P()\n  $q : Q()\nthen\nend\n'
)
FAULT_FACTS = {"P": {"n": [1, 2, 3]}, "Q": {"k": [7]}}


def broken(cause):
    return f"session broken by an earlier failure ({cause}): reset() or a new session is needed"


def audit(result):
    return pa.table(result.firings()).to_pylist()


def raised_by(fn, *args, **kwargs):
    with pytest.raises(BaseException) as e:
        fn(*args, **kwargs)
    return e.value


def is_internal(exc):
    cls = type(exc)
    return (cls.__name__, cls.__module__, issubclass(cls, Exception)) == ("InternalError", "quarn._native", False)


@pytest.mark.parametrize(
    "fault, cause",
    [("fire_oom", "out of memory"), ("fire_internal", "internal error: injected failure in the firing loop")],
)
def test_a_fire_that_fails_inside_the_firing_loop_breaks_the_session(fault, cause):
    s = native.Session(FAULT_RULES, facts=FAULT_FACTS)
    probe.arm(s, fault, 2)
    seen = []
    first = raised_by(s.fire, on_fire=lambda rule, matches: seen.append(rule))
    kind = MemoryError if fault == "fire_oom" else type(first)
    assert (isinstance(first, MemoryError), is_internal(first)) == (fault == "fire_oom", fault == "fire_internal")
    assert str(first) == ("" if fault == "fire_oom" else cause)
    assert seen == []
    # The engine stopped in the middle of its loop: rather than answer over
    # half-evaluated rules, every call but reset() refuses.
    calls = [
        lambda: s.fire(),
        lambda: s.fire(fire_limit=0),
        lambda: s.insert("P", {"n": [4]}),
        lambda: s.insert_row("Q", {"k": 8}),
        lambda: s.update(0, n=5),
        lambda: s.delete(0),
        lambda: s.advance(1),
    ]
    for call in calls:
        e = raised_by(call)
        assert (type(e), str(e)) == (kind, broken(cause))
    s.reset()
    assert stored(s) == []
    for name, table in FAULT_FACTS.items():
        s.insert(name, table)
    again = s.fire()
    fresh = native.Session(FAULT_RULES, facts=FAULT_FACTS).fire()
    assert (again.fired, audit(again)) == (fresh.fired, audit(fresh))
    # One audit row per matched fact.
    assert [row["rule"] for row in audit(again)] == ["first"] * 3 + ["second"] * 6
    assert s.fire().fired == 0
    s.reset()
    assert s.insert_row("P", {"n": 1}) == 0
    # A broken session can be dropped as it is.
    dropped = native.Session(FAULT_RULES, facts=FAULT_FACTS)
    probe.arm(dropped, fault, 0)
    raised_by(dropped.fire)
    del dropped
    gc.collect()


@pytest.mark.parametrize("fault", ["fire_oom", "fire_internal"])
def test_the_engine_of_a_broken_session_refuses_reads_with_the_failure_that_broke_it(fault):
    s = native.Session(FAULT_RULES, facts=FAULT_FACTS)
    assert len(stored(s)) == 4
    probe.arm(s, fault, 1)
    first = raised_by(s.fire)
    # The engine itself refuses, not only the session's methods: its facts
    # are read past the session, and give the original failure again.
    again = raised_by(probe.facts, s)
    if fault == "fire_oom":
        assert (type(first), type(again)) == (MemoryError, MemoryError)
    else:
        cause = "internal error: injected failure in the firing loop"
        assert (is_internal(first), str(first)) == (True, cause)
        assert (is_internal(again), str(again)) == (True, cause)
    # So do the session's calls, a rejected one first: an unknown type is
    # not even looked up.
    e = raised_by(s.insert, "Nope", {"n": [1]})
    assert str(e) == broken("out of memory" if fault == "fire_oom" else cause)
    s.reset()
    assert stored(s) == []
    assert s.insert("P", FAULT_FACTS["P"]) == [0, 1, 2]
    assert [h for h, _, _ in stored(s)] == [0, 1, 2]


@pytest.mark.parametrize(
    "fault, cause",
    [("fire_oom", "out of memory"), ("fire_internal", "internal error: injected failure in the firing loop")],
)
def test_reset_lets_the_broken_engine_go_before_it_builds_the_next(fault, cause):
    s = native.Session(FAULT_RULES, facts=FAULT_FACTS)
    probe.arm(s, fault, 1)
    raised_by(s.fire)
    # Out of memory, the broken engine still holds what it had: at a limit
    # with room for one engine, a build beside it fails.
    probe.arm(s, "build_oom_beside_engine")
    s.reset()
    assert stored(s) == []
    for name, table in FAULT_FACTS.items():
        s.insert(name, table)
    assert s.fire().fired == 6
    # A build that fails even so leaves the session broken by the first
    # failure, and a later reset() builds the engine.
    s.insert_row("P", {"n": 4})
    probe.arm(s, fault, 0)
    raised_by(s.fire)
    probe.arm(s, "build_oom")
    e = raised_by(s.reset)
    assert (type(e), str(e)) == (MemoryError, "")
    for call in (s.fire, lambda: s.insert_row("Q", {"k": 8}), lambda: s.update(0, n=5), lambda: s.delete(0),
                 lambda: s.advance(1)):
        e = raised_by(call)
        kind_holds = type(e) is MemoryError if fault == "fire_oom" else is_internal(e)
        assert (kind_holds, str(e)) == (True, broken(cause))
    assert stored(s) == []
    s.reset()
    assert s.insert_row("P", {"n": 1}) == 0
    assert s.fire().fired == 1


def test_a_fire_reports_the_handles_it_deleted_and_the_facts_it_added():
    rules = (
        'rule "flag"\nwhen\n  $p : P($n : n, n > 100)\nthen\n  insert(new Alert($n));\n  delete($p);\nend\n'
        'rule "drop"\nwhen\n  $q : Q(k == 0)\n  $p : P(n == 1)\nthen\n  delete($p);\n  delete($q);\nend\n'
    )
    s = native.Session(rules, facts={"P": {"n": [1, 2, 500]}, "Q": {"k": [0]}}, schemas={"Alert": {"n": "i64"}})
    r = s.fire()
    assert (r.fired, r.deleted_handles()) == (2, [0, 2, 3])
    assert pa.table(r.derived()["Alert"]).to_pylist() == [{"_handle": 4, "n": 500}]
    assert pa.table(r.derived()["P"]).num_rows == 0
    # A fact the fire inserted and deleted is in no table; one inserted
    # before the fire and kept is not derived.
    assert s.insert("P", {"n": [700, 7]}) == [5, 6]
    s.delete(1)
    r = s.fire()
    assert (r.fired, r.deleted_handles()) == (1, [5])
    assert pa.table(r.derived()["Alert"]).to_pylist() == [{"_handle": 7, "n": 700}]
    assert pa.table(r.derived()["P"]).num_rows == 0
    assert pa.table(r.facts()["P"]).to_pylist() == [{"_handle": 6, "n": 7}]


def test_a_memory_error_raised_by_python_code_leaves_the_session_working():
    s = native.Session(FAULT_RULES, facts=FAULT_FACTS)

    def observer(rule, matches):
        raise MemoryError("observer")

    assert str(raised_by(s.fire, on_fire=observer)) == "observer"
    # The run was whole; only its report was cut short.
    assert s.fire().fired == 0
    assert s.insert_row("P", {"n": 4}) == 4
    seen = []
    assert s.fire(on_fire=lambda rule, matches: seen.append((rule, matches))).fired == 2
    assert seen == [("first", [("P", 4)]), ("second", [("P", 4), ("Q", 3)])]


@pytest.mark.parametrize(
    "fire_first, engine_text",
    [(False, "type M: column 0 does not fit field v"), (True, "column type mismatch for value I64(1)")],
)
def test_the_row_check_and_the_engine_disagreeing_breaks_the_session(fire_first, engine_text):
    rules = 'rule "pos"\nwhen\n  $m : M(v > 0)\nthen\nend\n'
    s = native.Session(rules, schemas={"M": {"v": "f64"}})
    assert s.insert_row("M", {"v": 1.5}) == 0
    if fire_first:
        # From now on each row propagates as it is stored.
        assert s.fire().fired == 1
    probe.arm(s, "skip_insert_check")
    text = "internal error: the row check and the engine disagree: " + engine_text
    e = raised_by(s.insert, "M", pa.table({"v": pa.array([1, 2], pa.int64())}))
    assert (is_internal(e), str(e)) == (True, text)
    e = raised_by(s.insert_row, "M", {"v": 2.5})
    assert (is_internal(e), str(e)) == (True, broken(text))
    s.reset()
    assert s.insert("M", pa.table({"v": [2.5, -1.0]})) == [0, 1]
    assert s.fire().fired == 1


def test_decimal_bounds_through_a_session():
    s = native.Session("", schemas={"M": {"d": "decimal(5,2)"}})
    assert s.insert("M", pa.table({"d": pa.array([D("999.99"), D("-999.99")], pa.decimal128(5, 2))})) == [0, 1]
    assert s.insert_row("M", {"d": D("999.994")}) == 2
    refused = [
        (pa.table({"d": pa.array([D("1000.00")], pa.decimal128(6, 2))}), "M.d: decimal value overflows decimal(5,2)"),
        ({"d": [D("-999.995")]}, "M.d: -999.995 does not fit decimal(5,2)"),
        ({"d": ["1000"]}, 'M.d: "1000" does not fit decimal(5,2)'),
    ]
    assert [refusal(ValueError, s.insert, "M", data) for data, _ in refused] == [m for _, m in refused]
    assert [f[2]["d"] for f in stored(s)] == ["Dec { u: 99999, s: 2 }", "Dec { u: -99999, s: 2 }", "Dec { u: 99999, s: 2 }"]
