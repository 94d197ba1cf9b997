"""The smile models GVVSpline, CubicSpline and VolGeo, seen from Python."""

import math
from datetime import datetime, timezone

import numpy as np
import pytest

from korvex import CubicSpline, GVVSpline, VolGeo

NAN = float("nan")
EXPIRY = datetime(2026, 3, 27, 8, 0, tzinfo=timezone.utc)
MODELS = [GVVSpline, CubicSpline, VolGeo]

DEFAULTS = {
    GVVSpline: {"vpr": 1.0, "ref_spot": 100.0, "ref_vol": 50.0, "skew": 0.0, "smile": 5.0,
                "pwing": 0.0, "cwing": 0.0, "offset": 0.0},
    CubicSpline: {"vpr": 1.0, "ref_spot": 100.0, "ref_vol": 50.0,
                  **{f"{side}{n}": 0.0 for side in "pc" for n in ("05", "10", "15", "20", "25")}},
    VolGeo: {"vpr": 1.0, "ref_spot": 100.0, "ref_vol": 50.0, "corr": 0.0, "vvol": 20.0, "offset": 0.0},
}
FITTING = {
    GVVSpline: ["ref_vol", "skew", "smile"],
    CubicSpline: ["ref_vol", "p25", "p20", "p15", "p10", "p05", "c05", "c10", "c15", "c20", "c25"],
    VolGeo: ["ref_vol", "corr", "vvol"],
}

models = pytest.mark.parametrize("cls", MODELS, ids=lambda c: c.__name__)


def g12(x):
    return f"{x:.12g}"


def is_panic(exc):
    return type(exc).__name__ == "PanicException" and not isinstance(exc, Exception)


# ------------------------------------------------------------------ construction and parameters


@models
def test_defaults_and_fitting_params(cls):
    m = cls(EXPIRY)
    assert type(m) is cls
    assert m.get_param_dict() == DEFAULTS[cls]
    assert m.get_fitting_params() == FITTING[cls]
    assert m.arb_free() is True
    for name, value in DEFAULTS[cls].items():
        got = m.get_parameter(name)
        assert type(got) is float and got == value


@models
def test_with_params_fills_known_names_only(cls):
    assert cls.with_params(EXPIRY, {}).get_param_dict() == cls(EXPIRY).get_param_dict()
    m = cls.with_params(EXPIRY, {"ref_vol": -5.0, "REF_VOL": 1.0, "unknown": 3.0, "vpr": 2})
    assert type(m) is cls
    assert m.get_param_dict() == {**DEFAULTS[cls], "ref_vol": -5.0, "vpr": 2.0}
    assert m.arb_free() is False  # accepted unchecked

    class Params(dict):
        pass

    assert cls.with_params(expiry=EXPIRY, params=Params(ref_spot=90.0)).get_parameter("ref_spot") == 90.0


@models
def test_unknown_names_are_ignored(cls):
    m = cls(EXPIRY)
    for name in ("Ref_Vol", "ref_vol ", "", "expiry", "nope"):
        assert m.get_parameter(name) is None
        assert m.set_param(name, 1.0) is None
        assert m.bump_param(name, 1.0) is None
    assert m.get_param_dict() == DEFAULTS[cls]


@models
def test_param_dict_is_a_snapshot(cls):
    m = cls(EXPIRY)
    d = m.get_param_dict()
    d["ref_vol"] = 1.0
    d.clear()
    assert m.get_param_dict() == DEFAULTS[cls]
    m.set_param("ref_vol", True)  # any float-convertible value
    assert m.get_parameter("ref_vol") == 1.0


@models
def test_bump_param_only_applies_admissible_results(cls):
    m = cls(EXPIRY)
    m.bump_param("ref_vol", -0.5)
    assert m.get_parameter("ref_vol") == 49.5
    m.bump_param("ref_vol", -49.0)  # ref_vol 0.5 is not admissible in any model
    assert m.get_parameter("ref_vol") == 49.5
    m.bump_param(param="ref_vol", d_value=NAN)
    assert m.get_parameter("ref_vol") == 49.5
    m.bump_param("ref_spot", NAN)  # not tested by any rule
    assert math.isnan(m.get_parameter("ref_spot"))

    bad = cls.with_params(EXPIRY, {"ref_vol": 0.5})
    bad.bump_param("vpr", 1.0)
    assert bad.get_parameter("vpr") == 1.0
    bad.bump_param("ref_vol", 30.0)
    assert bad.get_parameter("ref_vol") == 30.5 and bad.arb_free()


@models
def test_reanchor_takes_spot_then_ttx(cls):
    m = cls.with_params(EXPIRY, {"skew": -10.0, "corr": -0.5, "p05": 1.0, "c05": 0.5})
    before = m.get_vol_single(0.25, 105.0, 105.0)
    assert m.reanchor(105.0, 0.25) is None
    assert m.get_parameter("ref_spot") == 105.0
    assert m.get_parameter("ref_vol") == before * 100.0
    k = cls(EXPIRY)
    k.reanchor(ttx=0.25, spot=100.0)
    assert k.get_param_dict() == DEFAULTS[cls]


# ------------------------------------------------------------------ evaluation


@models
def test_strikes_as_any_sequence(cls):
    m = cls.with_params(EXPIRY, {"skew": -10.0, "pwing": 2.0, "corr": -0.3, "p05": 1.0})
    strikes = [60.0, 90.0, 100.0, 110.0, 150.0]
    expected = m.get_vol(0.25, 100.0, strikes)
    assert type(expected) is list and len(expected) == 5
    assert all(type(v) is float for v in expected)
    assert m.get_vol(0.25, 100.0, tuple(strikes)) == expected
    assert m.get_vol(0.25, 100.0, np.array(strikes)) == expected
    assert m.get_vol(0.25, 100, [60, 90, 100, 110, 150]) == expected
    assert m.get_vol(0.25, 100.0, range(0)) == []
    assert m.get_vol(0.25, 100.0, []) == []
    assert [m.get_vol_single(0.25, 100.0, k) for k in strikes] == expected
    assert m.get_vol(ttx=0.25, spot=100.0, strikes=strikes) == expected


@models
def test_degenerate_input_never_raises(cls):
    m = cls(EXPIRY)
    for v in m.get_vol(0.0, 100.0, [50.0, 100.0, 150.0]):
        assert math.isnan(v)
    assert not math.isfinite(m.get_vol_single(0.25, 100.0, 0.0))
    assert not math.isfinite(m.get_vol_single(0.25, 100.0, -10.0))


def test_gvv_worked_values():
    ks = [50.0, 80.0, 100.0, 125.0, 200.0]
    assert [g12(v) for v in GVVSpline(EXPIRY).get_vol(1.0, 100.0, ks)] == [
        "0.538127600017", "0.50270076116", "0.5", "0.50270076116", "0.538127600017"]
    m = GVVSpline.with_params(EXPIRY, {"skew": -10.0, "pwing": 2.0, "cwing": 1.0})
    assert [g12(v) for v in m.get_vol(1.0, 100.0, ks)] == [
        "0.584500367234", "0.514142057139", "0.5", "0.491091647804", "0.506483329596"]
    # The spot does not enter; only the anchor does.
    assert m.get_vol(1.0, 37.0, ks) == m.get_vol(1.0, 100.0, ks)


def test_gvv_wings_and_admissibility_boundaries():
    base = GVVSpline(EXPIRY)
    put = GVVSpline.with_params(EXPIRY, {"pwing": 3.0})
    call = GVVSpline.with_params(EXPIRY, {"cwing": 3.0})
    assert put.get_vol_single(0.5, 100.0, 80.0) > base.get_vol_single(0.5, 100.0, 80.0)
    assert call.get_vol_single(0.5, 100.0, 80.0) == base.get_vol_single(0.5, 100.0, 80.0)
    assert put.get_vol_single(0.5, 100.0, 125.0) == base.get_vol_single(0.5, 100.0, 125.0)
    assert call.get_vol_single(0.5, 100.0, 125.0) > base.get_vol_single(0.5, 100.0, 125.0)

    m = GVVSpline(EXPIRY)
    m.bump_param("pwing", -1.0)
    assert m.get_parameter("pwing") == 0.0
    m.bump_param("pwing", 1.0)
    assert m.get_parameter("pwing") == 1.0
    m.set_param("ref_vol", 10.0)
    assert not m.arb_free()
    m.set_param("ref_vol", 50.0)
    m.set_param("smile", 1.0)
    m.set_param("cwing", -0.0)
    assert m.arb_free()


def test_cubic_worked_values_and_one_year():
    m = CubicSpline.with_params(
        EXPIRY, {**{f"p{n}": 1.0 for n in ("05", "10", "15", "20", "25")},
                 **{f"c{n}": 0.5 for n in ("05", "10", "15", "20", "25")}})
    v = m.get_vol(0.25, 100.0, [100.0, 90.0, 110.0])
    assert v[0] == 0.5
    assert [f"{x:.8g}" for x in v[1:]] == ["0.50822429", "0.50359893"]
    assert f"{m.get_vol_single(0.25, 105.0, 105.0):.8g}" == "0.49648053"
    # No spot move at one year: no shift, not 0 / ln(1).
    v = m.get_vol(1.0, 100.0, [100.0, 90.0, 110.0])
    assert v[0] == 0.5 and all(math.isfinite(x) for x in v)
    # A spot that moved still divides by ln(1).
    assert all(math.isnan(x) for x in m.get_vol(1.0, 101.0, [90.0, 101.0]))
    assert CubicSpline(EXPIRY).get_parameter("offset") is None


def test_cubic_unshifted_atm_adds_the_zero_shift():
    # With the spot at the anchor the at-the-money vol is 0.0 + ref_vol: a
    # ref_vol of -0.0 is +0.0, and the side a strike's standardised
    # moneyness falls on (which wing extrapolates) does not flip.
    params = {"p20": 20.0, "p25": -10.0, "c20": 20.0, "c25": 10.0}
    minus = CubicSpline.with_params(EXPIRY, {**params, "ref_vol": -0.0}).get_vol(0.25, 100.0, [90.0, 110.0])
    plus = CubicSpline.with_params(EXPIRY, {**params, "ref_vol": 0.0}).get_vol(0.25, 100.0, [90.0, 110.0])
    # below the spot the falling put wing: a negative variance, NaN; above,
    # the rising call wing: infinite
    assert math.isnan(minus[0]) and math.isnan(plus[0])
    assert minus[1] == plus[1] == math.inf


def test_volgeo_worked_values():
    m = VolGeo.with_params(EXPIRY, {"corr": -0.5})
    assert [f"{x:.8g}" for x in m.get_vol(0.25, 100.0, [90.0, 100.0, 110.0])] == [
        "0.52865095", "0.5", "0.49176763"]
    assert [f"{x:.8g}" for x in m.get_vol(0.25, 105.0, [105.0, 100.0])] == ["0.49981963", "0.51100892"]
    m.set_param("offset", 3.0)
    assert m.get_param_dict()["offset"] == 3.0
    assert f"{m.get_vol_single(0.25, 100.0, 90.0):.8g}" == "0.52865095"


# ------------------------------------------------------------------ argument conversion


@models
def test_argument_conversion_errors(cls):
    m = cls(EXPIRY)
    with pytest.raises(TypeError) as e:
        m.get_vol(0.25, 100.0, "100")
    assert str(e.value) == "argument 'strikes': Can't extract `str` to `Vec`"
    with pytest.raises(TypeError) as e:
        m.get_vol(0.25, 100.0, {100.0})
    assert str(e.value) == "argument 'strikes': 'set' object cannot be converted to 'Sequence'"
    with pytest.raises(TypeError) as e:
        m.get_vol(0.25, 100.0, [100.0, "100"])
    assert str(e.value) == "argument 'strikes': must be real number, not str"
    with pytest.raises(TypeError) as e:
        m.get_vol("x", None, "100")  # the first bad argument is reported
    assert str(e.value) == "argument 'ttx': must be real number, not str"
    with pytest.raises(TypeError) as e:
        m.set_param(1, 2.0)
    assert str(e.value) == "argument 'param': 'int' object cannot be converted to 'PyString'"
    with pytest.raises(TypeError) as e:
        m.arb_free(1)


@models
def test_with_params_converts_params_before_expiry(cls):
    with pytest.raises(TypeError) as e:
        cls.with_params(EXPIRY, [("ref_vol", 1.0)])
    assert str(e.value) == "argument 'params': 'list' object cannot be converted to 'PyDict'"
    with pytest.raises(TypeError) as e:
        cls.with_params(5.0, {1: 1.0})  # expiry is bad too, but params comes first
    assert str(e.value) == "argument 'params': 'int' object cannot be converted to 'PyString'"
    with pytest.raises(TypeError) as e:
        cls.with_params(5.0, {"ref_vol": "x"})
    assert str(e.value) == "argument 'params': must be real number, not str"
    with pytest.raises(AttributeError):
        cls.with_params(5.0, {})


@models
def test_expiry_errors_carry_no_prefix(cls):
    with pytest.raises(AttributeError) as e:
        cls(5.0)
    assert "argument" not in str(e.value)

    class Far:
        def timestamp(self):
            return 1e20

    with pytest.raises(ValueError, match="^Invalid timestamp$"):
        cls(Far())
    naive = EXPIRY.astimezone().replace(tzinfo=None)
    assert cls(naive).get_param_dict() == cls(EXPIRY).get_param_dict()


# ------------------------------------------------------------------ borrowing and re-entry


@models
def test_reentry_during_exclusive_borrow(cls):
    m = cls(EXPIRY)
    seen = []

    class Sneaky:
        def __float__(self):
            try:
                m.get_vol(0.25, 100.0, [100.0])
            except RuntimeError as exc:
                seen.append(str(exc))
                raise
            return 1.0

    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        m.set_param("ref_vol", Sneaky())
    assert seen == ["Already mutably borrowed"]
    assert m.get_param_dict() == DEFAULTS[cls]  # the failed call changed nothing
    # The borrow was released: the instance is usable again.
    m.set_param("ref_vol", 40.0)
    assert m.get_parameter("ref_vol") == 40.0


@models
def test_reentry_during_shared_borrow(cls):
    m = cls(EXPIRY)

    class Sneaky:
        def __float__(self):
            m.set_param("ref_vol", 1.0)
            return 100.0

    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        m.get_vol(0.25, 100.0, [90.0, Sneaky()])
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        m.get_vol_single(0.25, 100.0, Sneaky())
    assert m.get_parameter("ref_vol") == 50.0

    class Reader:
        def __float__(self):
            return m.get_parameter("ref_vol")  # shared inside shared is fine

    assert m.get_vol(0.25, 100.0, [Reader()]) == m.get_vol(0.25, 100.0, [50.0])


@models
def test_dict_changed_while_read_is_a_panic(cls):
    params = {"ref_vol": 40.0}

    class Grows:
        def __float__(self):
            params["added"] = 1.0
            return 1.0

    params["vpr"] = Grows()
    with pytest.raises(BaseException) as e:
        cls.with_params(EXPIRY, params)
    assert is_panic(e.value)
    assert "dictionary changed size during iteration" in str(e.value)


# ------------------------------------------------------------------ class surface


@models
def test_text_signatures(cls):
    assert cls.__text_signature__ == "(expiry)"
    assert cls.__qualname__ == cls.__name__ and cls.__module__ == "builtins"
    assert cls.with_params.__text_signature__ == "(expiry, params)"
    assert cls.get_vol.__text_signature__ == "($self, ttx, spot, strikes)"
    assert cls.get_vol_single.__text_signature__ == "($self, ttx, spot, strike)"
    assert cls.arb_free.__text_signature__ == "($self)"
    assert cls.get_parameter.__text_signature__ == "($self, param)"
    assert cls.set_param.__text_signature__ == "($self, param, value)"
    assert cls.get_param_dict.__text_signature__ == "($self)"
    assert cls.get_fitting_params.__text_signature__ == "($self)"
    assert cls.reanchor.__text_signature__ == "($self, spot, ttx)"
    assert cls.bump_param.__text_signature__ == "($self, param, d_value)"
    assert cls.get_vol.__doc__ is None

