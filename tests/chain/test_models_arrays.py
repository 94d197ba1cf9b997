"""Smile vols over arrays and the parameter-vector model API against korvex's models."""

import datetime as dt

import korvex
import numpy as np
import pytest
from chain_support import HOSTILE, assert_same_bits, kc, rng  # noqa: F401 (fixture)

EXPIRY = dt.datetime(2027, 3, 26, 8, 0, tzinfo=dt.timezone.utc)
MODELS = {"GVVSpline": korvex.GVVSpline, "CubicSpline": korvex.CubicSpline, "VolGeo": korvex.VolGeo}


def random_params(rng, kind):
    """A plausible, not necessarily admissible, parameter set of `kind`."""
    names = kc.model_param_names(kind)
    p = {"vpr": rng.uniform(0.5, 1.5), "ref_spot": rng.uniform(80, 120), "ref_vol": rng.uniform(20, 120)}
    for name in names[3:]:
        p[name] = rng.uniform(0.0, 8.0) if name in ("smile", "vvol") else rng.uniform(-3.0, 3.0)
    return p


def test_param_names_are_the_stored_order():
    for kind, cls in MODELS.items():
        names = kc.model_param_names(kind)
        assert isinstance(names, tuple)
        assert set(names) == set(cls(EXPIRY).get_param_dict())
        assert names[:3] == ("vpr", "ref_spot", "ref_vol")
    with pytest.raises(ValueError, match="unknown model kind"):
        kc.model_param_names("SABR")


@pytest.mark.parametrize("kind", list(MODELS))
def test_smile_vols_match_get_vol(rng, kind):
    strikes = np.concatenate([np.exp(rng.uniform(np.log(5.0), np.log(2000.0), 3000)), HOSTILE])
    for _ in range(4):
        model = MODELS[kind].with_params(EXPIRY, random_params(rng, kind))
        for ttx, spot in [(0.25, 101.0), (2.0, 80.0), (1.0 / 365, 100.0), (0.0, 100.0), (-1.0, np.nan)]:
            want = np.array(model.get_vol(ttx, spot, strikes.tolist()))
            assert_same_bits(kc.smile_vols(model, ttx, spot, strikes), want, f"{kind} {ttx} {spot}")
    # Shaped like the strikes, any layout, any float dtype.
    grid = strikes[:3000].reshape(60, 50)
    got = kc.smile_vols(model, 0.5, 100.0, grid.T)
    assert got.shape == (50, 60)
    assert_same_bits(got, np.array(model.get_vol(0.5, 100.0, grid.T.reshape(-1).tolist())).reshape(50, 60))
    assert kc.smile_vols(model, 0.5, 100.0, np.empty((0, 3))).shape == (0, 3)


def test_smile_vols_reject_other_objects_and_array_ttx():
    with pytest.raises(TypeError, match="GVVSpline"):
        kc.smile_vols(object(), 0.5, 100.0, [100.0])
    with pytest.raises(TypeError, match="ttx"):
        kc.smile_vols(korvex.VolGeo(EXPIRY), [0.5, 1.0], 100.0, [100.0])


@pytest.mark.parametrize("kind", list(MODELS))
def test_model_vols_of_many_parameter_rows(rng, kind):
    names = kc.model_param_names(kind)
    rows = [random_params(rng, kind) for _ in range(25)]
    params = np.array([[r[n] for n in names] for r in rows])
    strikes = np.linspace(40.0, 250.0, 41)
    got = kc.model_vols(kind, params, 0.7, 98.0, strikes, threads=2)
    assert got.shape == (25, 41)
    for i, r in enumerate(rows):
        model = MODELS[kind].with_params(EXPIRY, r)
        assert_same_bits(got[i], np.array(model.get_vol(0.7, 98.0, strikes.tolist())), f"row {i}")
        assert kc.model_arb_free(kind, params[i]) is model.arb_free()
    assert_same_bits(kc.model_vols(kind, params[3], 0.7, 98.0, strikes), got[3])
    assert list(kc.model_arb_free(kind, params)) == [MODELS[kind].with_params(EXPIRY, r).arb_free() for r in rows]
    # A non-contiguous slice of rows is the same rows.
    assert_same_bits(kc.model_vols(kind, params[::2], 0.7, 98.0, strikes), got[::2])

    with pytest.raises(ValueError, match="parameter vector"):
        kc.model_vols(kind, params[:, :-1], 0.7, 98.0, strikes)
    with pytest.raises(ValueError, match="shape"):
        kc.model_vols(kind, params[None], 0.7, 98.0, strikes)


def test_many_strikes_over_threads(rng):
    model = korvex.GVVSpline.with_params(EXPIRY, random_params(rng, "GVVSpline"))
    strikes = rng.uniform(10.0, 400.0, 200_000)
    one = kc.smile_vols(model, 0.3, 100.0, strikes, threads=1)
    assert_same_bits(kc.smile_vols(model, 0.3, 100.0, strikes, threads=2), one)
    assert_same_bits(one[:1000], np.array(model.get_vol(0.3, 100.0, strikes[:1000].tolist())))
