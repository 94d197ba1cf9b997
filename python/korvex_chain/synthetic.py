"""Realistic synthetic crypto option chains from known smiles.

`make_chain` draws a chain the way an inverse-option exchange shows it: for
each expiry a forward, a strike ladder rounded to the exchange's strike
step, a call and a put per strike with bid/ask premiums in coin, rounded to
the coin tick (bids down, asks up), marks, the quotes' IVs in percent, and
a few bad rows. The true smile of each expiry is a korvex model; the quoted
bid/ask IV band always contains it, so a fit of the same model should come
back within the band. Used by the tests, the examples and the README's
picture.
"""

from __future__ import annotations

import datetime as dt
import math
from dataclasses import dataclass, field

import numpy as np
import pandas as pd

from .arrays import MODEL_KINDS, b76, cal_ttx, implied_vols
from .timing import to_utc

__all__ = ["SyntheticChain", "make_chain", "to_layout", "true_params"]

_MONTHS = ("JAN", "FEB", "MAR", "APR", "MAY", "JUN", "JUL", "AUG", "SEP", "OCT", "NOV", "DEC")


@dataclass
class SyntheticChain:
    table: pd.DataFrame                       # the tidy quote table (read_chain reads it)
    truth: dict = field(default_factory=dict)  # (underlying, expiry) -> korvex model of the true smile
    forwards: dict = field(default_factory=dict)
    ttx: dict = field(default_factory=dict)
    half_spread: dict = field(default_factory=dict)  # (underlying, expiry) -> array of IV half-spreads per strike


def true_params(model: str, ttx: float, forward: float) -> dict:
    """A plausible crypto smile for one expiry: level and skew by maturity."""
    atm = 48.0 + 14.0 * math.exp(-ttx * 12.0)
    if model == "GVVSpline":
        return {"ref_spot": forward, "ref_vol": atm, "skew": -6.0 - 6.0 * math.exp(-ttx * 6.0), "smile": 9.0}
    if model == "VolGeo":
        return {"ref_spot": forward, "ref_vol": atm, "corr": -0.25, "vvol": 45.0 + 15.0 * math.exp(-ttx * 8.0)}
    if model == "CubicSpline":
        return {"ref_spot": forward, "ref_vol": atm, "p05": 1.2, "p10": 1.6, "p15": 1.8, "p20": 3.2, "p25": 4.5,
                "c05": 0.5, "c10": 0.9, "c15": 1.1, "c20": 2.0, "c25": 3.0}
    raise ValueError(f"unknown model {model!r}")


def _nice_step(x: float) -> float:
    mag = 10.0 ** math.floor(math.log10(x))
    for m in (1.0, 2.5, 5.0, 10.0):
        if x <= m * mag:
            return m * mag
    return 10.0 * mag


def _instrument(und: str, expiry: dt.datetime, strike: float, side: str) -> str:
    k = f"{strike:.0f}" if strike == int(strike) else f"{strike:g}".replace(".", "d")
    return f"{und}-{expiry.day}{_MONTHS[expiry.month - 1]}{expiry.year % 100:02d}-{k}-{side}"


def make_chain(model: str = "GVVSpline", *, underlying: str = "BTC", spot: float = 100_000.0,
               observation_time="2026-12-07T10:00:00Z", expiry_days=(1, 3, 7, 14, 30, 60, 91, 182),
               carry: float = 0.06, spread_vp: float = 1.2, tick: float = 0.0001, seed: int = 0,
               bad_rows: bool = True, params=None) -> SyntheticChain:
    """A synthetic chain of inverse (coin-premium) options.

    `params(ttx, forward) -> dict` overrides the true smile of each expiry
    (default `true_params`). Spreads are `spread_vp` vol points at the money,
    wider in the wings; mids are drawn inside the band around the truth."""
    import korvex

    rng = np.random.default_rng(seed)
    obs = to_utc(observation_time)
    if model not in MODEL_KINDS:
        raise ValueError(f"unknown model {model!r}: use {', '.join(MODEL_KINDS[:-1])} or {MODEL_KINDS[-1]}")
    cls = getattr(korvex, model)
    out = SyntheticChain(pd.DataFrame())
    rows = []
    for days in expiry_days:
        day = (obs + pd.Timedelta(days=days)).normalize()
        expiry = (day + pd.Timedelta(hours=8)).to_pydatetime()
        ttx = float(cal_ttx(obs.tz_localize(None).to_datetime64(), np.datetime64(expiry.replace(tzinfo=None))))
        fwd = round(spot * math.exp(carry * ttx), 2)
        p = true_params(model, ttx, fwd) if params is None else params(ttx, fwd)
        truth = cls.with_params(expiry, p)
        atm = truth.get_vol_single(ttx, fwd, fwd)
        sd = atm * math.sqrt(ttx)
        step = _nice_step(fwd * sd / 5.0)
        z = np.linspace(-3.2, 2.8, 25)
        strikes = np.unique(np.round(fwd * np.exp(z * sd) / step) * step)
        strikes = strikes[strikes > 0]
        true_iv = np.asarray(truth.get_vol(ttx, fwd, strikes.tolist()))
        zz = np.log(strikes / fwd) / sd
        half = 0.5 * spread_vp / 100.0 * (1.0 + 0.35 * np.abs(zz))
        mid_iv = true_iv + rng.uniform(-0.6, 0.6, strikes.size) * half
        key = (underlying, pd.Timestamp(expiry))
        out.truth[key], out.forwards[key], out.ttx[key], out.half_spread[key] = truth, fwd, ttx, half
        name = [_instrument(underlying, expiry, k, "C") for k in strikes]
        for is_call in (True, False):
            side = "C" if is_call else "P"
            bid_px = np.asarray(b76(fwd, strikes, ttx, mid_iv - half, is_call).fairvalue) / fwd
            ask_px = np.asarray(b76(fwd, strikes, ttx, mid_iv + half, is_call).fairvalue) / fwd
            mark_px = np.asarray(b76(fwd, strikes, ttx, true_iv, is_call).fairvalue) / fwd
            bid_px = np.floor(bid_px / tick + 1e-9) * tick
            ask_px = np.maximum(np.ceil(ask_px / tick - 1e-9) * tick, tick)
            bid_px = np.where(bid_px >= tick, bid_px, np.nan)
            bid_iv = implied_vols(ttx, fwd, strikes, bid_px * fwd, is_call)
            ask_iv = implied_vols(ttx, fwd, strikes, ask_px * fwd, is_call)
            for i, k in enumerate(strikes):
                rows.append({
                    "observation_time_utc": obs.strftime("%Y-%m-%dT%H:%M:%SZ"), "exchange": "synthetic",
                    "instrument": name[i][:-1] + side, "expiry_utc": expiry.strftime("%Y-%m-%dT%H:%M:%SZ"),
                    "strike": k, "option_type": side, "bid": bid_px[i], "ask": ask_px[i],
                    "mark": round(float(mark_px[i]), 8), "premium_currency": underlying,
                    "underlying_price": fwd,
                    "bid_iv": round(float(bid_iv[i]) * 100, 2) if np.isfinite(bid_iv[i]) else np.nan,
                    "ask_iv": round(float(ask_iv[i]) * 100, 2) if np.isfinite(ask_iv[i]) else np.nan,
                    "mark_iv": round(float(true_iv[i]) * 100, 2), "iv_unit": "percent",
                    "underlying": underlying, "index_price": spot})
    table = pd.DataFrame(rows)
    if bad_rows:
        first = table.iloc[len(table) // 3].to_dict()
        bad = []
        for change in ({"bid": 0.05, "ask": 0.04}, {"bid": -0.01}, {"option_type": "X"},
                       {"bid": np.nan, "ask": np.nan, "mark": np.nan}):
            r = dict(first)
            r.update(change)
            bad.append(r)
        table = pd.concat([table, pd.DataFrame(bad)], ignore_index=True)
    out.table = table
    return out


# ------------------------------------------------------------------ other layouts

LAYOUTS = ("deribit", "bybit", "tardis")


def to_layout(table: pd.DataFrame, layout: str):
    """A tidy chain (such as `make_chain(...).table`) as an exchange or a
    data vendor sends it, for trying read_chain's readers:

    - "deribit": the dict of a get_book_summary_by_currency response
      (premiums in `premium_currency`, mark IV in percent, null for an
      empty side, `creation_timestamp` in ms);
    - "bybit": the dict of a v5 market/tickers?category=option response:
      every number a string, "0" for an empty side, premiums in USDT (coin
      premiums times the row's underlying price), names with -USDT;
    - "tardis": an options_chain DataFrame (write it with to_csv), one
      update per option at the table's observation time.

    Rows the layout cannot carry (no instrument name) are left out."""
    if layout not in LAYOUTS:
        raise ValueError(f"unknown layout {layout!r}: use one of {', '.join(LAYOUTS)}")
    t = table[table["instrument"].notna()].reset_index(drop=True)
    obs = pd.to_datetime(t["observation_time_utc"], utc=True)
    ms = obs.dt.as_unit("ms").astype("int64").to_numpy()
    percent = t["iv_unit"].eq("percent").to_numpy() if "iv_unit" in t else np.zeros(len(t), bool)

    def iv_percent(col):
        v = t[col].to_numpy(float) if col in t else np.full(len(t), np.nan)
        return np.where(percent, v, v * 100.0)

    def opt(v):
        return None if v is None or (isinstance(v, float) and math.isnan(v)) else float(v)

    if layout == "deribit":
        result = [{
            "instrument_name": r.instrument, "base_currency": r.underlying, "quote_currency": r.premium_currency,
            "bid_price": opt(r.bid), "ask_price": opt(r.ask), "mark_price": opt(r.mark), "mark_iv": opt(iv),
            "underlying_price": opt(r.underlying_price), "creation_timestamp": int(m),
        } for r, iv, m in zip(t.itertuples(index=False), iv_percent("mark_iv"), ms)]
        us = int(ms.max()) * 1000
        return {"jsonrpc": "2.0", "result": result, "usIn": us, "usOut": us, "usDiff": 0, "testnet": False}
    if layout == "bybit":
        coin = t["premium_currency"].str.upper().eq(t["underlying"].str.upper()).to_numpy()
        scale = np.where(coin, t["underlying_price"].to_numpy(float), 1.0)

        def text(v):
            return "0" if not np.isfinite(v) else repr(float(v))

        lst = [{"symbol": f"{r.instrument}-USDT", "bid1Price": text(r.bid * s), "ask1Price": text(r.ask * s),
                "markPrice": text(r.mark * s), "markIv": text(iv / 100.0),
                "underlyingPrice": text(r.underlying_price)}
               for r, s, iv in zip(t.itertuples(index=False), scale, iv_percent("mark_iv"))]
        return {"retCode": 0, "retMsg": "OK", "result": {"category": "option", "list": lst},
                "retExtInfo": {}, "time": int(ms.max())}
    us = ms * 1000
    expiration = pd.to_datetime(t["expiry_utc"], utc=True)
    return pd.DataFrame({
        "exchange": "deribit", "symbol": t["instrument"], "timestamp": us, "local_timestamp": us,
        "type": np.where(t["option_type"].str.upper().str.startswith("C"), "call", "put"),
        "strike_price": t["strike"], "expiration": expiration.dt.as_unit("us").astype("int64").to_numpy(),
        "bid_price": t["bid"], "bid_iv": iv_percent("bid_iv"), "ask_price": t["ask"], "ask_iv": iv_percent("ask_iv"),
        "mark_price": t["mark"], "mark_iv": iv_percent("mark_iv"), "underlying_price": t["underlying_price"],
    })
