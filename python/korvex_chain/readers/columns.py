"""Columns of any origin (pyarrow, numpy, pandas, lists) as typed arrays.

Every layout hands its columns over under the tidy names; these functions
turn each into what pricing needs, the same way whatever the origin: names
as codes into their distinct values, numbers as float64 with the cells that
were present but unreadable marked, instants as datetime64[ns] UTC. Work on
text is done once per distinct value.
"""

from __future__ import annotations

import datetime as dt
import re
from typing import NamedTuple

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.compute as pc

# Text that stands for "no value" in a number cell (besides the empty cell):
# pandas and pyarrow read these as missing in a CSV, and so do we elsewhere.
_NA_TOKENS = frozenset({"", "nan", "-nan", "na", "n/a", "#n/a", "null", "none", "<na>", "nat"})


def _arrow(col) -> pa.Array | pa.ChunkedArray | None:
    if isinstance(col, (pa.Array, pa.ChunkedArray)):
        return col
    return None


def _plain(arr: pa.ChunkedArray | pa.Array) -> pa.Array:
    if isinstance(arr, pa.ChunkedArray):
        if arr.num_chunks == 1:
            return arr.chunk(0)
        if pa.types.is_dictionary(arr.type):
            arr = arr.unify_dictionaries()
        return arr.combine_chunks()
    return arr


def is_empty(col) -> bool:
    """True for a column without a single value (an all-empty CSV column)."""
    arr = _arrow(col)
    if arr is not None:
        return arr.null_count == len(arr)
    if isinstance(col, (pd.Series, pd.Index)):
        return bool(col.isna().all())
    a = np.asarray(col)
    if a.dtype.kind == "f":
        return bool(np.isnan(a).all())
    if a.dtype.kind == "O":
        return bool(pd.isna(a).all())
    return a.size == 0


# ------------------------------------------------------------------ text


def texts(col, name: str, arrow_uniques: bool = False) -> tuple[np.ndarray, list[str] | pa.Array]:
    """(codes, distinct values) of a text column; code -1 = missing. With
    `arrow_uniques`, the distinct values of a pyarrow column stay a pyarrow
    array (no Python strings made).

    A column of numbers (or booleans) where names are expected is an error,
    not something to read as names: it is almost always a column mapped to
    the wrong tidy name."""
    arr = _arrow(col)
    if arr is not None:
        t = arr.type
        if pa.types.is_null(t):
            return np.full(len(arr), -1, dtype=np.intp), []
        if pa.types.is_dictionary(t):
            if not (pa.types.is_string(t.value_type) or pa.types.is_large_string(t.value_type)):
                _not_names(name, str(t.value_type))
            enc = _plain(arr)
        elif pa.types.is_string(t) or pa.types.is_large_string(t):
            enc = pc.dictionary_encode(_plain(arr))
        else:
            _not_names(name, str(t))
        codes = codes_of(enc.indices)
        if arrow_uniques:
            return codes, enc.dictionary
        return codes, [str(v) for v in enc.dictionary.to_pylist()]
    a = _values(col)
    kind = getattr(a.dtype, "kind", "O")
    if kind in "biufc" and not is_empty(a):
        _not_names(name, str(a.dtype))
    if kind in "biufc":
        return np.full(len(a), -1, dtype=np.intp), []
    codes, uniques = pd.factorize(a, use_na_sentinel=True)
    uniq = list(uniques)
    for v in uniq:
        if not isinstance(v, str):
            if isinstance(v, (bool, int, float, np.number, np.bool_)):
                _not_names(name, type(v).__name__)
            break
    return codes.astype(np.intp, copy=False), [str(v) for v in uniq]


def codes_of(indices: pa.Array) -> np.ndarray:
    """Dictionary indices as intp codes, -1 where null."""
    if indices.null_count == 0:
        return indices.to_numpy().astype(np.intp)
    return pc.fill_null(indices, -1).to_numpy(zero_copy_only=False).astype(np.intp, copy=False)


_NUMPY_WRAPPER = getattr(pd.arrays, "NumpyExtensionArray", None) or getattr(pd.arrays, "PandasArray")


def _values(col):
    """The values of a pandas column or sequence as a numpy array or a
    pandas extension array (what pd.factorize takes)."""
    values = col.array if isinstance(col, (pd.Series, pd.Index)) else col
    if isinstance(values, _NUMPY_WRAPPER):
        return values.to_numpy()  # a plain numpy column behind pandas' wrapper
    if isinstance(values, (np.ndarray, pd.api.extensions.ExtensionArray)):
        return values
    return np.asarray(values, dtype=object)


def _not_names(name: str, what: str):
    raise ValueError(f"column {name!r} holds {what} values where names are expected: "
                     "map the right source column to it (columns={tidy name: source name})")


# ------------------------------------------------------------------ numbers


def numbers(col, name: str) -> tuple[np.ndarray, np.ndarray | None]:
    """(float64 values, cells present but unreadable or None).

    An empty cell (or a "no value" token such as NaN or n/a) is a missing
    value; any other cell that is not a number is unreadable, so that the
    row can be reported instead of priced on its other columns."""
    if isinstance(col, Parsed):
        return col.values, col.unreadable
    arr = _arrow(col)
    if arr is not None:
        t = arr.type
        if pa.types.is_null(t):
            return np.full(len(arr), np.nan), None
        if pa.types.is_dictionary(t):
            arr = arr.cast(t.value_type)
            t = arr.type
        if pa.types.is_float64(t):
            return _plain(arr).to_numpy(zero_copy_only=False), None
        if pa.types.is_integer(t) or pa.types.is_floating(t) or pa.types.is_decimal(t):
            return _plain(arr).cast(pa.float64()).to_numpy(zero_copy_only=False), None
        if pa.types.is_string(t) or pa.types.is_large_string(t):
            try:
                return _plain(arr).cast(pa.float64()).to_numpy(zero_copy_only=False), None
            except (pa.ArrowInvalid, pa.ArrowNotImplementedError):
                return _numbers_from_text(np.asarray(_plain(arr).to_numpy(zero_copy_only=False), dtype=object))
        if pa.types.is_boolean(t):
            raise ValueError(f"column {name!r} holds booleans where numbers are expected")
        raise ValueError(f"column {name!r} holds {t} values where numbers are expected")
    if isinstance(col, pd.Series):
        col = col.array
    a = col if isinstance(col, (np.ndarray, pd.api.extensions.ExtensionArray)) else np.asarray(col, dtype=object)
    kind = getattr(a.dtype, "kind", "O")
    if kind in "iuf":
        return np.asarray(a, dtype=np.float64), None
    if kind == "b":
        raise ValueError(f"column {name!r} holds booleans where numbers are expected")
    if kind == "M" or kind == "m":
        raise ValueError(f"column {name!r} holds {a.dtype} values where numbers are expected")
    return _numbers_from_text(np.asarray(a, dtype=object))


def _numbers_from_text(values: np.ndarray) -> tuple[np.ndarray, np.ndarray | None]:
    out = pd.to_numeric(pd.Series(values, dtype=object), errors="coerce").to_numpy(dtype=np.float64, na_value=np.nan)
    failed = np.isnan(out) & ~pd.isna(values)
    if not failed.any():
        return out, None
    idx = np.flatnonzero(failed)
    for i in idx:
        v = values[i]
        if isinstance(v, str) and v.strip().lower() in _NA_TOKENS:
            failed[i] = False
        elif isinstance(v, (float, np.floating)):
            failed[i] = False  # a float NaN is a missing value
    return out, (failed if failed.any() else None)


# ------------------------------------------------------------------ instants


def instants(col, name: str, bare_date_hour: int | None = None) -> tuple[np.ndarray, np.ndarray | None]:
    """(datetime64[ns] UTC values, unreadable cells or None).

    Text is ISO 8601 (a zone or Z, else UTC), parsed once per distinct
    value; a bare date (no time of day) gets `bare_date_hour` when given.
    datetime64 data is taken as it is: a midnight is a midnight. Numbers
    are refused here: their unit is the layout's to say."""
    if isinstance(col, Parsed):
        return col.values, col.unreadable
    if isinstance(col, np.ndarray) and col.dtype == np.dtype("datetime64[ns]"):
        return col, None
    arr = _arrow(col)
    if arr is not None:
        t = arr.type
        if pa.types.is_null(t):
            return np.full(len(arr), np.datetime64("NaT", "ns")), None
        if pa.types.is_timestamp(t):
            a = _plain(arr)
            if t.tz is not None:
                a = a.cast(pa.timestamp(t.unit))
            return a.cast(pa.timestamp("ns")).to_numpy(zero_copy_only=False).astype("datetime64[ns]"), None
        if pa.types.is_date(t):
            days = _plain(arr).cast(pa.date32()).to_numpy(zero_copy_only=False).astype("datetime64[ns]")
            return _with_hour(days, bare_date_hour), None
        if pa.types.is_string(t) or pa.types.is_large_string(t) or pa.types.is_dictionary(t):
            codes, uniques = texts(arr, name)
            return _parse_text(codes, uniques, bare_date_hour)
        raise ValueError(f"column {name!r} holds {t} values where instants (ISO 8601 text or datetimes) "
                         "are expected")
    s = col if isinstance(col, pd.Series) else pd.Series(col)
    dtype = s.dtype
    if isinstance(dtype, pd.DatetimeTZDtype):
        return s.dt.tz_convert("UTC").dt.tz_localize(None).to_numpy("datetime64[ns]"), None
    if dtype.kind == "M":
        return s.to_numpy("datetime64[ns]"), None
    if dtype.kind in "biufc" and not is_empty(s):
        raise ValueError(f"column {name!r} holds numbers where instants are expected: give ISO 8601 text or "
                         "datetimes (epoch numbers have no unit of their own)")
    if dtype.kind in "biufc":
        return np.full(len(s), np.datetime64("NaT", "ns")), None
    codes, uniques = pd.factorize(_values(s), use_na_sentinel=True)
    if all(isinstance(u, str) for u in uniques):
        return _parse_text(codes, [str(u) for u in uniques], bare_date_hour)
    # datetime / date / Timestamp objects (a date without time is a bare date).
    values = np.full(len(uniques) + 1, np.datetime64("NaT", "ns"))
    bad = np.zeros(len(uniques) + 1, dtype=bool)
    for j, u in enumerate(uniques):
        try:
            if isinstance(u, str):
                v = _parse_text(np.array([0]), [u], bare_date_hour)[0][0]
            elif isinstance(u, dt.date) and not isinstance(u, dt.datetime):
                v = np.datetime64(u, "ns")
                if bare_date_hour is not None:
                    v = v + np.timedelta64(int(bare_date_hour), "h")
            else:
                ts = pd.Timestamp(u)
                ts = ts.tz_localize("UTC") if ts.tzinfo is None else ts.tz_convert("UTC")
                v = ts.tz_localize(None).to_datetime64().astype("datetime64[ns]")
        except (TypeError, ValueError, OverflowError):
            bad[j] = True
            continue
        values[j] = v
        bad[j] = np.isnat(v)
    out = values[codes]
    unreadable = bad[codes]
    return out, (unreadable if unreadable.any() else None)


_BARE_DATE = re.compile(r"^\s*\d{4}-\d{2}-\d{2}\s*$")


def _parse_text(codes: np.ndarray, uniques: list[str], bare_date_hour: int | None):
    ns = [_NAT] * (len(uniques) + 1)
    slow = []
    for j, s in enumerate(uniques):
        v = _iso_ns(s)
        if v is None:
            slow.append(j)
        else:
            ns[j] = v
    values = np.array(ns, dtype=np.int64).view("datetime64[ns]")
    bad = np.zeros(len(uniques) + 1, dtype=bool)
    if slow:
        # What the standard library does not read (nanoseconds, other ISO
        # spellings) goes through pandas, which reads the same way.
        parsed = pd.to_datetime(pd.Index([uniques[j] for j in slow], dtype=object), utc=True, errors="coerce",
                                format="ISO8601")
        values[slow] = parsed.tz_localize(None).as_unit("ns").to_numpy("datetime64[ns]")
        for j in slow:
            bad[j] = np.isnat(values[j]) and uniques[j].strip() != ""
    if bare_date_hour is not None:
        hour = np.timedelta64(int(bare_date_hour), "h")
        for j, s in enumerate(uniques):
            # A bare date is ten characters once its blanks are off.
            if len(s.strip()) == 10 and _BARE_DATE.match(s) is not None:
                values[j] = values[j] + hour
    out = values[codes]
    unreadable = bad[codes]
    return out, (unreadable if unreadable.any() else None)


_FRACTION_BEYOND_US = re.compile(r"[.,]\d{7}")
_UTC = dt.timezone.utc
_EPOCH = dt.datetime(1970, 1, 1)
_MICROSECOND = dt.timedelta(microseconds=1)
_NAT = np.iinfo(np.int64).min


def _iso_ns(s: str) -> int | None:
    """An ISO 8601 instant by the standard library, as nanoseconds since the
    epoch (UTC), or None to leave it to pandas."""
    if _FRACTION_BEYOND_US.search(s):
        return None
    try:
        d = dt.datetime.fromisoformat(s.strip())
    except ValueError:
        return None
    if d.tzinfo is not None:
        d = d.astimezone(_UTC).replace(tzinfo=None)
    if not 1678 < d.year < 2262:
        return None  # beyond datetime64[ns]: pandas says NaT
    return (d - _EPOCH) // _MICROSECOND * 1000


def _with_hour(days: np.ndarray, hour: int | None) -> np.ndarray:
    return days if hour is None else days + np.timedelta64(int(hour), "h")


# ------------------------------------------------------------------ layouts' own units


class Parsed(NamedTuple):
    """A column a layout has already converted (values, unreadable cells or None)."""

    values: np.ndarray
    unreadable: np.ndarray | None


_NS_PER = {"s": 1_000_000_000, "ms": 1_000_000, "us": 1_000, "ns": 1}
# The largest nanosecond count an instant may have (the smallest int64 is NaT).
_NS_LIMIT = 2**63 - 1


def epoch(col, name: str, unit: str) -> Parsed:
    """Epoch numbers in `unit` as datetime64[ns] (exact for whole numbers)."""
    mult = _NS_PER[unit]
    arr = _arrow(col)
    if (arr is not None and pa.types.is_timestamp(arr.type)) or getattr(col, "dtype", None) is not None and \
            (getattr(col.dtype, "kind", "") == "M" or isinstance(col.dtype, pd.DatetimeTZDtype)):
        return Parsed(*instants(col, name))  # instants already: their unit is their own
    if arr is not None and pa.types.is_integer(arr.type):
        a = _plain(arr)
        if a.null_count == 0 and pa.types.is_int64(a.type):
            ints = a.to_numpy()
        else:
            ints = pc.fill_null(a, 0).cast(pa.int64()).to_numpy(zero_copy_only=False)
        # Beyond the nanosecond range the product would wrap to a plausible
        # wrong date: such a number is unreadable, not an instant.
        lim = _NS_LIMIT // mult
        far = (ints > lim) | (ints < -lim)
        ns = (np.where(far, 0, ints) * mult).view("datetime64[ns]")
        valid = ~far
        if a.null_count:
            valid &= a.is_valid().to_numpy(zero_copy_only=False)
        if a.null_count or far.any():
            ns = np.where(valid, ns, np.datetime64("NaT", "ns"))
        return Parsed(ns, far if far.any() else None)
    values, bad = numbers(col, name)
    ok = np.isfinite(values)
    far = ok & (np.abs(values) >= _NS_LIMIT / mult)
    if far.any():
        ok &= ~far
        bad = far if bad is None else (bad | far)
    whole = np.floor(np.where(ok, values, 0.0))
    # Whole units first (exact in int64), then the fraction rounded to ns.
    ns = whole.astype(np.int64) * mult + np.round((np.where(ok, values, 0.0) - whole) * mult).astype(np.int64)
    out = np.where(ok, ns.view("datetime64[ns]"), np.datetime64("NaT", "ns"))
    inf = np.isinf(values)
    if inf.any():
        bad = inf if bad is None else (bad | inf)
    return Parsed(out, bad)
