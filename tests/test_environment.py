"""Results do not depend on ICU's environment variables.

ICU reads time-zone data from the directory in ICU_TIMEZONE_FILES_DIR and
data items from files under ICU_DATA before its linked-in data. The module
carries its own ICU and data and must ignore both: each case runs a child
interpreter with the variables pointing at planted files and compares its
business times, bit for bit, with a run without them.
"""
import ctypes.util
import json
import os
import shutil
import subprocess
import sys

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


def run_child(env_extra):
    env = {k: v for k, v in os.environ.items() if not k.startswith("ICU_")}
    env.update(env_extra)
    done = subprocess.run([sys.executable, "-c", CHILD], env=env, capture_output=True, text=True, timeout=120)
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
    """The module's results, without what the system's ICU said."""
    return {k: v for k, v in results.items() if k != "system_icu_tz"}


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
