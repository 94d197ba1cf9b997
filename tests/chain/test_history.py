"""fit_history on synthetic histories: the dataset's tables, warm starts
within a day, failures recorded, resuming after a stop, Tardis snapshots
every interval, the command line and the picture."""

import io
import json
import os
import pathlib
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest

from chain_support import kc  # noqa: F401  (skips the module without korvex_chain)

from korvex_chain import history as hist  # noqa: E402
from korvex_chain.history_tardis import tardis_snapshots  # noqa: E402
from korvex_chain.quotes import price_table  # noqa: E402

DAYS = ("2026-12-07", "2026-12-08", "2026-12-09")
HOURS = (4, 16)


def write_history(folder: pathlib.Path, days=DAYS, hours=HOURS, underlyings=("BTC", "ETH")):
    """Synthetic snapshots named by their time, both underlyings in each file."""
    folder.mkdir(parents=True, exist_ok=True)
    paths = []
    for i, day in enumerate(days):
        for j, h in enumerate(hours):
            obs = f"{day}T{h:02d}:00:00Z"
            seed = 10 * i + j
            parts = [kc.make_chain("VolGeo", underlying=u, spot=100_000.0 / (1 + 20 * k) * (1 + 0.01 * seed),
                                   observation_time=obs, expiry_days=(2, 9, 30), bad_rows=False, seed=seed + k).table
                     for k, u in enumerate(underlyings)]
            path = folder / f"chain_{day.replace('-', '')}T{h:02d}0000Z.csv"
            pd.concat(parts, ignore_index=True).to_csv(path, index=False)
            paths.append(path)
    return paths


def tables(out):
    got = {t: hist.read_history(out, t) for t in ("fits", "quotes", "snapshots")}
    got["snapshots"] = got["snapshots"].drop(columns="seconds")   # the one column that is a clock reading
    return got


def assert_same_dataset(a, b):
    ta, tb = tables(a), tables(b)
    for name in ta:
        pd.testing.assert_frame_equal(ta[name], tb[name], check_exact=True, obj=name)


@pytest.fixture(scope="module")
def snapshots(tmp_path_factory):
    return write_history(tmp_path_factory.mktemp("snaps"))


@pytest.fixture(scope="module")
def finished(snapshots, tmp_path_factory):
    out = tmp_path_factory.mktemp("hist") / "h"
    run = hist.fit_history(snapshots[0].parent, ["VolGeo", "CubicSpline"], out=out, tenors=("1w", "1m"),
                           progress=False)
    return out, run


def test_dataset_tables(finished, snapshots):
    out, run = finished
    assert run.ok and (run.snapshots, run.chunks, run.done, run.skipped) == (6, 3, 6, 0)
    fits = hist.read_history(out, "fits")
    # A row per snapshot, model, underlying and expiry; columns in a fixed schema.
    assert len(fits) == 6 * 2 * 2 * 3 and tuple(fits.columns) == hist.FITS_COLUMNS
    assert (fits["status"] != "failed").all()
    vg = fits[fits["model"] == "VolGeo"]
    assert vg["corr"].notna().all() and vg["p05"].isna().all()
    assert fits.loc[fits["model"] == "CubicSpline", "corr"].isna().all()
    # Warm starts within a day only: the first snapshot of each day starts cold.
    first = fits.groupby(fits["observation_time"].dt.date)["observation_time"].transform("min")
    assert not fits.loc[fits["observation_time"] == first, "warm_start"].any()
    assert fits.loc[fits["observation_time"] != first, "warm_start"].all()

    quotes = hist.read_history(out, "quotes")
    assert len(quotes) == 6 * 2 * 2 * 2
    assert list(quotes.columns) == ["underlying", "observation_time", "snapshot", "model", "tenor", "expiry", "time",
                                    "forward", "atm_vol", "rr25", "bf25", "rr10", "bf10"]
    # The quotes are those of the snapshot's own surface.
    snap = str(snapshots[3])
    chain = kc.read_chain(snap)
    cf = kc.fit_chain(chain, "VolGeo", previous=kc.fit_chain(kc.read_chain(str(snapshots[2])), "VolGeo"))
    want = cf.surface("ETH").quotes(("1w", "1m"))
    got = quotes[(quotes["snapshot"] == snap) & (quotes["model"] == "VolGeo") & (quotes["underlying"] == "ETH")]
    np.testing.assert_array_equal(got["atm_vol"].to_numpy(), want["atm_vol"].to_numpy())
    np.testing.assert_array_equal(got["rr25"].to_numpy(), want["rr25"].to_numpy())

    snaps = hist.read_history(out, "snapshots")
    assert list(snaps["file"]) == [str(p) for p in snapshots]
    assert snaps["error"].isna().all() and (snaps["rows"] == snaps["priced"] + snaps["rejected"]).all()
    # Partitioned by underlying: plain pyarrow reads it too.
    assert sorted(pd.read_parquet(out / "quotes")["underlying"].astype(str).unique()) == ["BTC", "ETH"]
    assert sorted(hist.read_history(out, "fits", underlying="ETH")["underlying"].unique()) == ["ETH"]


def test_failed_snapshots_are_recorded(snapshots, tmp_path):
    folder = tmp_path / "s"
    folder.mkdir()
    for p in snapshots[:2]:
        (folder / p.name).write_bytes(p.read_bytes())
    bad = folder / "chain_20261207T100000Z.csv"
    bad.write_text("this,is\nnot,a chain\n")
    (folder / "SOURCES.md").write_text("not a snapshot")
    run = hist.fit_history(folder, "VolGeo", out=tmp_path / "h", tenors="1m", progress=False)
    assert not run.ok and (run.done, run.failed) == (3, 1)
    snaps = hist.read_history(tmp_path / "h", "snapshots")
    row = snaps[snaps["file"] == str(bad)].iloc[0]
    assert row["error"].startswith("ValueError: cannot tell the layout") and pd.isna(row["observation_time"])
    # The snapshot after the failure still warm-starts from the one before it.
    fits = hist.read_history(tmp_path / "h", "fits")
    assert fits.groupby("snapshot")["warm_start"].all().tolist() == [False, True]


def test_options_are_checked_before_any_work(snapshots, tmp_path):
    # Options only a fit or a quote table would refuse: refused at once, with
    # nothing written, rather than failing (or quietly emptying) every snapshot.
    for bad, msg in (({"model": "Heston"}, "unknown model"), ({"weights": "bogus"}, "unknown weights"),
                     ({"solver": "lm"}, "unknown solver"), ({"calendar_arbitrage": "fix"}, "unknown calendar_arb"),
                     ({"delta": "bogus"}, "unknown delta"), ({"atm": "spot"}, "unknown atm"),
                     ({"deltas": (25, 60)}, "deltas must lie"), ({"tenors": ["1m", "1x"]}, "Invalid tenor"),
                     ({"tenors": []}, "no tenors")):
        with pytest.raises(ValueError, match=msg):
            hist.fit_history(snapshots[:1], **{"model": "VolGeo", **bad}, out=tmp_path / "h", progress=False)
        assert not (tmp_path / "h").exists(), bad


def test_resume_after_a_stop_gives_the_same_dataset(snapshots, finished, tmp_path, monkeypatch):
    out = tmp_path / "h"
    real = hist.run_chunk
    calls = []

    def stop_on_third(chunk, opts):
        calls.append(chunk.id)
        if len(calls) == 3:
            raise KeyboardInterrupt
        return real(chunk, opts)

    monkeypatch.setattr(hist, "run_chunk", stop_on_third)
    with pytest.raises(KeyboardInterrupt):
        hist.fit_history(snapshots, ["VolGeo", "CubicSpline"], out=out, tenors=("1w", "1m"), progress=False)
    assert len(hist.read_history(out, "snapshots")) == 4
    monkeypatch.setattr(hist, "run_chunk", real)
    # A stop inside a commit: one chunk's file still under its hidden name
    # (committed in the manifest), and a stray file of a chunk in flight.
    entry = json.loads((out / "_manifest" / "2026-12-08.json").read_text())
    tmp, final = entry["moves"][0]
    os.replace(out / final, out / tmp)
    stray = out / "fits" / "underlying=BTC" / ".2026-12-09.0123.parquet.tmp"
    stray.write_bytes(b"partial")
    run = hist.fit_history(snapshots, ["VolGeo", "CubicSpline"], out=out, tenors=("1w", "1m"), progress=False)
    assert (run.done, run.skipped) == (2, 4)
    assert (out / final).exists() and not stray.exists()
    assert_same_dataset(out, finished[0])
    # A finished dataset: nothing to do.
    again = hist.fit_history(snapshots, ["VolGeo", "CubicSpline"], out=out, tenors=("1w", "1m"), progress=False)
    assert (again.done, again.skipped) == (0, 6)
    # Other options are refused rather than mixed in.
    with pytest.raises(ValueError, match="other options.*models"):
        hist.fit_history(snapshots, "VolGeo", out=out, tenors=("1w", "1m"), progress=False)


def test_a_day_with_a_new_snapshot_is_fitted_again(snapshots, tmp_path):
    out, full = tmp_path / "h", tmp_path / "full"
    folder = tmp_path / "s"
    more = write_history(folder, days=DAYS[:1], hours=(4, 10, 16), underlyings=("BTC",))
    hist.fit_history([more[0], more[2]], "VolGeo", out=out, tenors="1m", progress=False)
    run = hist.fit_history(more, "VolGeo", out=out, tenors="1m", progress=False)
    assert (run.done, run.skipped) == (3, 0)
    hist.fit_history(more, "VolGeo", out=full, tenors="1m", progress=False)
    assert_same_dataset(out, full)
    assert sorted(p.name for p in (out / "fits" / "underlying=BTC").iterdir()) == ["2026-12-07.parquet"]


def test_sources_and_their_days(tmp_path):
    (tmp_path / "a").mkdir()
    for name in ("x_2026-01-02T03-04.csv", "y_20260101.json.gz", "notes.txt", ".hidden.csv"):
        (tmp_path / "a" / name).write_text("")
    got = hist.list_sources([tmp_path / "a", str(tmp_path / "a" / "*.csv")])
    assert [os.path.basename(p) for p in got] == ["x_2026-01-02T03-04.csv", "y_20260101.json.gz"]
    for missing in (tmp_path / "nothing", str(tmp_path / "*.parquet")):
        with pytest.raises(FileNotFoundError):
            hist.list_sources(missing)
    when = hist._name_time
    assert when("/d/deribit_options_snapshot_20260101T091835Z.csv.gz").isoformat() == "2026-01-01T09:18:35"
    assert when("/data/2026/01/05/snap.json").isoformat() == "2026-01-05T00:00:00"
    assert when("/d/chain_2026-13-01.csv") is None and when("/d/id_120260101.csv") is None


def test_files_without_a_date_are_read_for_their_day(tmp_path):
    paths = write_history(tmp_path / "s", days=DAYS[:2], hours=(4,), underlyings=("BTC",))
    plain = [p.rename(p.with_name(f"snap{i}.csv")) for i, p in enumerate(paths)]
    run = hist.fit_history(plain, "VolGeo", out=tmp_path / "h", tenors="1m", progress=False)
    assert run.chunks == 2
    assert list(hist.read_history(tmp_path / "h", "snapshots")["chunk"]) == ["2026-12-07", "2026-12-08"]


def _tardis_updates(tmp_path):
    syn = kc.make_chain("VolGeo", observation_time="2026-12-07T10:00:00Z", expiry_days=(2, 9, 30), bad_rows=False)
    last = kc.to_layout(syn.table, "tardis")
    rng = np.random.default_rng(3)
    parts = []
    for back in (100, 75, 50, 40, 20, 0):        # minutes before the last update
        u = last.copy()
        u["timestamp"] -= back * 60_000_000 + rng.integers(0, 5_000_000, len(u))
        u["bid_price"] = u["bid_price"] * (1 - back / 2000)
        parts.append(u.sample(frac=0.8, random_state=back))
    # Out of time order in the file, as a vendor's file may be.
    data = pd.concat(parts, ignore_index=True).sample(frac=1.0, random_state=1)
    path = tmp_path / "deribit_options_chain_2026-12-07_OPTIONS.csv.gz"
    data.to_csv(path, index=False)
    return path, data


def test_tardis_snapshots_every_interval_are_read_chains_at_those_instants(tmp_path):
    path, data = _tardis_updates(tmp_path)
    got = list(tardis_snapshots(str(path), 30 * 60_000_000, max_age="30min"))
    first, last = data["timestamp"].min(), data["timestamp"].max()
    step = 30 * 60_000_000
    assert [at for at, _ in got] == list(range((first // step + 1) * step, last + 1, step))
    assert len(got) >= 3
    for at, table in got:
        mine = price_table(table)
        want = kc.read_chain(path, at=at / 1e6, max_age="30min")
        pd.testing.assert_frame_equal(mine.quotes, want.quotes, check_exact=True)
        pd.testing.assert_frame_equal(mine.rejected, want.rejected, check_exact=True)
        assert mine.observation_time == want.observation_time and mine.notes == want.notes

    out = tmp_path / "h"
    run = hist.fit_history(path, "VolGeo", out=out, every="30min", max_age="30min", tenors="1w", progress=False)
    snaps = hist.read_history(out, "snapshots")
    assert run.ok and run.snapshots == len(got) == len(snaps)
    assert list(snaps["at"].astype("int64") // 1000) == [at for at, _ in got]
    fits = hist.read_history(out, "fits")
    assert fits.groupby("snapshot")["warm_start"].any().tolist() == [False] + [True] * (len(got) - 1)


def test_progress_bar():
    s = io.StringIO()
    bar = hist._Progress(4, True, s)
    bar.update(1)
    bar.update(3)
    bar.close()
    text = s.getvalue()
    assert "1/4 snapshots" in text and "4/4 snapshots" in text and "left" in text and text.endswith("\n")
    quiet = io.StringIO()
    hist._Progress(4, False, quiet).update(4)
    assert quiet.getvalue() == ""


def _cli(*args, cwd):
    return subprocess.run([sys.executable, "-m", "korvex_chain", "history", *map(str, args)], cwd=cwd,
                          capture_output=True, text=True, timeout=300)


def test_command_line(snapshots, tmp_path):
    pytest.importorskip("matplotlib")
    folder = snapshots[0].parent
    # A collector's own names, mapped from a JSON file.
    renamed = tmp_path / "renamed"
    renamed.mkdir()
    mapping = {"expiry_utc": "expiry", "observation_time_utc": "ts", "bid": "b", "ask": "a", "mark": "m"}
    for p in snapshots[:2]:
        pd.read_csv(p).rename(columns=mapping).to_csv(renamed / p.name, index=False)
    (tmp_path / "map.json").write_text(json.dumps(mapping))
    r = _cli(renamed, "--model", "VolGeo", "--columns", "map.json", "--iv-unit", "decimal", "--tenors", "1w,1m",
             "--out", "h", "--plot", "h.png", cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    assert "2 snapshots in 1 chunks; 2 fitted now (0 failed)" in r.stdout and (tmp_path / "h.png").stat().st_size
    assert r.stderr == ""     # no progress bar when not on a terminal
    # Again over the finished dataset: nothing to do, and no time spent
    # importing pandas or pyarrow to find that out.
    again = ("import runpy, sys\n"
             "sys.argv = ['korvex_chain', 'history', sys.argv[1], '--model', 'VolGeo', '--columns', 'map.json',"
             " '--iv-unit', 'decimal', '--tenors', '1w,1m', '--out', 'h', '--quiet']\n"
             "try:\n    runpy.run_module('korvex_chain', run_name='__main__')\n"
             "except SystemExit as e:\n    print(e.code, sorted({'pandas', 'pyarrow'} & set(sys.modules)))\n")
    r = subprocess.run([sys.executable, "-c", again, str(renamed)], cwd=tmp_path, capture_output=True, text=True,
                       timeout=300)
    assert r.stdout == "0 []\n", r.stderr
    # Failed snapshots: status 1. Bad options and sources: status 2, nothing written.
    (renamed / "chain_20261207T200000Z.csv").write_text("a,b\n1,2\n")
    r = _cli(renamed, "--model", "VolGeo", "--columns", json.dumps(mapping), "--iv-unit", "decimal",
             "--tenors", "1w,1m", "--out", "h", cwd=tmp_path)
    assert r.returncode == 1 and "(1 failed)" in r.stdout
    for bad, msg in ((["--columns", "{oops"], "not valid JSON"), (["--columns", "nofile.json"], "neither JSON"),
                     (["--deltas", "25,x"], "numbers"), (["--max-age", "5min"], "give --every"),
                     (["--workers", "0"], "at least one worker"), (["--tenors", "1w,1x"], "Invalid tenor")):
        r = _cli(folder, *bad, "--out", "h2", cwd=tmp_path)
        assert r.returncode == 2 and msg in r.stderr, (bad, r.stderr)
    r = _cli(tmp_path / "none", "--out", "h2", cwd=tmp_path)
    assert r.returncode == 2 and "no such file or folder" in r.stderr
    assert not (tmp_path / "h2").exists()


def test_plot_history(finished, tmp_path):
    pytest.importorskip("matplotlib")
    out, _ = finished
    png = kc.plot_history(out, tmp_path / "h.png", tenors=("1w", "1m"), model="CubicSpline")
    assert pathlib.Path(png).read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    with pytest.raises(ValueError, match="tenors"):
        kc.plot_history(out, tmp_path / "x.png", tenors=("5y",))
    with pytest.raises(ValueError, match="model"):
        kc.plot_history(out, tmp_path / "x.png", model="GVVSpline")


@pytest.mark.slow
def test_client_of_a_running_cluster(snapshots, finished, tmp_path):
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=False,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        run = hist.fit_history(snapshots, ["VolGeo", "CubicSpline"], out=tmp_path / "h", tenors=("1w", "1m"),
                               client=client, progress=False)
    assert run.ok and run.done == 6
    assert_same_dataset(tmp_path / "h", finished[0])


def test_business_clock_on_a_calendar_of_ones_own(snapshots, tmp_path):
    # The history keeps to the calendar it is given, as read_chain does: the
    # fits' times are the chain's on that calendar, the document (read once
    # from its file) is part of the dataset's settings, and another calendar
    # is refused when continuing.
    doc = {"DayWeightings": {d: 1 for d in ("monday", "tuesday", "wednesday", "thursday", "friday")}
           | {"saturday": 0.2, "sunday": 0.2}, "TimeWeightings": {}, "IanaTimeZone": "America/Mexico_City"}
    path = tmp_path / "desk.json"
    path.write_text(json.dumps(doc))
    out = tmp_path / "h"
    hist.fit_history(snapshots[:2], "VolGeo", out=out, clock="business", calendar=path, tenors=("1w",))
    fits = hist.read_history(out, "fits")
    chain = kc.read_chain(snapshots[0], clock="business", calendar=doc)
    want = chain.expiries.set_index(["underlying", "expiry"])["ttx"]
    first = fits[fits["snapshot"] == fits["snapshot"].min()].set_index(["underlying", "expiry"])["ttx"]
    assert first.to_dict() == want.to_dict()
    assert (fits["clock"] == "business").all()
    with pytest.raises(ValueError):
        hist.fit_history(snapshots[:2], "VolGeo", out=out, clock="business", tenors=("1w",))
    with pytest.raises(ValueError, match="only to clock='business'"):
        hist.fit_history(snapshots[:2], "VolGeo", out=tmp_path / "h3", calendar=path)
