"""The trading calendar seen from Python: Calendar("BTCUSDT"), business
time, calendar time and tenors."""
import calendar as pycal
import datetime as dt
import json
import math
import random
from pathlib import Path
from zoneinfo import ZoneInfo

import pytest

import korvex
from conftest import Stamp

Calendar = korvex.Calendar
UTC = dt.timezone.utc
NY = ZoneInfo("US/Eastern")
DOCUMENT = Path(__file__).resolve().parent.parent / "src" / "calendar" / "btcusdt.json"
WEEKDAYS = ["monday", "tuesday", "wednesday", "thursday", "friday", "saturday", "sunday"]


class Reference:
    """Business time computed independently: zoneinfo for the wall clock and
    the checked-in document (or the given one, labels "HH:MM...") for the
    weights, with the same order of floating-point operations as the
    calendar promises."""

    def __init__(self, doc=None, zone=None):
        doc = json.loads(DOCUMENT.read_bytes()) if doc is None else doc
        self.day = [float(doc["DayWeightings"][d]) for d in WEEKDAYS]
        self.week = 0.0
        for w in self.day:
            self.week += w
        self.cum = []
        for d, w in zip(WEEKDAYS, self.day):
            raw = [0.0] * 96
            for label, v in doc["TimeWeightings"][d].items():
                h, m = label.split("-")[0].strip().split(":")[:2]
                raw[(int(h) * 60 + int(m)) // 15] = v
            s = 0.0
            for r in raw:  # in bucket order (sum() would compensate)
                s += r
            c = [0.0]
            for r in raw:
                c.append(c[-1] + (r / s) * w)
            self.cum.append(c)
        self.zone = ZoneInfo(doc["IanaTimeZone"]) if zone is None else zone

    def weight_before(self, year, days):
        w = (days // 7) * self.week
        first = dt.date(year, 1, 1).weekday()
        for i in range(days % 7):
            w += self.day[(first + i) % 7]
        return w

    def position(self, instant):
        local = instant.astimezone(self.zone)
        y = local.year
        w = self.weight_before(y, local.timetuple().tm_yday - 1)
        s = local.hour * 3600 + local.minute * 60 + local.second
        k = min(s // 900, 95)
        c = self.cum[local.weekday()]
        w += (c[k + 1] - c[k]) * ((s % 900) / 900) + c[k]
        total = self.weight_before(y, (dt.date(y + 1, 1, 1) - dt.date(y, 1, 1)).days)
        return y + w / total

    def bus(self, a, b):
        return self.position(b) - self.position(a)


@pytest.fixture(scope="module")
def ref():
    return Reference()


def ny(*args):
    return dt.datetime(*args, tzinfo=NY)


class TestConstruction:
    def test_btcusdt(self):
        assert isinstance(Calendar("BTCUSDT"), Calendar)
        assert isinstance(Calendar(underlying="BTCUSDT"), Calendar)

        class Text(str):
            pass

        assert isinstance(Calendar(Text("BTCUSDT")), Calendar)

    @pytest.mark.parametrize("underlying", ["btcusdt", "BTCUSDT ", "ETHUSDT", "", "BTC\u00e9"])
    def test_unknown_underlying(self, underlying):
        with pytest.raises(ValueError) as e:
            Calendar(underlying)
        assert str(e.value) == "No embedded calendar for underlying: " + underlying

    @pytest.mark.parametrize("value, name", [(1, "int"), (b"BTCUSDT", "bytes"), (None, "NoneType")])
    def test_not_a_str(self, value, name):
        with pytest.raises(TypeError) as e:
            Calendar(value)
        assert str(e.value) == f"argument 'underlying': '{name}' object cannot be converted to 'PyString'"

    def test_document_is_the_btcusdt_calendar(self):
        data = DOCUMENT.read_bytes()
        assert len(data) == 33723
        assert data.count(b"\r\n") == data.count(b"\n") == 699 and not data.endswith(b"\n")
        doc = json.loads(data)
        assert list(doc) == ["DayWeightings", "TimeWeightings", "IanaTimeZone"]
        assert doc["DayWeightings"] == dict(zip(WEEKDAYS, [1, 1, 1, 1, 0.9, 0.27, 0.53]))
        assert list(doc["TimeWeightings"]) == WEEKDAYS
        labels = list(doc["TimeWeightings"]["monday"])
        assert labels[0] == "00:00 - 00:15" and labels[1] == "00:15 - 00:30" and labels[-1] == "23:45 - 00:00"
        assert doc["IanaTimeZone"] == "US/Eastern"


class TestBusinessTime:
    def test_examples(self):
        cal = Calendar("BTCUSDT")
        assert cal.get_bus_ttx(ny(2025, 1, 1), ny(2025, 1, 2)) == 0.0033624747813973954
        assert cal.get_bus_ttx(ny(2025, 1, 1), ny(2026, 1, 1)) == 1.0
        assert cal.get_bus_ttx(**{"from": ny(2025, 1, 1), "to": ny(2025, 1, 2)}) == 0.0033624747813973954
        # Monday 00:00 to 00:07:30 is half of Monday's first quarter-hour.
        half = cal.get_bus_ttx(ny(2025, 1, 6), ny(2025, 1, 6, 0, 7, 30))
        assert half == pytest.approx(0.0052571670473 / 2 / 297.4, rel=1e-7)

    def test_equal_and_swapped(self):
        cal = Calendar("BTCUSDT")
        a = dt.datetime(2025, 5, 17, 13, 45, 12, 250000, tzinfo=UTC)
        b = dt.datetime(2031, 2, 1, 2, 3, 4, tzinfo=UTC)
        assert cal.get_bus_ttx(a, a) == 0.0
        assert cal.get_bus_ttx(a, a + dt.timedelta(microseconds=500000)) == 0.0  # same second
        forward = cal.get_bus_ttx(a, b)
        assert forward > 5.5
        assert cal.get_bus_ttx(b, a) == -forward

    def test_clock_changes(self):
        cal = Calendar("BTCUSDT")
        # 2 November 2025: 01:30 EDT and 01:30 EST are one real hour apart.
        first = dt.datetime(2025, 11, 2, 5, 30, tzinfo=UTC)
        assert cal.get_bus_ttx(first, first + dt.timedelta(hours=1)) == 0.0
        assert cal.get_bus_ttx(first + dt.timedelta(minutes=20), first + dt.timedelta(minutes=40)) < 0.0
        # 9 March 2025: a real second across 02:00 EST -> 03:00 EDT covers an hour.
        jump = cal.get_bus_ttx(dt.datetime(2025, 3, 9, 6, 59, 59, tzinfo=UTC), dt.datetime(2025, 3, 9, 7, tzinfo=UTC))
        week_later = cal.get_bus_ttx(ny(2025, 3, 16, 2), ny(2025, 3, 16, 3))
        assert week_later < jump < week_later * 1.001

    @pytest.mark.parametrize("year", [2040, 2100, 2999])
    def test_daylight_time_far_ahead(self, ref, year):
        start = dt.datetime(year, 7, 1, 4, tzinfo=UTC)
        assert start.astimezone(NY).utcoffset() == dt.timedelta(hours=-4)
        cal = Calendar("BTCUSDT")
        got = cal.get_bus_ttx(start, start + dt.timedelta(minutes=15))
        # 04:00-04:15 UTC is local 00:00-00:15, the day's first quarter-hour.
        first_bucket = ref.cum[dt.date(year, 7, 1).weekday()][1]
        total = ref.weight_before(year, 366 if pycal.isleap(year) else 365)
        assert got == pytest.approx(first_bucket / total, rel=1e-6)
        assert got == ref.bus(start, start + dt.timedelta(minutes=15))

    def test_matches_independent_computation(self, ref):
        rng = random.Random(20250101)
        cal = Calendar("BTCUSDT")
        lo = dt.datetime(2, 1, 1, tzinfo=UTC).timestamp()
        hi = dt.datetime(9998, 12, 31, tzinfo=UTC).timestamp()
        near_lo = dt.datetime(1850, 1, 1, tzinfo=UTC).timestamp()
        near_hi = dt.datetime(2150, 1, 1, tzinfo=UTC).timestamp()
        for n in range(3000):
            if n % 3 == 0:
                a, b = rng.randint(int(lo), int(hi)), rng.randint(int(lo), int(hi))
            else:
                a = rng.randint(int(near_lo), int(near_hi))
                b = a + rng.randint(-40 * 86400, 400 * 86400)
            da = dt.datetime.fromtimestamp(a, UTC)
            db = dt.datetime.fromtimestamp(b, UTC)
            assert cal.get_bus_ttx(da, db) == ref.bus(da, db), (da, db)
        # Sub-second parts are dropped before interpolating.
        a = dt.datetime(2026, 6, 5, 14, 7, 3, 999999, tzinfo=UTC)
        assert cal.get_bus_ttx(a, a.replace(second=9)) == ref.bus(a.replace(microsecond=0), a.replace(second=9))

    def test_timestamp_errors_pass_through(self):
        cal = Calendar("BTCUSDT")
        with pytest.raises(AttributeError):
            cal.get_bus_ttx(5.0, ny(2025, 1, 1))
        with pytest.raises(ZeroDivisionError):
            cal.get_bus_ttx(ny(2025, 1, 1), Stamp(ZeroDivisionError()))
        with pytest.raises(ValueError, match="^Invalid timestamp$"):
            cal.get_bus_ttx(ny(2025, 1, 1), Stamp(1e20))


class TestCalendarTime:
    def test_get_cal_ttx(self):
        t0 = dt.datetime(2024, 1, 1, tzinfo=UTC)
        day = dt.timedelta(days=1)
        for fn in (Calendar.get_cal_ttx, Calendar("BTCUSDT").get_cal_ttx):
            assert fn(t0, t0 + day) == 0.0027397260273972603
            assert fn(t0 - 365 * day, t0) == 1.0
            assert fn(t0, t0 + 366 * day) == 1.0027397260273974
            assert fn(t0, t0 + dt.timedelta(hours=1)) == 1 / 8760
            assert fn(t0 + day, t0) == -0.0027397260273972603
            assert fn(t0, t0) == 0.0
        s = dt.timedelta(seconds=1)
        base = t0 + dt.timedelta(microseconds=600000)
        assert Calendar.get_cal_ttx(base, base + 0.9 * s) == 0.0
        assert Calendar.get_cal_ttx(base, base + 1.5 * s) == 1 / 31536000
        assert Calendar.get_cal_ttx(base, base - 1.5 * s) == -1 / 31536000
        # Real elapsed time across a clock change: 23 hours on 9 March 2025.
        assert Calendar.get_cal_ttx(ny(2025, 3, 9), ny(2025, 3, 10)) == 23 * 3600 / 31536000

    @pytest.mark.parametrize("tenor, years", [
        ("1d", 0.0027397260273972603), ("2w", 0.038356164383561646), ("3m", 0.2465753424657534),
        ("1y", 1.0), ("12m", 360 / 365), ("-1d", -1 / 365), ("+1e2d", 100 / 365), (".5y", 0.5),
        ("5.y", 5.0), ("-INFINITYy", -math.inf), ("1e999w", math.inf),
    ])
    def test_tenors(self, tenor, years):
        assert Calendar.tenor_to_ttx(tenor) == years
        assert Calendar("BTCUSDT").tenor_to_ttx(tenor=tenor) == years
        assert math.isnan(Calendar.tenor_to_ttx("nand"))

    @pytest.mark.parametrize("tenor, message", [
        ("", "Invalid tenor format: "), ("1D", "Invalid tenor format: 1D"), ("1d ", "Invalid tenor format: 1d "),
        ("1d\u00e9", "Invalid tenor format: 1d\u00e9"), ("d", "cannot parse float from empty string"),
        ("1 day", "invalid float literal"), (" 1d", "invalid float literal"), ("1_000d", "invalid float literal"),
        ("0x10d", "invalid float literal"), ("\u0661d", "invalid float literal"),
    ])
    def test_bad_tenors(self, tenor, message):
        with pytest.raises(ValueError) as e:
            Calendar.tenor_to_ttx(tenor)
        assert str(e.value) == message

    def test_tenor_not_a_str(self):
        with pytest.raises(TypeError) as e:
            Calendar.tenor_to_ttx(3)
        assert str(e.value) == "argument 'tenor': 'int' object cannot be converted to 'PyString'"
