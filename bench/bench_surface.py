"""Volatility surfaces on real chain snapshots: exactness, calendar
arbitrage before and after the repair, risk reversals and butterflies
against the exchange's marks, and the speed of the quote table.

Runs every snapshot in ../shared/data/chains/ (beside the checkout), each
read as it comes (365-day clock), fitted with each model, and one surface
per underlying:

* exactness: the surface's vols at each fitted expiry against the fitted
  smile's (bits that differ), and continuity: the largest relative change
  of vol across each expiry (one part in 1e9 of its time either side);
* calendar arbitrage: pairs of neighbouring expiries whose total variance
  falls somewhere on the range quoted at both, with `fit_chain`'s default
  (report) and with calendar_arbitrage="repair"; after the repair, total
  variance checked non-decreasing on 401 k by 50 times per interval;
  inside share and RMSE (pooled over the snapshot's two-sided quotes)
  before and after;
* on the Deribit snapshots, 25-delta risk reversal and butterfly (forward
  delta, ATM at the forward) at every listed expiry from the surface
  against the same from the exchange's mark IVs of that expiry (linear in
  log-moneyness between strikes, out-of-the-money side, solved on a fine
  grid): sign agreement and the difference in vol points;
* speed: the 7-tenor by 2-delta quote table on 12-expiry surfaces against
  one smile_vols call over 1,000 strikes of the same model, medians of
  alternating rounds.

    .venv/bin/python bench/bench_surface.py [--report bench/RESULTS_SURFACE.md]
"""

from __future__ import annotations

import argparse
import math
import pathlib
import sys
import time

import numpy as np
import pandas as pd
import scipy.optimize  # noqa: F401  (imported here, so that no repair time counts its import)
from scipy.special import ndtr

import korvex_chain as kc

ROOT = pathlib.Path(__file__).resolve().parent.parent
DATA = ROOT.parent / "shared" / "data" / "chains"
MODELS = ("GVVSpline", "CubicSpline", "VolGeo")
ROUNDS = 7
K_POINTS, T_POINTS = 401, 50


# ---------------------------------------------------------------- exactness

def exactness(surface):
    """(bits differing at fitted expiries, largest relative jump across an expiry)."""
    differ = 0
    jump = 0.0
    k = np.linspace(-1.0, 1.0, 201)
    for f, t in zip(surface.fits, surface.times):
        strikes = f.forward * np.exp(k)
        a, b = surface.vol(f.expiry, strikes), f.vols(strikes)
        differ += int(np.count_nonzero((a.view(np.uint64) != b.view(np.uint64)) & ~(np.isnan(a) & np.isnan(b))))
        at = surface.vol(t, k=k)
        for side in (-1.0, 1.0):
            near = surface.vol(t * (1.0 + side * 1e-9), k=k)
            ok = np.isfinite(at) & np.isfinite(near)
            jump = max(jump, float(np.max(np.abs(near[ok] / at[ok] - 1.0))) if ok.any() else 0.0)
    return differ, jump


# ---------------------------------------------------------------- calendar arbitrage

def monotone_in_time(surface):
    """The most negative step of total variance in time over 401 k (the
    range quoted at both expiries of the interval) by 50 times per
    interval, and the number of intervals where one is negative."""
    worst, bad = 0.0, 0
    for i in range(surface.times.size - 1):
        lo, hi = surface.pair_range(i)
        if lo > hi:
            continue
        k = np.linspace(lo, hi, K_POINTS)
        t = np.linspace(surface.times[i], surface.times[i + 1], T_POINTS)
        w = surface.total_variance(t[:, None], k[None, :])
        step = np.diff(w, axis=0)
        m = float(np.min(step))
        if m < 0:
            bad += 1
            worst = min(worst, m)
    return worst, bad


def pooled(cf):
    """Inside share and RMSE (vol points) pooled over a ChainFit's two-sided quotes."""
    n = sum(f.n_metric for f in cf.fits if f.n_metric)
    inside = sum(f.inside * f.n_metric for f in cf.fits if f.n_metric) / n
    rmse = math.sqrt(sum(f.rmse ** 2 * f.n_metric for f in cf.fits if f.n_metric) / n)
    return inside, rmse


def calendar_rows(chains, fits):
    rows = []
    for name, ch in chains.items():
        for model in MODELS:
            before = fits[name, model]
            t0 = time.perf_counter()
            after = kc.fit_chain(ch, model, calendar_arbitrage="repair")
            seconds = time.perf_counter() - t0
            t0 = time.perf_counter()
            kc.fit_chain(ch, model)
            base_seconds = time.perf_counter() - t0
            pairs = flagged = flagged_after = 0
            worst_before = worst_after = 0.0
            bad_intervals = 0
            min_step = 0.0
            for und in sorted({f.underlying for f in before.fits}):
                s0, s1 = before.surface(und), after.surface(und)
                r0, r1 = s0.calendar_arbitrage(), s1.calendar_arbitrage()
                pairs += len(r0)
                flagged += sum(r.has_arbitrage for r in r0)
                flagged_after += sum(r.has_arbitrage for r in r1)
                worst_before = max([worst_before] + [r.depth_vp for r in r0])
                worst_after = max([worst_after] + [r.depth_vp for r in r1])
                m, b = monotone_in_time(s1)
                min_step = min(min_step, m)
                bad_intervals += b
            i0, e0 = pooled(before)
            i1, e1 = pooled(after)
            moved = sum(1 for a, b in zip(before.fits, after.fits) if a.params != b.params)
            rows.append({"snapshot": name, "model": model, "pairs": pairs, "flagged": flagged,
                         "worst vp": round(worst_before, 3), "moved smiles": moved, "flagged after": flagged_after,
                         "worst vp after": round(worst_after, 4), "grid steps < 0": bad_intervals,
                         "min grid step": min_step, "inside": round(i0, 4), "inside after": round(i1, 4),
                         "RMSE vp": round(e0, 3), "RMSE after": round(e1, 3),
                         "repair s": round(seconds, 3), "fit s": round(base_seconds, 3)})
    return pd.DataFrame(rows)


# ---------------------------------------------------------------- exchange marks

def mark_quotes(chain, underlying, expiry, ttx, forward, delta=0.25):
    """ATM vol, risk reversal and butterfly of one expiry from the exchange's
    mark IVs (out-of-the-money side, linear in k between strikes)."""
    q = chain.expiry_quotes(underlying, expiry)
    k = np.log(q["strike"].to_numpy(float) / forward)
    iv = q["exchange_mark_iv"].to_numpy(float)
    otm = np.where(q["is_call"].to_numpy(bool), k >= 0, k < 0)
    m = np.isfinite(iv) & (iv > 0) & otm
    k, iv = k[m], iv[m]
    order = np.argsort(k)
    k, iv = k[order], iv[order]
    if k.size < 2 or not (k[0] <= 0 <= k[-1]):
        return math.nan, math.nan, math.nan
    grid = np.linspace(k[0], k[-1], 400_001)
    v = np.interp(grid, k, iv)
    u = v * math.sqrt(ttx)
    d1 = -grid / u + 0.5 * u
    call, put = ndtr(d1), ndtr(d1) - 1.0
    ic = np.flatnonzero((call[:-1] >= delta) & (call[1:] < delta))
    ip = np.flatnonzero((put[:-1] >= -delta) & (put[1:] < -delta))
    atm = float(np.interp(0.0, k, iv))
    if not ic.size or not ip.size:
        return atm, math.nan, math.nan
    cv, pv = v[ic[-1]], v[ip[0]]
    return atm, float(cv - pv), float(0.5 * (cv + pv) - atm)


def mark_rows(chains, fits):
    rows = []
    for name, ch in chains.items():
        if not name.startswith("deribit"):
            continue
        for model in MODELS:
            cf = fits[name, model]
            for und in sorted(ch.expiries["underlying"].unique()):
                s = cf.surface(und)
                q = s.quotes(list(s.expiries), deltas=(25,))
                for i, e in enumerate(s.expiries):
                    f = s.fits[i]
                    atm, rr, bf = mark_quotes(ch, und, e, f.ttx, f.forward)
                    row = q.iloc[i]
                    rows.append({"snapshot": name, "model": model, "underlying": und, "expiry": e.strftime("%Y-%m-%d"),
                                 "days": (e - ch.observation_time).total_seconds() / 86400.0,
                                 "atm": row["atm_vol"] * 100, "atm marks": atm * 100,
                                 "rr25": row["rr25"] * 100, "rr25 marks": rr * 100,
                                 "bf25": row["bf25"] * 100, "bf25 marks": bf * 100})
    t = pd.DataFrame(rows)
    for c in ("rr25", "bf25"):
        t[f"{c} diff"] = t[c] - t[f"{c} marks"]
        t[f"{c} ok"] = (np.sign(t[c]) == np.sign(t[f"{c} marks"])) & (t[f"{c} diff"].abs() <= 1.0)
    return t


def mark_summary(t):
    rows = []
    for model, g in t.groupby("model", sort=False):
        for horizon, h in (("at least 3 days", g[g["days"] >= 3]), ("under 3 days", g[g["days"] < 3])):
            rows.append({"model": model, "expiries": horizon, "n": len(h),
                         "rr25 sign": int((np.sign(h["rr25"]) == np.sign(h["rr25 marks"])).sum()),
                         "rr25 within 1 vp": int((h["rr25 diff"].abs() <= 1).sum()),
                         "bf25 sign": int((np.sign(h["bf25"]) == np.sign(h["bf25 marks"])).sum()),
                         "bf25 within 1 vp": int((h["bf25 diff"].abs() <= 1).sum()),
                         "both ok": int((h["rr25 ok"] & h["bf25 ok"]).sum()),
                         "max |rr25 diff|": round(float(h["rr25 diff"].abs().max()), 3) if len(h) else math.nan,
                         "max |bf25 diff|": round(float(h["bf25 diff"].abs().max()), 3) if len(h) else math.nan})
    return pd.DataFrame(rows)


# ---------------------------------------------------------------- speed

def speed_rows(chains, fits):
    """The quote table against one smile_vols call over 1,000 strikes."""
    surfaces = []
    for name, ch in chains.items():
        for und in sorted(ch.expiries["underlying"].unique()):
            if (ch.expiries["underlying"] == und).sum() == 12:
                surfaces.append((f"{name} {und}", {m: fits[name, m] for m in MODELS}))
    syn = kc.read_chain(kc.make_chain("GVVSpline", seed=11,
                                      expiry_days=(1, 2, 3, 7, 14, 21, 30, 60, 91, 182, 273, 364)).table)
    surfaces.append(("synthetic BTC", {m: kc.fit_chain(syn, m) for m in MODELS}))
    rows = []
    for label, model_fits in surfaces:
        und = label.split()[-1]
        for model in MODELS:
            s = model_fits[model].surface(und)
            if len(s.fits) != 12:
                continue
            f = s.fits[len(s.fits) // 2]
            strikes = f.forward * np.exp(np.linspace(-0.5, 0.5, 1000))
            s.quotes()
            kc.smile_vols(f.model, f.ttx, f.forward, strikes)
            t_vols, t_quotes = [], []
            for _ in range(ROUNDS):
                n = 400
                t0 = time.perf_counter()
                for _ in range(n):
                    kc.smile_vols(f.model, f.ttx, f.forward, strikes)
                t_vols.append((time.perf_counter() - t0) / n)
                n = 40
                t0 = time.perf_counter()
                for _ in range(n):
                    s.quotes()
                t_quotes.append((time.perf_counter() - t0) / n)
            a, b = float(np.median(t_vols)), float(np.median(t_quotes))
            rows.append({"surface": label, "model": model, "smile_vols 1000 (us)": round(a * 1e6, 1),
                         "quotes 7x2 (us)": round(b * 1e6, 1), "ratio": round(b / a, 1)})
    return pd.DataFrame(rows)


# ---------------------------------------------------------------- report

def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--report", type=pathlib.Path, help="write the tables to this Markdown file")
    args = ap.parse_args(argv)
    files = sorted(DATA.glob("*.csv")) if DATA.is_dir() else []
    if not files:
        print(f"no snapshots in {DATA}", file=sys.stderr)
        return 1
    chains = {f.name: kc.read_chain(f) for f in files}
    # Every section looks at the same per-expiry fits.
    fits = {(name, model): kc.fit_chain(ch, model) for name, ch in chains.items() for model in MODELS}

    exact = []
    for name, ch in chains.items():
        for model in MODELS:
            cf = fits[name, model]
            for und in sorted({f.underlying for f in cf.fits}):
                s = cf.surface(und)
                d, j = exactness(s)
                exact.append({"snapshot": name, "model": model, "underlying": und, "expiries": len(s.fits),
                              "skipped": len(s.skipped), "differing bits": d, "largest jump": j})
    exact = pd.DataFrame(exact)
    cal = calendar_rows(chains, fits)
    marks = mark_rows(chains, fits)
    summary = mark_summary(marks)
    speed = speed_rows(chains, fits)

    pd.set_option("display.width", 250)
    sections = [
        ("Exactness at the fitted expiries and continuity across them", exact.to_string(index=False)),
        ("Calendar arbitrage, report and repair (depths in vol points of the later expiry; "
         f"grid: {K_POINTS} k by {T_POINTS} times per interval)", cal.to_string(index=False)),
        ("25-delta risk reversal and butterfly against the exchange's mark IVs (Deribit snapshots), counts",
         summary.to_string(index=False)),
        ("The same per expiry, CubicSpline (vol points)",
         marks[marks["model"] == "CubicSpline"].drop(columns=["model", "rr25 ok", "bf25 ok"]).round(3)
         .to_string(index=False)),
        ("Quote table (7 tenors by 2 deltas) against one smile_vols call over 1,000 strikes, "
         f"medians of {ROUNDS} alternating rounds", speed.to_string(index=False)),
    ]
    text = "\n\n".join(f"{title}:\n\n```\n{body}\n```" for title, body in sections)
    print(text)
    if args.report:
        head = ("# Volatility surfaces on the chain snapshots\n\nProduced by `bench/bench_surface.py` "
                f"(one run, {time.strftime('%Y-%m-%d')}; what each table measures is in the script's docstring).\n\n")
        args.report.write_text(head + text + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
