"""A history of fitted smiles with korvex_chain: many snapshots into one dataset.

Twelve days of synthetic BTC and ETH snapshots, four a day, are written as
CSV files named by their time (as a collector names them), with a market
that moves: the level of vol rises into a sell-off in the middle of the
period and the puts get dearer, then both calm down. `fit_history` fits
every snapshot (two models), summarises each surface by its constant-
maturity quotes, writes the Parquet dataset, and a second call finds it
finished. The picture shows ATM vol, 25-delta risk reversal and butterfly
of three tenors over time.

    python examples/history.py [OUTPUT.png] [--workers N]
"""

import argparse
import math
import pathlib
import tempfile

import pandas as pd

import korvex_chain as kc
from korvex_chain.synthetic import true_params


def market(day: float):
    """The true smiles of a day: a vol shock peaking on day 6, with put skew."""
    shock = math.exp(-((day - 6.0) / 2.0) ** 2)

    def params(ttx, forward):
        p = true_params("GVVSpline", ttx, forward)
        term = math.exp(-ttx * 8.0)      # the short end moves most
        p["ref_vol"] += 18.0 * shock * (0.4 + term)
        p["skew"] -= 10.0 * shock * (0.3 + term)
        return p

    return params


def write_snapshots(folder: pathlib.Path, days: int = 12) -> None:
    start = pd.Timestamp("2026-11-02T00:00:00Z")
    for d in range(days):
        for hour in (3, 9, 15, 21):
            obs = start + pd.Timedelta(days=d, hours=hour)
            t = d + hour / 24.0
            spot = 100_000.0 * (1.0 - 0.08 * math.exp(-((t - 6.0) / 2.0) ** 2))
            parts = [kc.make_chain("GVVSpline", underlying=u, spot=spot * scale, observation_time=obs,
                                   expiry_days=(1, 7, 14, 30, 60, 91, 182), bad_rows=False,
                                   seed=100 * d + hour + k, params=market(t)).table
                     for k, (u, scale) in enumerate((("BTC", 1.0), ("ETH", 0.035)))]
            pd.concat(parts, ignore_index=True).to_csv(folder / f"chain_{obs:%Y%m%dT%H%M%SZ}.csv", index=False)


if __name__ == "__main__":
    ap = argparse.ArgumentParser(description="A history of twelve days of synthetic snapshots, and its picture.")
    ap.add_argument("png", nargs="?", default="build/history.png", help="the picture to write")
    ap.add_argument("--workers", type=int, default=None, help="Dask worker processes (default: this process)")
    args = ap.parse_args()
    workers = args.workers
    out_png = pathlib.Path(args.png)
    out_png.parent.mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory() as tmp:
        snaps = pathlib.Path(tmp) / "snapshots"
        snaps.mkdir()
        write_snapshots(snaps)
        out = pathlib.Path(tmp) / "history.parquet"
        run = kc.fit_history(snaps, ["GVVSpline", "CubicSpline"], out=out, workers=workers)
        print(run)
        print(kc.fit_history(snaps, ["GVVSpline", "CubicSpline"], out=out, workers=workers))   # nothing left to do

        quotes = kc.read_history(out, "quotes", model="GVVSpline", underlying="BTC")
        one_month = quotes[quotes["tenor"] == "1m"].set_index("observation_time")
        print((one_month[["atm_vol", "rr25", "bf25"]] * 100).round(2).iloc[::4].to_string())
        fits = kc.read_history(out, "fits")
        print(fits.groupby("model")[["rmse_vp", "inside"]].median().round(3).to_string())
        kc.plot_history(out, out_png, tenors=("1w", "1m", "3m"), model="GVVSpline")
    print(f"wrote {out_png}")
