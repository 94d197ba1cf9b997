"""Input normalisation for the array functions.

Everything the user passes is turned into what the kernels accept: float64
(or bool, or int64 ticks) one-dimensional C-contiguous arrays, each either as
long as the broadcast result or of length one (a value shared by every
element, which the kernels read with stride zero instead of materialising a
broadcast copy). Numeric trouble is left to the kernels, which never raise
for it; only wrong types, unknown option sides and incompatible shapes raise
here.
"""

from __future__ import annotations

import json
import math
import operator
import os
import re
import sys
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Any

import numpy as np

import korvex_chain._kernels as _kernels

if TYPE_CHECKING:
    from .arrays import CalendarLike

# "calendar": 365-day years, the convention exchanges quote their IVs in.
# "business": korvex's weighted business time, of calendar "BTCUSDT" unless
# another is given.
CLOCKS = ("calendar", "business")
# The trading calendar compiled into the modules: the business clock's default.
EMBEDDED_CALENDAR = "BTCUSDT"
# The constant-maturity tenors a surface quotes unless asked for others.
# (Here, beside the clocks, so that a history run with nothing left to do
# checks its options without importing pandas.)
DEFAULT_TENORS = ("1w", "2w", "1m", "2m", "3m", "6m", "1y")

# Inputs below these sizes run on the calling thread when threads=None. At
# these sizes a call computes for about a millisecond, and a second thread
# measurably shortens it (starting and joining threads costs some tens of
# microseconds); below them the gain is lost in the noise of a shared machine.
SMALL_IV = 2_000
SMALL_PRICING = 20_000
SMALL_MODEL = 20_000
SMALL_CALENDAR = 50_000

_MAX_THREADS = 1024


# The least-squares solvers: the native Levenberg-Marquardt (the default: one
# call per solve, bounds kept by projection) or scipy's trust-region
# reflective least_squares on the same residual and Jacobian kernel.
SOLVERS = ("native", "scipy")


def check_fit_options(model: str, weights: str, solver: str, calendar_arbitrage: str = "report") -> None:
    """ValueError for a model, weighting, solver or calendar_arbitrage that
    fit_chain does not know."""
    models = _kernels.model_kinds()
    if model not in models:
        raise ValueError(f"unknown model {model!r}: use one of {', '.join(models)}")
    if weights not in ("spread", "vega"):
        raise ValueError(f"unknown weights {weights!r}: use 'spread' or 'vega'")
    if solver not in SOLVERS:
        raise ValueError(f"unknown solver {solver!r}: use one of {', '.join(SOLVERS)}")
    if calendar_arbitrage not in ("report", "repair"):
        raise ValueError(f"unknown calendar_arbitrage {calendar_arbitrage!r}: use 'report' or 'repair'")


def check_quote_options(deltas: Any, delta: str, atm: str) -> np.ndarray:
    """The deltas of a constant-maturity quote table (percent, as a flat
    array), or ValueError for deltas, a delta convention or an at-the-money
    rule that Surface.quotes does not know."""
    if delta not in ("forward", "premium_adjusted"):
        raise ValueError(f"unknown delta {delta!r}: use 'forward' or 'premium_adjusted'")
    if atm not in ("forward", "delta_neutral"):
        raise ValueError(f"unknown atm {atm!r}: use 'forward' or 'delta_neutral'")
    dl = np.atleast_1d(np.asarray(deltas, dtype=float)).reshape(-1)
    if not np.all((dl > 0) & (dl < 50)):
        raise ValueError(f"deltas must lie strictly between 0 and 50 (percent), got {deltas!r}")
    return dl


def check_clock(clock: str, calendar: CalendarLike | None = None) -> None:
    """ValueError for an unknown clock, or a calendar given to the calendar clock."""
    if clock not in CLOCKS:
        raise ValueError(f"unknown clock {clock!r}: use one of {', '.join(CLOCKS)}")
    if clock == "calendar" and calendar is not None:
        raise ValueError("a calendar applies only to clock='business': the calendar clock counts 365-day years")


def cpu_count() -> int:
    """CPUs this process may run on (its affinity mask where the OS has one)."""
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except (AttributeError, OSError):
        return os.cpu_count() or 1


def resolve_threads(threads: Any, n: int, small: int) -> int:
    if threads is None:
        return 1 if n < small else cpu_count()
    if isinstance(threads, bool):
        raise TypeError("threads must be an integer or None, not bool")
    try:
        t = operator.index(threads)
    except TypeError:
        raise TypeError(f"threads must be an integer or None, not {type(threads).__name__}") from None
    if t < 1:
        raise ValueError(f"threads must be at least 1, got {t}")
    return min(t, _MAX_THREADS)


def as_float(x: Any, name: str) -> np.ndarray:
    """x as a float64 array of its own shape; TypeError if it is not numeric."""
    a = x if isinstance(x, np.ndarray) else np.asarray(x)
    kind = a.dtype.kind
    if kind == "f":
        return a if a.dtype == np.float64 else a.astype(np.float64)
    if kind in "iub":
        return a.astype(np.float64)
    if kind == "O":
        # Objects are taken as korvex takes a float argument: through
        # __float__ (or __index__); None and text are not numbers, although
        # numpy's own conversion would turn them into NaN or parse them.
        values = a.reshape(-1).tolist()
        for v in values:
            t = type(v)
            if isinstance(v, (str, bytes)) or not (hasattr(t, "__float__") or hasattr(t, "__index__")):
                raise TypeError(f"{name} must hold numbers, got {t.__name__}")
        return np.array([float(v) if hasattr(type(v), "__float__") else float(operator.index(v)) for v in values],
                        dtype=np.float64).reshape(a.shape)
    raise TypeError(f"{name} must be numeric (float, int or bool values), got dtype {a.dtype}")


def broadcast_shape(arrays: Sequence[np.ndarray], names: Sequence[str]) -> tuple[int, ...]:
    """The common shape; ValueError naming the first pair of shapes that clash."""
    shape: tuple[int, ...] = ()
    seen: list[str] = []
    for a, name in zip(arrays, names):
        try:
            shape = np.broadcast_shapes(shape, a.shape)
        except ValueError:
            raise ValueError(
                f"shapes {shape} and {a.shape} cannot be broadcast together "
                f"({name} against {', '.join(seen)})"
            ) from None
        seen.append(name)
    return shape


def flat(a: np.ndarray, shape: tuple[int, ...]) -> np.ndarray:
    """a as a 1-D C-contiguous array: length one if it holds one value (the
    kernels repeat it), else the full broadcast length."""
    if a.size == 1:
        return a.reshape(1)
    if a.shape != shape:
        a = np.broadcast_to(a, shape)
    return np.ravel(a, order="C")


# ------------------------------------------------------------------ sides


def _missing_markers() -> set[int]:
    """Identities of the objects that stand for a missing value in object
    arrays: None, and pandas' NA and NaT when pandas is loaded (an array can
    only hold them if it is)."""
    ids = {id(None)}
    pd = sys.modules.get("pandas")
    if pd is not None:
        ids.update((id(pd.NA), id(pd.NaT)))
    return ids


def _is_missing(v: Any, markers: set[int]) -> bool:
    if id(v) in markers:
        return True
    if isinstance(v, (float, np.floating)):
        return math.isnan(v)
    return isinstance(v, (np.datetime64, np.timedelta64)) and bool(np.isnat(v))


def side_or_none(text: Any) -> bool | None:
    """The side a table cell spells, blanks around it aside: True for a call,
    False for a put, None for anything else (the kernel's parser decides)."""
    if not isinstance(text, str):
        return None
    try:
        return _kernels.parse_side(text.strip())
    except ValueError:
        return None


def side_code(text: Any) -> int:
    """side_or_none as a small integer for lookup tables: 1 call, 0 put, -1 unknown."""
    side = side_or_none(text)
    return -1 if side is None else int(side)


def _parse_object_sides(values: list[Any]) -> dict[Any, bool]:
    """Side of each distinct value of an object array: text as korvex parses
    it, bools (True = call) as in a boolean array. A missing value (None,
    NaN, pandas' NA, which a nullable boolean column holds) is an unknown
    side; anything else is a wrong type. Errors name the first bad element."""
    # dict.fromkeys keeps the order of first appearance, so the first bad
    # value reported is the first bad element of the array.
    distinct = dict.fromkeys(values)
    if all(isinstance(v, str) for v in distinct):
        return {v: _kernels.parse_side(v) for v in distinct}
    # Other kinds among them: deduplication goes by equality, under which
    # True == 1 == 1.0, so each element is checked, in order.
    markers = _missing_markers()
    sides: dict[Any, bool] = {}
    for v in values:
        if isinstance(v, str):
            if v not in sides:
                sides[v] = _kernels.parse_side(v)
        elif isinstance(v, (bool, np.bool_)):
            sides[v] = bool(v)
        elif _is_missing(v, markers):
            raise ValueError(f"call_put has a missing side ({v!r}): each option needs "
                             "'c'/'call', 'p'/'put' or a bool (True = call)")
        else:
            raise TypeError(f"call_put must hold str or bool values, got {type(v).__name__}")
    return sides


def _clean_bools(a: np.ndarray) -> np.ndarray:
    """a with every element stored as byte 0 or 1. numpy takes any nonzero
    byte of a bool array as True, but the kernels read the byte as a C++
    bool, for which only 0 and 1 are values; viewing other bytes as bool
    makes such arrays. One pass over the bytes, and no copy when they are
    clean, as they nearly always are."""
    if a.size == 0:
        return a
    raw = a.view(np.uint8)
    if raw.max() <= 1:
        return a
    return raw != 0


def _parse_string_sides(a: np.ndarray) -> np.ndarray:
    """Side of every element of a numpy str array, parsed once per distinct
    value in the order the values first appear (so an error names the first
    bad element). A chain holds a handful of spellings, so a few vectorised
    comparisons replace a per-element loop or a sort; they compare the UCS-4
    code units as integers, which is much faster than numpy's string equality."""
    values = np.ascontiguousarray(a).reshape(-1)
    n = values.size
    codes = values.view(np.uint32).reshape(n, values.itemsize // 4)
    out = np.zeros(n, dtype=np.bool_)
    todo = np.ones(n, dtype=np.bool_)
    start = 0
    while start < n:
        start += int(todo[start:].argmax())  # the first element not yet decided
        if not todo[start]:
            break
        side = _kernels.parse_side(str(values[start]))
        row = codes[start]
        same = codes[:, 0] == row[0]
        for j in range(1, codes.shape[1]):
            same &= codes[:, j] == row[j]
        if side:
            np.logical_or(out, same, out=out)
        np.greater(todo, same, out=todo)  # todo and not same
    return out.reshape(a.shape)


def as_sides(call_put: Any) -> np.ndarray:
    """call_put as a bool array (True = call) of its own shape."""
    if isinstance(call_put, str):
        return np.asarray(_kernels.parse_side(call_put))
    a = call_put if isinstance(call_put, np.ndarray) else np.asarray(call_put)
    kind = a.dtype.kind
    if kind == "b":
        return _clean_bools(a)
    if kind == "U":
        return _parse_string_sides(a)
    if kind == "O":
        values = a.reshape(-1).tolist()
        sides = _parse_object_sides(values)
        return np.fromiter((sides[v] for v in values), dtype=np.bool_, count=len(values)).reshape(a.shape)
    raise TypeError(
        f"call_put must be a str, an array of str or a boolean array (True = call), got dtype {a.dtype}"
    )


# ------------------------------------------------------------------ pricing


def prepare(named: Sequence[tuple[str, Any]], call_put: Any) -> tuple[tuple[int, ...], list[np.ndarray]]:
    """Converts the numeric inputs and the side, broadcasts them, and returns
    the result shape with the flattened arrays (the side last)."""
    arrays = [as_float(v, name) for name, v in named]
    arrays.append(as_sides(call_put))
    names = [name for name, _ in named] + ["call_put"]
    shape = broadcast_shape(arrays, names)
    return shape, [flat(a, shape) for a in arrays]


def outputs(shape: tuple[int, ...], count: int) -> list[np.ndarray]:
    n = int(np.prod(shape, dtype=np.int64))
    return [np.empty(n, dtype=np.float64) for _ in range(count)]


# ------------------------------------------------------------------ time

_NAT = np.iinfo(np.int64).min
_INT64_MAX = np.iinfo(np.int64).max

# datetime64 units as seconds per tick, and sub-second ones as ticks per second.
_SECONDS_PER_TICK = {"s": 1, "m": 60, "h": 3_600, "D": 86_400, "W": 604_800}
_TICKS_PER_SECOND = {
    "ms": 1_000,
    "us": 1_000_000,
    "ns": 1_000_000_000,
    "ps": 1_000_000_000_000,
    "fs": 1_000_000_000_000_000,
    "as": 1_000_000_000_000_000_000,
}


# Years from 1970 that datetime64[Y] and [M] values are cast to days
# within: a thousand times any year an instant may have (the kernels give
# NaN beyond those), and small enough that numpy's cast to days cannot
# overflow, as it would otherwise silently.
_CASTABLE_YEARS = 1_000_000_000


def _first_days(v: np.ndarray, unit: str, count: int) -> np.ndarray:
    """Days since 1970-01-01 of the first day of each year or month of a
    datetime64[Y]/[M] array (of `count` years or months a tick), NaT for
    NaT and for values far beyond any supported date."""
    lim = _CASTABLE_YEARS * (1 if unit == "Y" else 12) // count
    ok = (v >= -lim) & (v <= lim)  # so v * count does not overflow either
    inside = np.where(ok, v, 0)
    if count != 1:
        inside = inside * count
    days = inside.astype(f"datetime64[{unit}]").astype("datetime64[D]").view(np.int64)
    return np.where(ok, days, _NAT)


def _sub_second_multiples(v: np.ndarray, count: int, tps: int) -> tuple[np.ndarray, int, int]:
    """Ticks of `count` sub-second units (datetime64[250ms], [10ns]...) as
    ticks of the unit itself (exact), or where some instant fits no int64
    of that unit, of microseconds; NaT kept."""
    lim = _INT64_MAX // count
    fits = (v >= -lim) & (v <= lim)
    beyond = ~fits & (v != _NAT)
    if tps <= 1_000_000 or not beyond.any():
        # int64 milli- and microseconds reach 292,000 years from 1970, beyond
        # the supported years: a value whose product does not fit is NaT.
        return np.where(fits, np.where(fits, v, 0) * count, _NAT), tps, 1
    # int64 nanoseconds (and finer) reach only 1678 to 2262, so some of these
    # instants fit no such unit: the whole array is read in microseconds,
    # rounded down (Python integers; a rare layout, exact to the microsecond).
    out = np.empty(v.size, dtype=np.int64)
    for i, x in enumerate(v.reshape(-1).tolist()):
        if x == _NAT:
            out[i] = _NAT
            continue
        us = x * count * 1_000_000 // tps
        out[i] = us if -_INT64_MAX <= us <= _INT64_MAX else _NAT
    return out.reshape(v.shape), 1_000_000, 1


def _datetime_ticks(a: np.ndarray) -> tuple[np.ndarray, int, int]:
    """int64 ticks of a datetime64 array of any unit and byte order, as
    (ticks, ticks per second, seconds per tick), in a form the kernels read
    with overflow checks: no unit cast that could wrap or raise."""
    if not a.dtype.isnative:
        a = a.astype(a.dtype.newbyteorder("="))
    unit, count = np.datetime_data(a.dtype)
    if unit == "generic":  # numpy holds only NaT in generic units
        a = a.astype("datetime64[s]")
        unit, count = "s", 1
    v = a.view(np.int64)
    if unit in _SECONDS_PER_TICK:
        return v, 1, _SECONDS_PER_TICK[unit] * count
    if unit in ("Y", "M"):
        return _first_days(v, unit, count), 1, 86_400
    tps = _TICKS_PER_SECOND[unit]
    if count == 1:
        return v, tps, 1
    return _sub_second_multiples(v, count, tps)


def _object_seconds(a: np.ndarray, name: str) -> np.ndarray:
    """Epoch seconds of an object array: objects with timestamp() (datetime,
    pandas Timestamp) read through it as korvex reads them, numbers as epoch
    seconds, and missing values (None, NaN, NaT, pandas' NA) as NaN."""
    markers = _missing_markers()

    def seconds(v: Any) -> float:
        if _is_missing(v, markers):
            return math.nan
        if hasattr(v, "timestamp"):
            return float(v.timestamp())
        t = type(v)
        if isinstance(v, (str, bytes, np.datetime64)) or not (hasattr(t, "__float__") or hasattr(t, "__index__")):
            raise TypeError(
                f"{name} must hold datetime64 values, epoch seconds or objects with timestamp(), "
                f"got {t.__name__}"
            )
        return float(v) if hasattr(t, "__float__") else float(operator.index(v))

    values = a.reshape(-1).tolist()
    try:
        # Usually every element has timestamp(): then one call each is all.
        secs = np.fromiter((float(v.timestamp()) for v in values), dtype=np.float64, count=len(values))
    except (AttributeError, TypeError, ValueError):  # NaT raises ValueError
        secs = np.fromiter(map(seconds, values), dtype=np.float64, count=len(values))
    return secs.reshape(a.shape)


def as_instants(x: Any, name: str) -> tuple[np.ndarray, int, int]:
    """Instants as (array, ticks per second, seconds per tick): a float64
    array of epoch seconds with (0, 0), or int64 datetime64 ticks.

    datetime64 values of any unit and byte order are naive UTC (NaT stays
    NaT, and so do dates beyond the supported years); pandas datetime data
    with a time zone is converted to UTC first; numbers are epoch seconds;
    objects with a ``timestamp()`` method (datetime, pandas Timestamp) are
    read through it, as korvex reads them; None, NaN and NaT are missing."""
    dtype = getattr(x, "dtype", None)
    if dtype is not None and getattr(dtype, "tz", None) is not None:
        x = x.dt.tz_convert("UTC").dt.tz_localize(None) if hasattr(x, "dt") else x.tz_convert(None)
    a = x if isinstance(x, np.ndarray) else np.asarray(x)
    kind = a.dtype.kind
    if kind == "M":
        return _datetime_ticks(a)
    if kind in "fiub":
        return a.astype(np.float64, copy=False), 0, 0
    if kind == "O":
        return _object_seconds(a, name), 0, 0
    raise TypeError(
        f"{name} must hold datetime64 values, epoch seconds or objects with timestamp(), got dtype {a.dtype}"
    )


def time_between(
    kernel: Callable[..., None], start: Any, end: Any, threads: Any, *, call_when_empty: bool = False
) -> np.ndarray:
    """kernel over the broadcast instants; with call_when_empty the kernel
    runs for empty inputs too (to check what it checks besides them)."""
    s, s_tps, s_spt = as_instants(start, "start")
    e, e_tps, e_spt = as_instants(end, "end")
    shape = broadcast_shape([s, e], ["start", "end"])
    n = int(np.prod(shape, dtype=np.int64))
    out = np.empty(n, dtype=np.float64)
    t = resolve_threads(threads, n, SMALL_CALENDAR)
    if n or call_when_empty:
        kernel(flat(s, shape), s_tps, s_spt, flat(e, shape), e_tps, e_spt, out, t)
    return out.reshape(shape)


# A document's text: "{" after white space and byte order marks (which the
# parser then refuses, with its own message).
_DOCUMENT_START = re.compile(r"[\s\ufeff]*\{")


def _json_scalar(value: Any) -> Any:
    """numpy scalars in a calendar dict as the Python numbers they hold."""
    if isinstance(value, np.generic):
        return value.item()
    raise TypeError(f"Object of type {type(value).__name__} is not JSON serializable")


def calendar_source(calendar: Any) -> tuple[bytes, bool]:
    """A bus_ttx calendar as the kernel takes it: (UTF-8 text, is_document).

    - a str whose first character after white space (and a byte order
      mark, which the parser then refuses) is "{" is a calendar document's
      JSON text;
    - a str ending in ".json" (any case), or any os.PathLike, is the path of
      a file holding one (FileNotFoundError when there is none), read as
      bytes and given to the parser as they are;
    - any other str is the name of an embedded calendar ("BTCUSDT");
    - a dict is a document, written with json.dumps (floats as their
      shortest exact decimals; NaN and infinities, which JSON cannot
      write, are a ValueError).
    """
    if isinstance(calendar, str):
        if _DOCUMENT_START.match(calendar):
            return calendar.encode("utf-8"), True
        if not calendar.lower().endswith(".json"):
            return calendar.encode("utf-8"), False
        path: Any = calendar
    elif isinstance(calendar, os.PathLike):
        path = calendar
    elif isinstance(calendar, dict):
        try:
            text = json.dumps(calendar, allow_nan=False, default=_json_scalar)
        except ValueError as e:
            raise ValueError(f"calendar dict is not a JSON document: {e}") from None
        return text.encode("utf-8"), True
    else:
        raise TypeError(
            "calendar must be an embedded calendar's name, a calendar document (JSON text or a dict) "
            f"or the path of a .json file, not {type(calendar).__name__}"
        )
    with open(path, "rb") as f:
        return f.read(), True
