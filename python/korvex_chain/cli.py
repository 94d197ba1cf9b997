"""Command line: `python -m korvex_chain fit CHAIN.csv ...`, `... history SNAPSHOTS... --out DATASET`
and `... synth OUT.csv`."""

from __future__ import annotations

import argparse
import contextlib
import os
import stat
import sys
import tempfile
from collections.abc import Iterator

from .arrays import MODEL_KINDS

_FIT_HELP = """\
Read an option chain (CSV, one row per option: expiry_utc, strike,
option_type, bid, ask, mark, premium_currency, underlying_price, ...;
or an `instrument` column with names such as BTC-27DEC24-100000-C), price
it, fit a smile to every expiry and print one table per model.

Exit status: 0 when every expiry was fitted (possibly with warnings),
1 when some fit failed or some expiry was dropped (no forward for it),
2 for unreadable input or unusable options, checked before any work
(nothing is written then). Each output file appears whole or not at all."""


def _read_arguments(p: argparse.ArgumentParser) -> None:
    """How the chains are read: their layout, or a mapping of their columns."""
    p.add_argument("--format", default="auto", choices=("auto", "tidy", "deribit", "tardis", "bybit"),
                   help="layout of the chain (default: recognised from its columns or keys)")
    p.add_argument("--columns", metavar="MAP",
                   help="column mapping {tidy name: source name} for any other table: JSON text, or the path of "
                        "a JSON file holding it")
    p.add_argument("--iv-unit", choices=("percent", "decimal"), help="unit of a mapped table's IV columns")
    p.add_argument("--premium-currency", metavar="CCY",
                   help="premium currency of a mapped table without a column for it")


def _parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(prog="python -m korvex_chain",
                                description="Fit korvex smiles to crypto option chains.")
    sub = p.add_subparsers(dest="command", required=True)
    f = sub.add_parser("fit", help="fit smiles to a chain", description=_FIT_HELP,
                       formatter_class=argparse.RawDescriptionHelpFormatter)
    f.add_argument("chain", help="the chain: a tidy CSV file, a Deribit or Bybit JSON response or a Tardis "
                                  "options_chain file (the layout is recognised; see read_chain)")
    f.add_argument("--model", action="append", choices=MODEL_KINDS,
                   help="smile model to fit; repeat for several (default: GVVSpline)")
    _read_arguments(f)
    f.add_argument("--clock", choices=("calendar", "business"), default="calendar",
                   help="time to expiry: 'calendar' = 365-day years (the exchanges' convention, default), "
                        "'business' = korvex's weighted business time (of --calendar)")
    f.add_argument("--calendar", metavar="CAL",
                   help="with --clock business: an embedded calendar's name (default BTCUSDT), a calendar "
                        "document's JSON text or the path of a .json file holding one")
    f.add_argument("--observation-time", metavar="ISO",
                   help="observation time (ISO 8601, UTC if no zone); default: the table's observation_time_utc")
    f.add_argument("--expiry-hour", type=int, default=8, metavar="H",
                   help="UTC hour of expiries given as bare dates or in instrument names (default 8)")
    f.add_argument("--quote-ivs", choices=("auto", "exchange", "premium"), default="auto",
                   help="bid/ask IVs to fit: the table's bid_iv/ask_iv ('exchange'), the IVs of the bid/ask "
                        "premiums ('premium'), or the exchange's when the table has them ('auto', default)")
    f.add_argument("--weights", choices=("spread", "vega"), default="spread",
                   help="residual weights: 1/spread of each quote (default) or vega")
    f.add_argument("--solver", choices=("native", "scipy"), default="native",
                   help="least-squares solver: korvex_chain's native Levenberg-Marquardt (default, fast) "
                        "or scipy.optimize.least_squares on the same residuals")
    f.add_argument("--calendar-arbitrage", choices=("report", "repair"), default="report",
                   help="between neighbouring expiries: report where total variance falls with time (default), "
                        "or also fit the smiles involved again so that it does not")
    f.add_argument("--starts", type=int, default=2, metavar="N",
                   help="starting points polished per expiry, best of a screened grid (default 2)")
    f.add_argument("--underlying", action="append", metavar="NAME",
                   help="fit only this underlying (repeatable; default: all)")
    f.add_argument("--out", metavar="FITS.csv",
                   help="write one row per model, underlying and expiry: underlying, expiry_utc, model, forward, "
                        "ttx, status, the fit figures and every model parameter (rebuild with with_params)")
    f.add_argument("--plot", metavar="SMILES.png", help="draw market IVs and the fitted smiles to a PNG")
    f.add_argument("--greeks", metavar="GREEKS.csv",
                   help="write price, delta, gamma, vega per input row from the fitted smile (first model)")
    f.add_argument("--binary", action="store_true", help="with --greeks: add binary (cash-or-nothing) prices and greeks")
    f.add_argument("--rejected", metavar="REJECTED.csv", help="write the rows that could not be priced, with the reason")
    h = sub.add_parser("history", help="fit many snapshots into a Parquet history of fits and quotes",
                       description=_HISTORY_HELP, formatter_class=argparse.RawDescriptionHelpFormatter)
    h.add_argument("sources", nargs="+", metavar="SOURCE",
                   help="snapshot files, folders of them or glob patterns (quote patterns from the shell), "
                        "in any layout read_chain reads; with --every, Tardis options_chain files")
    h.add_argument("--model", action="append", choices=MODEL_KINDS,
                   help="smile model to fit; repeat for several (default: GVVSpline)")
    h.add_argument("--out", required=True, metavar="DATASET",
                   help="the dataset folder to write (or to continue: chunks already there are skipped)")
    _read_arguments(h)
    h.add_argument("--every", metavar="DURATION",
                   help="a snapshot of each Tardis file every DURATION (15min, 1h...)")
    h.add_argument("--max-age", metavar="DURATION", help="with --every: options not updated within it are stale")
    h.add_argument("--clock", choices=("calendar", "business"), default="calendar",
                   help="time to expiry: 365-day years (default) or korvex's business time (of --calendar)")
    h.add_argument("--calendar", metavar="CAL", help="with --clock business: the calendar (as for fit)")
    h.add_argument("--expiry-hour", type=int, default=8, metavar="H",
                   help="UTC hour of expiries given as bare dates or in instrument names (default 8)")
    h.add_argument("--quote-ivs", choices=("auto", "exchange", "premium"), default="auto",
                   help="bid/ask IVs to fit (as for fit)")
    h.add_argument("--solver", choices=("native", "scipy"), default="native", help="least-squares solver")
    h.add_argument("--calendar-arbitrage", choices=("report", "repair"), default="report",
                   help="report falling total variance between expiries (default), or repair it")
    h.add_argument("--tenors", metavar="LIST",
                   help="constant-maturity tenors, comma-separated (default: those of Surface.quotes, "
                        "1w,2w,1m,2m,3m,6m,1y)")
    h.add_argument("--deltas", default="25,10", metavar="LIST",
                   help="deltas of the risk reversals and butterflies, in percent (default 25,10)")
    run_on = h.add_mutually_exclusive_group()
    run_on.add_argument("--workers", type=int, metavar="N",
                        help="start a local Dask cluster of N worker processes (default: this process alone)")
    run_on.add_argument("--scheduler", metavar="ADDRESS",
                        help="run on an existing Dask cluster (tcp://host:8786); its workers must see the files")
    h.add_argument("--plot", metavar="HISTORY.png",
                   help="draw ATM vol, 25-delta risk reversal and butterfly of 1w, 1m and 3m (those of --tenors) over time")
    h.add_argument("--quiet", action="store_true", help="no progress bar and no summary")
    s = sub.add_parser("synth", help="write a synthetic chain (coin premiums, bid/ask noise, a few bad rows)",
                       description="Write a synthetic crypto chain drawn from known smiles, for trying the fit.")
    s.add_argument("out", help="CSV file to write")
    s.add_argument("--model", choices=MODEL_KINDS, default="VolGeo",
                   help="model of the true smiles (default VolGeo)")
    s.add_argument("--seed", type=int, default=0, help="random seed (default 0)")
    return p


_HISTORY_HELP = """\
Read every snapshot of SOURCES, fit every expiry (each --model), and write
the fits, the surfaces' constant-maturity quotes (ATM vol, risk reversals,
butterflies per tenor) and one row per snapshot to a Parquet dataset folder,
partitioned by underlying. Snapshots are grouped by the UTC day their file
name says; within a day each fit starts from the previous snapshot's.
Running again with the same --out skips the days already written.

Exit status: 0 when every snapshot was read and fitted, 1 when some
snapshot failed (see the snapshots table) or a day could not be written,
2 for bad options or sources, checked before any work."""


def _columns_option(text: str) -> dict:
    """--columns: JSON text, or the path of a JSON file holding the mapping."""
    import json

    raw = text
    if not text.lstrip().startswith("{"):
        try:
            with open(text) as f:
                raw = f.read()
        except OSError as exc:
            raise _UsageError(f"--columns {text}: neither JSON text nor a readable file ({exc.strerror})") from None
    try:
        mapping = json.loads(raw)
    except json.JSONDecodeError as exc:
        raise _UsageError(f"--columns: not valid JSON ({exc})") from None
    if not isinstance(mapping, dict) or not all(isinstance(k, str) and isinstance(v, str)
                                                for k, v in mapping.items()):
        raise _UsageError("--columns: give a JSON object of {tidy name: source name} texts")
    return mapping


def _list_option(option: str, text: str, number: bool = False) -> list:
    items = [t.strip() for t in text.split(",") if t.strip()]
    if not items:
        raise _UsageError(f"{option}: give at least one value")
    if number:
        try:
            return [float(t) for t in items]
        except ValueError:
            raise _UsageError(f"{option} {text}: give numbers separated by commas") from None
    return items


def _history(args) -> int:
    if args.workers is not None and args.workers < 1:
        raise _UsageError(f"--workers {args.workers}: at least one worker")
    if not 0 <= args.expiry_hour <= 23:
        raise _UsageError(f"--expiry-hour {args.expiry_hour}: an hour of the day is 0 to 23")
    if args.max_age is not None and args.every is None:
        raise _UsageError("--max-age chooses stale options of --every snapshots of a Tardis file: give --every")
    columns = _columns_option(args.columns) if args.columns else None
    given_tenors = _list_option("--tenors", args.tenors) if args.tenors is not None else None
    deltas = _list_option("--deltas", args.deltas, number=True)
    if args.plot:
        args.plot = _plot_path(args.plot)
    out = os.path.realpath(args.out)
    if os.path.exists(out) and not os.path.isdir(out):
        raise _UsageError(f"--out {args.out}: is a file; the history is a folder")
    _writable("--out", os.path.join(out, "_history.json") if os.path.isdir(out) else out)

    from .history import fit_history

    try:
        run = fit_history(args.sources, args.model or ["GVVSpline"], out=args.out, format=args.format,
                          columns=columns, iv_unit=args.iv_unit, premium_currency=args.premium_currency,
                          every=args.every, max_age=args.max_age, clock=args.clock, calendar=args.calendar,
                          expiry_hour=args.expiry_hour,
                          quote_ivs=args.quote_ivs, solver=args.solver,
                          calendar_arbitrage=args.calendar_arbitrage, tenors=given_tenors, deltas=deltas,
                          workers=args.workers, scheduler=args.scheduler, progress=False if args.quiet else None)
    except (OSError, ValueError, TypeError) as exc:
        print(f"error: {exc}", file=sys.stderr)
        return 2
    if not args.quiet:
        print(run)
    if args.plot:
        from .history_plot import plot_history

        with _replacing(args.plot) as tmp:
            plot_history(args.out, tmp)
        if not args.quiet:
            print(f"wrote {args.plot}")
    return 0 if run.ok else 1


def _fmt_table(table) -> str:
    cols = ["underlying", "expiry_utc", "model", "status", "rmse_vp", "inside", "n_metric", "ms", "warnings"]
    t = table[cols].copy()
    t["expiry_utc"] = t["expiry_utc"].str.slice(0, 10)
    t["rmse_vp"] = t["rmse_vp"].map(lambda v: f"{v:.2f}")
    t["inside"] = t["inside"].map(lambda v: "-" if v != v else f"{v:.0%}")
    t["ms"] = t["ms"].map(lambda v: f"{v:.1f}")
    t["warnings"] = t["warnings"].str.slice(0, 70)
    t = t.rename(columns={"rmse_vp": "RMSE(vp)", "n_metric": "quotes", "ms": "time(ms)", "expiry_utc": "expiry"})
    return t.to_string(index=False)


class _UsageError(Exception):
    """A user error of the command line: reported on one line, exit status 2."""


def _writable(option: str, path: str) -> str:
    """path, once sure that a file can be put there (its folder exists and
    takes new files, and it is not a folder itself): checked before any
    work, so that a typo does not cost a whole fit."""
    target = os.path.realpath(path)
    folder = os.path.dirname(target)
    if os.path.isdir(target):
        raise _UsageError(f"{option} {path}: is a folder")
    if not os.path.isdir(folder):
        raise _UsageError(f"{option} {path}: no folder {folder}")
    try:
        fd, probe = tempfile.mkstemp(dir=folder, prefix=".korvex-probe-")
    except OSError as exc:
        raise _UsageError(f"{option} {path}: cannot write in {folder} ({exc.strerror})") from None
    os.close(fd)
    os.unlink(probe)
    return path


def _plot_path(path: str) -> str:
    """The file --plot writes: an image format matplotlib can write, named
    by the extension; without one, matplotlib's default format, whose
    extension it appends itself."""
    try:
        import matplotlib
        from matplotlib.backend_bases import FigureCanvasBase
    except ImportError:  # pragma: no cover - depends on the environment
        raise _UsageError("--plot needs matplotlib: pip install 'korvex[plot]'") from None
    ext = os.path.splitext(path)[1][1:]
    if not ext:
        return _plot_path(path.rstrip(".") + "." + matplotlib.rcParams["savefig.format"])
    formats = FigureCanvasBase.get_supported_filetypes()
    if ext.lower() not in formats:
        raise _UsageError(f"--plot {path}: matplotlib cannot write .{ext} files (it writes "
                          f"{', '.join(sorted(formats))})")
    return _writable("--plot", path)


@contextlib.contextmanager
def _replacing(path: str) -> Iterator[str]:
    """A temporary file beside path (same folder, same extension), renamed
    onto it when the block succeeds and removed when it fails: readers of
    path never see a half-written file, and a failure leaves none behind."""
    target = os.path.realpath(path)
    folder, name = os.path.split(target)
    stem, ext = os.path.splitext(name)
    fd, tmp = tempfile.mkstemp(dir=folder, prefix=f".{stem}.", suffix=ext)
    os.close(fd)
    try:
        yield tmp
        # mkstemp makes the file private; the output gets the mode a plain
        # open() would give it (or keeps the mode of the file it replaces).
        if os.path.exists(target):
            mode = stat.S_IMODE(os.stat(target).st_mode)
        else:
            umask = os.umask(0)
            os.umask(umask)
            mode = 0o666 & ~umask
        os.chmod(tmp, mode)
        os.replace(tmp, target)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(tmp)
        raise


def _dropped(chain, underlyings) -> bool:
    """Whether the chain dropped an expiry of the selected underlyings: one
    without a forward cannot be priced, and its rows are in `rejected` with
    that reason (under their underlying as read_chain names it)."""
    import pandas as pd

    rej = chain.rejected
    lost = rej[rej["reason"].astype(str).str.startswith("no forward")]
    if underlyings is None or lost.empty:
        return not lost.empty
    und = pd.Series(pd.NA, index=lost.index, dtype="string")
    if "underlying" in lost.columns:
        und = lost["underlying"].astype("string")
    if "instrument" in lost.columns:
        prefix = lost["instrument"].astype("string").str.extract(r"^([A-Za-z0-9]+)", expand=False)
        und = und.fillna(prefix.str.upper())
    return bool(und.fillna("?").isin(list(underlyings)).any())


def main(argv=None) -> int:
    args = _parser().parse_args(argv)
    try:
        return _run(args)
    except _UsageError as exc:
        print(f"error: {exc}", file=sys.stderr)
        return 2


def _run(args) -> int:
    if args.command == "history":
        return _history(args)
    if args.command == "synth":
        from .synthetic import make_chain

        _writable("out", args.out)
        table = make_chain(args.model, seed=args.seed).table
        with _replacing(args.out) as tmp:
            table.to_csv(tmp, index=False)
        print(f"wrote {args.out}")
        return 0

    if not 0 <= args.expiry_hour <= 23:
        raise _UsageError(f"--expiry-hour {args.expiry_hour}: an hour of the day is 0 to 23")
    if args.starts < 1:
        raise _UsageError(f"--starts {args.starts}: at least one starting point is polished")
    for option in ("out", "greeks", "rejected"):
        if getattr(args, option):
            _writable(f"--{option}", getattr(args, option))
    if args.plot:
        args.plot = _plot_path(args.plot)
    seen: dict[str, str] = {}
    for option in ("out", "greeks", "rejected", "plot"):
        path = getattr(args, option)
        if path:
            other = seen.setdefault(os.path.realpath(path), f"--{option} {path}")
            if other != f"--{option} {path}":
                raise _UsageError(f"{other} and --{option} {path} name the same file")

    import pandas as pd

    from .fit import fit_chain
    from .quotes import read_chain

    columns = _columns_option(args.columns) if args.columns else None
    try:
        chain = read_chain(args.chain, format=args.format, columns=columns, iv_unit=args.iv_unit,
                           premium_currency=args.premium_currency, observation_time=args.observation_time,
                           clock=args.clock, calendar=args.calendar, expiry_hour=args.expiry_hour,
                           quote_ivs=args.quote_ivs)
    except (OSError, ValueError, TypeError) as exc:
        print(f"error: {exc}", file=sys.stderr)
        return 2
    if args.underlying:
        have = list(dict.fromkeys(chain.expiries["underlying"]))
        unknown = [u for u in args.underlying if u not in have]
        if unknown:
            raise _UsageError(f"--underlying {', '.join(unknown)}: not in the chain, which has "
                              f"{', '.join(have)}")
    print(chain.summary())
    for w in chain.warnings:
        print("warning:", w)
    if args.rejected:
        with _replacing(args.rejected) as tmp:
            chain.rejected.to_csv(tmp, index_label="row")
    models = args.model or ["GVVSpline"]
    results = []
    for m in models:
        cf = fit_chain(chain, m, starts=args.starts, weights=args.weights, underlyings=args.underlying,
                       solver=args.solver, calendar_arbitrage=args.calendar_arbitrage)
        results.append(cf)
        print(f"\n{m} ({chain.clock} clock)")
        print(_fmt_table(cf.table()))
        flagged = [r for r in cf.calendar_arbitrage if r.has_arbitrage]
        print(f"calendar arbitrage: {len(flagged)} of {len(cf.calendar_arbitrage)} pairs of neighbouring expiries")
        for r in flagged:
            print(f"  {r.underlying}: {r.describe()}")
        if cf.calendar_repair is not None and len(cf.calendar_repair):
            print(f"  repaired by moving {len(cf.calendar_repair)} smiles (see their warnings)")
    tables = pd.concat([cf.table() for cf in results], ignore_index=True)
    if args.out:
        with _replacing(args.out) as tmp:
            tables.to_csv(tmp, index=False)
        print(f"\nwrote {args.out}")
    if args.plot:
        from .plot import plot_chain

        with _replacing(args.plot) as tmp:
            plot_chain(chain, results, tmp, underlyings=args.underlying)
        print(f"wrote {args.plot}")
    if args.greeks:
        from .greeks import chain_greeks

        greeks = chain_greeks(chain, results[0], binary=args.binary)
        with _replacing(args.greeks) as tmp:
            greeks.to_csv(tmp, index_label="row")
        print(f"wrote {args.greeks}")
    dropped = _dropped(chain, args.underlying)
    if dropped:
        print("\nsome expiries were dropped (no forward): see the warnings above")
    return 1 if (tables["status"] == "failed").any() or dropped else 0


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
