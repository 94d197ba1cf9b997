"""Bybit's v5 `market/tickers?category=option`.

Every value is a string; "0" stands for an empty field (no bid, no ask, no
IV); IVs are decimals; the response's `time` is in milliseconds. The name
says the settlement: `BTC-3JUL25-101000-C-USDT` settles and is quoted in
USDT, a name without suffix in USDC (Bybit's first options), and a name
whose suffix is the coin itself is quoted in that coin.
"""

from __future__ import annotations

import numpy as np

from .columns import Parsed, epoch, numbers
from .columnset import ColumnSet
from .table import Table

NAME = "bybit"

KEYS = {
    "symbol": "instrument",
    "bid1Price": "bid",
    "ask1Price": "ask",
    "markPrice": "mark",
    "bid1Iv": "bid_iv",
    "ask1Iv": "ask_iv",
    "markIv": "mark_iv",
    "underlyingPrice": "underlying_price",
}
PRICES = ("bid1Price", "ask1Price", "markPrice")
# The premium currency of a name without settlement suffix.
UNSUFFIXED = "USDC"


def missing(names) -> list[str]:
    names = set(names)
    out = [] if "symbol" in names else ["symbol"]
    if not names & set(PRICES):
        out.append("bid1Price, ask1Price or markPrice")
    return out


def read(cs: ColumnSet, how: str) -> Table:
    cols: dict = {}
    for key, tidy in KEYS.items():
        col = cs.column(key)
        if col is None:
            continue
        if tidy == "instrument":
            cols[tidy] = col
            continue
        values, bad = numbers(col, key)
        # "0" is Bybit's empty field, on every number it sends.
        cols[tidy] = Parsed(np.where(values == 0.0, np.nan, values), bad)
    t = cs.envelope("time")
    if t is not None:
        cols["observation_time_utc"] = epoch(t, "time", "ms")
    return Table(NAME, how, cs.n, cols, cs.rows, iv_unit="decimal", name_currency=UNSUFFIXED)
