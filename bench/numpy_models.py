"""NumPy-vectorised versions of the three smile formulas.

They are the yardstick for korvex's `get_vol`: the same formula, evaluated
over a whole array of strikes by NumPy's ufuncs, which is what a Python user
would write without korvex.  They take the same parameter dicts as
`with_params` (missing names take the models' defaults) and follow korvex's
grouping of products and sums, so the two agree to a few ulps; the only
differences come from NumPy's own log/exp/tanh/sqrt kernels.
"""

from __future__ import annotations

import math

import numpy as np

GVV_DEFAULTS = {
    "vpr": 1.0, "ref_spot": 100.0, "ref_vol": 50.0, "skew": 0.0,
    "smile": 5.0, "pwing": 0.0, "cwing": 0.0, "offset": 0.0,
}

CUBIC_DEFAULTS = {
    "vpr": 1.0, "ref_spot": 100.0, "ref_vol": 50.0,
    "p05": 0.0, "p10": 0.0, "p15": 0.0, "p20": 0.0, "p25": 0.0,
    "c05": 0.0, "c10": 0.0, "c15": 0.0, "c20": 0.0, "c25": 0.0,
}

VOLGEO_DEFAULTS = {
    "vpr": 1.0, "ref_spot": 100.0, "ref_vol": 50.0,
    "corr": 0.0, "vvol": 20.0, "offset": 0.0,
}

# Knot abscissae of the cubic spline, in at-the-money standard deviations.
CUBIC_X = np.array([-5.0, -2.5, -1.5, -1.0, -0.5, 0.0, 0.5, 1.0, 1.5, 2.5, 5.0])


def _params(defaults: dict, given: dict) -> dict:
    return {name: float(given.get(name, value)) for name, value in defaults.items()}


def gvv_vol(params: dict, ttx: float, spot: float, strikes) -> np.ndarray:
    """GVVSpline: quadratic core variance plus a bounded wing on each side.

    `spot` does not enter the formula; the smile is anchored at ref_spot."""
    p = _params(GVV_DEFAULTS, params)
    v = p["ref_vol"] / 100.0
    s = p["skew"] / 100.0
    m = p["smile"] / 100.0
    pw = p["pwing"] / 100.0
    cw = p["cwing"] / 100.0
    r = math.sqrt(ttx)
    k = np.asarray(strikes, dtype=np.float64)
    with np.errstate(all="ignore"):
        x = np.log(k / p["ref_spot"]) / r
        y = (1.0 - 0.5 * np.exp(-(x * x))) * x
        b = ((2 * s) * y) * v + v * v
        w = (np.sqrt((4 * m) * (y * y) + b * b) + b) * 0.5
        q = 6.0 * np.tanh(y / np.sqrt(w) / 6.0)
        t = (q * q) * (q * q)
        wing = np.where(y < 0, pw * t, np.where(y > 0, cw * t, 0.0))
        # At y == 0 the variance is w itself, not w + 0 * t (t may be NaN there).
        var = np.where(y == 0, w, w + wing)
        vol = np.sqrt(var)
    vol[~np.isfinite(vol)] = np.nan
    return vol


def _cubic_knots(p: dict, ttx: float, spot: float):
    """Knot variances and Fritsch-Butland slopes; strike-independent."""
    ln_move = _ln(spot / p["ref_spot"])
    if ln_move == 0.0:
        shift = 0.0  # no spot move, no shift: avoids 0/ln(1) at ttx == 1
    else:
        with np.errstate(all="ignore"):  # ln(1) == 0 divides like the C++ does
            ratio = np.float64(ln_move) / np.float64(_ln(ttx))
        shift = float((((p["p05"] - p["c05"]) / 0.1) * 100) * (ratio / p["ref_vol"]))
    atm = shift * p["vpr"] + p["ref_vol"]

    put, call = [], []
    acc = 0.0
    for name in ("p05", "p10", "p15", "p20", "p25"):
        acc = p[name] if name == "p05" else acc + p[name]
        put.append(acc)
    for name in ("c05", "c10", "c15", "c20", "c25"):
        acc = p[name] if name == "c05" else acc + p[name]
        call.append(acc)
    vols = [(inc + atm) / 100 for inc in reversed(put)] + [atm / 100] + [(inc + atm) / 100 for inc in call]
    y = [vk * vk for vk in vols]
    xs = CUBIC_X.tolist()
    h = [xs[i + 1] - xs[i] for i in range(10)]
    d = [(y[i + 1] - y[i]) / h[i] for i in range(10)]
    m = [0.0] * 11
    m[0], m[10] = d[0], d[9]
    for k in range(1, 10):
        if d[k - 1] * d[k] <= 0:
            m[k] = 0.0
        else:
            w1 = 2 * h[k] + h[k - 1]
            w2 = h[k] + 2 * h[k - 1]
            m[k] = (w1 + w2) / (w1 / d[k - 1] + w2 / d[k])
    return atm, np.array(y), np.array(m)


def _ln(value: float) -> float:
    try:
        return math.log(value)
    except ValueError:
        return math.nan if value < 0 or value != value else -math.inf


def cubic_vol(params: dict, ttx: float, spot: float, strikes) -> np.ndarray:
    """CubicSpline: monotone cubic Hermite interpolation of the variance
    between eleven knots, linear beyond the outer ones."""
    p = _params(CUBIC_DEFAULTS, params)
    atm, y, m = _cubic_knots(p, ttx, spot)
    X = CUBIC_X
    k = np.asarray(strikes, dtype=np.float64)
    with np.errstate(all="ignore"):
        x = ((np.log(k / spot) / math.sqrt(ttx)) / atm) * 100
        i = np.clip(np.searchsorted(X, x, side="right") - 1, 0, 9)
        h = X[i + 1] - X[i]
        t = (x - X[i]) / h
        t2 = t * t
        t3 = t2 * t
        h00 = 2 * t3 - 3 * t2 + 1
        h01 = 3 * t2 - 2 * t3
        h10 = t3 - 2 * t2 + t
        h11 = t3 - t2
        inner = (((h10 * h) * m[i] + h00 * y[i]) + h01 * y[i + 1]) + (h11 * h) * m[i + 1]
        left = (x - X[0]) * ((y[1] - y[0]) / (X[1] - X[0])) + y[0]
        right = ((y[10] - y[9]) / (X[10] - X[9])) * (x - X[10]) + y[10]
        var = np.where(x <= -5, left, np.where(x >= 5, right, inner))
        return np.sqrt(var)


def volgeo_vol(params: dict, ttx: float, spot: float, strikes) -> np.ndarray:
    """VolGeo: square root of the larger root of w^2 - b w - gamma x^2 = 0."""
    p = _params(VOLGEO_DEFAULTS, params)
    corr, vvol, ref_vol = p["corr"], p["vvol"], p["ref_vol"]
    try:
        e = math.exp(corr + corr)
        rho = (e - 1) / (e + 1)
    except OverflowError:
        rho = math.nan  # inf / inf, as in the closed form
    r = math.sqrt(ttx)
    sigma0 = ((((_ln(spot / p["ref_spot"]) / r) / ref_vol) * (vvol * rho)) * p["vpr"] + ref_vol) / 100
    beta = (vvol * rho) / 100
    gamma = (((1 - rho * rho) * (vvol * vvol)) / (sigma0 * 100)) / 100
    k = np.asarray(strikes, dtype=np.float64)
    with np.errstate(all="ignore"):
        x = np.log(k / spot) / r
        b = ((beta + beta) * x) * sigma0 + sigma0 * sigma0
        return np.sqrt((np.sqrt(((gamma * x) * x) * 4 + b * b) + b) * 0.5)


MODELS = {
    "GVVSpline": gvv_vol,
    "CubicSpline": cubic_vol,
    "VolGeo": volgeo_vol,
}
