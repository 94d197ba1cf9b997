"""Fitting korvex smiles to market quotes.

For one expiry, `fit_smile` fits one of the three models to the
out-of-the-money quotes, with the smile anchored at the forward
(`ref_spot` = forward, evaluated at spot = forward, where every spot-driven
shift vanishes) and only the model's own fitting parameters free. The
objective is a least-squares problem in vol:

* each quote contributes the distance by which the model lies outside its
  [bid IV, ask IV] band, in units of the quote's spread, under a soft-L1
  loss so that one stale quote cannot drag the curve; a one-sided quote is a
  one-sided band;
* a pull towards the mid of two-sided quotes makes the optimum unique
  inside the band (two starting points land on the same curve); on the
  snapshots it also keeps more quotes inside their band than the band
  distance alone, as a smile with few parameters cannot bend into every
  band and is better centred on the mids;
* a penalty keeps the risk-neutral density positive on points over the
  quoted range and beyond (Durrleman's condition on total variance); for
  the eleven-knot spline the points sit next to the knots, where its
  second derivative jumps;
* where the quotes leave the smile undetermined, a small regulariser picks
  one: for the spline, a roughness penalty (the change of slope of the knot
  vols) that is faint at knots the two-sided quotes pin and stronger at
  knots they do not (a knot beyond the quotes continues the smile's
  slope); for GVVSpline and VolGeo with fewer two-sided quotes than
  parameters, a weak prior towards the quotes' own flat start; for VolGeo
  always, a faint pull of corr towards zero (with vvol at its bound the
  cost is all but flat in corr). The report says "regularised" when there
  are fewer two-sided quotes than parameters;
* admissibility holds throughout: every trial point lies inside the bounds
  that make the model's own rule hold, and the result is checked with the
  model's `arb_free`.

Each fit is one native problem (`_kernels.FitProblem`) solved by the
native Levenberg-Marquardt: the model at a point and at its forward-
difference neighbours, the residuals, the Jacobian and every step, with no
Python in between; a bounded parameter is solved for directly, each step
stopping on the bound it meets, and one on its bound stays there while
the gradient pushes it out. Where the solution ends next to a kink of the
cost (a spline increment at zero, where its knot slopes switch) or next to
a bound, the parameter is set there exactly and the rest solved again:
two starting points then end on the same point instead of a little short
of it on either side. The density penalty is switched on only when the
solution without it shows butterfly arbitrage, with weights that grow in
steps. Starting points: a grid of candidates built from the two-sided
quotes' at-the-money level, skew and curvature (and a previous fit of the
same expiry, when given) is screened in one batched evaluation, and the
best ones are polished.

`fit_chain` does this for every expiry of a `Chain`.
"""

from __future__ import annotations

import datetime as dt
import math
import time
import warnings
from dataclasses import dataclass, field

import numpy as np
import pandas as pd

from . import _kernels
from .arrays import b76, model_param_names, model_vols, smile_vols

__all__ = ["MODELS", "SmileFit", "ChainFit", "fit_smile", "fit_chain", "density_check", "ArbitrageReport"]

MODELS = ("GVVSpline", "CubicSpline", "VolGeo")
# The least-squares solvers: the native Levenberg-Marquardt (the default: one
# call per solve, bounds kept by projection) or scipy's trust-region
# reflective least_squares on the same residual and Jacobian kernel.
SOLVERS = ("native", "scipy")

# Objective constants (residuals are in units of the quote's spread).
MID_WEIGHT = 10.0         # weight of the pull towards the mid, relative to the band distance
SPREAD_FLOOR = 0.0025     # 0.25 vol points: no quote is trusted more finely than this
DENSITY_MARGIN = 2e-3     # g(k) is kept above this on the penalty grid
SPLINE_LEVEL_FIRST = True
DENSITY_STEPS = (3.0, 30.0, 300.0, 3e3, 3e4, 3e5)  # weights of the density penalty, tried in turn
# Negative density (relative to its peak) that the fit does not spend more
# solves on; it is still reported. The spline's knots leave specks of a
# slightly negative density where its second derivative jumps; chasing them
# costs many solves for no visible change of the smile.
DENSITY_TOLERANCE = {"GVVSpline": 0.0, "VolGeo": 0.0, "CubicSpline": 1e-3}
METRIC_MAX_REL_SPREAD = 0.25   # "two-sided" quotes for the metrics: spread <= 25 % of the mid IV
DENSITY_GRID = 41         # penalty grid points inside the fit
CHECK_GRID = 401          # grid points of the reported density check
_CHECK_T = np.linspace(0.0, 1.0, CHECK_GRID)
DOMAIN_SD = 3.0           # check domain: quoted range and +-3 at-the-money standard deviations
ONE_SIDED_FACTOR = 2.0    # a one-sided quote counts like a two-sided one this many typical spreads wide
ROBUST_SCALE = 0.3        # soft-L1 scale, in spreads
# Relative change of cost / parameters at which the solver stops: the
# spline's eleven coupled knots converge more slowly and need the tighter one.
SMOOTH_WEIGHT = 0.3       # the spline's roughness penalty at knots the quotes pin, per typical spread
SMOOTH_FREE = 1.0         # the same at knots no quote pins
# Shape parameters of GVVSpline and VolGeo fitted from fewer two-sided
# quotes than parameters: a prior of this weight per unit of _PRIOR_SCALE.
PRIOR_WEIGHT = 0.1
_PRIOR_SCALE = {"GVVSpline": np.array([100.0, 100.0]), "VolGeo": np.array([1.0, 100.0])}
CORR_PRIOR = 0.02         # VolGeo's corr, always: a faint pull towards zero per unit
KINK_TOL = 0.05           # vol points: a spline increment this close to zero is tried at zero
SOLVER_TOL = {"GVVSpline": 1e-8, "VolGeo": 1e-8, "CubicSpline": 1e-10}
EPS_BOUND = 1e-6          # margin that turns a strict bound into a closed one

_CUBIC_X = np.array([-5.0, -2.5, -1.5, -1.0, -0.5, 0.0, 0.5, 1.0, 1.5, 2.5, 5.0])
_CUBIC_INC = ("p25", "p20", "p15", "p10", "p05", "c05", "c10", "c15", "c20", "c25")

# Lower bounds that make each model's admissibility rule hold.
_LOWER = {
    "GVVSpline": {"ref_vol": 10.0 + EPS_BOUND, "smile": 1.0},
    "CubicSpline": {"ref_vol": 1.0 + EPS_BOUND, "p25": 0.0, "c25": 0.0},
    "VolGeo": {"ref_vol": 1.0 + EPS_BOUND, "vvol": 1.0},
}
# Soft walls on |parameter|: far beyond any market smile. A correlation
# parameter beyond 8 makes tanh all but +-1, where the smile degenerates.
_UPPER = {
    "GVVSpline": {"ref_vol": 500.0, "skew": 500.0, "smile": 2000.0, "*": 1e6},
    "CubicSpline": {"ref_vol": 500.0, "*": 200.0},
    "VolGeo": {"ref_vol": 500.0, "corr": 8.0, "vvol": 2000.0, "*": 1e6},
}
_CORR_LIMIT = _UPPER["VolGeo"]["corr"]
_WALL = 10.0
_U_MIN = 0.03


def _korvex_class(kind):
    import korvex

    try:
        return {"GVVSpline": korvex.GVVSpline, "CubicSpline": korvex.CubicSpline, "VolGeo": korvex.VolGeo}[kind]
    except KeyError:
        raise ValueError(f"unknown model {kind!r}: use one of {', '.join(MODELS)}") from None


@dataclass
class ArbitrageReport:
    """Butterfly check of a fitted smile: where the risk-neutral density is negative."""

    has_arbitrage: bool
    depth: float                  # most negative density / peak density (0 when none)
    regions: list[tuple[float, float]] = field(default_factory=list)   # strike intervals with negative density
    k_range: tuple[float, float] = (math.nan, math.nan)                 # log-moneyness domain checked
    k_negative: np.ndarray = field(default_factory=lambda: np.empty(0), repr=False)  # grid points found negative

    def describe(self) -> str:
        if not self.has_arbitrage:
            return "none"
        where = ", ".join(f"K {a:,.6g}..{b:,.6g}" for a, b in self.regions[:4])
        return f"negative density (down to {self.depth:.2%} of peak) at {where}"


@dataclass
class SmileFit:
    """One fitted expiry: the model (None when the fit failed) and its report."""

    underlying: str
    expiry: pd.Timestamp
    model_name: str
    model: object | None
    params: dict
    forward: float
    ttx: float
    status: str                   # "ok", "warning" or "failed"
    rmse: float = math.nan        # vol points, over the two-sided quotes
    max_error: float = math.nan   # vol points
    inside: float = math.nan      # share of two-sided quotes with the fit inside [bid IV, ask IV]
    n_metric: int = 0             # two-sided quotes behind rmse / inside
    n_used: int = 0
    excluded: dict = field(default_factory=dict)    # reason -> count
    nfev: int = 0
    seconds: float = 0.0
    warnings: list[str] = field(default_factory=list)
    arbitrage: ArbitrageReport | None = None
    message: str = ""
    fit_params: np.ndarray | None = None  # fitting parameters, in get_fitting_params() order
    used: np.ndarray | None = field(default=None, repr=False)     # which rows were fitted
    fit_iv: np.ndarray | None = field(default=None, repr=False)   # fitted vols of those rows
    _source: pd.DataFrame | None = field(default=None, repr=False)

    @property
    def quotes(self) -> pd.DataFrame | None:
        """The fitted quotes (rows of the chain) with their fitted vol `fit_iv`."""
        if self._source is None or self.used is None:
            return None
        u = np.asarray(self.used)
        q = self._source.loc[u].copy()
        if self.fit_iv is not None and len(self.fit_iv) == len(q):
            q["fit_iv"] = self.fit_iv
        return q

    @property
    def ok(self) -> bool:
        return self.status != "failed"

    def vols(self, strikes) -> np.ndarray:
        """Fitted vols at `strikes` (spot = the forward)."""
        if self.model is None:
            return np.full(np.shape(strikes), np.nan)
        return np.asarray(smile_vols(self.model, self.ttx, self.forward, np.asarray(strikes, float)))

    def summary(self) -> str:
        head = (f"{self.underlying} {self.expiry:%Y-%m-%d %H:%M} {self.model_name}: {self.status}; "
                f"RMSE {self.rmse:.2f} vp, inside {self.inside:.0%} of {self.n_metric}, "
                f"{self.n_used} quotes, {self.nfev} evals, {self.seconds * 1e3:.1f} ms")
        return "\n".join([head] + ["  " + w for w in self.warnings] + ([f"  {self.message}"] if self.message else []))


@dataclass
class ChainFit:
    """Fits of every expiry of a chain, for one model."""

    model_name: str
    fits: list[SmileFit]
    clock: str

    def table(self) -> pd.DataFrame:
        """One row per underlying and expiry: identity, status, figures and every model parameter."""
        rows = []
        for f in self.fits:
            row = {"underlying": f.underlying, "expiry_utc": f.expiry.strftime("%Y-%m-%dT%H:%M:%SZ"),
                   "model": f.model_name, "forward": f.forward, "ttx": f.ttx, "clock": self.clock,
                   "status": f.status, "rmse_vp": f.rmse, "max_error_vp": f.max_error, "inside": f.inside,
                   "n_metric": f.n_metric, "n_used": f.n_used, "nfev": f.nfev, "ms": f.seconds * 1e3,
                   "butterfly": f.arbitrage.describe() if f.arbitrage else "",
                   "warnings": "; ".join(f.warnings + ([f.message] if f.message else []))}
            # Parameters in the model's stored order (get_param_dict's own order varies).
            row.update({n: f.params[n] for n in _kind_info(f.model_name)["names"] if n in f.params})
            rows.append(row)
        return pd.DataFrame(rows)

    def get(self, underlying: str, expiry) -> SmileFit:
        exp = pd.Timestamp(expiry)
        exp = exp.tz_localize("UTC") if exp.tzinfo is None else exp.tz_convert("UTC")
        for f in self.fits:
            if f.underlying == underlying and f.expiry == exp:
                return f
        raise KeyError(f"no fit for {underlying} {exp.isoformat()}")


# ---------------------------------------------------------------------------
# The problem of one expiry
# ---------------------------------------------------------------------------

class _Problem:
    """Quotes, transforms and the vectorised residual of one fit."""

    def __init__(self, kind, k, bid, ask, ttx, forward, weights_by="spread", vega=None):
        info = _kind_info(kind)
        self.kind = kind
        self.names, self.fit_names, self.idx = info["names"], info["fit_names"], info["idx"]
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
            # density is checked in knot units, next to both ends of every
            # interval (where the linear second derivative is extreme) and
            # inside it, and out to the check domain beyond the outer knots.
            e = _PEN_E
            reach = max(abs(klo), abs(khi)) / (0.7 * sd)
            outer = 5.0 + 2 * e + (max(reach, 6.0) - (5.0 + 2 * e)) * _PEN_OUTER_T
            self.pen_x = np.concatenate([-outer[::-1], _PEN_INNER, outer])
            self.pen_e = e
            self.all_strikes = self.strikes
        else:
            self.grid_h = 1e-3 * sd
            self.grid_k = None   # set when the density penalty is first needed

        self.base = info["defaults"].copy()
        self.base[info["ref_spot"]] = forward
        self.bounded, self.lower = info["bounded"], info["lower"]
        self.floor = np.where(self.bounded, self.lower, -np.inf)
        self.upper = info["upper"]
        self.idx64 = info["idx64"]
        self.level_slot = self.names.index("ref_vol")
        # No regulariser rows unless set_regulariser adds them.
        self.reg = np.zeros((0, len(self.fit_names)))
        self.reg_c = np.zeros(0)
        # The same problem, kept native for the solver: each of its steps
        # then costs no Python at all.
        self.native = _kernels.FitProblem(kind, self.base, self.idx64, self.bounded, self.lower, self.upper, _WALL,
                                          self.ttx, self.forward, self.strikes, self.lo, self.hi, self.mid0,
                                          self.inv_scale, self.pull_w, ROBUST_SCALE, _FILL)
        self.regularised = ""
        self._synced = None
        self._points_version = 0   # counts the density points' changes
        if kind == "VolGeo" and self.n_two >= len(self.fit_names) and CORR_PRIOR > 0:
            # With vvol at its bound the smile hardly depends on corr, and
            # the cost is all but flat out to either wall: a faint pull
            # towards zero decides, far below what the quotes resolve.
            self.set_regulariser(_CORR_ROW, _ONE_ZERO)
        if kind != "CubicSpline" and self.n_two < len(self.fit_names):
            # Too few two-sided quotes to pin the shape: a weak prior pulls
            # the shape parameters towards the quotes' own flat start, and
            # decides only along the directions the quotes leave free.
            ref = self.candidates()[0]
            shape = np.arange(1, len(self.fit_names))
            reg = np.zeros((shape.size, len(self.fit_names)))
            reg[np.arange(shape.size), shape] = PRIOR_WEIGHT / _PRIOR_SCALE[kind]
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
            self.knot_pinned = pinned
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
            self.native.set_density(0, _NO_POINTS, 0.0, 0, DENSITY_MARGIN, 0.0)
        elif self.kind == "CubicSpline":
            self.native.set_density(2, self.pen_x, self.pen_e, self.level_slot, DENSITY_MARGIN, self.density_weight)
        else:
            self.native.set_density(1, self.grid_k, self.grid_h, 0, DENSITY_MARGIN, self.density_weight)

    # Parameters <-> unconstrained coordinates: bounded p = lower + u^2.
    def to_theta(self, u):
        u = np.asarray(u, float)
        return np.where(self.bounded, self.lower + u * u, u)

    def to_u(self, theta):
        theta = np.asarray(theta, float)
        # Never exactly on a bound: there u = 0, where the square has no slope
        # and the solver could not leave the bound again.
        return np.where(self.bounded, np.sqrt(np.maximum(theta - self.lower, _U_MIN * _U_MIN)), theta)

    def full(self, theta):
        theta = np.atleast_2d(theta)
        out = np.empty((theta.shape[0], self.base.size))
        out[:] = self.base
        out[:, self.idx] = theta
        return out

    def vols(self, theta):
        """Vols at the quotes (and the density points when the penalty is on),
        one row per parameter set: one call of the model kernel."""
        full = self.full(theta)
        strikes = self.all_strikes if self.density_on else self.strikes
        out = np.empty((full.shape[0], strikes.size))
        _kernels.model_vols(self.kind, full, self.ttx, self.forward, strikes, out, 1)
        return out

    def residuals(self, theta):
        """Residual rows for each parameter set (rows of `theta`)."""
        theta = np.atleast_2d(theta)
        if not self.density_on:
            # The quotes' residuals in one native call per set of points.
            full = self.full(theta)
            rq = np.empty((full.shape[0], 2 * self.n))   # contiguous: the kernel writes into it
            _kernels.fit_residuals(self.kind, full, self.ttx, self.forward, self.strikes, self.lo, self.hi,
                                   self.mid0, self.inv_scale, self.pull_w, ROBUST_SCALE, _FILL, rq)
            # Soft walls far outside any market smile keep the solver out of
            # plateaus (a ref_vol of thousands of percent flattens every smile).
            parts = [rq, _WALL * np.maximum(np.abs(theta) - self.upper, 0.0)]
            if self.reg_c.size:
                parts.append(theta @ self.reg.T - self.reg_c)
            return np.concatenate(parts, axis=1)
        v = self.vols(theta)
        vq = v[:, :self.n]
        out = np.maximum(self.lo - vq, 0.0)
        out += np.maximum(vq - self.hi, 0.0)
        out *= self.inv_scale
        band = _soft_l1(out)
        band *= ROBUST_SCALE
        pull = vq - self.mid0
        pull *= self.inv_scale
        pull = _soft_l1(pull)
        pull *= self.pull_w
        # In the native path's order: quotes, walls, density points.
        parts = [band, pull, _WALL * np.maximum(np.abs(theta) - self.upper, 0.0)]
        if self.density_on:
            if self.kind == "CubicSpline":
                g = self._spline_g(theta)
            else:
                vg = v[:, self.n:].reshape(v.shape[0], -1, 3)
                g = _stencil_g(self.grid_k, vg * vg * self.ttx, self.grid_h)
            parts.append(self.density_weight * np.maximum(DENSITY_MARGIN - g, 0.0))
        if self.reg_c.size:
            parts.append(theta @ self.reg.T - self.reg_c)
        r = np.concatenate(parts, axis=1)
        # A parameter set whose smile is not finite everywhere is as bad as
        # far away: large, finite residuals keep the solver's step logic sane.
        if not np.isfinite(r).all():
            r[~np.isfinite(r)] = _FILL
        return r

    def set_density_points(self, k):
        """Log-moneyness points where the density penalty applies (smooth models).

        Each point is evaluated with its own small central stencil, so that
        points can be added where a check finds a negative density."""
        k = np.asarray(k, float)
        self.grid_k = k if k.size == DENSITY_GRID else np.unique(k)
        self._points_version += 1
        sten = (self.grid_k[:, None] + np.array([-1.0, 0.0, 1.0])[None, :] * self.grid_h).ravel()
        self.all_strikes = np.concatenate([self.strikes, self.forward * np.exp(sten)])

    def _spline_g(self, theta):
        """Durrleman's g at the spline's penalty points, per parameter set.

        Sets that share ref_vol share knot positions in strike: one kernel
        call per distinct ref_vol (a Jacobian needs two)."""
        out = np.empty((theta.shape[0], self.pen_x.size))
        full = self.full(theta)
        rv = theta[:, 0]
        d = np.array([-1.0, 0.0, 1.0])
        for val in np.unique(rv):
            rows = np.flatnonzero(rv == val)
            sd = abs(val) / 100.0 * math.sqrt(self.ttx)
            k = ((self.pen_x[:, None] + d[None, :] * self.pen_e) * sd).ravel()
            v = np.asarray(model_vols(self.kind, full[rows], self.ttx, self.forward, self.forward * np.exp(k)))
            w = (v * v * self.ttx).reshape(len(rows), self.pen_x.size, 3)
            h = self.pen_e * sd
            w0, w1 = w[..., 1], (w[..., 2] - w[..., 0]) / (2.0 * h)
            w2 = (w[..., 2] - 2.0 * w[..., 1] + w[..., 0]) / (h * h)
            kk = self.pen_x[None, :] * sd
            with np.errstate(all="ignore"):
                a = 1.0 - kk * w1 / (2.0 * w0)
                out[rows] = a * a - 0.25 * w1 * w1 * (1.0 / w0 + 0.25) + 0.5 * w2
        return out

    def objective(self, theta):
        """The cost of each parameter set (rows of `theta`): one native call."""
        self.sync_density()
        theta = np.ascontiguousarray(np.atleast_2d(theta), dtype=float)
        out = np.empty(theta.shape[0])
        self.native.costs(theta, out)
        return out

    def candidates(self, warm=None):
        """Starting points: a grid around the quotes' level, skew and curvature."""
        atm, slope = 100.0 * self.atm, 100.0 * self.slope
        cands = []
        if self.kind == "GVVSpline":
            # Near the money the vol moves by skew / 2 per unit of x, and
            # the curvature grows with smile.
            for sk in (slope, 2.0 * slope, 0.0):
                for sm in (2.0, 7.0, 25.0):
                    cands.append((atm, sk, sm))
        elif self.kind == "VolGeo":
            # Near the money the vol moves by vvol * rho / 100 per unit of x.
            for vv in (10.0, 30.0, 80.0, 200.0):
                for rho in (0.0, float(np.clip(slope / vv, -0.95, 0.95))):
                    cands.append((atm, math.atanh(rho), vv))
        else:
            cands.append(self._spline_start(1.0))
            cands.append(self._spline_start(0.0))
            for scale in (0.9, 1.1):
                c = list(self._spline_start(1.0))
                c[0] *= scale
                cands.append(tuple(c))
        theta = np.array(cands, float)
        theta = np.maximum(theta, np.where(self.bounded, self.lower, -np.inf))
        if warm is not None:
            w = np.maximum(np.asarray(warm, float), np.where(self.bounded, self.lower, -np.inf))
            theta = np.vstack([w[None, :], theta])
        return theta

    def _spline_start(self, follow):
        """Spline knots read off the quotes (follow=1) or a flat smile (0)."""
        atm = self.atm
        sd = atm * math.sqrt(self.ttx)
        ok = self.shape_ok
        zs, vs = _sorted(self.k[ok] / sd, self.centre[ok])
        at = np.interp(_CUBIC_X, zs, vs) if ok.any() else np.full(11, atm)
        at = atm + follow * (at - atm)
        at[5] = atm
        inc = np.empty(10)
        # p25..p05 run from the outside in; each is knot(i) - knot(i+1) nearer the centre.
        for j in range(5):
            inc[j] = 100.0 * (at[j] - at[j + 1])
        for j in range(5):
            inc[5 + j] = 100.0 * (at[6 + j] - at[5 + j])
        inc[0] = max(inc[0], 0.0)
        inc[9] = max(inc[9], 0.0)
        return (100.0 * atm, *inc)

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
    # Knot vols (percent) from (ref_vol, p25, ..., p05, c05, ..., c25).
    to_knots = np.zeros((11, 11))
    to_knots[:, 0] = 1.0
    for j in range(5):           # put knot j (x = -5 .. -0.5): the increments from it in to the centre
        to_knots[j, 1 + j:6] = 1.0
    for j in range(5):           # call knot 6 + j (x = 0.5 .. 5): c05 out to its own increment
        to_knots[6 + j, 6:7 + j] = 1.0
    h = np.diff(_CUBIC_X)
    slope = np.diff(to_knots, axis=0) / h[:, None] / 100.0
    rows = np.diff(slope, axis=0) / np.sqrt(0.5 * (h[:-1] + h[1:]))[:, None]
    return weight * rows, np.zeros(rows.shape[0])


def _inner_hats(x):
    """The hat functions of the spline's inner knots at x, one column per
    knot: 1 at the knot, falling to 0 at its neighbours and beyond."""
    X = _CUBIC_X
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
_CORR_ROW = np.array([[0.0, CORR_PRIOR, 0.0]])
_ONE_ZERO = np.zeros(1)
# The spline's density points inside its knots (see _Problem), and the
# spacing of those beyond them.
_PEN_E = 2e-3
_PEN_INNER = np.concatenate([np.linspace(a + 2 * _PEN_E, b - 2 * _PEN_E, 5) for a, b in zip(_CUBIC_X[:-1], _CUBIC_X[1:])])
_PEN_OUTER_T = np.linspace(0.0, 1.0, 8)


_EPOCH = dt.datetime(2000, 1, 1, tzinfo=dt.timezone.utc)
_KIND_INFO: dict = {}


def _kind_info(kind):
    """Names, defaults and bounds of a model kind, looked up once."""
    info = _KIND_INFO.get(kind)
    if info is None:
        names = list(model_param_names(kind))
        proto = _korvex_class(kind)(_EPOCH)
        fit_names = list(proto.get_fitting_params())
        defaults = proto.get_param_dict()
        lower = _LOWER[kind]
        info = {"names": names, "fit_names": fit_names,
                "idx": np.array([names.index(n) for n in fit_names]),
                "idx64": np.array([names.index(n) for n in fit_names], dtype=np.int64),
                "defaults": np.array([defaults[n] for n in names], float),
                "ref_spot": names.index("ref_spot"),
                "bounded": np.array([n in lower for n in fit_names]),
                "lower": np.array([lower.get(n, 0.0) for n in fit_names]),
                "upper": np.array([_UPPER[kind].get(n, _UPPER[kind]["*"]) for n in fit_names])}
        _KIND_INFO[kind] = info
    return info
_FILL = 1e3   # residual of a point where the smile is not finite
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


def _sorted(x, y):
    o = np.argsort(x, kind="stable")
    return x[o], y[o]


def _soft_l1(r):
    """Signed square root of scipy's soft_l1 loss, so that sum(out^2) = sum(2(sqrt(1+r^2)-1)).

    Written as r * sqrt(2 / (sqrt(1 + r^2) + 1)), which is the same value
    without the cancellation of sqrt(1 + r^2) - 1 for small r."""
    t = r * r
    t += 1.0
    np.sqrt(t, out=t)
    t += 1.0
    np.divide(2.0, t, out=t)
    np.sqrt(t, out=t)
    t *= r
    return t


def _stencil_g(k, w, h):
    """Durrleman's g from total variance on (sets, points, 3) central stencils."""
    w0 = w[..., 1]
    w1 = (w[..., 2] - w[..., 0]) / (2.0 * h)
    w2 = (w[..., 2] - 2.0 * w0 + w[..., 0]) / (h * h)
    with np.errstate(all="ignore"):
        a = 1.0 - k * w1 / (2.0 * w0)
        return a * a - 0.25 * w1 * w1 * (1.0 / w0 + 0.25) + 0.5 * w2


def density_check(model_name: str, params, ttx: float, forward: float, k_range, points: int = CHECK_GRID) -> ArbitrageReport:
    """Where the risk-neutral density of a smile is negative, on a grid of log-moneyness."""
    if isinstance(params, dict):
        vec = np.array([params[n] for n in model_param_names(model_name)], float)
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


# ---------------------------------------------------------------------------
# Solver
# ---------------------------------------------------------------------------

def _solve_fixed_level(prob, theta, max_nfev):
    """The spline's increments solved with ref_vol held at the quotes' level."""
    level = max(100.0 * prob.atm, float(prob.lower[0]) + 1e-3)
    theta = np.asarray(theta, float).copy()
    theta[0] = level
    free = np.ones(len(prob.fit_names), bool)
    free[0] = False
    u, _, n = _solve(prob, prob.to_u(theta), max_nfev, free)
    return prob.to_theta(u), n


def _settle_kinks(prob, u, cost, max_nfev):
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
    v2, cost2, n = _solve(prob, v, max_nfev, ~near)
    if cost2 <= cost * (1.0 + 1e-9):
        return v2, cost2, n
    return u, cost, n


def _solve(prob: _Problem, u0, max_nfev, free=None):
    """Levenberg-Marquardt in one native call (the residual, its Jacobian and
    every step computed next to the model). Returns (u, cost, evaluations)."""
    prob.sync_density()
    u = np.array(u0, dtype=float)
    if free is None:
        free = np.ones(u.size, bool)
    tol = SOLVER_TOL[prob.kind]
    if getattr(prob, "solver", "native") == "scipy":
        return _solve_scipy(prob, u, free, tol, max_nfev)
    cost, nfev, status = prob.native.solve(u, free, tol, tol, int(max_nfev))
    prob.hit_limit = prob.hit_limit or status == 5
    return u, float(cost), int(nfev)


def _solve_scipy(prob: _Problem, u, free, tol, max_nfev):
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


# ---------------------------------------------------------------------------
# Public entry points
# ---------------------------------------------------------------------------

def _check_options(model, weights, solver):
    if model not in MODELS:
        raise ValueError(f"unknown model {model!r}: use one of {', '.join(MODELS)}")
    if weights not in ("spread", "vega"):
        raise ValueError(f"unknown weights {weights!r}: use 'spread' or 'vega'")
    if solver not in SOLVERS:
        raise ValueError(f"unknown solver {solver!r}: use one of {', '.join(SOLVERS)}")


def fit_smile(quotes: pd.DataFrame, model: str = "GVVSpline", *, forward: float | None = None,
              ttx: float | None = None, expiry=None, underlying: str | None = None, warm_start=None,
              starts: int = 1, weights: str = "spread", max_nfev: int = 120, starting_points=None,
              solver: str = "native") -> SmileFit:
    """Fit one expiry's smile.

    `quotes` are the rows of one underlying and expiry of `Chain.quotes`
    (or any frame with `log_moneyness` (or `strike`), `is_call`, `otm`,
    `quote_bid_iv`, `quote_ask_iv`); `forward`, `ttx`, `expiry` and
    `underlying` default to those columns. Out-of-the-money quotes with at
    least one IV are fitted; the others are counted in `excluded`.

    `warm_start`: a previous `SmileFit`, model object or parameter dict of the
    same expiry, screened first among the starting points. `starts`: how
    many of the best screened starting points are polished (the best result
    wins; with two or more, the report warns when they disagree).
    `starting_points`: explicit starting parameter dicts instead of the
    screened grid. `weights`: "spread" (1 / spread) or "vega". `solver`:
    "native" (korvex_chain's Levenberg-Marquardt) or "scipy"
    (`scipy.optimize.least_squares` on the same residuals); both find the
    same optimum, the native one in a fraction of the time.
    """
    t0 = time.perf_counter()
    _check_options(model, weights, solver)
    if len(quotes) == 0:
        raise ValueError("no quotes to fit")
    need = {"is_call", "quote_bid_iv", "quote_ask_iv"}
    missing = need - set(quotes.columns)
    if missing:
        raise ValueError(f"quotes lack columns {sorted(missing)}")
    forward = float(forward if forward is not None else quotes["forward"].iloc[0])
    ttx = float(ttx if ttx is not None else _expiry_ttx(quotes))
    expiry = pd.Timestamp(expiry if expiry is not None else quotes["expiry"].iloc[0])
    expiry = expiry.tz_localize("UTC") if expiry.tzinfo is None else expiry.tz_convert("UTC")
    underlying = str(underlying if underlying is not None else quotes.get("underlying", pd.Series(["?"])).iloc[0])

    if "log_moneyness" in quotes.columns:
        k = quotes["log_moneyness"].to_numpy(float)
    else:
        k = np.log(quotes["strike"].to_numpy(float) / forward)
    calls = quotes["is_call"].to_numpy(bool)
    otm = quotes["otm"].to_numpy(bool) if "otm" in quotes.columns else np.where(calls, k >= 0, k < 0)
    fit = _fit_arrays(model, k, otm, calls, quotes["quote_bid_iv"].to_numpy(float),
                      quotes["quote_ask_iv"].to_numpy(float), forward, ttx, expiry, underlying,
                      warm_start=warm_start, starts=starts, weights=weights, max_nfev=max_nfev, solver=solver,
                      starting_points=starting_points, t0=t0, index=quotes.index)
    fit._source = quotes
    return fit


def _fit_arrays(model, k, otm, calls, b, a, forward, ttx, expiry, underlying, *, warm_start=None, starts=1,
                weights="spread", max_nfev=120, starting_points=None, t0=None, index=None, solver="native"):
    """The fit of one expiry from plain arrays (one entry per option of the expiry)."""
    t0 = time.perf_counter() if t0 is None else t0
    fit = SmileFit(underlying, expiry, model, None, {}, forward, ttx, "failed")
    has = np.isfinite(b) | np.isfinite(a)
    crossed = np.isfinite(b) & np.isfinite(a) & (b > a)
    use = otm & has & ~crossed
    excluded = {}
    for why, m in (("in the money", ~otm), ("no bid or ask IV", otm & ~has), ("bid IV above ask IV", otm & has & crossed)):
        if m.any():
            excluded[why] = int(m.sum())
    fit.excluded = excluded
    fit.n_used = int(use.sum())
    fit.used = use if index is None else np.asarray(index)[use]
    if not (math.isfinite(forward) and forward > 0 and math.isfinite(ttx) and ttx > 0):
        fit.message = f"cannot fit: forward {forward} and ttx {ttx} must be positive"
        fit.seconds = time.perf_counter() - t0
        return fit
    if model == "CubicSpline" and ttx == 1.0:
        # The spline's spot shift divides by ln(ttx): every vol is NaN at one year exactly.
        fit.message = "cannot fit: CubicSpline is undefined at ttx = 1.0 exactly"
        fit.seconds = time.perf_counter() - t0
        return fit
    if fit.n_used == 0:
        fit.message = "cannot fit: no out-of-the-money quote with a bid or ask IV"
        fit.seconds = time.perf_counter() - t0
        return fit

    vega = None
    if weights == "vega":
        mid = np.where(np.isfinite(b) & np.isfinite(a), 0.5 * (b + a), np.where(np.isfinite(b), b, a))
        vega = np.asarray(b76(forward, forward * np.exp(k), ttx, mid, calls).vega)[use]
    prob = _Problem(model, k[use], b[use], a[use], ttx, forward, weights, vega)
    prob.solver = solver
    warm = _warm_vector(warm_start, prob)
    if warm is not None:
        warm = _repair(prob, warm)
    if starting_points is not None:
        cand = np.array([[float(sp[n]) for n in prob.fit_names] for sp in starting_points], float)
        cand = np.array([_repair(prob, c) for c in cand])
        order = np.arange(len(cand))
    else:
        cand = prob.candidates(warm)
        obj = prob.objective(cand)
        order = np.argsort(np.where(np.isfinite(obj), obj, np.inf), kind="stable")
    nfev = 1 if starting_points is None else 0
    results = []
    picked = []
    for i in order:
        if len(picked) >= max(1, starts):
            break
        # Skip a candidate that is all but the same as one already polished.
        if any(np.allclose(cand[i], cand[j], rtol=0.02, atol=0.05) for j in picked):
            continue
        picked.append(i)
        try:
            start = cand[i]
            n0 = 0
            if (model == "CubicSpline" and SPLINE_LEVEL_FIRST
                    and abs(start[0] / 100.0 - prob.atm) > 0.05 * prob.atm):
                # The knots sit at multiples of the at-the-money deviation, so
                # ref_vol moves them all: with ref_vol held at the quotes'
                # level first, the increments settle where the quotes put
                # them, whatever the start, and only then is ref_vol freed.
                start, n0 = _solve_fixed_level(prob, start, max_nfev)
            u, cost, n = _solve(prob, prob.to_u(start), max_nfev)
            u, cost, n1 = _settle_kinks(prob, u, cost, max_nfev)
            n += n0 + n1
        except Exception as exc:  # the solver's own failure is reported, not raised
            fit.warnings.append(f"start {len(picked)}: solver error {exc}")
            continue
        nfev += n
        results.append((cost, prob.to_theta(u)))
    if starting_points is not None and not any(np.all(np.isfinite(prob.vols(t)[0])) for _, t in results):
        # The given points led nowhere usable: start from the quotes instead.
        u, cost, n = _solve(prob, prob.to_u(prob.candidates()[0]), max_nfev)
        nfev += n
        results.append((cost, prob.to_theta(u)))
        fit.warnings.append("the given starting points did not converge; fitted from the quotes' own start")
    if not results:
        fit.nfev = nfev
        fit.message = "fit failed: the solver did not finish from any starting point"
        fit.seconds = time.perf_counter() - t0
        return fit
    results.sort(key=lambda r: r[0])
    cost, theta = results[0]
    arb = density_check(model, prob.full(theta)[0], ttx, forward, prob.k_range)
    if arb.depth < -DENSITY_TOLERANCE[model]:
        # Butterfly arbitrage without the density penalty: solve again with it.
        # The penalty grows in steps, each solve starting where the last one
        # ended: one big step lets the solver jump to far worse smiles.
        prob.density_on = True
        if model != "CubicSpline":
            prob.set_density_points(np.linspace(*prob.k_range, DENSITY_GRID))
        for weight in DENSITY_STEPS:
            prob.density_weight = weight
            u, cost, n = _solve(prob, prob.to_u(theta), max_nfev)
            u, cost, n1 = _settle_kinks(prob, u, cost, max_nfev)
            nfev += n + n1
            theta = prob.to_theta(u)
            arb = density_check(model, prob.full(theta)[0], ttx, forward, prob.k_range)
            if arb.depth >= -DENSITY_TOLERANCE[model]:
                break
            if model != "CubicSpline":
                # Penalise where the check still finds a negative density too.
                prob.set_density_points(np.concatenate([prob.grid_k, arb.k_negative]))
        results = [(cost, theta)] + [(c, t) for c, t in results[1:]]

    fit.nfev = nfev
    full = prob.full(theta)[0]
    params = dict(zip(prob.names, full.tolist()))
    obj = _korvex_class(model).with_params(expiry, params)
    vq = prob.vols(theta)[0][:prob.n]
    fit.params = obj.get_param_dict()
    fit.fit_params = np.asarray(theta, float)
    fit.rmse, fit.max_error, fit.inside, fit.n_metric = prob.metrics(vq)
    fit.arbitrage = arb
    fit.fit_iv = vq

    # Verdict: an inadmissible or non-finite smile is a failure, whatever the cost.
    if not obj.arb_free():
        fit.message = "fit failed: the result is not admissible"
    elif not np.all(np.isfinite(vq)):
        fit.message = "fit failed: the fitted smile is not finite at every quote"
    else:
        fit.model = obj
        fit.status = "ok"
        _warn(fit, prob, theta, results, vq)
        if fit.warnings:
            fit.status = "warning"
    fit.seconds = time.perf_counter() - t0
    return fit


def _repair(prob, theta):
    """An admissible starting point from any given one.

    An admissible point whose smile is finite everywhere is kept as it is.
    Otherwise the point is moved into the admissible box (strictly inside:
    on a bound the reparametrisation has no slope) and then towards the
    quotes' own starting point until its smile is finite and its cost is
    within a factor of a hundred of that start's."""
    theta = np.asarray(theta, float)
    ok_box = bool(np.all(~prob.bounded | (theta > prob.lower)))
    if ok_box and np.all(prob.residuals(theta)[0] < _FILL):
        return theta
    data = prob.candidates()[0]
    margin = 0.05 * np.maximum(np.abs(data - prob.lower), 1.0)
    theta = np.where(prob.bounded, np.maximum(theta, prob.lower + margin), theta)
    limit = 100.0 * float(prob.objective(data)[0])
    for alpha in (0.0, 0.25, 0.5, 0.75):
        t = (1.0 - alpha) * theta + alpha * data
        r = prob.residuals(t)[0]
        if np.all(r < _FILL) and float(r @ r) <= limit:
            return t
    return data


def _expiry_ttx(quotes):
    if "expiry_ttx" in quotes.columns:
        return float(quotes["expiry_ttx"].iloc[0])
    return float(quotes["ttx"].median())


def _warm_vector(warm, prob):
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


def _warn(fit, prob, theta, results, vq):
    n_free = len(prob.fit_names)
    if prob.hit_limit:
        fit.warnings.append("the solver stopped at its evaluation limit")
    if fit.n_used < min(n_free, 5):
        fit.warnings.append(f"too few quotes: {fit.n_used} for {n_free} parameters")
    if prob.regularised:
        fit.warnings.append(prob.regularised)
    for name, val, lo, bounded in zip(prob.fit_names, theta, prob.lower, prob.bounded):
        # The spline's outermost increments sit at zero whenever no quote
        # reaches their knots: that is no sign of trouble.
        if name in ("p25", "c25"):
            continue
        if bounded and val - lo <= 1e-4 * max(1.0, abs(lo)):
            fit.warnings.append(f"parameter at a bound: {name} = {val:.6g}")
    if prob.kind == "VolGeo":
        c = theta[prob.fit_names.index("corr")]
        if abs(c) >= _CORR_LIMIT:
            fit.warnings.append(f"parameter at a bound: corr = {c:.4g}")
    if fit.n_metric and (fit.inside < 0.5 or fit.rmse > 5.0):
        fit.warnings.append(f"poor fit: inside {fit.inside:.0%}, RMSE {fit.rmse:.2f} vol points")
    if fit.arbitrage is not None and fit.arbitrage.has_arbitrage:
        fit.warnings.append("butterfly arbitrage: " + fit.arbitrage.describe())
    if len(results) > 1:
        others = [prob.vols(t)[0][:prob.n] for _, t in results[1:]]
        gap = max(float(np.max(np.abs(o - vq))) for o in others) * 100.0
        if gap > 0.01 and results[1][0] <= results[0][0] * (1 + 1e-6) + 1e-12:
            fit.warnings.append(f"starting points disagree by {gap:.3f} vol points at equal cost")


def fit_chain(chain, model: str = "GVVSpline", *, previous: ChainFit | None = None, starts: int = 1,
              weights: str = "spread", underlyings=None, expiries=None, solver: str = "native") -> ChainFit:
    """Fit every expiry of a `Chain` (optionally a subset), one `SmileFit` each.

    `previous`: a `ChainFit` of the same model (an earlier snapshot): each
    expiry found there is warm-started from its fit. `starts`: starting
    points polished per expiry (the best of a screened grid; 1 is enough in
    practice, more cost time). `solver`: as for `fit_smile`."""
    _check_options(model, weights, solver)
    q = chain.quotes
    # Plain arrays once for the whole chain; each expiry is a slice of them.
    cols = {c: q[c].to_numpy() for c in ("log_moneyness", "otm", "is_call", "quote_bid_iv", "quote_ask_iv")}
    groups = chain.positions()
    wanted = None if expiries is None else set(pd.to_datetime(list(expiries), utc=True))
    fits = []
    for e in chain.expiries.itertuples(index=False):
        if underlyings is not None and e.underlying not in underlyings:
            continue
        if wanted is not None and e.expiry not in wanted:
            continue
        pos = groups.get((e.underlying, e.expiry))
        if pos is None:
            continue
        warm = None
        if previous is not None:
            try:
                warm = previous.get(e.underlying, e.expiry)
            except KeyError:
                warm = None
        f = _fit_arrays(model, cols["log_moneyness"][pos].astype(float), cols["otm"][pos].astype(bool),
                        cols["is_call"][pos].astype(bool), cols["quote_bid_iv"][pos].astype(float),
                        cols["quote_ask_iv"][pos].astype(float), float(e.forward), float(e.ttx), e.expiry,
                        e.underlying, warm_start=warm, starts=starts, weights=weights, index=q.index[pos],
                        solver=solver)
        f._source = q
        method = str(getattr(e, "forward_method", ""))
        if method.startswith("term_structure") and f.ok:
            f.warnings.append(f"forward not quoted: {method}")
            f.status = "warning"
        fits.append(f)
    return ChainFit(model, fits, chain.clock)
