"""History at scale: fit_history against a plain loop and the command line.

On the real collector snapshots of ../shared/data/history (53 files, BTC and
ETH, three models), one run, medians of the repeats:

- a plain single-process loop of read_chain + fit_chain over the snapshots,
  fit_history in one process and fit_history on two workers (a LocalCluster
  started by the call), each in a fresh process, timed from the first read
  to the end (korvex_chain imported before the clock starts; Dask's import
  and the cluster's start are inside the two-worker figure);
- the command line once per snapshot (`python -m korvex_chain fit FILE`
  with the three models) against the history command once
  (`python -m korvex_chain history FOLDER --workers 2`), both timed from
  outside, start-up included;
- a second run of the history command over the finished dataset;
- the peak resident memory of each worker (and of the driver) for the 53
  snapshots and for three times as many (the same files under later dates).

Writes bench/RESULTS_HISTORY.md. Usage: python bench/bench_history.py [--repeats N]
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
HISTORY = ROOT.parent / "shared" / "data" / "history"
MODELS = ["GVVSpline", "VolGeo", "CubicSpline"]
sys.path.insert(0, str(ROOT / "bench"))
from bench_readers import COLLECTOR  # noqa: E402  (the collector's mapping, as the README shows it)

_PRELUDE = f"""
import glob, json, sys, time
import korvex_chain
from korvex_chain.quotes import read_chain
from korvex_chain.fit import fit_chain
import korvex_chain.history as history
MODELS = {MODELS!r}
COLS = json.loads(sys.argv[2])
"""
LOOP = _PRELUDE + """
files = history.list_sources(sys.argv[1])
t = time.perf_counter()
for f in files:
    chain = read_chain(f, columns=COLS, iv_unit="decimal")
    for m in MODELS:
        fit_chain(chain, m)
print(time.perf_counter() - t)
"""
HIST = _PRELUDE + """
if __name__ == "__main__":
    workers = int(sys.argv[4])
    t = time.perf_counter()
    run = history.fit_history(sys.argv[1], MODELS, out=sys.argv[3], columns=COLS, iv_unit="decimal",
                              workers=workers, progress=False)
    assert run.ok and run.done == run.snapshots, run
    print(time.perf_counter() - t)
"""
MEMORY = _PRELUDE + """
import multiprocessing, resource
import dask
from distributed import Client, LocalCluster

def peak():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0

if __name__ == "__main__":
    # The cluster fit_history starts itself (forked workers), given as client=
    # so that its workers can be asked for their peak afterwards.
    with dask.config.set({"distributed.worker.multiprocessing-method": "fork"}):
        cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                               silence_logs=40)
    with cluster, Client(cluster) as client:
        run = history.fit_history(sys.argv[1], MODELS, out=sys.argv[3], columns=COLS, iv_unit="decimal",
                                  client=client, progress=False)
        assert run.ok, run
        workers = sorted(client.run(peak).values())
    print(json.dumps({"snapshots": run.snapshots, "workers": workers, "driver": peak()}))
"""


def python() -> str:
    return sys.executable


def timed_script(code: str, *args: str) -> float:
    r = subprocess.run([python(), "-c", code, *args], capture_output=True, text=True, check=False)
    if r.returncode != 0:
        raise RuntimeError(r.stderr[-3000:])
    return float(r.stdout.strip().splitlines()[-1])


def wall(cmd: list[str]) -> float:
    t = time.monotonic()
    r = subprocess.run(cmd, capture_output=True, text=True, check=False)
    if r.returncode != 0:
        raise RuntimeError(f"{cmd[:6]}...: {r.stderr[-2000:]}")
    return time.monotonic() - t


def load() -> str:
    return ", ".join(f"{x:.2f}" for x in os.getloadavg())


def more_days(tmp: pathlib.Path, copies: int) -> pathlib.Path:
    """The snapshots again under later dates (2 and 4 weeks on): a longer history of the same size per day."""
    import re

    folder = tmp / "longer"
    folder.mkdir()
    for src in sorted(HISTORY.glob("*.csv.gz")):
        for k in range(copies):
            name = re.sub(r"202601(\d\d)", lambda m: f"2026{1 + k:02d}{m[1]}", src.name)
            os.symlink(src, folder / name)
    return folder


def main() -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("--repeats", type=int, default=3)
    args = ap.parse_args()
    if not HISTORY.is_dir():
        print(f"no snapshots at {HISTORY}", file=sys.stderr)
        return 1
    n = len(list(HISTORY.glob("*.csv.gz")))
    cols = json.dumps(COLLECTOR)
    tmp = pathlib.Path(tempfile.mkdtemp(prefix="bench-history-"))
    loads = [load()]
    try:
        t_loop, t_one, t_two = [], [], []
        for i in range(args.repeats):
            t_loop.append(timed_script(LOOP, str(HISTORY), cols))
            t_one.append(timed_script(HIST, str(HISTORY), cols, str(tmp / f"one{i}"), "1"))
            t_two.append(timed_script(HIST, str(HISTORY), cols, str(tmp / f"two{i}"), "2"))
        loads.append(load())

        model_args = [a for m in MODELS for a in ("--model", m)]
        fit_cmd = [python(), "-m", "korvex_chain", "fit"]
        t0 = time.monotonic()
        for f in sorted(HISTORY.glob("*.csv.gz")):
            wall(fit_cmd + [str(f), *model_args, "--columns", cols, "--iv-unit", "decimal"])
        t_cli = time.monotonic() - t0
        hist_cmd = [python(), "-m", "korvex_chain", "history", str(HISTORY), *model_args, "--columns", cols,
                    "--iv-unit", "decimal", "--workers", "2", "--quiet"]
        t_cmd, t_again = [], []
        for i in range(args.repeats):
            out = tmp / f"cmd{i}"
            t_cmd.append(wall(hist_cmd + ["--out", str(out)]))
            t_again.append(wall(hist_cmd + ["--out", str(out)]))
        loads.append(load())

        mem = [json.loads(subprocess.run([python(), "-c", MEMORY, str(src), cols, str(tmp / f"mem{k}")],
                                         capture_output=True, text=True, check=True).stdout.splitlines()[-1])
               for k, src in enumerate((HISTORY, more_days(tmp, 3)))]
        loads.append(load())
    finally:
        shutil.rmtree(tmp, ignore_errors=True)

    med = statistics.median
    loop, one, two = med(t_loop), med(t_one), med(t_two)
    cmd, again = med(t_cmd), med(t_again)
    import numpy
    import pandas
    import pyarrow

    import distributed

    lines = [
        "# History benchmark (bench/bench_history.py)",
        "",
        f"One run on {time.strftime('%Y-%m-%d', time.gmtime())}, {platform.machine()} Linux, {os.cpu_count()} CPUs "
        f"(shared with other work), CPython {platform.python_version()}, numpy {numpy.__version__}, "
        f"pandas {pandas.__version__}, pyarrow {pyarrow.__version__}, distributed {distributed.__version__}. "
        f"Load average (1, 5, 15 min) before, after the timings, after the commands and at the end: "
        + "; ".join(loads) + ".",
        "",
        f"The {n} collector snapshots of `../shared/data/history` (BTC and ETH, 14 days), three models "
        f"({', '.join(MODELS)}), seven tenors and 25- and 10-delta quotes per underlying and model. Medians of "
        f"{args.repeats} repeats; each timing in a fresh process.",
        "",
        "| what | time | per snapshot | ratio | target |",
        "|---|---|---|---|---|",
        f"| plain loop: read_chain + fit_chain, one process | {loop:.2f} s | {loop / n * 1e3:.0f} ms | 1 | |",
        f"| fit_history, one process (fits, quotes, dataset) | {one:.2f} s | {one / n * 1e3:.0f} ms | "
        f"{one / loop:.2f} × loop | |",
        f"| fit_history, 2 workers (LocalCluster started by the call) | {two:.2f} s | {two / n * 1e3:.0f} ms | "
        f"{two / loop:.2f} × loop | ≤ 0.6 |",
        f"| command line once per snapshot (`fit`, three models), {n} runs | {t_cli:.1f} s | "
        f"{t_cli / n * 1e3:.0f} ms | 1 | |",
        f"| `history --workers 2` once, start-up included | {cmd:.2f} s | {cmd / n * 1e3:.0f} ms | "
        f"1/{t_cli / cmd:.1f} of the per-snapshot runs | ≤ 1/20 |",
        f"| the same command again over the finished dataset | {again:.2f} s | | {again / cmd:.1%} of the first run "
        f"| ≤ 10 % |",
        "",
        "Peak resident memory (ru_maxrss) of each of the 2 worker processes and of the driver:",
        "",
        "| snapshots | workers | driver | target |",
        "|---|---|---|---|",
    ]
    for m in mem:
        lines.append(f"| {m['snapshots']} | {' / '.join(f'{w:.0f} MB' for w in m['workers'])} | "
                     f"{m['driver']:.0f} MB | ≤ 500 MB per worker |")
    lines += ["", "Raw timings (s): loop " + ", ".join(f"{x:.2f}" for x in t_loop) + "; one process "
              + ", ".join(f"{x:.2f}" for x in t_one) + "; 2 workers " + ", ".join(f"{x:.2f}" for x in t_two)
              + "; history command " + ", ".join(f"{x:.2f}" for x in t_cmd) + "; again "
              + ", ".join(f"{x:.2f}" for x in t_again) + "."]
    text = "\n".join(lines) + "\n"
    (ROOT / "bench" / "RESULTS_HISTORY.md").write_text(text)
    print(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
