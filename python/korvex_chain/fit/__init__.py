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
  quoted range and beyond (Durrleman's condition on total variance), and
  where the butterfly check found it lowest; for the eleven-knot spline the
  points include both one-sided values at every knot, where its second
  derivative jumps, evaluated in closed form;
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
steps; the check (`density`) finds the lowest density wherever it lies,
not on a grid that may step over it. Starting points: a grid of
candidates built from the two-sided quotes' at-the-money level, skew and
curvature (and a previous fit of the same expiry, when given) is
screened in one batched evaluation, and the best ones are polished.

`fit_chain` does this for every expiry of a `Chain`.

The package, in the order a fit runs through it: `model_facts` (what each
model is, read from the C++ models, and the fit's own choices about them),
`fit_residuals` (the problem: quotes, weights and the residual that
`_kernels.FitProblem` evaluates), `starting_points`, `levenberg_marquardt`
(the solve loop), `density` (the butterfly check and its repair),
`calendar` (the calendar check of a chain's fits and its repair) and
`results` (what a fit returns).
"""

from __future__ import annotations

import collections
import datetime as dt
import math
import re
import time

import numpy as np
import pandas as pd

from .._inputs import SOLVERS, check_fit_options
from ..timing import to_utc
from .calendar import calendar_reports, repair_calendar
from .density import check_and_repair, density_check
from .fit_residuals import make_problem
from .levenberg_marquardt import polish, solve
from .model_facts import MODELS, model_facts
from .results import ArbitrageReport, ChainFit, SmileFit, finish
from .starting_points import candidates, repair, warm_vector

__all__ = ["MODELS", "SOLVERS", "SmileFit", "ChainFit", "fit_smile", "fit_chain", "density_check", "ArbitrageReport"]


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

    Options that make no sense raise ValueError; whatever the quotes, a fit
    that cannot be done returns status "failed", no model and a message
    saying why (a quote whose log-moneyness is not finite, from a strike of
    zero or infinity, is left out and counted in `excluded`).
    """
    t0 = time.perf_counter()
    check_fit_options(model, weights, solver)
    if len(quotes) == 0:
        raise ValueError("no quotes to fit")
    need = {"is_call", "quote_bid_iv", "quote_ask_iv"}
    missing = need - set(quotes.columns)
    if missing:
        raise ValueError(f"quotes lack columns {sorted(missing)}")
    forward = float(forward if forward is not None else quotes["forward"].iloc[0])
    ttx = float(ttx if ttx is not None else _expiry_ttx(quotes))
    expiry = to_utc(expiry if expiry is not None else quotes["expiry"].iloc[0])
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
    """The fit of one expiry from plain arrays (one entry per option of the
    expiry). Never raises for the data: whatever goes wrong in the
    computation ends as a failed fit that says what happened."""
    t0 = time.perf_counter() if t0 is None else t0
    # The caller's options first: a starting point or warm start of the
    # wrong kind is the caller's error, raised as such.
    facts = model_facts(model)
    if starting_points is not None:
        starting_points = _checked_starting_points(starting_points, model, facts.fit_names)
    warm = warm_vector(warm_start, facts)
    fit = SmileFit(underlying, expiry, model, None, {}, forward, ttx, "failed")
    try:
        return _fit(fit, model, k, otm, calls, b, a, forward, ttx, warm, starts, weights, max_nfev,
                    starting_points, t0, index, solver)
    except Exception as exc:  # numeric trouble (LinAlgError, overflow...): reported, not raised
        return _failed(fit, exc, t0)


def _failed(fit, exc, t0):
    fit.status = "failed"
    fit.model = None
    fit.message = f"fit failed: {type(exc).__name__}: {exc}"
    fit.seconds = time.perf_counter() - t0
    return fit


def _checked_starting_points(starting_points, model, names):
    """Explicit starting points as rows of fitting parameters, each a
    mapping holding every fitting parameter of the model."""
    if isinstance(starting_points, dict) or hasattr(starting_points, "get_param_dict"):
        starting_points = [starting_points]
    rows = []
    for i, sp in enumerate(starting_points):
        if hasattr(sp, "get_param_dict"):
            sp = sp.get_param_dict()
        if not hasattr(sp, "keys"):
            raise ValueError(f"starting point {i} is a {type(sp).__name__}, not a mapping of parameter values "
                             f"({', '.join(names)})")
        missing = [n for n in names if n not in sp]
        if missing:
            raise ValueError(f"starting point {i} lacks {', '.join(map(repr, missing))}: a {model} starting point "
                             f"gives {', '.join(names)}")
        try:
            rows.append([float(sp[n]) for n in names])
        except (TypeError, ValueError):
            raise ValueError(f"starting point {i} holds a value that is not a number: "
                             f"{ {n: sp[n] for n in names} }") from None
    return np.array(rows, float).reshape(len(rows), len(names))


def _fit(fit, model, k, otm, calls, b, a, forward, ttx, warm, starts, weights, max_nfev, starting_points,
         t0, index, solver):
    has = np.isfinite(b) | np.isfinite(a)
    crossed = np.isfinite(b) & np.isfinite(a) & (b > a)
    # A strike of zero or infinity has no place on the smile's axis.
    far = ~np.isfinite(k)
    use = otm & has & ~crossed & ~far
    excluded = {}
    for why, m in (("in the money", ~otm), ("no bid or ask IV", otm & ~has), ("bid IV above ask IV", otm & has & crossed),
                   ("log-moneyness not finite", otm & has & ~crossed & far)):
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

    prob = make_problem(model, k, calls, b, a, use, forward, ttx, weights, solver)
    if warm is not None:
        warm = repair(prob, warm)
    if starting_points is not None:
        cand = np.array([repair(prob, c) for c in starting_points]).reshape(len(starting_points), len(prob.fit_names))
        order = np.arange(len(cand))
    else:
        cand = candidates(prob, warm)
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
            u, cost, n = polish(prob, cand[i], max_nfev)
        except Exception as exc:  # the solver's own failure is reported, not raised
            fit.warnings.append(f"start {len(picked)}: solver error {exc}")
            continue
        nfev += n
        results.append((cost, prob.to_theta(u)))
    if starting_points is not None and not any(np.all(np.isfinite(prob.vols(t)[0])) for _, t in results):
        # The given points led nowhere usable: start from the quotes instead.
        u, cost, n = solve(prob, prob.to_u(candidates(prob)[0]), max_nfev)
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
    # Butterfly arbitrage without the density penalty: solved again with it.
    theta, cost, arb, n = check_and_repair(prob, theta, cost, max_nfev)
    nfev += n
    results[0] = (cost, theta)

    fit.nfev = nfev
    finish(fit, prob, theta, results, arb)
    fit.seconds = time.perf_counter() - t0
    return fit


_BARE_DATE = re.compile(r"\s*\d{4}-\d{2}-\d{2}\s*")


def _select_expiries(selected, expiries):
    """The rows of `selected` (expiry rows) that `expiries` asks for: exact
    instants, or bare dates matching every expiry on that UTC date."""
    if isinstance(expiries, (str, dt.date, np.datetime64, pd.Timestamp)):
        expiries = [expiries]
    instants, dates, asked = set(), set(), []
    for x in expiries:
        if isinstance(x, np.datetime64) and np.datetime_data(x.dtype)[0] in ("Y", "M", "W", "D"):
            day = pd.Timestamp(x).date()
        elif isinstance(x, dt.date) and not isinstance(x, dt.datetime):
            day = x
        elif isinstance(x, str) and _BARE_DATE.fullmatch(x):
            day = pd.Timestamp(x.strip()).date()
        else:
            day = None
        if day is not None:
            dates.add(day)
            asked.append((x, lambda e, d=day: e.date() == d))
        else:
            try:
                t = to_utc(x)
            except (ValueError, TypeError) as exc:
                raise ValueError(f"cannot read expiry {x!r} as an instant or a date: {exc}") from None
            if pd.isna(t):
                raise ValueError(f"cannot read expiry {x!r} as an instant or a date")
            instants.add(t)
            asked.append((x, lambda e, t=t: e == t))
    missing = [x for x, hit in asked if not any(hit(e.expiry) for e in selected)]
    if missing:
        have = sorted({e.expiry for e in selected})
        shown = ", ".join(f"{t:%Y-%m-%d %H:%M}" for t in have[:12]) + (", ..." if len(have) > 12 else "")
        raise ValueError(f"no expiry in the chain matches {', '.join(map(repr, map(str, missing)))}: "
                         f"its expiries (UTC) are {shown or 'none'}")
    return [e for e in selected if e.expiry in instants or e.expiry.date() in dates]


def _expiry_ttx(quotes):
    if "expiry_ttx" in quotes.columns:
        return float(quotes["expiry_ttx"].iloc[0])
    return float(quotes["ttx"].median())


def fit_chain(chain, model: str = "GVVSpline", *, previous: ChainFit | None = None, starts: int = 1,
              weights: str = "spread", underlyings=None, expiries=None, solver: str = "native",
              calendar_arbitrage: str = "report") -> ChainFit:
    """Fit every expiry of a `Chain` (optionally a subset), one `SmileFit` each.

    `underlyings` and `expiries` select the subset. An expiry is an instant
    (read as UTC when it has no zone) that matches the expiry at that very
    instant, or a bare date (text such as "2026-08-23" without a time, a
    `datetime.date`, a `datetime64[D]`) that matches every expiry on that
    UTC date; an entry that matches no expiry of the selected underlyings
    raises ValueError, which names the expiries there are.

    `previous`: a `ChainFit` of the same model (an earlier snapshot): each
    expiry found there is warm-started from its fit. `starts`: starting
    points polished per expiry (the best of a screened grid; 1 is enough in
    practice, more cost time). `solver`: as for `fit_smile`.

    `calendar_arbitrage`: "report" (the default) checks each pair of
    neighbouring fitted expiries of each underlying for total variance that
    falls with time on the range quoted at both (`ChainFit.calendar_arbitrage`, and the
    `calendar_to_next` column of `table()`); "repair" also fits the smiles
    of the pairs found again, together, each moving as little as its quotes
    allow, until the check finds none (tolerance and method in
    korvex_chain.fit.calendar); `ChainFit.calendar_repair` lists the moved
    expiries with RMSE and inside share before and after."""
    check_fit_options(model, weights, solver, calendar_arbitrage)
    q = chain.quotes
    # Plain arrays once for the whole chain; each expiry is a slice of them.
    cols = {c: q[c].to_numpy() for c in ("log_moneyness", "otm", "is_call", "quote_bid_iv", "quote_ask_iv")}
    labels = np.asarray(q.index)
    groups = chain.positions()
    if isinstance(underlyings, str):
        underlyings = [underlyings]
    selected = [e for e in _expiry_rows(chain.expiries) if underlyings is None or e.underlying in underlyings]
    if expiries is not None:
        selected = _select_expiries(selected, expiries)
    earlier = _previous_fits(previous)
    fits = []
    for e in selected:
        pos = groups.get((e.underlying, e.expiry))
        if pos is None:
            continue
        warm = earlier(e.underlying, e.expiry)
        f = _fit_arrays(model, cols["log_moneyness"][pos].astype(float), cols["otm"][pos].astype(bool),
                        cols["is_call"][pos].astype(bool), cols["quote_bid_iv"][pos].astype(float),
                        cols["quote_ask_iv"][pos].astype(float), float(e.forward), float(e.ttx), e.expiry,
                        e.underlying, warm_start=warm, starts=starts, weights=weights, index=labels[pos],
                        solver=solver)
        f._source = q
        method = str(getattr(e, "forward_method", ""))
        if method.startswith("term_structure") and f.ok:
            f.warnings.append(f"forward not quoted: {method}")
            f.status = "warning"
        fits.append(f)
    cf = ChainFit(model, fits, chain.clock, chain.observation_time, calendar=getattr(chain, "calendar", None))
    if calendar_arbitrage == "repair":
        cf.calendar_repair = repair_calendar(cf, chain, weights=weights, solver=solver)
    surfaces: dict = {}
    cf.calendar_arbitrage = calendar_reports(cf, surfaces)
    cf._keep_surfaces(surfaces)
    return cf


def _expiry_rows(expiries: pd.DataFrame) -> list:
    """The rows of a chain's expiry table as named tuples (those of
    `itertuples`), read column by column: itertuples costs a good part of a
    small chain's fit in its own overhead."""
    names = [str(c) for c in expiries.columns]
    if not all(n.isidentifier() and not n.startswith("_") for n in names) or len(set(names)) != len(names):
        return list(expiries.itertuples(index=False))
    row = collections.namedtuple("Expiry", names)  # type: ignore[misc]  # the names are the frame's own
    return [row._make(v) for v in zip(*(expiries[c].tolist() for c in expiries.columns))]


def _previous_fits(previous):
    """A look-up (underlying, expiry) -> the fit of that expiry in `previous`
    (a ChainFit, as ChainFit.get finds it) or None."""
    # ChainFit.get's answer, the first fit of the expiry, from one pass:
    # asking it per expiry searches every fit each time.
    found: dict = {}
    for f in previous.fits if previous is not None else ():
        found.setdefault((f.underlying, to_utc(f.expiry)), f)
    return lambda underlying, expiry: found.get((underlying, to_utc(expiry)))
