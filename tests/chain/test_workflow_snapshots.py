"""The chain workflow on the real snapshots beside the checkout (skipped without them)."""

import numpy as np
import pytest

pytest.importorskip("korvex_chain._kernels")
pd = pytest.importorskip("pandas")
pytest.importorskip("scipy")

import korvex_chain as kc  # noqa: E402
from chain_support import CHAINS  # noqa: E402

FILES = sorted(CHAINS.glob("*.csv")) if CHAINS.is_dir() else []
pytestmark = pytest.mark.skipif(not FILES, reason=f"no chain snapshots in {CHAINS}")


@pytest.fixture(scope="module")
def chains():
    return {f.name: kc.read_chain(f) for f in FILES}


def test_every_row_is_priced_or_reported(chains):
    for name, ch in chains.items():
        assert len(ch.quotes) + len(ch.rejected) == ch.n_input, name
        assert ch.rejected["reason"].str.len().gt(0).all()
        assert np.isfinite(ch.expiries["forward"]).all() and (ch.expiries["ttx"] > 0).all()


def test_out_of_the_money_marks_match_the_exchange_iv(chains):
    """Coin premiums, forwards and the 365-day clock together: the IV of each
    out-of-the-money Deribit mark within 0.5 vol points of the exchange's."""
    for name, ch in chains.items():
        if not name.startswith("deribit"):
            continue
        q = ch.quotes
        m = q[(q["mark_premium"] > 0) & q["exchange_mark_iv"].notna() & q["otm"]]
        diff = (m["mark_iv"] - m["exchange_mark_iv"]).abs() * 100
        assert len(m) > 100 and (diff <= 0.5).mean() >= 0.99, (name, diff.describe())


@pytest.mark.parametrize("model", ["GVVSpline", "CubicSpline", "VolGeo"])
def test_every_fit_ends_admissible_finite_and_reported(chains, model):
    for name, ch in chains.items():
        cf = kc.fit_chain(ch, model)
        assert len(cf.fits) == len(ch.expiries)
        for f in cf.fits:
            assert f.status in ("ok", "warning"), (name, f.summary())
            assert f.model.arb_free()
            k = f.forward * np.exp(f.quotes["log_moneyness"].to_numpy())
            assert np.isfinite(f.vols(k)).all(), (name, f.summary())
            assert f.arbitrage is not None and f.nfev > 0
            if model != "CubicSpline":
                assert not f.arbitrage.has_arbitrage, (name, f.summary())
            else:
                assert f.arbitrage.depth >= -0.01, (name, f.summary())
        t = cf.table()
        assert {"underlying", "expiry_utc", "model", "forward", "ttx", "status"} <= set(t.columns)
