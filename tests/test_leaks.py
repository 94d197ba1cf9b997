"""Nothing leaks: every function and method, on its success path and on each
of its error paths, called many times over.

Each path is measured on its own after a warm-up: the references held on the
argument objects (a reference kept on an argument shows as a growing
reference count), the Python memory blocks in use (a kept result, exception
or intermediate object), the C heap in use (a native allocation that is
never freed) and the number of live container objects. All paths together
are then run round after round while the resident set size and the number of
live Python objects are watched.

Under the sanitizers (KORVEX_ASAN=1) the allocator is replaced, so the memory
measures mean nothing there; reference and object counts are still checked,
with fewer calls.
"""
import array
import ctypes
import datetime as dt
import gc
import math
import os
import sys

import numpy as np
import pytest

import korvex
from conftest import Stamp

pytestmark = pytest.mark.slow

ASAN = os.environ.get("KORVEX_ASAN") == "1"
CALLS = 300 if ASAN else 2000  # per measured window of each path
ROUNDS = 100 if ASAN else 2000  # of all paths together
MODELS = [korvex.GVVSpline, korvex.VolGeo, korvex.CubicSpline]
FUNCTIONS = [
    korvex.b76_fairvalue, korvex.b76_delta,
    korvex.binary_fairvalue, korvex.binary_vega, korvex.binary_delta,
    korvex.binary_gamma, korvex.binary_theta,
]

# ---------------------------------------------------------------- measures


class _Mallinfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost")]


def _heap_reader():
    try:
        fn = ctypes.CDLL(None).mallinfo2
    except (OSError, AttributeError):
        return None
    fn.restype = _Mallinfo2
    fn.argtypes = []

    def heap_in_use():
        info = fn()
        return info.uordblks + info.hblkhd

    return heap_in_use


HEAP_IN_USE = _heap_reader()
PAGE = os.sysconf("SC_PAGE_SIZE")


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def live_objects():
    gc.collect()
    return len(gc.get_objects())


# ---------------------------------------------------------------- arguments
# Arguments are these long-lived objects wherever possible, so that a reference
# kept on an argument shows in their reference counts. None of them is immortal.

FWD = float("101.5")
STRIKE = float("97.25")
TTX = float("0.75")
VOL = float("0.6")
PRICE = float("9.5")
DF = float("0.99")
SIDE = "".join(["ca", "ll"])
BAD_SIDE = "".join(["cal", "x"])
PARAM = "".join(["ref_", "vol"])
UNKNOWN = "".join(["no_", "such"])
TENOR = "".join(["3", "m"])
BAD_TENOR = "".join(["3", "M"])
UNDERLYING = "".join(["BTC", "USDT"])
STRIKES = [float(k) for k in (80, 90, 100, 110, 120)]
STRIKES_T = tuple(STRIKES)
STRIKES_NP = np.array(STRIKES)
STRIKES_ARR = array.array("d", STRIKES)
PARAMS = {"ref_vol": float("55.5"), "vvol": float("22.0"), "skew": float("0.5"), "p25": float("1.0"), "zzz": 1.5}
EXPIRY = dt.datetime(2027, 3, 26, 8, 0, tzinfo=dt.timezone.utc)
FROM = dt.datetime(2026, 1, 5, 9, 30, tzinfo=dt.timezone.utc)
TO = dt.datetime(2026, 9, 25, 8, 0, tzinfo=dt.timezone.utc)
STAMP = Stamp(float("1790000000.5"))
STAMP2 = Stamp(float("1800000000.25"))


class Raises:
    def __float__(self):
        raise ZeroDivisionError("from __float__")


class BadItems:
    """A sequence whose third item cannot be read."""

    def __len__(self):
        return 5

    def __getitem__(self, i):
        if i == 2:
            raise KeyError(i)
        if i >= 5:
            raise IndexError(i)
        return 100.0


class ClaimsTooMuch(BadItems):
    """A sequence of three items that reports an absurd length."""

    def __len__(self):
        return sys.maxsize

    def __getitem__(self, i):
        if i >= 3:
            raise IndexError(i)
        return 100.0


RAISES = Raises()
BAD_ITEMS = BadItems()
CLAIMS_TOO_MUCH = ClaimsTooMuch()


class TimestampRaises:
    def timestamp(self):
        raise ZeroDivisionError("from timestamp()")


TS_RAISES = TimestampRaises()
TS_TEXT = Stamp("soon")
TS_FAR = Stamp(1e20)
TS_NAN = Stamp(float("nan"))
NOT_A_STAMP = float("5.0")
SURROGATE = "c\udc80"
STRIKES_BAD = [90.0, "100"]
NOT_A_DICT = [("ref_vol", 1.0)]
INT_KEY = {1: 1.0}
NONE_VALUE = {"ref_vol": None}
FLOAT_RAISES = {"ref_vol": RAISES}
HUGE = 10**400


class Grows:
    """A dict value whose conversion adds a key to the dict being read."""

    def __init__(self, target):
        self.target = target

    def __float__(self):
        self.target[f"g{len(self.target)}"] = 1.0
        return 1.0


class Swaps:
    """A dict value whose conversion swaps one key of the dict being read for
    another: same size, but more entries are read than the dict holds."""

    def __init__(self, target):
        self.target = target

    def __float__(self):
        self.target.pop("k0", None)
        self.target[f"n{len(self.target)}"] = 1.0
        return 1.0


class PanicSource:
    """Provokes an internal fault: a dict that changes while it is read."""

    def __init__(self, model):
        self.model = model

    def grow(self):
        d = {"ref_vol": 50.0}
        d["vvol"] = Grows(d)
        try:
            self.model.with_params(STAMP, d)
        finally:
            d.clear()  # the dict and its value refer to each other

    def swap(self):
        # six keys leave room to grow in place, so the new key is read too
        e = {f"k{i}": 1.0 for i in range(6)}
        e.pop("k1")
        e.pop("k2")
        e["swap"] = Swaps(e)
        try:
            self.model.with_params(STAMP, e)
        finally:
            e.clear()


def panic_type():
    try:
        PanicSource(korvex.VolGeo).grow()
    except BaseException as exc:  # noqa: BLE001 - the fault is what is wanted
        return type(exc)
    raise AssertionError("no fault raised")


PANIC = panic_type()


class ResumesFault:
    """A timestamp() or __float__ whose own call into the module faults: the
    fault comes back through Python code and ends the outer call too."""

    def __init__(self, source):
        self.source = source

    def _fault(self):
        self.source.grow()
        return 0.0

    timestamp = _fault
    __float__ = _fault


class Reenter:
    """A __float__ (or timestamp()) that calls back into an instance that is
    in use; the refusal is swallowed or passed on."""

    def __init__(self, call, value, swallow):
        self.call, self.value, self.swallow = call, value, swallow

    def _reenter(self):
        try:
            self.call()
        except RuntimeError:
            if not self.swallow:
                raise
        return self.value

    __float__ = _reenter
    timestamp = _reenter


# ---------------------------------------------------------------- the paths


def function_paths(f):
    name = f.__name__
    return [
        (f"{name} ok", lambda: f(FWD, STRIKE, TTX, VOL, SIDE), None),
        (f"{name} keywords", lambda: f(FWD, STRIKE, ttx=TTX, df=DF, vol=VOL, call_put=SIDE), None),
        (f"{name} unknown side", lambda: f(FWD, STRIKE, TTX, VOL, BAD_SIDE), ValueError),
        (f"{name} side not text", lambda: f(FWD, STRIKE, TTX, VOL, FWD), TypeError),
        (f"{name} side surrogate", lambda: f(FWD, STRIKE, TTX, VOL, SURROGATE), UnicodeEncodeError),
        (f"{name} fwd not a float", lambda: f(SIDE, STRIKE, TTX, VOL, SIDE), TypeError),
        (f"{name} df None", lambda: f(FWD, STRIKE, TTX, VOL, SIDE, None), TypeError),
        (f"{name} __float__ raises", lambda: f(FWD, RAISES, TTX, VOL, SIDE), ZeroDivisionError),
        (f"{name} int too large", lambda: f(FWD, STRIKE, HUGE, VOL, SIDE), OverflowError),
        (f"{name} too many", lambda: f(FWD, STRIKE, TTX, VOL, SIDE, DF, DF), TypeError),
        (f"{name} missing", lambda: f(FWD, STRIKE), TypeError),
        (f"{name} unknown keyword", lambda: f(FWD, STRIKE, TTX, VOL, SIDE, sigma=VOL), TypeError),
        (f"{name} duplicate keyword", lambda: f(FWD, STRIKE, TTX, VOL, SIDE, fwd=FWD), TypeError),
    ]


def unsided_paths(f):
    name = f.__name__
    return [
        (f"{name} ok", lambda: f(FWD, STRIKE, TTX, VOL), None),
        (f"{name} keywords", lambda: f(FWD, vol=VOL, strike=STRIKE, ttx=TTX, df=DF), None),
        (f"{name} vol not a float", lambda: f(FWD, STRIKE, TTX, SIDE), TypeError),
        (f"{name} __float__ raises", lambda: f(FWD, STRIKE, TTX, VOL, RAISES), ZeroDivisionError),
        (f"{name} too many", lambda: f(FWD, STRIKE, TTX, VOL, DF, DF), TypeError),
        (f"{name} missing", lambda: f(FWD), TypeError),
        (f"{name} unknown keyword", lambda: f(FWD, STRIKE, TTX, VOL, side=SIDE), TypeError),
    ]


def calibrate_paths():
    f = korvex.calibrate_black76_iv
    return [
        ("calibrate_black76_iv ok", lambda: f(TTX, FWD, STRIKE, PRICE, SIDE), None),
        ("calibrate_black76_iv keywords", lambda: f(TTX, FWD, STRIKE, price=PRICE, call_put=SIDE, df=DF), None),
        ("calibrate_black76_iv unknown side", lambda: f(TTX, FWD, STRIKE, PRICE, BAD_SIDE), ValueError),
        ("calibrate_black76_iv price not a float", lambda: f(TTX, FWD, STRIKE, SIDE, SIDE), TypeError),
        ("calibrate_black76_iv missing", lambda: f(TTX, FWD, STRIKE), TypeError),
        ("calibrate_black76_iv duplicate keyword", lambda: f(TTX, FWD, STRIKE, PRICE, SIDE, ttx=TTX), TypeError),
    ]


def model_paths(cls, instances):
    n = cls.__name__
    m = cls.with_params(EXPIRY, PARAMS)
    other = next(c for c in MODELS if c is not cls)(EXPIRY)
    instances += [m, other]
    source = PanicSource(cls)
    reads = lambda: m.get_vol(TTX, FWD, STRIKES)  # noqa: E731
    writes = lambda: m.set_param(PARAM, 55.5)  # noqa: E731
    return [
        # constructor
        (f"{n}() datetime", lambda: cls(EXPIRY), None),
        (f"{n}() timestamp object", lambda: cls(expiry=STAMP), None),
        (f"{n}() missing", lambda: cls(), TypeError),
        (f"{n}() too many", lambda: cls(EXPIRY, EXPIRY), TypeError),
        (f"{n}() unknown keyword", lambda: cls(when=EXPIRY), TypeError),
        (f"{n}() no timestamp()", lambda: cls(NOT_A_STAMP), AttributeError),
        (f"{n}() timestamp() raises", lambda: cls(TS_RAISES), ZeroDivisionError),
        (f"{n}() timestamp() not a number", lambda: cls(TS_TEXT), TypeError),
        (f"{n}() timestamp out of range", lambda: cls(TS_FAR), ValueError),
        (f"{n}() timestamp nan", lambda: cls(TS_NAN), ValueError),
        (f"{n}() fault resumed", lambda: cls(ResumesFault(source)), PANIC),
        # with_params
        (f"{n}.with_params ok", lambda: cls.with_params(EXPIRY, PARAMS), None),
        (f"{n}.with_params keywords", lambda: cls.with_params(params=PARAMS, expiry=STAMP), None),
        (f"{n}.with_params not a dict", lambda: cls.with_params(EXPIRY, NOT_A_DICT), TypeError),
        (f"{n}.with_params key not text", lambda: cls.with_params(EXPIRY, INT_KEY), TypeError),
        (f"{n}.with_params value None", lambda: cls.with_params(EXPIRY, NONE_VALUE), TypeError),
        (f"{n}.with_params __float__ raises", lambda: cls.with_params(EXPIRY, FLOAT_RAISES), ZeroDivisionError),
        (f"{n}.with_params bad expiry", lambda: cls.with_params(TS_FAR, PARAMS), ValueError),
        (f"{n}.with_params dict grows", source.grow, PANIC),
        (f"{n}.with_params dict keys change", source.swap, PANIC),
        (f"{n}.with_params missing", lambda: cls.with_params(EXPIRY), TypeError),
        # get_vol
        (f"{n}.get_vol list", reads, None),
        (f"{n}.get_vol tuple", lambda: m.get_vol(TTX, FWD, STRIKES_T), None),
        (f"{n}.get_vol ndarray", lambda: m.get_vol(TTX, FWD, STRIKES_NP), None),
        (f"{n}.get_vol array", lambda: m.get_vol(TTX, FWD, STRIKES_ARR), None),
        (f"{n}.get_vol range", lambda: m.get_vol(TTX, FWD, range(80, 121, 10)), None),
        (f"{n}.get_vol keywords", lambda: m.get_vol(strikes=STRIKES, spot=FWD, ttx=TTX), None),
        (f"{n}.get_vol text", lambda: m.get_vol(TTX, FWD, SIDE), TypeError),
        (f"{n}.get_vol set", lambda: m.get_vol(TTX, FWD, {1.0, 2.0}), TypeError),
        (f"{n}.get_vol generator", lambda: m.get_vol(TTX, FWD, (k for k in STRIKES)), TypeError),
        (f"{n}.get_vol bad item", lambda: m.get_vol(TTX, FWD, STRIKES_BAD), TypeError),
        (f"{n}.get_vol item raises", lambda: m.get_vol(TTX, FWD, BAD_ITEMS), KeyError),
        (f"{n}.get_vol absurd length", lambda: m.get_vol(TTX, FWD, CLAIMS_TOO_MUCH), None),
        (f"{n}.get_vol fault resumed", lambda: m.get_vol(TTX, FWD, [90.0, ResumesFault(source)]), PANIC),
        (f"{n}.get_vol missing", lambda: m.get_vol(TTX), TypeError),
        (f"{n}.get_vol foreign self", lambda: type(other).get_vol(m, TTX, FWD, STRIKES), TypeError),
        (f"{n}.get_vol reentry swallowed", lambda: m.get_vol(TTX, FWD, [Reenter(writes, 100.0, True)]), None),
        (f"{n}.get_vol reentry refused", lambda: m.get_vol(TTX, FWD, [Reenter(writes, 100.0, False)]), RuntimeError),
        # get_vol_single
        (f"{n}.get_vol_single ok", lambda: m.get_vol_single(TTX, FWD, STRIKE), None),
        (f"{n}.get_vol_single bad", lambda: m.get_vol_single(TTX, FWD, STRIKES), TypeError),
        (f"{n}.get_vol_single unknown keyword", lambda: m.get_vol_single(TTX, FWD, k=STRIKE), TypeError),
        # no-argument methods
        (f"{n}.arb_free ok", m.arb_free, None),
        (f"{n}.arb_free argument", lambda: m.arb_free(TTX), TypeError),
        (f"{n}.get_param_dict ok", m.get_param_dict, None),
        (f"{n}.get_fitting_params ok", m.get_fitting_params, None),
        # get_parameter
        (f"{n}.get_parameter known", lambda: m.get_parameter(PARAM), None),
        (f"{n}.get_parameter unknown", lambda: m.get_parameter(UNKNOWN), None),
        (f"{n}.get_parameter not text", lambda: m.get_parameter(FWD), TypeError),
        (f"{n}.get_parameter surrogate", lambda: m.get_parameter(SURROGATE), UnicodeEncodeError),
        # set_param
        (f"{n}.set_param ok", writes, None),
        (f"{n}.set_param unknown", lambda: m.set_param(UNKNOWN, FWD), None),
        (f"{n}.set_param bad value", lambda: m.set_param(PARAM, SIDE), TypeError),
        (f"{n}.set_param missing", lambda: m.set_param(PARAM), TypeError),
        (f"{n}.set_param reentry swallowed", lambda: m.set_param(PARAM, Reenter(reads, 55.5, True)), None),
        (f"{n}.set_param reentry refused", lambda: m.set_param(PARAM, Reenter(reads, 55.5, False)), RuntimeError),
        # reanchor and bump_param
        (f"{n}.reanchor ok", lambda: m.reanchor(100.0, TTX), None),
        (f"{n}.reanchor bad", lambda: m.reanchor(SIDE, TTX), TypeError),
        (f"{n}.reanchor reentry", lambda: m.reanchor(Reenter(reads, 100.0, False), TTX), RuntimeError),
        (f"{n}.bump_param ok", lambda: m.bump_param(PARAM, 0.0), None),
        (f"{n}.bump_param unknown", lambda: m.bump_param(UNKNOWN, 1.0), None),
        (f"{n}.bump_param bad", lambda: m.bump_param(PARAM, None), TypeError),
        (f"{n}.bump_param too many", lambda: m.bump_param(PARAM, 0.0, 0.0), TypeError),
    ]


def calendar_paths(instances):
    C = korvex.Calendar
    cal = C(UNDERLYING)
    instances.append(cal)
    spans = {"from": FROM, "to": TO}
    inner = lambda: cal.get_bus_ttx(FROM, TO)  # noqa: E731
    return [
        ("Calendar() ok", lambda: C(UNDERLYING), None),
        ("Calendar() keyword", lambda: C(underlying=UNDERLYING), None),
        ("Calendar() wrong underlying", lambda: C(BAD_SIDE), ValueError),
        ("Calendar() not text", lambda: C(FWD), TypeError),
        ("Calendar() missing", lambda: C(), TypeError),
        ("Calendar() unknown keyword", lambda: C(UNDERLYING, zone=UNDERLYING), TypeError),
        ("Calendar.get_bus_ttx ok", inner, None),
        ("Calendar.get_bus_ttx timestamp objects", lambda: cal.get_bus_ttx(STAMP, STAMP2), None),
        ("Calendar.get_bus_ttx keywords", lambda: cal.get_bus_ttx(**spans), None),
        ("Calendar.get_bus_ttx timestamp() raises", lambda: cal.get_bus_ttx(FROM, TS_RAISES), ZeroDivisionError),
        ("Calendar.get_bus_ttx not a number", lambda: cal.get_bus_ttx(TS_TEXT, TO), TypeError),
        ("Calendar.get_bus_ttx out of range", lambda: cal.get_bus_ttx(FROM, TS_FAR), ValueError),
        ("Calendar.get_bus_ttx no timestamp()", lambda: cal.get_bus_ttx(NOT_A_STAMP, TO), AttributeError),
        ("Calendar.get_bus_ttx missing", lambda: cal.get_bus_ttx(FROM), TypeError),
        ("Calendar.get_bus_ttx reentry swallowed", lambda: cal.get_bus_ttx(Reenter(inner, 0.0, True), TO), None),
        ("Calendar.get_bus_ttx reentry refused", lambda: cal.get_bus_ttx(FROM, Reenter(inner, 0.0, False)), RuntimeError),
        ("Calendar.get_bus_ttx fault resumed", lambda: cal.get_bus_ttx(FROM, ResumesFault(PanicSource(korvex.VolGeo))), PANIC),
        ("Calendar.get_cal_ttx ok", lambda: C.get_cal_ttx(FROM, TO), None),
        ("Calendar.get_cal_ttx on instance", lambda: cal.get_cal_ttx(STAMP, TO), None),
        ("Calendar.get_cal_ttx timestamp() raises", lambda: C.get_cal_ttx(TS_RAISES, TO), ZeroDivisionError),
        ("Calendar.get_cal_ttx out of range", lambda: C.get_cal_ttx(FROM, TS_NAN), ValueError),
        ("Calendar.get_cal_ttx too many", lambda: C.get_cal_ttx(FROM, TO, TO), TypeError),
        ("Calendar.tenor_to_ttx ok", lambda: C.tenor_to_ttx(TENOR), None),
        ("Calendar.tenor_to_ttx bad unit", lambda: C.tenor_to_ttx(BAD_TENOR), ValueError),
        ("Calendar.tenor_to_ttx no number", lambda: C.tenor_to_ttx("d"), ValueError),
        ("Calendar.tenor_to_ttx not text", lambda: C.tenor_to_ttx(FWD), TypeError),
        ("Calendar.tenor_to_ttx unknown keyword", lambda: C.tenor_to_ttx(t=TENOR), TypeError),
    ]


def all_paths(instances=None):
    """(label, call, expected exception type or None) for every path; the
    instances the calls use are added to `instances`."""
    instances = [] if instances is None else instances
    paths = []
    for f in FUNCTIONS:
        paths += function_paths(f)
    for f in (korvex.b76_vega, korvex.b76_gamma):
        paths += unsided_paths(f)
    paths += calibrate_paths()
    for cls in MODELS:
        paths += model_paths(cls, instances)
    paths += calendar_paths(instances)
    return paths


def run(label, call, expected):
    try:
        call()
    except BaseException as exc:  # noqa: BLE001 - PanicException is a BaseException
        if expected is None or type(exc) is not expected:
            raise AssertionError(f"{label}: raised {type(exc).__name__}: {exc}") from exc
    else:
        if expected is not None:
            raise AssertionError(f"{label}: did not raise {expected.__name__}")


WATCHED = [
    FWD, STRIKE, TTX, VOL, PRICE, DF, SIDE, BAD_SIDE, PARAM, UNKNOWN, TENOR, BAD_TENOR, UNDERLYING,
    STRIKES, STRIKES_T, STRIKES_NP, STRIKES_ARR, PARAMS, EXPIRY, FROM, TO, STAMP, STAMP2, RAISES,
    BAD_ITEMS, CLAIMS_TOO_MUCH, TS_RAISES, TS_TEXT, TS_FAR, TS_NAN, NOT_A_STAMP, SURROGATE,
    STRIKES_BAD, NOT_A_DICT, INT_KEY, NONE_VALUE, FLOAT_RAISES, HUGE,
]


def test_every_name_and_method_is_exercised():
    labels = {label.split(" ")[0] for label, _, _ in all_paths()}
    wanted = {n for n in korvex.__all__ if not isinstance(getattr(korvex, n), type)}
    for cls in MODELS + [korvex.Calendar]:
        wanted.add(f"{cls.__name__}()")
        wanted.update(f"{cls.__name__}.{n}" for n in vars(cls) if not n.startswith("_"))
    assert wanted <= labels, sorted(wanted - labels)


# Per window of CALLS calls; leaking one object or 16 bytes per call is far beyond.
LIMITS = {"references": 0, "objects": 20, "blocks": CALLS // 4, "heap bytes": CALLS * 8}


def measure_window(label, call, expected, watched):
    """What CALLS calls of one path leave behind."""
    gc.collect()
    refs = [sys.getrefcount(o) for o in watched]
    blocks = sys.getallocatedblocks()
    heap = HEAP_IN_USE() if HEAP_IN_USE else 0
    objects = len(gc.get_objects())
    for _ in range(CALLS):
        run(label, call, expected)
    gc.collect()
    grown = {
        "references": max(a - b for a, b in zip([sys.getrefcount(o) for o in watched], refs)),
        "objects": len(gc.get_objects()) - objects,
    }
    if not ASAN:
        grown["blocks"] = sys.getallocatedblocks() - blocks
        grown["heap bytes"] = (HEAP_IN_USE() - heap) if HEAP_IN_USE else 0
    return grown


@pytest.fixture
def frozen_heap():
    """Moves every object that exists so far out of the collector's sight:
    collections and object counts then cost in proportion to what the test
    itself creates, not to everything the test session has loaded."""
    gc.collect()
    gc.freeze()
    yield
    gc.unfreeze()


def test_each_path_keeps_nothing(capfd, frozen_heap):
    """Each path on its own: no reference kept on an argument or the instance,
    no Python block, no native heap and no container object left behind."""
    leaks = []
    instances = []
    paths = all_paths(instances)
    watched = WATCHED + instances
    for label, call, expected in paths:  # first uses fill the interpreter's caches
        run(label, call, expected)
    for label, call, expected in paths:
        for _ in range(20):
            run(label, call, expected)
        capfd.readouterr()  # fault notices: discarded, outside the measurement
        # Two windows: a leak grows in both, allocator noise rarely does.
        windows = [measure_window(label, call, expected, watched) for _ in range(2)]
        over = {k: min(w[k] for w in windows) for k in windows[0] if min(w[k] for w in windows) > LIMITS[k]}
        if over:
            leaks.append(f"{label}: {over}")
        capfd.readouterr()
    assert not leaks, "\n".join(leaks)


def test_all_paths_round_after_round(capfd, frozen_heap):
    """All paths together: resident memory and live objects stay flat."""
    paths = all_paths()
    for _ in range(ROUNDS // 4):
        for label, call, expected in paths:
            run(label, call, expected)
    capfd.readouterr()
    objects = live_objects()
    resident = rss()
    for i in range(ROUNDS):
        for label, call, expected in paths:
            run(label, call, expected)
        if i % 50 == 0:
            capfd.readouterr()
    capfd.readouterr()
    grown_objects = live_objects() - objects
    grown_rss = rss() - resident
    calls = ROUNDS * len(paths)
    assert grown_objects < 100, f"{grown_objects} more live objects after {calls} calls"
    if not ASAN:
        # eight bytes kept per call would add about 5 MiB
        assert grown_rss < 1 << 20, f"resident memory grew by {grown_rss} bytes over {calls} calls"


def test_borrow_flag_is_released_on_every_path(capfd):
    """After the error paths (refused borrows and faults among them) each
    instance is free again: an exclusive and a shared use both succeed."""
    cal = korvex.Calendar(UNDERLYING)
    for cls in MODELS:
        m = cls(EXPIRY)
        source = PanicSource(cls)
        calls = [
            (lambda: m.set_param(PARAM, Reenter(lambda: m.get_vol(TTX, FWD, STRIKES), 50.0, False)), RuntimeError),
            (lambda: m.get_vol(TTX, FWD, [Reenter(lambda: m.reanchor(100.0, TTX), 100.0, False)]), RuntimeError),
            (lambda: m.bump_param(PARAM, RAISES), ZeroDivisionError),
            (lambda: m.get_vol(TTX, FWD, BAD_ITEMS), KeyError),
            (lambda: m.get_vol(TTX, FWD, [ResumesFault(source)]), PANIC),
            (lambda: m.set_param(PARAM, ResumesFault(source)), PANIC),
            (lambda: m.reanchor(100.0, ResumesFault(source)), PANIC),
            (lambda: cal.get_bus_ttx(FROM, ResumesFault(source)), PANIC),
            (lambda: cal.get_bus_ttx(TS_RAISES, TO), ZeroDivisionError),
        ]
        for call, expected in calls:
            with pytest.raises(expected):
                call()
        m.set_param(PARAM, 42.0)
        assert m.get_vol(TTX, 100.0, [100.0]) == [m.get_vol_single(TTX, 100.0, 100.0)]
        assert m.get_parameter(PARAM) == 42.0
        assert math.isfinite(cal.get_bus_ttx(FROM, TO))
    capfd.readouterr()
