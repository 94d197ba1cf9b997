"""A quote table in, a priced chain out.

`read_chain` takes an option chain as the exchanges and data vendors give
it (a Deribit or Bybit JSON response, a Tardis.dev options_chain file), in
the tidy one-row-per-option layout, as any other table through a column
mapping, or as raw exchange instrument names. The layout readers
(`korvex_chain.readers`) hand over one table under the tidy names; this
module turns it into a `Chain`: every row that can be priced gets its
expiry, strike and side, its premiums in quote currency, the forward and
time to expiry of its expiry and the implied vols of its bid, ask, mid and
mark, each with the reason when it is missing. Rows that cannot be priced
(crossed or empty quotes, unknown sides, unparsable names, unreadable or
negative prices, duplicates...) are kept in `Chain.rejected` with the
reason: they are reported, never dropped silently and never priced.

Everything runs over whole columns: text is parsed once per distinct value,
and the four implied-vol columns are one kernel call.
"""

from __future__ import annotations

import datetime as dt
import numbers
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import pandas as pd
import pyarrow as pa

from .forwards import fill_from_term_structure, group_codes, group_forwards
from .readers import parse_names, read_table
from .readers.columns import instants, is_empty, numbers as number_column, texts
from .readers.names import INSTRUMENT, expiry_date
from .readers.table import COIN, Table, coded_text, make_frame, text_array, utc_array
from ._inputs import side_code, side_or_none
from .arrays import IVStatus, start_implied_vols
from .timing import EMBEDDED_CALENDAR, check_clock, ttx_ns
from .timing import to_utc as _to_utc

__all__ = ["Chain", "read_chain", "parse_instrument", "IV_STATUS_NAMES"]

# Why a vol is missing, per quote side. The first five are the kernel's
# IVStatus codes; "no_quote" marks a side that the table does not quote.
IV_STATUS_NAMES = tuple(s.name.lower() for s in IVStatus) + ("no_quote",)
_NO_QUOTE = len(IVStatus)
_STATUS_DTYPE = pd.CategoricalDtype(IV_STATUS_NAMES)

# Currencies whose premiums are already in the strike's unit. A premium in
# the underlying itself is a coin premium per unit notional; any other
# currency is not one we can convert, and its rows are reported.
_QUOTE_CURRENCIES = frozenset({"USD", "USDT", "USDC", "USDE", "BUSD", "FDUSD", "TUSD", "DAI", "EUR"})

# Exchanges cap their quoted IVs (Deribit reports an ask IV of 500 % for far
# asks); such a number says nothing about the market and is treated as absent.
_IV_CAP = 4.9999

_IV_UNITS = {"percent": 100.0, "decimal": 1.0}
_PRICES = ("bid", "ask", "mark")
_SIDES = ("bid", "ask", "mid", "mark")


@dataclass
class Chain:
    """A priced option chain.

    `quotes` holds one row per accepted option, indexed like the input rows;
    `rejected` the input rows that were not priced and why; `expiries` one
    row per underlying and expiry with the forward (and how it was found),
    the time to expiry on the chosen clock and the observation time.
    `format` is the layout the source was read as, `read_as` how it was
    chosen, `notes` what the reader did (a snapshot's instant...).
    `calendar` is the trading calendar of the business clock (an embedded
    name or a calendar document, as bus_ttx takes it); None on the
    calendar clock."""

    quotes: pd.DataFrame
    rejected: pd.DataFrame
    expiries: pd.DataFrame
    clock: str
    observation_time: pd.Timestamp
    n_input: int
    warnings: list[str] = field(default_factory=list)
    format: str = "tidy"
    read_as: str = ""
    notes: list[str] = field(default_factory=list)
    calendar: Any = None

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
        if self.read_as:
            lines.append(f"  read as {self.read_as}")
        lines += [f"  {n}" for n in self.notes]
        if len(self.rejected):
            for reason, n in self.rejected["reason"].value_counts().items():
                lines.append(f"  rejected ({n}): {reason}")
        return "\n".join(lines)


def parse_instrument(name: str, expiry_hour: int = 8) -> tuple[str, pd.Timestamp, float, bool]:
    """(underlying, expiry, strike, is_call) of an exchange instrument name.

    Expiry dates come as 27DEC24 or 241227 and settle at `expiry_hour` UTC,
    the usual crypto delivery time. Raises ValueError for anything else."""
    m = INSTRUMENT.match(str(name).strip().upper())
    if m is None:
        raise ValueError(f"unparsable instrument name {name!r}")
    try:
        day = expiry_date(m["exp"])
    except ValueError:
        raise ValueError(f"unparsable expiry in instrument name {name!r}") from None
    expiry = pd.Timestamp(dt.datetime(day.year, day.month, day.day, expiry_hour, tzinfo=dt.timezone.utc))
    is_call = side_or_none(m["side"])
    if is_call is None:
        raise ValueError(f"unknown option side {m['side']!r} in instrument name {name!r}")
    strike = float(m["strike"].replace("D", "."))
    return m["und"], expiry, strike, is_call


def _instant(value, name: str) -> np.datetime64:
    """A given instant as datetime64[ns] UTC. Numbers are epoch seconds, as
    everywhere in korvex_chain (the array functions read them so)."""
    if isinstance(value, (bool, np.bool_)) or value is None:
        raise TypeError(f"{name} must be an instant, not {value!r}")
    if isinstance(value, numbers.Real):
        v = float(value)
        if not np.isfinite(v):
            raise ValueError(f"{name} must be a finite instant, not {value!r}")
        whole = np.floor(v)
        ns = int(whole) * 1_000_000_000 + int(round((v - whole) * 1e9))
        try:
            ts = pd.Timestamp(ns, unit="ns", tz="UTC")
        except (OverflowError, ValueError):
            raise ValueError(f"{name} is out of range: {value!r}") from None
    else:
        try:
            ts = pd.Timestamp(value)
        except (TypeError, ValueError) as exc:
            raise ValueError(f"{name}: unreadable instant {value!r} ({exc})") from None
        if ts is pd.NaT:
            raise ValueError(f"{name} must be an instant, not NaT")
        ts = ts.tz_localize("UTC") if ts.tzinfo is None else ts.tz_convert("UTC")
    return ts.tz_localize(None).as_unit("ns").to_datetime64()


def read_chain(source, *, format: str = "auto", columns: dict | None = None, iv_unit: str | None = None,
               at=None, max_age=None, observation_time=None, clock: str = "calendar", calendar=None,
               expiry_hour: int = 8,
               premium_currency: str | None = None, quote_ivs: str = "auto",
               time_per_row: bool | None = None, threads: int | None = None) -> Chain:
    """Read and price an option chain.

    `source` is a path (CSV, plain or gzip, or JSON), CSV or JSON text or
    bytes, parsed JSON (a dict or a list of dicts), a DataFrame, or a list of
    instrument names. `format` names its layout:

    - "tidy": one row per option: `expiry_utc`, `strike`, `option_type`
      (C/P/call/put), or instead an `instrument` name to parse; `bid`,
      `ask`, `mark` (any of them may be empty); optional
      `premium_currency` (default USD), `underlying`, `underlying_price`
      (the forward of the row's expiry), `observation_time_utc`, and the
      exchange's `bid_iv`, `ask_iv`, `mark_iv` with `iv_unit` ("percent" or
      "decimal"; default decimal).
    - "deribit": the JSON of public/get_book_summary_by_currency (the whole
      response, its `result` list, or a list of responses): coin premiums
      (`quote_currency`), `mark_iv` in percent, observation time
      `creation_timestamp` (ms).
    - "tardis": a Tardis.dev options_chain CSV (plain or .gz) of updates:
      the snapshot at `at` (an instant; numbers are epoch seconds; default
      the last update in the file) is the latest update of each option at
      or before it; with `max_age` (seconds or a Timedelta) options not
      updated within that age are reported in `rejected` as stale.
    - "bybit": the v5 market/tickers?category=option JSON: strings, "0" for
      an empty field, decimal IVs, observation time the response's `time`.
    - "auto" (default): recognised by the column names or JSON keys;
      `Chain.format` and `summary()` say which layout was read.

    Any other table reads through `columns={tidy name: source name}` (plus
    `iv_unit=` when it has IVs and `premium_currency=` unless a column is
    mapped to it); source columns already named as tidy columns are read
    as such unless the mapping uses them.

    `clock` is "calendar" (365-day years, the usual exchange convention) or
    "business" (korvex's weighted business time, on `calendar`: "BTCUSDT"
    by default, or a calendar document as bus_ttx takes it).
    `observation_time` (an instant; numbers are epoch seconds) overrides
    the source's times. With per-row times in the table, each premium is
    inverted at its own time to expiry (`time_per_row`, default: whenever
    the rows' times differ), while the expiry's `ttx` (for the fits and
    greeks) is taken at the median time of its rows. `quote_ivs` selects
    the vols used as the quotes' bid/ask IVs for fitting: "exchange" (the
    table's bid_iv/ask_iv), "premium" (the IVs of the bid/ask premiums) or
    "auto" (the exchange's when the table has them, else the premiums')."""
    check_clock(clock, calendar)
    if quote_ivs not in ("auto", "exchange", "premium"):
        raise ValueError(f"unknown quote_ivs {quote_ivs!r}: use 'auto', 'exchange' or 'premium'")
    if iv_unit is not None and iv_unit not in _IV_UNITS:
        raise ValueError(f"unknown iv_unit {iv_unit!r}: use 'percent' or 'decimal'")
    if isinstance(expiry_hour, bool) or not isinstance(expiry_hour, numbers.Integral) or not 0 <= expiry_hour <= 23:
        raise ValueError(f"expiry_hour must be a whole hour from 0 to 23, not {expiry_hour!r}")
    given = None if observation_time is None else _instant(observation_time, "observation_time")
    table = read_table(source, format=format, columns=columns, iv_unit=iv_unit,
                       premium_currency=premium_currency, at=at, max_age=max_age)
    return price_table(table, observation_time=given, clock=clock, calendar=calendar, expiry_hour=int(expiry_hour),
                       premium_currency=premium_currency, iv_unit=iv_unit, quote_ivs=quote_ivs,
                       time_per_row=time_per_row, threads=threads)


class _Labels:
    """Text per row as codes into its distinct values (code -1: none), so
    that work on text is done once per distinct value."""

    def __init__(self, codes: np.ndarray, names: list[str]):
        self.codes = np.array(codes, dtype=np.intp)
        self.names = list(names)

    @classmethod
    def none(cls, n: int) -> _Labels:
        return cls(np.full(n, -1, dtype=np.intp), [])

    @classmethod
    def const(cls, n: int, name: str) -> _Labels:
        return cls(np.zeros(n, dtype=np.intp), [name])

    @classmethod
    def per_instrument(cls, coded: tuple[np.ndarray, list[str]], icodes: np.ndarray) -> _Labels:
        """Labels from codes per distinct instrument (see parse_names)."""
        codes, names = coded
        return cls(np.append(codes, -1)[icodes], names)

    def missing(self) -> np.ndarray:
        return self.codes < 0

    def upper(self) -> _Labels:
        index: dict[str, int] = {}
        remap = np.array([index.setdefault(nm.upper(), len(index)) for nm in self.names] + [-1], dtype=np.intp)
        return _Labels(remap[self.codes], list(index))

    def fill(self, other: _Labels, where: np.ndarray | None = None) -> None:
        """Rows without a label take the other's (where given)."""
        take = (self.codes < 0) & (other.codes >= 0)
        if where is not None:
            take &= where
        if not take.any():
            return
        index = {nm: i for i, nm in enumerate(self.names)}
        remap = np.array([index.setdefault(nm, len(index)) for nm in other.names], dtype=np.intp)
        self.names = list(index)
        self.codes[take] = remap[other.codes[take]]

    def lut(self, fn, missing, dtype) -> np.ndarray:
        return np.array([fn(nm) for nm in self.names] + [missing], dtype=dtype)[self.codes]

    def same_as(self, other: _Labels) -> np.ndarray:
        index = {nm: i for i, nm in enumerate(other.names)}
        mine = np.array([index.get(nm, -2) for nm in self.names] + [-3], dtype=np.intp)
        return mine[self.codes] == other.codes


class _Reasons:
    """The first reason each row is rejected for (code 0: none yet)."""

    def __init__(self, n: int):
        self.code = np.zeros(n, dtype=np.int32)
        self.texts = [""]
        self._index: dict[str, int] = {}

    def add(self, mask, why: str) -> None:
        mask = np.asarray(mask, dtype=bool)
        if not mask.any():
            return
        sel = mask & (self.code == 0)
        if sel.any():
            self.code[sel] = self._id(why)

    def add_per_row(self, row_reason: np.ndarray) -> None:
        """Rows with their own reason (an object array, None for none)."""
        has = (row_reason != None) & (self.code == 0)  # noqa: E711 (elementwise)
        for i in np.flatnonzero(has):
            self.code[i] = self._id(row_reason[i])

    def _id(self, why: str) -> int:
        i = self._index.get(why)
        if i is None:
            i = self._index[why] = len(self.texts)
            self.texts.append(why)
        return i

    @property
    def ok(self) -> np.ndarray:
        return self.code == 0

    def of(self, pos: np.ndarray) -> np.ndarray:
        return np.asarray(self.texts, dtype=object)[self.code[pos]]


def price_table(table: Table, *, observation_time=None, clock: str = "calendar", calendar=None, expiry_hour: int = 8,
                premium_currency: str | None = None, iv_unit: str | None = None, quote_ivs: str = "auto",
                time_per_row: bool | None = None, threads: int | None = None) -> Chain:
    """Price a table under the tidy names (see read_chain)."""
    n = table.n
    if n == 0:
        raise ValueError("empty chain: the table has no rows")
    cols = {k: v for k, v in table.columns.items() if v is not None}
    rs = _Reasons(n)
    for where, reason in table.rejected:
        mask = np.zeros(n, dtype=bool)
        mask[where] = True
        rs.add(mask, reason)

    # Identity of each option: from the columns, else from the instrument name.
    have_cols = all(c in cols for c in ("expiry_utc", "strike", "option_type"))
    inst = cols.get("instrument")
    if inst is not None and is_empty(inst) and not have_cols:
        inst = None
    if not have_cols and inst is None:
        missing = sorted({"expiry_utc", "strike", "option_type"} - set(cols))
        raise ValueError(f"missing columns {missing} (or an 'instrument' column to parse)")
    und_col = cols.get("underlying")
    und_codes, und_uniq = texts(und_col, "underlying") if und_col is not None else (None, [])
    names = None
    if inst is not None:
        icodes, iuniq = texts(inst, "instrument", arrow_uniques=True)
        if not have_cols or und_codes is None or (und_codes < 0).any() or table.name_currency is not None:
            names = parse_names(iuniq, expiry_hour)

    def from_names(values, missing_value):
        return np.append(values, np.array([missing_value], dtype=values.dtype))[icodes]

    if have_cols:
        expiry, bad = instants(cols["expiry_utc"], "expiry_utc", expiry_hour)
        rs.add(np.isnat(expiry), "unparsable expiry")
        strike, bad = number_column(cols["strike"], "strike")
        if bad is not None:
            rs.add(bad, "unreadable strike (not a number)")
        side_codes, side_uniq = texts(cols["option_type"], "option_type")
        lut = np.array([side_code(s) for s in side_uniq] + [-1], dtype=np.int8)
        side = lut[side_codes]
        rs.add(side < 0, "unknown option side")
    else:
        assert names is not None
        err = from_names(names.error, None)
        if (icodes < 0).any():
            err = err.copy()
            err[icodes < 0] = "missing instrument name"
        rs.add_per_row(err)
        expiry = from_names(names.expiry, np.datetime64("NaT", "ns"))
        strike = from_names(names.strike, np.nan)
        side = from_names(names.is_call, np.int8(-1))
    rs.add(~(np.isfinite(strike) & (strike > 0)), "strike missing, not finite or not positive")

    # Underlying: the column, else the name's first part, else (below) a coin
    # premium currency, which is the underlying of an inverse option.
    und = _Labels(und_codes, und_uniq) if und_codes is not None else _Labels.none(n)
    if names is not None and und.missing().any():
        und.fill(_Labels.per_instrument(names.underlying, icodes))

    # Premium currency: given, or the table's column, or the name's
    # settlement (the layout's rule), else USD.
    if premium_currency is not None:
        pccy = _Labels.const(n, str(premium_currency).upper())
    elif "premium_currency" in cols:
        pccy = _Labels(*texts(cols["premium_currency"], "premium_currency")).upper()
        pccy.fill(_Labels.const(n, "USD"))
    elif table.name_currency is not None and names is not None:
        pccy = _Labels.per_instrument(names.currency, icodes).upper()
        pccy.fill(und if table.name_currency == COIN else _Labels.const(n, table.name_currency))
        pccy.fill(_Labels.const(n, "?"))
    else:
        pccy = _Labels.const(n, "USD")
    quote_ccy = pccy.lut(lambda c: c in _QUOTE_CURRENCIES, False, bool)
    if und.missing().any():
        und.fill(pccy, where=~quote_ccy)
        und.fill(_Labels.const(n, "?"))
    is_coin = ~quote_ccy & und.same_as(pccy)
    foreign = ~quote_ccy & ~is_coin
    if foreign.any():
        for j in np.unique(pccy.codes[foreign]):
            rs.add(foreign & (pccy.codes == j), f"unknown premium currency {pccy.names[j]!r}: neither a quote "
                                                "currency nor the underlying")

    # Premiums: unreadable or infinite cells reject the row; a zero bid is
    # "no bid" on every exchange we read, a zero ask no offer.
    prices = {}
    for name in _PRICES:
        if name in cols:
            v, bad = number_column(cols[name], name)
            if bad is not None:
                rs.add(bad, f"unreadable {name} (not a number)")
        else:
            v = np.full(n, np.nan)
        prices[name] = v
    bid, ask, mark = prices["bid"], prices["ask"], prices["mark"]
    rs.add(np.isinf(bid) | np.isinf(ask) | np.isinf(mark), "price not finite")
    rs.add((bid < 0) | (ask < 0) | (mark < 0), "negative price")
    bid = np.where(bid == 0, np.nan, bid)
    ask = np.where(ask == 0, np.nan, ask)
    rs.add(np.isnan(bid) & np.isnan(ask) & np.isnan(mark), "empty quote (no bid, ask or mark)")
    rs.add(bid > ask, "crossed quote (bid above ask)")

    und_px = np.full(n, np.nan)
    if "underlying_price" in cols:
        und_px, bad = number_column(cols["underlying_price"], "underlying_price")
        if bad is not None:
            rs.add(bad, "unreadable underlying_price (not a number)")
        rs.add(~np.isnan(und_px) & ~(np.isfinite(und_px) & (und_px > 0)),
               "underlying price not finite or not positive")

    ex_ivs = {}
    for name in ("bid_iv", "ask_iv", "mark_iv"):
        if name in cols:
            v, bad = number_column(cols[name], name)
            if bad is not None:
                rs.add(bad, f"unreadable {name} (not a number)")
            ex_ivs[name] = v
    if ex_ivs:
        unit = iv_unit or table.iv_unit
        if unit is not None:
            scale = np.full(n, _IV_UNITS[unit])
        elif "iv_unit" in cols:
            u_codes, u_uniq = texts(cols["iv_unit"], "iv_unit")
            lut = np.array([_IV_UNITS.get(u.strip().lower(), np.nan) for u in u_uniq] + [1.0])
            scale = lut[u_codes]
            unknown = np.isnan(scale)
            if unknown.any():
                has_iv = np.any([~np.isnan(v) for v in ex_ivs.values()], axis=0)
                rs.add(unknown & has_iv, "unknown iv_unit (use percent or decimal)")
        else:
            scale = np.full(n, 1.0)
        for name, v in ex_ivs.items():
            v = np.where(scale == 100.0, v / 100.0, v)
            ex_ivs[name] = np.where((v > 0) & (v < _IV_CAP), v, np.nan)

    # Observation time per row: given, or the table's, or refuse to guess.
    if observation_time is not None:
        obs = np.full(n, observation_time, dtype="datetime64[ns]")
    elif "observation_time_utc" in cols:
        obs, _ = instants(cols["observation_time_utc"], "observation_time_utc")
        rs.add(np.isnat(obs), "unparsable observation time")
    else:
        raise ValueError("no observation time: pass observation_time= or give an observation_time_utc column"
                         + ("" if table.format == "tidy" else f" (the {table.format} source carries none)"))
    rs.add(~np.isnat(expiry) & ~np.isnat(obs) & (expiry <= obs), "expired at the observation time")

    _reject_duplicates(rs, table, [icodes, obs] if inst is not None else [und.codes, expiry, strike, side, obs])

    ok = rs.ok
    pos = np.flatnonzero(ok)
    if pos.size == 0:
        counts = pd.Series(rs.of(np.arange(n))).value_counts()
        raise ValueError("empty chain: no row can be priced\n" + counts.to_string())

    is_call = side[pos] == 1
    coin = is_coin[pos]
    b, a, m, px = bid[pos], ask[pos], mark[pos], und_px[pos]
    # Rows that each carry their forward, observed at one time, need nothing
    # of their expiries to be inverted (every expiry then has a forward, and
    # each row's time is that time): the inversions start here, on threads
    # of their own, while the expiries are worked out.
    early = None
    common_time = obs[pos]
    if (np.isfinite(px) & (px > 0)).all() and (common_time == common_time[0]).all():
        early = _start_inversions(strike[pos], px, coin, b, a, m, common_time, expiry[pos], is_call, clock, calendar,
                                  threads)

    # Forwards per expiry, then premiums in quote currency.
    group, keys = group_codes(und.codes[pos], und.names, expiry[pos])
    ng = len(keys[0])
    g_names, g_times = keys
    g_forward, g_method, g_pairs, g_spread = fill_from_term_structure(
        g_names, g_times, *group_forwards(group, ng, strike[pos], is_call, coin, b, a, m, px))
    given_time = observation_time is not None
    row_obs = obs[pos]
    per_row = time_per_row if time_per_row is not None else (
        not given_time and bool((row_obs != row_obs[0]).any()))
    ref_time = pd.Timestamp(_median_ns(row_obs) if not given_time else observation_time, tz="UTC")

    warnings: list[str] = []
    nofwd_group = ~np.isfinite(g_forward)
    extra_rej = np.empty(0, dtype=np.int64)
    extra_why = np.empty(0, dtype=object)
    if nofwd_group.any():
        # Without a forward nothing of the expiry can be priced: its rows
        # are reported with the reason, not priced on a guess.
        methods = g_method
        row_nofwd = nofwd_group[group]
        extra_rej = pos[row_nofwd]
        extra_why = np.array([f"no forward for this expiry ({methods[g]})" for g in group[row_nofwd]], dtype=object)
        for g in np.flatnonzero(nofwd_group):
            warnings.append(f"{g_names[g]} {pd.Timestamp(g_times[g]):%Y-%m-%d}: no forward ({methods[g]})")
        keep = ~row_nofwd
        if not keep.any():
            raise ValueError("empty chain: no expiry has a forward\n" + "\n".join(warnings))
        remap = np.full(ng, -1, dtype=np.intp)
        remap[~nofwd_group] = np.arange(int((~nofwd_group).sum()))
        pos, group, is_call, coin = pos[keep], remap[group[keep]], is_call[keep], coin[keep]
        b, a, m, px, row_obs = b[keep], a[keep], m[keep], px[keep], row_obs[keep]
        has = ~nofwd_group
        g_names, g_times, g_forward = g_names[has], g_times[has], g_forward[has]
        g_method, g_pairs, g_spread = g_method[has], g_pairs[has], g_spread[has]
        ng = int(has.sum())

    k = strike[pos]
    forward = g_forward[group]
    # A row that comes with its own underlying price was quoted against it:
    # its premium is converted and inverted on that price (the rows of one
    # expiry can be minutes apart). The expiry's forward anchors the fits,
    # and each row enters a fit at its own log-moneyness ln(K / row_forward).
    row_forward = np.where(np.isfinite(px) & (px > 0), px, forward)

    # Times to expiry: per row (for the inversions) and per expiry (for fits).
    exp_rows = expiry[pos]
    g_obs = _group_median_ns(group, row_obs, ng)
    if not per_row:
        row_obs = g_obs[group]
    # The four implied-vol columns are inverted on threads of their own while
    # the rest of the chain is put together here.
    quote, ttx, ivs = early if early is not None else _start_inversions(
        k, row_forward, coin, b, a, m, row_obs, exp_rows, is_call, clock, calendar, threads)
    g_ttx = ttx_ns(g_obs, g_times, clock, calendar, threads)
    expiries = make_frame({
        "underlying": text_array(g_names), "expiry": utc_array(g_times), "forward": g_forward,
        "forward_method": text_array(g_method), "forward_pairs": g_pairs, "forward_spread": g_spread,
        "observation_time": utc_array(g_obs), "ttx": g_ttx, "clock": text_array(np.full(ng, clock, dtype=object))},
        pd.RangeIndex(ng))

    ex = {f"exchange_{s}_iv": (ex_ivs[f"{s}_iv"][pos] if f"{s}_iv" in ex_ivs else np.full(pos.size, np.nan))
          for s in _PRICES}
    data: dict = {}
    if inst is not None:
        data["instrument"] = _instruments(inst, icodes, iuniq, pos, n)
    data.update({
        "underlying": coded_text(und.codes[pos], und.names), "expiry": utc_array(exp_rows),
        "strike": k, "is_call": is_call, "observation_time": utc_array(row_obs),
        "premium_currency": coded_text(pccy.codes[pos], pccy.names), "coin_premium": coin,
        "bid_premium": b, "ask_premium": a, "mark_premium": m, "forward": forward, "row_forward": row_forward,
        "bid": quote["bid"], "ask": quote["ask"], "mark": quote["mark"], "mid": quote["mid"], "ttx": ttx,
    })
    otm = np.where(is_call, k >= row_forward, k < row_forward)
    log_moneyness = np.log(k / row_forward)
    index = pd.RangeIndex(n) if pos.size == n else pd.Index(pos, dtype=np.int64)

    rej_pos = np.flatnonzero(~ok)
    why = rs.of(rej_pos)
    if extra_rej.size:
        rej_pos = np.concatenate([rej_pos, extra_rej])
        why = np.concatenate([why, extra_why])
        order = np.argsort(rej_pos, kind="stable")
        rej_pos, why = rej_pos[order], why[order]
    rejected = table.source_rows(rej_pos, {"reason": text_array(why)})

    vols, status = _finish_implied_vols(*ivs)
    for s in _SIDES:
        data[f"{s}_iv"] = vols[s]
        data[f"{s}_iv_status"] = _statuses(status[s])
    data.update(ex)
    data["quote_bid_iv"], data["quote_ask_iv"] = _quote_ivs(quote_ivs, vols, ex)
    data["otm"] = otm
    data["log_moneyness"] = log_moneyness
    q = make_frame(data, index)

    if clock == "business" and calendar is None:
        calendar = EMBEDDED_CALENDAR
    return Chain(quotes=q, rejected=rejected, expiries=expiries, clock=clock, observation_time=ref_time,
                 calendar=calendar,
                 n_input=n, warnings=warnings, format=table.format, read_as=table.how, notes=list(table.notes))


def _instruments(inst, icodes: np.ndarray, iuniq, pos: np.ndarray, n: int):
    """The accepted rows' instrument names as a text column: the source's
    own text column where it is one, else from the distinct names."""
    if isinstance(inst, (pa.Array, pa.ChunkedArray)) and (pa.types.is_string(inst.type)
                                                          or pa.types.is_large_string(inst.type)):
        return text_array(inst if pos.size == n else inst.take(pa.array(pos)))
    if isinstance(iuniq, pa.Array):
        return text_array(iuniq.take(pa.array(icodes[pos], mask=icodes[pos] < 0)))
    return coded_text(icodes[pos], iuniq)


def _statuses(codes: np.ndarray) -> pd.Categorical:
    """IV status codes (the kernel's, or no_quote) as the categorical column."""
    try:
        return pd.Categorical.from_codes(codes, dtype=_STATUS_DTYPE, validate=False)
    except TypeError:  # pragma: no cover - a pandas without validate=
        return pd.Categorical.from_codes(codes, dtype=_STATUS_DTYPE)


def _median_ns(values: np.ndarray) -> np.datetime64:
    med = _group_median_ns(np.zeros(values.size, dtype=np.intp), values, 1)
    return med[0]


def _group_median_ns(group: np.ndarray, values: np.ndarray, ngroups: int) -> np.ndarray:
    """Median instant per group, exact to the nanosecond: the middle one, or
    the midpoint of the middle two (rounded down)."""
    ns = values.astype("datetime64[ns]").view(np.int64)
    if (ns == ns[0]).all():
        return np.full(ngroups, ns[0]).view("datetime64[ns]")
    order = np.lexsort((ns, group))
    g, v = group[order], ns[order]
    count = np.bincount(g, minlength=ngroups)
    start = np.concatenate(([0], np.cumsum(count)[:-1]))
    lo = v[start + (count - 1) // 2]
    hi = v[start + count // 2]
    return (lo + (hi - lo) // 2).view("datetime64[ns]")


def _start_inversions(strike, row_forward, coin, bid, ask, mark, row_obs, expiry, is_call, clock, calendar,
                      threads):
    """The premiums in quote currency, the rows' times to expiry and their
    four implied-vol columns, started (see _finish_implied_vols)."""
    scale = np.where(coin, row_forward, 1.0)
    quote = {"bid": bid * scale, "ask": ask * scale, "mark": mark * scale}
    quote["mid"] = 0.5 * (quote["bid"] + quote["ask"])
    ttx = ttx_ns(row_obs, expiry, clock, calendar, threads)
    return quote, ttx, _start_implied_vols(ttx, row_forward, strike, quote, is_call, threads)


def _start_implied_vols(ttx, fwd, strike, quote: dict, is_call, threads):
    """bid/ask/mid/mark IVs of the quote-currency premiums, with statuses:
    the four price columns in one kernel call, started (see
    _finish_implied_vols)."""
    prices = np.stack([quote[s] for s in _SIDES])
    return prices, start_implied_vols(ttx, fwd, strike, prices, is_call, threads=threads)


def _finish_implied_vols(prices: np.ndarray, run) -> tuple[dict, dict]:
    vols, status = run.result()
    # A vol is NaN exactly when its status is not OK; a missing price is no quote.
    status[np.isnan(prices)] = _NO_QUOTE
    return ({s: vols[i] for i, s in enumerate(_SIDES)}, {s: status[i] for i, s in enumerate(_SIDES)})


def _quote_ivs(mode: str, vols: dict, ex: dict) -> tuple[np.ndarray, np.ndarray]:
    ex_b, ex_a = ex["exchange_bid_iv"], ex["exchange_ask_iv"]
    if mode == "premium":
        return vols["bid"], vols["ask"]
    if mode == "exchange":
        return ex_b, ex_a
    if np.isfinite(ex_b).any() or np.isfinite(ex_a).any():
        # The table carries the exchange's own bid/ask IVs: they are the
        # market's statement of the quote in vol, computed on the exchange's
        # own forward and clock, so they are used as given.
        return ex_b, ex_a
    return vols["bid"], vols["ask"]


def _reject_duplicates(rs: _Reasons, table: Table, identity: list[np.ndarray]) -> None:
    """Rows equal to an earlier row in every source column are reported, not
    priced twice. Only rows that share an option and an instant (`identity`)
    can be equal; the source rows then decide."""
    pos = np.flatnonzero(rs.ok)
    if pos.size < 2:
        return
    lead = np.asarray(identity[0])[pos]
    if lead.dtype.kind in "iu" and lead.min() >= 0 and np.bincount(lead).max() <= 1:
        return  # every row a different option (instrument): nothing can repeat
    h = np.zeros(pos.size, dtype=np.uint64)
    for col in identity:
        a = np.asarray(col)[pos]
        if a.dtype.kind == "M":
            a = a.view(np.int64)
        with np.errstate(over="ignore"):
            h = h * np.uint64(1_000_003) + pd.util.hash_array(np.ascontiguousarray(a))
    shared = pd.Series(h).duplicated(keep=False).to_numpy() if h.size else h.astype(bool)
    if not shared.any():
        return
    cand = pos[shared]
    rows = table.source_rows(cand)
    again = rows.duplicated(keep="first").to_numpy()
    if not again.any():
        return
    row_hash = pd.util.hash_pandas_object(rows, index=False).to_numpy()
    first: dict[int, int] = {}
    reason = np.full(table.n, None, dtype=object)
    for p, hv, is_dup in zip(cand, row_hash, again):
        if not is_dup:
            first.setdefault(int(hv), int(p))
        else:
            reason[p] = f"duplicate of row {first.get(int(hv), '?')}"
    rs.add_per_row(reason)
