#!/usr/bin/env python3
"""Speed of korvex_chain's array functions against korvex's scalar calls and peers.

One run measures every row on chain-like inputs (1,000,000 options with
|ln K/F| <= 1, ttx from one day to two years, vols 0.2 to 2), prints the
medians and ratios with the targets, and with --report writes them into
bench/RESULTS.md as its "Arrays" section (the rest of the file, written by
bench.py, is kept).

    python bench/bench_arrays.py
    python bench/bench_arrays.py --quick                  # smaller, fewer repeats
    python bench/bench_arrays.py --report bench/RESULTS.md
    python bench/bench_arrays.py --peers-python build/peers-venv/bin/python

py_vollib_vectorized (numba) needs pinned py_vollib/py_lets_be_rational, so it
lives in its own virtual environment and runs in a subprocess there; without
that interpreter its rows are reported as not run, with the reason.
"""

from __future__ import annotations

import argparse
import datetime as dt
import json
import math
import os
import platform
import statistics
import subprocess
import sys
import textwrap
import time
from dataclasses import dataclass
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.dont_write_bytecode = True

import numpy as np  # noqa: E402

import korvex  # noqa: E402
import korvex_chain as kc  # noqa: E402
from korvex_chain import _inputs  # noqa: E402

BEGIN = "<!-- arrays:begin -->"
END = "<!-- arrays:end -->"


@dataclass
class Row:
    group: str
    label: str
    ns: float | None  # median per element, wall-clock time
    unit: str
    note: str = ""
    cpu: float | None = None  # median per element, CPU time of the process


class Bench:
    def __init__(self, n: int, repeats: int) -> None:
        self.n = n
        self.repeats = repeats
        self.rows: dict[str, Row] = {}
        self.targets: list[tuple[str, str, str]] = []
        self.notes: list[str] = []

    def time(self, key: str, group: str, label: str, fn, per: int, unit: str = "ns/option",
             repeats: int | None = None) -> float:
        fn()  # warm up (first-touch of pages, lazy imports, JIT)
        times = []
        cpu = []
        for _ in range(repeats or self.repeats):
            c = time.process_time()
            t = time.perf_counter()
            fn()
            times.append(time.perf_counter() - t)
            cpu.append(time.process_time() - c)
        ns = statistics.median(times) / per * 1e9
        self.rows[key] = Row(group, label, ns, unit, cpu=statistics.median(cpu) / per * 1e9)
        return ns

    def cpu(self, key: str) -> float | None:
        row = self.rows.get(key)
        return row.cpu if row else None

    def missing(self, key: str, group: str, label: str, why: str) -> None:
        self.rows[key] = Row(group, label, None, "", why)
        self.notes.append(f"{label}: not run ({why})")

    def ns(self, key: str) -> float | None:
        row = self.rows.get(key)
        return row.ns if row else None

    def target(self, text: str, value: float | None, ok) -> None:
        if value is None:
            self.targets.append((text, "not measured", "SKIP"))
        else:
            self.targets.append((text, f"{value:.3g}", "PASS" if ok(value) else "MISS"))


def chain(n: int, seed: int = 1) -> dict[str, np.ndarray]:
    rng = np.random.default_rng(seed)
    fwd = 100.0 * np.exp(rng.uniform(-0.5, 0.5, n))
    c = {
        "fwd": fwd,
        "strike": fwd * np.exp(rng.uniform(-1.0, 1.0, n)),
        "ttx": rng.uniform(1 / 365, 2.0, n),
        "vol": rng.uniform(0.2, 2.0, n),
        "is_call": rng.random(n) < 0.5,
    }
    c["price"] = kc.b76(c["fwd"], c["strike"], c["ttx"], c["vol"], c["is_call"]).fairvalue
    return c


# ------------------------------------------------------------------ implied vols


def bench_iv(b: Bench, c: dict, peers_python: str | None) -> None:
    g = "Implied vols"
    args = (c["ttx"], c["fwd"], c["strike"], c["price"], c["is_call"])
    b.time("iv1", g, "korvex_chain.implied_vols, 1 thread", lambda: kc.implied_vols(*args, threads=1), b.n)
    b.time("iv2", g, "korvex_chain.implied_vols, 2 threads", lambda: kc.implied_vols(*args, threads=2), b.n)
    sides = np.where(c["is_call"], "c", "p")
    b.time("iv1s", g, "korvex_chain.implied_vols, 1 thread, sides as 'c'/'p' strings",
           lambda: kc.implied_vols(*args[:4], sides, threads=1), b.n)

    m = min(b.n, 50_000)
    cols = [c[k][:m].tolist() for k in ("ttx", "fwd", "strike", "price")]
    side_list = sides[:m].tolist()

    def korvex_loop():
        f = korvex.calibrate_black76_iv
        for t, fw, k, p, s in zip(*cols, side_list):
            f(t, fw, k, p, s)

    b.time("ivs", g, "korvex.calibrate_black76_iv, Python loop", korvex_loop, m)

    try:
        import QuantLib as ql
    except ImportError:
        b.missing("ivql", g, "QuantLib blackFormulaImpliedStdDev, Python loop", "QuantLib not installed")
    else:
        mq = min(m, 20_000)

        def ql_loop():
            f = ql.blackFormulaImpliedStdDev
            call, put = ql.Option.Call, ql.Option.Put
            for t, fw, k, p, s in zip(*(col[:mq] for col in cols), side_list[:mq]):
                try:
                    f(call if s == "c" else put, k, fw, p, 1.0, 0.0, 0.5, 1e-8, 100) / math.sqrt(t)
                except RuntimeError:
                    pass

        b.time("ivql", g, "QuantLib blackFormulaImpliedStdDev / sqrt(T), Python loop", ql_loop, mq, repeats=3)

    try:
        from vollib.black.implied_volatility import implied_volatility as vollib_iv
    except ImportError:
        b.missing("ivvl", g, "vollib implied_volatility, Python loop", "vollib not installed")
    else:
        mv = min(m, 2_000)

        def vollib_loop():
            for t, fw, k, p, s in zip(*(col[:mv] for col in cols), side_list[:mv]):
                try:
                    vollib_iv(p, fw, k, 0.0, t, s)
                except Exception:  # below intrinsic / above maximum
                    pass

        b.time("ivvl", g, "vollib implied_volatility (black), Python loop", vollib_loop, mv, repeats=3)

    # The same options in the order a chain lists them (expiry, strike, side):
    # neighbouring searches then take similar paths through the same code.
    order = np.lexsort((~c["is_call"], c["strike"], c["ttx"]))
    sorted_args = tuple(a[order] for a in args)
    b.time("iv1o", g, "korvex_chain.implied_vols, 1 thread, inputs in chain order",
           lambda: kc.implied_vols(*sorted_args, threads=1), b.n)
    # The loop runs over every (n/m)-th option of that order: still in chain
    # order, and the same mix of options as the whole array.
    every = max(1, b.n // m)
    cols_o = [a[::every][:m].tolist() for a in sorted_args[:4]]
    side_o = np.where(sorted_args[4][::every][:m], "c", "p").tolist()

    def korvex_loop_ordered():
        f = korvex.calibrate_black76_iv
        for t, fw, k, p, s in zip(*cols_o, side_o):
            f(t, fw, k, p, s)

    b.time("ivso", g, "korvex.calibrate_black76_iv, Python loop, inputs in chain order", korvex_loop_ordered,
           len(side_o))

    bench_py_vollib_vectorized(b, c, peers_python)


PVV_SCRIPT = textwrap.dedent("""
    import json, sys, time, statistics, warnings
    import numpy as np
    warnings.simplefilter("ignore")
    from py_vollib_vectorized import vectorized_implied_volatility_black
    d = np.load(sys.argv[1])
    flags = np.where(d["is_call"], "c", "p")
    def run():
        return vectorized_implied_volatility_black(d["price"], d["fwd"], d["strike"], 0.0, d["ttx"], flags,
                                                   return_as="numpy", on_error="ignore")
    v = run()  # compiles
    times = []
    for _ in range(int(sys.argv[2])):
        t = time.perf_counter(); v = run(); times.append(time.perf_counter() - t)
    np.save(sys.argv[3], v)
    print(json.dumps({"seconds": statistics.median(times)}))
""")


def bench_py_vollib_vectorized(b: Bench, c: dict, peers_python: str | None) -> None:
    g = "Implied vols"
    label = "py_vollib_vectorized vectorized_implied_volatility_black (numba)"
    if not peers_python or not Path(peers_python).exists():
        b.missing("ivpvv", g, label, "no interpreter with it (make bench creates build/peers-venv)")
        return
    m = min(b.n, 200_000)
    tmp = Path(os.environ.get("TMPDIR", "/tmp"))
    data = tmp / f"korvex_bench_{os.getpid()}.npz"
    out = tmp / f"korvex_bench_{os.getpid()}_vols.npy"
    np.savez(data, **{k: v[:m] for k, v in c.items()})
    try:
        proc = subprocess.run([peers_python, "-c", PVV_SCRIPT, str(data), str(max(3, b.repeats // 2)), str(out)],
                              capture_output=True, text=True, timeout=900)
        if proc.returncode != 0:
            last = proc.stderr.strip().splitlines()[-1:] or ["no output"]
            b.missing("ivpvv", g, label, f"failed: {last[0][:160]}")
            return
        seconds = json.loads(proc.stdout.strip().splitlines()[-1])["seconds"]
        theirs = np.load(out)
    finally:
        data.unlink(missing_ok=True)
        out.unlink(missing_ok=True)
    b.rows["ivpvv"] = Row(g, label + ", 1 process", seconds / m * 1e9, "ns/option")
    ours = kc.implied_vols(c["ttx"][:m], c["fwd"][:m], c["strike"][:m], c["price"][:m], c["is_call"][:m])
    both = np.isfinite(ours) & np.isfinite(theirs)
    diff = np.abs(ours[both] - theirs[both])
    b.notes.append(f"py_vollib_vectorized and korvex_chain both find a vol for {both.mean():.1%} of the options; "
                   f"they differ by at most {np.quantile(diff, 0.99):.1e} for 99% of those (korvex stops within "
                   f"about 1e-4), at most {diff.max():.1e} in all (far out-of-the-money options whose price "
                   "hardly depends on the vol)")


# ------------------------------------------------------------------ Black-76


def numpy_b76(fwd, strike, ttx, vol, is_call, df=1.0):
    """The same four formulas with numpy and scipy.special.ndtr."""
    from scipy.special import ndtr

    sqrt_t = np.sqrt(ttx)
    s = vol * sqrt_t
    d1 = (0.5 * vol * vol * ttx + np.log(fwd / strike)) / s
    d2 = d1 - s
    sign = np.where(is_call, 1.0, -1.0)
    n1 = ndtr(sign * d1)
    n2 = ndtr(sign * d2)
    fv = df * sign * (fwd * n1 - strike * n2)
    delta = sign * df * n1
    pdf = np.exp(-0.5 * d1 * d1) / 2.5066282746310007
    gamma = pdf * df / (fwd * vol * sqrt_t)
    vega = pdf * (df * fwd) * sqrt_t
    return fv, delta, gamma, vega


def bench_b76(b: Bench, c: dict) -> None:
    g = "Black-76, four outputs"
    args = (c["fwd"], c["strike"], c["ttx"], c["vol"], c["is_call"])
    b.time("b761", g, "korvex_chain.b76, 1 thread", lambda: kc.b76(*args, threads=1), b.n)
    b.time("b762", g, "korvex_chain.b76, 2 threads", lambda: kc.b76(*args, threads=2), b.n)
    b.time("binary1", g, "korvex_chain.binary (five outputs), 1 thread", lambda: kc.binary(*args, threads=1), b.n)
    try:
        import scipy.special  # noqa: F401
    except ImportError:
        b.missing("b76np", g, "numpy + scipy.special.ndtr", "scipy not installed")
        return
    b.time("b76np", g, "numpy + scipy.special.ndtr, same formulas", lambda: numpy_b76(*args), b.n)
    ours = kc.b76(*args)
    theirs = numpy_b76(*args)
    worst = max(float(np.max(np.abs(o - t) / np.maximum(np.abs(o), 1e-300))) for o, t in zip(ours, theirs))
    b.notes.append(f"numpy/scipy Black-76 agrees with korvex_chain.b76 to a relative {worst:.1e} "
                   "(different erfc and log kernels)")


# ------------------------------------------------------------------ smiles


SMILES = {
    "GVVSpline": ({"ref_vol": 60.0, "skew": -2.0, "smile": 6.0, "pwing": 0.5, "cwing": 0.3}, "gvv_vol"),
    "CubicSpline": ({"ref_vol": 60.0, "p05": 1.0, "p10": 1.5, "p15": 2.0, "p20": 2.0, "p25": 3.0,
                     "c05": 0.5, "c10": 1.0, "c15": 1.0, "c20": 1.5, "c25": 2.0}, "cubic_vol"),
    "VolGeo": ({"ref_vol": 60.0, "corr": -0.3, "vvol": 30.0}, "volgeo_vol"),
}


def bench_smiles(b: Bench) -> None:
    import numpy_models

    g = "Smile vols, 1M strikes"
    strikes = np.random.default_rng(5).uniform(20.0, 300.0, b.n)
    expiry = dt.datetime(2027, 3, 26, 8, tzinfo=dt.timezone.utc)
    for kind, (params, fn_name) in SMILES.items():
        model = getattr(korvex, kind).with_params(expiry, params)
        fn = getattr(numpy_models, fn_name)
        for t in (1, 2):
            b.time(f"sm{kind}{t}", g, f"korvex_chain.smile_vols {kind}, {t} thread{'s' * (t > 1)}",
                   lambda t=t: kc.smile_vols(model, 0.4, 101.0, strikes, threads=t), b.n, "ns/strike")
        b.time(f"sm{kind}np", g, f"numpy {kind}, array in, array out",
               lambda: fn(params, 0.4, 101.0, strikes), b.n, "ns/strike")


# ------------------------------------------------------------------ calendar


def bench_calendar(b: Bench) -> None:
    g = "Business time"
    rng = np.random.default_rng(9)
    start0 = np.datetime64("2024-01-01T00:00:00", "s").astype(np.int64)
    a = (start0 + rng.integers(0, 86400 * 365, b.n)).astype("datetime64[s]")
    e = a + rng.integers(3600, 86400 * 730, b.n).astype("timedelta64[s]")
    for t in (1, 2):
        b.time(f"bus{t}", g, f"korvex_chain.bus_ttx, random pairs, datetime64[s], {t} thread{'s' * (t > 1)}",
               lambda t=t: kc.bus_ttx(a, e, threads=t), b.n, "ns/pair")
    b.time("bus0", g, f"korvex_chain.bus_ttx, random pairs, datetime64[s], threads=None "
           f"({_inputs.resolve_threads(None, b.n, _inputs.SMALL_CALENDAR)} here)",
           lambda: kc.bus_ttx(a, e), b.n, "ns/pair")
    b.time("cal1", g, "korvex_chain.cal_ttx, datetime64[s], 1 thread", lambda: kc.cal_ttx(a, e, threads=1),
           b.n, "ns/pair")
    m = min(b.n, 20_000)
    utc = dt.timezone.utc
    al = [x.replace(tzinfo=utc) for x in a[:m].astype(object)]
    el = [x.replace(tzinfo=utc) for x in e[:m].astype(object)]
    cal = korvex.Calendar("BTCUSDT")

    def loop():
        f = cal.get_bus_ttx
        for x, y in zip(al, el):
            f(x, y)

    b.time("busloop", g, f"korvex Calendar.get_bus_ttx, Python loop, random pairs (the first {m:,} of the same, "
           "as UTC datetime objects)", loop, m, "ns/pair")

    # As a chain asks: one observation time against a few dozen expiries.
    now = np.datetime64("2024-03-08T15:30:00", "s")
    expiries = now + (np.arange(1, 25) * 86400 * 15).astype("timedelta64[s]")
    ends = expiries[rng.integers(0, expiries.size, b.n)]
    b.time("buschain", g, "korvex_chain.bus_ttx, one start against 24 expiries, 1 thread",
           lambda: kc.bus_ttx(now, ends, threads=1), b.n, "ns/pair")
    now_dt = now.astype(object).replace(tzinfo=utc)
    ends_dt = [x.replace(tzinfo=utc) for x in ends[:m].astype(object)]

    def chain_loop():
        f = cal.get_bus_ttx
        for y in ends_dt:
            f(now_dt, y)

    b.time("buschainloop", g, "korvex Calendar.get_bus_ttx, Python loop, one start against 24 expiries "
           f"(the first {m:,} of the same, as UTC datetime objects)", chain_loop, m, "ns/pair")
    got = kc.bus_ttx(a[:m], e[:m])
    want = np.array([cal.get_bus_ttx(x, y) for x, y in zip(al, el)])
    got_chain = kc.bus_ttx(now, ends[:m])
    want_chain = np.array([cal.get_bus_ttx(now_dt, y) for y in ends_dt])
    same = (np.array_equal(got.view(np.uint64), want.view(np.uint64))
            and np.array_equal(got_chain.view(np.uint64), want_chain.view(np.uint64)))
    b.notes.append(f"bus_ttx equals get_bus_ttx bit for bit on the {m:,} looped pairs of both cases: {same}")


# ------------------------------------------------------------------ start-up


def bench_import(b: Bench) -> None:
    g = "Start-up (fresh process)"
    py = sys.executable
    runs = max(7, b.repeats * 2)
    cmds = {
        "impnp": ("python -c 'import numpy'", "import numpy"),
        "impkc": ("python -c 'import korvex_chain; korvex_chain.implied_vols(...)'",
                  "import korvex_chain; korvex_chain.implied_vols(1.0, 100.0, 100.0, 8.0, 'c')"),
    }
    env = dict(os.environ, PYTHONDONTWRITEBYTECODE="1")
    for key, (label, code) in cmds.items():
        subprocess.run([py, "-c", code], check=True, env=env)  # warm the file cache
    times: dict[str, list[float]] = {k: [] for k in cmds}
    for _ in range(runs):  # interleaved, so that a busy moment hits both
        for key, (_, code) in cmds.items():
            t = time.perf_counter()
            subprocess.run([py, "-c", code], check=True, env=env)
            times[key].append(time.perf_counter() - t)
    for key, (label, _) in cmds.items():
        b.rows[key] = Row(g, label, statistics.median(times[key]) * 1e9, "ns")


# ------------------------------------------------------------------ report


def evaluate(b: Bench) -> None:
    def ratio(x, y):
        nx, ny = b.ns(x), b.ns(y)
        return None if nx is None or ny is None else nx / ny

    b.target("implied_vols 1 thread per option <= 0.8x one korvex call", ratio("iv1", "ivs"), lambda r: r <= 0.8)
    cpu1, cpus = b.cpu("iv1"), b.cpu("ivs")
    b.target("the same in CPU time (insensitive to other work on the machine)",
             None if cpu1 is None or cpus is None else cpu1 / cpus, lambda r: r <= 0.8)
    b.target("implied_vols 1 thread, chain order, per option <= 0.8x one korvex call (same order)",
             ratio("iv1o", "ivso"), lambda r: r <= 0.8)
    b.target("implied_vols 2 threads >= 1.7x faster than 1 thread", ratio("iv1", "iv2"), lambda r: r >= 1.7)
    for key, name in (("ivql", "QuantLib loop"), ("ivvl", "vollib loop"), ("ivpvv", "py_vollib_vectorized")):
        b.target(f"implied_vols 1 thread faster than {name}", ratio("iv1", key), lambda r: r < 1)
    b.target("b76 1 thread faster than numpy + ndtr", ratio("b761", "b76np"), lambda r: r < 1)
    for kind in SMILES:
        b.target(f"smile_vols {kind} 1 thread faster than numpy", ratio(f"sm{kind}1", f"sm{kind}np"),
                 lambda r: r < 1)
    b.target("bus_ttx 1 thread >= 20x faster than the get_bus_ttx loop", ratio("busloop", "bus1"),
             lambda r: r >= 20)
    b.target("bus_ttx 2 threads >= 20x faster than the get_bus_ttx loop", ratio("busloop", "bus2"),
             lambda r: r >= 20)
    b.target("bus_ttx threads=None >= 20x faster than the get_bus_ttx loop", ratio("busloop", "bus0"),
             lambda r: r >= 20)
    b.target("bus_ttx one start, 24 expiries, 1 thread >= 20x faster than the loop",
             ratio("buschainloop", "buschain"), lambda r: r >= 20)
    b.target("import korvex_chain + first call <= 2x import numpy", ratio("impkc", "impnp"), lambda r: r <= 2)


def ratio_rows(b: Bench) -> list[tuple[str, str, float]]:
    pairs = [("iv1", "ivs"), ("iv2", "ivs"), ("iv1s", "ivs"), ("iv1o", "ivso"), ("iv1", "iv2"), ("iv1", "ivql"), ("iv1", "ivvl"),
             ("iv1", "ivpvv"), ("b761", "b76np"), ("b762", "b76np")]
    pairs += [(f"sm{k}{t}", f"sm{k}np") for k in SMILES for t in (1, 2)]
    pairs += [("bus1", "busloop"), ("bus2", "busloop"), ("bus0", "busloop"), ("buschain", "buschainloop"),
              ("impkc", "impnp")]
    out = []
    for x, y in pairs:
        if b.ns(x) is not None and b.ns(y) is not None:
            out.append((b.rows[x].label, b.rows[y].label, b.ns(x) / b.ns(y)))
    return out


def fmt(ns: float | None, unit: str) -> str:
    if ns is None:
        return "not run"
    if unit == "ns":
        return f"{ns / 1e6:,.1f} ms"
    return f"{ns:,.1f} {unit}"


def render(b: Bench, header: list[str]) -> str:
    lines = [BEGIN, "## Arrays (korvex_chain)", ""]
    lines += header + [""]
    lines += ["### Targets (informative)", "", "| Target | Measured ratio | Status |", "|---|---:|---|"]
    lines += [f"| {t} | {v} | {s} |" for t, v, s in b.targets]
    lines += ["", "### Ratios", "", "| korvex_chain | Reference | Ratio |", "|---|---|---:|"]
    lines += [f"| {x} | {y} | {r:.3g} |" for x, y, r in ratio_rows(b)]
    lines += ["", "### Medians", ""]
    groups: dict[str, list[Row]] = {}
    for row in b.rows.values():
        groups.setdefault(row.group, []).append(row)
    for group, rows in groups.items():
        lines += [f"#### {group}", "", "| Measurement | Median | CPU time |", "|---|---:|---:|"]
        lines += [f"| {r.label} | {fmt(r.ns, r.unit)} | {fmt(r.cpu, r.unit) if r.cpu is not None and r.unit != 'ns' else ''} |"
                  for r in rows]
        lines.append("")
    if b.notes:
        lines += ["### Notes", ""] + [f"- {n}" for n in b.notes] + [""]
    lines.append(END)
    return "\n".join(lines) + "\n"


def write_report(path: Path, section: str) -> None:
    text = path.read_text() if path.exists() else "# korvex benchmark results\n"
    if BEGIN in text and END in text:
        head, rest = text.split(BEGIN, 1)
        tail = rest.split(END, 1)[1].lstrip("\n")
        text = head + section + ("\n" + tail if tail else "")
    else:
        text = text.rstrip("\n") + "\n\n" + section
    path.write_text(text)


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="100,000 options and 3 repeats (a smoke run)")
    ap.add_argument("--report", type=Path, help="write the Arrays section into this Markdown file")
    ap.add_argument("--peers-python", default=str(HERE.parent / "build" / "peers-venv" / "bin" / "python"),
                    help="interpreter with py_vollib_vectorized installed")
    args = ap.parse_args(argv)
    n, repeats = (100_000, 3) if args.quick else (1_000_000, 7)
    b = Bench(n, repeats)
    started = time.time()
    load0 = os.getloadavg()
    c = chain(n)
    bench_iv(b, c, args.peers_python)
    bench_b76(b, c)
    bench_smiles(b)
    bench_calendar(b)
    bench_import(b)
    evaluate(b)
    load1 = os.getloadavg()
    header = [
        f"- Date: {dt.datetime.now(dt.timezone.utc):%Y-%m-%d %H:%M} UTC; Python {platform.python_version()}, "
        f"numpy {np.__version__}; {os.cpu_count()} CPUs, {_inputs.cpu_count()} usable",
        f"- {n:,} chain-like options (|ln K/F| <= 1, ttx 1 day to 2 years, vol 0.2 to 2, calls and puts); "
        f"medians of {repeats} runs, wall-clock time per element (and the process's CPU time, which other "
        "work on the machine hardly disturbs; for 2 threads it adds both threads up); the Python loops run on a prefix "
        "(50,000 korvex calls, 20,000 QuantLib, 2,000 vollib) and are reported per call",
        f"- One run, {time.time() - started:.0f} s; load average {load0[0]:.2f} at the start, "
        f"{load1[0]:.2f} at the end (the machine is shared: compare ratios within one run)",
        "- Reproduce with `make bench`, or `.venv/bin/python bench/bench_arrays.py --report bench/RESULTS.md`",
    ]
    print("\n".join(header))
    for r in b.rows.values():
        cpu = f"cpu {fmt(r.cpu, r.unit)}" if r.cpu is not None and r.unit != "ns" else ""
        print(f"  {r.group:<26} {r.label:<78} {fmt(r.ns, r.unit):>16}  {cpu:>22}  {r.note}")
    print("Targets:")
    for t, v, s in b.targets:
        print(f"  {s:<4} {t}  [{v}]")
    for note in b.notes:
        print(f"  note: {note}")
    if args.report:
        write_report(args.report, render(b, header))
        print(f"wrote {args.report}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
