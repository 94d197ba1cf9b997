"""Prices and greeks of every option of a chain from its fitted smiles."""

from __future__ import annotations

import numpy as np
import pandas as pd

from .arrays import b76
from .arrays import binary as binary_kernel
from .fit import ChainFit, SmileFit

__all__ = ["chain_greeks"]


def _fit_index(fits):
    """(underlying, expiry) -> SmileFit from a ChainFit, a list of them or of SmileFits."""
    items = fits if isinstance(fits, (list, tuple)) else [fits]
    out = {}
    for it in items:
        if isinstance(it, ChainFit):
            for f in it.fits:
                out[(f.underlying, f.expiry)] = f
        elif isinstance(it, SmileFit):
            out[(it.underlying, it.expiry)] = it
        else:
            raise TypeError(f"expected ChainFit or SmileFit, got {type(it).__name__}")
    return out


def chain_greeks(chain, fits, *, binary: bool = False, threads: int | None = None) -> pd.DataFrame:
    """One row per input row of the chain, in input order.

    Each priced option gets the fitted smile's vol at its strike (spot = the
    expiry's forward) and, from Black-76 with df = 1 on that forward and the
    expiry's ttx: `price` (quote currency), `price_premium_ccy` (in the
    row's premium currency: divided by the forward for coin premiums),
    `delta`, `gamma`, `vega` (per 1.00 of vol); with `binary=True` also the
    cash-or-nothing `binary_price`, `binary_delta`, `binary_gamma`,
    `binary_vega` and `binary_theta`. `status` says why a row has no
    numbers: "rejected: <reason>", "no fit" or "fit failed"."""
    index = _fit_index(fits)
    q = chain.quotes
    n = chain.n_input
    cols = ["vol", "price", "price_premium_ccy", "delta", "gamma", "vega"]
    if binary:
        cols += ["binary_price", "binary_delta", "binary_gamma", "binary_vega", "binary_theta"]
    out = pd.DataFrame(np.nan, index=pd.RangeIndex(n), columns=cols)
    ident = pd.DataFrame({"underlying": pd.Series(pd.NA, index=out.index, dtype="string"),
                          "expiry": pd.Series(pd.NaT, index=out.index, dtype="datetime64[ns, UTC]"),
                          "strike": np.nan, "call_put": pd.Series(pd.NA, index=out.index, dtype="string"),
                          "forward": np.nan, "ttx": np.nan,
                          "status": pd.Series("", index=out.index, dtype=object)})
    rej = chain.rejected
    ident.loc[rej.index, "status"] = "rejected: " + rej["reason"].astype(str)
    ident.loc[q.index, "underlying"] = q["underlying"].astype("string")
    ident.loc[q.index, "expiry"] = q["expiry"]
    ident.loc[q.index, "strike"] = q["strike"]
    ident.loc[q.index, "call_put"] = np.where(q["is_call"], "C", "P")
    ident.loc[q.index, "status"] = "no fit"

    for (und, exp), g in q.groupby(["underlying", "expiry"]):
        f = index.get((und, exp))
        if f is None:
            continue
        ident.loc[g.index, ["forward", "ttx"]] = [f.forward, f.ttx]
        if f.model is None:
            ident.loc[g.index, "status"] = "fit failed"
            continue
        k = g["strike"].to_numpy(float)
        vol = f.vols(k)
        calls = g["is_call"].to_numpy(bool)
        r = b76(f.forward, k, f.ttx, vol, calls, threads=threads)
        coin = g["coin_premium"].to_numpy(bool)
        out.loc[g.index, "vol"] = vol
        out.loc[g.index, "price"] = r.fairvalue
        out.loc[g.index, "price_premium_ccy"] = np.where(coin, r.fairvalue / f.forward, r.fairvalue)
        out.loc[g.index, "delta"] = r.delta
        out.loc[g.index, "gamma"] = r.gamma
        out.loc[g.index, "vega"] = r.vega
        if binary:
            b = binary_kernel(f.forward, k, f.ttx, vol, calls, threads=threads)
            for name in ("fairvalue", "delta", "gamma", "vega", "theta"):
                out.loc[g.index, "binary_" + ("price" if name == "fairvalue" else name)] = getattr(b, name)
        ident.loc[g.index, "status"] = "ok" if f.status == "ok" else "ok (fit warned)"
    return pd.concat([ident, out], axis=1)
