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
    `rejected` holds rows the reader itself set aside (positions, reason)."""

    format: str
    how: str
    n: int
    columns: dict[str, Any]
    source_rows: Callable[..., pd.DataFrame]
    iv_unit: str | None = None
    name_currency: str | None = None
    rejected: list[tuple[np.ndarray, str]] = field(default_factory=list)
    notes: list[str] = field(default_factory=list)


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

    names: list[str] = []

    def rows(pos: np.ndarray, lead: dict | None = None) -> pd.DataFrame:
        if len(pos) == 0:
            if not names:
                names.extend(table.column_names)
            return empty_frame([*(lead or {}), *names])
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


def empty_frame(columns: list[str]) -> pd.DataFrame:
    """No rows under these columns (the rejected rows of a clean chain), as
    object columns."""
    return make_frame({c: NO_ROWS for c in columns}, NO_POSITIONS)


NO_ROWS = np.empty(0, dtype=object)
NO_ROWS.flags.writeable = False
NO_POSITIONS = pd.Index([], dtype=np.int64)  # an Index is immutable: shared


def _positions(pos) -> pd.Index:
    return pd.Index(np.asarray(pos, dtype=np.int64), dtype=np.int64)


# The dtype pandas gives a column of Python str (object before pandas 3).
STR = pd.Series(["x"]).dtype


_ARROW_TEXT = STR != np.dtype(object) and hasattr(STR, "__from_arrow__")


def text_array(values):
    """Text (an object array of str or None, or a pyarrow string array) as
    the column pandas would make of a column of str."""
    if isinstance(values, (pa.Array, pa.ChunkedArray)):
        if _ARROW_TEXT:
            # pandas keeps its text as large_string: cast once here, or not at all.
            if not pa.types.is_large_string(values.type):
                values = values.cast(pa.large_string())
            return STR.__from_arrow__(values)
        values = np.asarray(values.to_pylist(), dtype=object)
    if STR == np.dtype(object):
        return values
    if _ARROW_TEXT:
        try:
            return STR.__from_arrow__(pa.array(values, type=pa.large_string(), from_pandas=True))
        except (pa.ArrowInvalid, pa.ArrowTypeError):
            pass  # not all str: pandas says what becomes of them
    return pd.array(values, dtype=STR)


_UTC = pd.DatetimeTZDtype("ns", "UTC")


def utc_array(ns: np.ndarray):
    """datetime64[ns] instants (UTC) as the tz-aware pandas array of a column,
    taking the array as it is (the usual route through DatetimeIndex and
    tz_localize costs tens of microseconds per column)."""
    ns = np.asarray(ns, dtype="datetime64[ns]")
    try:
        return pd.arrays.DatetimeArray._simple_new(ns, dtype=_UTC)
    except (AttributeError, TypeError):  # pragma: no cover - a pandas without it
        return pd.DatetimeIndex(ns).tz_localize("UTC").array


def coded_text(codes: np.ndarray, names: list):
    """Text given as codes into distinct names (-1: missing), as `text_array`."""
    codes = np.asarray(codes)
    missing = codes < 0
    index = pa.array(codes.astype(np.int32), mask=missing if missing.any() else None)
    return text_array(pa.array(list(names), type=pa.large_string()).take(index))


try:  # pandas 3: a frame from ready blocks, without pandas' per-column work
    from pandas.api.internals import create_dataframe_from_blocks as _from_blocks
except ImportError:  # pragma: no cover - older pandas
    _from_blocks = None

# numpy kinds gathered into one 2-D block per dtype, as pandas keeps them
# (datetime64 and timedelta64 columns are pandas arrays within a frame).
_STACKED = frozenset("fiubO")
_COLUMNS: dict[tuple, pd.Index] = {}


def column_index(names: tuple) -> pd.Index:
    """The columns Index of a list of names, made once per list (an Index
    of text costs as much to make as a chain's numeric columns)."""
    index = _COLUMNS.get(names)
    if index is None:
        if len(_COLUMNS) >= 256:
            _COLUMNS.clear()
        index = _COLUMNS[names] = pd.Index(list(names))
    return index


def make_frame(columns: dict, index: pd.Index) -> pd.DataFrame:
    """A DataFrame of ready columns (numpy arrays, or pandas arrays of their
    final dtype: see `text_array`), built without pandas' per-column checks,
    which cost more than the rest of a chain's columns.

    Numeric, boolean and object numpy columns go into one new 2-D block
    per dtype (what pandas' consolidation would make: the frame owns them,
    writable); pandas arrays and other numpy columns become blocks of their
    own."""
    arrays = [v.array if isinstance(v, pd.Index) else v for v in columns.values()]
    names = tuple(columns)
    if _from_blocks is None:
        try:
            return pd.DataFrame._from_arrays(arrays, columns=list(names), index=index, verify_integrity=False)
        except (AttributeError, TypeError):  # a pandas without this constructor
            return pd.DataFrame(dict(zip(names, arrays)), index=index)
    n = len(index)
    groups: dict[np.dtype, list[int]] = {}
    blocks = []
    for i, a in enumerate(arrays):
        if isinstance(a, np.ndarray):
            if a.dtype.kind in _STACKED:
                groups.setdefault(a.dtype, []).append(i)
            else:
                blocks.append((a.reshape(1, n), np.array([i], dtype=np.intp)))
        else:
            blocks.append((a, np.array([i], dtype=np.intp)))
    for dtype, where in groups.items():
        block = np.empty((len(where), n), dtype=dtype)
        for row, i in enumerate(where):
            block[row] = arrays[i]
        blocks.append((block, np.asarray(where, dtype=np.intp)))
    return _from_blocks(blocks, index=index, columns=column_index(names))
