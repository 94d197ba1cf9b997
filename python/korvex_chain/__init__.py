"""Whole option chains at once: korvex's pricing, implied vols, smiles and
calendar time over numpy arrays.

Every value is computed by the same compiled code as the matching korvex
function, element by element, and is bit for bit what that function returns
for the same inputs. Inputs broadcast together like numpy operands (scalars,
any float or integer dtype, any strides, read-only arrays; empty arrays give
empty results). The work runs with the GIL released, on ``threads`` threads:
``None`` means one thread for small inputs and every CPU the process may use
for large ones.

Numeric trouble never raises: it shows as NaN (or infinity) in the results,
as in korvex. Only wrong types (TypeError), unknown option sides (korvex's
ValueError text, for the first bad element) and shapes that do not broadcast
(ValueError naming them) raise.
"""

from __future__ import annotations

import enum
from typing import Any, NamedTuple

import numpy as np

from . import _arrays, _kernels

__all__ = [
    "B76",
    "Binary",
    "IVStatus",
    "b76",
    "binary",
    "bus_ttx",
    "cal_ttx",
    "implied_vols",
    "smile_vols",
]

# The parameter-vector model API (used by the fitting code): exact names kept.
model_param_names = _kernels.model_param_names


class IVStatus(enum.IntEnum):
    """Why an implied vol is NaN (the ``status`` array of implied_vols)."""

    OK = 0
    #: the price is below what vol 0.01 gives
    BELOW_MIN = 1
    #: the price is above what vol 10 gives
    ABOVE_MAX = 2
    #: ttx <= 0 and the price is not exactly the discounted intrinsic value
    NO_TIME_VALUE = 3
    #: an input is NaN, or the inputs leave the price itself undefined
    #: (for example a negative forward or strike)
    NAN_INPUT = 4


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
    shape, (t, f, k, p, d, side) = _arrays.prepare(
        [("ttx", ttx), ("fwd", fwd), ("strike", strike), ("price", price), ("df", df)], call_put
    )
    (vols,) = _arrays.outputs(shape, 1)
    st = np.empty(vols.shape, dtype=np.int8) if status else None
    n = vols.size
    nthreads = _arrays.resolve_threads(threads, n, _arrays.SMALL_IV)
    if n:
        _kernels.implied_vols(t, f, k, p, side, d, vols, st, nthreads)
    if status:
        assert st is not None
        return vols.reshape(shape), st.reshape(shape)
    return vols.reshape(shape)


def b76(
    fwd: Any, strike: Any, ttx: Any, vol: Any, call_put: Any, df: Any = 1.0, *, threads: int | None = None
) -> B76:
    """Black-76 fair value, delta, gamma and vega in one pass.

    Each field is the array of korvex's b76_fairvalue, b76_delta, b76_gamma
    and b76_vega for the broadcast inputs, bit for bit."""
    shape, (f, k, t, v, d, side) = _arrays.prepare(
        [("fwd", fwd), ("strike", strike), ("ttx", ttx), ("vol", vol), ("df", df)], call_put
    )
    fv, delta, gamma, vega = _arrays.outputs(shape, 4)
    n = fv.size
    nthreads = _arrays.resolve_threads(threads, n, _arrays.SMALL_PRICING)
    if n:
        _kernels.b76(f, k, t, v, side, d, fv, delta, gamma, vega, nthreads)
    return B76(fv.reshape(shape), delta.reshape(shape), gamma.reshape(shape), vega.reshape(shape))


def binary(
    fwd: Any, strike: Any, ttx: Any, vol: Any, call_put: Any, df: Any = 1.0, *, threads: int | None = None
) -> Binary:
    """Binary (cash-or-nothing) fair value, delta, gamma, vega and theta.

    Each field is the array of korvex's binary_<field> for the broadcast
    inputs, bit for bit."""
    shape, (f, k, t, v, d, side) = _arrays.prepare(
        [("fwd", fwd), ("strike", strike), ("ttx", ttx), ("vol", vol), ("df", df)], call_put
    )
    fv, delta, gamma, vega, theta = _arrays.outputs(shape, 5)
    n = fv.size
    nthreads = _arrays.resolve_threads(threads, n, _arrays.SMALL_PRICING)
    if n:
        _kernels.binary(f, k, t, v, side, d, fv, delta, gamma, vega, theta, nthreads)
    return Binary(fv.reshape(shape), delta.reshape(shape), gamma.reshape(shape), vega.reshape(shape),
                  theta.reshape(shape))


# ------------------------------------------------------------------ smiles

_MODEL_KINDS = ("GVVSpline", "CubicSpline", "VolGeo")


def _scalar(x: Any, name: str) -> float:
    a = _arrays.as_float(x, name)
    if a.ndim != 0 and a.size != 1:
        raise TypeError(f"{name} must be a scalar, got an array of shape {a.shape}")
    return float(a.reshape(()))


def _params(kind: str, params: Any) -> np.ndarray:
    if kind not in _MODEL_KINDS:
        raise ValueError(f"unknown model kind: {kind!r}; expected 'GVVSpline', 'CubicSpline' or 'VolGeo'")
    p = _arrays.as_float(params, "params")
    if p.ndim not in (1, 2):
        raise ValueError(f"params must have shape (p,) or (m, p), got {p.shape}")
    return p


def model_vols(
    kind: str, params: Any, ttx: Any, spot: Any, strikes: Any, *, threads: int | None = None
) -> np.ndarray:
    """Vols of the model ``kind`` built from parameter vectors.

    ``params`` has shape (p,) or (m, p), in the order of
    model_param_names(kind); each row gives the vols that ``get_vol`` of
    ``<kind>.with_params`` with those values returns, bit for bit. The
    result has shape strikes.shape, or (m,) + strikes.shape."""
    p = _params(kind, params)
    rows = np.ascontiguousarray(p.reshape(-1, p.shape[-1]) if p.ndim == 2 else p.reshape(1, -1))
    k = _arrays.as_float(strikes, "strikes")
    kf = np.ravel(k, order="C")
    out = np.empty((rows.shape[0], kf.size), dtype=np.float64)
    nthreads = _arrays.resolve_threads(threads, out.size, _arrays.SMALL_MODEL)
    if out.size:
        _kernels.model_vols(kind, rows, _scalar(ttx, "ttx"), _scalar(spot, "spot"), kf, out, nthreads)
    return out.reshape(k.shape) if p.ndim == 1 else out.reshape((rows.shape[0],) + k.shape)


def model_arb_free(kind: str, params: Any) -> bool | np.ndarray:
    """korvex's arb_free() of the model built from each parameter vector:
    a bool for shape (p,), a bool array of shape (m,) for (m, p)."""
    p = _params(kind, params)
    rows = np.ascontiguousarray(p.reshape(-1, p.shape[-1]) if p.ndim == 2 else p.reshape(1, -1))
    out = np.empty(rows.shape[0], dtype=np.bool_)
    if out.size:
        _kernels.model_arb_free(kind, rows, out)
    return bool(out[0]) if p.ndim == 1 else out


def _model_kind(model: Any) -> str:
    import korvex

    for cls in (korvex.GVVSpline, korvex.CubicSpline, korvex.VolGeo):
        if isinstance(model, cls):
            return cls.__name__
    raise TypeError(
        f"model must be a korvex GVVSpline, CubicSpline or VolGeo, not {type(model).__name__}"
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


def bus_ttx(start: Any, end: Any, *, threads: int | None = None) -> np.ndarray:
    """Business years from ``start`` to ``end`` on the BTCUSDT calendar,
    element by element korvex.Calendar("BTCUSDT").get_bus_ttx.

    Instants are datetime64 arrays of any unit (naive values are UTC),
    pandas datetime Series/Index (time-zone aware ones are converted to
    UTC), float epoch seconds (read exactly as korvex reads a timestamp()),
    or objects with a timestamp() method. NaT, NaN and instants outside the
    supported years give NaN."""
    return _arrays.time_between(_kernels.bus_ttx, start, end, threads)


def cal_ttx(start: Any, end: Any, *, threads: int | None = None) -> np.ndarray:
    """365-day years between instants (whole elapsed seconds), element by
    element korvex.Calendar.get_cal_ttx. Instants as for bus_ttx."""
    return _arrays.time_between(_kernels.cal_ttx, start, end, threads)


# ------------------------------------------------------------------ chain workflow
# Quote tables, forwards, fits, greeks and plots live in their own modules,
# which need pandas (matplotlib for plots). They load on first use,
# so that importing korvex_chain costs no more than importing numpy.

_LAZY = {
    "Chain": "quotes", "read_chain": "quotes", "parse_instrument": "quotes",
    "expiry_forwards": "forwards", "parity_forward": "forwards",
    "ttx_between": "timing",
    "fit_smile": "fit", "fit_chain": "fit", "SmileFit": "fit", "ChainFit": "fit",
    "ArbitrageReport": "fit", "density_check": "fit",
    "chain_greeks": "greeks",
    "plot_chain": "plot",
    "make_chain": "synthetic", "to_layout": "synthetic",
}
__all__ += sorted(_LAZY)


def __getattr__(name: str) -> Any:
    module = _LAZY.get(name)
    if module is None:
        raise AttributeError(f"module 'korvex_chain' has no attribute {name!r}")
    import importlib

    value = getattr(importlib.import_module(f".{module}", __name__), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(_LAZY))
