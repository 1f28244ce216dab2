"""quarn: a forward-chaining production-rule engine over Arrow tables."""

from ._native import Result, Session, Table, run

__all__ = ["Session", "Result", "Table", "run"]
