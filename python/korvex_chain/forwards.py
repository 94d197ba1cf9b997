"""The forward of each expiry.

The exchange's underlying price of an expiry (its future or synthetic
forward) is taken when the table has one. Otherwise put-call parity on the
two-sided call/put pairs nearest the money gives it: undiscounted,
C - P = F - K for premiums in quote currency, and C - P = 1 - K / F for coin
premiums (per coin of notional), so F = K / (1 - (C - P)). The median over
the nearest pairs keeps one stale pair from moving the forward.
"""

from __future__ import annotations

import numpy as np
import pandas as pd

# Pairs used for parity: the nearest-the-money ones are the most precise
# (the smallest premiums, so the smallest absolute spreads); five of them
# let the median ignore up to two stale pairs.
PARITY_PAIRS = 5


def parity_forward(strike, call_mid, put_mid, coin: bool, pairs: int = PARITY_PAIRS) -> tuple[float, int, float]:
    """(forward, pairs used, spread of the per-pair forwards) from parity.

    The arrays hold one entry per strike with a two-sided call and put; the
    mids are premiums in the quote currency, or in coin when `coin`."""
    k = np.asarray(strike, float)
    d = np.asarray(call_mid, float) - np.asarray(put_mid, float)
    good = np.isfinite(k) & np.isfinite(d) & (k > 0)
    if coin:
        good &= d < 1.0
    k, d = k[good], d[good]
    if k.size == 0:
        return float("nan"), 0, float("nan")
    per_pair = k / (1.0 - d) if coin else k + d
    # Nearest the money: the smallest |C - P| relative to the strike.
    order = np.argsort(np.abs(d) if coin else np.abs(d) / k, kind="stable")[:pairs]
    f = per_pair[order]
    return float(np.median(f)), int(f.size), float(f.max() - f.min())


def expiry_forwards(q: pd.DataFrame, underlying_price: pd.Series) -> pd.DataFrame:
    """One row per (underlying, expiry): forward, forward_method, forward_pairs, forward_spread.

    `q` needs underlying, expiry, strike, is_call, coin_premium and the
    premiums bid_premium / ask_premium / mark_premium (in premium currency);
    `underlying_price` is aligned with `q` (NaN where the table has none)."""
    rows = []
    px = pd.Series(np.asarray(underlying_price, float), index=q.index)
    for (und, exp), g in q.groupby(["underlying", "expiry"], sort=True):
        given = px[g.index]
        given = given[np.isfinite(given) & (given > 0)]
        if len(given):
            # Rows of one expiry can be refreshed at slightly different
            # moments; their median is the expiry's forward.
            rows.append((und, exp, float(given.median()), "underlying_price", 0, float(given.max() - given.min())))
            continue
        coin = bool(g["coin_premium"].all())
        if g["coin_premium"].any() and not coin:
            rows.append((und, exp, np.nan, "none: coin and quote-currency premiums mixed in one expiry", 0, np.nan))
            continue
        found = None
        for kind, cols in (("parity", ("bid_premium", "ask_premium")), ("parity_mark", ("mark_premium",))):
            mid = g[list(cols)].mean(axis=1, skipna=False)
            calls = mid[g["is_call"]].groupby(g.loc[g["is_call"], "strike"]).first()
            puts = mid[~g["is_call"]].groupby(g.loc[~g["is_call"], "strike"]).first()
            both = calls.index.intersection(puts.index)
            f, n, spread = parity_forward(both.to_numpy(float), calls[both].to_numpy(float),
                                          puts[both].to_numpy(float), coin)
            if n:
                found = (und, exp, f, f"{kind} ({n} pair{'s' if n > 1 else ''})", n, spread)
                break
        rows.append(found or (und, exp, np.nan, "none: no underlying price and no call/put pair", 0, np.nan))
    out = pd.DataFrame(rows, columns=["underlying", "expiry", "forward", "forward_method",
                                      "forward_pairs", "forward_spread"])
    return _fill_from_term_structure(out)


def _fill_from_term_structure(out: pd.DataFrame) -> pd.DataFrame:
    """Forwards for expiries without pairs, from the underlying's other expiries.

    Far expiries often have no strike with both a two-sided call and put.
    The forward curve of a crypto underlying is smooth in time (a carry),
    so ln F is interpolated linearly in time between the neighbouring
    expiries that have a forward, and extended from the nearest two beyond
    them. The method says so; the fit report carries it along."""
    for und, g in out.groupby("underlying"):
        known = g[np.isfinite(g["forward"])]
        missing = g[~np.isfinite(g["forward"])]
        if missing.empty or len(known) < 2:
            continue
        t = (known["expiry"] - known["expiry"].min()).dt.total_seconds().to_numpy()
        lf = np.log(known["forward"].to_numpy(float))
        for i, r in missing.iterrows():
            x = (r["expiry"] - known["expiry"].min()).total_seconds()
            if x <= t[-1] and x >= t[0]:
                f = float(np.exp(np.interp(x, t, lf)))
            else:
                j = [0, 1] if x < t[0] else [-2, -1]
                slope = (lf[j[1]] - lf[j[0]]) / (t[j[1]] - t[j[0]])
                f = float(np.exp(lf[j[1]] + slope * (x - t[j[1]])))
            out.loc[i, ["forward", "forward_method"]] = [f, f"term_structure (ln F in time, {len(known)} expiries)"]
    return out
