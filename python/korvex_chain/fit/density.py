"""The butterfly check of a smile and its repair in the fit: where the
risk-neutral density is lowest and negative, from `_kernels.density_scan`
(src/chain/density.cpp), and the density penalty of the fit's residual
switched on, in steps, when a solution shows a negative density.

The check does not sample a fixed grid, which steps over a dip narrower than
its spacing (the spline's density is lowest right next to a knot, where its
second derivative jumps): the spline's density is evaluated in closed form
on each piece between its knots, both one-sided values at every knot; the
smooth models' samples are refined wherever their variance has a feature
the samples do not resolve; every sampled minimum near zero, and the peak,
are then refined by golden-section search. The depth it reports is the
lowest density over the peak density."""

from __future__ import annotations

import math

import numpy as np

import korvex_chain._kernels as _kernels

from .fit_residuals import DENSITY_STEPS, Problem
from .levenberg_marquardt import settle_kinks, solve
from .model_facts import model_facts
from .results import ArbitrageReport

# Negative density (relative to its peak) that the fit does not spend more
# solves on; it is still reported. The spline's knots leave specks of a
# slightly negative density where its second derivative jumps; chasing them
# costs many solves for no visible change of the smile.
DENSITY_TOLERANCE = {"GVVSpline": 0.0, "VolGeo": 0.0, "CubicSpline": 1e-3}


def density_check(model_name: str, params, ttx: float, forward: float, k_range) -> ArbitrageReport:
    """Where the risk-neutral density of ln(S_T / F) of a smile is negative
    over the log-moneyness range `k_range`, and how deep (its lowest value
    over its peak, `depth`). `params`: a parameter dict or vector (stored
    order) of `model_name`; the smile is evaluated at spot = `forward`."""
    if isinstance(params, dict):
        vec = np.array([params[n] for n in model_facts(model_name).names], float)
    else:
        vec = np.ascontiguousarray(params, dtype=float)
    lo, hi = float(k_range[0]), float(k_range[1])
    if not (math.isfinite(lo) and math.isfinite(hi) and lo <= hi):
        raise ValueError(f"k_range must be two finite log-moneyness values, low to high: got {k_range!r}")
    lowest, _, peak, _, finite, edges, points, _ = _kernels.density_scan(model_name, vec, float(ttx),
                                                                        float(forward), lo, hi)
    if finite and not edges:
        return ArbitrageReport(False, 0.0, [], (lo, hi))
    regions = [(forward * math.exp(a), forward * math.exp(b)) for a, b in zip(edges[::2], edges[1::2])]
    # A density that is not finite somewhere (a variance that is not
    # positive) is as bad as it gets.
    depth = float(lowest / peak) if finite else -math.inf
    return ArbitrageReport(True, depth, regions, (lo, hi), np.array(points, float))


def check_and_repair(prob: Problem, theta, cost, max_nfev):
    """The density check of a solution and, where it finds butterfly
    arbitrage beyond the tolerance, the solution again with the density
    penalty, which also looks where the check found the density lowest.
    Returns (theta, cost, report, evaluations)."""
    model = prob.kind
    nfev = 0
    arb = density_check(model, prob.full(theta)[0], prob.ttx, prob.forward, prob.k_range)
    if arb.depth < -DENSITY_TOLERANCE[model]:
        # The penalty grows in steps, each solve starting where the last one
        # ended: one big step lets the solver jump to far worse smiles.
        prob.start_density_penalty()
        prob.add_density_points(arb.k_negative, theta)
        for weight in DENSITY_STEPS:
            prob.density_weight = weight
            u, cost, n = solve(prob, prob.to_u(theta), max_nfev)
            u, cost, n1 = settle_kinks(prob, u, cost, max_nfev)
            nfev += n + n1
            theta = prob.to_theta(u)
            arb = density_check(model, prob.full(theta)[0], prob.ttx, prob.forward, prob.k_range)
            if arb.depth >= -DENSITY_TOLERANCE[model]:
                break
            # Penalise where the check still finds a negative density too.
            prob.add_density_points(arb.k_negative, theta)
    return theta, cost, arb, nfev
