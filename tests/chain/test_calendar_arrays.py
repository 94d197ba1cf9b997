"""Business and calendar time over arrays against korvex.Calendar.

The scalar functions read an instant through timestamp(), a float; the
instants here are whole or half seconds, whose float timestamps are exact,
so both sides see the very same instants."""

import datetime as dt
import threading

import korvex
import numpy as np
import pytest
from chain_support import assert_same_bits, kc, rng  # noqa: F401 (fixture)

UTC = dt.timezone.utc
CAL = korvex.Calendar("BTCUSDT")


def scalar(fn, start, end):
    """fn over datetime64[ms] arrays, element by element; raising gives NaN."""
    out = []
    for a, b in zip(start.reshape(-1).tolist(), end.reshape(-1).tolist()):
        if a is None or b is None:  # NaT
            out.append(np.nan)
            continue
        try:
            out.append(fn(a.replace(tzinfo=UTC), b.replace(tzinfo=UTC)))
        except ValueError:
            out.append(np.nan)
    return np.array(out).reshape(start.shape)


def random_instants(rng, n, lo="1971-01-01", hi="2070-01-01"):
    lo_s = np.datetime64(lo, "s").astype(np.int64)
    hi_s = np.datetime64(hi, "s").astype(np.int64)
    secs = rng.integers(lo_s, hi_s, n)
    half = rng.integers(0, 2, n) * 500
    return (secs * 1000 + half).astype("datetime64[ms]")


def around(*stamps, offsets=(-3601, -1800, -61, -1, 0, 1, 59, 900, 3600, 86399)):
    base = np.array(stamps, dtype="datetime64[s]")
    return (base[:, None] + np.array(offsets, dtype="timedelta64[s]")).reshape(-1).astype("datetime64[ms]")


def test_business_and_calendar_time_match_korvex(rng):
    start = random_instants(rng, 1500)
    end = random_instants(rng, 1500)
    # US/Eastern clock changes and local and UTC year ends, each way round.
    special = around("2024-03-10T07:00:00", "2024-11-03T06:00:00", "2025-03-09T07:00:00",
                     "2021-11-07T06:00:00", "2024-01-01T05:00:00", "2024-12-31T23:59:59",
                     "2000-01-01T00:00:00", "2020-02-29T12:00:00")
    start = np.concatenate([start, special, special[::-1]])
    end = np.concatenate([end, special[::-1], np.roll(special, 7)])
    assert_same_bits(kc.bus_ttx(start, end), scalar(CAL.get_bus_ttx, start, end), "bus_ttx")
    assert_same_bits(kc.cal_ttx(start, end), scalar(korvex.Calendar.get_cal_ttx, start, end), "cal_ttx")
    # Threads and float seconds give the same numbers.
    secs = start.astype(np.int64) / 1000.0
    assert_same_bits(kc.bus_ttx(secs, end, threads=2), kc.bus_ttx(start, end, threads=1))


def test_repeated_instants_as_in_a_chain():
    # One observation time against a few expiries, repeated, with missing
    # instants between them: repeated instants must not carry a stale value.
    now = np.datetime64("2024-11-03T05:30:00", "s")
    expiries = np.array(["2024-11-08T08:00", "2024-12-27T08:00", "NaT", "2025-03-28T08:00"], "datetime64[s]")
    end = np.repeat(expiries, 5)[np.r_[0:20, 19:0:-1]]
    start = np.where(np.arange(end.size) % 7 == 3, np.datetime64("NaT", "s"), now)
    want = scalar(CAL.get_bus_ttx, np.broadcast_to(start, end.shape).astype("datetime64[ms]"),
                  end.astype("datetime64[ms]"))
    assert_same_bits(kc.bus_ttx(start, end), want)
    assert_same_bits(kc.bus_ttx(now, end), scalar(CAL.get_bus_ttx, np.full(end.shape, now).astype("datetime64[ms]"),
                                                  end.astype("datetime64[ms]")))


def test_every_datetime64_unit_is_the_same_instant():
    base = np.array(["2023-12-31T23:00:00", "2024-03-10T00:00:00", "1969-12-25T12:00:00"], "datetime64[s]")
    end = np.datetime64("2025-06-30T16:00:00", "s")
    ref = kc.bus_ttx(base, end)
    for unit in ("ms", "us", "ns", "m", "h"):
        assert_same_bits(kc.bus_ttx(base.astype(f"datetime64[{unit}]"), end), ref, unit)
    # The finest units only reach seconds (as) to months (ps) around 1970.
    near = np.array(["1970-01-01T00:00:05", "1969-12-31T23:59:58"], "datetime64[s]")
    for unit, per_second in (("ps", 10**12), ("fs", 10**15), ("as", 10**18)):
        fine = np.array([5 * per_second, -2 * per_second], dtype=f"datetime64[{unit}]")
        assert_same_bits(kc.bus_ttx(fine, end), kc.bus_ttx(near, end), unit)
    days = base.astype("datetime64[D]")
    for unit in ("W", "M", "Y"):
        coarse = days.astype(f"datetime64[{unit}]")
        assert_same_bits(kc.cal_ttx(coarse, end), kc.cal_ttx(coarse.astype("datetime64[s]"), end), unit)
    assert_same_bits(kc.cal_ttx(base.astype("datetime64[10m]"), end), kc.cal_ttx(base, end), "10m")
    # Integer or float epoch seconds are the same instants too.
    assert_same_bits(kc.bus_ttx(base.astype(np.int64), end.astype(np.int64)), ref, "int seconds")


def test_sub_second_instants():
    # Whole seconds truncate toward zero in calendar time; nanoseconds count.
    t0 = np.datetime64("2024-05-01T00:00:00", "ns")
    ends = t0 + np.array([999_999_999, 1_000_000_000, -1, -999_999_999, -1_000_000_001], "timedelta64[ns]")
    got = kc.cal_ttx(t0, ends)
    assert list(got * 31536000.0) == [0.0, 1.0, 0.0, 0.0, -1.0]
    # Below a nanosecond the instant is floored to whole nanoseconds.
    t1 = np.datetime64("1970-01-02T00:00:00", "ns")
    ns = np.timedelta64(1, "ns")
    ps = np.array(["1970-01-02T00:00:00.000000000999", "1970-01-01T23:59:59.999999999999"], "datetime64[ps]")
    assert_same_bits(kc.cal_ttx(ps, t1 + ns), kc.cal_ttx(np.array([t1, t1 - ns]), t1 + ns))
    assert_same_bits(kc.bus_ttx(ps, t1 + 5 * ns), kc.bus_ttx(np.array([t1, t1 - ns]), t1 + 5 * ns))


def test_missing_or_impossible_instants_give_nan():
    good = np.datetime64("2024-05-01T00:00:00", "s")
    start = np.array(["NaT", "2024-05-01", "2024-05-01"], dtype="datetime64[s]")
    end = np.array(["2024-06-01", "NaT", "2024-06-01"], dtype="datetime64[s]")
    for fn in (kc.bus_ttx, kc.cal_ttx):
        got = fn(start, end)
        assert np.isnan(got[:2]).all() and np.isfinite(got[2])
        secs = np.array([np.nan, np.inf, 1e20, -1e18, 1.7e9])
        got = fn(secs, good)
        assert np.isnan(got[:4]).all() and np.isfinite(got[4])
        far = np.array([np.iinfo(np.int64).max - 1], dtype="datetime64[D]")  # beyond the supported years
        assert np.isnan(fn(far, good)).all()


def test_datetime64_beyond_the_supported_years_gives_nan_in_any_unit():
    end = np.datetime64("2025-06-30T16:00:00", "s")
    first, last = -262143 - 1970, 262142 - 1970  # years from 1970 of the supported range
    big = np.iinfo(np.int64).max
    cases = [  # (ticks, unit, finite?)
        ([50505469855533106, first - 1, last + 1, -big, big], "Y", False),
        ([first, last, 55], "Y", True),
        ([first * 12 - 1, last * 12 + 12], "M", False),
        ([first * 12, last * 12 + 11], "M", True),
        ([last // 3 + 1, big // 3], "3Y", False),
        ([2**61, -(2**61), big], "10D", False),
        ([2**61, big], "7W", False),
        ([2**62, -(2**62)], "250ms", False),
    ]
    for ticks, unit, finite in cases:
        got = kc.cal_ttx(np.array(ticks, dtype=f"datetime64[{unit}]"), end)
        assert np.isfinite(got).all() if finite else np.isnan(got).all(), (unit, got)
    # Multiples are their instants: [3Y] as years, [250ms] as milliseconds,
    # and [10ns] beyond int64 nanoseconds (1678 to 2262) to the microsecond.
    assert_same_bits(kc.bus_ttx(np.array([18, -5], "datetime64[3Y]"), end),
                     kc.bus_ttx(np.array([54, -15], "datetime64[Y]"), end))
    assert_same_bits(kc.bus_ttx(np.array([7_000_000_001, -3], "datetime64[250ms]"), end),
                     kc.bus_ttx(np.array([1_750_000_000_250, -750], "datetime64[ms]"), end))
    ticks = np.array([2**62, -(2**62), 17, np.iinfo(np.int64).min])
    assert_same_bits(kc.bus_ttx(ticks.astype("datetime64[10ns]"), end),
                     kc.bus_ttx(np.array([2**62 // 100, -(2**62) // 100, 0, ticks[3]], "datetime64[us]"), end))


def test_big_endian_inputs_are_their_values():
    start = np.array(["2024-03-10T06:59:59.500", "NaT", "1969-12-25T12:00:00"], "datetime64[ms]")
    end = np.array([1.8e9, 1.7e9, 1.75e9])
    ref = kc.bus_ttx(start, end)
    for unit in ("ms", "s", "D", "Y", "10m"):
        native = start.astype(f"datetime64[{unit}]")
        swapped = native.astype(native.dtype.newbyteorder(">"))
        assert_same_bits(kc.bus_ttx(swapped, end), kc.bus_ttx(native, end), unit)
    assert_same_bits(kc.bus_ttx(start.astype(">M8[ms]"), end.astype(">f8")), ref)
    assert_same_bits(kc.cal_ttx(np.array([1_700_000_000], ">i4"), 1.8e9), kc.cal_ttx(1.7e9, 1.8e9))
    # Floats, integers and parameter vectors of the other kernels.
    k = np.array([80.0, 100.0, 125.0])
    assert_same_bits(kc.b76(np.float64(100.0), k.astype(">f8"), 0.5, np.array([0.4], ">f4"), "c").vega,
                     kc.b76(100.0, k, 0.5, np.float32(0.4), "c").vega)
    assert_same_bits(kc.implied_vols(0.5, 100.0, k.astype(">i8"), 8.0, "p"), kc.implied_vols(0.5, 100.0, k, 8.0, "p"))
    params = np.array([1.0, 100.0, 60.0, -0.3, 1.5, 0.0])
    assert_same_bits(kc.model_vols("VolGeo", params.astype(">f8"), 0.5, 100.0, k.astype(">f4")),
                     kc.model_vols("VolGeo", params, 0.5, 100.0, k.astype("<f4")))
    assert kc.model_arb_free("VolGeo", params.astype(">f8")) == kc.model_arb_free("VolGeo", params)


def test_nat_objects_are_missing_instants():
    pd = pytest.importorskip("pandas")
    t = dt.datetime(2024, 3, 9, 22, 30, tzinfo=UTC)
    end = dt.datetime(2025, 1, 1, tzinfo=UTC)
    good = CAL.get_bus_ttx(t, end)
    assert np.isnan(kc.cal_ttx(pd.NaT, 1.8e9)) and np.isnan(kc.bus_ttx(t, pd.NaT))
    objects = np.array([t, pd.NaT, pd.Timestamp(t), np.datetime64("NaT", "s")], dtype=object)
    assert_same_bits(kc.bus_ttx(objects, end), [good, np.nan, good, np.nan])
    mixed = pd.Series([pd.Timestamp(t).tz_convert("Asia/Tokyo"), pd.NaT, pd.Timestamp(t).tz_convert("America/New_York")])
    assert mixed.dtype == object
    assert_same_bits(kc.bus_ttx(mixed, end), [good, np.nan, good])


def test_none_nan_and_numbers_in_object_instants():
    t = dt.datetime(2024, 3, 9, 22, 30, tzinfo=UTC)
    end = dt.datetime(2025, 1, 1, tzinfo=UTC)
    objects = np.array([np.nan, t, None, t.timestamp(), np.float32("nan")], dtype=object)
    good = CAL.get_bus_ttx(t, end)
    assert_same_bits(kc.bus_ttx(objects, end), [np.nan, good, np.nan, good, np.nan])
    with pytest.raises(TypeError, match="start"):
        kc.bus_ttx(np.array([t, "2024-01-01"], dtype=object), end)


def test_timestamp_objects_and_pandas_time_zones():
    pd = pytest.importorskip("pandas")
    start = [dt.datetime(2024, 3, 9, 22, 30, tzinfo=UTC), dt.datetime(2024, 11, 3, 5, 59, 59, tzinfo=UTC)]
    end = dt.datetime(2025, 1, 1, tzinfo=UTC)
    want = np.array([CAL.get_bus_ttx(s, end) for s in start])
    assert_same_bits(kc.bus_ttx(np.array(start, dtype=object), end), want)
    series = pd.Series(pd.to_datetime(start)).dt.tz_convert("Asia/Tokyo")
    assert_same_bits(kc.bus_ttx(series, pd.Timestamp(end)), want)
    assert_same_bits(kc.bus_ttx(pd.DatetimeIndex(series), np.datetime64("2025-01-01")), want)


def test_wrong_instants_raise_type_error_and_shapes_must_broadcast():
    with pytest.raises(TypeError, match="start"):
        kc.bus_ttx(np.array(["2024-01-01"]), 0.0)
    with pytest.raises(TypeError, match="end"):
        kc.cal_ttx(0.0, [object()])
    with pytest.raises(ValueError, match=r"\(2,\).*\(3,\)"):
        kc.bus_ttx(np.zeros(2), np.zeros(3))
    assert kc.bus_ttx(np.zeros((0, 2)), 5.0).shape == (0, 2)


def test_calendar_threads_share_no_state(rng):
    # Calendars keep lookup caches; concurrent calls from Python threads,
    # each itself split over threads, must not disturb one another.
    start = random_instants(rng, 40_000)
    end = random_instants(rng, 40_000)
    ref = kc.bus_ttx(start, end, threads=1)
    results = [None] * 4

    def run(i):
        results[i] = kc.bus_ttx(start, end, threads=2)

    workers = [threading.Thread(target=run, args=(i,)) for i in range(4)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    for r in results:
        assert_same_bits(r, ref)


class Stamp:
    """A float epoch second as korvex reads an instant: through timestamp()."""

    def __init__(self, seconds):
        self.seconds = seconds

    def timestamp(self):
        return self.seconds


def scalar_seconds(start, end):
    return np.array([np.nan if np.isnan(a) or np.isnan(b) else CAL.get_bus_ttx(Stamp(a), Stamp(b))
                     for a, b in zip(start.tolist(), end.tolist())])


def test_many_pairs_over_a_few_years(rng):
    # Enough pairs for positions read from a table of all their days: clock
    # changes, local and UTC year ends and random seconds, with NaT between.
    n = 4000
    start = random_instants(rng, n, "2023-06-01", "2026-06-01")
    end = random_instants(rng, n, "2023-06-01", "2026-06-01")
    special = around("2024-03-10T07:00:00", "2024-11-03T06:00:00", "2025-03-09T07:00:00", "2025-11-02T06:00:00",
                     "2024-01-01T05:00:00", "2025-01-01T00:00:00", "2024-02-29T04:59:59", "2026-01-01T05:00:00")
    start[:special.size] = special
    end[:special.size] = special[::-1]
    end[special.size:2 * special.size] = special
    start[rng.choice(n, 40, replace=False)] = np.datetime64("NaT", "ms")
    end[rng.choice(n, 40, replace=False)] = np.datetime64("NaT", "ms")
    want = scalar(CAL.get_bus_ttx, start, end)
    assert_same_bits(kc.bus_ttx(start, end, threads=1), want, "1 thread")
    assert_same_bits(kc.bus_ttx(start, end, threads=2), want, "2 threads")
    # One start against many ends and many starts against one end, a
    # missing one giving NaN throughout.
    for one in (special[3], np.datetime64("NaT", "ms")):
        many = np.full(n, one)
        assert_same_bits(kc.bus_ttx(one, end), scalar(CAL.get_bus_ttx, many, end), f"start {one}")
        assert_same_bits(kc.bus_ttx(start, one), scalar(CAL.get_bus_ttx, start, many), f"end {one}")
    # A later call over some of the same days, and one reaching beyond them.
    part = slice(100, 1100)
    assert_same_bits(kc.bus_ttx(start[part], end[part]), want[part], "subset")
    later = end + np.timedelta64(3 * 365, "D")
    assert_same_bits(kc.bus_ttx(start, later), scalar(CAL.get_bus_ttx, start, later), "later")


def test_float_seconds_at_day_ends():
    # A fraction within half a nanosecond of the next second rounds into it,
    # and at a day's last second into the next day: the table's days must
    # reach that day too. Whole days near 1970, where floats keep that
    # precision, and day ends of 2025.
    near = np.arange(1.0, 40.0) * 86400.0
    now = np.arange(20089.0, 20150.0) * 86400.0
    ends = np.concatenate([near - 1e-10, near - 2e-9, near, now - 1.0, now - 0.25, now])
    starts = np.roll(ends, 11)
    assert ends.size >= 200
    assert_same_bits(kc.bus_ttx(starts, ends), scalar_seconds(starts, ends))


def test_instants_spread_over_millennia(rng):
    # More days than a table may span: most instants in a few years, some
    # anywhere from year 1 to 9999, which take the calendar's own path.
    n = 3000
    start = random_instants(rng, n, "2024-01-01", "2026-01-01")
    end = random_instants(rng, n, "2024-01-01", "2027-01-01")
    far = random_instants(rng, 300, "0001-01-02", "9999-12-30")
    end[rng.choice(n, 200, replace=False)] = far[:200]
    start[rng.choice(n, 100, replace=False)] = far[200:]
    start[::97] = np.datetime64("NaT", "ms")
    assert_same_bits(kc.bus_ttx(start, end), scalar(CAL.get_bus_ttx, start, end), "clustered")
    # Spread evenly: the table covers the days around the middle only.
    start = random_instants(rng, n, "0001-01-02", "9999-12-30")
    end = random_instants(rng, n, "0001-01-02", "9999-12-30")
    assert_same_bits(kc.bus_ttx(start, end, threads=2), scalar(CAL.get_bus_ttx, start, end), "spread")
    # The first and last supported days around an ordinary one, as ticks.
    edges = np.array(["0001-01-01T00:00:00", "9999-12-31T23:59:59", "2025-06-01T12:00:00"] * 30, "datetime64[s]")
    assert_same_bits(kc.bus_ttx(edges, edges[::-1]),
                     scalar(CAL.get_bus_ttx, edges.astype("datetime64[ms]"), edges[::-1].astype("datetime64[ms]")),
                     "edges")
