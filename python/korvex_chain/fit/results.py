"""What a fit returns: one expiry's `SmileFit`, a chain's `ChainFit`, and the
butterfly check's `ArbitrageReport`."""

from __future__ import annotations

import math
from dataclasses import dataclass, field

import numpy as np
import pandas as pd

from ..arrays import smile_vols
from ..timing import to_utc
from .model_facts import model_facts


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
            row.update({n: f.params[n] for n in model_facts(f.model_name).names if n in f.params})
            rows.append(row)
        return pd.DataFrame(rows)

    def get(self, underlying: str, expiry) -> SmileFit:
        exp = to_utc(expiry)
        for f in self.fits:
            if f.underlying == underlying and f.expiry == exp:
                return f
        raise KeyError(f"no fit for {underlying} {exp.isoformat()}")
