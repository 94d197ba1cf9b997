"""The butterfly check of a smile and its repair in the fit: the risk-neutral
density from `_kernels.smile_density` (src/chain/density.cpp), and the
density penalty of the fit's residual switched on, in steps, when a solution
shows a negative density."""

from __future__ import annotations

import math

import numpy as np

import korvex_chain._kernels as _kernels

from .fit_residuals import DENSITY_GRID, DENSITY_STEPS, Problem
from .levenberg_marquardt import settle_kinks, solve
from .model_facts import model_facts
from .results import ArbitrageReport

# Negative density (relative to its peak) that the fit does not spend more
# solves on; it is still reported. The spline's knots leave specks of a
# slightly negative density where its second derivative jumps; chasing them
# costs many solves for no visible change of the smile.
DENSITY_TOLERANCE = {"GVVSpline": 0.0, "VolGeo": 0.0, "CubicSpline": 1e-3}
CHECK_GRID = 401          # grid points of the reported density check
_CHECK_T = np.linspace(0.0, 1.0, CHECK_GRID)


def density_check(model_name: str, params, ttx: float, forward: float, k_range, points: int = CHECK_GRID) -> ArbitrageReport:
    """Where the risk-neutral density of a smile is negative, on a grid of log-moneyness."""
    if isinstance(params, dict):
        vec = np.array([params[n] for n in model_facts(model_name).names], float)
    else:
        vec = np.ascontiguousarray(params, dtype=float)
    if points == CHECK_GRID:
        k = k_range[0] + (k_range[1] - k_range[0]) * _CHECK_T
    else:
        k = np.linspace(k_range[0], k_range[1], points)
    dens = np.empty(k.size)
    _kernels.smile_density(model_name, vec, float(ttx), float(forward), k, dens)
    peak = np.nanmax(dens) if np.isfinite(dens).any() else math.nan
    # Rounding in the finite differences is far below this.
    neg = ~(dens >= -1e-9 * abs(peak)) if np.isfinite(peak) and peak > 0 else np.ones_like(dens, bool)
    if not neg.any():
        return ArbitrageReport(False, 0.0, [], (float(k[0]), float(k[-1])))
    regions = []
    idx = np.flatnonzero(neg)
    start = prev = idx[0]
    for i in idx[1:]:
        if i != prev + 1:
            regions.append((forward * math.exp(k[start]), forward * math.exp(k[prev])))
            start = i
        prev = i
    regions.append((forward * math.exp(k[start]), forward * math.exp(k[prev])))
    depth = float(np.nanmin(dens) / peak) if np.isfinite(peak) and peak > 0 else -math.inf
    return ArbitrageReport(True, depth, regions, (float(k[0]), float(k[-1])), k[neg])


def check_and_repair(prob: Problem, theta, cost, max_nfev):
    """The density check of a solution and, where it finds butterfly
    arbitrage beyond the tolerance, the solution again with the density
    penalty. Returns (theta, cost, report, evaluations)."""
    model = prob.kind
    nfev = 0
    arb = density_check(model, prob.full(theta)[0], prob.ttx, prob.forward, prob.k_range)
    if arb.depth < -DENSITY_TOLERANCE[model]:
        # The penalty grows in steps, each solve starting where the last one
        # ended: one big step lets the solver jump to far worse smiles.
        prob.density_on = True
        if model != "CubicSpline":
            lo, hi = prob.k_range
            prob.set_density_points(np.linspace(lo, hi, DENSITY_GRID))
        for weight in DENSITY_STEPS:
            prob.density_weight = weight
            u, cost, n = solve(prob, prob.to_u(theta), max_nfev)
            u, cost, n1 = settle_kinks(prob, u, cost, max_nfev)
            nfev += n + n1
            theta = prob.to_theta(u)
            arb = density_check(model, prob.full(theta)[0], prob.ttx, prob.forward, prob.k_range)
            if arb.depth >= -DENSITY_TOLERANCE[model]:
                break
            if model != "CubicSpline":
                # Penalise where the check still finds a negative density too.
                prob.set_density_points(np.concatenate([prob.grid_k, arb.k_negative]))
    return theta, cost, arb, nfev
