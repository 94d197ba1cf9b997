"""From a quote table to fitted smiles with korvex_chain.

A synthetic inverse-option chain (premiums in BTC, bid/ask noise, a few bad
rows) stands in for an exchange snapshot: it is read and priced, each
expiry's smile is fitted with two models, the fits are reported, greeks come
from the fitted smiles, and a picture of market IVs and smiles is saved.

    python examples/chain_workflow.py [OUTPUT.png]
"""

import pathlib
import sys

import korvex_chain as kc

out = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "build/chain_smiles.png")
out.parent.mkdir(parents=True, exist_ok=True)

# 1. A chain: the tidy one-row-per-option table an exchange snapshot converts to.
syn = kc.make_chain("VolGeo", seed=11, expiry_days=(2, 7, 30, 91, 182, 364))
table = syn.table
print(f"{len(table)} rows, e.g.\n{table[['instrument', 'bid', 'ask', 'premium_currency', 'underlying_price']].head(3)}\n")

# 2. Read and price it: coin premiums become USD with the expiry's forward,
#    times to expiry on the 365-day clock, IVs of bid/ask/mid/mark with
#    the reason whenever one is missing. Bad rows are reported, not priced.
chain = kc.read_chain(table, clock="calendar")
print(chain.summary())
print(chain.expiries[["underlying", "expiry", "forward", "forward_method", "ttx"]].to_string(index=False))
print(chain.quotes["ask_iv_status"].value_counts().to_string(), "\n")

# 3. Fit every expiry: out-of-the-money quotes, anchored at the forward,
#    admissible throughout, with a report per expiry. (GVVSpline fits too;
#    with its wings left at zero it cannot follow this chain's steep wings.)
fits = [kc.fit_chain(chain, model) for model in ("VolGeo", "CubicSpline")]
for cf in fits:
    print(cf.model_name)
    for f in cf.fits:
        print("  " + f.summary().replace("\n", "\n  "))

# A later snapshot of the same expiries starts from these fits.
again = kc.fit_chain(chain, "VolGeo", previous=fits[0])
print(f"\nwarm start: {sum(f.nfev for f in again.fits)} evaluations instead of {sum(f.nfev for f in fits[0].fits)}")

# 4. Parameters of every fitted smile, ready for with_params.
print(fits[0].table()[["underlying", "expiry_utc", "status", "ref_spot", "ref_vol", "corr", "vvol"]].to_string(index=False))

# 5. Greeks per input row from the fitted smiles (rejected rows say why).
greeks = kc.chain_greeks(chain, fits[0], binary=True)
print(greeks[["strike", "call_put", "vol", "price", "delta", "vega", "binary_price", "status"]].iloc[::40].to_string())

# 6. The picture.
kc.plot_chain(chain, fits, out, title="Synthetic BTC chain: market bid/ask IVs and fitted smiles")
print(f"\nwrote {out}")
