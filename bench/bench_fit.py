"""Smile fits on real chain snapshots: quality, admissibility and speed.

Runs every snapshot in ../shared/data/chains/ (beside the checkout) and, for
each model, both korvex_chain's `fit_chain` and a careful straightforward
fit (scipy least_squares, soft-L1 loss, spread weights, box bounds, a korvex
model object evaluated through set_param + get_vol, scipy's finite-difference
Jacobian), on the same out-of-the-money quotes with the forward as spot.
Prints one table and, with --report, writes it to a Markdown file.

Figures per model: "inside" = share of two-sided quotes (spread at most a
quarter of the mid IV) whose fitted vol lies within [bid IV, ask IV], pooled
over all expiries and as the median expiry; RMSE (vol points, fit minus mid)
per expiry, median and 90th percentile; butterfly arbitrage (negative
risk-neutral density on the checked domain) count and depth; per-expiry
time of both fits and their ratio; agreement of two fits from different
starting points (the largest difference of their vols at the two-sided
quotes). Plus the mark-IV check on the Deribit snapshots.
"""

from __future__ import annotations

import argparse
import math
import pathlib
import sys
import time
import warnings

import numpy as np
import pandas as pd

import korvex
import korvex_chain as kc
from korvex_chain.fit.model_facts import model_facts

ROOT = pathlib.Path(__file__).resolve().parent.parent
DATA = ROOT.parent / "shared" / "data" / "chains"
MODELS = ("GVVSpline", "CubicSpline", "VolGeo")
REPEAT = 5

# Box of the straightforward fit: each parameter within +-WIDTH (CubicSpline's
# increments +-100), raised to the model's own admissibility bound where it
# has one (strict bounds moved in by the same margin as korvex_chain's fit).
WIDTH = {"GVVSpline": {"ref_vol": 500.0, "skew": 500.0, "smile": 1000.0},
         "VolGeo": {"ref_vol": 500.0, "corr": 8.0, "vvol": 1000.0},
         "CubicSpline": {"ref_vol": 500.0}}


def box(model, names):
    """(lower, upper) arrays of the straightforward fit's box for the parameters `names`."""
    facts = model_facts(model)
    lo, hi = [], []
    for n in names:
        i = facts.fit_names.index(n)
        width = WIDTH[model].get(n, 100.0)
        lo.append(facts.lower[i] if facts.bounded[i] else -width)
        hi.append(width)
    return np.array(lo), np.array(hi)


def baseline_fit(model, q, forward, ttx, expiry):
    """The straightforward fit of one expiry; returns (model object, seconds)."""
    from scipy.optimize import least_squares

    t0 = time.perf_counter()
    use = q["otm"].to_numpy(bool) & q["quote_bid_iv"].notna().to_numpy() & q["quote_ask_iv"].notna().to_numpy()
    k = (forward * np.exp(q["log_moneyness"].to_numpy(float)))[use]
    b, a = q["quote_bid_iv"].to_numpy(float)[use], q["quote_ask_iv"].to_numpy(float)[use]
    mid, spread = 0.5 * (a + b), np.maximum(a - b, 1e-4)
    strikes = k.tolist()
    m = getattr(korvex, model).with_params(expiry, {"ref_spot": forward})
    names = m.get_fitting_params()
    lo, hi = box(model, names)
    atm = 100.0 * float(mid[np.argmin(np.abs(np.log(k / forward)))]) if len(k) else 50.0
    x0 = np.array([m.get_parameter(n) for n in names], float)
    x0[0] = atm
    x0 = np.clip(x0, lo + 1e-9, hi - 1e-9)

    def resid(x):
        for n, v in zip(names, x):
            m.set_param(n, float(v))
        v = np.asarray(m.get_vol(ttx, forward, strikes))
        r = (v - mid) / spread
        return np.where(np.isfinite(r), r, 1e3)

    if len(k) >= 1:
        res = least_squares(resid, x0, bounds=(lo, hi), loss="soft_l1", method="trf")
        for n, v in zip(names, res.x):
            m.set_param(n, float(v))
    return m, time.perf_counter() - t0


def metrics(vq, b, a):
    mid = 0.5 * (a + b)
    sel = np.isfinite(b) & np.isfinite(a) & ((a - b) <= 0.25 * mid)
    if not sel.any():
        return math.nan, 0, 0, math.nan
    err = (vq[sel] - mid[sel]) * 100
    inside = (vq[sel] >= b[sel]) & (vq[sel] <= a[sel])
    return float(np.sqrt(np.mean(err * err))), int(inside.sum()), int(sel.sum()), float(inside.mean())


def alt_start(model, atm):
    """A starting point far from the quotes' own one, for the agreement check."""
    if model == "GVVSpline":
        return {"ref_vol": 1.25 * atm, "skew": 15.0, "smile": 30.0}
    if model == "VolGeo":
        return {"ref_vol": 1.25 * atm, "corr": 0.5, "vvol": 150.0}
    d = dict.fromkeys(model_facts(model).fit_names[1:], 0.0)   # the knot increments
    d.update({"ref_vol": 1.2 * atm, "p25": 5.0, "c25": 5.0, "p05": 2.0, "c05": -1.0})
    return d


def run(files):
    chains = [(f.name, kc.read_chain(f)) for f in files]
    rows = []
    for model in MODELS:
        for fname, chain in chains:
            # Times: the median of REPEAT runs, the two fits taking turns. The
            # whole chain, both ways: fit_chain's wall time against a loop of
            # the straightforward fit over the same expiries (the quotes of
            # each expiry selected beforehand, outside its timing); and per
            # expiry, both fits' own times.
            exps = [(e, chain.expiry_quotes(e.underlying, e.expiry)) for e in chain.expiries.itertuples()]
            runs, base_walls, base_runs = [], [], []
            for _ in range(REPEAT):
                t0 = time.perf_counter()
                cf = kc.fit_chain(chain, model)
                runs.append((time.perf_counter() - t0, cf))
                t0 = time.perf_counter()
                base_runs.append([baseline_fit(model, q, e.forward, e.ttx, e.expiry.to_pydatetime()) for e, q in exps])
                base_walls.append(time.perf_counter() - t0)
            wall, base_wall = float(np.median([r[0] for r in runs])), float(np.median(base_walls))
            best_ms = np.median([[f.seconds for f in r[1].fits] for r in runs], axis=0) * 1e3
            best_base = np.median([[t for _, t in r] for r in base_runs], axis=0) * 1e3
            for i, f in enumerate(cf.fits):
                q = chain.expiry_quotes(f.underlying, f.expiry)
                otm = q[q["otm"]]
                b, a = otm["quote_bid_iv"].to_numpy(float), otm["quote_ask_iv"].to_numpy(float)
                kk = f.forward * np.exp(otm["log_moneyness"].to_numpy(float))
                ours = f.vols(kk)
                rm, nin, n, ins = metrics(ours, b, a)
                bm, bt = base_runs[-1][i][0], best_base[i] / 1e3
                bv = np.asarray(bm.get_vol(f.ttx, f.forward, kk.tolist()))
                brm, bnin, _, bins = metrics(bv, b, a)
                dom = f.arbitrage.k_range if f.arbitrage else (otm["log_moneyness"].min(), otm["log_moneyness"].max())
                barb = kc.density_check(model, bm.get_param_dict(), f.ttx, f.forward, dom)
                alt = kc.fit_smile(q, model, forward=f.forward, ttx=f.ttx, expiry=f.expiry,
                                   underlying=f.underlying, starting_points=[alt_start(model, 100 * np.nanmedian(ours))],
                                   starts=1)
                # Agreement where the market pins the smile: at the two-sided
                # quotes (between one-sided bounds any curve is as good).
                two = np.isfinite(b) & np.isfinite(a)
                agree = (float(np.nanmax(np.abs(alt.vols(kk[two]) - ours[two])) * 100)
                         if f.model is not None and two.any() else math.nan)
                rows.append(dict(
                    file=fname, model=model, underlying=f.underlying, expiry=f.expiry, status=f.status,
                    admissible=bool(f.model is not None and f.model.arb_free()),
                    finite=bool(np.all(np.isfinite(ours))), n=n, inside_n=nin, inside=ins, rmse=rm,
                    arb=bool(f.arbitrage.has_arbitrage) if f.arbitrage else True,
                    depth=f.arbitrage.depth if f.arbitrage else math.nan, ms=best_ms[i], nfev=f.nfev,
                    chain_ms=wall * 1e3 / len(cf.fits), base_chain_ms=base_wall * 1e3 / len(cf.fits),
                    b_inside_n=bnin, b_inside=bins, b_rmse=brm, b_arb=barb.has_arbitrage, b_depth=barb.depth,
                    b_admissible=bm.arb_free(), b_ms=bt * 1e3, agree_vp=agree))
    return pd.DataFrame(rows), chains


def mark_check(chains):
    out = []
    for fname, chain in chains:
        if not fname.startswith("deribit"):
            continue
        q = chain.quotes
        m = q[(q["mark_premium"] > 0) & q["exchange_mark_iv"].notna()]
        d = (m["mark_iv"] - m["exchange_mark_iv"]).abs() * 100
        for lab, sel in (("OTM", m["otm"]), ("ITM", ~m["otm"])):
            dd = d[sel.to_numpy(bool)]
            out.append(dict(file=fname, side=lab, n=len(dd), within=float((dd <= 0.5).mean()),
                            no_iv=int(dd.isna().sum()), median_vp=float(dd.median())))
    return pd.DataFrame(out)


def summarise(d: pd.DataFrame) -> pd.DataFrame:
    out = []
    for model, g in d.groupby("model", sort=False):
        out.append({
            "model": model, "expiries": len(g),
            "inside pooled": g["inside_n"].sum() / g["n"].sum(), "inside median": g["inside"].median(),
            "RMSE median": g["rmse"].median(), "RMSE p90": g["rmse"].quantile(0.9),
            "arbitrage": int(g["arb"].sum()), "worst depth": g["depth"].min(),
            "admissible+finite": f"{int((g['admissible'] & g['finite']).sum())}/{len(g)}",
            "failed": int((g["status"] == "failed").sum()),
            "ms median": g["ms"].median(), "base ms median": g["b_ms"].median(),
            "whole chain, ms per expiry": g["chain_ms"].mean(),
            "base whole chain, ms per expiry": g["base_chain_ms"].mean(),
            "time ratio (median of per-expiry)": (g["ms"] / g["b_ms"]).median(),
            "time ratio (totals)": g["ms"].sum() / g["b_ms"].sum(),
            "time ratio (whole chain)": g["chain_ms"].mean() / g["base_chain_ms"].mean(),
            "2 starts within 0.01 vp": f"{int((g['agree_vp'] <= 0.01).sum())}/{len(g)}",
            "2 starts max vp": g["agree_vp"].max(),
            "base inside pooled": g["b_inside_n"].sum() / g["n"].sum(), "base inside median": g["b_inside"].median(),
            "base RMSE median": g["b_rmse"].median(), "base RMSE p90": g["b_rmse"].quantile(0.9),
            "base arbitrage": int(g["b_arb"].sum()), "base worst depth": g["b_depth"].min(),
        })
    return pd.DataFrame(out).set_index("model").T


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--report", help="write the results to this Markdown file")
    ap.add_argument("--details", help="write the per-expiry rows to this CSV file")
    args = ap.parse_args(argv)
    files = sorted(DATA.glob("*.csv")) if DATA.is_dir() else []
    if not files:
        print(f"no chain snapshots in {DATA}: nothing to benchmark")
        return 0
    warnings.simplefilter("ignore")
    t0 = time.perf_counter()
    d, chains = run(files)
    table = summarise(d)
    mc = mark_check(chains)
    pd.set_option("display.width", 200)
    fmt = table.map(lambda v: f"{v:.4g}" if isinstance(v, float) else v)
    print(fmt.to_string())
    print("\nmark IV vs the exchange's mark IV (options with a non-zero mark), share within 0.5 vol points")
    print(mc.to_string(index=False))
    print(f"\n{len(files)} files, {d.groupby('model').size().iloc[0]} expiries per model, {time.perf_counter() - t0:.1f} s")
    if args.details:
        d.to_csv(args.details, index=False)
    if args.report:
        with open(args.report, "w") as fh:
            fh.write("# Smile fits on the chain snapshots\n\n")
            fh.write("Produced by `bench/bench_fit.py` (one run; korvex_chain.fit_chain against the "
                     "straightforward scipy fit on the same quotes, see the script's docstring).\n\n")
            fh.write(fmt.to_markdown() if hasattr(fmt, "to_markdown") and _has_tabulate() else "```\n" + fmt.to_string() + "\n```")
            fh.write("\n\nMark IV against the exchange's mark IV, share within 0.5 vol points:\n\n```\n")
            fh.write(mc.to_string(index=False) + "\n```\n")
            fh.write(NOTES)
    return 0


NOTES = """
How to read it:

- Quotes: out-of-the-money rows of every expiry with a bid or ask IV; the
  smile anchored at the expiry's forward (ref_spot = forward, spot = forward).
  Bid/ask IVs are the exchange's where the file has them (the two 2020 Deribit
  files), else the IVs of the bid/ask premiums (coin premiums times the row's
  underlying price; Bybit forwards from put-call parity or, for the expiries
  without a call/put pair, from the other expiries).
- "inside": share of two-sided quotes with spread <= 25 % of the mid IV whose
  fitted vol lies in [bid IV, ask IV], pooled over all expiries and files, and
  for the median expiry. RMSE: fitted minus mid IV over the same quotes, in vol
  points, per expiry (median and 90th percentile of expiries).
- arbitrage: curves whose risk-neutral density (Durrleman's g on 401 points of
  log-moneyness, over the quoted range and +-3 at-the-money deviations) is
  negative somewhere; depth = most negative density / its peak.
- Times: the median of five runs of each, the two fits taking turns (shared 2-CPU machine). Whole chain:
  fit_chain's wall time against the straightforward fit looped over the same
  expiries, both per expiry; per expiry: each fit's own time (median and the
  ratio of the sums). Ratios below 1 mean fit_chain is faster.
- 2 starts: each expiry fitted again from a deliberately different starting
  point; the largest difference of the two smiles at the two-sided quotes.
- Mark IV: every row with a non-zero mark and an exchange mark IV, inverted at
  its own observation time (365-day clock) on its own underlying price, the
  way the exchange computed it; in-the-money rows separately (their time value
  is often below the premium's rounding).
"""


def _has_tabulate():
    try:
        import tabulate  # noqa: F401
        return True
    except ImportError:
        return False


if __name__ == "__main__":
    sys.exit(main())
