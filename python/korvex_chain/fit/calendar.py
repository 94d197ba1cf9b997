"""Calendar arbitrage of a chain's fitted smiles: the report, and the repair.

The report (fit_chain's default) is the surface's check of each pair of
neighbouring fitted expiries of each underlying: where, on the log-forward-
moneyness range quoted at both of them, total implied variance falls from
the earlier expiry to the later one (see Surface.calendar_arbitrage).

The repair (``fit_chain(..., calendar_arbitrage="repair")``) fits the
smiles of the pairs found again, together, as one least-squares problem
(scipy's bounded trust-region least_squares over all their fitting
parameters, each smile's rows and Jacobian from its native problem):

* each smile keeps its own fit's residual (its quotes' band distance and
  pull to the mid, its walls, regulariser and density penalty: the very
  native residual it was fitted with), so that it moves only as far as
  its quotes allow;
* each pair of neighbours that involves a moving smile adds a penalty row
  per point of a grid over the range quoted at both wherever the later
  total variance is not above the earlier one by CALENDAR_MARGIN of it;
  the row is the shortfall in vol points of the later expiry, times a
  weight that grows in steps (CALENDAR_STEPS) until the check finds no
  fall;
* a smile next to a moving one that the move puts in calendar arbitrage
  joins the moving ones; every other smile stays exactly as fitted.

Tolerance: after the repair the check (401 points on the range quoted at
both expiries of each pair) finds no point where the later total variance is below the earlier
one by more than the rounding allowance CALENDAR_ROUNDING (1e-12 of it);
the penalty itself asks for a rise of at least CALENDAR_MARGIN (1e-4 of the
earlier total variance), so that the check's finer grid passes too. Each
moved fit reports its RMSE and inside share before and after (a warning on
the fit and ChainFit.calendar_repair). Where the weights run out before
the check is clean, the fits are kept as repaired so far, and the
remaining arbitrage is reported.
"""

from __future__ import annotations

import math

import numpy as np
import pandas as pd

import korvex_chain._kernels as _kernels

from ..surface import CALENDAR_CHECK_POINTS, CALENDAR_ROUNDING, CalendarArbitrage, Surface
from .density import DENSITY_TOLERANCE, density_check
from .fit_residuals import DENSITY_STEPS, FILL, make_problem
from .results import finish

__all__ = ["calendar_reports", "repair_calendar", "CALENDAR_MARGIN", "CALENDAR_STEPS"]

CALENDAR_MARGIN = 1e-4
# Weights of the penalty rows, per vol point of shortfall (the quote rows
# count a quote's spread as about one), tried in turn.
CALENDAR_STEPS = (1.0, 10.0, 100.0, 1e3, 1e4, 1e5)
PENALTY_GRID = 81          # points per pair's quoted range, plus those a check finds
MAX_ROUNDS = 16
_TOL = 1e-10


def calendar_reports(cf, surfaces: dict | None = None) -> list[CalendarArbitrage]:
    """The calendar check of every pair of neighbouring fitted expiries,
    underlying by underlying; `surfaces`, if given, receives the surface
    built for each underlying."""
    out: list[CalendarArbitrage] = []
    for und in sorted({f.underlying for f in cf.fits}):
        try:
            surface = Surface(cf, und)
        except ValueError:   # no fitted expiry of this underlying
            continue
        if surfaces is not None:
            surfaces[und] = surface
        out.extend(surface.calendar_arbitrage())
    return out


def repair_calendar(cf, chain, *, weights: str = "spread", solver: str = "native",
                    max_nfev: int = 400) -> pd.DataFrame:
    """Repairs the calendar arbitrage of a ChainFit in place (see the module
    docstring); returns one row per moved expiry with its figures before and after."""
    rows = []
    for und in sorted({f.underlying for f in cf.fits}):
        try:
            surface = Surface(cf, und)
        except ValueError:
            continue
        reports = surface.calendar_arbitrage()
        if not any(r.has_arbitrage for r in reports):
            continue
        try:
            rows.extend(_repair_underlying(surface, chain, weights, solver, max_nfev))
        except Exception as exc:  # the repair's own failure is reported on the fits, not raised
            for i, r in enumerate(reports):
                if r.has_arbitrage:
                    for f in (surface.fits[i], surface.fits[i + 1]):
                        f.warnings.append(f"calendar-arbitrage repair failed: {exc}")
                        f.status = "warning"
    return pd.DataFrame(rows, columns=["underlying", "expiry", "rmse_before", "rmse_after", "inside_before",
                                       "inside_after", "n_metric", "max_move_vp", "note"])


class _Node:
    """One fitted expiry of the surface: its problem (rebuilt from the
    chain's rows it used), its solution and its total variance on grids."""

    def __init__(self, fit, c, chain, weights, solver):
        self.fit = fit
        self.c = float(c)
        q = chain.quotes.loc[np.asarray(fit.used)]
        k = q["log_moneyness"].to_numpy(float)
        calls = q["is_call"].to_numpy(bool)
        b, a = q["quote_bid_iv"].to_numpy(float), q["quote_ask_iv"].to_numpy(float)
        self.prob = make_problem(fit.model_name, k, calls, b, a, np.ones(k.size, bool), fit.forward, fit.ttx,
                                       weights, solver)
        self.theta0 = np.asarray(fit.fit_params, float)
        self.theta = self.theta0.copy()
        self.kind = fit.model_name
        self.p = self.theta.size
        atm = float(fit.vols(np.array([fit.forward]))[0])
        # A vol point of this expiry, in total variance at the money.
        self.vol_point = 2.0 * atm * self.c * 0.01 if math.isfinite(atm) and atm > 0 else 1e-4 * self.c

    def w(self, k, theta=None, jacobian=False):
        """Total variance at k (and its forward-difference derivatives in the
        fitting parameters, shape (p, k.size), with `jacobian`)."""
        theta = self.theta if theta is None else theta
        if jacobian:
            h = 1e-6 * np.maximum(np.abs(theta), 1.0)
            pts = np.repeat(theta[None, :], self.p + 1, axis=0)
            pts[np.arange(1, self.p + 1), np.arange(self.p)] += h
        else:
            pts = theta[None, :]
        full = np.ascontiguousarray(self.prob.full(pts))
        out = np.empty((full.shape[0], k.size))
        _kernels.model_vols(self.kind, full, float(self.fit.ttx), float(self.fit.forward),
                            np.ascontiguousarray(self.fit.forward * np.exp(k)), out, 1)
        w = out * out * self.c
        if not jacobian:
            return w[0], None
        return w[0], (w[1:] - w[0]) / h[:, None]


def _pair_grid(surface, i, points):
    lo, hi = surface.pair_range(i)
    return np.linspace(lo, hi, points) if lo <= hi else np.empty(0)


def _falls(nodes, i, k):
    """Points of k where total variance falls from node i to node i + 1."""
    w0, _ = nodes[i].w(k)
    w1, _ = nodes[i + 1].w(k)
    return ~(w0 - w1 <= CALENDAR_ROUNDING * np.abs(w0))


def _repair_underlying(surface, chain, weights, solver, max_nfev):
    from scipy.optimize import least_squares

    nodes = [_Node(f, c, chain, weights, solver) for f, c in zip(surface.fits, surface._c)]
    n_pairs = len(nodes) - 1
    check = [_pair_grid(surface, i, CALENDAR_CHECK_POINTS) for i in range(n_pairs)]
    grids = [_pair_grid(surface, i, PENALTY_GRID) for i in range(n_pairs)]
    bad = [i for i in range(n_pairs) if _falls(nodes, i, check[i]).any()]
    moving = sorted({j for i in bad for j in (i, i + 1)})
    for i in bad:
        grids[i] = np.union1d(grids[i], check[i][_falls(nodes, i, check[i])])
    before = {j: (nodes[j].fit.rmse, nodes[j].fit.inside, nodes[j].fit.fit_iv) for j in range(len(nodes))}
    step = 0
    nfev = 0
    note = ""
    for _ in range(MAX_ROUNDS):
        x, n = _solve_joint(nodes, moving, grids, CALENDAR_STEPS[step], max_nfev, least_squares)
        nfev += n
        for j, theta in zip(moving, np.split(x, np.cumsum([nodes[j].p for j in moving])[:-1])):
            nodes[j].theta = theta
        grew = False
        clean = True
        for i in range(n_pairs):
            fall = _falls(nodes, i, check[i])
            if not fall.any():
                continue
            clean = False
            grids[i] = np.union1d(grids[i], check[i][fall])
            for j in (i, i + 1):
                if j not in moving:
                    moving = sorted(moving + [j])
                    grew = True
        for j in moving:
            nd = nodes[j]
            arb = density_check(nd.kind, nd.prob.full(nd.theta)[0], nd.fit.ttx, nd.fit.forward, nd.prob.k_range)
            if arb.depth < -DENSITY_TOLERANCE[nd.kind]:
                clean = False
                _density_on(nd.prob, arb)
        if clean:
            break
        if not grew:
            if step + 1 >= len(CALENDAR_STEPS):
                note = "calendar arbitrage remains after the repair's largest weight"
                break
            step += 1

    rows = []
    for j in moving:
        nd = nodes[j]
        f = nd.fit
        if np.array_equal(nd.theta, nd.theta0):
            continue
        keep = [w for w in f.warnings if w.startswith("forward not quoted")]
        arb = density_check(nd.kind, nd.prob.full(nd.theta)[0], f.ttx, f.forward, nd.prob.k_range)
        old = (f.model, f.params, f.fit_params, f.rmse, f.max_error, f.inside, f.n_metric, f.arbitrage, f.fit_iv,
               f.status, list(f.warnings), f.message)
        f.warnings = []
        f.model, f.status = None, "failed"
        finish(f, nd.prob, nd.theta, [(0.0, nd.theta)], arb)
        if f.model is None:
            # Never worse than no repair: a smile the repair cannot keep
            # admissible and finite stays as fitted.
            (f.model, f.params, f.fit_params, f.rmse, f.max_error, f.inside, f.n_metric, f.arbitrage, f.fit_iv,
             f.status, f.warnings, f.message) = old
            f.warnings.append("calendar-arbitrage repair left out: " + (f.message or "no admissible smile"))
            f.status = "warning"
            continue
        rmse0, inside0, iv0 = before[j]
        move = float(np.nanmax(np.abs(f.fit_iv - iv0))) * 100.0 if iv0 is not None and f.fit_iv is not None \
            and len(iv0) == len(f.fit_iv) else math.nan
        f.warnings = keep + f.warnings
        f.warnings.append(f"moved by the calendar-arbitrage repair: RMSE {rmse0:.2f} -> {f.rmse:.2f} vp, "
                          f"inside {inside0:.0%} -> {f.inside:.0%}, quotes' vols moved up to {move:.2f} vp")
        f.status = "warning"
        f.nfev += nfev
        rows.append({"underlying": f.underlying, "expiry": f.expiry, "rmse_before": rmse0, "rmse_after": f.rmse,
                     "inside_before": inside0, "inside_after": f.inside, "n_metric": f.n_metric,
                     "max_move_vp": move, "note": note})
    return rows


def _density_on(prob, arb):
    """Switches a moved smile's density penalty on, or adds the points where
    its density is still negative."""
    if not prob.density_on:
        prob.start_density_penalty()
        prob.density_weight = DENSITY_STEPS[2]
    else:
        prob.density_weight = min(prob.density_weight * 10.0, DENSITY_STEPS[-1])
    if prob.kind != "CubicSpline":   # the spline keeps its own points: the knots and those its fit added
        prob.add_density_points(arb.k_negative, None)


def _solve_joint(nodes, moving, grids, weight, max_nfev, least_squares):
    """The moving smiles' fitting parameters solved together: their own
    residuals and the calendar penalty of every pair that involves one."""
    pos = {}
    start = 0
    for j in moving:
        pos[j] = slice(start, start + nodes[j].p)
        start += nodes[j].p
    pairs = sorted({i for j in moving for i in (j - 1, j) if 0 <= i < len(nodes) - 1})
    fixed = {}
    for i in pairs:
        for j in (i, i + 1):
            if j not in pos:
                fixed[(i, j)] = nodes[j].w(grids[i])[0]
    for j in moving:
        nodes[j].prob.sync_density()
    own_rows = [nodes[j].prob.native.rows() for j in moving]
    n_rows = sum(own_rows) + sum(grids[i].size for i in pairs)
    x0 = np.concatenate([nodes[j].theta for j in moving])
    lower = np.concatenate([np.where(nodes[j].prob.bounded, nodes[j].prob.lower, -np.inf) for j in moving])
    x0 = np.maximum(x0, lower)
    cache = {"x": None}
    r = np.empty(n_rows)
    J = np.zeros((n_rows, x0.size))

    def evaluate(x):
        if cache["x"] is not None and np.array_equal(cache["x"], x):
            return
        J[:] = 0.0
        row = 0
        for j, n in zip(moving, own_rows):
            nd = nodes[j]
            jr = np.empty((n, nd.p))
            nd.prob.native.residuals_jacobian(np.ascontiguousarray(x[pos[j]]), r[row:row + n], jr, True)
            J[row:row + n, pos[j]] = jr
            row += n
        for i in pairs:
            k = grids[i]
            w = {}
            d = {}
            for j in (i, i + 1):
                if j in pos:
                    w[j], d[j] = nodes[j].w(k, x[pos[j]], jacobian=True)
                else:
                    w[j], d[j] = fixed[(i, j)], None
            scale = weight / nodes[i + 1].vol_point
            gap = w[i] * (1.0 + CALENDAR_MARGIN) - w[i + 1]
            on = gap > 0.0
            rows = slice(row, row + k.size)
            r[rows] = np.where(on, gap * scale, 0.0)
            if d[i] is not None:
                J[rows, pos[i]] = np.where(on[:, None], d[i].T * ((1.0 + CALENDAR_MARGIN) * scale), 0.0)
            if d[i + 1] is not None:
                J[rows, pos[i + 1]] = np.where(on[:, None], -d[i + 1].T * scale, 0.0)
            row += k.size
        bad = ~np.isfinite(r)
        if bad.any():
            r[bad] = FILL
        cache["x"] = x.copy()

    def fun(x):
        evaluate(x)
        return r.copy()

    def jac(x):
        evaluate(x)
        return J.copy()

    res = least_squares(fun, x0, jac=jac, bounds=(lower, np.inf), method="trf", ftol=_TOL, xtol=_TOL,
                        max_nfev=max_nfev, tr_solver="lsmr")
    return res.x, int(res.nfev)
