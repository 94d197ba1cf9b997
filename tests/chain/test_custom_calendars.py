"""bus_ttx on calendars of one's own: documents as JSON text, dicts and files,
read by korvex's parser, against the embedded calendar and against plain
Python with zoneinfo reading the same IANA release (the tests' tzdata)."""

import ctypes
import datetime as dt
import json
import pathlib
import random
import threading

import korvex
import numpy as np
import pytest
from chain_support import ASAN, assert_same_bits, kc, rng  # noqa: F401 (fixture)
from test_calendar import DOCUMENT, WEEKDAYS, Reference
from test_calendar_arrays import around, random_instants
from test_tz_release import (  # noqa: F401 (release_zoneinfo: zoneinfo reads the tzdata package only)
    DAY,
    RECORD,
    SAMPLE,
    one_hour_document,
    release_zoneinfo,
    zone,
    zoneinfo_changes,
)

UTC = dt.timezone.utc
TEXT = DOCUMENT.read_text(encoding="utf-8")


def heavy_hour_document(name):
    """The local hour from 10:00 weighs 30 times any other quarter-hour; the
    days weigh as BTCUSDT's do."""
    doc = one_hour_document(name)
    light = {f"{h:02d}:{m:02d} - {h:02d}:{m + 14:02d}": 1 for h in range(24) if h != 10 for m in (0, 15, 30, 45)}
    doc["TimeWeightings"] = {d: light | {k: 30 for k in hour} for d, hour in doc["TimeWeightings"].items()}
    doc["DayWeightings"] = dict(zip(WEEKDAYS, [1, 1, 1, 1, 0.9, 0.27, 0.53]))
    return doc


def pairs(rng, n=600):
    start = random_instants(rng, n, "2023-01-01", "2027-01-01")
    end = random_instants(rng, n, "2023-01-01", "2027-01-01")
    special = around("2024-03-10T07:00:00", "2024-11-03T06:00:00", "2026-11-01T06:00:00", "2024-12-31T23:59:59")
    return np.concatenate([start, special]), np.concatenate([end, special[::-1]])


def test_tz_version_is_the_embedded_release():
    release = RECORD["release"]
    assert kc.tz_version() == release
    assert "tz_version" in kc.__all__
    # The README states it (to be updated after `make tz`).
    readme = (DOCUMENT.parents[2] / "README.md").read_text(encoding="utf-8")
    assert f"**IANA tz {release}**" in readme and f'`korvex_chain.tz_version()` returns `"{release}"`' in readme


class TestEmbeddedDocument:
    """The embedded calendar's own document, however given and spelt, is
    that calendar, bit for bit."""

    def test_every_form_of_the_embedded_document(self, rng, tmp_path):
        start, end = pairs(rng)
        want = kc.bus_ttx(start, end)
        assert_same_bits(want, kc.bus_ttx(start, end, calendar="BTCUSDT", threads=2))
        doc = json.loads(TEXT)
        # Members reordered, an ignored member, no white space, numbers
        # spelt otherwise: the same calendar.
        respelt = json.dumps({"Comment": [1, {"x": None}], "IanaTimeZone": doc["IanaTimeZone"],
                              "TimeWeightings": doc["TimeWeightings"],
                              "DayWeightings": doc["DayWeightings"] | {"monday": 1.0, "friday": 9e-1}},
                             separators=(",", ":"))
        (tmp_path / "btc.JSON").write_text(TEXT, encoding="utf-8")
        (tmp_path / "btc.cal").write_text(TEXT, encoding="utf-8")
        for calendar in (TEXT, "\r\n " + TEXT, doc, respelt, DOCUMENT, str(tmp_path / "btc.JSON"),
                         tmp_path / "btc.cal"):
            got = kc.bus_ttx(start, end, calendar=calendar)
            assert_same_bits(got, want, repr(calendar)[:40])
            # Fewer pairs than a position table pays for: the calendars' own path.
            assert_same_bits(kc.bus_ttx(start[:20], end[:20], calendar=calendar), want[:20])

    def test_chain_shapes_and_threads(self):
        now = np.datetime64("2026-11-01T05:30:00", "s")
        expiries = now + (np.arange(1, 25) * 86400 * 15).astype("timedelta64[s]")
        ends = np.tile(expiries, 5_000)
        assert_same_bits(kc.bus_ttx(now, ends, calendar=TEXT, threads=2), kc.bus_ttx(now, ends))
        grid = kc.bus_ttx(expiries[:, None], expiries[None, :], calendar=json.loads(TEXT))
        assert grid.shape == (24, 24)
        assert_same_bits(grid, kc.bus_ttx(expiries[:, None], expiries[None, :]))


def reference_bus(ref, start, end):
    """ref.bus over datetime64 columns, each distinct instant placed once."""
    positions = {}

    def position(t):
        if t not in positions:
            positions[t] = ref.position(dt.datetime.fromtimestamp(t / 1000, UTC))
        return positions[t]

    a = start.astype("datetime64[ms]").astype(np.int64).tolist()
    b = end.astype("datetime64[ms]").astype(np.int64).tolist()
    return np.array([position(y) - position(x) for x, y in zip(a, b)])


@pytest.mark.parametrize("name", SAMPLE)
def test_a_document_in_any_zone_against_zoneinfo(name):
    """A heavy hour a day in the zone's wall clock: random pairs of instants
    and pairs around every change of offset of 2022-2027, element by element
    what plain Python computes through zoneinfo."""
    doc = heavy_hour_document(name)
    ref = Reference(doc, zone(name))
    lo, hi = 1640995200, 1830297600  # 2022-01-01 to 2028-01-01
    r = random.Random(name)
    instants = [r.randrange(lo, hi) for _ in range(300)]
    for t, _, _ in zoneinfo_changes(ref.zone, range(lo, hi, DAY))[0]:
        if lo <= t < hi:
            instants += [t + d for d in (-3601, -1, 0, 1, 1799, 3600, 7200)]
            local = dt.datetime.fromtimestamp(t, ref.zone).replace(hour=9, minute=0, second=0)
            instants += [int(local.timestamp()) + 900 * k for k in range(13)]
    start = np.array(instants, dtype="datetime64[s]")
    end = start[np.random.default_rng(len(instants)).permutation(start.size)]
    want = reference_bus(ref, start, end)
    assert_same_bits(kc.bus_ttx(start, end, calendar=doc), want, name)
    assert_same_bits(kc.bus_ttx(start[:30], end[:30], calendar=json.dumps(doc)), want[:30], name)


def test_mexico_city_keeps_standard_time():
    """The wall clock of the current rules: since 2023 Mexico City has no
    daylight time, so its heavy hour is 16:00-17:00 UTC in July."""
    doc = heavy_hour_document("America/Mexico_City")
    day = np.datetime64("2025-07-15T00:00", "s")
    hour = kc.bus_ttx(day + np.timedelta64(16, "h"), day + np.timedelta64(17, "h"), calendar=doc)
    before = kc.bus_ttx(day + np.timedelta64(15, "h"), day + np.timedelta64(16, "h"), calendar=doc)
    assert hour == pytest.approx(before * 30, rel=1e-8)  # differences of positions near 2025


def test_calendars_do_not_share_results(rng):
    """Calls alternating between calendars over the same instants (so over
    the same position tables' days) each get their own calendar's values."""
    start, end = pairs(rng, 2_000)
    docs = [heavy_hour_document(z) for z in ("UTC", "Asia/Tokyo", "America/Mexico_City")]
    want = [reference_bus(Reference(d, zone(d["IanaTimeZone"])), start, end) for d in docs]
    embedded = kc.bus_ttx(start, end)
    for _ in range(2):
        for doc, w in zip(docs, want):
            assert_same_bits(kc.bus_ttx(start, end, calendar=doc), w, doc["IanaTimeZone"])
        assert_same_bits(kc.bus_ttx(start, end), embedded)
    # A weekday written otherwise: only that day's weight changes.
    other = heavy_hour_document("UTC")
    other["DayWeightings"]["sunday"] = 0.5
    assert not np.array_equal(kc.bus_ttx(start, end, calendar=other), want[0])


def test_many_calendars_from_many_threads(rng):
    """More calendars than are remembered, used from several Python threads
    at once, each call split over threads itself: every result is the one
    the calendar gives alone."""
    start, end = pairs(rng, 20_000)
    names = ["UTC", "Asia/Tokyo", "America/Mexico_City", "Africa/Cairo", "America/Nuuk", "Asia/Almaty",
             "America/Asuncion", "America/Vancouver", "Europe/London", "Australia/Lord_Howe", "Pacific/Chatham"]
    calendars = ["BTCUSDT", TEXT] + [json.dumps(heavy_hour_document(n)) for n in names]
    want = [kc.bus_ttx(start, end, calendar=c, threads=1) for c in calendars]
    failures = []

    def run(seed):
        order = random.Random(seed).sample(range(len(calendars)), len(calendars)) * 2
        for i in order:
            got = kc.bus_ttx(start, end, calendar=calendars[i], threads=2)
            if not np.array_equal(got.view(np.uint64), want[i].view(np.uint64)):
                failures.append((seed, i))

    workers = [threading.Thread(target=run, args=(s,)) for s in range(4)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    assert failures == []


@pytest.mark.slow
@pytest.mark.skipif(not pathlib.Path("/proc/self/statm").exists(), reason="reads /proc/self/statm")
@pytest.mark.skipif(ASAN, reason="the sanitizer's allocator holds freed memory in quarantine")
def test_remembered_calendars_stay_bounded():
    """One calendar in more spellings than are remembered, and a new
    calendar on every call: each call builds a calendar, and memory stays
    flat (the calendars kept are bounded by the calls running at once)."""
    days = np.arange("2020-01-01", "2030-01-01", dtype="datetime64[D]").astype("datetime64[s]")
    spellings = [" " * k + TEXT for k in range(10)]
    doc = json.loads(TEXT)

    def run(k):
        kc.bus_ttx(days, days[::-1], calendar=spellings[k % 10])
        doc["DayWeightings"]["sunday"] = 0.5 + k * 1e-9
        kc.bus_ttx(days[:10], days[-10:], calendar=json.dumps(doc))

    def rss():
        return int(pathlib.Path("/proc/self/statm").read_text().split()[1]) * 4096

    for k in range(300):
        run(k)
    resident = rss()
    for k in range(300, 3300):
        run(k)
    grown = rss() - resident
    assert grown < 4 << 20, f"resident memory grew by {grown} bytes over 3000 calls"


@pytest.mark.slow
@pytest.mark.skipif(not pathlib.Path("/proc/self/statm").exists(), reason="reads /proc/self/statm")
@pytest.mark.skipif(ASAN, reason="the sanitizer's allocator holds freed memory in quarantine")
def test_a_long_document_leaves_no_parser_buffers_behind():
    """The parser's scratch space for a 30 MB document (some 60 MB) is not
    kept by the calling thread afterwards."""
    try:
        trim = ctypes.CDLL("libc.so.6").malloc_trim
    except (OSError, AttributeError):
        pytest.skip("needs glibc's malloc_trim to tell kept memory from free heap")

    def rss():
        trim(0)
        return int(pathlib.Path("/proc/self/statm").read_text().split()[1]) * 4096

    long = json.dumps(heavy_hour_document("UTC") | {"Notes": "x" * 30_000_000})
    kc.bus_ttx(0.0, 1e6, calendar=TEXT)
    resident = rss()
    kc.bus_ttx(0.0, 1e6, calendar=long)
    grown = rss() - resident
    assert grown < 8 << 20, f"resident memory grew by {grown} bytes after one 30 MB document"


MINIMAL = '{"DayWeightings": {"monday": %s}, "TimeWeightings": {}, "IanaTimeZone": "UTC"}'


class TestErrors:
    @pytest.mark.parametrize("calendar, message", [
        ("ETHUSDT", "No embedded calendar for underlying: ETHUSDT"),
        ("btcusdt ", "No embedded calendar for underlying: btcusdt "),
        ("", "No embedded calendar for underlying: "),
        ("[{}]", "No embedded calendar for underlying: [{}]"),
        (" \n{}", "missing field `DayWeightings`"),
        ('{"DayWeightings": {}, "IanaTimeZone": "UTC"}', "missing field `TimeWeightings`"),
        ('{"DayWeightings": {}, "TimeWeightings": {}, "DayWeightings": {}, "IanaTimeZone": "UTC"}',
         "duplicate field `DayWeightings`"),
        ('{"DayWeightings": {}, "TimeWeightings": {}, "IanaTimeZone": "US/Pacific-New"}',
         "Invalid IANA timezone: US/Pacific-New"),
        (MINIMAL % "1e400", "Problem while parsing a number"),
        ({"DayWeightings": {"Monday": "1"}, "TimeWeightings": {}, "IanaTimeZone": "UTC"},
         "invalid type: expected a number for `Monday`"),
        ({"DayWeightings": {}, "TimeWeightings": {"x\0y": 1}, "IanaTimeZone": "UTC"},
         "invalid type: expected an object of interval labels for `x\0y`"),
    ])
    def test_korvex_messages(self, calendar, message):
        with pytest.raises(ValueError) as e:
            kc.bus_ttx(0.0, 1e9, calendar=calendar)
        assert str(e.value) == message
        # Checked before anything is computed, empty inputs included.
        with pytest.raises(ValueError):
            kc.bus_ttx(np.array([], "datetime64[s]"), 1e9, calendar=calendar)
        if message.startswith("No embedded calendar"):
            with pytest.raises(ValueError) as k:
                korvex.Calendar(calendar)
            assert str(k.value) == message

    @pytest.mark.parametrize("calendar", ["{", MINIMAL % "NaN", "\ufeff" + MINIMAL % "1", MINIMAL % "1" + ","])
    def test_documents_that_do_not_parse(self, calendar):
        with pytest.raises(ValueError) as e:
            kc.bus_ttx(0.0, 1e9, calendar=calendar)
        assert "No embedded calendar" not in str(e.value)
        assert kc.bus_ttx(0.0, 7 * 86400.0, calendar=MINIMAL % "1") == pytest.approx(1 / 52, rel=1e-12)

    def test_dicts_are_written_as_json(self):
        def doc(weight):
            return {"DayWeightings": {"monday": weight, "friday": 1}, "TimeWeightings": {},
                    "IanaTimeZone": "UTC"}

        t = np.arange(0, 30 * 86400, 3600, dtype=np.float64)
        # Integers beyond 64 bits are doubles, as in a document's text.
        big = kc.bus_ttx(t, t[::-1], calendar=doc(10**20))
        assert_same_bits(big, kc.bus_ttx(t, t[::-1], calendar=doc(1e20)))
        text = json.dumps(doc(1)).replace('"monday": 1', '"monday": 100000000000000000000')
        assert_same_bits(big, kc.bus_ttx(t, t[::-1], calendar=text))
        # numpy scalars are the numbers they hold.
        assert_same_bits(kc.bus_ttx(t, 0.0, calendar=doc(np.float32(0.1))),
                         kc.bus_ttx(t, 0.0, calendar=doc(float(np.float32(0.1)))))
        assert_same_bits(kc.bus_ttx(t, 0.0, calendar=doc(np.int64(3))), kc.bus_ttx(t, 0.0, calendar=doc(3)))
        for weight in (float("nan"), float("inf"), -float("inf")):
            with pytest.raises(ValueError, match="not a JSON document"):
                kc.bus_ttx(t, 0.0, calendar=doc(weight))
        with pytest.raises(ValueError, match="Problem while parsing a number"):
            kc.bus_ttx(t, 0.0, calendar=doc(10**400))
        with pytest.raises(TypeError, match="not JSON serializable"):
            kc.bus_ttx(t, 0.0, calendar=doc(object()))

    def test_files_and_types(self, tmp_path):
        for missing in (str(tmp_path / "nowhere.json"), tmp_path / "nowhere"):
            with pytest.raises(FileNotFoundError):
                kc.bus_ttx(0.0, 1e9, calendar=missing)
        with pytest.raises(IsADirectoryError):
            kc.bus_ttx(0.0, 1e9, calendar=tmp_path)
        (tmp_path / "latin1.json").write_bytes((MINIMAL % "1").replace("UTC", "UTC\xe9").encode("latin-1"))
        with pytest.raises(ValueError, match="UTF-8"):
            kc.bus_ttx(0.0, 1e9, calendar=tmp_path / "latin1.json")
        for wrong in (None, 3, b"BTCUSDT", ["BTCUSDT"]):
            with pytest.raises(TypeError, match="calendar must be"):
                kc.bus_ttx(0.0, 1e9, calendar=wrong)
        with pytest.raises(ValueError):  # a lone surrogate has no UTF-8
            kc.bus_ttx(0.0, 1e9, calendar="\ud800")
        # Errors leave nothing behind.
        assert kc.bus_ttx(0.0, 1e9, calendar=TEXT) == kc.bus_ttx(0.0, 1e9)


class TestWorkflowClock:
    def test_ttx_between(self, rng):
        from korvex_chain.timing import ttx_between

        start, end = pairs(rng, 100)
        doc = heavy_hour_document("America/Mexico_City")
        got = ttx_between(start, end, "business", calendar=doc)
        assert_same_bits(got, kc.bus_ttx(start, end, calendar=doc))
        assert_same_bits(ttx_between(start, end, "business"), kc.bus_ttx(start, end))
        with pytest.raises(ValueError, match="only to clock='business'"):
            ttx_between(start, end, "calendar", calendar=doc)

    def test_read_chain(self):
        pytest.importorskip("pandas")
        from korvex_chain.timing import utc_ns

        syn = kc.make_chain(bad_rows=False)
        doc = heavy_hour_document("America/Mexico_City")
        chain = kc.read_chain(syn.table, clock="business", calendar=doc)
        e = chain.expiries
        assert_same_bits(e["ttx"].to_numpy(), kc.bus_ttx(utc_ns(e["observation_time"]), utc_ns(e["expiry"]),
                                                         calendar=doc))
        default = kc.read_chain(syn.table, clock="business")
        assert not np.array_equal(default.expiries["ttx"].to_numpy(), e["ttx"].to_numpy())
        with pytest.raises(ValueError, match="only to clock='business'"):
            kc.read_chain(syn.table, calendar=doc)
        with pytest.raises(ValueError, match="Invalid IANA timezone"):
            kc.read_chain(syn.table, clock="business", calendar=doc | {"IanaTimeZone": "Nowhere"})

    def test_fits_and_surface_keep_the_chains_calendar(self):
        # The calendar a chain was read with travels to its fits and their
        # surface: the surface's times are the chain's, and the fitted smiles
        # come back exactly (a surface on another calendar would restate them).
        pytest.importorskip("pandas")
        doc = heavy_hour_document("America/Mexico_City")
        chain = kc.read_chain(kc.make_chain("VolGeo", seed=5, expiry_days=(7, 30, 91)).table, clock="business",
                              calendar=doc)
        assert chain.calendar == doc
        fits = kc.fit_chain(chain, "VolGeo")
        assert fits.calendar == doc
        surface = fits.surface()
        assert surface.calendar == doc
        e = chain.expiries
        assert_same_bits(surface.ttx(e["expiry"].to_numpy()), e["ttx"].to_numpy())
        for f in fits.fits:
            strikes = f.forward * np.linspace(0.8, 1.25, 7)
            assert_same_bits(surface.vol(f.expiry, strikes), f.vols(strikes), str(f.expiry))
        embedded = fits.surface(calendar="BTCUSDT")
        assert not np.array_equal(embedded.ttx(e["expiry"].to_numpy()), e["ttx"].to_numpy())
        assert kc.read_chain(kc.make_chain(bad_rows=False).table, clock="business").calendar == "BTCUSDT"
        assert kc.read_chain(kc.make_chain(bad_rows=False).table).calendar is None
