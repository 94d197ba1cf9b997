"""Instants in UTC, and the time to expiry on a chosen clock for whole
columns of them."""

from __future__ import annotations

import numpy as np
import pandas as pd

from .arrays import CalendarLike, bus_ttx, cal_ttx

# "calendar": 365-day years, the convention exchanges quote their IVs in.
# "business": korvex's weighted business time, of calendar "BTCUSDT" unless
# another is given.
CLOCKS = ("calendar", "business")
# The trading calendar compiled into the modules: the business clock's default.
EMBEDDED_CALENDAR = "BTCUSDT"


def to_utc(value) -> pd.Timestamp:
    """One instant as a UTC timestamp: a naive value is read as UTC, an aware
    one converted."""
    ts = pd.Timestamp(value)
    return ts.tz_localize("UTC") if ts.tzinfo is None else ts.tz_convert("UTC")


def utc_ns(values) -> np.ndarray:
    """A column of instants, read as to_utc reads one, as naive UTC datetime64[ns]."""
    s = pd.to_datetime(pd.Series(values), utc=True)
    return s.dt.tz_localize(None).to_numpy("datetime64[ns]")


def check_clock(clock: str, calendar: CalendarLike | None = None) -> None:
    """ValueError for an unknown clock, or a calendar given to the calendar clock."""
    if clock not in CLOCKS:
        raise ValueError(f"unknown clock {clock!r}: use one of {', '.join(CLOCKS)}")
    if clock == "calendar" and calendar is not None:
        raise ValueError("a calendar applies only to clock='business': the calendar clock counts 365-day years")


def ttx_between(start, end, clock: str, *, calendar: CalendarLike | None = None,
                threads: int | None = None) -> np.ndarray:
    """Years from `start` to `end` (aligned columns of instants) on `clock`.

    `calendar` is the business clock's calendar, as bus_ttx takes it
    (default "BTCUSDT"); the calendar clock has none, so giving one with it
    is a ValueError."""
    check_clock(clock, calendar)
    a, b = utc_ns(start), utc_ns(end)
    if clock == "calendar":
        return np.asarray(cal_ttx(a, b, threads=threads), dtype=float)
    return np.asarray(bus_ttx(a, b, calendar="BTCUSDT" if calendar is None else calendar, threads=threads),
                      dtype=float)
