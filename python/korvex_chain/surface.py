"""A volatility surface from the fitted smiles of a chain.

`Surface` joins the fitted smiles of one underlying into a surface in time
and strike, on the chain's clock:

* **At a fitted expiry** the surface is that expiry's fitted smile, bit for
  bit: the smile evaluated with its own forward and time to expiry.
* **Between two fitted expiries**, at fixed log-forward-moneyness
  k = ln(K / F(t)), total implied variance w = vol^2 * t is linear in the
  clock's time t, and ln F is linear in the same time. On the business
  clock, t is korvex's business time of the surface's calendar, so that a
  weekend or a quiet hour carries the variance its weight says; on the
  calendar clock it is 365-day years.
* **Before the first expiry** the vol at fixed k is that of the first
  expiry (total variance proportional to time, zero at the observation
  time); **after the last** the forward variance of the last interval at
  fixed k is carried on (floored at zero where that interval has calendar
  arbitrage: total variance never falls); with one expiry only, the vol at
  fixed k stays that of the expiry. ln F continues with the slope of the
  nearest interval (flat with one expiry). Before the observation time
  there is no surface: NaN.

Vols are quoted per year of the surface's clock, like the fitted smiles.
Failed fits are left out (`Surface.skipped` says which and why).
"""

from __future__ import annotations

import datetime as dt
import functools
import math
import numbers
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import pandas as pd

import korvex
import korvex_chain._kernels as _kernels

from . import _inputs
from .arrays import bus_ttx, cal_ttx
from ._inputs import CLOCKS, DEFAULT_TENORS, EMBEDDED_CALENDAR
from .timing import to_utc

__all__ = ["Surface", "CalendarArbitrage", "DEFAULT_TENORS", "CALENDAR_CHECK_POINTS"]

# Points of log-forward-moneyness on which each pair of neighbouring expiries
# is checked for calendar arbitrage.
CALENDAR_CHECK_POINTS = 401
# A decrease of total variance smaller than this share of it is rounding.
CALENDAR_ROUNDING = 1e-12
# Log-moneyness reach of a smile without quotes: this many at-the-money
# standard deviations either side of the forward.
_DEFAULT_REACH_SD = 3.0

_YEAR_SECONDS = 31_536_000.0
_UTC = pd.DatetimeTZDtype("ns", "UTC")
# Offsets from the observation time beyond this many seconds (about 95
# years) leave the range of nanosecond instants and every calendar.
_MAX_OFFSET_SECONDS = 3e9


def _same_calendar(a: Any, b: Any) -> bool:
    try:
        return bool(a == b)
    except (TypeError, ValueError):   # objects without a plain equality
        return a is b




@dataclass
class CalendarArbitrage:
    """Calendar check of two neighbouring expiries: where, on the log-forward-
    moneyness range quoted at both of them (where a calendar spread of quoted
    options exists; beyond it one of the two smiles is its model's
    extrapolation), total variance falls from the earlier expiry to the
    later one. An empty range (the two quoted ranges do not meet) is
    reported as none."""

    underlying: str
    earlier: pd.Timestamp
    later: pd.Timestamp
    k_range: tuple[float, float]
    regions: list[tuple[float, float]] = field(default_factory=list)   # k intervals where it falls
    depth: float = 0.0        # largest fall of total variance, w(earlier) - w(later) (0 when none)
    depth_vp: float = 0.0     # the same in vol points of the later expiry: its lowest arbitrage-free
                              # vol minus its vol, at the worst point

    @property
    def has_arbitrage(self) -> bool:
        return bool(self.regions)

    def describe(self) -> str:
        if not self.regions:
            return "none"
        where = ", ".join(f"k {a:+.3f}..{b:+.3f}" for a, b in self.regions[:4])
        return (f"total variance falls from {self.earlier:%Y-%m-%d %H:%M} to {self.later:%Y-%m-%d %H:%M} "
                f"by up to {self.depth:.3g} ({self.depth_vp:.2f} vol points) at {where}")


def calendar_frame(reports) -> pd.DataFrame:
    """Calendar checks (CalendarArbitrage) as a table, one row each."""
    rows = [{"underlying": r.underlying, "earlier": r.earlier, "later": r.later,
             "k_low": r.k_range[0], "k_high": r.k_range[1], "arbitrage": r.has_arbitrage,
             "depth": r.depth, "depth_vp": r.depth_vp, "where": r.describe()} for r in reports]
    return pd.DataFrame(rows, columns=["underlying", "earlier", "later", "k_low", "k_high", "arbitrage",
                                       "depth", "depth_vp", "where"])


class Surface:
    """The implied-volatility surface of one underlying, from a ChainFit.

    ``Surface(fits, underlying=None, *, calendar=None, clock=None,
    observation_time=None)``: `underlying` may be left out when the fits
    hold one. `clock` is "calendar" (365-day years) or "business" (business
    time of `calendar`, by default the one the chain was read with, else
    the embedded "BTCUSDT"), by default the fits' own clock. On another clock
    than the fits' the fitted vols are restated per year of the surface's
    clock (the same total variance at each expiry), so they are no longer
    the fitted numbers. `observation_time` defaults to that of the fitted
    chain.

    Times (``when``) are instants (datetime64 of any unit, pandas datetimes,
    datetime or Timestamp objects: any instant the array kernels accept,
    except bare numbers), tenor texts ("1w", "3m", "1y": korvex's tenor
    grammar, counted in calendar days from the observation time: a month
    is 30 days, a year 365), timedeltas from the observation time, or plain
    numbers, read as years on the surface's clock. Arrays of any of these
    broadcast against the strikes.

    Attributes: `underlying`, `clock`, `calendar`, `observation_time`,
    `model_name`; per fitted expiry of the surface, in time order, `fits`
    (the SmileFits), `expiries`, `times` (on the surface's clock),
    `forwards` and `k_ranges` (the quoted log-forward-moneyness range,
    rows of (low, high)); `skipped`: the expiries left out and why.
    """

    def __init__(self, fits: Any, underlying: str | None = None, *, calendar: Any = None,
                 clock: str | None = None, observation_time: Any = None):
        all_fits = list(fits.fits)
        names = sorted({f.underlying for f in all_fits})
        if underlying is None:
            if len(names) != 1:
                raise ValueError(f"the fits hold {len(names)} underlyings ({', '.join(names) or 'none'}): "
                                 "name one")
            underlying = names[0]
        elif underlying not in names:
            raise KeyError(f"no fits of {underlying!r}: the fits hold {', '.join(names) or 'none'}")
        fit_clock = str(fits.clock)
        clock = fit_clock if clock is None else clock
        if clock not in CLOCKS:
            raise ValueError(f"unknown clock {clock!r}: use one of {', '.join(CLOCKS)}")
        fit_calendar = getattr(fits, "calendar", None) or EMBEDDED_CALENDAR
        if calendar is None:
            calendar = fit_calendar
        self.underlying = underlying
        self.clock = clock
        self.calendar = calendar
        self.model_name = str(getattr(fits, "model_name", ""))
        self.observation_time = _observation_time(fits, observation_time)
        self._obs = np.array([self.observation_time.tz_localize(None).to_datetime64()], dtype="datetime64[ns]")
        same_clock = clock == fit_clock and (clock == "calendar" or _same_calendar(calendar, fit_calendar))

        mine = sorted((f for f in all_fits if f.underlying == underlying), key=lambda f: f.expiry)
        skipped: list[tuple[pd.Timestamp, str]] = []
        usable: list[Any] = []
        for f in mine:
            if f.model is None or f.status == "failed":
                skipped.append((f.expiry, "fit failed" + (f": {f.message}" if f.message else "")))
            elif usable and f.expiry == usable[-1].expiry:
                skipped.append((f.expiry, "a second fit of the same expiry"))
            else:
                usable.append(f)
        exp = np.array([_instant_ns(f.expiry) for f in usable], dtype="datetime64[ns]")
        theta = self._instant_years(exp) if usable else np.empty(0)
        if same_clock:
            c = theta
        else:
            if not usable:
                c = np.empty(0)
            elif fit_clock == "calendar":
                c = np.asarray(cal_ttx(self._obs, exp), dtype=float)
            else:
                c = np.asarray(bus_ttx(self._obs, exp, calendar=fit_calendar), dtype=float)
        keep = []
        last = -math.inf
        for i, f in enumerate(usable):
            if not (math.isfinite(theta[i]) and theta[i] > 0 and math.isfinite(c[i]) and c[i] > 0):
                skipped.append((f.expiry, "no time to expiry on the surface's clock"))
            elif theta[i] <= last:
                skipped.append((f.expiry, "no time on the surface's clock after the previous expiry"))
            else:
                keep.append(i)
                last = theta[i]
        if not keep:
            why = "; ".join(f"{e:%Y-%m-%d %H:%M}: {r}" for e, r in skipped) or "no fits"
            raise ValueError(f"no fitted expiry of {underlying} to build a surface from ({why})")
        skipped.sort(key=lambda s: s[0])
        # `skipped` and `expiries` are made when first read: most surfaces
        # (a chain fit's calendar check, a history's quotes) never read them,
        # and the two pandas objects cost more than the rest of the surface.
        self._skipped_rows = skipped
        self.fits = [usable[i] for i in keep]
        ix = np.array(keep, dtype=np.intp)
        self.times = np.ascontiguousarray(theta[ix], dtype=float)
        self.forwards = np.array([float(f.forward) for f in self.fits])
        self._c = np.ascontiguousarray(c[ix], dtype=float)
        # Vols of a node restated per year of the surface's clock (None: the same clock).
        self._rescale = None if same_clock else np.sqrt(self._c / self.times)
        self._kinds = [f.model_name for f in self.fits]
        self._params = []
        for f in self.fits:
            values = f.model.get_param_dict()
            names_f = _kernels.model_param_names(f.model_name)
            self._params.append(np.array([[values[n] for n in names_f]], dtype=np.float64))
        self._tau = [float(f.ttx) for f in self.fits]
        n = self.times.size
        columns: dict[int, np.ndarray] = {}
        self.k_ranges = np.array([_quoted_range(f, t, columns) for f, t in zip(self.fits, self.times)])
        width = max(p.shape[1] for p in self._params)
        rows = np.zeros((len(self._params), width))
        for i, p in enumerate(self._params):
            rows[i, :p.shape[1]] = p[0]
        self._native = _kernels.Surface(self._kinds, rows, np.array(self._tau), self.forwards, self.times,
                                        self._c, np.ones(n) if self._rescale is None else self._rescale,
                                        same_clock)

    # ------------------------------------------------------------------ public

    @functools.cached_property
    def skipped(self) -> pd.DataFrame:
        """The expiries left out of the surface (`expiry`, `reason`), in time order."""
        return pd.DataFrame(self._skipped_rows, columns=["expiry", "reason"])

    @functools.cached_property
    def expiries(self) -> pd.DatetimeIndex:
        """The fitted expiries of the surface, in time order."""
        return pd.DatetimeIndex([f.expiry for f in self.fits], name="expiry")

    def __repr__(self) -> str:
        first, last = self.expiries[0], self.expiries[-1]
        s = (f"<Surface {self.underlying} {self.model_name}: {len(self.fits)} expiries "
             f"{first:%Y-%m-%d}..{last:%Y-%m-%d}, {self.clock} clock")
        if self.clock == "business":
            s += f" ({self.calendar if isinstance(self.calendar, str) and len(self.calendar) < 40 else 'custom'})"
        if len(self._skipped_rows):
            s += f", {len(self._skipped_rows)} skipped"
        return s + ">"

    def table(self) -> pd.DataFrame:
        """One row per fitted expiry of the surface: its time on the surface's
        clock, forward, at-the-money vol and quoted log-moneyness range."""
        atm = np.array([self._node_vols(i, np.array([self.forwards[i]]))[0] for i in range(self.times.size)])
        if self._rescale is not None:
            atm = atm * self._rescale
        return pd.DataFrame({"expiry": self.expiries, "time": self.times, "forward": self.forwards,
                             "atm_vol": atm, "k_low": self.k_ranges[:, 0], "k_high": self.k_ranges[:, 1],
                             "status": [f.status for f in self.fits]})

    def ttx(self, when: Any) -> Any:
        """Years from the observation time to ``when`` on the surface's clock."""
        return self._times(when)[()]

    def forward(self, when: Any) -> Any:
        """The forward at ``when``: ln F linear in time between fitted
        expiries, with the nearest interval's slope outside them."""
        theta = self._times(when)
        _, _, fwd = self._evaluate(theta.reshape(-1), np.zeros(1), False)
        return fwd.reshape(theta.shape)[()]

    def vol(self, when: Any, strikes: Any = None, *, k: Any = None, threads: int | None = None) -> Any:
        """Implied vols at ``when`` and ``strikes`` (or log-forward-moneyness
        ``k`` = ln(K / F(when))), broadcast together; decimals per year of the
        surface's clock. At a fitted expiry, bit for bit the fitted smile's
        vols (`SmileFit.vols`)."""
        return self._call(when, strikes, k, threads)[1]

    def total_variance(self, when: Any, k: Any = None, *, strikes: Any = None,
                       threads: int | None = None) -> Any:
        """Total implied variance vol^2 * t at ``when`` and log-forward-
        moneyness ``k`` (or at ``strikes``), broadcast together."""
        return self._call(when, strikes, k, threads)[0]

    def calendar_arbitrage(self, points: int = CALENDAR_CHECK_POINTS) -> list[CalendarArbitrage]:
        """The calendar check of each pair of neighbouring fitted expiries, on
        `points` log-forward-moneyness values spanning the range quoted at
        both (pair_range): where total variance falls from the earlier to
        the later expiry by more than rounding (CALENDAR_ROUNDING of it)."""
        out = []
        expiries = list(self.expiries)
        for i in range(self.times.size - 1):
            lo, hi = self.pair_range(i)
            k = np.linspace(lo, hi, points) if lo <= hi else np.empty(0)
            w0, w1, v1 = self._pair_variances(i, k)
            out.append(_calendar_report(self.underlying, expiries[i], expiries[i + 1], (lo, hi), k, w0,
                                        w1, v1, self._c[i + 1]))
        return out

    def pair_range(self, i: int) -> tuple[float, float]:
        """The log-forward-moneyness range quoted at both fitted expiries i and
        i + 1 (low above high when the two ranges do not meet)."""
        return (float(max(self.k_ranges[i, 0], self.k_ranges[i + 1, 0])),
                float(min(self.k_ranges[i, 1], self.k_ranges[i + 1, 1])))

    def calendar_table(self, points: int = CALENDAR_CHECK_POINTS) -> pd.DataFrame:
        """calendar_arbitrage() as a table, one row per pair of neighbouring expiries."""
        return calendar_frame(self.calendar_arbitrage(points))

    def quotes(self, tenors: Any = DEFAULT_TENORS, deltas: Any = (25, 10), *, delta: str = "forward",
               atm: str = "forward") -> pd.DataFrame:
        """Constant-maturity quotes: at-the-money vol, risk reversal and
        butterfly per tenor and delta, from strikes solved on the surface.

        Conventions (those of the crypto option desks; every vol a decimal per
        year of the surface's clock, 0.55 = 55 %):

        * ``tenors``: tenor texts from the observation time in calendar days
          ("1w" = 7 days, "1m" = 30, "1y" = 365), or any other ``when``
          (instants, such as listed expiries; years on the surface's clock).
        * ``delta="forward"`` (default): the undiscounted forward delta,
          N(d1) for a call and N(d1) - 1 for a put, d1 = (-k + w/2) / sqrt(w)
          with w the total variance at the strike. It is the delta Deribit
          publishes for its coin-settled options and the one desks quote
          their 25-delta risk reversals in. ``delta="premium_adjusted"``:
          the delta of an option whose premium is paid in the underlying
          coin (the hedge of an inverse option held in coin), (K/F) N(d2)
          for a call and -(K/F) N(-d2) for a put, d2 = d1 - sqrt(w). The
          premium-adjusted call delta is not monotone in the strike; its
          strikes are taken on the out-of-the-money branch, above the
          strike of the largest delta.
        * ``atm="forward"`` (default): the at-the-money strike is the
          forward. ``atm="delta_neutral"``: the strike where a call and a
          put have opposite deltas (the delta-neutral straddle: k = w/2 for
          forward deltas, k = -w/2 premium-adjusted).
        * For each delta D in ``deltas`` (in percent, 25 = a 25-delta
          option): the D-delta call and put strikes (call delta D/100, put
          delta -D/100), their vols, the risk reversal rr = vol(call) -
          vol(put) and the butterfly bf = (vol(call) + vol(put)) / 2 - atm
          vol (the "smile" butterfly that crypto desks quote).

        Returns one row per tenor (the index), with columns `expiry` (the
        instant, where it has one), `time` (on the surface's clock),
        `forward`, `atm_strike`, `atm_vol` and, per delta D, `rrD`, `bfD`,
        `callD_vol`, `putD_vol`, `callD_strike`, `putD_strike`. A strike
        that the surface does not reach (a delta beyond what the smile can
        give) leaves NaN.
        """
        labels, instants, cols = self._quote_columns(tenors, deltas, delta, atm)
        # One float block, then the instants: a frame of many small columns
        # costs several times more to build.
        out = pd.DataFrame(np.column_stack(list(cols.values())), columns=list(cols),
                           index=pd.Index(labels, name="tenor"), copy=False)
        out.insert(0, "expiry", pd.DatetimeIndex(instants, dtype=_UTC))
        return out

    def _quote_columns(self, tenors: Any, deltas: Any, delta: str = "forward", atm: str = "forward",
                       ) -> tuple[list[str], np.ndarray, dict[str, np.ndarray]]:
        """The columns of `quotes` as arrays: its labels, the instants
        (datetime64[ns], NaT where a row has none) and the float columns by
        name, in the table's order (for callers that want no DataFrame)."""
        dl = _inputs.check_quote_options(deltas, delta, atm)
        labels, theta, instants = self._tenor_list(tenors)
        pa = delta == "premium_adjusted"
        m = theta.size
        nd = dl.size
        targets = np.concatenate([dl / 100.0, -dl / 100.0, [0.0]] if atm == "delta_neutral"
                                 else [dl / 100.0, -dl / 100.0])
        k = np.empty((m, targets.size))
        v = np.empty((m, targets.size))
        theta = np.ascontiguousarray(theta, dtype=np.float64)
        self._native.delta_strikes(theta, targets, pa, k, v)
        _, atm_v, fwd = self._evaluate(theta, np.zeros(1), False)
        atm_k = np.zeros(m)
        if atm == "delta_neutral":
            atm_k, atm_v = k[:, -1], v[:, -1]
        cols: dict[str, Any] = {"time": theta, "forward": fwd, "atm_strike": fwd * np.exp(atm_k), "atm_vol": atm_v}
        for j, d in enumerate(dl):
            name = f"{d:g}"
            cv, pv = v[:, j], v[:, nd + j]
            cols[f"rr{name}"] = cv - pv
            cols[f"bf{name}"] = 0.5 * (cv + pv) - atm_v
            cols[f"call{name}_vol"] = cv
            cols[f"put{name}_vol"] = pv
            cols[f"call{name}_strike"] = fwd * np.exp(k[:, j])
            cols[f"put{name}_strike"] = fwd * np.exp(k[:, nd + j])
        return labels, instants, cols

    # ------------------------------------------------------------------ times

    def _instant_years(self, instants: Any) -> np.ndarray:
        """Years on the surface's clock from the observation time to instants."""
        if self.clock == "calendar":
            return np.asarray(cal_ttx(self._obs[0], instants), dtype=float)
        return np.asarray(bus_ttx(self._obs[0], instants, calendar=self.calendar), dtype=float)

    def _offset_instants(self, seconds: Any) -> np.ndarray:
        """The instants that many seconds (floats) after the observation time,
        as datetime64[ns]; NaT for NaN and for offsets beyond any calendar."""
        secs = np.asarray(seconds, dtype=float)
        ok = np.isfinite(secs) & (np.abs(secs) <= _MAX_OFFSET_SECONDS)
        ns = np.round(np.where(ok, secs, 0.0) * 1e9).astype(np.int64)
        inst = self._obs[0] + ns.astype("timedelta64[ns]")
        inst[~ok] = np.datetime64("NaT", "ns")
        return inst

    def _tenor_seconds(self, texts: Any) -> np.ndarray:
        """Seconds of tenor texts (korvex's grammar and messages; 365-day years)."""
        return np.array([korvex.Calendar.tenor_to_ttx(str(t)) for t in texts], dtype=float) * _YEAR_SECONDS

    def _tenor_years(self, texts: np.ndarray) -> np.ndarray:
        flat = np.asarray(texts).reshape(-1)
        if flat.size == 0:
            return np.empty(np.shape(texts))
        uniq, inverse = np.unique(flat, return_inverse=True)
        years = self._instant_years(self._offset_instants(self._tenor_seconds(uniq)))
        return years[inverse].reshape(np.shape(texts))

    def _timedelta_years(self, td: np.ndarray) -> np.ndarray:
        td = np.asarray(td)
        # Whole nanoseconds where they fit; NaT and the unreachable give NaN.
        secs = td / np.timedelta64(1, "s")
        ok = np.isfinite(secs) & (np.abs(secs) <= _MAX_OFFSET_SECONDS)
        ns = np.where(ok, td, np.timedelta64(0, "ns")).astype("timedelta64[ns]")
        inst = self._obs[0] + ns
        inst = np.where(ok, inst, np.datetime64("NaT", "ns"))
        return self._instant_years(inst)

    def _times(self, when: Any) -> np.ndarray:
        """``when`` as years on the surface's clock, an array of its shape."""
        if isinstance(when, str):
            return self._tenor_years(np.array(when))
        if when is None or when is pd.NaT:
            return np.array(np.nan)
        if isinstance(when, (bool, np.bool_)):
            raise TypeError("a time must be an instant, a tenor text or a number of years, not bool")
        dtype = getattr(when, "dtype", None)
        if dtype is not None and pd.api.types.is_datetime64_any_dtype(dtype):
            return self._instant_years(when)
        if isinstance(when, (dt.timedelta, np.timedelta64)):
            return self._timedelta_years(np.array(pd.Timedelta(when).to_timedelta64()))
        if isinstance(when, np.datetime64) or (not isinstance(when, (numbers.Number, np.ndarray, list, tuple))
                                                and hasattr(when, "timestamp")):
            return self._instant_years(np.array(when) if isinstance(when, np.datetime64) else when)
        a = when if isinstance(when, np.ndarray) else np.asarray(when)
        kind = a.dtype.kind
        if kind in "US":
            return self._tenor_years(a.astype(str))
        if kind in "fiu":
            return a.astype(np.float64)
        if kind == "M":
            return self._instant_years(a)
        if kind == "m":
            return self._timedelta_years(a)
        if kind == "O":
            return self._object_times(a)
        raise TypeError(f"a time must be an instant, a tenor text or a number of years, got dtype {a.dtype}")

    def _object_times(self, a: np.ndarray) -> np.ndarray:
        values = a.reshape(-1).tolist()
        out = np.full(len(values), np.nan)
        groups: dict[str, list[int]] = {"tenor": [], "years": [], "dt64": [], "delta": [], "instant": []}
        for i, v in enumerate(values):
            if v is None or v is pd.NaT:
                continue
            if isinstance(v, str):
                groups["tenor"].append(i)
            elif isinstance(v, (bool, np.bool_)):
                raise TypeError("a time must be an instant, a tenor text or a number of years, not bool")
            elif isinstance(v, numbers.Real):
                groups["years"].append(i)
            elif isinstance(v, np.datetime64):
                groups["dt64"].append(i)
            elif isinstance(v, (dt.timedelta, np.timedelta64)):
                groups["delta"].append(i)
            else:
                groups["instant"].append(i)
        pick = lambda name: [values[i] for i in groups[name]]  # noqa: E731
        if groups["tenor"]:
            out[groups["tenor"]] = self._tenor_years(np.array(pick("tenor"), dtype=str))
        if groups["years"]:
            out[groups["years"]] = np.array(pick("years"), dtype=float)
        if groups["dt64"]:
            out[groups["dt64"]] = self._instant_years(np.array(pick("dt64")))
        if groups["delta"]:
            out[groups["delta"]] = self._timedelta_years(
                np.array([pd.Timedelta(v).to_timedelta64() for v in pick("delta")], dtype="timedelta64[ns]"))
        if groups["instant"]:
            out[groups["instant"]] = self._instant_years(np.array(pick("instant"), dtype=object))
        return out.reshape(a.shape)

    def _tenor_list(self, tenors: Any) -> tuple[list[str], np.ndarray, np.ndarray]:
        """Labels, times and instants (datetime64[ns] UTC, NaT where a time has
        none) of the quote table's rows."""
        items = [tenors] if isinstance(tenors, (str, dt.datetime, np.datetime64)) else list(tenors)
        if not items:
            raise ValueError("no tenors")
        if all(isinstance(t, str) for t in items):
            instants = self._offset_instants(self._tenor_seconds(items))
            return [str(t) for t in items], self._instant_years(instants), instants
        labels = []
        instants = np.full(len(items), np.datetime64("NaT", "ns"), dtype="datetime64[ns]")
        for i, t in enumerate(items):
            if isinstance(t, str):
                labels.append(t)
                instants[i] = self._offset_instants(self._tenor_seconds([t]))[0]
            elif isinstance(t, numbers.Real) and not isinstance(t, (bool, np.bool_)):
                labels.append(f"{float(t):g}y")
            elif isinstance(t, (dt.timedelta, np.timedelta64)):
                td = pd.Timedelta(t)
                labels.append(str(td))
                instants[i] = self._offset_instants([td.total_seconds()])[0]
            else:
                ts = pd.Timestamp(t)
                if ts is pd.NaT:
                    labels.append("NaT")
                else:
                    ts = to_utc(ts)
                    labels.append(ts.strftime("%Y-%m-%d %H:%M"))
                    instants[i] = ts.tz_localize(None).to_datetime64()
        theta = np.asarray(self._times(np.array(items, dtype=object)), dtype=float).reshape(-1)
        return labels, theta, instants

    # ------------------------------------------------------------------ evaluation

    def _node_vols(self, i: int, strikes: np.ndarray, threads: int | None = None) -> np.ndarray:
        """The fitted smile of node i at strikes: SmileFit.vols, bit for bit."""
        strikes = np.ascontiguousarray(strikes, dtype=np.float64)
        out = np.empty((1, strikes.size))
        if strikes.size:
            nthreads = _inputs.resolve_threads(threads, strikes.size, _inputs.SMALL_MODEL)
            _kernels.model_vols(self._kinds[i], self._params[i], self._tau[i], float(self.forwards[i]),
                                strikes, out, nthreads)
        return out[0]

    def _evaluate(self, theta: np.ndarray, x: np.ndarray, strikes: bool,
                  threads: int | None = None) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        """(total variance, vol, forward) at flat times and log-moneyness (or
        strikes), each of length one or of the common length."""
        theta = np.ascontiguousarray(theta, dtype=np.float64)
        x = np.ascontiguousarray(x, dtype=np.float64)
        n = 0 if theta.size == 0 or x.size == 0 else max(theta.size, x.size)
        w, vol, fwd = np.empty(n), np.empty(n), np.empty(n)
        if n:
            nthreads = _inputs.resolve_threads(threads, n, _inputs.SMALL_MODEL)
            self._native.evaluate(theta, x, strikes, w, vol, fwd, nthreads)
        return w, vol, fwd

    def _call(self, when: Any, strikes: Any, k: Any, threads: int | None) -> tuple[Any, Any]:
        if (strikes is None) == (k is None):
            raise TypeError("give strikes or k= (log-forward-moneyness), one of the two")
        theta = self._times(when)
        name, x = ("strikes", strikes) if strikes is not None else ("k", k)
        x = _inputs.as_float(x, name)
        shape = _inputs.broadcast_shape([theta, x], ["when", name])
        w, v, _ = self._evaluate(_inputs.flat(theta, shape), _inputs.flat(x, shape), strikes is not None, threads)
        if w.size != math.prod(shape):   # both of one value: one result, shaped
            w, v = np.broadcast_to(w, shape), np.broadcast_to(v, shape)
        return w.reshape(shape)[()], v.reshape(shape)[()]

    def _pair_variances(self, i: int, k: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        """Total variances of nodes i and i + 1 at k, and the vols of i + 1
        (per year of the fits' clock)."""
        ek = np.exp(k)
        v0 = self._node_vols(i, self.forwards[i] * ek)
        v1 = self._node_vols(i + 1, self.forwards[i + 1] * ek)
        return v0 * v0 * self._c[i], v1 * v1 * self._c[i + 1], v1


# ---------------------------------------------------------------------------
# Helpers
# ---------------------------------------------------------------------------

def _instant_ns(value: Any) -> np.datetime64:
    """An instant as datetime64[ns] UTC (naive: read as UTC)."""
    if type(value) is pd.Timestamp:
        # A Timestamp's value is its UTC nanoseconds whatever its zone: the
        # same instant as converting it, without the conversions' cost.
        try:
            return np.datetime64(value.value, "ns")
        except OverflowError:   # beyond nanoseconds: as the conversion says
            pass
    return to_utc(value).tz_localize(None).to_datetime64()


def _observation_time(fits: Any, given: Any) -> pd.Timestamp:
    if given is not None:
        return to_utc(given)
    obs = getattr(fits, "observation_time", None)
    if obs is not None:
        return to_utc(obs)
    raise ValueError("the fits carry no observation time: pass observation_time=")


def _quoted_range(fit: Any, theta: float, columns: dict[int, np.ndarray] | None = None) -> tuple[float, float]:
    """The log-forward-moneyness range of a fit's quotes (its forward's), or
    a few at-the-money standard deviations when it has none to show.
    `columns`: the log-moneyness column of each source already read (by id),
    shared by the fits of one surface, which all come from one chain."""
    # Only the one column: copying the fit's quote rows whole (`fit.quotes`)
    # would cost more than the rest of the surface put together.
    src, used = getattr(fit, "_source", None), getattr(fit, "used", None)
    if src is not None and used is not None and "log_moneyness" in src.columns:
        used = np.asarray(used)
        idx = src.index
        if isinstance(idx, pd.RangeIndex) and idx.start == 0 and idx.step == 1:
            pos = used    # labels are positions
        else:
            pos = idx.get_indexer(used)
            if (pos < 0).any():
                raise KeyError(f"the fit's quote rows {used[pos < 0][:5].tolist()} are not in its source")
        column = None if columns is None else columns.get(id(src))
        if column is None:
            column = src["log_moneyness"].to_numpy(float)
            if columns is not None:
                columns[id(src)] = column
        k = column[pos]
    else:
        q = fit.quotes
        k = q["log_moneyness"].to_numpy(float) if q is not None and "log_moneyness" in q.columns else np.empty(0)
    k = k[np.isfinite(k)]
    if k.size:
        return float(k.min()), float(k.max())
    atm = float(np.asarray(fit.vols(np.array([fit.forward])))[0])
    reach = _DEFAULT_REACH_SD * atm * math.sqrt(theta) if math.isfinite(atm) else 0.5
    return -reach, reach


def _calendar_report(underlying: str, earlier: pd.Timestamp, later: pd.Timestamp, k_range: tuple[float, float],
                     k: np.ndarray, w0: np.ndarray, w1: np.ndarray, v1: np.ndarray, t1: float) -> CalendarArbitrage:
    """The report of one pair from total variances w0, w1 at k; v1: the
    later smile's vols, t1: its variance time (depths in its vol points)."""
    fall = w0 - w1
    neg = fall > CALENDAR_ROUNDING * np.abs(w0)
    rep = CalendarArbitrage(underlying, earlier, later, k_range)
    if not neg.any():
        return rep
    idx = np.flatnonzero(neg)
    breaks = np.flatnonzero(np.diff(idx) > 1)
    starts = np.concatenate([idx[:1], idx[breaks + 1]])
    ends = np.concatenate([idx[breaks], idx[-1:]])
    rep.regions = [(float(k[a]), float(k[b])) for a, b in zip(starts, ends)]
    rep.depth = float(np.max(fall[neg]))
    rep.depth_vp = float(np.max(np.sqrt(w0[neg] / t1) - v1[neg])) * 100.0
    return rep
