"""Results do not depend on the environment's time zone or ICU settings.

The modules carry their own IANA time zone release and read it with cctz,
whose own lookup would go to TZDIR, the system's zone files
(/usr/share/zoneinfo) and TZ; they carry their own ICU (for case mapping),
which would read data items from files under ICU_DATA, and time-zone items
from ICU_TIMEZONE_FILES_DIR, before its linked-in data. The modules must
ignore all of them: each case runs a child interpreter with valid or
garbage files planted where those readers look, and compares its business
times, bit for bit, with a run without them; what a reader that follows the
environment (the system's ICU, the C library) sees shows that the plant took.
"""
import ctypes.util
import json
import os
import shutil
import struct
import subprocess
import sys
from pathlib import Path

import pytest

# Business time between pairs of UTC instants: both sides of the US daylight
# saving changes over several years, a weekend, and spans of months and years.
CHILD = r"""
import ctypes, ctypes.util, datetime as dt, json, sys
import numpy as np
import korvex
import korvex_chain

def at(s):
    return dt.datetime.fromtimestamp(s, tz=dt.timezone.utc)

day = 86400
starts = [1205000000 + k * 7 * day + h * 3600 for k in range(0, 600, 37) for h in (0, 5, 13)]
cal = korvex.Calendar("BTCUSDT")
spans = (3600, 2 * day, 9 * day, 95 * day, 400 * day)
out = {"bus": [], "cal": []}
for s in starts:
    for span in spans:
        out["bus"].append(cal.get_bus_ttx(at(s), at(s + span)).hex())
        out["cal"].append(korvex.Calendar.get_cal_ttx(at(s), at(s + span)).hex())
# korvex_chain's module carries its own copy of ICU, set up on its own.
first = np.array([float(s) for s in starts for _ in spans])
last = first + np.tile(np.array(spans, dtype=float), len(starts))
out["chain_bus"] = [x.hex() for x in korvex_chain.bus_ttx(first, last).tolist()]
# A non-ASCII side goes through ICU's case mapping.
try:
    korvex.b76_fairvalue(100.0, 100.0, 0.5, 0.2, "\u0130call")
except ValueError as e:
    out["side_error"] = str(e)

# The C library follows TZ (and TZDIR): New York's offset on 1 January 2025
# when TZ names it.
import time
time.tzset()
out["libc_offset"] = time.localtime(1735689600).tm_gmtoff
# The same process's other ICU, if the system has one: it must still see
# the environment (the module's settings are its own).
out["system_icu_tz"] = None
name = ctypes.util.find_library("icui18n")
if name:
    lib = ctypes.CDLL(name)
    suffix = "_" + name.rsplit(".so.", 1)[1].split(".")[0]
    fn = getattr(lib, "ucal_getTZDataVersion" + suffix)
    fn.restype = ctypes.c_char_p
    status = ctypes.c_int(0)
    out["system_icu_tz"] = fn(ctypes.byref(status)).decode()
print(json.dumps(out))
"""

# A well-formed zoneinfo64 that differs from the real one: its own release
# name, and New York at a fixed UTC-4 all year.
FAKE_ZONEINFO = """zoneinfo64:table(nofallback){
    TZVersion { "2099z" }
    Zones:array {
        :table { typeOffsets:intvector { -14400, 0 } }
        :int { 0 }
        :table { typeOffsets:intvector { 0, 0 } }
    }
    Names { "America/New_York", "US/Eastern", "UTC" }
}
"""

ITEMS = ("zoneinfo64.res", "timezoneTypes.res", "keyTypeData.res", "metaZones.res")


def run_child(env_extra, wrap=()):
    env = {k: v for k, v in os.environ.items() if not k.startswith("ICU_") and k not in ("TZ", "TZDIR")}
    env.update(env_extra)
    done = subprocess.run([*wrap, sys.executable, "-c", CHILD], env=env, capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


def plant(directory, items):
    """Puts each item where ICU looks for it: loose in the directory (time-zone
    files), under a package directory and as a whole package (ICU_DATA), for
    every ICU version the module could have been built with."""
    directory.mkdir()
    for name, payload in items.items():
        (directory / name).write_bytes(payload)
    for version in range(60, 90):
        package = directory / f"icudt{version}l"
        package.mkdir()
        for name, payload in items.items():
            (package / name).write_bytes(payload)
        (directory / f"icudt{version}l.dat").write_bytes(os.urandom(4096))


@pytest.fixture(scope="module")
def baseline():
    return run_child({})


def planted_env(directory):
    return {"ICU_TIMEZONE_FILES_DIR": str(directory), "ICU_DATA": str(directory)}


def own(results):
    """The module's results, without what the system's ICU and C library said."""
    return {k: v for k, v in results.items() if k not in ("system_icu_tz", "libc_offset")}


def test_garbage_data_files_are_ignored(tmp_path, baseline):
    plant(tmp_path / "garbage", {name: os.urandom(6000) for name in ITEMS})
    planted = run_child(planted_env(tmp_path / "garbage"))
    assert own(planted) == own(baseline)
    # An ICU that follows the environment loses its zone data to the plant.
    if baseline["system_icu_tz"] is not None:
        assert planted["system_icu_tz"] != baseline["system_icu_tz"]


def fake_zoneinfo(tmp_path):
    genrb = shutil.which("genrb")
    if genrb is None:
        pytest.skip("genrb (icu-devtools) is needed to compile the planted zoneinfo64")
    src = tmp_path / "zoneinfo64.txt"
    src.write_text(FAKE_ZONEINFO)
    subprocess.run([genrb, "-q", "-d", str(tmp_path), str(src)], check=True)
    return (tmp_path / "zoneinfo64.res").read_bytes()


def test_a_valid_different_zoneinfo_is_ignored(tmp_path, baseline):
    plant(tmp_path / "fake", {"zoneinfo64.res": fake_zoneinfo(tmp_path)})
    planted = run_child(planted_env(tmp_path / "fake"))
    assert own(planted) == own(baseline)
    # The planted file is one an ICU that follows the environment accepts
    # (so the comparison above can fail), and the module's settings did not
    # reach the system's ICU loaded beside it.
    if planted["system_icu_tz"] is None:
        pytest.skip("no system ICU to check the planted file against")
    assert planted["system_icu_tz"] == "2099z"
    assert baseline["system_icu_tz"] != "2099z"


def tzif(offset_seconds):
    """A valid zone file (TZif version 2): a fixed offset, no transitions."""
    chars = b"FAKE\0"
    block = b"TZif2" + bytes(15) + struct.pack(">6l", 0, 0, 0, 0, 1, len(chars))
    block += struct.pack(">lBB", offset_seconds, 0, 0) + chars
    return block + block + b"\n<FAKE>%d\n" % (-offset_seconds // 3600)


# New York at a fixed UTC-4 all year, under every name a reader might use.
PLANTED_NAMES = ("US/Eastern", "America/New_York", "EST5EDT", "UTC", "Etc/UTC", "posixrules", "localtime")


def plant_zones(directory):
    for name in PLANTED_NAMES:
        (directory / name).parent.mkdir(parents=True, exist_ok=True)
        (directory / name).write_bytes(tzif(-4 * 3600))
    return directory


def test_planted_zone_files_and_tz_are_ignored(tmp_path, baseline):
    zones = plant_zones(tmp_path / "zones")
    planted = run_child({"TZDIR": str(zones), "TZ": ":US/Eastern"})
    assert own(planted) == own(baseline)
    # The C library read the planted New York.
    assert planted["libc_offset"] == -4 * 3600
    # And with TZ naming a planted file by its path.
    planted = run_child({"TZ": ":" + str(zones / "US/Eastern")})
    assert own(planted) == own(baseline)
    assert planted["libc_offset"] == -4 * 3600


def test_system_zone_files_are_ignored(tmp_path, baseline):
    """The system's zone directory itself replaced, in a mount namespace of the
    child's own (where the machine allows one)."""
    unshare = shutil.which("unshare")
    system = Path("/usr/share/zoneinfo")
    zones = plant_zones(tmp_path / "zones")
    wrap = (unshare, "--mount", "--propagation", "private", "sh", "-c",
            f'mount --bind "$0" {system} && exec "$@"', str(zones))
    if unshare is None or not system.is_dir() or subprocess.run(
            [*wrap, "true"], capture_output=True).returncode != 0:
        pytest.skip("no private mount namespace here to replace /usr/share/zoneinfo in")
    planted = run_child({"TZ": ":America/New_York"}, wrap)
    assert own(planted) == own(baseline)
    assert planted["libc_offset"] == -4 * 3600
