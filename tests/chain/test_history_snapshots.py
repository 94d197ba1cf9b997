"""fit_history on the 53 real collector snapshots of ../shared/data/history:
the same dataset, bit for bit, in one process, on a two-worker Dask
LocalCluster, and after a run killed part way through and resumed."""

import json
import os
import signal
import subprocess
import sys
import time

import pytest

from chain_support import CHAINS, COLLECTOR, kc  # noqa: F401  (skips the module without korvex_chain)

from korvex_chain import history as hist  # noqa: E402

HISTORY = CHAINS.parent / "history"
MODELS = ["GVVSpline", "VolGeo", "CubicSpline"]

pytestmark = [pytest.mark.slow,
              pytest.mark.skipif(not HISTORY.is_dir(), reason="shared history snapshots not present")]


def run(out, **kw):
    return hist.fit_history(HISTORY, MODELS, out=out, columns=COLLECTOR, iv_unit="decimal", progress=False, **kw)


def assert_same_dataset(a, b):
    import pandas as pd

    for name in ("fits", "quotes", "snapshots"):
        ta, tb = hist.read_history(a, name), hist.read_history(b, name)
        if name == "snapshots":
            ta, tb = ta.drop(columns="seconds"), tb.drop(columns="seconds")
        pd.testing.assert_frame_equal(ta, tb, check_exact=True, obj=name)


@pytest.fixture(scope="module")
def one_process(tmp_path_factory):
    out = tmp_path_factory.mktemp("history") / "one"
    return out, run(out)


def test_one_process(one_process):
    out, r = one_process
    assert r.ok and (r.snapshots, r.chunks, r.done) == (53, 14, 53)
    snaps = hist.read_history(out, "snapshots")
    assert snaps["error"].isna().all() and snaps["rows"].sum() == 69_710
    quotes = hist.read_history(out, "quotes")
    assert len(quotes) == 53 * 2 * 3 * 7 and quotes["atm_vol"].between(0.2, 1.5).all()
    fits = hist.read_history(out, "fits")
    assert (fits["status"] != "failed").mean() > 0.99
    # Warm starts on every snapshot but the first of each day.
    assert fits.groupby("snapshot")["warm_start"].any().sum() == 53 - 14


def test_two_workers_give_the_same_dataset(one_process, tmp_path):
    pytest.importorskip("distributed")
    r = run(tmp_path / "two", workers=2)
    assert r.ok and r.done == 53
    assert_same_dataset(tmp_path / "two", one_process[0])


def test_killed_and_resumed_gives_the_same_dataset(one_process, tmp_path):
    pytest.importorskip("distributed")
    out = tmp_path / "killed"
    cmd = [sys.executable, "-m", "korvex_chain", "history", str(HISTORY), "--out", str(out), "--quiet",
           "--columns", json.dumps(COLLECTOR), "--iv-unit", "decimal", "--workers", "2"]
    for m in MODELS:
        cmd += ["--model", m]
    proc = subprocess.Popen(cmd, start_new_session=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    manifest = out / "_manifest"
    try:
        deadline = time.monotonic() + 240
        while time.monotonic() < deadline and proc.poll() is None:
            if manifest.is_dir() and len([n for n in os.listdir(manifest) if n.endswith(".json")]) >= 4:
                break
            time.sleep(0.05)
    finally:
        # The run and its worker processes, all at once: a hard stop.
        if proc.poll() is None:
            os.killpg(proc.pid, signal.SIGKILL)
        proc.wait(timeout=60)
    done_before = len([n for n in os.listdir(manifest) if n.endswith(".json")])
    assert 4 <= done_before < 14, "the run ended before it could be stopped part way"
    r = run(out)
    assert r.ok and r.skipped >= 4 * 2 and r.skipped + r.done == 53
    assert_same_dataset(out, one_process[0])
