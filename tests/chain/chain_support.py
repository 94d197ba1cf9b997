"""Shared helpers of the korvex_chain tests (not a conftest: the suite above
has its own conftest module, and the two would share one module name).

korvex_chain is compared element by element with the scalar korvex
functions: equal means the same 64 bits, NaN payloads included."""

import os
import pathlib

import numpy as np
import pytest

kc = pytest.importorskip("korvex_chain", reason="korvex_chain is not built here")

ASAN = os.environ.get("KORVEX_ASAN") == "1"
CHAINS = pathlib.Path(__file__).resolve().parents[2].parent / "shared" / "data" / "chains"
CHAIN_FILES = sorted(CHAINS.glob("*.csv")) if CHAINS.is_dir() else []
# The modules over the chain snapshots: slow, and skipped without them.
ON_SNAPSHOTS = [pytest.mark.slow, pytest.mark.skipif(not CHAIN_FILES, reason=f"no chain snapshots in {CHAINS}")]


def assert_same_bits(actual, expected, what=""):
    a = np.ascontiguousarray(actual, dtype=np.float64)
    e = np.ascontiguousarray(expected, dtype=np.float64)
    assert a.shape == e.shape, (what, a.shape, e.shape)
    differ = (a.view(np.uint64) != e.view(np.uint64)) & ~(np.isnan(a) & np.isnan(e))
    if differ.any():
        i = np.flatnonzero(differ.reshape(-1))[:5]
        pytest.fail(f"{what}: {differ.sum()} of {a.size} differ, e.g. at {i}: "
                    f"{a.reshape(-1)[i]} != {e.reshape(-1)[i]}")


def scalar_map(fn, *columns):
    """fn applied element by element to broadcast columns, as a float array."""
    cols = np.broadcast_arrays(*[np.asarray(c) for c in columns])
    shape = cols[0].shape
    flat = [c.reshape(-1).tolist() for c in cols]
    out = [fn(*args) for args in zip(*flat)]
    return np.array(out, dtype=np.float64).reshape(shape)


def chain_like(rng, n):
    """Option inputs like a real chain: |ln K/F| <= 1, one day to two years,
    vols 0.2 to 2, both sides."""
    fwd = 100.0 * np.exp(rng.uniform(-0.5, 0.5, n))
    strike = fwd * np.exp(rng.uniform(-1.0, 1.0, n))
    ttx = rng.uniform(1 / 365, 2.0, n)
    vol = rng.uniform(0.2, 2.0, n)
    is_call = rng.random(n) < 0.5
    return fwd, strike, ttx, vol, is_call


HOSTILE = np.array([np.nan, np.inf, -np.inf, 0.0, -0.0, -1.0, 1e300, 1e-300, 1e-170, 5e-324, 100.0, 0.5])


@pytest.fixture
def rng():
    return np.random.default_rng(20240607)


# The collector's own columns (../shared/data/history) under the tidy names,
# as the README shows them.
COLLECTOR = {"observation_time_utc": "timestamp", "instrument": "instrument_name", "expiry_utc": "expiry_datetime",
             "bid": "bid_price", "ask": "ask_price", "mark": "mark_price", "underlying_price": "underlying",
             "mark_iv": "implied_volatility", "underlying": "currency", "premium_currency": "currency"}
