# The signatures of the extension module quarn._native, for editors and type
# checkers; the module itself is compiled. Docstrings are the module's own.
import decimal
from typing import Any, Callable, Protocol, final

class _ArrowStream(Protocol):
    def __arrow_c_stream__(self, requested_schema: object = None, /) -> object: ...

# A field value as Python hands it over: None only for nullable fields; a
# decimal field takes decimal.Decimal, str or int, never float.
_Scalar = int | float | str | bool | decimal.Decimal | None
# A table: an Arrow stream (polars.DataFrame, pyarrow.Table, ...) or a dict
# of column lists, each list holding _Scalar values.
_TableLike = _ArrowStream | dict[str, list[Any]]
# type name -> a _TableLike (dict values are invariant: Any keeps
# dict[str, polars.DataFrame] acceptable)
_Facts = dict[str, Any]
# type name -> {field name: "i64" | "f64" | "String" | "bool" | "decimal(p,s)", "?" appended for nullable}
_Schemas = dict[str, dict[str, str]]
# event type name -> (timestamp field, expires_ms)
_Events = dict[str, tuple[str, int]]
# on_fire(rule, [(type name, handle), ...])
_OnFire = Callable[[str, list[tuple[str, int]]], object]

@final
class Session:
    """A rule session: the compiled `rules` (rule text), a working memory,
an agenda and a pseudo-clock. `facts` maps a type name to its initial
rows: an Arrow table (anything implementing __arrow_c_stream__) or a
dict of column lists. `schemas` maps a type name to {field: type},
the type one of "i64", "f64", "String", "bool", "decimal(p,s)", with a
trailing "?" for a nullable field. `events` maps an event type to
(timestamp field, expires_ms)."""

    def __init__(
        self,
        rules: str,
        facts: _Facts | None = None,
        schemas: _Schemas | None = None,
        events: _Events | None = None,
    ) -> None: ...
    def insert(self, /, type_name: str, data: _TableLike) -> list[int]:
        """Insert more rows: an Arrow table or a dict of column lists.
Returns the new facts' HANDLES (insertion order). The type must
already be known to the session."""
    def insert_row(self, /, type_name: str, row: dict[str, Any]) -> int:
        """Insert a single fact from keyword-style dict (REPL convenience;
same bulk path, batch of one). Returns the new fact's HANDLE."""
    def update(self, /, handle: int, **fields: _Scalar) -> None:
        """EXTERNAL update by handle (D-047): set the given fields and
propagate with the changed-fields property mask. Handles come
from result tables' `_handle` column. Composes with other
external actions in SESSION-ACTION ORDER (certified)."""
    def delete(self, /, handle: int) -> None:
        """EXTERNAL delete by handle (D-047)."""
    def advance(self, /, ms: int) -> None:
        """CEP (D-101): advance the pseudo-clock by ms."""
    def reset(self, /) -> None:
        """D-104: in-place session reset for paged batches — clears WM,
agenda, TMS, clock and handle numbering; keeps rules/queries."""
    def fire(self, /, fire_limit: int = 100000, on_fire: _OnFire | None = None) -> Result:
        """Run the rules to quiescence and return THIS fire's delta.
Sessions are multi-fire (D-046): insert more facts afterwards and
fire again. `on_fire(rule, matches)` is an OBSERVER invoked per
firing after the run completes, in firing order; matches is a
list of (type, handle) pairs. The run itself releases the GIL."""

@final
class Result:
    def facts(self, /) -> dict[str, Table]:
        """Final working memory, one Arrow table per fact type."""
    def derived(self, /) -> dict[str, Table]:
        """Facts derived (inserted) by rule firings, per type — the WM delta."""
    def firings(self, /) -> Table:
        """Long-format firing audit: (seq, rule, pos, type, handle,
values_json) — values as rendered at fire time (post-RHS)."""
    def deleted_handles(self, /) -> list[int]:
        """Handles of Python-inserted facts the run deleted."""
    @property
    def fired(self) -> int: ...

@final
class Table:
    """A one-batch Arrow table exposed via the PyCapsule stream interface —
`polars.DataFrame(t)` / `pyarrow.table(t)` import it zero-copy."""

    def __arrow_c_stream__(self, /, _requested_schema: object = None) -> object: ...
    def __len__(self, /) -> int: ...

def run(
    rules: str,
    facts: _Facts,
    fire_limit: int = 100000,
    on_fire: _OnFire | None = None,
    schemas: _Schemas | None = None,
    events: _Events | None = None,
) -> Result:
    """One-call convenience: build a session from tables, fire, return the
result. `quarn.run(rules, {"P": df})`."""
