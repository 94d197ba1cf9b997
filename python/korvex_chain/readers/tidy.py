"""The tidy one-row-per-option layout, and any other table through a mapping.

The tidy layout names its columns as read_chain documents them
(`expiry_utc`, `strike`, `option_type` or an `instrument` name, `bid`,
`ask`, `mark`, ...). A table with its own names reads through
`columns={tidy name: source name}`; since such a table says nothing of its
units, the mapping must say how its premiums and IVs are quoted.
"""

from __future__ import annotations

import numpy as np
import pandas as pd
import pyarrow as pa

from .columnset import ColumnSet
from .table import TEXT, TIDY_NAMES, TIMES, Table

NAME = "tidy"
IDENTITY = ("expiry_utc", "strike", "option_type")
PRICES = ("bid", "ask", "mark")
IVS = ("bid_iv", "ask_iv", "mark_iv")


def missing(names) -> list[str]:
    """What the columns lack to be a tidy table (empty when they are one)."""
    names = set(names)
    out = []
    if not (set(IDENTITY) <= names or "instrument" in names):
        out.append(", ".join(c for c in IDENTITY if c not in names) + " (or instrument)")
    if not names & set(PRICES):
        out.append("bid, ask or mark")
    return out


def view(names: list[str], mapping: dict | None) -> dict[str, str]:
    """tidy name -> source column: the mapping, plus the source columns that
    already carry a tidy name and that the mapping does not use."""
    present = set(names)
    if mapping is None:
        return {t: t for t in TIDY_NAMES if t in present}
    if not isinstance(mapping, dict):
        raise TypeError("columns= is a dict {tidy name: source column name}")
    unknown = [k for k in mapping if k not in TIDY_NAMES]
    if unknown:
        raise ValueError(f"columns= maps to unknown tidy names {unknown}; the tidy names are "
                         f"{', '.join(TIDY_NAMES)}")
    absent = [v for v in mapping.values() if v not in present]
    if absent:
        raise ValueError(f"columns= names source columns the table does not have: {absent} "
                         f"(it has {', '.join(names)})")
    used = set(mapping.values())
    out = dict(mapping)
    for t in TIDY_NAMES:
        if t not in out and t in present and t not in used:
            out[t] = t
    return out


def csv_types(v: dict[str, str]) -> dict[str, pa.DataType]:
    """Types to force on the source columns when reading a CSV: text and
    instants as dictionary-encoded text (parsed once per distinct value),
    the instrument as text; numbers are left to the reader's inference."""
    dict_text = pa.dictionary(pa.int32(), pa.string())
    types = {}
    for tidy, src in v.items():
        if tidy in TIMES or tidy in TEXT:
            types[src] = pa.string() if tidy == "instrument" else dict_text
    return types


def read(cs: ColumnSet, how: str, mapping: dict | None = None, *, iv_unit: str | None = None,
         premium_currency: str | None = None) -> Table:
    v = view(cs.names, mapping)
    lacking = missing(v)
    if lacking:
        what = "after the mapping, the table" if mapping is not None else "the table"
        raise ValueError(f"{what} lacks the tidy columns {'; '.join(lacking)} (missing columns)")
    if mapping is not None:
        if any(c in v for c in IVS) and iv_unit is None and "iv_unit" not in v:
            raise ValueError("the mapped table has IV columns: say their unit with iv_unit='percent' or "
                             "'decimal' (or map an iv_unit column)")
        if premium_currency is None and "premium_currency" not in v:
            raise ValueError("the mapped table does not say its premium currency: give premium_currency= "
                             "(the underlying, e.g. 'BTC', for coin premiums; 'USD', 'USDT'... otherwise) "
                             "or map a premium_currency column")
    cols = {tidy: cs.column(src) for tidy, src in v.items()}
    return Table(NAME, how, cs.n, cols, cs.rows)


def names_table(names: list) -> Table:
    """A list of instrument names alone (quotes may follow from elsewhere)."""
    arr = np.asarray(names, dtype=object)

    def rows(pos, lead=None):
        return pd.DataFrame({**(lead or {}), "instrument": arr[pos]},
                            index=pd.Index(np.asarray(pos, dtype=np.int64), dtype=np.int64))

    return Table(NAME, "instrument names", len(arr), {"instrument": arr}, rows)


__all__ = ["NAME", "missing", "view", "csv_types", "read", "names_table"]
