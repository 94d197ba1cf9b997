"""What a fit returns: one expiry's `SmileFit`, a chain's `ChainFit`, and the
butterfly check's `ArbitrageReport`; and how a solution becomes a SmileFit
(`finish`: its model, figures, verdict and warnings)."""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import pandas as pd

from ..arrays import smile_vols
from ..surface import CalendarArbitrage, Surface, calendar_frame
from ..timing import to_utc
from .model_facts import CORR_LIMIT, korvex_class, model_facts


@dataclass
class ArbitrageReport:
    """Butterfly check of a fitted smile: where the risk-neutral density is negative."""

    has_arbitrage: bool
    depth: float                  # lowest density / peak density (0 when none; -inf where it is not finite)
    regions: list[tuple[float, float]] = field(default_factory=list)   # strike intervals with negative density
    k_range: tuple[float, float] = (math.nan, math.nan)                 # log-moneyness domain checked
    # Log-moneyness where the check found the density lowest (its minima,
    # then samples inside the regions): where a repair should look.
    k_negative: np.ndarray = field(default_factory=lambda: np.empty(0), repr=False)

    def describe(self) -> str:
        if not self.has_arbitrage:
            return "none"
        where = ", ".join(f"K {a:,.6g}..{b:,.6g}" for a, b in self.regions[:4])
        if not math.isfinite(self.depth):
            return f"negative or undefined density (a variance that is not positive) at {where}"
        depth = f"{self.depth:.2%}" if abs(self.depth) >= 5e-5 else f"{self.depth * 100:.1g}%"
        return f"negative density (down to {depth} of peak) at {where}"


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
    observation_time: pd.Timestamp | None = None   # the chain's: where its surfaces start
    # Calendar check of each pair of neighbouring fitted expiries (after any
    # repair), and the expiries a repair moved with their figures before and after.
    calendar_arbitrage: list[CalendarArbitrage] = field(default_factory=list)
    calendar_repair: pd.DataFrame | None = None
    # The business clock's trading calendar (the chain's): surfaces keep to it.
    calendar: Any = None
    # The surfaces the calendar check built, by underlying, with what they were
    # built from (see _surface_of).
    _surfaces: dict = field(default_factory=dict, repr=False, compare=False)

    def surface(self, underlying: str | None = None, **options) -> Surface:
        """The volatility surface of one underlying (see `Surface`)."""
        return Surface(self, underlying, **options)

    def _keep_surfaces(self, surfaces: dict[str, Surface]) -> None:
        self._surfaces = {und: (s, self._state()) for und, s in surfaces.items()}

    def _state(self) -> tuple:
        # What a surface with default options is made of: the fits (their
        # models and verdicts), the clock, the calendar and the observation time.
        return (tuple((f, f.model, f.status, f.expiry, f.forward, f.ttx, f.used, f._source) for f in self.fits),
                self.clock, self.calendar, self.observation_time)

    def _surface_of(self, underlying: str) -> Surface:
        """`surface(underlying)`, shared with the calendar check that built it
        when nothing it was made of has changed since (the caller must not
        change it); else a new one."""
        kept = self._surfaces.get(underlying)
        if kept is not None and _same_state(kept[1], self._state()):
            return kept[0]
        return Surface(self, underlying)

    def calendar_table(self) -> pd.DataFrame:
        """The calendar check, one row per pair of neighbouring fitted expiries."""
        return calendar_frame(self.calendar_arbitrage)

    def table(self) -> pd.DataFrame:
        """One row per underlying and expiry: identity, status, figures and every model parameter."""
        rows = []
        to_next = {(r.underlying, r.earlier): r for r in self.calendar_arbitrage}
        for f in self.fits:
            row = {"underlying": f.underlying, "expiry_utc": f.expiry.strftime("%Y-%m-%dT%H:%M:%SZ"),
                   "model": f.model_name, "forward": f.forward, "ttx": f.ttx, "clock": self.clock,
                   "status": f.status, "rmse_vp": f.rmse, "max_error_vp": f.max_error, "inside": f.inside,
                   "n_metric": f.n_metric, "n_used": f.n_used, "nfev": f.nfev, "ms": f.seconds * 1e3,
                   "butterfly": f.arbitrage.describe() if f.arbitrage else "",
                   "calendar_to_next": to_next[(f.underlying, f.expiry)].describe()
                   if (f.underlying, f.expiry) in to_next else "",
                   "warnings": "; ".join(f.warnings + ([f.message] if f.message else []))}
            # Parameters in the model's stored order (get_param_dict's own order varies).
            row.update({n: f.params[n] for n in model_facts(f.model_name).names if n in f.params})
            rows.append(row)
        return pd.DataFrame(rows)

    def get(self, underlying: str, expiry) -> SmileFit:
        exp = to_utc(expiry)
        for f in self.fits:
            if f.underlying == underlying and f.expiry == exp:
                return f
        raise KeyError(f"no fit for {underlying} {exp.isoformat()}")


def _same_state(a: tuple, b: tuple) -> bool:
    """Two ChainFit states alike object for object (identity: a fit's figures
    may be NaN, and a calendar need not compare)."""
    if len(a[0]) != len(b[0]) or any(x is not y for x, y in zip(a[1:], b[1:])):
        return False
    return all(all(x is y or (isinstance(x, float) and x == y) for x, y in zip(p, q)) for p, q in zip(a[0], b[0]))


def finish(fit: SmileFit, prob, theta, results, arb: ArbitrageReport) -> None:
    """The fit's model, parameters, figures and verdict from its solution
    theta of the problem `prob` (`results`: the solutions of its starting
    points, best first; `arb`: the solution's butterfly check)."""
    full = prob.full(theta)[0]
    params = dict(zip(prob.names, full.tolist()))
    obj = korvex_class(prob.kind).with_params(fit.expiry, params)
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
        if abs(c) >= CORR_LIMIT:
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
