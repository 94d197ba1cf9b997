"""Surfaces of the real snapshots beside the checkout (skipped without them):
no calendar arbitrage after the repair at no visible cost to the fits, and
risk reversals and butterflies that agree with the exchange's marks."""

import math

import numpy as np
import pytest

pytest.importorskip("korvex_chain._kernels")
pd = pytest.importorskip("pandas")
pytest.importorskip("scipy")

import korvex_chain as kc  # noqa: E402
from chain_support import CHAIN_FILES, ON_SNAPSHOTS  # noqa: E402
from scipy.special import ndtr  # noqa: E402

pytestmark = ON_SNAPSHOTS


@pytest.fixture(scope="module")
def chains():
    return {f.name: kc.read_chain(f) for f in CHAIN_FILES}


def _pooled(cf):
    fits = [f for f in cf.fits if f.n_metric]
    n = sum(f.n_metric for f in fits)
    return (sum(f.inside * f.n_metric for f in fits) / n,
            math.sqrt(sum(f.rmse ** 2 * f.n_metric for f in fits) / n))


@pytest.mark.parametrize("model", ["GVVSpline", "CubicSpline", "VolGeo"])
def test_repaired_surfaces_have_no_calendar_arbitrage(chains, model):
    for name, ch in chains.items():
        before = kc.fit_chain(ch, model)
        after = kc.fit_chain(ch, model, calendar_arbitrage="repair")
        inside0, rmse0 = _pooled(before)
        inside1, rmse1 = _pooled(after)
        assert inside1 >= inside0 - 0.01 and rmse1 <= rmse0 + 0.1, (name, inside0, inside1, rmse0, rmse1)
        assert not any(r.has_arbitrage for r in after.calendar_arbitrage), (name, after.calendar_table())
        for und in sorted({f.underlying for f in after.fits}):
            s = after.surface(und)
            for i in range(len(s.fits) - 1):
                k = np.linspace(*s.pair_range(i), 401)
                t = np.linspace(s.times[i], s.times[i + 1], 50)
                step = np.diff(s.total_variance(t[:, None], k[None, :]), axis=0)
                assert np.all(step >= 0), (name, und, s.expiries[i])
            for f in s.fits:
                strikes = f.forward * np.exp(f.quotes["log_moneyness"].to_numpy(float))
                assert np.array_equal(s.vol(f.expiry, strikes), f.vols(strikes)), (name, f.expiry)


def _marks_rr_bf(chain, fit):
    """25-delta risk reversal and butterfly (forward delta) from the
    exchange's mark IVs of one expiry, linear in k between strikes."""
    q = chain.expiry_quotes(fit.underlying, fit.expiry)
    k = np.log(q["strike"].to_numpy(float) / fit.forward)
    iv = q["exchange_mark_iv"].to_numpy(float)
    m = np.isfinite(iv) & (iv > 0) & np.where(q["is_call"].to_numpy(bool), k >= 0, k < 0)
    k, iv = k[m][np.argsort(k[m])], iv[m][np.argsort(k[m])]
    grid = np.linspace(k[0], k[-1], 400_001)
    v = np.interp(grid, k, iv)
    u = v * math.sqrt(fit.ttx)
    d1 = -grid / u + u / 2
    c = v[np.flatnonzero((ndtr(d1[:-1]) >= 0.25) & (ndtr(d1[1:]) < 0.25))[-1]]
    p = v[np.flatnonzero((ndtr(d1[:-1]) - 1 >= -0.25) & (ndtr(d1[1:]) - 1 < -0.25))[0]]
    return c - p, 0.5 * (c + p) - float(np.interp(0.0, k, iv))


def test_cubic_spline_risk_reversals_and_butterflies_match_the_marks(chains):
    """Every Deribit expiry at least three days out: within one vol point,
    and of the same sign unless both are within half a vol point of zero
    (one risk reversal, -0.2 against +0.1 vol points)."""
    checked = 0
    for name, ch in chains.items():
        if not name.startswith("deribit"):
            continue
        cf = kc.fit_chain(ch, "CubicSpline")
        for und in sorted({f.underlying for f in cf.fits}):
            s = cf.surface(und)
            q = s.quotes(list(s.expiries), deltas=(25,))
            for f, (_, row) in zip(s.fits, q.iterrows()):
                if (f.expiry - ch.observation_time) < pd.Timedelta(days=3):
                    continue
                rr, bf = _marks_rr_bf(ch, f)
                for ours, theirs in ((row["rr25"], rr), (row["bf25"], bf)):
                    assert abs(ours - theirs) <= 0.01, (name, und, f.expiry, ours, theirs)
                    assert np.sign(ours) == np.sign(theirs) or max(abs(ours), abs(theirs)) < 0.005, \
                        (name, und, f.expiry, ours, theirs)
                checked += 1
    assert checked >= 25
