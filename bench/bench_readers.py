"""Reading chains in their own layouts: read_chain against reading the file alone.

Two measurements, each a ratio from one run (medians of alternating
repetitions, so that load on the machine falls on both sides alike):

1. A 2,000-row snapshot, ../shared/data/chains/deribit_btc_eth_20260822.csv
   (beside the checkout), in every layout it can be written in: the tidy
   file itself, the same quotes as Deribit book-summary responses (one per
   currency), as a Bybit tickers response (USDT premiums), as a Tardis
   options_chain file (one update per option) and as a collector's own
   columns read through a mapping. read_chain (read, price, invert the four
   premium columns) against pandas.read_csv of the tidy file alone; with,
   for the tidy file, the implied vols alone and read_chain's two halves
   (the file to tidy columns, and pricing them), and the Deribit responses
   read into tidy columns.
2. A Tardis options_chain file of 1,000,000 updates, made in a temporary
   directory from the rows of ../shared/data/formats' sample with shifted
   timestamps (plain and gzip): the snapshot at several instants against
   reading the file's needed columns once (pyarrow, all threads); peak
   memory of each, in a fresh process, against the size of those columns.

Prints the tables and, with --report, writes them to a Markdown file;
--rounds repeats the snapshot measurement as separate runs (see
bench_snapshot) for a machine whose load comes and goes.
"""

from __future__ import annotations

import argparse
import gzip
import json
import os
import pathlib
import platform
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.csv as pcsv

import korvex_chain as kc
from korvex_chain.quotes import price_table
from korvex_chain.readers import read_table, tardis

ROOT = pathlib.Path(__file__).resolve().parent.parent
DATA = ROOT.parent / "shared" / "data"
SNAPSHOT = DATA / "chains" / "deribit_btc_eth_20260822.csv"
SAMPLE = DATA / "formats" / "tardis_options_chain_deribit_20200521.csv.gz"
UPDATES = 1_000_000
# The collector's own names (../shared/data/history) for the tidy columns.
COLLECTOR = {"observation_time_utc": "timestamp", "instrument": "instrument_name", "expiry_utc": "expiry_datetime",
             "bid": "bid_price", "ask": "ask_price", "mark": "mark_price", "underlying_price": "underlying",
             "mark_iv": "implied_volatility", "underlying": "currency", "premium_currency": "currency"}


# ------------------------------------------------------------------ layouts of the snapshot


def write_layouts(tidy_path: pathlib.Path, out: pathlib.Path) -> dict[str, tuple[pathlib.Path, dict]]:
    """The snapshot in each layout: name -> (file, read_chain keywords)."""
    t = pd.read_csv(tidy_path)
    ms = pd.to_datetime(t["observation_time_utc"], utc=True).dt.as_unit("ms").astype("int64")

    def opt(v):
        return None if pd.isna(v) else float(v)

    responses = []
    for ccy, g in t.groupby("underlying", sort=False):
        m = ms[g.index]
        responses.append({"jsonrpc": "2.0", "result": [
            {"instrument_name": r.instrument, "base_currency": r.underlying, "quote_currency": r.premium_currency,
             "bid_price": opt(r.bid), "ask_price": opt(r.ask), "mark_price": opt(r.mark),
             "mark_iv": opt(round(r.mark_iv * 100, 2)), "underlying_price": opt(r.underlying_price),
             "creation_timestamp": int(mi)} for r, mi in zip(g.itertuples(index=False), m)],
            "usIn": int(m.max()) * 1000, "usOut": int(m.max()) * 1000, "usDiff": 0, "testnet": False})
    deribit = out / "deribit_book_summary.json"
    deribit.write_text("\n".join(json.dumps(r, separators=(",", ":")) for r in responses) + "\n")

    def text(v):
        return "0" if pd.isna(v) or v == 0 else repr(float(v))

    bybit = out / "bybit_tickers.json"
    lst = [{"symbol": f"{r.instrument}-USDT", "bid1Price": text(r.bid * r.underlying_price),
            "ask1Price": text(r.ask * r.underlying_price), "markPrice": text(r.mark * r.underlying_price),
            "markIv": text(r.mark_iv), "underlyingPrice": text(r.underlying_price)} for r in t.itertuples(index=False)]
    bybit.write_text(json.dumps({"retCode": 0, "retMsg": "OK", "result": {"category": "option", "list": lst},
                                 "retExtInfo": {}, "time": int(ms.max())}, separators=(",", ":")))

    us = ms.to_numpy() * 1000
    td = pd.DataFrame({
        "exchange": "deribit", "symbol": t["instrument"], "timestamp": us, "local_timestamp": us,
        "type": np.where(t["option_type"] == "C", "call", "put"), "strike_price": t["strike"],
        "expiration": pd.to_datetime(t["expiry_utc"], utc=True).dt.as_unit("us").astype("int64"),
        "open_interest": t["open_interest"], "last_price": np.nan, "bid_price": t["bid"], "bid_amount": t["bid_size"],
        "bid_iv": t["bid_iv"], "ask_price": t["ask"], "ask_amount": t["ask_size"], "ask_iv": t["ask_iv"],
        "mark_price": t["mark"], "mark_iv": t["mark_iv"] * 100, "underlying_index": t["underlying_index"],
        "underlying_price": t["underlying_price"], "delta": t["delta"]})
    tardis_path = out / "tardis_options_chain.csv"
    td.to_csv(tardis_path, index=False)

    collector = pd.DataFrame({
        "timestamp": t["observation_time_utc"], "instrument_name": t["instrument"], "underlying": t["underlying_price"],
        "underlying_name": t["underlying_index"], "option_type": np.where(t["option_type"] == "C", "call", "put"),
        "strike": t["strike"].astype(float), "expiry_datetime": t["expiry_utc"], "bid_price": t["bid"],
        "ask_price": t["ask"], "mark_price": t["mark"], "implied_volatility": t["mark_iv"], "delta": t["delta"],
        "open_interest": t["open_interest"], "currency": t["underlying"], "index_price": t["index_price"]})
    collector_path = out / "collector_snapshot.csv"
    collector.to_csv(collector_path, index=False)
    return {"tidy": (tidy_path, {}), "deribit": (deribit, {}), "bybit": (bybit, {}), "tardis": (tardis_path, {}),
            "mapped collector": (collector_path, {"columns": COLLECTOR, "iv_unit": "decimal"})}


def timed(fn) -> float:
    t0 = time.perf_counter()
    fn()
    return time.perf_counter() - t0


def bench_snapshot(repeat: int, rounds: int = 1, pause: float = 0.0) -> list[str]:
    """The snapshot table. With several rounds (`pause` seconds apart), each
    round is a run of its own: the table gives, per row, the median over the
    rounds of the round's median time and of its ratio, and the ratios'
    range; on a shared machine the rounds catch its changing load."""
    with tempfile.TemporaryDirectory() as tmp:
        layouts = write_layouts(SNAPSHOT, pathlib.Path(tmp))
        for path, kw in layouts.values():
            kc.read_chain(path, **kw)  # warm: imports, first-call costs
        pd.read_csv(SNAPSHOT)
        ch = kc.read_chain(SNAPSHOT)
        q = ch.quotes
        prices = np.stack([q[s].to_numpy() for s in ("bid", "ask", "mid", "mark")])
        args = (q["ttx"].to_numpy(), q["row_forward"].to_numpy(), q["strike"].to_numpy(), prices,
                q["is_call"].to_numpy())
        table = read_table(SNAPSHOT)
        deribit = layouts["deribit"][0]
        parts = {"pandas.read_csv (tidy file alone)": lambda: pd.read_csv(SNAPSHOT),
                 "implied vols alone (4 columns)": lambda: kc.implied_vols(*args, status=True),
                 "tidy: the file to tidy columns": lambda: read_table(SNAPSHOT),
                 "tidy: pricing the columns": lambda: price_table(table),
                 "deribit: the JSON to tidy columns": lambda: read_table(deribit)}
        names = list(parts) + list(layouts)
        medians: dict[str, list[float]] = {name: [] for name in names}
        ratios: dict[str, list[float]] = {name: [] for name in names}
        for r in range(rounds):
            if r:
                time.sleep(pause)
            times: dict[str, list[float]] = {name: [] for name in names}
            for _ in range(repeat):
                for name, fn in parts.items():
                    times[name].append(timed(fn))
                for name, (path, kw) in layouts.items():
                    times[name].append(timed(lambda: kc.read_chain(path, **kw)))
            base = float(np.median(times["pandas.read_csv (tidy file alone)"]))
            for name, ts in times.items():
                medians[name].append(float(np.median(ts)))
                ratios[name].append(float(np.median(ts)) / base)
        sizes = {name: path.stat().st_size for name, (path, _) in layouts.items()}
        checks = {name: kc.read_chain(path, **kw) for name, (path, kw) in layouts.items()}
    spread = rounds > 1
    rows = [f"{'read':38s} {'bytes':>9s} {'ms':>8s} {'ratio':>7s}" + ("  ratio range" if spread else "")
            + "  rows priced / rejected"]
    for name in names:
        med = float(np.median(medians[name]))
        ratio = float(np.median(ratios[name]))
        label = name
        extra = ""
        if name in checks:
            c = checks[name]
            extra = f"  {len(c.quotes)} / {len(c.rejected)}"
            label = f"read_chain, {name}"
        if spread:
            extra = f"  {min(ratios[name]):5.2f}-{max(ratios[name]):<5.2f}" + extra
        size = f"{sizes[name]:>9,d}" if name in sizes else (f"{SNAPSHOT.stat().st_size:>9,d}"
                                                             if name.startswith("pandas") else " " * 9)
        rows.append(f"{label:38s} {size} {med * 1e3:8.2f} {ratio:7.2f}{extra}".rstrip())
    return rows


# ------------------------------------------------------------------ a day of Tardis updates


def write_updates(sample: pathlib.Path, out: pathlib.Path, n: int) -> pathlib.Path:
    """`n` updates: the sample's rows again and again, each copy earlier by
    an equal step, so that the day ends with the sample itself."""
    t = pcsv.read_csv(sample, convert_options=pcsv.ConvertOptions(
        strings_can_be_null=True, column_types={c: pa.string() for c in ("exchange", "symbol", "type",
                                                                         "underlying_index")}))
    n0 = t.num_rows
    reps = -(-n // n0)
    idx = np.tile(np.arange(n0), reps)[:n]
    copy = np.repeat(np.arange(reps), n0)[:n]
    ts = t.column("timestamp").to_numpy()[idx]
    step = int(23 * 3600e6 / reps)
    ts = ts - (reps - 1 - copy) * step
    big = t.take(pa.array(idx))
    for name in ("timestamp", "local_timestamp"):
        big = big.set_column(big.schema.get_field_index(name), name, pa.array(ts))
    big = big.take(pa.array(np.argsort(ts, kind="stable")))
    path = out / "options_chain_1m.csv"
    # Header and cells as the vendor writes them: no quotes.
    pcsv.write_csv(big, path, write_options=pcsv.WriteOptions(quoting_style="none", include_header=False))
    body = path.read_bytes()
    path.write_bytes((",".join(big.column_names) + "\n").encode() + body)
    return path


_CHILD = r"""
import json, sys, time
import pyarrow as pa, pyarrow.csv as pcsv
import korvex_chain as kc
from korvex_chain.quotes import price_table
from korvex_chain.readers import read_table, tardis
path, what, arg, sample = sys.argv[1:5]
kc.read_chain(sample)  # imports and first calls before the measurement


def status(field):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith(field + ":"))


# The peak resident size since now: reset the kernel's high-water mark.
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
rss0 = status("VmRSS")
pool = pa.default_memory_pool()
pool0 = pool.max_memory()
t0 = time.perf_counter()
if what == "columns":
    header = open(path, "rb").readline().decode().strip().split(",") if not path.endswith(".gz") else None
    import gzip
    if header is None:
        with gzip.open(path, "rb") as f:
            header = f.readline().decode().strip().split(",")
    cols = tardis.needed(header)
    table = pcsv.read_csv(path, convert_options=pcsv.ConvertOptions(include_columns=cols))
    out = {"bytes": table.nbytes, "rows": table.num_rows}
else:
    ch = kc.read_chain(path, at=None if arg == "last" else float(arg))
    out = {"options": len(ch.quotes), "rejected": len(ch.rejected)}
out["seconds"] = time.perf_counter() - t0
out["rss_mb"] = (status("VmHWM") - rss0) / 1024
out["pool_mb"] = (pool.max_memory() - pool0) / 2**20
print(json.dumps(out))
"""


def child(path, what, arg="") -> dict:
    res = subprocess.run([sys.executable, "-c", _CHILD, str(path), what, str(arg), str(SAMPLE)],
                         capture_output=True, text=True, check=True)
    return json.loads(res.stdout.strip().splitlines()[-1])


def bench_updates(repeat: int, tmpdir: str | None) -> list[str]:
    rows = []
    tmp = tempfile.mkdtemp(dir=tmpdir)
    try:
        plain = write_updates(SAMPLE, pathlib.Path(tmp), UPDATES)
        gz = plain.with_suffix(".csv.gz")
        with open(plain, "rb") as f, gzip.open(gz, "wb", compresslevel=6) as g:
            shutil.copyfileobj(f, g, 1 << 20)
        ts = pcsv.read_csv(plain, convert_options=pcsv.ConvertOptions(include_columns=["timestamp"])).column(0)
        lo, hi = int(pa.compute.min(ts).as_py()), int(pa.compute.max(ts).as_py())
        instants = {"an hour in": (lo + 3_600_000_000) / 1e6, "mid-day": (lo + hi) / 2e6, "last (default)": "last"}
        for path in (plain, gz):
            rows.append(f"{path.name}: {path.stat().st_size:,d} bytes, {UPDATES:,d} updates")
            runs: dict[str, list[dict]] = {"columns": []}
            for label in instants:
                runs[label] = []
            for _ in range(repeat):
                runs["columns"].append(child(path, "columns"))
                for label, at in instants.items():
                    runs[label].append(child(path, "snapshot", at))
            base = float(np.median([r["seconds"] for r in runs["columns"]]))
            size = runs["columns"][0]["bytes"] / 2**20
            rows.append(f"  {'read':44s} {'s':>7s} {'ratio':>6s} {'peak RSS MB':>12s} {'pool MB':>8s} "
                        f"{'/ columns':>9s}")
            for label, rs in runs.items():
                sec = float(np.median([r["seconds"] for r in rs]))
                rss = float(np.median([r["rss_mb"] for r in rs]))
                pool = float(np.median([r["pool_mb"] for r in rs]))
                name = ("needed columns once (pyarrow read_csv)" if label == "columns"
                        else f"read_chain snapshot, {label}")
                rows.append(f"  {name:44s} {sec:7.3f} {sec / base:6.2f} {rss:12.1f} {pool:8.1f} "
                            f"{max(rss, pool) / size:9.2f}")
            ncols = len(tardis.needed(pcsv.open_csv(plain).schema.names))
            rows.append(f"  size of the needed columns: {size:.1f} MB ({ncols} columns); options in a snapshot: "
                        f"{runs['last (default)'][0]['options']}")
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    return rows


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--report", help="write the results to this Markdown file")
    ap.add_argument("--repeat", type=int, default=41, help="repetitions of the snapshot reads (default 41)")
    ap.add_argument("--rounds", type=int, default=1,
                    help="rounds of the snapshot reads, each a run of its own (default 1)")
    ap.add_argument("--pause", type=float, default=0.0, help="seconds between the rounds (default 0)")
    ap.add_argument("--repeat-updates", type=int, default=3, help="repetitions of the 1M-update reads (default 3)")
    ap.add_argument("--tmpdir", help="where to write the 1M-update file (about 200 MB)")
    args = ap.parse_args(argv)
    for need in (SNAPSHOT, SAMPLE):
        if not need.exists():
            print(f"missing {need}: the benchmark reads the data beside the checkout", file=sys.stderr)
            return 2
    load0 = os.getloadavg()[0]
    snap = bench_snapshot(args.repeat, args.rounds, args.pause)
    print("\n".join(snap), flush=True)
    upd = bench_updates(args.repeat_updates, args.tmpdir)
    print("\n".join(upd))
    load1 = os.getloadavg()[0]
    if args.report:
        rounds = ("" if args.rounds == 1 else
                  f" The snapshot table in {args.rounds} rounds {args.pause:g} s apart: per row the median over the "
                  "rounds of each round's median time and ratio, and the range of the rounds' ratios.")
        head = (f"# Reading chains in their layouts\n\nProduced by `bench/bench_readers.py` (one run, "
                f"{time.strftime('%Y-%m-%d')}, {platform.machine()} with {os.cpu_count()} CPUs, Python "
                f"{platform.python_version()}, pandas {pd.__version__}, pyarrow {pa.__version__}; load average "
                f"{load0:.1f} at the start, {load1:.1f} at the end). Medians of alternating repetitions; "
                f"ratio = time / the first row's time.{rounds}\n")
        text = (head + "\n## The 2,000-row snapshot in every layout (target: ratio at most 3)\n\n"
                "```\n" + "\n".join(snap) + "\n```\n"
                "\n## A Tardis options_chain file of 1,000,000 updates (targets: time ratio at most 1.5, "
                "memory at most 3 times the needed columns)\n\n"
                "Each read in a fresh process; peak RSS and pyarrow's pool peak are measured beyond what the "
                "process held after importing and reading the sample once.\n\n```\n" + "\n".join(upd) + "\n```\n")
        pathlib.Path(args.report).write_text(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
