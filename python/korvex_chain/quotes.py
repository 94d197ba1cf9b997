"""A quote table in, a priced chain out.

`read_chain` takes an option chain as a pandas DataFrame, a CSV file in the
tidy one-row-per-option layout, or raw exchange instrument names, and turns
it into a `Chain`: every row that can be priced gets its expiry, strike and
side, its premiums in quote currency, the forward and time to expiry of its
expiry and the implied vols of its bid, ask, mid and mark, each with the
reason when it is missing. Rows that cannot be priced (crossed or empty
quotes, unknown sides, unparsable names, negative prices...) are kept in
`Chain.rejected` with the reason: they are reported, never dropped silently
and never priced.
"""

from __future__ import annotations

import datetime as dt
import os
import re
from dataclasses import dataclass, field

import numpy as np
import pandas as pd

from ._inputs import side_or_none
from .arrays import IVStatus, implied_vols
from .forwards import expiry_forwards
from .timing import check_clock, ttx_between
from .timing import to_utc as _to_utc

__all__ = ["Chain", "read_chain", "parse_instrument", "IV_STATUS_NAMES"]

# Why a vol is missing, per quote side. The first five are the kernel's
# IVStatus codes; "no_quote" marks a side that the table does not quote.
IV_STATUS_NAMES = tuple(s.name.lower() for s in IVStatus) + ("no_quote",)
_NO_QUOTE = len(IVStatus)

# Currencies whose premiums are already in the strike's unit. Anything else,
# and in particular the underlying itself, is a coin premium per unit notional.
_QUOTE_CURRENCIES = frozenset({"USD", "USDT", "USDC", "USDE", "BUSD", "FDUSD", "TUSD", "DAI", "EUR"})

# Exchanges cap their quoted IVs (Deribit reports an ask IV of 500 % for far
# asks); such a number says nothing about the market and is treated as absent.
_IV_CAP = 4.9999

_MONTHS = {m: i for i, m in enumerate(
    ("JAN", "FEB", "MAR", "APR", "MAY", "JUN", "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"), start=1)}

# BTC-27DEC24-100000-C, BTC-241227-100000-C, BTC-3JUL25-101000-C-USDT,
# BTC_USDC-27DEC24-100000-C, BTC-USD-241227-100000-C, XRP_USDC-27DEC24-0d625-C.
_INSTRUMENT = re.compile(
    r"^(?P<und>[A-Z0-9]+)(?:[-_](?P<quote>[A-Z]+))?-(?P<exp>\d{1,2}[A-Z]{3}\d{2}|\d{6})"
    r"-(?P<strike>\d+(?:[.D]\d+)?)-(?P<side>[A-Z]+)(?:-(?P<settle>[A-Z]+))?$")


@dataclass
class Chain:
    """A priced option chain.

    `quotes` holds one row per accepted option, indexed like the input rows;
    `rejected` the input rows that were not priced and why; `expiries` one
    row per underlying and expiry with the forward (and how it was found),
    the time to expiry on the chosen clock and the observation time."""

    quotes: pd.DataFrame
    rejected: pd.DataFrame
    expiries: pd.DataFrame
    clock: str
    observation_time: pd.Timestamp
    n_input: int
    warnings: list[str] = field(default_factory=list)

    def positions(self) -> dict:
        """(underlying, expiry) -> row positions in `quotes` (computed once)."""
        cached = self.__dict__.get("_positions")
        if cached is None or cached[0] is not self.quotes:
            cached = (self.quotes, self.quotes.groupby(["underlying", "expiry"], sort=False).indices)
            self.__dict__["_positions"] = cached
        return cached[1]

    def expiry_quotes(self, underlying: str, expiry) -> pd.DataFrame:
        """The accepted rows of one underlying and expiry."""
        exp = _to_utc(expiry)
        q = self.quotes
        sel = q[(q["underlying"] == underlying) & (q["expiry"] == exp)]
        if sel.empty:
            raise KeyError(f"no quotes for {underlying} {exp.isoformat()}")
        return sel

    def summary(self) -> str:
        lines = [f"{self.n_input} rows: {len(self.quotes)} priced, {len(self.rejected)} rejected"]
        if len(self.rejected):
            for reason, n in self.rejected["reason"].value_counts().items():
                lines.append(f"  rejected ({n}): {reason}")
        return "\n".join(lines)


def parse_instrument(name: str, expiry_hour: int = 8) -> tuple[str, pd.Timestamp, float, bool]:
    """(underlying, expiry, strike, is_call) of an exchange instrument name.

    Expiry dates come as 27DEC24 or 241227 and settle at `expiry_hour` UTC,
    the usual crypto delivery time. Raises ValueError for anything else."""
    m = _INSTRUMENT.match(str(name).strip().upper())
    if m is None:
        raise ValueError(f"unparsable instrument name {name!r}")
    e = m["exp"]
    try:
        if e[-5:-2].isalpha():
            day, mon, yy = int(e[:-5]), _MONTHS[e[-5:-2]], int(e[-2:])
        else:
            yy, mon, day = int(e[:2]), int(e[2:4]), int(e[4:])
        expiry = pd.Timestamp(dt.datetime(2000 + yy, mon, day, expiry_hour, tzinfo=dt.timezone.utc))
    except (KeyError, ValueError):
        raise ValueError(f"unparsable expiry in instrument name {name!r}") from None
    is_call = side_or_none(m["side"])
    if is_call is None:
        raise ValueError(f"unknown option side {m['side']!r} in instrument name {name!r}")
    strike = float(m["strike"].replace("D", "."))
    return m["und"], expiry, strike, is_call


def _parse_times(col: pd.Series, expiry_hour: int | None = None) -> pd.Series:
    """UTC timestamps; a bare date (no time of day) gets `expiry_hour` UTC."""
    text = col.astype("string")
    out = pd.to_datetime(text, utc=True, errors="coerce", format="ISO8601")
    if expiry_hour is not None:
        bare = text.str.fullmatch(r"\s*\d{4}-\d{2}-\d{2}\s*").fillna(False).to_numpy(bool)
        out = out.where(~bare, out + pd.Timedelta(hours=expiry_hour))
    return out


def _side(col: pd.Series) -> pd.Series:
    """True for calls, False for puts, <NA> for anything else."""
    s = col.astype("string")
    return s.map({v: side_or_none(v) for v in s.dropna().unique()}).astype("boolean")


def _num(df: pd.DataFrame, name: str) -> pd.Series:
    if name not in df.columns:
        return pd.Series(np.nan, index=df.index, dtype=float)
    return pd.to_numeric(df[name], errors="coerce").astype(float)


def read_chain(source, *, observation_time=None, clock: str = "calendar", calendar=None, expiry_hour: int = 8,
               premium_currency: str | None = None, quote_ivs: str = "auto",
               time_per_row: bool | None = None, threads: int | None = None) -> Chain:
    """Read and price an option chain.

    `source` is a DataFrame, a path to a CSV file, or a list of instrument
    names. Columns (the tidy layout): `expiry_utc`, `strike`, `option_type`
    (C/P/call/put), or instead an `instrument` name to parse; `bid`, `ask`,
    `mark` (any of them may be empty); optional `premium_currency`,
    `underlying`, `underlying_price` (the forward of the row's expiry),
    `observation_time_utc`, and the exchange's `bid_iv`, `ask_iv`, `mark_iv`
    with `iv_unit` ("percent" or "decimal").

    `clock` is "calendar" (365-day years, the usual exchange convention) or
    "business" (korvex's weighted business time, on `calendar`: "BTCUSDT"
    by default, or a calendar document as bus_ttx takes it).
    `observation_time` overrides the table's times. With per-row times in
    the table, each premium is inverted at its own time to expiry
    (`time_per_row`, default: whenever the rows' times differ), while the
    expiry's `ttx` (for the fits and greeks) is taken at the median time of
    its rows. `quote_ivs` selects the vols used as the quotes' bid/ask IVs
    for fitting: "exchange" (the table's bid_iv/ask_iv), "premium" (the IVs
    of the bid/ask premiums) or "auto" (the exchange's when the table has
    them, else the premiums')."""
    check_clock(clock, calendar)
    if quote_ivs not in ("auto", "exchange", "premium"):
        raise ValueError(f"unknown quote_ivs {quote_ivs!r}: use 'auto', 'exchange' or 'premium'")
    df = _load(source)
    if len(df) == 0:
        raise ValueError("empty chain: the table has no rows")
    n = len(df)
    df = df.reset_index(drop=True)
    reasons = pd.Series("", index=df.index, dtype=object)

    def reject(mask, why):
        mask = pd.Series(np.asarray(mask, bool), index=df.index) & (reasons == "")
        reasons[mask] = why

    # Identity of each option: from the columns, else from the instrument name.
    have_cols = {"expiry_utc", "strike", "option_type"} <= set(df.columns)
    if not have_cols and "instrument" not in df.columns:
        missing = sorted({"expiry_utc", "strike", "option_type"} - set(df.columns))
        raise ValueError(f"missing columns {missing} (or an 'instrument' column to parse)")
    und = df["underlying"].astype("string") if "underlying" in df.columns else pd.Series(pd.NA, index=df.index, dtype="string")
    if have_cols:
        expiry = _parse_times(df["expiry_utc"], expiry_hour)
        strike = _num(df, "strike")
        is_call = _side(df["option_type"])
        reject(expiry.isna(), "unparsable expiry")
        reject(is_call.isna(), "unknown option side")
        if "instrument" in df.columns:
            und = und.fillna(df["instrument"].astype("string").str.extract(r"^([A-Za-z0-9]+)", expand=False).str.upper())
    else:
        expiry = pd.Series(pd.NaT, index=df.index, dtype="datetime64[ns, UTC]")
        strike = pd.Series(np.nan, index=df.index)
        is_call = pd.Series(pd.NA, index=df.index, dtype="boolean")
        for i, name in df["instrument"].items():
            try:
                u, e, k, c = parse_instrument(name, expiry_hour)
            except ValueError as exc:
                reasons[i] = str(exc)
                continue
            expiry[i], strike[i], is_call[i] = e, k, c
            if pd.isna(und[i]):
                und[i] = u
    und = und.fillna("?")
    reject(~(strike > 0), "strike missing or not positive")

    bid, ask, mark = _num(df, "bid"), _num(df, "ask"), _num(df, "mark")
    reject((bid < 0) | (ask < 0) | (mark < 0), "negative price")
    # A zero bid is "no bid" on every exchange we read; a zero ask is no offer.
    bid = bid.where(~(bid == 0))
    ask = ask.where(~(ask == 0))
    reject(bid.isna() & ask.isna() & mark.isna(), "empty quote (no bid, ask or mark)")
    reject(bid > ask, "crossed quote (bid above ask)")

    # Observation time per row: given, or the table's, or refuse to guess.
    if observation_time is not None:
        obs = pd.Series(_to_utc(observation_time), index=df.index)
        given_time = True
    elif "observation_time_utc" in df.columns:
        obs = _parse_times(df["observation_time_utc"])
        reject(obs.isna(), "unparsable observation time")
        given_time = False
    else:
        raise ValueError("no observation time: pass observation_time= or give an observation_time_utc column")
    reject(expiry <= obs, "expired at the observation time")

    if premium_currency is not None:
        pccy = pd.Series(premium_currency, index=df.index, dtype="string")
    elif "premium_currency" in df.columns:
        pccy = df["premium_currency"].astype("string").fillna("USD")
    else:
        pccy = pd.Series("USD", index=df.index, dtype="string")
    pccy = pccy.str.upper()
    is_coin = (pccy == und.str.upper()) | ~pccy.isin(_QUOTE_CURRENCIES)

    ok = reasons == ""
    rejected = df.loc[~ok].copy()
    rejected.insert(0, "reason", reasons[~ok])
    q = pd.DataFrame({
        "underlying": und[ok].astype(str), "expiry": expiry[ok], "strike": strike[ok],
        "is_call": is_call[ok].astype(bool), "observation_time": obs[ok],
        "premium_currency": pccy[ok].astype(str), "coin_premium": is_coin[ok].astype(bool),
        "bid_premium": bid[ok], "ask_premium": ask[ok], "mark_premium": mark[ok],
    })
    if "instrument" in df.columns:
        q.insert(0, "instrument", df.loc[ok, "instrument"].astype(str))
    if q.empty:
        raise ValueError("empty chain: no row can be priced\n" + rejected["reason"].value_counts().to_string())

    ref_time = obs[ok].median() if not given_time else obs.iloc[0]
    per_row = time_per_row if time_per_row is not None else (not given_time and q["observation_time"].nunique() > 1)
    if not per_row:
        q["observation_time"] = q.groupby(["underlying", "expiry"])["observation_time"].transform("median")

    # Forwards per expiry, then premiums in quote currency.
    und_px = _num(df, "underlying_price")[ok]
    expiries = expiry_forwards(q, und_px)
    fwd = q.set_index(["underlying", "expiry"]).index.map(expiries.set_index(["underlying", "expiry"])["forward"])
    q["forward"] = np.asarray(fwd, float)
    nofwd = ~np.isfinite(q["forward"].to_numpy())
    warnings = []
    if nofwd.any():
        # Without a forward nothing of the expiry can be priced: its rows
        # are reported with the reason, not priced on a guess.
        meth = q.set_index(["underlying", "expiry"]).index.map(
            expiries.set_index(["underlying", "expiry"])["forward_method"])
        extra = df.loc[q.index[nofwd]].copy()
        extra.insert(0, "reason", ["no forward for this expiry (" + str(m) + ")" for m in np.asarray(meth)[nofwd]])
        rejected = pd.concat([rejected, extra]).sort_index()
        for _, r in expiries[~np.isfinite(expiries["forward"])].iterrows():
            warnings.append(f"{r['underlying']} {r['expiry']:%Y-%m-%d}: no forward ({r['forward_method']})")
        q = q.loc[~nofwd].copy()
        expiries = expiries[np.isfinite(expiries["forward"])]
        if q.empty:
            raise ValueError("empty chain: no expiry has a forward\n" + "\n".join(warnings))
    # A row that comes with its own underlying price was quoted against it:
    # its premium is converted and inverted on that price (the rows of one
    # expiry can be minutes apart). The expiry's forward anchors the fits,
    # and each row enters a fit at its own log-moneyness ln(K / row_forward).
    rowpx = und_px[q.index]
    q["row_forward"] = np.where(np.isfinite(rowpx) & (rowpx > 0), rowpx, q["forward"])
    scale = np.where(q["coin_premium"], q["row_forward"], 1.0)
    for side in ("bid", "ask", "mark"):
        q[side] = q[f"{side}_premium"] * scale
    q["mid"] = 0.5 * (q["bid"] + q["ask"])

    # Times to expiry: per row (for the inversions) and per expiry (for fits).
    obs_e = q.groupby(["underlying", "expiry"])["observation_time"].median().rename("observation_time")
    expiries = expiries.join(obs_e, on=["underlying", "expiry"])
    expiries["ttx"] = ttx_between(expiries["observation_time"], expiries["expiry"], clock, calendar=calendar,
                                  threads=threads)
    expiries["clock"] = clock
    q["ttx"] = ttx_between(q["observation_time"], q["expiry"], clock, calendar=calendar, threads=threads)

    _implied_vols(q, threads)
    _exchange_ivs(df.loc[q.index], q)
    _quote_ivs(q, quote_ivs)
    q["otm"] = np.where(q["is_call"], q["strike"] >= q["row_forward"], q["strike"] < q["row_forward"])
    q["log_moneyness"] = np.log(q["strike"] / q["row_forward"])

    return Chain(quotes=q, rejected=rejected, expiries=expiries.reset_index(drop=True), clock=clock,
                 observation_time=ref_time, n_input=n, warnings=warnings)


def _load(source) -> pd.DataFrame:
    if isinstance(source, pd.DataFrame):
        return source.copy()
    if isinstance(source, (str, os.PathLike)):
        return pd.read_csv(source, dtype={"instrument": "string", "option_type": "string"})
    if isinstance(source, (list, tuple, np.ndarray, pd.Series)):
        return pd.DataFrame({"instrument": list(source)})
    raise TypeError(f"cannot read a chain from {type(source).__name__}: give a DataFrame, a CSV path or instrument names")


def _implied_vols(q: pd.DataFrame, threads) -> None:
    """bid/ask/mid/mark IVs of the quote-currency premiums, with statuses."""
    for side in ("bid", "ask", "mid", "mark"):
        price = q[side].to_numpy(float)
        vols, status = implied_vols(q["ttx"].to_numpy(float), q["row_forward"].to_numpy(float),
                                    q["strike"].to_numpy(float), price, q["is_call"].to_numpy(bool),
                                    status=True, threads=threads)
        status = np.asarray(status, np.int8).copy()
        status[np.isnan(price)] = _NO_QUOTE
        q[f"{side}_iv"] = np.where(status == 0, vols, np.nan)
        q[f"{side}_iv_status"] = pd.Categorical.from_codes(status, IV_STATUS_NAMES)


def _exchange_ivs(src: pd.DataFrame, q: pd.DataFrame) -> None:
    """The table's own IVs, as decimals, with capped values made absent."""
    unit = src["iv_unit"].astype("string").str.lower() if "iv_unit" in src.columns else None
    for side in ("bid", "ask", "mark"):
        v = _num(src, f"{side}_iv")
        if unit is not None:
            v = v.where(unit != "percent", v / 100.0)
        v = v.where((v > 0) & (v < _IV_CAP))
        q[f"exchange_{side}_iv"] = v.to_numpy(float)


def _quote_ivs(q: pd.DataFrame, mode: str) -> None:
    ex_b, ex_a = q["exchange_bid_iv"], q["exchange_ask_iv"]
    if mode == "premium":
        b, a = q["bid_iv"], q["ask_iv"]
    elif mode == "exchange":
        b, a = ex_b, ex_a
    elif ex_b.notna().any() or ex_a.notna().any():
        # The table carries the exchange's own bid/ask IVs: they are the
        # market's statement of the quote in vol, computed on the exchange's
        # own forward and clock, so they are used as given.
        b, a = ex_b, ex_a
    else:
        b, a = q["bid_iv"], q["ask_iv"]
    q["quote_bid_iv"] = b.to_numpy(float)
    q["quote_ask_iv"] = a.to_numpy(float)
