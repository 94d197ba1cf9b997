"""Command line: `python -m korvex_chain fit CHAIN.csv ...` and `... synth OUT.csv`."""

from __future__ import annotations

import argparse
import sys

_FIT_HELP = """\
Read an option chain (CSV, one row per option: expiry_utc, strike,
option_type, bid, ask, mark, premium_currency, underlying_price, ...;
or an `instrument` column with names such as BTC-27DEC24-100000-C), price
it, fit a smile to every expiry and print one table per model.

Exit status: 0 when every expiry was fitted (possibly with warnings),
1 when some fit failed, 2 for unreadable input."""


def _parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(prog="python -m korvex_chain",
                                description="Fit korvex smiles to crypto option chains.")
    sub = p.add_subparsers(dest="command", required=True)
    f = sub.add_parser("fit", help="fit smiles to a chain", description=_FIT_HELP,
                       formatter_class=argparse.RawDescriptionHelpFormatter)
    f.add_argument("chain", help="the chain: a tidy CSV file, a Deribit or Bybit JSON response or a Tardis "
                                  "options_chain file (the layout is recognised; see read_chain)")
    f.add_argument("--model", action="append", choices=("GVVSpline", "CubicSpline", "VolGeo"),
                   help="smile model to fit; repeat for several (default: GVVSpline)")
    f.add_argument("--clock", choices=("calendar", "business"), default="calendar",
                   help="time to expiry: 'calendar' = 365-day years (the exchanges' convention, default), "
                        "'business' = korvex's weighted business time (calendar BTCUSDT)")
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
    s = sub.add_parser("synth", help="write a synthetic chain (coin premiums, bid/ask noise, a few bad rows)",
                       description="Write a synthetic crypto chain drawn from known smiles, for trying the fit.")
    s.add_argument("out", help="CSV file to write")
    s.add_argument("--model", choices=("GVVSpline", "CubicSpline", "VolGeo"), default="VolGeo",
                   help="model of the true smiles (default VolGeo)")
    s.add_argument("--seed", type=int, default=0, help="random seed (default 0)")
    return p


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


def main(argv=None) -> int:
    args = _parser().parse_args(argv)
    if args.command == "synth":
        from .synthetic import make_chain

        make_chain(args.model, seed=args.seed).table.to_csv(args.out, index=False)
        print(f"wrote {args.out}")
        return 0

    import pandas as pd

    from .fit import fit_chain
    from .quotes import read_chain

    try:
        chain = read_chain(args.chain, observation_time=args.observation_time, clock=args.clock,
                           expiry_hour=args.expiry_hour, quote_ivs=args.quote_ivs)
    except (OSError, ValueError, TypeError) as exc:
        print(f"error: {exc}", file=sys.stderr)
        return 2
    print(chain.summary())
    for w in chain.warnings:
        print("warning:", w)
    if args.rejected:
        chain.rejected.to_csv(args.rejected, index_label="row")
    models = args.model or ["GVVSpline"]
    results = []
    for m in models:
        cf = fit_chain(chain, m, starts=args.starts, weights=args.weights, underlyings=args.underlying,
                       solver=args.solver)
        results.append(cf)
        print(f"\n{m} ({chain.clock} clock)")
        print(_fmt_table(cf.table()))
    tables = pd.concat([cf.table() for cf in results], ignore_index=True)
    if args.out:
        tables.to_csv(args.out, index=False)
        print(f"\nwrote {args.out}")
    if args.plot:
        from .plot import plot_chain

        plot_chain(chain, results, args.plot, underlyings=args.underlying)
        print(f"wrote {args.plot}")
    if args.greeks:
        from .greeks import chain_greeks

        chain_greeks(chain, results[0], binary=args.binary).to_csv(args.greeks, index_label="row")
        print(f"wrote {args.greeks}")
    return 1 if (tables["status"] == "failed").any() else 0


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
