"""The time zone release the modules embed, against zoneinfo reading the same
release: PyPI's tzdata of the version src/calendar/tzdata.release records
(the tests' tzdata requirement), never the system's zone files.

A calendar in any zone is reached through korvex_tz_probe, built with the
C++ tests (make test-cpp) from the same core as the modules: it prints the
stretches of constant UTC offset that a calendar uses, and the year
positions that a calendar document gives. korvex itself is checked through
its embedded calendar, in US/Eastern.
"""
import datetime as dt
import hashlib
import importlib.metadata
import json
import os
import random
import struct
import subprocess
import zoneinfo
from pathlib import Path

import pytest

import korvex
from conftest import Stamp
from test_calendar import WEEKDAYS, Reference

ROOT = Path(__file__).resolve().parent.parent
RECORD = dict(line.split("=", 1) for line in (ROOT / "src/calendar/tzdata.release").read_text().splitlines()
              if "=" in line and not line.startswith("#"))
PROBE = Path(os.environ.get("KORVEX_TZ_PROBE", ROOT / "build/cpp/korvex_tz_probe"))
UTC = dt.timezone.utc
START = 0            # 1970-01-01
END = 2145916800     # 2038-01-01
DAY = 86400


@pytest.fixture(scope="module", autouse=True)
def release_zoneinfo():
    """zoneinfo reads the tzdata package only, in this module's tests."""
    saved = zoneinfo.TZPATH
    zoneinfo.reset_tzpath(to=[])
    yield
    zoneinfo.reset_tzpath(to=saved)


def zone(name):
    # no_cache: a zone another test module loaded from the system's files
    # stays in zoneinfo's cache.
    return zoneinfo.ZoneInfo.no_cache(name)


def probe(*args, stdin=None):
    if not PROBE.exists():
        pytest.fail(f"{PROBE} is missing: build it with `make test-cpp` (or set KORVEX_TZ_PROBE)")
    done = subprocess.run([str(PROBE), *args], input=stdin, capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stderr
    return done.stdout


def calendar_stretches(names=()):
    """{zone: [(lo, hi, offset), ...]} over [START, END), as a calendar uses them."""
    out = {}
    for line in probe("spans", str(START), str(END), *names).splitlines():
        name, lo, hi, offset = line.split()
        out.setdefault(name, []).append((int(lo), int(hi), int(offset)))
    return out


def tzif_transitions(name):
    """The transition times listed in the release's zone file (version 2+ data)."""
    import tzdata
    data = (Path(tzdata.__file__).parent / "zoneinfo" / name).read_bytes()

    def header(at):
        counts = struct.unpack(">6l", data[at + 20:at + 44])
        return counts  # isutcnt, isstdcnt, leapcnt, timecnt, typecnt, charcnt

    isut, isstd, leap, time, typ, char = header(0)
    v1 = 44 + time * 5 + typ * 6 + char + leap * 8 + isstd + isut
    time = header(v1)[3]
    return struct.unpack(f">{time}q", data[v1 + 44:v1 + 44 + 8 * time])


def test_zoneinfo_reads_the_recorded_release():
    import tzdata
    assert importlib.metadata.version("tzdata") == RECORD["version"], (
        f"the tests need tzdata=={RECORD['version']} (pip install 'tzdata=={RECORD['version']}', or make tz)")
    assert tzdata.IANA_VERSION == RECORD["release"]
    assert zoneinfo.TZPATH == ()
    assert probe("release").strip() == RECORD["release"]
    names = probe("names").split()
    assert names == sorted(zoneinfo.available_timezones())
    assert {"America/Ciudad_Juarez", "America/Coyhaique", "US/Eastern", "UTC"} <= set(names)


def offset(tz, t):
    return int(dt.datetime.fromtimestamp(t, tz).utcoffset().total_seconds())


def zoneinfo_changes(tz, probes):
    """zoneinfo's changes of offset within [START, END): (instant, before, after).

    zoneinfo is asked at every given instant; wherever two neighbours differ,
    the change is found to the second by bisection (and each side again, for
    a second change between them)."""
    probes = sorted(set(p for p in probes if START <= p < END) | {START, END - 1})
    values = {p: offset(tz, p) for p in probes}
    changes = []

    def split(lo, hi):  # offsets differ at lo and hi, lo < hi
        a, b = lo, hi
        while b - a > 1:
            m = (a + b) // 2
            values.setdefault(m, offset(tz, m))
            if values[m] == values[lo]:
                a = m
            else:
                b = m
        changes.append((b, values[a], values[b]))
        if values[b] != values[hi]:
            split(b, hi)

    for p, q in zip(probes, probes[1:]):
        if values[p] != values[q]:
            split(p, q)
    return sorted(changes), values[START]


@pytest.mark.slow
def test_every_zone_has_zoneinfos_offsets():
    """For every name of the release, from 1970 to 2037: the calendar's offset
    changes are zoneinfo's, at the same second and between the same offsets,
    so the two agree at every instant of the range (every 15-minute grid
    point, every transition). zoneinfo is asked once a day, at every
    transition its zone file lists, and around every change of the
    calendar's; names whose zone files are identical (a zone and its links)
    are asked together, since zoneinfo reads the same bytes for them."""
    import tzdata
    stretches = calendar_stretches()
    assert sorted(stretches) == sorted(zoneinfo.available_timezones())
    files = {}
    for name in stretches:
        data = (Path(tzdata.__file__).parent / "zoneinfo" / name).read_bytes()
        files.setdefault(hashlib.sha256(data).digest(), []).append(name)
    grid = range(START, END, 900)
    rng = random.Random(1970)
    for names in files.values():
        probes = list(range(START, END, DAY))
        for t in tzif_transitions(names[0]):
            probes += [t - 1, t]
        calendar = {}
        for name in names:
            spans = stretches[name]
            assert spans[0][0] <= START and spans[-1][1] >= END, name
            calendar[name] = [(hi, off, spans[i + 1][2]) for i, (_, hi, off) in enumerate(spans[:-1])]
            for t, _, _ in calendar[name]:
                probes += [t - 1, t]
        changes, first = zoneinfo_changes(zone(names[0]), probes)
        for name in names:
            spans = stretches[name]
            assert first == spans[0][2], name
            assert calendar[name] == changes, name
            # And straight from zoneinfo, under the name, at points of the
            # 15-minute grid.
            tz = zone(name)
            his = [hi for _, hi, _ in spans]
            for t in rng.sample(grid, 100):
                i = next(k for k, h in enumerate(his) if t < h)
                assert offset(tz, t) == spans[i][2], (name, t)


# The zones whose rules changed between 2022 and 2026, and others with odd
# offsets, half-hour daylight time or no transitions at all.
SAMPLE = ["America/Mexico_City", "America/Merida", "America/Monterrey", "America/Bahia_Banderas",
          "America/Nuuk", "Africa/Cairo", "Asia/Almaty", "Asia/Qostanay", "America/Asuncion",
          "America/Vancouver", "America/Edmonton", "America/Winnipeg", "America/Havana", "Canada/Pacific",
          "US/Eastern", "America/Ciudad_Juarez", "America/Coyhaique", "Europe/London", "Australia/Lord_Howe",
          "Asia/Kathmandu", "Pacific/Chatham", "Africa/Casablanca", "Etc/GMT-14", "UTC"]


def one_hour_document(name):
    """Every day weighs 1, all of it in the local hour from 10:00."""
    hour = {f"10:{m:02d} - 10:{m + 15:02d}": 1 for m in (0, 15, 30)} | {"10:45 - 11:00": 1}
    return {"DayWeightings": {d: 1 for d in WEEKDAYS}, "TimeWeightings": {d: hour for d in WEEKDAYS},
            "IanaTimeZone": name}


@pytest.mark.parametrize("name", SAMPLE)
def test_business_time_of_one_local_hour_a_day(name):
    """Year positions (and so business time) of a document that weighs one
    local hour a day, against plain Python with zoneinfo: around every
    change of offset from 2022 to 2027 and at random instants."""
    doc = one_hour_document(name)
    ref = Reference(doc, zone(name))
    lo, hi = 1640995200, 1830297600  # 2022-01-01 to 2028-01-01
    rng = random.Random(name)
    instants = [rng.randrange(lo, hi) for _ in range(1500)]
    for a, b, _ in calendar_stretches([name])[name]:
        for t in (a, b):
            if lo <= t < hi:
                instants += [t + d for d in (-3601, -1, 0, 1, 1799, 3600, 7200)]
    # Local 09:00 to 12:00 on days near the changes, every quarter-hour.
    for t in list(instants[1500:]):
        day = dt.datetime.fromtimestamp(t, ref.zone).replace(hour=9, minute=0, second=0)
        instants += [int(day.timestamp()) + 900 * k for k in range(13)]
    got = probe("positions", stdin=json.dumps(doc) + "\n" + "\n".join(map(str, instants)) + "\n").split("\n")
    for t, text in zip(instants, got):
        want = ref.position(dt.datetime.fromtimestamp(t, UTC))
        assert float(text) == want, (name, t, dt.datetime.fromtimestamp(t, ref.zone).isoformat())
    # The hour is one 365th or 366th of the local year: from 09:00 to 12:00
    # local time is exactly one day's weight, whatever the offset.
    day = dt.datetime(2025, 7, 15, 9, tzinfo=ref.zone)
    assert ref.bus(day, day + dt.timedelta(hours=3)) == pytest.approx(1 / 365, rel=1e-12)


def us_eastern_digest(cal, n):
    """A digest of get_bus_ttx over n seeded pairs of instants: spread over the
    whole supported range, over 1811-2201, within days of each other around
    the clock changes, and with fractions of a second."""
    rng = random.Random(16)
    h = hashlib.sha256()
    for i in range(n):
        kind = i % 4
        if kind == 0:
            a, b = rng.uniform(-8.2e12, 8.2e12), rng.uniform(-8.2e12, 8.2e12)
        elif kind == 1:
            a = rng.uniform(-5e9, 7.3e9)
            b = a + rng.uniform(-4e7, 4e7)
        elif kind == 2:
            a = rng.randint(-2_000_000_000, 2_300_000_000)
            b = a + rng.randint(-90000, 90000)
        else:
            a = rng.uniform(1e9, 2e9)
            b = a + rng.uniform(0, 1e6)
        h.update(cal.get_bus_ttx(Stamp(a), Stamp(b)).hex().encode())
    return h.hexdigest()


def test_us_eastern_results_are_unchanged():
    """korvex's embedded calendar gives, bit for bit, what it gave with the
    rules of ICU 72.1 (IANA 2022e) before the zones came from the current
    release: New York's rules did not change in between."""
    assert us_eastern_digest(korvex.Calendar("BTCUSDT"), 200_000) == (
        "720b72345664f6db83a34bdd4854a67ee5dbfbfb6ad01d9c7990101e68d27a3f")
