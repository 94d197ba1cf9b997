"""Tardis.dev `options_chain` files: every update of every option over a day.

One row per ticker change: `symbol`, `timestamp` and `expiration` in epoch
microseconds, `type` call/put, `strike_price`, premiums in the exchange's
premium currency (the coin itself on Deribit), IVs in percent, an empty
cell for an empty side. The snapshot at an instant is the latest update of
each option at or before it (ties: the later row of the file).

A day is hundreds of megabytes, so the file is streamed: only the needed
columns are parsed, block by block, and each block is reduced at once to
the latest update per option, so that memory holds one block and one row
per option, never the file.
"""

from __future__ import annotations

import datetime as dt
import numbers as _numbers

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.csv as pcsv

from .columns import codes_of, epoch
from .columnset import ColumnSet
from .sources import Csv
from .table import COIN, Table, arrow_rows

NAME = "tardis"

KEYS = {
    "symbol": "instrument",
    "type": "option_type",
    "strike_price": "strike",
    "bid_price": "bid",
    "ask_price": "ask",
    "mark_price": "mark",
    "bid_iv": "bid_iv",
    "ask_iv": "ask_iv",
    "mark_iv": "mark_iv",
    "underlying_price": "underlying_price",
}
REQUIRED = ("symbol", "timestamp", "type", "strike_price", "expiration")
PRICES = ("bid_price", "ask_price", "mark_price")
NUMBER_COLUMNS = ("strike_price", "bid_price", "ask_price", "mark_price", "bid_iv", "ask_iv", "mark_iv",
                  "underlying_price")
# Exchanges whose option premiums are in the coin itself.
COIN_EXCHANGES = frozenset({"deribit"})
# Bytes parsed per block: large enough that the per-block work is small
# beside the parsing, small enough that the blocks pyarrow reads ahead (some
# forty of them) cost little memory.
BLOCK_SIZE = 1 << 20
# Files up to this size (on disk) are read whole, as a snapshot table is.
WHOLE = 4 << 20

_DICT = pa.dictionary(pa.int32(), pa.string())
_INT64_MIN = np.iinfo(np.int64).min


def missing(names) -> list[str]:
    names = set(names)
    out = [k for k in REQUIRED if k not in names]
    if not names & set(PRICES):
        out.append("bid_price, ask_price or mark_price")
    return out


def needed(names) -> list[str]:
    return [c for c in ("exchange", *REQUIRED, *PRICES, "bid_iv", "ask_iv", "mark_iv", "underlying_price")
            if c in set(names)]


def micros(value, name: str) -> int:
    """An instant as epoch microseconds: numbers are epoch seconds."""
    if isinstance(value, bool) or value is None:
        raise TypeError(f"{name} must be an instant, not {value!r}")
    if isinstance(value, _numbers.Real):
        v = float(value)
        if not np.isfinite(v):
            raise ValueError(f"{name} must be a finite instant, not {value!r}")
        ts = pd.Timestamp(round(v * 1e6), unit="us", tz="UTC") if abs(v) < 9e12 else None
        if ts is None:
            raise ValueError(f"{name} is out of range: {value!r}")
    else:
        ts = pd.Timestamp(value)
        if ts is pd.NaT:
            raise ValueError(f"{name} must be an instant, not NaT")
        ts = ts.tz_localize("UTC") if ts.tzinfo is None else ts.tz_convert("UTC")
    try:
        return int(ts.value // 1000)
    except OverflowError:   # a year pandas holds only in coarser units than the chain's nanoseconds
        raise ValueError(f"{name} is out of range: {value!r}") from None


def duration_us(value, name: str) -> int:
    """A duration as microseconds: numbers are seconds."""
    if isinstance(value, bool):
        raise TypeError(f"{name} must be a duration, not {value!r}")
    if isinstance(value, _numbers.Real):
        v = float(value)
        if not np.isfinite(v) or v < 0:
            raise ValueError(f"{name} must be a non-negative duration, not {value!r}")
        return int(round(v * 1e6))
    td = pd.Timedelta(value)
    if td is pd.NaT or td < pd.Timedelta(0):
        raise ValueError(f"{name} must be a non-negative duration, not {value!r}")
    return int(td.value // 1000)


class _Latest:
    """The latest update per option, kept while blocks stream by.

    Each block is reduced to its latest row per option at once; those rows
    wait in `pending` and are reduced again with the running state when
    they add up, so that memory holds a few rows per option."""

    def __init__(self, at_us: int | None):
        self.at = at_us
        self.symbols: pa.Array = pa.array([], type=pa.string())
        self.table: pa.Table | None = None
        self.sym = np.empty(0, dtype=np.intp)
        self.ts = np.empty(0, dtype=np.int64)
        self.pos = np.empty(0, dtype=np.int64)
        self.pending: list[tuple[pa.Table, np.ndarray, np.ndarray, np.ndarray]] = []
        self.pending_rows = 0
        self.seen = 0
        self.max_ts: int | None = None
        self.unplaced = 0

    def _codes(self, sym) -> np.ndarray:
        """Codes of the block's symbols in the file's list of symbols."""
        if isinstance(sym, pa.ChunkedArray):
            sym = sym.unify_dictionaries().combine_chunks() if pa.types.is_dictionary(sym.type) else \
                sym.combine_chunks()
        if not pa.types.is_dictionary(sym.type):
            sym = pc.dictionary_encode(sym)
        names = sym.dictionary
        known = len(self.symbols)
        if known == 0:
            # The first block: its symbols are the file's first ones, in order.
            self.symbols = names.cast(pa.string())
            return codes_of(sym.indices)
        lut = codes_of(pc.index_in(names, value_set=self.symbols))
        new = np.flatnonzero(lut < 0)
        if new.size:
            self.symbols = pa.concat_arrays([self.symbols, names.take(pa.array(new)).cast(pa.string())])
            lut[new] = known + np.arange(new.size)
        lut = np.append(lut, -1)
        return lut[codes_of(sym.indices)]

    def _keys(self, batch) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        """A block's option codes and timestamps, and which rows have both
        (the others are counted as unplaced)."""
        codes = self._codes(batch.column("symbol"))
        tcol = batch.column("timestamp")
        ts = np.asarray(pc.fill_null(tcol, _INT64_MIN).to_numpy(zero_copy_only=False) if tcol.null_count
                        else tcol.to_numpy(), dtype=np.int64)
        valid = (codes >= 0) & (ts != _INT64_MIN)
        self.unplaced += int(batch.num_rows - np.count_nonzero(valid))
        return codes, ts, valid

    def add(self, batch) -> None:
        n = batch.num_rows
        if n == 0:
            return
        codes, ts, valid = self._keys(batch)
        if valid.any():
            m = int(ts[valid].max())
            self.max_ts = m if self.max_ts is None else max(self.max_ts, m)
        if self.at is not None:
            valid &= ts <= self.at
        idx = np.flatnonzero(valid)
        if idx.size:
            nsym = len(self.symbols)
            pick = idx[_latest(codes[idx], ts[idx], nsym)]
            rows = batch.select([c for c in batch.column_names if c != "symbol"])
            if pick.size < n:  # else every row is its option's latest (a snapshot's file)
                rows = rows.take(pa.array(pick))
            self.pending.append((rows, codes[pick], ts[pick], self.seen + pick))
            self.pending_rows += pick.size
            if self.pending_rows > max(1 << 16, 8 * nsym):
                self.flush()
        self.seen += n

    def flush(self) -> None:
        if not self.pending:
            return
        if self.table is None and len(self.pending) == 1:
            # One block's latest rows: already one per option, in order.
            rows, self.sym, self.ts, self.pos = self.pending[0]
            self.table = pa.Table.from_batches([rows]) if isinstance(rows, pa.RecordBatch) else rows
            self.pending, self.pending_rows = [], 0
            return
        parts = ([] if self.table is None else [(self.table, self.sym, self.ts, self.pos)]) + self.pending
        self.pending, self.pending_rows = [], 0
        tables = [pa.Table.from_batches([p[0]]) if isinstance(p[0], pa.RecordBatch) else p[0] for p in parts]
        table = tables[0] if len(tables) == 1 else pa.concat_tables(tables, promote_options="permissive")
        sym = np.concatenate([p[1] for p in parts])
        ts = np.concatenate([p[2] for p in parts])
        pos = np.concatenate([p[3] for p in parts])
        keep = _latest(sym, ts, len(self.symbols))
        self.table = table if keep.size == sym.size else table.take(pa.array(keep))
        self.sym, self.ts, self.pos = sym[keep], ts[keep], pos[keep]


def _latest(codes: np.ndarray, ts: np.ndarray, nsym: int) -> np.ndarray:
    """Positions of the latest row per code (the last of the rows with the
    greatest time), in increasing order."""
    best = np.full(nsym, _INT64_MIN, dtype=np.int64)
    np.maximum.at(best, codes, ts)
    top = np.flatnonzero(ts == best[codes])
    last = np.full(nsym, -1, dtype=np.int64)
    np.maximum.at(last, codes[top], top)
    out = last[last >= 0]
    out.sort()
    return out


def _types(header: list[str], text_numbers: bool) -> dict[str, pa.DataType]:
    types = {"exchange": pa.string(), "symbol": _DICT, "type": pa.string(), "timestamp": pa.int64(),
             "expiration": pa.string() if text_numbers else pa.int64()}
    for c in NUMBER_COLUMNS:
        types[c] = pa.string() if text_numbers else pa.float64()
    return {k: v for k, v in types.items() if k in header}


def stream(src: Csv, make_state, *, whole: bool = False):
    """The needed columns of a Tardis CSV fed block by block to a state
    made by make_state() (whole: at once, by all threads, for a small file),
    and that state. A cell that is not a number has the numbers read again
    as text with a fresh state, so that the option whose latest update it is
    gets reported with it."""
    cols = needed(src.header)
    for text_numbers in (False, True):
        state = make_state()
        opts = pcsv.ConvertOptions(include_columns=cols, column_types=_types(src.header, text_numbers),
                                   strings_can_be_null=True)
        try:
            if whole:
                state.add(pcsv.read_csv(src.input(), convert_options=opts,
                                        read_options=pcsv.ReadOptions(block_size=src.block_size())))
            else:
                reader = pcsv.open_csv(src.input(), convert_options=opts,
                                       read_options=pcsv.ReadOptions(block_size=BLOCK_SIZE))
                for batch in reader:
                    state.add(batch)
            return state
        except pa.ArrowInvalid as exc:
            if text_numbers or "timestamp" in str(exc):
                raise ValueError(f"unreadable tardis file: {exc}") from None
    raise AssertionError("unreachable: the text reading returns or raises")


def read_csv(src: Csv, how: str, *, at=None, max_age=None, premium_currency=None) -> Table:
    at_us = None if at is None else micros(at, "at")
    # A small file (a snapshot's worth) is read at once.
    latest = stream(src, lambda: _Latest(at_us), whole=src.nbytes() <= WHOLE)
    return _snapshot(latest, how, at_us, max_age, premium_currency)


def read(cs: ColumnSet, how: str, *, at=None, max_age=None, premium_currency=None) -> Table:
    """The snapshot of an options_chain table already in memory."""
    at_us = None if at is None else micros(at, "at")
    arrays, names = [], []
    for c in needed(cs.names):
        col = cs.column(c)
        if not isinstance(col, (pa.Array, pa.ChunkedArray)):
            s = col if isinstance(col, pd.Series) else pd.Series(col)
            if c in ("symbol", "type", "exchange") and s.dtype.kind in "biufc" and not s.isna().all():
                raise ValueError(f"column {c!r} holds numbers where names are expected")
            col = pa.array(s.to_numpy(dtype=object) if s.dtype.kind in "OUS" or c in ("symbol", "type", "exchange")
                           else s.to_numpy(), from_pandas=True)
        if c == "timestamp" and not pa.types.is_integer(col.type):
            vals, _ = epoch(col, "timestamp", "us")
            col = pa.array(vals.view(np.int64) // 1000, mask=np.isnat(vals))
        arrays.append(col)
        names.append(c)
    latest = _Latest(at_us)
    latest.add(pa.table(arrays, names=names))
    return _snapshot(latest, how, at_us, max_age, premium_currency)


def _snapshot(latest: _Latest, how: str, at_us: int | None, max_age, premium_currency) -> Table:
    latest.flush()
    if latest.table is None or latest.table.num_rows == 0:
        when = "" if at_us is None else f" at or before {_iso(at_us)}"
        raise ValueError(f"empty chain: no option update{when} in the tardis file")
    order = np.argsort(latest.pos, kind="stable")
    in_order = bool((order == np.arange(order.size)).all())
    snap = latest.table if in_order else latest.table.take(pa.array(order))
    sym = latest.sym[order]
    every_symbol_in_order = sym.size == len(latest.symbols) and bool((sym == np.arange(sym.size)).all())
    snap = snap.add_column(0, "symbol", latest.symbols if every_symbol_in_order else latest.symbols.take(pa.array(sym)))
    ts = latest.ts[order]
    assert latest.max_ts is not None  # rows were kept, so times were seen
    at_eff = at_us if at_us is not None else latest.max_ts
    n = snap.num_rows
    present = set(snap.column_names)
    cols = {tidy: snap.column(src) for src, tidy in KEYS.items() if src in present}
    cols["observation_time_utc"] = epoch(snap.column("timestamp"), "timestamp", "us")
    cols["expiry_utc"] = epoch(snap.column("expiration"), "expiration", "us")

    rejected = []
    exp = cols["expiry_utc"].values
    expired = np.flatnonzero(~np.isnat(exp) & (exp.view(np.int64) // 1000 <= at_eff))
    if expired.size:
        rejected.append((expired, f"expired at the snapshot instant {_iso(at_eff)}"))
    notes = [f"snapshot at {_iso(at_eff)}{' (the last update in the file)' if at_us is None else ''}: "
             f"{n} options from {latest.seen} updates"]
    if max_age is not None:
        age = duration_us(max_age, "max_age")
        stale = np.flatnonzero(at_eff - ts > age)
        if stale.size:
            rejected.append((stale, f"stale: no update within max_age {pd.Timedelta(age, 'us')} before the "
                                    f"snapshot instant {_iso(at_eff)}"))
            notes.append(f"{stale.size} options stale (last update older than {pd.Timedelta(age, 'us')})")
    if latest.unplaced:
        notes.append(f"{latest.unplaced} updates without symbol or timestamp skipped")

    name_currency = None
    if "exchange" in present:
        exchanges = set(pc.unique(snap.column("exchange")).drop_null().to_pylist())
        if exchanges and exchanges <= COIN_EXCHANGES:
            name_currency = COIN
        elif premium_currency is None and exchanges:
            raise ValueError(f"the premium currency of {', '.join(sorted(exchanges - COIN_EXCHANGES))} options "
                             "is not known here: give premium_currency=")
    elif premium_currency is None:
        raise ValueError("the tardis table has no exchange column to tell its premium currency: "
                         "give premium_currency=")
    table = Table(NAME, how, n, cols, arrow_rows(snap), iv_unit="percent", name_currency=name_currency,
                  rejected=rejected, notes=notes)
    return table


def _iso(us: int) -> str:
    return (dt.datetime(1970, 1, 1, tzinfo=dt.timezone.utc) + dt.timedelta(microseconds=int(us))).isoformat(
        timespec="microseconds").replace("+00:00", "Z")
