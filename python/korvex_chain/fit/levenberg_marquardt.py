"""The solve loop of a fit: `_kernels.FitProblem.solve` (the Levenberg-
Marquardt of src/chain/levenberg_marquardt.cpp, one native call per solve)
or, as the reference, scipy's trust-region reflective least_squares on the
same residual and Jacobian kernel; around them the steps that take one
starting point to its end (the spline's level first, kinks settled)."""

from __future__ import annotations

import numpy as np

import korvex_chain._kernels as _kernels

from .fit_residuals import Problem

# Why a native solve stopped (an IntEnum made from the solver's own codes).
SolveStatus = _kernels.SolveStatus

# Relative change of cost / parameters at which the solver stops: the
# spline's eleven coupled knots converge more slowly and need the tighter one.
SOLVER_TOL = {"GVVSpline": 1e-8, "VolGeo": 1e-8, "CubicSpline": 1e-10}
KINK_TOL = 0.05           # vol points: a spline increment this close to zero is tried at zero


def polish(prob: Problem, start, max_nfev):
    """One starting point solved to its end. Returns (u, cost, evaluations)."""
    n0 = 0
    if prob.kind == "CubicSpline" and abs(start[0] / 100.0 - prob.atm) > 0.05 * prob.atm:
        # The knots sit at multiples of the at-the-money deviation, so
        # ref_vol moves them all: with ref_vol held at the quotes'
        # level first, the increments settle where the quotes put
        # them, whatever the start, and only then is ref_vol freed.
        start, n0 = solve_fixed_level(prob, start, max_nfev)
    u, cost, n = solve(prob, prob.to_u(start), max_nfev)
    u, cost, n1 = settle_kinks(prob, u, cost, max_nfev)
    n += n0 + n1
    return u, cost, n


def solve_fixed_level(prob, theta, max_nfev):
    """The spline's increments solved with ref_vol held at the quotes' level."""
    level = max(100.0 * prob.atm, float(prob.lower[0]) + 1e-3)
    theta = np.asarray(theta, float).copy()
    theta[0] = level
    free = np.ones(len(prob.fit_names), bool)
    free[0] = False
    u, _, n = solve(prob, prob.to_u(theta), max_nfev, free)
    return prob.to_theta(u), n


def settle_kinks(prob, u, cost, max_nfev):
    """The spline's increments that end next to zero, set to zero exactly and
    the others solved again.

    The spline's knot slopes switch to zero where two neighbouring
    increments change sign, so the cost has a kink wherever an increment
    (or an outer one at its bound) is zero, and the minimum often sits on
    it. A solver that approaches the kink from either side stops a little
    short of it, with the other parameters settled accordingly: two starts
    end a few hundredths of a vol point apart. On the kink the problem is
    smooth again. Kept only when the cost does not rise."""
    theta = prob.to_theta(u)
    if prob.kind == "CubicSpline":
        near = np.abs(theta - np.where(prob.bounded, prob.lower, 0.0)) < KINK_TOL
        near[0] = False
    else:
        near = prob.bounded & (theta - prob.lower < KINK_TOL)
    if not near.any():
        return u, cost, 0
    v = np.where(near, 0.0, u)   # u = 0: the bound, or zero for a free increment
    v2, cost2, n = solve(prob, v, max_nfev, ~near)
    if cost2 <= cost * (1.0 + 1e-9):
        return v2, cost2, n
    return u, cost, n


def solve(prob: Problem, u0, max_nfev, free=None):
    """Levenberg-Marquardt in one native call (the residual, its Jacobian and
    every step computed next to the model). Returns (u, cost, evaluations)."""
    prob.sync_density()
    u = np.array(u0, dtype=float)
    if free is None:
        free = np.ones(u.size, bool)
    tol = SOLVER_TOL[prob.kind]
    if getattr(prob, "solver", "native") == "scipy":
        return solve_scipy(prob, u, free, tol, max_nfev)
    cost, nfev, status = prob.native.solve(u, free, tol, tol, int(max_nfev))
    prob.hit_limit = prob.hit_limit or status == SolveStatus.EVALUATION_LIMIT
    return u, float(cost), int(nfev)


def solve_scipy(prob: Problem, u, free, tol, max_nfev):
    """The same problem solved by scipy's least_squares (trust-region
    reflective, bounds on the parameters themselves), with the residual and
    Jacobian from the native kernel. Returns (u, cost, evaluations)."""
    from scipy.optimize import least_squares

    theta = prob.to_theta(u)
    rows = prob.native.rows()
    r = np.empty(rows)
    J = np.empty((rows, theta.size))
    at = [None]

    def evaluate(x):
        if at[0] is None or not np.array_equal(at[0], x):
            full = theta.copy()
            full[free] = x
            prob.native.residuals_jacobian(full, r, J, True)
            at[0] = x.copy()

    def fun(x):
        evaluate(x)
        return r.copy()

    def jac(x):
        evaluate(x)
        return J[:, free].copy()

    lower = np.where(prob.bounded, prob.lower, -np.inf)[free]
    x0 = np.maximum(theta[free], lower)
    res = least_squares(fun, x0, jac=jac, bounds=(lower, np.inf), method="trf", ftol=tol, xtol=tol,
                        max_nfev=int(max_nfev))
    theta[free] = res.x
    prob.hit_limit = prob.hit_limit or res.status == 0
    return prob.to_u(theta), float(np.sum(res.fun * res.fun)), int(res.nfev)
