"""Black-76, binary options and implied volatility, seen from Python."""

import math

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from scipy.stats import norm

import korvex
from korvex import (
    b76_delta,
    b76_fairvalue,
    b76_gamma,
    b76_vega,
    binary_delta,
    binary_fairvalue,
    binary_gamma,
    binary_theta,
    binary_vega,
    calibrate_black76_iv,
)

NAN = float("nan")
SIDED = [b76_fairvalue, b76_delta, binary_fairvalue, binary_vega, binary_delta, binary_gamma, binary_theta]
BINARY_GREEKS = [binary_delta, binary_gamma, binary_vega, binary_theta]

fwds = st.floats(min_value=1.0, max_value=1000.0)
moneyness = st.floats(min_value=0.5, max_value=2.0)
expiries = st.floats(min_value=0.01, max_value=5.0)
vols = st.floats(min_value=0.05, max_value=3.0)
dfs = st.floats(min_value=0.5, max_value=1.0)


def d1_of(f, k, t, v):
    return (0.5 * v * v * t + math.log(f / k)) / (v * math.sqrt(t))


def unknown_side(lowered):
    return f"Unknown option type: '{lowered}'. Use 'call'/'c' or 'put'/'p'."


# ------------------------------------------------------------------ option side


@pytest.mark.parametrize("text", ["c", "C", "call", "Call", "CALL", "cAlL"])
def test_call_spellings(text):
    assert b76_fairvalue(110.0, 100.0, 0.5, 0.3, text) == b76_fairvalue(110.0, 100.0, 0.5, 0.3, "c")
    assert binary_fairvalue(110.0, 100.0, 0.5, 0.3, text) == binary_fairvalue(110.0, 100.0, 0.5, 0.3, "c")


@pytest.mark.parametrize("text", ["p", "P", "put", "Put", "PUT"])
def test_put_spellings(text):
    assert b76_fairvalue(110.0, 100.0, 0.5, 0.3, text) == b76_fairvalue(110.0, 100.0, 0.5, 0.3, "p")
    assert b76_delta(110.0, 100.0, 0.5, 0.3, text) < 0


@pytest.mark.parametrize(
    "text, lowered",
    [
        ("XYZ", "xyz"),
        ("c ", "c "),
        (" call", " call"),
        ("", ""),
        ("calls", "calls"),
        ("Puts", "puts"),
        ("\uff23", "\uff43"),  # fullwidth C is not c
        ("CALL\u0130", "calli\u0307"),  # full mapping of dotted capital I
        ("\u0391\u03a3", "\u03b1\u03c2"),  # final sigma in context
        ("c\x00", "c\x00"),
    ],
)
def test_unknown_sides_raise_with_the_lowered_text(text, lowered):
    with pytest.raises(ValueError) as info:
        b76_fairvalue(100.0, 100.0, 1.0, 0.2, text)
    assert str(info.value) == unknown_side(lowered)
    # Full Unicode lower-casing agrees with Python's own str.lower here.
    assert lowered == text.lower()


@pytest.mark.parametrize("fn", SIDED)
def test_unknown_side_raises_before_any_arithmetic(fn):
    # Degenerate time would otherwise return without touching the side.
    with pytest.raises(ValueError, match="^Unknown option type: 'x'"):
        fn(100.0, 100.0, 0.0, 0.2, "X")
    with pytest.raises(ValueError, match="^Unknown option type: 'straddle'"):
        fn(NAN, NAN, NAN, NAN, "Straddle", NAN)


def test_calibration_checks_the_side_first():
    with pytest.raises(ValueError, match="^Unknown option type: 'q'"):
        calibrate_black76_iv(1.0, 100.0, 100.0, 1e9, "q")


# ------------------------------------------------------------------ Black-76


def test_b76_at_the_money():
    expected = 100.0 * (2.0 * norm.cdf(0.1) - 1.0)
    call = b76_fairvalue(100.0, 100.0, 1.0, 0.2, "call")
    put = b76_fairvalue(100.0, 100.0, 1.0, 0.2, "put", 1.0)
    assert call == pytest.approx(7.9656, abs=1e-4)
    assert call == pytest.approx(expected, rel=1e-14)
    assert put == pytest.approx(call, rel=1e-14)


@settings(max_examples=200, deadline=None)
@given(fwds, moneyness, expiries, vols, dfs)
def test_b76_against_scipy_and_parity(f, m, t, v, df):
    k = f * m
    d1 = d1_of(f, k, t, v)
    d2 = d1 - v * math.sqrt(t)
    call = b76_fairvalue(f, k, t, v, "c", df)
    put = b76_fairvalue(f, k, t, v, "p", df)
    tol = 1e-12 * f
    assert call == pytest.approx(df * (f * norm.cdf(d1) - k * norm.cdf(d2)), rel=1e-10, abs=tol)
    assert put == pytest.approx(df * (k * norm.cdf(-d2) - f * norm.cdf(-d1)), rel=1e-10, abs=tol)
    assert call - put == pytest.approx(df * (f - k), rel=1e-10, abs=tol)
    assert b76_delta(f, k, t, v, "c", df) == pytest.approx(df * norm.cdf(d1), rel=1e-12, abs=1e-300)
    assert b76_delta(f, k, t, v, "p", df) == pytest.approx(-df * norm.cdf(-d1), rel=1e-12, abs=1e-300)
    assert b76_delta(f, k, t, v, "c", df) - b76_delta(f, k, t, v, "p", df) == pytest.approx(df, rel=1e-14)
    assert b76_vega(f, k, t, v, df) == pytest.approx(df * f * norm.pdf(d1) * math.sqrt(t), rel=1e-12, abs=1e-300)
    assert b76_gamma(f, k, t, v, df) == pytest.approx(
        df * norm.pdf(d1) / (f * v * math.sqrt(t)), rel=1e-12, abs=1e-300
    )


@pytest.mark.parametrize("f, k", [(100.0, 100.0), (120.0, 100.0), (80.0, 100.0), (2500.0, 3000.0)])
@pytest.mark.parametrize("t, v", [(0.1, 0.5), (1.0, 0.2), (3.0, 1.2)])
def test_b76_greeks_are_derivatives_of_the_price(f, k, t, v):
    df = 0.9

    def price(side, f_=f, v_=v):
        return b76_fairvalue(f_, k, t, v_, side, df)

    hf = 1e-4 * f
    hv = 1e-5
    for side in ("c", "p"):
        fd_delta = (price(side, f + hf) - price(side, f - hf)) / (2 * hf)
        assert b76_delta(f, k, t, v, side, df) == pytest.approx(fd_delta, rel=1e-6, abs=1e-9)
        fd_gamma = (price(side, f + hf) - 2 * price(side) + price(side, f - hf)) / (hf * hf)
        assert b76_gamma(f, k, t, v, df) == pytest.approx(fd_gamma, rel=1e-4, abs=1e-9)
        fd_vega = (price(side, v_=v + hv) - price(side, v_=v - hv)) / (2 * hv)
        assert b76_vega(f, k, t, v, df) == pytest.approx(fd_vega, rel=1e-6, abs=1e-7)


@pytest.mark.parametrize("t, v", [(0.0, 0.2), (-1.0, 0.2), (1.0, 0.0), (1.0, -0.5)])
def test_b76_degenerate_inputs(t, v):
    assert b76_fairvalue(105.0, 100.0, t, v, "c", 0.5) == 2.5
    assert b76_fairvalue(105.0, 100.0, t, v, "p", 0.5) == 0.0
    assert b76_fairvalue(95.0, 100.0, t, v, "p", 0.5) == 2.5
    assert b76_fairvalue(95.0, 100.0, t, v, "c", 0.5) == 0.0
    # Delta is the step of the discounted intrinsic value.
    assert b76_delta(105.0, 100.0, t, v, "c", 0.5) == 0.5
    assert b76_delta(95.0, 100.0, t, v, "c", 0.5) == 0.0
    assert b76_delta(95.0, 100.0, t, v, "p", 0.5) == -0.5
    assert b76_delta(105.0, 100.0, t, v, "p", 0.5) == 0.0
    assert b76_delta(100.0, 100.0, t, v, "c", 0.5) == 0.0
    assert b76_delta(100.0, 100.0, t, v, "p", 0.5) == 0.0
    for value in (b76_vega(105.0, 100.0, t, v), b76_gamma(105.0, 100.0, t, v, 0.5)):
        assert value == 0.0 and math.copysign(1.0, value) == 1.0


@pytest.mark.parametrize("t, v", [(NAN, 0.2), (1.0, NAN)])
def test_b76_nan_time_or_vol_is_not_degenerate(t, v):
    assert math.isnan(b76_fairvalue(105.0, 100.0, t, v, "c"))
    assert math.isnan(b76_fairvalue(95.0, 100.0, t, v, "p"))
    assert math.isnan(b76_delta(105.0, 100.0, t, v, "c"))
    assert math.isnan(b76_vega(105.0, 100.0, t, v))
    assert math.isnan(b76_gamma(105.0, 100.0, t, v))


def test_b76_non_finite_inputs_flow_through():
    assert math.isnan(b76_fairvalue(100.0, -5.0, 1.0, 0.2, "c"))
    assert math.isnan(b76_fairvalue(NAN, 100.0, 1.0, 0.2, "c"))
    assert math.isnan(b76_fairvalue(100.0, 100.0, 1.0, 0.2, "c", NAN))
    # Zero strike: the call is worth the discounted forward.
    assert b76_fairvalue(100.0, 0.0, 1.0, 0.2, "c", 0.5) == 50.0
    assert b76_delta(100.0, 0.0, 1.0, 0.2, "c") == 1.0


def test_df_scales_and_defaults_to_one():
    args = (110.0, 100.0, 0.7, 0.35)
    for fn in (b76_fairvalue, b76_delta, binary_fairvalue, *BINARY_GREEKS):
        for side in ("c", "p"):
            full = fn(*args, side, 1.0)
            assert fn(*args, side) == full
            assert fn(*args, side, df=0.5) == pytest.approx(0.5 * full, rel=1e-15)
    for fn in (b76_vega, b76_gamma):
        assert fn(*args) == fn(*args, 1.0)
        assert fn(*args, 0.5) == pytest.approx(0.5 * fn(*args), rel=1e-15)


# ------------------------------------------------------------------ binaries


@settings(max_examples=200, deadline=None)
@given(fwds, moneyness, expiries, vols, dfs)
def test_binary_put_call_relations_and_scipy(f, m, t, v, df):
    k = f * m
    x = math.log(f / k) / (v * math.sqrt(t))
    call = binary_fairvalue(f, k, t, v, "c", df)
    put = binary_fairvalue(f, k, t, v, "p", df)
    assert call == pytest.approx(df * norm.cdf(x), rel=1e-12, abs=1e-300)
    assert put == pytest.approx(df * norm.cdf(-x), rel=1e-12, abs=1e-300)
    assert call + put == pytest.approx(df, rel=1e-14)
    for greek in BINARY_GREEKS:
        c = greek(f, k, t, v, "c", df)
        p = greek(f, k, t, v, "p", df)
        assert c == -p
        assert c + p == 0.0


@pytest.mark.parametrize("f, k", [(100.0, 100.0), (110.0, 100.0), (90.0, 100.0), (0.5, 0.45)])
@pytest.mark.parametrize("t, v", [(0.05, 0.8), (1.0, 0.25), (4.0, 0.6)])
@pytest.mark.parametrize("side", ["c", "p"])
def test_binary_greeks_are_derivatives_of_the_value(f, k, t, v, side):
    df = 0.95

    def value(f_=f, t_=t, v_=v):
        return binary_fairvalue(f_, k, t_, v_, side, df)

    def delta(f_):
        return binary_delta(f_, k, t, v, side, df)

    hf, ht, hv = 1e-4 * f, 1e-6, 1e-6
    fd_delta = (value(f_=f + hf) - value(f_=f - hf)) / (2 * hf)
    fd_gamma = (delta(f + hf) - delta(f - hf)) / (2 * hf)
    fd_vega = (value(v_=v + hv) - value(v_=v - hv)) / (2 * hv)
    fd_theta = -(value(t_=t + ht) - value(t_=t - ht)) / (2 * ht)  # decay as expiry nears
    scale_f = 1.0 / f
    assert binary_delta(f, k, t, v, side, df) == pytest.approx(fd_delta, rel=1e-6, abs=1e-9 * scale_f)
    assert binary_gamma(f, k, t, v, side, df) == pytest.approx(fd_gamma, rel=1e-5, abs=1e-8 * scale_f * scale_f)
    assert binary_vega(f, k, t, v, side, df) == pytest.approx(fd_vega, rel=1e-6, abs=1e-8)
    assert binary_theta(f, k, t, v, side, df) == pytest.approx(fd_theta, rel=1e-5, abs=1e-8)


def test_binary_at_the_money():
    assert binary_fairvalue(100.0, 100.0, 1.0, 0.2, "c", 0.9) == 0.45
    assert binary_fairvalue(100.0, 100.0, 1.0, 0.2, "p", 0.9) == 0.45
    assert binary_vega(100.0, 100.0, 1.0, 0.2, "c") == 0.0
    assert binary_theta(100.0, 100.0, 1.0, 0.2, "p") == 0.0
    expected = 0.9 * norm.pdf(0.0) / (100.0 * 0.2 * 2.0)
    assert binary_delta(100.0, 100.0, 4.0, 0.2, "c", 0.9) == pytest.approx(expected, rel=1e-15)
    assert binary_delta(100.0, 100.0, 4.0, 0.2, "p", 0.9) == pytest.approx(-expected, rel=1e-15)


def test_binary_in_the_money_call_gains_as_time_passes():
    assert binary_theta(110.0, 100.0, 1.0, 0.2, "c") > 0
    assert binary_theta(90.0, 100.0, 1.0, 0.2, "c") < 0


def test_binary_degenerate_inputs():
    assert binary_fairvalue(105.0, 100.0, 0.0, 0.2, "c", 0.8) == 0.8
    assert binary_fairvalue(105.0, 100.0, 0.0, 0.2, "p", 0.8) == 0.0
    assert binary_fairvalue(95.0, 100.0, 1.0, -0.2, "p", 0.8) == 0.8
    assert binary_fairvalue(100.0, 100.0, 0.0, 0.2, "c") == 0.0
    assert binary_fairvalue(100.0, 100.0, 0.0, 0.2, "p") == 0.0
    # A negative vol is degenerate, not |vol|.
    assert binary_fairvalue(105.0, 100.0, 1.0, -0.2, "c") == 1.0
    for greek in BINARY_GREEKS:
        for side in ("c", "p"):
            value = greek(105.0, 100.0, 0.0, 0.2, side)
            assert value == 0.0 and math.copysign(1.0, value) == 1.0
            assert greek(105.0, 100.0, 1.0, -0.2, side) == 0.0


@pytest.mark.parametrize("fn", [binary_fairvalue, *BINARY_GREEKS])
def test_binary_nan_vol_propagates(fn):
    assert math.isnan(fn(105.0, 100.0, 1.0, NAN, "c"))
    assert math.isnan(fn(105.0, 100.0, 1.0, NAN, "p"))


# ------------------------------------------------------------------ implied volatility


@pytest.mark.parametrize("vol", [0.2, 0.5, 1.0, 3.0])
def test_iv_at_the_money(vol):
    price = b76_fairvalue(100.0, 100.0, 1.0, vol, "c")
    assert calibrate_black76_iv(1.0, 100.0, 100.0, price, "c") == pytest.approx(vol, abs=5e-5)


def test_iv_worked_figure():
    price = b76_fairvalue(100.0, 100.0, 1.0, 0.2, "c")
    assert calibrate_black76_iv(1.0, 100.0, 100.0, price, "c") == pytest.approx(0.2000145, abs=5e-8)


@pytest.mark.parametrize("m", [0.7, 0.9, 1.0, 1.1, 1.4])
@pytest.mark.parametrize("t", [0.02, 0.25, 1.0, 4.0])
@pytest.mark.parametrize("vol", [0.1, 0.3, 0.8, 2.0, 6.0])
def test_iv_round_trip_grid(m, t, vol):
    f, df = 100.0, 0.98
    k = f * m
    side = "c" if k >= f else "p"  # out of the money: the price carries the volatility
    price = b76_fairvalue(f, k, t, vol, side, df)
    if price < 1e-12 * f:
        pytest.skip("price too small to carry a volatility")
    iv = calibrate_black76_iv(t, f, k, price, side, df)
    assert iv == pytest.approx(vol, abs=1e-4)
    vega = b76_vega(f, k, t, vol, df)
    assert b76_fairvalue(f, k, t, iv, side, df) == pytest.approx(price, abs=2e-4 * vega + 1e-12)


@settings(max_examples=200, deadline=None)
@given(fwds, moneyness, expiries, st.floats(min_value=0.02, max_value=9.5), dfs, st.sampled_from(["c", "p"]))
def test_iv_round_trip_property(f, m, t, vol, df, side):
    k = f * m
    price = b76_fairvalue(f, k, t, vol, side, df)
    lowest = b76_fairvalue(f, k, t, 0.01, side, df)
    highest = b76_fairvalue(f, k, t, 10.0, side, df)
    iv = calibrate_black76_iv(t, f, k, price, side, df)
    if not lowest < price < highest:
        # Far in or out of the money the price may not move in double
        # precision across the whole range: no bracket, or an exact end match.
        assert math.isnan(iv) or iv in (0.01, 10.0)
        return
    assert 0.01 <= iv <= 10.0
    # The search stops on a volatility bracket 1e-4 wide, so the repriced
    # value is off by at most about that much vega.
    vega = max(b76_vega(f, k, t, vol, df), b76_vega(f, k, t, iv, df))
    assert b76_fairvalue(f, k, t, iv, side, df) == pytest.approx(price, abs=1.1e-4 * vega + 1e-12 * f)
    if vega * 1e-4 > 1e-8 * f:
        assert iv == pytest.approx(vol, abs=1.0001e-4)


@pytest.mark.parametrize(
    "price, side",
    [(0.0, "c"), (-1.0, "c"), (100.5, "c"), (1e300, "p"), (math.inf, "c"), (-math.inf, "p")],
)
def test_iv_unattainable_price_is_nan(price, side):
    assert math.isnan(calibrate_black76_iv(1.0, 100.0, 100.0, price, side))


@pytest.mark.parametrize(
    "args",
    [
        (1.0, 100.0, 100.0, NAN, "c"),
        (1.0, NAN, 100.0, 8.0, "c"),
        (1.0, 100.0, NAN, 8.0, "p"),
        (NAN, 100.0, 100.0, 8.0, "c"),
        (1.0, 100.0, 100.0, 8.0, "c", NAN),
    ],
)
def test_iv_nan_inputs_give_nan_not_a_volatility(args):
    assert math.isnan(calibrate_black76_iv(*args))


def test_iv_tiny_prices_bracket_by_sign_not_product():
    # At F = K = 1e-170 the two ends' mispricings multiply to an underflowed
    # 0, which must not pass for a sign change: an unattainable price has no
    # volatility, an attainable one still has its own.
    f = k = 1e-170
    assert math.isnan(calibrate_black76_iv(1.0, f, k, 0.0, "c"))
    assert math.isnan(calibrate_black76_iv(1.0, f, k, 2e-170, "c"))
    price = b76_fairvalue(f, k, 1.0, 0.5, "c")
    assert calibrate_black76_iv(1.0, f, k, price, "c") == pytest.approx(0.5, abs=1e-4)


def test_iv_expired_options():
    assert calibrate_black76_iv(0.0, 105.0, 100.0, 5.0, "c") == 10.0
    assert math.isnan(calibrate_black76_iv(0.0, 105.0, 100.0, 4.0, "c"))


def test_iv_keywords_in_any_order():
    price = b76_fairvalue(100.0, 90.0, 0.5, 0.8, "c")
    positional = calibrate_black76_iv(0.5, 100.0, 90.0, price, "c")
    assert calibrate_black76_iv(fwd=100.0, ttx=0.5, strike=90.0, price=price, call_put="c") == positional
    assert calibrate_black76_iv(0.5, 100.0, 90.0, price, call_put="c", df=1.0) == positional
    assert positional == pytest.approx(0.8, abs=1e-4)


# ------------------------------------------------------------------ reproducibility


def test_formulas_follow_their_evaluation_order_bit_for_bit():
    """A transcription in Python floats, grouped left to right, gives identical bits."""

    def cdf(x):
        return 0.5 * math.erfc(-x / 1.4142135623730951)

    def pdf(x):
        return math.exp(-0.5 * x * x) / 2.5066282746310007

    if cdf(math.log(2.0)) != korvex.binary_fairvalue(2.0, 1.0, 1.0, 1.0, "c"):
        pytest.skip("this Python's erfc differs from the C library's")
    for f, k, t, v, df in [(100.0, 90.0, 0.5, 0.8, 0.97), (3.0, 3.3, 2.0, 0.15, 1.0)]:
        s = v * math.sqrt(t)
        d1 = (0.5 * v * v * t + math.log(f / k)) / s
        d2 = d1 - s
        assert b76_fairvalue(f, k, t, v, "c", df) == df * (f * cdf(d1) - k * cdf(d2))
        assert b76_fairvalue(f, k, t, v, "p", df) == df * (k * cdf(-d2) - f * cdf(-d1))
        assert b76_vega(f, k, t, v, df) == pdf(d1) * (df * f) * math.sqrt(t)
        assert b76_gamma(f, k, t, v, df) == pdf(d1) * df / (f * v * math.sqrt(t))
        x = math.log(f / k) / s
        assert binary_delta(f, k, t, v, "c", df) == pdf(x) * df / (f * v * math.sqrt(t))
        r, q = 1.0 / f, 1.0 / s
        g = (-df) * pdf(x) * r * r
        assert binary_gamma(f, k, t, v, "c", df) == (g * q) * (1.0 + x * q)
        assert binary_vega(f, k, t, v, "c", df) == math.exp(-0.5 * x * x) / -2.5066282746310007 * df * x / v
        assert binary_theta(f, k, t, v, "c", df) == pdf(x) * (df * 0.5) * x / t
