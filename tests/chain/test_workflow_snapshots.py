"""The chain workflow on the real snapshots beside the checkout (skipped without them)."""

import numpy as np
import pytest

pytest.importorskip("korvex_chain._kernels")
pd = pytest.importorskip("pandas")
pytest.importorskip("scipy")

import korvex_chain as kc  # noqa: E402
from chain_support import CHAIN_FILES, CHAINS, COLLECTOR, ON_SNAPSHOTS  # noqa: E402

pytestmark = ON_SNAPSHOTS


@pytest.fixture(scope="module")
def chains():
    return {f.name: kc.read_chain(f) for f in CHAIN_FILES}


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


def _far_start(model, atm):
    """A starting point far from the quotes' own (atm in percent)."""
    if model == "GVVSpline":
        return {"ref_vol": 1.25 * atm, "skew": 15.0, "smile": 30.0}
    if model == "VolGeo":
        return {"ref_vol": 1.25 * atm, "corr": 0.5, "vvol": 150.0}
    inc = dict.fromkeys(("p25", "p20", "p15", "p10", "p05", "c05", "c10", "c15", "c20", "c25"), 0.0)
    inc.update({"ref_vol": 1.2 * atm, "p25": 5.0, "c25": 5.0, "p05": 2.0, "c05": -1.0})
    return inc


@pytest.mark.parametrize("model", ["GVVSpline", "CubicSpline", "VolGeo"])
def test_two_starting_points_end_on_the_same_smile(chains, model):
    """Every expiry fitted again from a far start ends within 0.01 vol points
    of fit_chain's smile at the two-sided quotes (those with only a bid or
    an ask leave any curve below or above them as good)."""
    for name, ch in chains.items():
        cf = kc.fit_chain(ch, model)
        for f in cf.fits:
            q = ch.expiry_quotes(f.underlying, f.expiry)
            otm = q[q["otm"] & q["quote_bid_iv"].notna() & q["quote_ask_iv"].notna()]
            k = f.forward * np.exp(otm["log_moneyness"].to_numpy())
            ours = f.vols(k)
            alt = kc.fit_smile(q, model, forward=f.forward, ttx=f.ttx, expiry=f.expiry, underlying=f.underlying,
                               starting_points=[_far_start(model, 100 * float(np.median(f.fit_iv)))])
            assert alt.ok, (name, alt.summary())
            gap = float(np.max(np.abs(alt.vols(k) - ours))) * 100 if len(k) else 0.0
            assert gap <= 0.01, (name, model, f.summary(), alt.summary(), gap)


HISTORY = sorted((CHAINS.parent / "history").glob("*.csv.gz")) if (CHAINS.parent / "history").is_dir() else []


def test_no_fitted_smile_has_butterfly_arbitrage_on_a_fine_grid(chains):
    """On every snapshot (the chains and the collector's history), every
    fitted smile's density on a 4,001-point grid over its quoted range stays
    above -1 % of its peak (CubicSpline, whose knots the fit tolerates specks
    at) or non-negative (the others); and the check reports no less than the
    grid finds."""
    from korvex_chain import _kernels
    from korvex_chain.fit.model_facts import model_facts

    snapshots = dict(chains)
    for path in HISTORY:
        snapshots[path.name] = kc.read_chain(path, columns=COLLECTOR, iv_unit="decimal")
    bad = []
    for name, ch in snapshots.items():
        for model in ("GVVSpline", "CubicSpline", "VolGeo"):
            for f in kc.fit_chain(ch, model).fits:
                assert f.ok, (name, f.summary())
                k_used = f.quotes["log_moneyness"].to_numpy(float)
                k = np.linspace(k_used.min(), k_used.max(), 4001)
                dens = np.empty(k.size)
                vec = np.array([f.params[n] for n in model_facts(model).names])
                _kernels.smile_density(model, vec, f.ttx, f.forward, k, dens)
                depth = min(float(dens.min() / dens.max()), 0.0)
                if depth < (-0.01 if model == "CubicSpline" else -1e-9):
                    bad.append((name, f.summary(), depth))
                if depth < -1e-6:
                    assert f.arbitrage.has_arbitrage and f.arbitrage.depth <= 0.9 * depth, (name, f.summary())
    assert not bad, bad[:5]
