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

import operator
import os
from collections.abc import Callable, Sequence
from typing import Any

import numpy as np

import korvex_chain._kernels as _kernels

# Inputs below these sizes run on the calling thread when threads=None. At
# these sizes a call computes for about a millisecond, and a second thread
# measurably shortens it (starting and joining threads costs some tens of
# microseconds); below them the gain is lost in the noise of a shared machine.
SMALL_IV = 2_000
SMALL_PRICING = 20_000
SMALL_MODEL = 20_000
SMALL_CALENDAR = 50_000

_MAX_THREADS = 1024


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


def side_or_none(text: Any) -> bool | None:
    """The side a table cell spells, blanks around it aside: True for a call,
    False for a put, None for anything else (the kernel's parser decides)."""
    if not isinstance(text, str):
        return None
    try:
        return _kernels.parse_side(text.strip())
    except ValueError:
        return None


def _parse_object_sides(values: list[Any]) -> dict[Any, bool]:
    # dict.fromkeys keeps the order of first appearance, so the first bad
    # value reported is the first bad element of the array.
    sides: dict[Any, bool] = {}
    for v in dict.fromkeys(values):
        if not isinstance(v, str):
            raise TypeError(f"call_put must hold str values, got {type(v).__name__}")
        sides[v] = _kernels.parse_side(v)
    return sides


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
        return a
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

# numpy datetime64 units as (ticks per second, seconds per tick).
_UNITS = {
    "s": (1, 1),
    "ms": (1_000, 1),
    "us": (1_000_000, 1),
    "ns": (1_000_000_000, 1),
    "ps": (1_000_000_000_000, 1),
    "fs": (1_000_000_000_000_000, 1),
    "as": (1_000_000_000_000_000_000, 1),
    "m": (1, 60),
    "h": (1, 3_600),
    "D": (1, 86_400),
    "W": (1, 604_800),
}


def as_instants(x: Any, name: str) -> tuple[np.ndarray, int, int]:
    """Instants as (array, ticks per second, seconds per tick): a float64
    array of epoch seconds with (0, 0), or int64 datetime64 ticks.

    datetime64 values are naive UTC (NaT stays NaT); pandas datetime data
    with a time zone is converted to UTC first; numbers are epoch seconds;
    objects with a ``timestamp()`` method (datetime, pandas Timestamp) are
    read through it, as korvex reads them."""
    dtype = getattr(x, "dtype", None)
    if dtype is not None and getattr(dtype, "tz", None) is not None:
        x = x.dt.tz_convert("UTC").dt.tz_localize(None) if hasattr(x, "dt") else x.tz_convert(None)
    a = x if isinstance(x, np.ndarray) else np.asarray(x)
    kind = a.dtype.kind
    if kind == "M":
        unit, count = np.datetime_data(a.dtype)
        if unit in ("Y", "M"):
            # Months and years have no fixed length; whole days are exact.
            a = a.astype("datetime64[D]")
        elif unit == "generic":
            a = a.astype("datetime64[s]")
        elif count != 1:
            a = a.astype(f"datetime64[{unit}]")
        unit = np.datetime_data(a.dtype)[0]
        tps, spt = _UNITS[unit]
        return a.view(np.int64), tps, spt
    if kind in "fiub":
        return a.astype(np.float64, copy=False), 0, 0
    if kind == "O":
        values = a.reshape(-1).tolist()
        try:
            secs = np.fromiter((float(v.timestamp()) for v in values), dtype=np.float64, count=len(values))
        except AttributeError:
            pass
        else:
            return secs.reshape(a.shape), 0, 0
    raise TypeError(
        f"{name} must hold datetime64 values, epoch seconds or objects with timestamp(), got dtype {a.dtype}"
    )


def time_between(
    kernel: Callable[..., None], start: Any, end: Any, threads: Any
) -> np.ndarray:
    s, s_tps, s_spt = as_instants(start, "start")
    e, e_tps, e_spt = as_instants(end, "end")
    shape = broadcast_shape([s, e], ["start", "end"])
    n = int(np.prod(shape, dtype=np.int64))
    out = np.empty(n, dtype=np.float64)
    t = resolve_threads(threads, n, SMALL_CALENDAR)
    if n:
        kernel(flat(s, shape), s_tps, s_spt, flat(e, shape), e_tps, e_spt, out, t)
    return out.reshape(shape)
