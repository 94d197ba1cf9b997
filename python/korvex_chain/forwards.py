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
    # Rows without an underlying are expiries of their own (an underlying
    # missing, not another underlying's).
    und_codes, und_names = pd.factorize(q["underlying"].to_numpy(dtype=object), use_na_sentinel=False)
    expiry = pd.DatetimeIndex(q["expiry"])
    if expiry.tz is not None:
        expiry = expiry.tz_convert("UTC").tz_localize(None)
    group, keys = group_codes(und_codes, list(und_names), expiry.as_unit("ns").to_numpy())
    fwd = group_forwards(group, len(keys[0]), q["strike"].to_numpy(float), q["is_call"].to_numpy(bool),
                         q["coin_premium"].to_numpy(bool), q["bid_premium"].to_numpy(float),
                         q["ask_premium"].to_numpy(float), q["mark_premium"].to_numpy(float),
                         np.asarray(underlying_price, float))
    return forwards_frame(keys, fwd)


def group_codes(und_codes: np.ndarray, und_names: list, expiry_ns: np.ndarray):
    """Codes 0..G-1 of the (underlying, expiry) of each row, numbered in the
    order of underlying name and expiry; and the G keys (names, instants).
    The underlyings come as codes into their names."""
    codes = np.asarray(und_codes, dtype=np.int64)
    times = np.asarray(expiry_ns, dtype="datetime64[ns]")
    if codes.size and codes.min() >= 0 and not np.isnat(times).any() and len(set(und_names)) == len(und_names):
        return _groups_by_sort(codes, und_names, times)
    return _groups_by_unique(codes, und_names, times)


def _groups_by_sort(codes: np.ndarray, und_names: list, times: np.ndarray):
    """group_codes for distinct names and no missing instant: one sort of
    the rows by (name, expiry) numbers the groups in their final order."""
    names = np.asarray(list(und_names), dtype=object)
    rank = np.empty(len(names), dtype=np.int64)
    rank[np.argsort(names.astype(str), kind="stable")] = np.arange(len(names))
    r = rank[codes]
    t = times.view(np.int64)
    order = np.lexsort((t, r))
    rs, ts = r[order], t[order]
    first = np.empty(order.size, dtype=bool)
    first[0] = True
    np.not_equal(rs[1:], rs[:-1], out=first[1:])
    first[1:] |= ts[1:] != ts[:-1]
    group = np.empty(order.size, dtype=np.intp)
    group[order] = np.cumsum(first) - 1
    heads = order[first]
    return group, (names[codes[heads]], times[heads])


def _groups_by_unique(codes: np.ndarray, und_names: list, times: np.ndarray):
    """group_codes for any codes and instants (a code -1 or NaT among them)."""
    eu, ec = np.unique(times, return_inverse=True)
    ne = max(len(eu), 1)
    key = codes * ne + ec.reshape(-1)
    ukey, inv = np.unique(key, return_inverse=True)
    names = np.asarray(list(und_names), dtype=object)[ukey // ne]
    times = eu[ukey % ne]
    order = np.lexsort((times, names.astype(str)))
    rank = np.empty_like(order)
    rank[order] = np.arange(order.size)
    return rank[inv.reshape(-1)], (names[order], times[order])


def group_median(group: np.ndarray, values: np.ndarray, ngroups: int, valid: np.ndarray | None = None):
    """(median, max - min, count) of `values` per group, over the valid rows."""
    g = group if valid is None else group[valid]
    v = values if valid is None else values[valid]
    order = np.lexsort((v, g))
    g, v = g[order], v[order]
    count = np.bincount(g, minlength=ngroups)
    start = np.concatenate(([0], np.cumsum(count)[:-1]))
    med = np.full(ngroups, np.nan)
    spread = np.full(ngroups, np.nan)
    has = count > 0
    lo = v[start[has] + (count[has] - 1) // 2]
    hi = v[start[has] + count[has] // 2]
    # As numpy's median: the middle value, or the mean of the middle two.
    med[has] = np.where(count[has] % 2 == 1, lo, (lo + hi) / 2)
    spread[has] = v[start[has] + count[has] - 1] - v[start[has]]
    return med, spread, count


def group_forwards(group, ngroups, strike, is_call, coin, bid, ask, mark, underlying_price):
    """Per group: (forward, method, pairs, spread) arrays, as `expiry_forwards` describes."""
    px = np.asarray(underlying_price, float)
    given = np.isfinite(px) & (px > 0)
    med, spread, count = group_median(group, px, ngroups, given)
    forward = med
    method = np.full(ngroups, "underlying_price", dtype=object)
    pairs = np.zeros(ngroups, dtype=np.int64)
    need = np.flatnonzero(count == 0)
    if need.size:
        ncoin = np.bincount(group, weights=coin.astype(float), minlength=ngroups)
        nrows = np.bincount(group, minlength=ngroups)
        order = np.lexsort((strike, group))  # rows by group, then strike (stable: row order within)
        bounds = np.searchsorted(group[order], np.arange(ngroups + 1))
        for g in need:
            if 0 < ncoin[g] < nrows[g]:
                method[g] = "none: coin and quote-currency premiums mixed in one expiry"
                continue
            rows = order[bounds[g]:bounds[g + 1]]
            found = _parity(strike[rows], is_call[rows], bid[rows], ask[rows], mark[rows], bool(ncoin[g] > 0))
            if found is None:
                method[g] = "none: no underlying price and no call/put pair"
            else:
                forward[g], method[g], pairs[g], spread[g] = found
    return forward, method, pairs, spread


def _parity(k, calls, bid, ask, mark, coin):
    """Parity on the bid/ask mids, else on the marks; None without a pair."""
    for kind, mid in (("parity", (bid + ask) / 2), ("parity_mark", mark)):
        ck, cv = _first_per_strike(k[calls], mid[calls])
        pk, pv = _first_per_strike(k[~calls], mid[~calls])
        both, ci, pi = np.intersect1d(ck, pk, assume_unique=True, return_indices=True)
        f, n, spread = parity_forward(both, cv[ci], pv[pi], coin)
        if n:
            return f, f"{kind} ({n} pair{'s' if n > 1 else ''})", n, spread
    return None


def _first_per_strike(k, v):
    """The first quoted value per strike (rows sorted by strike, stable)."""
    ok = np.isfinite(v)
    k, v = k[ok], v[ok]
    uk, first = np.unique(k, return_index=True)
    return uk, v[first]


def forwards_frame(keys, fwd) -> pd.DataFrame:
    """The expiries table of `expiry_forwards` from group keys and forwards."""
    names, times = keys
    forward, method, pairs, spread = fill_from_term_structure(names, times, *fwd)
    return pd.DataFrame({"underlying": names, "expiry": pd.DatetimeIndex(times).tz_localize("UTC"),
                         "forward": forward, "forward_method": method, "forward_pairs": pairs,
                         "forward_spread": spread})


def fill_from_term_structure(names, times, forward, method, pairs, spread):
    """Forwards for expiries without pairs, from the underlying's other expiries.

    Far expiries often have no strike with both a two-sided call and put.
    The forward curve of a crypto underlying is smooth in time (a carry),
    so ln F is interpolated linearly in time between the neighbouring
    expiries that have a forward, and extended from the nearest two beyond
    them. The method says so; the fit report carries it along. The groups
    come sorted by underlying and expiry."""
    missing = ~np.isfinite(forward)
    if not missing.any():
        return forward, method, pairs, spread
    forward, method = forward.copy(), method.copy()
    ns = np.asarray(times, dtype="datetime64[ns]").view(np.int64)
    for und in pd.unique(names[missing]):
        mine = names == und
        known = np.flatnonzero(mine & ~missing)
        if known.size < 2:
            continue
        t = (ns[known] - ns[known[0]]) / 1e9
        lf = np.log(forward[known])
        for i in np.flatnonzero(mine & missing):
            x = (ns[i] - ns[known[0]]) / 1e9
            if t[0] <= x <= t[-1]:
                f = float(np.exp(np.interp(x, t, lf)))
            else:
                j = [0, 1] if x < t[0] else [-2, -1]
                slope = (lf[j[1]] - lf[j[0]]) / (t[j[1]] - t[j[0]])
                f = float(np.exp(lf[j[1]] + slope * (x - t[j[1]])))
            forward[i] = f
            method[i] = f"term_structure (ln F in time, {known.size} expiries)"
    return forward, method, pairs, spread
