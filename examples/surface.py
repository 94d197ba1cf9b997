"""From fitted smiles to a volatility surface with korvex_chain.

A synthetic BTC chain of twelve expiries (one day to a year) is read, its
smiles fitted with the calendar-arbitrage repair, and joined into a
surface: vols at any time and strike, constant-maturity quotes (ATM vol,
risk reversals and butterflies), the calendar check, and a picture.

    python examples/surface.py [OUTPUT.png]
"""

import pathlib
import sys

import numpy as np

import korvex_chain as kc

out = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "build/surface.png")
out.parent.mkdir(parents=True, exist_ok=True)

days = (1, 2, 3, 7, 14, 21, 30, 60, 91, 182, 273, 364)
chain = kc.read_chain(kc.make_chain("GVVSpline", seed=11, expiry_days=days).table)
fits = kc.fit_chain(chain, "CubicSpline", calendar_arbitrage="repair")
surface = fits.surface("BTC")              # or kc.Surface(fits, "BTC", clock="business")
print(surface)

# Any time and strike: tenors from the observation time, instants, years.
strikes = np.array([80_000.0, 100_000.0, 125_000.0])
print("1m vols:", surface.vol("1m", strikes).round(4))
print("10 days, k = -0.1, 0, 0.1:", surface.vol("10d", k=[-0.1, 0.0, 0.1]).round(4))
print("at the 30-day expiry, bit for bit its fit:",
      np.array_equal(surface.vol(surface.expiries[6], strikes), surface.fits[6].vols(strikes)))
print("forward and time in 45 days:", round(float(surface.forward("45d")), 2), round(float(surface.ttx("45d")), 6))

# Constant-maturity quotes, vols in percent.
table = surface.quotes()
print((table[["atm_vol", "rr25", "bf25", "rr10", "bf10"]] * 100).round(2).to_string())

# The calendar check of each pair of neighbouring expiries (all clean after the repair).
print(fits.calendar_table()[["earlier", "later", "arbitrage", "where"]].to_string(index=False))

kc.plot_surface(surface, out)
print(f"wrote {out}")
