"""Implied vols, Black-76 and binary over arrays against the scalar korvex functions."""

import csv
import itertools
import threading
import time

import korvex
import numpy as np
import pytest
from chain_support import CHAINS, HOSTILE, assert_same_bits, chain_like, kc, rng, scalar_map  # noqa: F401

SIDE = {True: "c", False: "p"}

B76_FIELDS = {
    "fairvalue": lambda f, k, t, v, c, d: korvex.b76_fairvalue(f, k, t, v, SIDE[c], d),
    "delta": lambda f, k, t, v, c, d: korvex.b76_delta(f, k, t, v, SIDE[c], d),
    "gamma": lambda f, k, t, v, c, d: korvex.b76_gamma(f, k, t, v, d),
    "vega": lambda f, k, t, v, c, d: korvex.b76_vega(f, k, t, v, d),
}
BINARY_FIELDS = {
    name: (lambda fn: lambda f, k, t, v, c, d: fn(f, k, t, v, SIDE[c], d))(getattr(korvex, f"binary_{name}"))
    for name in ("fairvalue", "delta", "gamma", "vega", "theta")
}


def hostile_grid(width=4):
    """Every combination of the hostile values for `width` inputs, as columns."""
    grid = np.array(list(itertools.product(HOSTILE, repeat=width)))
    return [grid[:, j].copy() for j in range(width)]


def scalar_iv(t, f, k, p, c, d=1.0):
    return korvex.calibrate_black76_iv(t, f, k, p, SIDE[c], d)


# ------------------------------------------------------------------ bit identity


@pytest.mark.parametrize("kind", ["b76", "binary"])
def test_pricing_matches_scalar_on_chain_and_hostile_inputs(rng, kind):
    fields = B76_FIELDS if kind == "b76" else BINARY_FIELDS
    fn = getattr(kc, kind)
    fwd, strike, ttx, vol, is_call = chain_like(rng, 2000)
    df = rng.uniform(0.5, 1.0, fwd.size)
    h = hostile_grid()
    side = np.arange(h[0].size) % 2 == 0
    for cols in [(fwd, strike, ttx, vol, is_call, df), (*h, side, 1.0), (*h, ~side, 0.75)]:
        result = fn(*cols)
        assert type(result).__name__ == ("B76" if kind == "b76" else "Binary")
        assert result._fields == tuple(fields)
        for name, scalar in fields.items():
            assert_same_bits(getattr(result, name), scalar_map(scalar, *cols), f"{kind}.{name}")


def test_implied_vols_match_scalar_on_chain_and_hostile_inputs(rng):
    fwd, strike, ttx, vol, is_call = chain_like(rng, 3000)
    price = kc.b76(fwd, strike, ttx, vol, is_call).fairvalue
    # Prices near, below and above what the vol range can give, too.
    price[::7] *= 1e-6
    price[1::7] = np.where(is_call[1::7], fwd[1::7], strike[1::7]) * 1.01
    df = np.where(rng.random(fwd.size) < 0.5, 1.0, 0.9)
    cols = (ttx, fwd, strike, price, is_call, df)
    assert_same_bits(kc.implied_vols(*cols), scalar_map(scalar_iv, *cols), "chain")

    t, f, k, p = hostile_grid()
    for side in (True, False):
        cols = (t, f, k, p, side)
        assert_same_bits(kc.implied_vols(*cols), scalar_map(scalar_iv, *cols), f"hostile {SIDE[side]}")


def test_tiny_prices_are_not_inverted_from_a_fake_bracket():
    # A call on F = K = 1e-170 is worth at most F: twice that is unattainable,
    # although the products of the tiny end values underflow to zero.
    f = np.full(3, 1e-170)
    price = np.array([2e-170, 0.0, kc.b76(1e-170, 1e-170, 1.0, 0.3, "c").fairvalue])
    vols, status = kc.implied_vols(1.0, f, f, price, "c", status=True)
    assert np.isnan(vols[:2]).all()
    assert list(status[:2]) == [kc.IVStatus.ABOVE_MAX, kc.IVStatus.BELOW_MIN]
    assert vols[2] == pytest.approx(0.3, abs=1e-4)
    assert_same_bits(vols, scalar_map(scalar_iv, 1.0, f, f, price, True))


# ------------------------------------------------------------------ status codes


def test_status_codes_explain_every_nan(rng):
    fwd, strike, ttx, vol, is_call = chain_like(rng, 2000)
    price = kc.b76(fwd, strike, ttx, vol, is_call).fairvalue
    price[::5] = 0.0
    price[1::5] *= 50.0
    ttx[2::11] = 0.0
    fwd[3::13] = np.nan
    strike[4::17] = -1.0
    vols, status = kc.implied_vols(ttx, fwd, strike, price, is_call, status=True)
    assert status.dtype == np.int8
    assert_same_bits(vols, kc.implied_vols(ttx, fwd, strike, price, is_call))
    # The invariant, and every code's meaning against the scalar prices.
    assert np.array_equal(np.isnan(vols), status != kc.IVStatus.OK)
    assert set(np.unique(status)) == set(kc.IVStatus)
    lo = scalar_map(lambda f, k, t, c: korvex.b76_fairvalue(f, k, t, 0.01, SIDE[c]), fwd, strike, ttx, is_call)
    hi = scalar_map(lambda f, k, t, c: korvex.b76_fairvalue(f, k, t, 10.0, SIDE[c]), fwd, strike, ttx, is_call)
    below = status == kc.IVStatus.BELOW_MIN
    above = status == kc.IVStatus.ABOVE_MAX
    assert (price[below] < lo[below]).all() and (ttx[below] > 0).all()
    assert (price[above] > hi[above]).all() and (ttx[above] > 0).all()
    assert (ttx[status == kc.IVStatus.NO_TIME_VALUE] <= 0).all()
    nan_input = status == kc.IVStatus.NAN_INPUT
    assert np.isnan(fwd[nan_input]).sum() + (strike[nan_input] < 0).sum() >= nan_input.sum()


def test_status_of_the_documented_cases():
    cases = [  # ttx, fwd, strike, price, side, expected vol, status
        (0.0, 105.0, 100.0, 5.0, "c", 10.0, kc.IVStatus.OK),  # exactly intrinsic at expiry
        (0.0, 105.0, 100.0, 4.0, "c", np.nan, kc.IVStatus.NO_TIME_VALUE),
        (-1.0, 100.0, 100.0, 1.0, "p", np.nan, kc.IVStatus.NO_TIME_VALUE),
        (1.0, 100.0, 100.0, 0.0, "c", np.nan, kc.IVStatus.BELOW_MIN),
        (1.0, 100.0, 100.0, 150.0, "c", np.nan, kc.IVStatus.ABOVE_MAX),
        (1.0, 100.0, 100.0, np.nan, "c", np.nan, kc.IVStatus.NAN_INPUT),
        (np.nan, 100.0, 100.0, 5.0, "p", np.nan, kc.IVStatus.NAN_INPUT),
        (1.0, -100.0, 100.0, 5.0, "c", np.nan, kc.IVStatus.NAN_INPUT),  # the price itself is NaN
    ]
    t, f, k, p, s, want_vol, want_status = (np.array(c, dtype=object) for c in zip(*cases))
    vols, status = kc.implied_vols(t.astype(float), f.astype(float), k.astype(float), p.astype(float),
                                   s.astype(str), status=True)
    assert_same_bits(vols, want_vol.astype(float))
    assert list(status) == list(want_status)
    assert isinstance(kc.IVStatus(int(status[0])), kc.IVStatus)


# ------------------------------------------------------------------ sides


def test_side_spellings_strings_objects_and_booleans():
    spell = np.array(["c", "C", "call", "Call", "CALL", "p", "P", "put", "Put", "pUT"])
    is_call = np.array([True] * 5 + [False] * 5)
    ref = kc.b76(100.0, 90.0, 0.5, 0.4, is_call).fairvalue
    assert_same_bits(kc.b76(100.0, 90.0, 0.5, 0.4, spell).fairvalue, ref)
    assert_same_bits(kc.b76(100.0, 90.0, 0.5, 0.4, spell.astype(object)).fairvalue, ref)
    assert_same_bits(kc.b76(100.0, 90.0, 0.5, 0.4, list(spell)).fairvalue, ref)
    assert_same_bits(kc.b76(100.0, 90.0, 0.5, 0.4, spell.reshape(2, 5)).fairvalue, ref.reshape(2, 5))
    assert kc.b76(100.0, 90.0, 0.5, 0.4, "Put").fairvalue == korvex.b76_fairvalue(100.0, 90.0, 0.5, 0.4, "p")


def test_bool_sides_stored_as_other_bytes_are_calls():
    # numpy reads any nonzero byte of a bool array as True; so must the kernels.
    raw = np.array([2, 255, 0, 1, 64, 0], np.uint8)
    want = raw != 0
    for sides in (raw.view(bool), raw.view(bool)[::-1][::-1], raw.view(bool).reshape(2, 3)):
        got, ref = kc.b76(100.0, 90.0, 0.5, 0.5, sides), kc.b76(100.0, 90.0, 0.5, 0.5, want.reshape(sides.shape))
        for name in kc.B76._fields:
            assert_same_bits(getattr(got, name), getattr(ref, name), name)
        assert_same_bits(kc.implied_vols(0.5, 100.0, 90.0, 15.0, sides),
                         kc.implied_vols(0.5, 100.0, 90.0, 15.0, want.reshape(sides.shape)))
    assert_same_bits(kc.binary(100.0, 90.0, 0.5, 0.5, raw.view(bool)).delta, kc.binary(100.0, 90.0, 0.5, 0.5, want).delta)


def test_nullable_boolean_sides_and_their_missing_values():
    pd = pytest.importorskip("pandas")
    ref = kc.b76(100.0, 90.0, 0.5, 0.4, np.array([True, False, True])).fairvalue
    for sides in (pd.array([True, False, True], dtype="boolean"), np.array([True, np.False_, "c"], dtype=object)):
        assert_same_bits(kc.b76(100.0, 90.0, 0.5, 0.4, sides).fairvalue, ref)
    # A missing side is an unknown side, whatever marks it.
    for sides in (pd.array([True, None, False], dtype="boolean"), pd.Series(["c", pd.NA], dtype="string"),
                  np.array(["p", None], dtype=object), np.array([False, np.nan], dtype=object)):
        with pytest.raises(ValueError, match="missing side"):
            kc.b76(100.0, 90.0, 0.5, 0.4, sides)
    with pytest.raises(TypeError):  # True == 1, but 1 is no side
        kc.b76(100.0, 90.0, 0.5, 0.4, np.array([True, 1], dtype=object))


@pytest.mark.parametrize("sides, bad", [
    (["c", "p", "XYZ", "calls"], "XYZ"),
    (["c", "c", " call", "p", "q"], " call"),
    (["P", "ÇALL", "x"], "ÇALL"),
    (["C", "PUT", ""], ""),
])
def test_unknown_side_raises_korvex_text_for_first_bad_element(sides, bad):
    with pytest.raises(ValueError) as scalar_error:
        korvex.b76_fairvalue(100.0, 100.0, 1.0, 0.2, bad)
    for arr in (np.array(sides), np.array(sides, dtype=object)):
        for call in (lambda cp: kc.implied_vols(1.0, 100.0, 100.0, 5.0, cp),
                     lambda cp: kc.b76(100.0, 100.0, 1.0, 0.2, cp),
                     lambda cp: kc.binary(100.0, 100.0, 0.0, 0.2, cp)):
            with pytest.raises(ValueError) as error:
                call(arr)
            assert str(error.value) == str(scalar_error.value)


def test_wrong_types_raise_type_error():
    with pytest.raises(TypeError):
        kc.b76(100.0, 100.0, 1.0, 0.2, np.array([1.0, 0.0]))  # sides must be text or bool
    with pytest.raises(TypeError):
        kc.b76(100.0, 100.0, 1.0, 0.2, np.array(["c", 3], dtype=object))
    with pytest.raises(TypeError):
        kc.b76("100", 100.0, 1.0, 0.2, "c")
    with pytest.raises(TypeError):
        kc.implied_vols(1.0, [100.0, None], 100.0, 5.0, "c")
    with pytest.raises(TypeError):
        kc.b76(np.array([1 + 2j]), 100.0, 1.0, 0.2, "c")


def test_mismatched_shapes_name_them():
    with pytest.raises(ValueError, match=r"\(3,\).*\(4,\)"):
        kc.b76(np.ones(3), np.ones(4), 1.0, 0.2, "c")
    with pytest.raises(ValueError, match=r"\(2,\).*\(3,\)"):
        kc.implied_vols(1.0, 100.0, 100.0, np.ones(2), np.array(["c", "p", "c"]))


# ------------------------------------------------------------------ layouts


def test_layouts_dtypes_and_broadcasting_do_not_change_a_bit(rng):
    base = rng.uniform(50.0, 150.0, (40, 30))
    ref = kc.implied_vols(0.5, 100.0, base, 8.0, "c")
    assert ref.shape == (40, 30)

    transposed = np.ascontiguousarray(base.T).T
    strided = np.zeros((80, 60))
    strided[::2, ::2] = base
    readonly = base.copy()
    readonly.flags.writeable = False
    for variant in (transposed, strided[::2, ::2], readonly):
        assert_same_bits(kc.implied_vols(0.5, 100.0, variant, 8.0, "c"), ref)
    # Read-only price arrays and the side as a read-only bool array.
    price = np.full((40, 30), 8.0)
    price.flags.writeable = False
    side = np.ones((40, 30), dtype=bool)
    side.flags.writeable = False
    assert_same_bits(kc.implied_vols(0.5, 100.0, base, price, side), ref)

    # float32 and integer inputs are the same values widened to float64.
    k32 = base.astype(np.float32)
    assert_same_bits(kc.implied_vols(0.5, 100.0, k32, 8.0, "c"),
                     kc.implied_vols(0.5, 100.0, k32.astype(np.float64), 8.0, "c"))
    kint = np.arange(60, 140)
    assert_same_bits(kc.b76(100, kint, 1, 0.5, "p").vega, kc.b76(100.0, kint.astype(float), 1.0, 0.5, "p").vega)

    # Outer broadcasting against the scalar loop.
    ttx = np.array([[0.1], [0.5], [2.0]])
    strikes = np.linspace(60.0, 160.0, 9)
    got = kc.b76(100.0, strikes, ttx, 0.7, np.array([True, False, True])[:, None])
    assert got.fairvalue.shape == (3, 9)
    want = scalar_map(B76_FIELDS["fairvalue"], 100.0, strikes, ttx, 0.7,
                      np.array([True, False, True])[:, None], 1.0)
    assert_same_bits(got.fairvalue, want)


def test_scalars_and_empty_arrays():
    v = kc.implied_vols(1.0, 100.0, 100.0, 7.9656, "c")
    assert v.shape == () and v.dtype == np.float64
    assert v == korvex.calibrate_black76_iv(1.0, 100.0, 100.0, 7.9656, "c")
    for shape in [(0,), (3, 0)]:
        vols, status = kc.implied_vols(1.0, 100.0, np.empty(shape), 5.0, "c", status=True)
        assert vols.shape == shape and status.shape == shape and status.dtype == np.int8
        assert all(field.shape == shape for field in kc.binary(100.0, np.empty(shape), 1.0, 0.2, "p"))
    # An empty side array still decides nothing and raises nothing.
    assert kc.b76(np.empty(0), 100.0, 1.0, 0.2, np.array([], dtype=str)).delta.shape == (0,)


def test_threads_argument(rng):
    fwd, strike, ttx, vol, is_call = chain_like(rng, 50_000)
    price = kc.b76(fwd, strike, ttx, vol, is_call, threads=3).fairvalue
    one = kc.implied_vols(ttx, fwd, strike, price, is_call, threads=1)
    for threads in (2, 7, None):
        assert_same_bits(kc.implied_vols(ttx, fwd, strike, price, is_call, threads=threads), one)
    for bad in (0, -2):
        with pytest.raises(ValueError, match="threads"):
            kc.implied_vols(ttx, fwd, strike, price, is_call, threads=bad)
    for bad in (1.5, "2", True):
        with pytest.raises(TypeError, match="threads"):
            kc.b76(fwd, strike, ttx, vol, is_call, threads=bad)


def test_long_call_lets_other_python_threads_run(rng):
    fwd, strike, ttx, vol, is_call = chain_like(rng, 400_000)
    price = kc.b76(fwd, strike, ttx, vol, is_call).fairvalue
    started = threading.Event()
    finished = threading.Event()

    def work():
        started.set()
        kc.implied_vols(ttx, fwd, strike, price, is_call, threads=1)
        finished.set()

    worker = threading.Thread(target=work)
    worker.start()
    started.wait()
    ticks = 0
    deadline = time.monotonic() + 60
    while not finished.is_set() and time.monotonic() < deadline:
        ticks += 1
        time.sleep(0.0005)
    worker.join()
    # With the GIL held for the whole computation this loop could not run
    # while it lasts; it takes a few hundred milliseconds at least.
    assert ticks > 20


# ------------------------------------------------------------------ real quotes


def test_real_chain_quotes_invert_like_korvex():
    path = CHAINS / "deribit_btc_20200912.csv"
    if not path.exists():
        pytest.skip("shared chain snapshots not present")
    with path.open() as fh:
        rows = [r for r in csv.DictReader(fh) if r["mark"] and r["underlying_price"]]
    fwd = np.array([float(r["underlying_price"]) for r in rows])
    strike = np.array([float(r["strike"]) for r in rows])
    price = np.array([float(r["mark"]) for r in rows]) * fwd  # coin premium in USD
    side = np.array([r["option_type"] for r in rows])
    obs = np.array([r["observation_time_utc"].replace("Z", "") for r in rows], dtype="datetime64[ms]")
    exp = np.array([r["expiry_utc"].replace("Z", "") for r in rows], dtype="datetime64[ms]")
    ttx = kc.cal_ttx(obs, exp)
    vols, status = kc.implied_vols(ttx, fwd, strike, price, side, status=True)
    want = scalar_map(lambda t, f, k, p, s: korvex.calibrate_black76_iv(t, f, k, p, s), ttx, fwd, strike, price, side)
    assert_same_bits(vols, want)
    assert (status == kc.IVStatus.OK).mean() > 0.8


def test_import_loads_only_numpy_and_the_kernels():
    import subprocess
    import sys

    code = ("import sys, korvex_chain; korvex_chain.implied_vols(1.0, 100.0, 100.0, 8.0, 'c'); "
            "print(sorted({m.split('.')[0] for m in sys.modules} & {'pandas', 'scipy', 'dask', 'korvex'}))")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "[]"
