"""One expiry's fit as a least-squares problem: the quotes, their weights and
the residual set-up that `_kernels.FitProblem` (src/chain/fit_residuals.cpp)
evaluates.

The residual rows, in order: each quote's distance outside its [bid IV,
ask IV] band and its pull towards the mid (soft-L1, in units of the quote's
spread), the soft walls, the density penalty (when switched on) and the
regulariser. The fitting parameters theta map to the solver's coordinates
u: a bounded parameter is lower + u^2, so every point is admissible.
"""

from __future__ import annotations

import math

import numpy as np

import korvex_chain._kernels as _kernels

from ..arrays import b76
from .model_facts import (
    CORR_PRIOR,
    PRIOR_SCALE,
    PRIOR_WEIGHT,
    SMOOTH_FREE,
    SMOOTH_WEIGHT,
    SPLINE_KNOTS,
    WALL,
    model_facts,
)
from .starting_points import candidates

# Objective constants (residuals are in units of the quote's spread).
MID_WEIGHT = 10.0         # weight of the pull towards the mid, relative to the band distance
SPREAD_FLOOR = 0.0025     # 0.25 vol points: no quote is trusted more finely than this
ONE_SIDED_FACTOR = 2.0    # a one-sided quote counts like a two-sided one this many typical spreads wide
ROBUST_SCALE = 0.3        # soft-L1 scale, in spreads
FILL = 1e3                # residual of a point where the smile is not finite
METRIC_MAX_REL_SPREAD = 0.25   # "two-sided" quotes for the metrics: spread <= 25 % of the mid IV
U_MIN = 0.03              # the solver's coordinates stay this far from a bound
# The density penalty: g(k) kept above DENSITY_MARGIN at DENSITY_GRID
# points over the quoted range and DOMAIN_SD at-the-money deviations either
# side, with the weights DENSITY_STEPS tried in turn.
DENSITY_MARGIN = 2e-3
DENSITY_GRID = 41
DOMAIN_SD = 3.0
DENSITY_STEPS = (3.0, 30.0, 300.0, 3e3, 3e4, 3e5)


def make_problem(kind, k, calls, bid, ask, use, forward, ttx, weights="spread", solver="native"):
    """The problem of one expiry from its options' arrays (log-moneyness,
    sides, bid and ask IVs) and the mask of those it fits; with vega
    weights, each quote's vega at its mid (or its one side)."""
    vega = None
    if weights == "vega":
        mid = np.where(np.isfinite(bid) & np.isfinite(ask), 0.5 * (bid + ask), np.where(np.isfinite(bid), bid, ask))
        vega = np.asarray(b76(forward, forward * np.exp(k), ttx, mid, calls).vega)[use]
    prob = Problem(kind, k[use], bid[use], ask[use], ttx, forward, weights, vega)
    prob.solver = solver
    return prob


class Problem:
    """One fit's quotes, weights and coordinates, its regulariser and density
    points, handed to the native residual (`native`, a `_kernels.FitProblem`):
    the one residual the fit evaluates. Also the quotes' level, slope and
    curvature, which the starting points and priors read."""

    fill = FILL

    def __init__(self, kind, k, bid, ask, ttx, forward, weights_by="spread", vega=None):
        facts = model_facts(kind)
        self.kind = kind
        self.names, self.fit_names, self.idx = facts.names, facts.fit_names, facts.idx
        self.ttx, self.forward = float(ttx), float(forward)
        self.k = np.asarray(k, float)
        self.strikes = forward * np.exp(self.k)
        b = np.asarray(bid, float)
        a = np.asarray(ask, float)
        fb, fa = np.isfinite(b), np.isfinite(a)
        self.lo = np.where(fb, b, -np.inf)
        self.hi = np.where(fa, a, np.inf)
        two = fb & fa
        self.two = two
        self.n_two = int(np.count_nonzero(two))
        self.mid = np.where(two, 0.5 * (b + a), np.nan)
        spread = np.where(two, a - b, np.nan)
        typical = _median(spread[two]) if self.n_two else 0.02
        # A one-sided quote is a bound of unknown tightness: it counts like a
        # quote of twice the typical spread.
        s = np.where(two, spread, ONE_SIDED_FACTOR * typical)
        self.scale = np.maximum(s, SPREAD_FLOOR)
        if weights_by == "vega" and vega is not None:
            v = np.asarray(vega, float)
            vw = np.where(np.isfinite(v) & (v > 0), v / np.nanmax(v), 1e-3)
            self.scale = np.full_like(self.scale, max(typical, SPREAD_FLOOR)) / np.sqrt(np.maximum(vw, 1e-3))
        self.mid_w = math.sqrt(MID_WEIGHT)
        # Precomputed for the residual: 1 / (spread * robust scale); the mid
        # of one-sided quotes is never pulled towards (its weight is zero).
        self.inv_scale = 1.0 / (self.scale * ROBUST_SCALE)
        self.mid0 = np.where(two, self.mid, 0.0)
        self.pull_w = np.where(two, self.mid_w * ROBUST_SCALE, 0.0)
        # The density penalty is switched on only when a solution without it
        # shows butterfly arbitrage: most smiles never need it.
        self.density_on = False
        self.density_weight = DENSITY_STEPS[-1]
        self.hit_limit = False   # a solve stopped at its evaluation limit

        # Level, slope and curvature of the quotes against z = k / sqrt(T):
        # a weighted quadratic through all of them for slope and curvature,
        # and one through the five nearest the money for the level. Only
        # the two-sided quotes' mids, where there are any: a one-sided
        # quote is a bound, often far from the smile (a bid at 2 % vol).
        centre = np.where(two, self.mid, np.where(fb, b, a))
        z = self.k / math.sqrt(self.ttx)
        self.shape_ok = two if self.n_two else np.isfinite(centre)
        ok = np.flatnonzero(self.shape_ok)
        self.atm, self.slope, self.curv = 0.5, 0.0, 0.0
        if ok.size:
            zo, co, wo = z[ok], centre[ok], 1.0 / self.scale[ok]
            if ok.size >= 3:
                V = np.empty((zo.size, 3))
                V[:, 0] = 1.0
                V[:, 1] = zo
                V[:, 2] = zo * zo
                coef = _lsq(V * wo[:, None], co * wo)
                self.slope, self.curv = float(coef[1]), float(coef[2])
                near = np.argsort(np.abs(zo))[:5]
                Vn = V[near]
                self.atm = float(_lsq(Vn[:, :2] if near.size < 4 else Vn, co[near])[0])
            else:
                self.atm = float(co[np.argmin(np.abs(zo))])
        if not math.isfinite(self.atm):
            self.atm = float(np.nanmedian(centre)) if ok.size else 0.5
        self.atm = min(max(self.atm, 0.05), 5.0)
        self.centre = centre

        # Density grid: the quoted range and a few standard deviations.
        sd = self.atm * math.sqrt(self.ttx)
        klo = min(self.k.min(), -DOMAIN_SD * sd)
        khi = max(self.k.max(), DOMAIN_SD * sd)
        self.k_range = (float(klo), float(khi))
        self.n = self.k.size
        if kind == "CubicSpline":
            # The spline's second derivative jumps at its knots, which sit
            # half a standard deviation apart and move with ref_vol: its
            # density is penalised in closed form in knot units, at both
            # ends of every interval (each interval's own one-sided value,
            # where its linear second derivative is extreme) and inside it,
            # and out to the check domain beyond the outer knots.
            reach = max(abs(klo), abs(khi)) / (0.7 * sd)
            outer = 5.0 + (max(reach, 6.0) - 5.0) * _PEN_OUTER_T
            self.pen_x = np.concatenate([-outer[::-1], _PEN_INNER, outer])
            self.pen_inside = np.concatenate([-outer[::-1] - 0.5, _PEN_INNER_PIECE, outer + 0.5])
        else:
            self.grid_h = 1e-3 * sd
            self.grid_k = None   # set when the density penalty is first needed

        self.base = facts.defaults.copy()
        self.base[facts.ref_spot] = forward
        self.bounded, self.lower = facts.bounded, facts.lower
        self.upper = facts.upper
        self.level_slot = self.names.index("ref_vol")
        # No regulariser rows unless set_regulariser adds them.
        self.reg = np.zeros((0, len(self.fit_names)))
        self.reg_c = np.zeros(0)
        # The problem kept native: every residual, cost and solver step then
        # costs no Python at all.
        self.native = _kernels.FitProblem(kind, self.base, self.idx, self.bounded, self.lower, self.upper, WALL,
                                          self.ttx, self.forward, self.strikes, self.lo, self.hi, self.mid0,
                                          self.inv_scale, self.pull_w, ROBUST_SCALE, FILL)
        self.regularised = ""
        self._synced = None
        self._points_version = 0   # counts the density points' changes
        if kind == "VolGeo" and self.n_two >= len(self.fit_names) and CORR_PRIOR > 0:
            # With vvol at its bound the smile hardly depends on corr, and
            # the cost is all but flat out to either wall: a faint pull
            # towards zero decides, far below what the quotes resolve.
            row = np.zeros((1, len(self.fit_names)))
            row[0, self.fit_names.index("corr")] = CORR_PRIOR
            self.set_regulariser(row, np.zeros(1))
        if kind != "CubicSpline" and self.n_two < len(self.fit_names):
            # Too few two-sided quotes to pin the shape: a weak prior pulls
            # the shape parameters towards the quotes' own flat start, and
            # decides only along the directions the quotes leave free.
            ref = candidates(self)[0]
            shape = np.arange(1, len(self.fit_names))
            reg = np.zeros((shape.size, len(self.fit_names)))
            reg[np.arange(shape.size), shape] = PRIOR_WEIGHT / PRIOR_SCALE[kind]
            self.set_regulariser(reg, reg @ ref)
            self.regularised = (f"regularised: {self.n_two} two-sided quotes for {len(self.fit_names)} parameters "
                                f"(a weak prior on {', '.join(self.fit_names[1:])})")
        if kind == "CubicSpline" and self.n_two < len(self.fit_names):
            self.regularised = (f"regularised: {self.n_two} two-sided quotes for {len(self.fit_names)} parameters "
                                "(the smoothest spline that fits them)")
        if kind == "CubicSpline" and SMOOTH_WEIGHT > 0:
            # Each inner knot's roughness is penalised by how little the
            # two-sided quotes around it pin it: a quote counts by its
            # closeness to the knot (a hat over the two neighbouring
            # intervals) and by its precision against the typical spread.
            x = self.k[two] / (self.atm * math.sqrt(self.ttx))
            prec = np.minimum(1.0, (typical / np.maximum(spread[two], 1e-12)) ** 2)
            pinned = prec @ _inner_hats(x)
            lam = SMOOTH_WEIGHT + (SMOOTH_FREE - SMOOTH_WEIGHT) * np.exp(-pinned)
            lam /= max(typical, SPREAD_FLOOR)
            self.set_regulariser(lam[:, None] * _SMOOTH_ROWS, _SMOOTH_ZERO)

    def set_regulariser(self, reg, c):
        """Rows reg @ theta - c added to the residual (fitting parameters theta)."""
        self.reg = np.ascontiguousarray(np.atleast_2d(reg), dtype=float)
        self.reg_c = np.ascontiguousarray(c, dtype=float)
        self.native.set_regulariser(self.reg, self.reg_c)

    def sync_density(self):
        """Hands the density penalty's current points and weight to the native problem."""
        key = (self.density_on, self.density_weight, self._points_version)
        if key == self._synced:
            return
        self._synced = key
        if not self.density_on:
            self.native.set_density(0, _NO_POINTS, 0.0, _NO_POINTS, DENSITY_MARGIN, 0.0)
        elif self.kind == "CubicSpline":
            self.native.set_density(2, self.pen_x, 0.0, self.pen_inside, DENSITY_MARGIN, self.density_weight)
        else:
            self.native.set_density(1, self.grid_k, self.grid_h, _NO_POINTS, DENSITY_MARGIN, self.density_weight)

    # Parameters <-> unconstrained coordinates: bounded p = lower + u^2.
    def to_theta(self, u):
        u = np.asarray(u, float)
        return np.where(self.bounded, self.lower + u * u, u)

    def to_u(self, theta):
        theta = np.asarray(theta, float)
        # Never exactly on a bound: there u = 0, where the square has no slope
        # and the solver could not leave the bound again.
        return np.where(self.bounded, np.sqrt(np.maximum(theta - self.lower, U_MIN * U_MIN)), theta)

    def full(self, theta):
        theta = np.atleast_2d(theta)
        out = np.empty((theta.shape[0], self.base.size))
        out[:] = self.base
        out[:, self.idx] = theta
        return out

    def vols(self, theta):
        """Vols at the quotes, one row per parameter set: one call of the model kernel."""
        full = self.full(theta)
        out = np.empty((full.shape[0], self.strikes.size))
        _kernels.model_vols(self.kind, full, self.ttx, self.forward, self.strikes, out, 1)
        return out

    def residuals(self, theta):
        """The residual rows of each parameter set (rows of `theta`): one native call."""
        self.sync_density()
        theta = np.ascontiguousarray(np.atleast_2d(theta), dtype=float)
        out = np.empty((theta.shape[0], self.native.rows()))
        self.native.residuals(theta, out)
        return out

    def set_density_points(self, k):
        """Log-moneyness points where the density penalty applies (smooth models).

        Each point is evaluated with its own small central stencil, so that
        points can be added where a check finds a negative density."""
        k = np.asarray(k, float)
        self.grid_k = k if k.size == DENSITY_GRID else np.unique(k)
        self._points_version += 1

    def start_density_penalty(self):
        """The density penalty switched on: the spline's at and between its
        knots, the smooth models' on a grid over the quoted range."""
        self.density_on = True
        if self.kind != "CubicSpline":
            self.set_density_points(np.linspace(*self.k_range, DENSITY_GRID))

    def add_density_points(self, k, theta):
        """Log-moneyness points `k` (where a check found the density lowest)
        added to the density penalty's. The spline's points are held in
        at-the-money deviations at theta's level, as the penalty scales
        them (the fit anchors the spline at the forward, where its
        at-the-money vol is ref_vol); a point on a knot is left out, both
        one-sided values at every knot being points already."""
        k = np.asarray(k, float)
        k = k[np.isfinite(k)]
        if k.size == 0:
            return
        if self.kind == "CubicSpline":
            sd = float(self.full(theta)[0][self.level_slot]) / 100.0 * math.sqrt(self.ttx)
            if not (math.isfinite(sd) and sd != 0):
                return
            x = np.unique(k / sd)
            new = ((np.min(np.abs(x[:, None] - SPLINE_KNOTS[None, :]), axis=1) > 1e-9)
                   & (np.min(np.abs(x[:, None] - self.pen_x[None, :]), axis=1) > 1e-12))
            if not new.any():
                return
            self.pen_x = np.concatenate([self.pen_x, x[new]])
            self.pen_inside = np.concatenate([self.pen_inside, x[new]])
        else:
            self.grid_k = np.unique(np.concatenate([self.grid_k, k]))
        self._points_version += 1

    def objective(self, theta):
        """The cost of each parameter set (rows of `theta`): one native call."""
        self.sync_density()
        theta = np.ascontiguousarray(np.atleast_2d(theta), dtype=float)
        out = np.empty(theta.shape[0])
        self.native.costs(theta, out)
        return out

    def metrics(self, vq):
        """RMSE / max error (vol points) and inside share over the two-sided quotes."""
        rel = (self.hi - self.lo) / self.mid
        m = self.two & (rel <= METRIC_MAX_REL_SPREAD)
        if not m.any():
            return math.nan, math.nan, math.nan, 0
        v = vq[m]
        err = (v - self.mid[m]) * 100.0
        n = err.size
        inside = np.count_nonzero((v >= self.lo[m]) & (v <= self.hi[m]))
        return math.sqrt(float(err @ err) / n), float(np.max(np.abs(err))), inside / n, n


def _spline_smoothness(weight):
    """Rows of the spline's roughness: the change of slope of the knot vols
    (fractions against the knots' abscissae) at each inner knot, over the
    root of the mean width of its two intervals (so that their squares sum
    to the integral of the squared second derivative), times `weight`."""
    # Knot vols (percent) from (ref_vol, p25, ..., p05, c05, ..., c25): knot c
    # is the at-the-money one, the increments run outwards from it.
    n = SPLINE_KNOTS.size
    c = n // 2
    to_knots = np.zeros((n, n))
    to_knots[:, 0] = 1.0
    for j in range(c):           # put knot j: the increments from it in to the centre
        to_knots[j, 1 + j:c + 1] = 1.0
    for j in range(c):           # call knot c + 1 + j: c05 out to its own increment
        to_knots[c + 1 + j, c + 1:c + 2 + j] = 1.0
    h = np.diff(SPLINE_KNOTS)
    slope = np.diff(to_knots, axis=0) / h[:, None] / 100.0
    rows = np.diff(slope, axis=0) / np.sqrt(0.5 * (h[:-1] + h[1:]))[:, None]
    return weight * rows, np.zeros(rows.shape[0])


def _inner_hats(x):
    """The hat functions of the spline's inner knots at x, one column per
    knot: 1 at the knot, falling to 0 at its neighbours and beyond."""
    X = SPLINE_KNOTS
    x = np.asarray(x, float)[:, None]
    up = (x - X[:-2]) / (X[1:-1] - X[:-2])
    down = (X[2:] - x) / (X[2:] - X[1:-1])
    return np.clip(np.minimum(up, down), 0.0, 1.0)


def _median(x):
    """np.median of a non-empty 1-d array, without its overhead (same value)."""
    s = np.sort(x)
    n = s.size
    return float(s[n // 2]) if n % 2 else float((s[n // 2 - 1] + s[n // 2]) / 2.0)


_SMOOTH_ROWS, _SMOOTH_ZERO = _spline_smoothness(1.0)
# The spline's density points between its knots (see Problem), each
# interval's from one end to the other, and the piece each belongs to (a
# point inside it); the spacing of those beyond the outer knots.
_PEN_INNER = np.concatenate([np.linspace(a, b, 5) for a, b in zip(SPLINE_KNOTS[:-1], SPLINE_KNOTS[1:])])
_PEN_INNER_PIECE = np.repeat(0.5 * (SPLINE_KNOTS[:-1] + SPLINE_KNOTS[1:]), 5)
_PEN_OUTER_T = np.linspace(0.0, 1.0, 8)


_NO_POINTS = np.empty(0)


def _lsq(A, y):
    """Least squares through the normal equations (two or three columns, well
    scaled), solved by Cramer's rule in plain floats (numpy's solver costs
    more in its call than in its arithmetic here); falls back to the SVD
    solver when they are singular."""
    G = (A.T @ A).tolist()
    r = (A.T @ y).tolist()
    if len(r) == 2:
        (a, b), (c, d) = G
        det = a * d - b * c
        if det != 0.0 and math.isfinite(det) and abs(det) > 1e-12 * abs(a * d):
            return np.array([(r[0] * d - b * r[1]) / det, (a * r[1] - c * r[0]) / det])
    elif len(r) == 3:
        (a, b, c), (d, e, f), (g, h, i) = G
        m0, m1, m2 = e * i - f * h, d * i - f * g, d * h - e * g
        det = a * m0 - b * m1 + c * m2
        if det != 0.0 and math.isfinite(det) and abs(det) > 1e-12 * abs(a * e * i):
            x0 = (r[0] * m0 - b * (r[1] * i - f * r[2]) + c * (r[1] * h - e * r[2])) / det
            x1 = (a * (r[1] * i - f * r[2]) - r[0] * m1 + c * (d * r[2] - r[1] * g)) / det
            x2 = (a * (e * r[2] - r[1] * h) - b * (d * r[2] - r[1] * g) + r[0] * m2) / det
            return np.array([x0, x1, x2])
    return np.linalg.lstsq(A, y, rcond=None)[0]
