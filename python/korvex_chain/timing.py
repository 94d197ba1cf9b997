"""Instants in UTC, and the time to expiry on a chosen clock for whole
columns of them."""

from __future__ import annotations

import numpy as np
import pandas as pd

from ._inputs import CLOCKS, EMBEDDED_CALENDAR, check_clock
from .arrays import CalendarLike, bus_ttx, cal_ttx

__all__ = ["CLOCKS", "EMBEDDED_CALENDAR", "check_clock", "to_utc", "utc_ns", "ttx_between", "ttx_ns"]


def to_utc(value) -> pd.Timestamp:
    """One instant as a UTC timestamp: a naive value is read as UTC, an aware
    one converted."""
    ts = pd.Timestamp(value)
    return ts.tz_localize("UTC") if ts.tzinfo is None else ts.tz_convert("UTC")


def utc_ns(values) -> np.ndarray:
    """A column of instants, read as to_utc reads one, as naive UTC datetime64[ns]."""
    s = pd.to_datetime(pd.Series(values), utc=True)
    return s.dt.tz_localize(None).to_numpy("datetime64[ns]")


def ttx_between(start, end, clock: str, *, calendar: CalendarLike | None = None,
                threads: int | None = None) -> np.ndarray:
    """Years from `start` to `end` (aligned columns of instants) on `clock`.

    `calendar` is the business clock's calendar, as bus_ttx takes it
    (default "BTCUSDT"); the calendar clock has none, so giving one with it
    is a ValueError."""
    check_clock(clock, calendar)
    return ttx_ns(utc_ns(start), utc_ns(end), clock, calendar, threads)


def ttx_ns(start: np.ndarray, end: np.ndarray, clock: str, calendar: CalendarLike | None = None,
           threads: int | None = None) -> np.ndarray:
    """ttx_between of columns already in UTC datetime64[ns], the clock checked."""
    if clock == "calendar":
        return np.asarray(cal_ttx(start, end, threads=threads), dtype=float)
    return np.asarray(bus_ttx(start, end, calendar=EMBEDDED_CALENDAR if calendar is None else calendar,
                              threads=threads), dtype=float)
