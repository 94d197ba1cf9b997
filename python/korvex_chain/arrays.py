"""The array functions: korvex's pricing, implied vols, smiles and calendar
time over numpy arrays (see the package's own description)."""

from __future__ import annotations

import os
from typing import Any, NamedTuple, TypeAlias

import numpy as np

import korvex_chain._kernels as _kernels

from . import _inputs

__all__ = [
    "B76",
    "Binary",
    "IVStatus",
    "b76",
    "binary",
    "bus_ttx",
    "cal_ttx",
    "implied_vols",
    "MODEL_KINDS",
    "model_arb_free",
    "model_param_names",
    "model_vols",
    "smile_vols",
    "tz_version",
]

# What bus_ttx takes as a calendar: an embedded calendar's name, a calendar
# document as JSON text or a dict, or the path of a .json file.
CalendarLike: TypeAlias = str | os.PathLike[str] | dict[str, Any]

# The parameter-vector model API (used by the fitting code): exact names kept.
model_param_names = _kernels.model_param_names


# Why an implied vol is NaN (the ``status`` array of implied_vols): an
# IntEnum made from the kernel's own codes (OK, BELOW_MIN, ABOVE_MAX,
# NO_TIME_VALUE, NAN_INPUT).
IVStatus = _kernels.IVStatus


class B76(NamedTuple):
    """Black-76 results, each array bit for bit korvex's b76_<field>."""

    fairvalue: np.ndarray
    delta: np.ndarray
    gamma: np.ndarray
    vega: np.ndarray


class Binary(NamedTuple):
    """Binary option results, each array bit for bit korvex's binary_<field>."""

    fairvalue: np.ndarray
    delta: np.ndarray
    gamma: np.ndarray
    vega: np.ndarray
    theta: np.ndarray


def implied_vols(
    ttx: Any,
    fwd: Any,
    strike: Any,
    price: Any,
    call_put: Any,
    df: Any = 1.0,
    *,
    status: bool = False,
    threads: int | None = None,
) -> np.ndarray | tuple[np.ndarray, np.ndarray]:
    """Implied Black-76 vols, element by element korvex.calibrate_black76_iv.

    ``call_put`` is a str, an array of str ("c", "call", "p", "put" in any
    case) or a boolean array (True = call). Returns a float64 array of the
    broadcast shape; with ``status=True`` also an int8 array of IVStatus codes.

    A vol is NaN exactly when its status is not OK. The status of a NaN vol
    is decided in this order: NAN_INPUT if any input is NaN; NO_TIME_VALUE if
    ttx <= 0; BELOW_MIN if the price is below the price at vol 0.01;
    ABOVE_MAX if it is above the price at vol 10; otherwise NAN_INPUT (the
    price function itself is NaN, e.g. for a negative forward). A vol that
    is found is OK even if an input is odd: with ttx <= 0 and a price equal
    to the intrinsic value the vol is 10.0, as in korvex.
    """
    shape, (t, f, k, p, d, side) = _inputs.prepare(
        [("ttx", ttx), ("fwd", fwd), ("strike", strike), ("price", price), ("df", df)], call_put
    )
    (vols,) = _inputs.outputs(shape, 1)
    st = np.empty(vols.shape, dtype=np.int8) if status else None
    n = vols.size
    nthreads = _inputs.resolve_threads(threads, n, _inputs.SMALL_IV)
    if n:
        _kernels.implied_vols(t, f, k, p, side, d, vols, st, nthreads)
    if status:
        assert st is not None
        return vols.reshape(shape), st.reshape(shape)
    return vols.reshape(shape)


class ImpliedVolsRun:
    """implied_vols(..., status=True) under way on threads of their own
    (see start_implied_vols); result() waits for it."""

    def __init__(self, shape: tuple[int, ...], vols: np.ndarray, status: np.ndarray, task: Any):
        self._shape, self._vols, self._status, self._task = shape, vols, status, task

    def result(self) -> tuple[np.ndarray, np.ndarray]:
        if self._task is not None:
            task, self._task = self._task, None
            task.wait()
        return self._vols.reshape(self._shape), self._status.reshape(self._shape)


def start_implied_vols(
    ttx: Any, fwd: Any, strike: Any, price: Any, call_put: Any, df: Any = 1.0, *, threads: int | None = None
) -> ImpliedVolsRun:
    """implied_vols(..., status=True) started on threads of its own, so that
    the caller goes on with other work meanwhile; the same numbers, from
    result(). The inputs must not change until then. On one thread (asked
    for, or all a small call gets) the vols are computed here and now: the
    caller's own work then waits, rather than adding a thread."""
    shape, (t, f, k, p, d, side) = _inputs.prepare(
        [("ttx", ttx), ("fwd", fwd), ("strike", strike), ("price", price), ("df", df)], call_put
    )
    (vols,) = _inputs.outputs(shape, 1)
    st = np.empty(vols.shape, dtype=np.int8)
    n = vols.size
    if not n:
        return ImpliedVolsRun(shape, vols, st, None)
    nthreads = _inputs.resolve_threads(threads, n, _inputs.SMALL_IV)
    if nthreads == 1:
        _kernels.implied_vols(t, f, k, p, side, d, vols, st, 1)
        return ImpliedVolsRun(shape, vols, st, None)
    return ImpliedVolsRun(shape, vols, st, _kernels.ImpliedVolsTask(t, f, k, p, side, d, vols, st, nthreads))


def b76(
    fwd: Any, strike: Any, ttx: Any, vol: Any, call_put: Any, df: Any = 1.0, *, threads: int | None = None
) -> B76:
    """Black-76 fair value, delta, gamma and vega in one pass.

    Each field is the array of korvex's b76_fairvalue, b76_delta, b76_gamma
    and b76_vega for the broadcast inputs, bit for bit."""
    shape, (f, k, t, v, d, side) = _inputs.prepare(
        [("fwd", fwd), ("strike", strike), ("ttx", ttx), ("vol", vol), ("df", df)], call_put
    )
    fv, delta, gamma, vega = _inputs.outputs(shape, 4)
    n = fv.size
    nthreads = _inputs.resolve_threads(threads, n, _inputs.SMALL_PRICING)
    if n:
        _kernels.b76(f, k, t, v, side, d, fv, delta, gamma, vega, nthreads)
    return B76(fv.reshape(shape), delta.reshape(shape), gamma.reshape(shape), vega.reshape(shape))


def binary(
    fwd: Any, strike: Any, ttx: Any, vol: Any, call_put: Any, df: Any = 1.0, *, threads: int | None = None
) -> Binary:
    """Binary (cash-or-nothing) fair value, delta, gamma, vega and theta.

    Each field is the array of korvex's binary_<field> for the broadcast
    inputs, bit for bit."""
    shape, (f, k, t, v, d, side) = _inputs.prepare(
        [("fwd", fwd), ("strike", strike), ("ttx", ttx), ("vol", vol), ("df", df)], call_put
    )
    fv, delta, gamma, vega, theta = _inputs.outputs(shape, 5)
    n = fv.size
    nthreads = _inputs.resolve_threads(threads, n, _inputs.SMALL_PRICING)
    if n:
        _kernels.binary(f, k, t, v, side, d, fv, delta, gamma, vega, theta, nthreads)
    return Binary(fv.reshape(shape), delta.reshape(shape), gamma.reshape(shape), vega.reshape(shape),
                  theta.reshape(shape))


# ------------------------------------------------------------------ smiles

# The smile models, as the C++ models name them: GVVSpline, CubicSpline, VolGeo.
MODEL_KINDS: tuple[str, ...] = tuple(_kernels.model_kinds())
_EXPECTED_KINDS = ", ".join(repr(k) for k in MODEL_KINDS[:-1]) + f" or {MODEL_KINDS[-1]!r}"


def _scalar(x: Any, name: str) -> float:
    a = _inputs.as_float(x, name)
    if a.ndim != 0 and a.size != 1:
        raise TypeError(f"{name} must be a scalar, got an array of shape {a.shape}")
    return float(a.reshape(()))


def _params(kind: str, params: Any) -> tuple[np.ndarray, np.ndarray]:
    """The parameters as given (shape (p,) or (m, p)) and as contiguous rows."""
    if kind not in MODEL_KINDS:
        raise ValueError(f"unknown model kind: {kind!r}; expected {_EXPECTED_KINDS}")
    p = _inputs.as_float(params, "params")
    if p.ndim not in (1, 2):
        raise ValueError(f"params must have shape (p,) or (m, p), got {p.shape}")
    return p, np.ascontiguousarray(p if p.ndim == 2 else p.reshape(1, -1))


def model_vols(
    kind: str, params: Any, ttx: Any, spot: Any, strikes: Any, *, threads: int | None = None
) -> np.ndarray:
    """Vols of the model ``kind`` built from parameter vectors.

    ``params`` has shape (p,) or (m, p), in the order of
    model_param_names(kind); each row gives the vols that ``get_vol`` of
    ``<kind>.with_params`` with those values returns, bit for bit. The
    result has shape strikes.shape, or (m,) + strikes.shape."""
    p, rows = _params(kind, params)
    k = _inputs.as_float(strikes, "strikes")
    kf = np.ravel(k, order="C")
    out = np.empty((rows.shape[0], kf.size), dtype=np.float64)
    nthreads = _inputs.resolve_threads(threads, out.size, _inputs.SMALL_MODEL)
    if out.size:
        _kernels.model_vols(kind, rows, _scalar(ttx, "ttx"), _scalar(spot, "spot"), kf, out, nthreads)
    return out.reshape(k.shape) if p.ndim == 1 else out.reshape((rows.shape[0],) + k.shape)


def model_arb_free(kind: str, params: Any) -> bool | np.ndarray:
    """korvex's arb_free() of the model built from each parameter vector:
    a bool for shape (p,), a bool array of shape (m,) for (m, p)."""
    p, rows = _params(kind, params)
    out = np.empty(rows.shape[0], dtype=np.bool_)
    if out.size:
        _kernels.model_arb_free(kind, rows, out)
    return bool(out[0]) if p.ndim == 1 else out


def _model_kind(model: Any) -> str:
    import korvex

    for kind in MODEL_KINDS:
        if isinstance(model, getattr(korvex, kind)):
            return kind
    raise TypeError(
        f"model must be a korvex {', '.join(MODEL_KINDS[:-1])} or {MODEL_KINDS[-1]}, not {type(model).__name__}"
    )


def smile_vols(model: Any, ttx: Any, spot: Any, strikes: Any, *, threads: int | None = None) -> np.ndarray:
    """Vols of a korvex GVVSpline, CubicSpline or VolGeo at an array of
    strikes: a float64 array shaped like ``strikes``, bit for bit
    ``model.get_vol(ttx, spot, strikes)``. The model is read through its
    public ``get_param_dict()``; ttx and spot are scalars."""
    kind = _model_kind(model)
    values = model.get_param_dict()
    params = np.array([values[name] for name in model_param_names(kind)], dtype=np.float64)
    return model_vols(kind, params, ttx, spot, strikes, threads=threads)


# ------------------------------------------------------------------ calendar


def bus_ttx(start: Any, end: Any, *, calendar: CalendarLike = "BTCUSDT", threads: int | None = None) -> np.ndarray:
    """Business years from ``start`` to ``end`` on ``calendar``, element by
    element what korvex's Calendar.get_bus_ttx computes.

    ``calendar`` is the name of an embedded calendar (only "BTCUSDT", as in
    korvex.Calendar) or a calendar document of one's own: a str of JSON text
    (its first character after white space is "{"), a dict (written with
    json.dumps), or the path of a file holding the JSON (a str ending in
    ".json", or any os.PathLike such as pathlib.Path). A document is read by
    korvex's own parser, with its rules and error messages: an unknown name,
    a document that does not parse and an unknown IANA zone are a ValueError
    with korvex's message; a missing file is a FileNotFoundError. Calendars
    are remembered between calls (a few of them), so that a repeated
    calendar is built once (a dict is still written out on every call);
    its zone's rules are those of tz_version().

    Instants are datetime64 arrays of any unit (naive values are UTC),
    pandas datetime Series/Index (time-zone aware ones are converted to
    UTC), float epoch seconds (read exactly as korvex reads a timestamp()),
    or objects with a timestamp() method. NaT, NaN and instants outside the
    supported years give NaN."""
    text, is_document = _inputs.calendar_source(calendar)

    def kernel(*args: Any) -> None:
        _kernels.bus_ttx(text, is_document, *args)

    return _inputs.time_between(kernel, start, end, threads, call_when_empty=True)


def cal_ttx(start: Any, end: Any, *, threads: int | None = None) -> np.ndarray:
    """365-day years between instants (whole elapsed seconds), element by
    element korvex.Calendar.get_cal_ttx. Instants as for bus_ttx."""
    return _inputs.time_between(_kernels.cal_ttx, start, end, threads)


def tz_version() -> str:
    """The IANA release of the time zone rules built into the calendars, such
    as "2026f" (no zone file of the system is ever read)."""
    return _kernels.tz_version()
