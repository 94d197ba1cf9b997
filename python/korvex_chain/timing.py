"""Instants in UTC, and the time to expiry on a chosen clock for whole
columns of them."""

from __future__ import annotations

import numpy as np
import pandas as pd

from .arrays import bus_ttx, cal_ttx

# "calendar": 365-day years, the convention exchanges quote their IVs in.
# "business": korvex's weighted business time of calendar "BTCUSDT".
CLOCKS = ("calendar", "business")


def to_utc(value) -> pd.Timestamp:
    """One instant as a UTC timestamp: a naive value is read as UTC, an aware
    one converted."""
    ts = pd.Timestamp(value)
    return ts.tz_localize("UTC") if ts.tzinfo is None else ts.tz_convert("UTC")


def utc_ns(values) -> np.ndarray:
    """A column of instants, read as to_utc reads one, as naive UTC datetime64[ns]."""
    s = pd.to_datetime(pd.Series(values), utc=True)
    return s.dt.tz_localize(None).to_numpy("datetime64[ns]")


def ttx_between(start, end, clock: str, *, threads: int | None = None) -> np.ndarray:
    """Years from `start` to `end` (aligned columns of instants) on `clock`."""
    if clock not in CLOCKS:
        raise ValueError(f"unknown clock {clock!r}: use one of {', '.join(CLOCKS)}")
    a, b = utc_ns(start), utc_ns(end)
    fn = cal_ttx if clock == "calendar" else bus_ttx
    return np.asarray(fn(a, b, threads=threads), dtype=float)
