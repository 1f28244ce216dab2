"""The engine's behaviour cases (engine/tests/data/, format in
engine/tests/engine_case_file.h) replayed through quarn.Session.

Every run case becomes a session: the file's type lines its schemas, its event
lines its events, the case's rule text its rules. Each command is a call --
insert -> insert_row, update, delete, advance, reset, fire [limit] ->
fire(fire_limit, on_fire), facts -> the last fire's facts() -- and what the
calls hand back is written in the engine's debug forms: a firing from the
observer's (type, handle) pairs and the audit table's values_json, typed by
the fact tables' Arrow types; working memory from those tables. The text must
equal the case's expected output.

What the Python API cannot say is never guessed: a command that exists only
for the engine (load, trace, tms-debug, fire trace); working memory between
fires or after a failed fire (a Result shows it only as a completed fire left
it); an event declared without an expiry or with a duration (a case that never
names the type runs without the declaration); an insert or update that the
session checks itself, with messages of its own. Such a case carries
`engine-only: <why>` below its heading: it is replayed up to what the session
cannot say, the text written by then must open its expected output, and it is
skipped with its reason. An unmarked one fails and says what it needs; a
marked one that replays in full fails too. One thing is compared more loosely
than the engine's runner does: a collection's member facts carry no handle
through the API (values_json holds their fields), so members compare as
Type#?(...).
"""

import dataclasses
import decimal
import json
import math
import os
import re
import subprocess
import sys
from pathlib import Path

import pyarrow as pa
import pytest
import quarn

DATA = Path(__file__).resolve().parent.parent / "engine" / "tests" / "data"
FOLDERS = ("compile", "run")
COMMANDS = {"insert", "update", "delete", "advance", "load", "fire", "facts", "reset", "tms-debug"}


class EngineOnly(Exception):
    """What the case asks cannot be said through the Python API."""


# --- The case files.

@dataclasses.dataclass
class Header:
    types: list = dataclasses.field(default_factory=list)   # (name, [(field, spec)])
    events: list = dataclasses.field(default_factory=list)  # (name, ts, duration or None, expires or None)


@dataclasses.dataclass
class Case:
    run: bool
    line: int
    title: str
    engine_only: str = None
    rules: str = ""
    commands: list = dataclasses.field(default_factory=list)  # (line, text)
    expected: str = ""


def read_header_line(header, line):
    words = line.split()
    if words[0] == "type":
        header.types.append((words[1], [tuple(w.split(":", 1)) for w in words[2:]]))
    elif words[0] == "event":
        duration = expires = None
        for w in words[3:]:
            if w.startswith("duration="):
                duration = w[len("duration="):]
            if w.startswith("expires="):
                expires = int(w[len("expires="):])
        header.events.append((words[1], words[2], duration, expires))


def is_command(text):
    traced = text.startswith("trace ")
    op = (text[6:] if traced else text).split(" ")[0]
    return op in COMMANDS and not (traced and op == "tms-debug")


def read_case_file(path, name):
    """The file's header and cases; a fault in the format raises ValueError
    naming the file and line, as the engine's reader does."""
    header, cases, mode = Header(), [], "header"

    def fail(n, what):
        raise ValueError(f"{name}:{n}: {what}")

    lines = path.read_text().split("\n")
    if lines[-1] == "":
        lines.pop()
    n = 0
    for n, line in enumerate(lines, 1):
        run = line.startswith("case ")
        if run or line.startswith("compile "):
            if mode in ("heading", "body"):
                fail(n, 'the case before this one has no "----" line')
            cases.append(Case(run, n, line[5 if run else 8:]))
            if not cases[-1].title:
                fail(n, "a case needs a title")
            mode = "heading"
            continue
        if mode == "header":
            if line and not line.startswith(("#", "type ", "event ")):
                fail(n, "before the first case only type and event lines, # comments and blank lines")
            if line.startswith(("type ", "event ")):
                read_header_line(header, line)
            continue
        case = cases[-1]
        if mode == "expected":
            case.expected += line + "\n"
            continue
        if line == "----":
            mode = "expected"
            continue
        if mode == "heading" and line.startswith("engine-only:"):
            if not case.run:
                fail(n, "only a run case can be engine-only")
            case.engine_only = line[len("engine-only:"):].strip()
            if not case.engine_only:
                fail(n, "engine-only needs its reason")
        elif line.startswith("> "):
            if not case.run:
                fail(n, "a compile case takes no commands")
            if not is_command(line[2:]):
                fail(n, f'unknown command "{line[2:]}"')
            case.commands.append((n, line[2:]))
        else:
            case.rules += line + "\n"
        mode = "body"
    if mode in ("heading", "body"):
        fail(n, 'the last case has no "----" line')
    for case in cases:
        case.expected = case.expected.rstrip("\n ")
    return header, cases


def case_files():
    for folder in FOLDERS:
        for path in sorted((DATA / folder).glob("*.test")):
            yield f"{folder}/{path.name}", path


# --- The engine's debug forms, from Python values.

def float_debug(x):
    """As the engine shows an F64: the shortest digits that read back,
    positional from 1e-4 up to 1e16 (with ".0" when whole), else d.ddde<exp>."""
    if math.isnan(x):
        return "NaN"
    if math.isinf(x):
        return "inf" if x > 0 else "-inf"
    sign = "-" if math.copysign(1.0, x) < 0 else ""
    if x == 0:
        return sign + "0.0"
    t = decimal.Decimal(repr(abs(x))).as_tuple()
    digits = "".join(map(str, t.digits))
    exp = len(digits) - 1 + t.exponent  # of the first digit
    digits = digits.rstrip("0") or "0"
    a = abs(x)
    if a < 1e-4 or a >= 1e16:
        return f"{sign}{digits[0]}{'.' + digits[1:] if len(digits) > 1 else ''}e{exp}"
    if exp < 0:
        return f"{sign}0.{'0' * (-exp - 1)}{digits}"
    if exp + 1 >= len(digits):
        return f"{sign}{digits}{'0' * (exp + 1 - len(digits))}.0"
    return f"{sign}{digits[:exp + 1]}.{digits[exp + 1:]}"


def quoted(s):
    out = ['"']
    for ch in s:
        c = ord(ch)
        if ch in '\t\r\n\\\0"':
            out.append({"\t": "\\t", "\r": "\\r", "\n": "\\n", "\\": "\\\\", "\0": "\\0", '"': '\\"'}[ch])
        elif c < 0x20 or 0x7F <= c < 0xA0:
            out.append(f"\\u{{{c:x}}}")
        else:
            out.append(ch)
    return "".join(out) + '"'


def dec_debug(u, s):
    return f"Dec {{ u: {u}, s: {s} }}"


def dec_text_debug(text):
    """A decimal as values_json writes it ("-1.50") at the scale it has."""
    negative = text.startswith("-")
    whole, _, frac = text.lstrip("-").partition(".")
    u = int(whole + frac)
    return dec_debug(-u if negative else u, len(frac))


def dec_value_debug(v, scale):
    """A decimal.Decimal from a decimal128(p, scale) column."""
    t = v.as_tuple()
    n = int("".join(map(str, t.digits)) or "0")
    shift = t.exponent + scale
    u = n * 10 ** shift if shift >= 0 else n // 10 ** -shift
    return dec_debug(-u if t.sign else u, scale)


def kind_of(arrow_type):
    if pa.types.is_int64(arrow_type):
        return "I64"
    if pa.types.is_float64(arrow_type):
        return "F64"
    if pa.types.is_string(arrow_type) or pa.types.is_large_string(arrow_type):
        return "Str"
    if pa.types.is_boolean(arrow_type):
        return "Bool"
    if pa.types.is_decimal(arrow_type):
        return "Dec"
    raise AssertionError(f"a fact table column of type {arrow_type}")


def value_debug(kind, v):
    """A cell as the engine shows it: `kind` is the field's, or "any" where
    only the JSON value says what it is (a JSON text then is a Str, or a Dec
    under kind "dec-text")."""
    if v is None:
        return "Null"
    if kind == "dec-text":
        kind = "Dec" if isinstance(v, str) else "any"
    if kind == "any":
        kind = {bool: "Bool", int: "I64", float: "F64", str: "Str"}[type(v)]
    if kind == "I64":
        assert type(v) is int, v
        return f"I64({v})"
    if kind == "F64":
        return f"F64({float_debug(float(v))})"
    if kind == "Str":
        return f"Str({quoted(v)})"
    if kind == "Bool":
        return f"Bool({'true' if v else 'false'})"
    return dec_text_debug(v)


def mask_member_handles(text):
    """Member handles inside [...] as "?": Type#12( -> Type#?( outside quotes."""
    out, depth, i = [], 0, 0
    while i < len(text):
        ch = text[i]
        if ch == '"':
            j = i + 1
            while text[j] != '"':
                j += 2 if text[j] == "\\" else 1
            out.append(text[i:j + 1])
            i = j + 1
            continue
        depth += {"[": 1, "]": -1}.get(ch, 0)
        m = re.match(r"#\d+\(", text[i:]) if depth and ch == "#" else None
        if m:
            out.append("#?(")
            i += m.end()
            continue
        out.append(ch)
        i += 1
    return "".join(out)


# --- One replay.

def message(exc):
    text = str(exc)
    return text[len("engine error: "):] if text.startswith("engine error: ") else text


def words_of(line):
    """Words split at blanks outside double quotes; quotes stay in the word,
    a backslash inside them takes the next character as it is."""
    out, w, quoted_now, i = [], "", False, 0
    while i < len(line):
        c = line[i]
        if c == '"':
            quoted_now = not quoted_now
        if c == "\\" and quoted_now and i + 1 < len(line):
            w += line[i + 1]
            i += 2
            continue
        if c == " " and not quoted_now:
            if w:
                out.append(w)
            w = ""
        else:
            w += c
        i += 1
    if w:
        out.append(w)
    return out


def value_of(text):
    if len(text) >= 2 and text[0] == '"':
        return text[1:-1]
    if text in ("true", "false"):
        return text == "true"
    if text == "null":
        return None
    if any(c in text for c in ".eE") and any(c not in "0123456789+-" for c in text):
        return float(text)
    return int(text)


def row_of(words):
    return {w.split("=", 1)[0]: value_of(w.split("=", 1)[1]) for w in words}


def names_type(case, name):
    said = case.rules + "\n".join(text for _, text in case.commands)
    return re.search(rf"\b{re.escape(name)}\b", said) is not None


class Replay:
    """A case's session and the text its commands write."""

    BUILT_IN = {"Long": "I64", "Double": "F64", "Decimal": "Dec"}
    LISTS = ("Collection", "SetCollection", "QueryArgs")

    def __init__(self):
        self.out = []
        self.session = None
        self.result = None  # the last fire's, while working memory is as it left it
        self.fire_failed = False  # the last fire raised, and changes since are none
        self.declared = {}  # type -> [(field, kind)], from the fact tables

    def start(self, header, case):
        """The session of the case's header and rule text."""
        self.schemas = schemas = {name: dict(fields) for name, fields in header.types}
        self.type_of = {}  # handle -> type, of the facts inserted or seen in a result
        events = {}
        for name, ts, duration, expires in header.events:
            if duration is None and expires is not None:
                events[name] = (ts, expires)
            elif names_type(case, name):
                raise EngineOnly(f"event {name} is declared {'with a duration' if duration else 'without an expiry'}, "
                                 "which the session's events cannot say")
        try:
            self.session = quarn.Session(case.rules, schemas=schemas, events=events)
        except ValueError as e:
            self.error(e)
            # A refused rule text leaves the engine as it was without it.
            try:
                self.session = quarn.Session("", schemas=schemas, events=events)
            except ValueError:
                pass

    def error(self, exc):
        self.out.append("error: " + message(exc))

    def run(self, commands):
        """The commands, in order; EngineOnly at the first the session cannot say."""
        if self.session is None:
            return
        for line, text in commands:
            words = words_of(text)
            op = words[0]
            if op in ("load", "trace", "tms-debug") or (op == "fire" and "trace" in words):
                raise EngineOnly(f"line {line}: {text!r} exists only for the engine")
            if op == "fire":
                self.fire(int(words[1]) if len(words) > 1 else 100000)
                continue
            if op == "facts":
                if self.fire_failed:
                    raise EngineOnly(f"line {line}: facts after a fire that failed, which hands back no result")
                if self.result is None:
                    raise EngineOnly(f"line {line}: facts between fires: a session shows working memory only "
                                     "in the result of a fire that completed")
                self.out.extend(self.facts_lines())
                continue
            if op in ("insert", "update"):
                names = [w.split("=", 1)[0] for w in words[2:]]
                why = self.refused_at_the_boundary(op, words[1], row_of(words[2:]))
                if op == "insert" and len(set(names)) < len(names):
                    why = "a field given twice: insert_row takes a dict, where the engine refuses the second"
                if why:
                    raise EngineOnly(f"line {line}: {why}")
            try:
                if op == "insert":
                    self.type_of[self.session.insert_row(words[1], row_of(words[2:]))] = words[1]
                elif op == "update":
                    self.session.update(int(words[1]), **row_of(words[2:]))
                elif op == "delete":
                    self.session.delete(int(words[1]))
                elif op == "advance":
                    self.session.advance(int(words[1]))
                else:
                    self.session.reset()
                    self.type_of = {}
            except Exception as e:
                # Refused: nothing changed, the last result still holds.
                self.error(e)
                continue
            self.result, self.fire_failed = None, False

    def refused_at_the_boundary(self, op, target, row):
        """Why the session would answer this insert or update otherwise than
        the engine does -- it checks some values before the engine sees them,
        with messages of its own -- or None."""
        type_name = target if op == "insert" else self.type_of.get(int(target))
        fields = self.schemas.get(type_name)
        if op == "insert" and fields is None:
            return f"insert of {target}, a type the session does not declare, is refused with the session's message"
        if op == "insert" and set(row) - set(fields):
            return "insert_row takes no fields beyond the declared ones, where the engine refuses them"
        if op == "update" and not row:
            return "the session refuses an update without fields, which the engine takes"
        for field, value in row.items():
            spec = (fields or {}).get(field)
            if spec and value is None and not spec.endswith("?"):
                return f"the session refuses None for {type_name}.{field} with a message of its own"
            if spec and isinstance(value, float) and spec.startswith("decimal"):
                return f"the session refuses a float for {type_name}.{field} with a message of its own"
        return None

    def fire(self, limit):
        seen = []
        self.result, self.fire_failed = None, True
        try:
            result = self.session.fire(fire_limit=limit, on_fire=lambda rule, matches: seen.append((rule, matches)))
        except Exception as e:
            self.error(e)
            return
        self.result, self.fire_failed = result, False
        tables = {name: pa.table(t) for name, t in result.facts().items()}
        self.declared = {name: [(f.name, kind_of(f.type)) for f in t.schema if f.name != "_handle"]
                         for name, t in tables.items()}
        for name, t in tables.items():
            self.type_of.update((h, name) for h in t.column("_handle").to_pylist())
        audit = pa.table(result.firings()).to_pylist()
        assert result.fired == len(seen), "fired counts another number of firings than the observer saw"
        by_seq = [[] for _ in seen]
        for row in audit:
            by_seq[row["seq"]].append(row)
        if not seen:
            self.out.append("no firings")
        for (rule, matches), rows in zip(seen, by_seq):
            assert [(r["rule"], r["pos"]) for r in rows] == [(rule, p) for p in range(len(rows))], rows
            assert [(r["type"], r["handle"]) for r in rows] == [tuple(m) for m in matches], \
                f"the observer and the audit table disagree: {matches} against {rows}"
            self.out.append(rule + ":" + "".join(" " + self.fired_fact(r) for r in rows))

    def fired_fact(self, row):
        type_name, values = row["type"], json.loads(row["values_json"])
        members = None
        if type_name in self.declared:
            fields = self.declared[type_name]
            assert sorted(values) == sorted(f for f, _ in fields), f"values_json {values} for {fields}"
        elif type_name in self.BUILT_IN:
            fields = [("value", self.BUILT_IN[type_name])]
        elif type_name == "InitialFact":
            fields = []
        elif type_name in self.LISTS:
            fields, members = [], [self.member(m) for m in values["value"]]
        elif type_name.startswith("__gbrow$"):
            # A groupby row: its result (a decimal written as text), its key.
            fields = [("res", "dec-text"), ("key", "any")]
        else:
            raise EngineOnly(f"a fired fact of type {type_name}, whose fields the API does not describe")
        text = f"{type_name}#{row['handle']}(" + ", ".join(f"{f}={value_debug(k, values[f])}" for f, k in fields) + ")"
        return text if members is None else text + "[" + ", ".join(members) + "]"

    def member(self, text):
        if text is None:
            return "None"
        values = json.loads(text)
        types = [t for t, fields in self.declared.items() if sorted(f for f, _ in fields) == sorted(values)]
        if sorted(values) == ["value"] and not types:
            return value_debug("any", values["value"])
        if len(types) != 1:
            raise EngineOnly(f"a collected member {text} whose type the API does not tell")
        fields = self.declared[types[0]]
        return f"{types[0]}#?(" + ", ".join(f"{f}={value_debug(k, values[f])}" for f, k in fields) + ")"

    def facts_lines(self):
        rows = []
        for name, table in self.result.facts().items():
            t = pa.table(table)
            columns = [(f.name, kind_of(f.type), f.type) for f in t.schema if f.name != "_handle"]
            for row in t.to_pylist():
                cells = []
                for field, kind, arrow_type in columns:
                    v = row[field]
                    if v is not None and kind == "Dec":
                        cells.append(f"{field}={dec_value_debug(v, arrow_type.scale)}")
                    else:
                        cells.append(f"{field}={value_debug(kind, v)}")
                rows.append((row["_handle"], f"{name}#{row['_handle']}(" + ", ".join(cells) + ")"))
        return [text for _, text in sorted(rows)]


def replay(header, case):
    """The text the case writes through the session, and why the replay
    stopped short of its end (None when it ran every command)."""
    r = Replay()
    try:
        r.start(header, case)
        r.run(case.commands)
        cannot = None
    except EngineOnly as e:
        cannot = str(e)
    return "\n".join(r.out).rstrip("\n "), cannot


# --- The tests.

def run_cases():
    for name, path in case_files():
        header, cases = read_case_file(path, name)
        for case in cases:
            if case.run:
                yield pytest.param(name, header, case, id=f"{name}:{case.line}")


@pytest.mark.parametrize("name, header, case", list(run_cases()))
def test_run_case_replays_through_the_session(name, header, case):
    where = f"{name}:{case.line}: {case.title}"
    seed = os.environ.get("QUARN_HASH_SEED", "unset")
    actual, cannot = replay(header, case)
    expected = mask_member_handles(case.expected)
    if not case.engine_only:
        if cannot:
            pytest.fail(f"{where}: the Python API cannot replay this case ({cannot}); "
                        "mark it with a line `engine-only: <why>` right below its heading", pytrace=False)
        assert actual == expected, f"{where} (replay with QUARN_HASH_SEED={seed})"
        return
    # An engine-only case still replays up to what the session cannot say:
    # what it wrote by then opens the expected text.
    if not cannot:
        assert actual != expected, f"{where}: replays in full, so it needs no engine-only line"
    else:
        done = actual.split("\n") if actual else []
        assert done == expected.split("\n")[:len(done)], \
            f"{where}: before {cannot} (replay with QUARN_HASH_SEED={seed})"
    pytest.skip(f"engine only: {case.engine_only}")


def test_every_data_folder_holds_cases_and_most_run_cases_replay():
    counts = {"compile": 0, "run": 0, "engine-only": 0}
    for name, path in case_files():
        for case in read_case_file(path, name)[1]:
            counts["run" if case.run else "compile"] += 1
            counts["engine-only"] += bool(case.engine_only)
    assert counts["compile"] > 0 and counts["run"] > 0
    assert counts["engine-only"] * 2 < counts["run"], counts


def test_case_file_faults_name_their_line(tmp_path):
    path = tmp_path / "x.test"
    faults = [
        ("type A x:i64\nrule r when A() then end\n",
         "x.test:2: before the first case only type and event lines, # comments and blank lines"),
        ("case one\n> fire\ncase two\n> fire\n----\n", 'x.test:3: the case before this one has no "----" line'),
        ("case one\n> fire\n", 'x.test:2: the last case has no "----" line'),
        ("case one\n> shoot\n----\n", 'x.test:2: unknown command "shoot"'),
        ("compile one\n> fire\n----\n", "x.test:2: a compile case takes no commands"),
        ("case one\nengine-only:  \n----\n", "x.test:2: engine-only needs its reason"),
    ]
    for text, expected in faults:
        path.write_text(text)
        with pytest.raises(ValueError) as e:
            read_case_file(path, "x.test")
        assert str(e.value) == expected
    path.write_text('type A s:String? d:decimal(4,2)\nevent A s\n\ncase one\nengine-only: why\n'
                    'rule r when A() then end\n> insert A s="a \\"b\\"" d=null\n> fire 3\n----\nx\n\n')
    header, (case,) = read_case_file(path, "x.test")
    assert header == Header([("A", [("s", "String?"), ("d", "decimal(4,2)")])], [("A", "s", None, None)])
    assert (case.engine_only, case.rules, case.commands, case.expected) == (
        "why", "rule r when A() then end\n", [(7, 'insert A s="a \\"b\\"" d=null'), (8, "fire 3")], "x")
    assert row_of(words_of(case.commands[0][1])[2:]) == {"s": 'a "b"', "d": None}


def test_what_the_session_cannot_say_is_refused_with_its_reason():
    header = Header([("A", [("a", "i64"), ("b", "String?")]), ("M", [("d", "decimal(10,2)")]),
                     ("Ev", [("ts", "i64")]), ("Du", [("ts", "i64"), ("d", "i64")])],
                    [("Ev", "ts", None, None), ("Du", "ts", "d", 100)])
    rule = "rule r when A() then end\n"
    a = 'insert A a=1 b="x"'
    cases = [
        (rule, ["insert Nope x=1"], "insert of Nope, a type the session does not declare"),
        (rule, ["insert A a=1 b=null zz=2"], "insert_row takes no fields beyond the declared ones"),
        (rule, ["insert A a=1 a=2 b=null"], "a field given twice"),
        (rule, ["insert A a=null b=null"], "the session refuses None for A.a"),
        (rule, ["insert M d=1.5"], "the session refuses a float for M.d"),
        (rule, [a, "update 0"], "the session refuses an update without fields"),
        (rule, [a, "fire", "update 0 a=null"], "the session refuses None for A.a"),
        (rule, ["load rule s when A() then end"], "exists only for the engine"),
        (rule, ["trace insert A a=1 b=null"], "exists only for the engine"),
        (rule, ["tms-debug"], "exists only for the engine"),
        (rule, ["fire 5 trace"], "exists only for the engine"),
        (rule, [a, "facts"], "facts between fires"),
        (rule, ["fire", a, "facts"], "facts between fires"),
        (rule, [a, "fire 0", "facts"], "facts after a fire that failed"),
        ("rule e when Ev() then end\n", [], "event Ev is declared without an expiry"),
        (rule, ["insert Du ts=1 d=2"], "event Du is declared with a duration"),
    ]
    for rules, commands, why in cases:
        case = Case(True, 1, "t", rules=rules, commands=list(enumerate(commands, 2)))
        cannot = replay(header, case)[1]
        assert cannot and why in cannot, (commands, cannot)
    # What came before is written; a case that names neither of those event
    # types runs without their declarations.
    case = Case(True, 1, "t", rules=rule, commands=list(enumerate([a, "fire", "facts", "update 0 b=null", "fire",
                                                                    "delete 0", "facts"], 2)))
    assert replay(header, case) == ('r: A#0(a=I64(1), b=Str("x"))\nA#0(a=I64(1), b=Str("x"))\nno firings',
                                    "line 8: facts between fires: a session shows working memory only in the result "
                                    "of a fire that completed")


def test_debug_forms_are_the_engines():
    import quarn_probe as probe
    for x in [0.0, -0.0, 1.0, 1.5, -2.25, 0.1, 1e-4, 9.99e-5, 1e-7, 1.5e-7, 1e15, 1e16, 123456789012345.6,
              2.5e300, 5e-324, float("inf"), float("-inf"), float("nan")]:
        assert f"F64({float_debug(x)})" == probe.scalar(x, "f64"), x
    for s in ["", "plain", 'a "b"', "tab\there", "nl\n\r", "back\\slash", "nul\0", "\x01\x7f\x9f\xa0", "é€😀"]:
        assert f"Str({quoted(s)})" == probe.scalar(s, "String"), s
    for text, spec in [("1.50", "decimal(10,2)"), ("-0.05", "decimal(10,2)"), ("7", "decimal(38,0)"),
                       ("-123.456", "decimal(6,3)")]:
        scale = int(spec.split(",")[1][:-1])
        assert dec_value_debug(decimal.Decimal(text), scale) == probe.scalar(text, spec)
        assert dec_text_debug(format(decimal.Decimal(text).quantize(decimal.Decimal(1).scaleb(-scale)), "f")) == \
            probe.scalar(text, spec)
    assert mask_member_handles('r: C#3()[T#4(s=Str("]#5(")), T#12(s=Null)] T#6()') == \
        'r: C#3()[T#?(s=Str("]#5(")), T#?(s=Null)] T#6()'


def test_the_hash_seed_fixes_the_key_of_a_process():
    import quarn_probe as probe
    # conftest.py fixes one for the whole run.
    assert probe.hash_key() == int(os.environ["QUARN_HASH_SEED"])
    code = "import quarn, quarn_probe; print(quarn_probe.hash_key())"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    for seed, key in [("12345", 12345), ("0xff", 255), ("18446744073709551615", 2 ** 64 - 1)]:
        env["QUARN_HASH_SEED"] = seed
        assert subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True,
                              check=True).stdout == f"{key}\n"
