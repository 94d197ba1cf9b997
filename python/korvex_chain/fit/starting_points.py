"""Starting points of a fit: a grid of candidates read off the quotes' own
level, skew and curvature (and a previous fit of the same expiry), and the
repair of a given starting point into an admissible one."""

from __future__ import annotations

import math

import numpy as np

from .model_facts import SPLINE_KNOTS
from .results import SmileFit


def candidates(prob, warm=None):
    """Starting points: a grid around the quotes' level, skew and curvature."""
    atm, slope = 100.0 * prob.atm, 100.0 * prob.slope
    cands = []
    if prob.kind == "GVVSpline":
        # Near the money the vol moves by skew / 2 per unit of x, and
        # the curvature grows with smile.
        for sk in (slope, 2.0 * slope, 0.0):
            for sm in (2.0, 7.0, 25.0):
                cands.append((atm, sk, sm))
    elif prob.kind == "VolGeo":
        # Near the money the vol moves by vvol * rho / 100 per unit of x.
        for vv in (10.0, 30.0, 80.0, 200.0):
            for rho in (0.0, float(np.clip(slope / vv, -0.95, 0.95))):
                cands.append((atm, math.atanh(rho), vv))
    else:
        cands.append(spline_start(prob, 1.0))
        cands.append(spline_start(prob, 0.0))
        for scale in (0.9, 1.1):
            c = list(spline_start(prob, 1.0))
            c[0] *= scale
            cands.append(tuple(c))
    theta = np.array(cands, float)
    theta = np.maximum(theta, np.where(prob.bounded, prob.lower, -np.inf))
    if warm is not None:
        w = np.maximum(np.asarray(warm, float), np.where(prob.bounded, prob.lower, -np.inf))
        theta = np.vstack([w[None, :], theta])
    return theta

def spline_start(prob, follow):
    """Spline knots read off the quotes (follow=1) or a flat smile (0)."""
    atm = prob.atm
    sd = atm * math.sqrt(prob.ttx)
    ok = prob.shape_ok
    zs, vs = _sorted(prob.k[ok] / sd, prob.centre[ok])
    n = SPLINE_KNOTS.size
    c = n // 2   # the at-the-money knot
    at = np.interp(SPLINE_KNOTS, zs, vs) if ok.any() else np.full(n, atm)
    at = atm + follow * (at - atm)
    at[c] = atm
    inc = np.empty(n - 1)
    # p25..p05 run from the outside in; each is knot(i) - knot(i+1) nearer the centre.
    for j in range(c):
        inc[j] = 100.0 * (at[j] - at[j + 1])
    for j in range(c):
        inc[c + j] = 100.0 * (at[c + 1 + j] - at[c + j])
    inc[0] = max(inc[0], 0.0)
    inc[-1] = max(inc[-1], 0.0)
    return (100.0 * atm, *inc)


def repair(prob, theta):
    """An admissible starting point from any given one.

    An admissible point whose smile is finite everywhere is kept as it is.
    Otherwise the point is moved into the admissible box (strictly inside:
    on a bound the reparametrisation has no slope) and then towards the
    quotes' own starting point until its smile is finite and its cost is
    within a factor of a hundred of that start's."""
    theta = np.asarray(theta, float)
    ok_box = bool(np.all(~prob.bounded | (theta > prob.lower)))
    if ok_box and np.all(prob.residuals(theta)[0] < prob.fill):
        return theta
    data = candidates(prob)[0]
    margin = 0.05 * np.maximum(np.abs(data - prob.lower), 1.0)
    theta = np.where(prob.bounded, np.maximum(theta, prob.lower + margin), theta)
    limit = 100.0 * float(prob.objective(data)[0])
    for alpha in (0.0, 0.25, 0.5, 0.75):
        t = (1.0 - alpha) * theta + alpha * data
        r = prob.residuals(t)[0]
        if np.all(r < prob.fill) and float(r @ r) <= limit:
            return t
    return data


def warm_vector(warm, prob):
    """A warm start (a SmileFit, model or parameter dict) as a vector of
    `prob`'s fitting parameters (`prob`: anything with `kind` and
    `fit_names`), or None."""
    if warm is None:
        return None
    if isinstance(warm, SmileFit):
        if warm.model is None:
            return None
        warm = warm.params
    if hasattr(warm, "get_param_dict"):
        warm = warm.get_param_dict()
    if isinstance(warm, dict):
        try:
            return np.array([float(warm[n]) for n in prob.fit_names])
        except KeyError as exc:
            raise ValueError(f"warm start lacks parameter {exc.args[0]!r} of {prob.kind}") from None
    return np.asarray(warm, float)


def _sorted(x, y):
    o = np.argsort(x, kind="stable")
    return x[o], y[o]
