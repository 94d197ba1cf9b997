"""Deribit's `public/get_book_summary_by_currency` (kind=option).

One entry per instrument: the name (`BTC-27DEC24-100000-C`, the only place
of expiry, strike and side), premiums in `quote_currency` (the coin itself
for inverse options, USDC for the linear ones), `mark_iv` in percent,
`underlying_price` the forward Deribit prices the option on, null for an
empty book side, `creation_timestamp` in milliseconds.
"""

from __future__ import annotations

from .columns import epoch
from .columnset import ColumnSet
from .table import Table

NAME = "deribit"

# source key -> tidy name
KEYS = {
    "instrument_name": "instrument",
    "bid_price": "bid",
    "ask_price": "ask",
    "mark_price": "mark",
    "bid_iv": "bid_iv",
    "ask_iv": "ask_iv",
    "mark_iv": "mark_iv",
    "underlying_price": "underlying_price",
    "base_currency": "underlying",
    "quote_currency": "premium_currency",
}
PRICES = ("bid_price", "ask_price", "mark_price")


def missing(names) -> list[str]:
    names = set(names)
    out = [k for k in ("instrument_name", "quote_currency") if k not in names]
    if not names & set(PRICES):
        out.append("bid_price, ask_price or mark_price")
    return out


def read(cs: ColumnSet, how: str) -> Table:
    cols = {tidy: cs.column(key) for key, tidy in KEYS.items() if key in cs}
    # The summary's own time; else the response's (usOut, microseconds).
    if "creation_timestamp" in cs:
        cols["observation_time_utc"] = epoch(cs.column("creation_timestamp"), "creation_timestamp", "ms")
    else:
        out = cs.envelope("usOut")
        if out is not None:
            cols["observation_time_utc"] = epoch(out, "usOut", "us")
    return Table(NAME, how, cs.n, cols, cs.rows, iv_unit="percent")
