"""What a layout reader hands to pricing: one table under the tidy names."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, Callable

import numpy as np
import pandas as pd
import pyarrow as pa

# The tidy names a layout may fill (see read_chain for their meaning).
TEXT = ("instrument", "option_type", "underlying", "premium_currency", "iv_unit")
TIMES = ("expiry_utc", "observation_time_utc")
NUMBERS = ("strike", "bid", "ask", "mark", "underlying_price", "bid_iv", "ask_iv", "mark_iv")
TIDY_NAMES = TEXT + TIMES + NUMBERS

# The premium currency of a name that carries none, as a layout knows it:
# COIN means the underlying itself (inverse options).
COIN = "<underlying>"


@dataclass
class Table:
    """One option table under the tidy column names.

    `columns` maps tidy names to columns of any origin (pyarrow, numpy,
    pandas, lists; times already as datetime64 where the layout has epoch
    numbers); `source_rows(positions, lead)` gives the source's own rows,
    after the `lead` columns, for the report of rejected rows. `iv_unit` is the unit of the IV columns when
    the layout fixes it; `name_currency` the premium currency of an
    instrument name that carries none (None: names say nothing about it).
    `rejected` holds rows the reader itself set aside (positions, reason);
    `snapshot_time` the instant of a snapshot taken from a stream of updates."""

    format: str
    how: str
    n: int
    columns: dict[str, Any]
    source_rows: Callable[..., pd.DataFrame]
    iv_unit: str | None = None
    name_currency: str | None = None
    rejected: list[tuple[np.ndarray, str]] = field(default_factory=list)
    notes: list[str] = field(default_factory=list)
    snapshot_time: pd.Timestamp | None = None


def frame_rows(df: pd.DataFrame) -> Callable[..., pd.DataFrame]:
    """Rows of a DataFrame by position, indexed by position."""

    def rows(pos: np.ndarray, lead: dict | None = None) -> pd.DataFrame:
        if len(pos) == 0:
            return empty_frame([*(lead or {}), *map(str, df.columns)])
        out = df.iloc[pos].copy()
        out.index = _positions(pos)
        for i, (name, v) in enumerate((lead or {}).items()):
            out.insert(i, name, v)
        return out

    return rows


def arrow_rows(table: pa.Table) -> Callable[..., pd.DataFrame]:
    """Rows of a pyarrow table by position, as pandas, indexed by position:
    numbers as float64 (int64 when complete), text as text, empty columns
    as NaN, as pandas.read_csv would give them."""

    def rows(pos: np.ndarray, lead: dict | None = None) -> pd.DataFrame:
        if len(pos) == 0:
            return empty_frame([*(lead or {}), *table.column_names])
        part = table.take(pa.array(np.asarray(pos, dtype=np.int64)))
        cols = dict(lead or {})
        for name, c in zip(part.column_names, part.columns):
            t = c.type
            if pa.types.is_dictionary(t):
                c, t = c.cast(t.value_type), t.value_type
            if pa.types.is_null(t):
                cols[name] = np.full(len(c), np.nan)
            elif pa.types.is_integer(t) and c.null_count:
                cols[name] = c.cast(pa.float64()).to_numpy()
            elif pa.types.is_integer(t) or pa.types.is_floating(t) or pa.types.is_boolean(t):
                cols[name] = c.to_numpy()
            elif pa.types.is_string(t) or pa.types.is_large_string(t):
                cols[name] = text_array(c)
            else:
                cols[name] = c.to_pandas().array
        return make_frame(cols, _positions(pos))

    return rows


_EMPTY: dict[tuple, pd.DataFrame] = {}


def empty_frame(columns: list[str]) -> pd.DataFrame:
    """No rows under these columns (the rejected rows of a clean chain): a
    copy of one made once per list of columns, which costs a tenth."""
    key = tuple(columns)
    frame = _EMPTY.get(key)
    if frame is None:
        if len(_EMPTY) >= 64:
            _EMPTY.clear()
        frame = _EMPTY[key] = make_frame({c: np.empty(0, dtype=object) for c in columns},
                                         pd.Index([], dtype=np.int64))
    return frame.copy()


def _positions(pos) -> pd.Index:
    return pd.Index(np.asarray(pos, dtype=np.int64), dtype=np.int64)


# The dtype pandas gives a column of Python str (object before pandas 3).
STR = pd.Series(["x"]).dtype


def text_array(values):
    """Text (an object array of str or None, or a pyarrow string array) as
    the column pandas would make of a column of str."""
    if isinstance(values, (pa.Array, pa.ChunkedArray)):
        if hasattr(STR, "__from_arrow__"):
            return STR.__from_arrow__(values)
        values = np.asarray(values.to_pylist(), dtype=object)
    return values if STR == np.dtype(object) else pd.array(values, dtype=STR)


def coded_text(codes: np.ndarray, names: list):
    """Text given as codes into distinct names (-1: missing), as `text_array`."""
    codes = np.asarray(codes)
    arr = pa.DictionaryArray.from_arrays(pa.array(codes.astype(np.int32), mask=codes < 0),
                                         pa.array(list(names), type=pa.string()))
    return text_array(arr.cast(pa.string()))


def make_frame(columns: dict, index: pd.Index) -> pd.DataFrame:
    """A DataFrame of ready columns (numpy arrays, or pandas arrays of their
    final dtype: see `text_array`), built without pandas' per-column checks,
    which cost more than the rest of a chain's columns."""
    arrays = [v.array if isinstance(v, pd.Index) else v for v in columns.values()]
    try:
        return pd.DataFrame._from_arrays(arrays, columns=list(columns), index=index, verify_integrity=False)
    except (AttributeError, TypeError):  # a pandas without this constructor
        return pd.DataFrame(dict(zip(columns, arrays)), index=index)
