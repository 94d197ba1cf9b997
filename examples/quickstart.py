"""A small pricing workflow with korvex.

From a trading calendar to a time to expiry, from a smile to a volatility,
from a volatility to prices and greeks, and from a price back to the
volatility it implies.
"""
import datetime as dt
from zoneinfo import ZoneInfo

import korvex

NY = ZoneInfo("America/New_York")
now = dt.datetime(2026, 12, 7, 10, 30, tzinfo=NY)
expiry = dt.datetime(2027, 3, 26, 16, 0, tzinfo=NY)
spot, fwd = 97_500.0, 98_200.0

# 1. Time to expiry: weighted business time, plain 365-day time, tenors.
cal = korvex.Calendar("BTCUSDT")
bus_ttx = cal.get_bus_ttx(now, expiry)
cal_ttx = korvex.Calendar.get_cal_ttx(now, expiry)
print(f"time to {expiry:%Y-%m-%d %H:%M %Z}: business {bus_ttx:.6f} y, calendar {cal_ttx:.6f} y")
for tenor in ("1d", "2w", "3m", "1y"):
    print(f"  tenor {tenor:>3} = {korvex.Calendar.tenor_to_ttx(tenor):.6f} y")

# 2. Smiles: build each model from a parameter dict and read it across strikes.
strikes = [70_000.0, 85_000.0, 97_500.0, 110_000.0, 130_000.0]
models = {
    "GVVSpline": korvex.GVVSpline.with_params(
        expiry, {"ref_spot": spot, "ref_vol": 55.0, "skew": -8.0, "smile": 6.0, "pwing": 1.5, "cwing": 0.5}),
    "CubicSpline": korvex.CubicSpline.with_params(
        expiry, {"ref_spot": spot, "ref_vol": 55.0, "p05": 1.0, "p10": 1.5, "p15": 2.0, "p20": 3.0, "p25": 4.0,
                 "c05": 0.5, "c10": 0.8, "c15": 1.0, "c20": 1.5, "c25": 2.0}),
    "VolGeo": korvex.VolGeo.with_params(
        expiry, {"ref_spot": spot, "ref_vol": 55.0, "corr": -0.4, "vvol": 30.0}),
}
print("\nsmile at", ", ".join(f"{k:,.0f}" for k in strikes))
for name, model in models.items():
    vols = model.get_vol(bus_ttx, spot, strikes)
    print(f"  {name:<11}", "  ".join(f"{v:.4f}" for v in vols), " admissible:", model.arb_free())

# Bump a fitting parameter (refused when it would leave the admissible set),
# then re-anchor the smile at a new spot.
gvv = models["GVVSpline"]
print("\nGVVSpline fitting parameters:", gvv.get_fitting_params())
gvv.bump_param("smile", 1.0)
print("  smile after +1.0 bump:", gvv.get_parameter("smile"))
gvv.bump_param("pwing", -10.0)
print("  pwing after a refused -10.0 bump:", gvv.get_parameter("pwing"))
gvv.reanchor(99_000.0, bus_ttx)
print("  re-anchored at 99,000: ref_spot", gvv.get_parameter("ref_spot"), "ref_vol", round(gvv.get_parameter("ref_vol"), 4))

# 3. Prices and greeks with the smile's volatility.
strike = 110_000.0
vol = gvv.get_vol_single(bus_ttx, spot, strike)
price = korvex.b76_fairvalue(fwd, strike, bus_ttx, vol, "call")
print(f"\ncall {strike:,.0f} at vol {vol:.4f}: price {price:,.2f}")
print(f"  delta {korvex.b76_delta(fwd, strike, bus_ttx, vol, 'c'):.4f}"
      f"  gamma {korvex.b76_gamma(fwd, strike, bus_ttx, vol):.3e}"
      f"  vega {korvex.b76_vega(fwd, strike, bus_ttx, vol):,.2f}")
digital = korvex.binary_fairvalue(fwd, strike, bus_ttx, vol, "call")
print(f"  binary call paying 1: {digital:.4f} (delta {korvex.binary_delta(fwd, strike, bus_ttx, vol, 'c'):.3e})")

# 4. And back: the volatility that the price implies.
implied = korvex.calibrate_black76_iv(bus_ttx, fwd, strike, price, "call")
print(f"  implied volatility of {price:,.2f}: {implied:.6f} (smile said {vol:.6f})")
