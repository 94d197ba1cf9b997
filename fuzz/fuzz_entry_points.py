"""Coverage-guided fuzzing of korvex's Python surface (atheris).

Each input drives one call of one of the module's callables: the ten module
functions, the four constructors, every method and static method of the four
classes, and the class methods reached through their descriptors with a
foreign ``self``. Arguments are built from the fuzzer's bytes: numbers of
every kind (huge ints, NaN, infinities, -0.0, subnormals), texts (lone
surrogates, NUL, non-ASCII, upper-case sides, tenor-like texts), None,
containers, numpy arrays and buffers, and objects whose ``__float__``,
``__index__``, ``timestamp()``, ``__iter__`` or ``__getitem__`` return
arbitrary values, raise, re-enter the instance being called, or change the
dict that is being read. Calls mix positional and keyword arguments, with
unknown, duplicate and missing keywords and wrong counts.

A call may only end in a value of the documented type or in one of the
documented exceptions: TypeError, ValueError with one of the module's own
messages, OverflowError, AttributeError for a missing ``timestamp``,
RuntimeError for a borrow conflict, UnicodeEncodeError for lone surrogates,
an exception raised by the fuzz objects' own methods, and PanicException only
when a dict was changed while it was read. Anything else (SystemError, a
crash, a hang, an instance left borrowed) stops the fuzzer with the input.

Run: python fuzz/fuzz_entry_points.py [libFuzzer flags] [corpus dirs]
(-atheris_runs=N bounds the run; `make fuzz-smoke` and `make fuzz` run it).
With KORVEX_FUZZ_MODULE_DIR set, the module is imported from that directory:
the copy that the fuzzing build (KORVEX_FUZZ=module) makes there with -fsanitize=fuzzer-no-link,undefined
gives the fuzzer the native code's coverage and stops it at undefined
behaviour. With KORVEX_FUZZ_REPORT set, a run bounded by -atheris_runs ends
with a count of the calls by entry point and outcome.
"""

import array
import atexit
import collections
import copy
import ctypes
import datetime as dt
import fractions
import glob
import math
import os
import struct
import sys
import types
import warnings

import atheris

_module_dir = os.environ.get("KORVEX_FUZZ_MODULE_DIR")
if _module_dir:
    # An instrumented copy of the module calls libFuzzer's coverage hooks
    # from the moment it is loaded. atheris loads its libFuzzer privately and
    # only once fuzzing starts, so load it first, with its symbols global;
    # atheris' own import later finds the same library.
    _core = glob.glob(os.path.join(os.path.dirname(atheris.__file__), "core_with_libfuzzer*.so"))
    if len(_core) != 1:
        sys.exit(f"cannot find atheris' libFuzzer next to {atheris.__file__}")
    ctypes.CDLL(_core[0], mode=os.RTLD_GLOBAL | os.RTLD_NOW)
    sys.path.insert(0, _module_dir)

import korvex  # noqa: E402

try:
    import numpy as np
except ImportError:  # the fuzzer runs without numpy too, with fewer buffer shapes
    np = None

if _module_dir and not os.path.dirname(os.path.abspath(korvex.__file__)) == os.path.abspath(_module_dir):
    sys.exit(f"expected korvex from {_module_dir}, got {korvex.__file__}")

warnings.simplefilter("ignore")  # float subclasses from __float__, numpy's scalar conversions

MODELS = (korvex.GVVSpline, korvex.VolGeo, korvex.CubicSpline)
CLASSES = (korvex.Calendar,) + MODELS
PARAM_NAMES = {cls: frozenset(cls(dt.datetime(2030, 1, 1, tzinfo=dt.timezone.utc)).get_param_dict())
               for cls in MODELS}
BORROW_MESSAGES = {"Already borrowed", "Already mutably borrowed"}
VALUE_PREFIXES = ("Unknown option type: ", "No embedded calendar for underlying: ", "Invalid tenor format: ")
VALUE_MESSAGES = {"Invalid timestamp", "cannot parse float from empty string", "invalid float literal"}
DICT_FAULTS = {"dictionary changed size during iteration", "dictionary keys changed during iteration"}


class FuzzObjectError(Exception):
    """Raised by the fuzz objects' own methods: passed through unchanged."""


class Unexpected(Exception):
    """A call ended in a way the module's interface does not allow."""


OUTCOMES = collections.Counter()


class Run:
    """What happened during the current input, as seen by the fuzz objects."""

    dict_changed = False
    reentries = 0


# ---------------------------------------------------------------------------
# Fuzz objects. Their behaviour is chosen when they are built (from the
# input's bytes) and carried out when the module calls them.

class Behaviour:
    """A recipe: return a value, raise, or run an action first."""

    def __init__(self, kind, value=None, action=None):
        self.kind = kind  # "value", "raise", "action"
        self.value = value
        self.action = action

    def __repr__(self):
        return {"raise": "raise", "action": f"act, then {self.value!r}"}.get(self.kind, repr(self.value))

    def __call__(self):
        if self.kind == "raise":
            raise FuzzObjectError("raised by a fuzz object")
        if self.kind == "action" and self.action is not None:
            self.action()
        return self.value


class FloatLike:
    def __init__(self, behaviour):
        self.behaviour = behaviour

    def __float__(self):
        return self.behaviour()

    def __repr__(self):
        return f"FloatLike({self.behaviour!r})"


class IndexLike:
    def __init__(self, behaviour):
        self.behaviour = behaviour

    def __index__(self):
        return self.behaviour()

    def __repr__(self):
        return f"IndexLike({self.behaviour!r})"


class Stamp:
    def __init__(self, behaviour):
        self.behaviour = behaviour

    def timestamp(self):
        return self.behaviour()

    def __repr__(self):
        return f"Stamp({self.behaviour!r})"


class StampAttribute:
    """`timestamp` is a plain attribute, not a method."""

    def __init__(self, value):
        self.timestamp = value


class OldSequence:
    """Iterated through __getitem__ until IndexError (no __iter__)."""

    def __init__(self, items, fail_at=None, length=None):
        self.items = items
        self.fail_at = fail_at
        self.length = length

    def __getitem__(self, i):
        if i == self.fail_at:
            raise FuzzObjectError("raised by a fuzz sequence")
        if i >= len(self.items):
            raise IndexError(i)
        return self.items[i]

    def __len__(self):
        if self.length is None:
            raise FuzzObjectError("no length")
        return self.length


class IterSequence(OldSequence):
    """A sequence whose __iter__ yields its items, then maybe raises."""

    def __iter__(self):
        for i, item in enumerate(self.items):
            if i == self.fail_at:
                raise FuzzObjectError("raised by a fuzz iterator")
            yield item


class BufferSeq(OldSequence):
    """A sequence that also exports its items as a buffer of doubles
    (__buffer__, Python 3.12), or fails to."""

    def __init__(self, items, buffer_fails):
        super().__init__(items, None, len(items))
        self.buffer_fails = buffer_fails

    def __buffer__(self, flags):
        if self.buffer_fails:
            raise FuzzObjectError("raised by a fuzz buffer")
        return memoryview(array.array("d", self.items))


class StrSub(str):
    pass


class DictSub(dict):
    pass


class FloatSub(float):
    pass


class IntSub(int):
    pass


# ---------------------------------------------------------------------------
# Building values from the input.

SPECIAL_FLOATS = (0.0, -0.0, 1.0, -1.0, 0.5, 100.0, 90.0, 1e-12, 1e-300, -1e-300, 1e300, -1e300,
                  5e-324, -5e-324, 2.2250738585072014e-308, 2.225073858507201e-308,
                  1.7976931348623157e308, -1.7976931348623157e308, math.inf, -math.inf, math.nan,
                  -math.nan, 9.223372036854775e18, -9.223372036854775808e18, 1e20, -1e20, 1e-9,
                  0.9999999999, -1.5, 1.5, 2 ** 53 + 1.0, 1767225600.0, 86399.9999999999)
SIDES = ("c", "p", "call", "put", "C", "P", "CALL", "Put", " c", "c ", "call\x00", "\x00", "",
         "ĉ", "ç", "Ｃ", "İ", "ᶜ", "Cᴬᴸᴸ", "caLL", "pUT", "calls", "\ud800", "c\udfff", "\t p\n")
UNDERLYINGS = ("BTCUSDT", "btcusdt", "BTCUSDT ", " BTCUSDT", "BTCUSD", "BTCUSDT\x00", "ＢＴＣＵＳＤＴ",
               "", "ETHUSDT", "BTCUSDT\ud800")
TENOR_NUMBERS = ("1", "2", "3", "0.5", ".5", "5.", "+2", "-1", "1e2", "1E-2", "inf", "Infinity",
                 "NaN", "-nan", "", ".", "e5", "1e", "1_000", "1,5", "0x10", " 1", "1 ", "１",
                 "1" * 400, "1e400", "1e-400", "0." + "0" * 330 + "1", "12", "52", "365")
TENOR_UNITS = ("d", "w", "m", "y", "D", "W", "M", "Y", "h", " ", "", "d ", "ｄ", "\x00", "yy")
PARAM_TEXTS = ("vpr", "ref_spot", "ref_vol", "skew", "smile", "pwing", "cwing", "offset", "corr",
               "vvol", "p05", "p10", "p15", "p20", "p25", "c05", "c10", "c15", "c20", "c25",
               "REF_VOL", "ref_vol ", "ref_vol\x00", "", "ref_völ", "\ud800", "x" * 300)


class Builder:
    """Turns the input's bytes into Python values."""

    def __init__(self, data, instances):
        self.fdp = atheris.FuzzedDataProvider(data)
        self.instances = instances  # instances of this input, targets of re-entry
        self.depth = 0
        # One input in four keeps to well-typed arguments, so that the
        # computations behind the conversions are reached as often as the
        # conversions' failures.
        self.hostile = self.fdp.ConsumeIntInRange(0, 3) != 0

    # -- primitives --------------------------------------------------------
    def pick(self, seq):
        return seq[self.fdp.ConsumeIntInRange(0, len(seq) - 1)]

    def chance(self, percent):
        return self.fdp.ConsumeIntInRange(0, 99) < percent

    def float_value(self):
        k = self.fdp.ConsumeIntInRange(0, 5)
        if k == 0:
            return self.pick(SPECIAL_FLOATS)
        if k == 1:
            return self.fdp.ConsumeFloat()
        if k == 2:
            return self.fdp.ConsumeRegularFloat()
        if k == 3:
            return self.fdp.ConsumeFloatInRange(0.0, 300.0)
        if k == 4:
            return self.fdp.ConsumeFloatInRange(-5.0, 5.0)
        return float(self.fdp.ConsumeIntInRange(-1000, 1000))

    def int_value(self):
        k = self.fdp.ConsumeIntInRange(0, 3)
        if k == 0:
            return self.fdp.ConsumeIntInRange(-10, 200)
        if k == 1:  # beyond a double's range or precision
            sign = -1 if self.chance(50) else 1
            return sign * (2 ** self.fdp.ConsumeIntInRange(52, 1100) + self.fdp.ConsumeIntInRange(-3, 3))
        if k == 2:
            return self.fdp.ConsumeInt(self.fdp.ConsumeIntInRange(1, 16))
        return self.pick((True, False, IntSub(7), 2 ** 63, -(2 ** 63) - 1, 2 ** 64))

    def text_value(self):
        k = self.fdp.ConsumeIntInRange(0, 4)
        n = self.fdp.ConsumeIntInRange(0, 12)
        if k == 0:
            return self.fdp.ConsumeUnicode(n)  # may hold lone surrogates
        if k == 1:
            return self.fdp.ConsumeUnicodeNoSurrogates(n)
        if k == 2:
            return self.fdp.ConsumeString(n)
        if k == 3:
            return StrSub(self.fdp.ConsumeUnicodeNoSurrogates(n))
        return self.pick(SIDES + UNDERLYINGS + PARAM_TEXTS)

    def behaviour(self, result):
        """How a fuzz object's conversion method behaves."""
        k = self.fdp.ConsumeIntInRange(0, 9)
        if k == 0:
            return Behaviour("raise")
        if k == 1:
            return Behaviour("action", result, self.reentry())
        return Behaviour("value", result)

    def float_like(self):
        k = self.fdp.ConsumeIntInRange(0, 5)
        if k <= 1:
            return FloatLike(self.behaviour(self.pick((self.float_value(), FloatSub(self.float_value())))))
        if k == 2:  # __float__ returning a non-float
            return FloatLike(self.behaviour(self.shallow_value()))
        if k == 3:
            return IndexLike(self.behaviour(self.int_value()))
        if k == 4:  # __index__ returning a non-int
            return IndexLike(self.behaviour(self.shallow_value()))
        return fractions.Fraction(self.int_value(), self.pick((1, 3, 10 ** 400)))

    def shallow_value(self):
        """Any value without containers (used inside other values)."""
        k = self.fdp.ConsumeIntInRange(0, 10)
        if k <= 1:
            return self.float_value()
        if k == 2:
            return self.int_value()
        if k == 3:
            return self.text_value()
        if k == 4:
            return None
        if k == 5:
            return self.fdp.ConsumeBytes(self.fdp.ConsumeIntInRange(0, 8))
        if k == 6:
            return complex(self.float_value(), self.float_value())
        if k == 7 and np is not None:
            return self.pick((np.float64(self.float_value()), np.float32(self.float_value()),
                              np.int64(self.fdp.ConsumeIntInRange(-(2 ** 40), 2 ** 40)),
                              np.array([self.float_value()]), np.array(self.float_value())))
        if k == 8 and self.instances:
            return self.pick(self.instances)
        if k == 9:
            return self.pick((object(), korvex.VolGeo, float, dt.date(2024, 1, 1), Ellipsis))
        return self.pick((FloatSub(self.float_value()), IntSub(self.fdp.ConsumeIntInRange(0, 9))))

    def any_value(self):
        """Any value at all, containers included."""
        if self.depth > 2:
            return self.shallow_value()
        self.depth += 1
        try:
            k = self.fdp.ConsumeIntInRange(0, 9)
            if k <= 4:
                return self.shallow_value()
            if k == 5:
                return self.float_like()
            if k == 6:
                return self.stamp()
            items = [self.any_value() for _ in range(self.fdp.ConsumeIntInRange(0, 4))]
            if k == 7:
                return self.pick((list, tuple))(items)
            if k == 8:
                return {self.pick((self.text_value, self.int_value))(): v for v in items}
            try:
                return set(items)
            except TypeError:  # unhashable items
                return frozenset()
        finally:
            self.depth -= 1

    # -- re-entry -----------------------------------------------------------
    def reentry(self):
        """An action that calls back into one of this input's instances."""
        if not self.instances:
            return None
        target = self.pick(self.instances)
        swallow = self.chance(50)
        k = self.fdp.ConsumeIntInRange(0, 5)
        stamp = Stamp(Behaviour("value", 1.7e9))
        if isinstance(target, korvex.Calendar):
            calls = [lambda: target.get_bus_ttx(stamp, stamp),
                     lambda: korvex.Calendar.get_cal_ttx(stamp, stamp),
                     lambda: target.tenor_to_ttx("1d")]
        else:
            calls = [lambda: target.get_vol(1.0, 100.0, [90.0, 110.0]),
                     lambda: target.get_vol_single(1.0, 100.0, 100.0),
                     lambda: target.set_param("ref_vol", 40.0),
                     lambda: target.bump_param("ref_vol", 1.0),
                     lambda: target.reanchor(101.0, 0.5),
                     lambda: target.get_param_dict()]
        call = calls[k % len(calls)]

        def action():
            if Run.reentries > 4:
                return
            Run.reentries += 1
            try:
                call()
            except RuntimeError as exc:
                if str(exc) not in BORROW_MESSAGES:
                    raise Unexpected(f"re-entry failed with {exc!r}") from exc
                if not swallow:
                    raise
        return action

    # -- arguments by kind --------------------------------------------------
    def float_arg(self):
        if not self.hostile:
            return self.float_value()
        k = self.fdp.ConsumeIntInRange(0, 11)
        if k <= 6:
            return self.float_value()
        if k == 7:
            return self.int_value()
        if k <= 9:
            return self.float_like()
        return self.any_value()

    def stamp(self):
        k = self.fdp.ConsumeIntInRange(0, 9 if self.hostile else 3)
        if k <= 3:
            return Stamp(self.behaviour(self.pick((self.float_value(), self.fdp.ConsumeFloatInRange(-1e10, 1e11),
                                                   self.int_value()))))
        if k == 4:  # timestamp() returning a non-number or a number-like object
            return Stamp(self.behaviour(self.pick((self.shallow_value(), self.float_like()))))
        if k == 5:
            zone = self.pick((None, dt.timezone.utc, dt.timezone(dt.timedelta(hours=-5)),
                              dt.timezone(dt.timedelta(hours=14))))
            return dt.datetime(self.fdp.ConsumeIntInRange(1971, 9998), self.fdp.ConsumeIntInRange(1, 12),
                               self.fdp.ConsumeIntInRange(1, 28), self.fdp.ConsumeIntInRange(0, 23),
                               self.fdp.ConsumeIntInRange(0, 59), self.fdp.ConsumeIntInRange(0, 59),
                               self.fdp.ConsumeIntInRange(0, 999999), tzinfo=zone)
        if k == 6:  # callable or not, but never one of the module's own classes
            return StampAttribute(self.pick((self.float_value(), None, "soon", len, float, dt.datetime.now, object)))
        return self.any_value()

    def text_arg(self, kind):
        if self.hostile and self.chance(10):
            return self.any_value()
        if kind == "side":
            return self.pick(SIDES) if self.chance(70) else self.text_value()
        if kind == "underlying":
            return self.pick(UNDERLYINGS) if self.chance(70) else self.text_value()
        if kind == "param":
            return self.pick(PARAM_TEXTS) if self.chance(80) else self.text_value()
        if kind == "tenor":
            if self.chance(20):
                return self.text_value()
            return self.pick(TENOR_NUMBERS) + self.pick(TENOR_UNITS)
        raise AssertionError(kind)

    def sequence_arg(self):
        k = self.fdp.ConsumeIntInRange(0, 12 if self.hostile else 3)
        n = self.fdp.ConsumeIntInRange(0, 6)
        if k <= 3:
            items = [self.float_arg() if self.chance(30) else self.float_value() for _ in range(n)]
            return self.pick((list, tuple))(items)
        if k == 4 and np is not None:
            values = [self.float_value() for _ in range(n)]
            dtype = self.pick((np.float64, np.float32, np.int64, ">f8", object))
            try:
                a = np.array(values, dtype=dtype)
            except (OverflowError, ValueError):  # NaN or huge values as int64
                a = np.array(values)
            shape = self.fdp.ConsumeIntInRange(0, 3)
            if shape == 1:
                a = a[::2]  # not contiguous
            elif shape == 2 and n % 2 == 0:
                a = a.reshape(2, -1) if n else a.reshape(0, 0)
            elif shape == 3:
                a = np.array(self.float_value())  # zero-dimensional
            return a
        if k == 5:
            values = [self.float_value() for _ in range(n)]
            try:
                a = array.array(self.pick(("d", "f")), values)
            except OverflowError:  # too large for a C float
                a = array.array("d", values)
            return self.pick((a, memoryview(a)))
        if k == 6:
            items = [self.float_arg() for _ in range(n)]
            fail_at = self.fdp.ConsumeIntInRange(0, n + 1) if self.chance(30) else None
            # __len__ is only a size hint: any length, an absurd one, a
            # negative one or a non-int must not change what is read.
            length = (self.pick((self.fdp.ConsumeIntInRange(0, n + 3), sys.maxsize, 2 ** 40, -1, 2.5, "3"))
                      if self.chance(70) else None)
            return self.pick((OldSequence, IterSequence))(items, fail_at, length)
        if k == 7:
            return self.pick((range(self.fdp.ConsumeIntInRange(-3, 6)), self.fdp.ConsumeBytes(n), bytearray(n)))
        if k == 8:
            items = [self.float_value() for _ in range(n)]
            return BufferSeq(items, self.chance(30))
        if k == 9:  # not sequences, or refused ones
            return self.pick((set(), {1.0}, {"a": 1.0}, (x for x in (1.0,)), "100", StrSub("1"), iter([1.0])))
        return self.any_value()

    def dict_arg(self, cls):
        k = self.fdp.ConsumeIntInRange(0, 9 if self.hostile else 6)
        if k >= 8:
            return self.any_value()
        names = sorted(PARAM_NAMES.get(cls, PARAM_NAMES[korvex.VolGeo]))
        d = DictSub() if k == 7 else {}
        for _ in range(self.fdp.ConsumeIntInRange(0, 6)):
            if self.chance(75):
                key = self.pick(names)
            elif self.chance(50) or not self.hostile:
                key = self.text_value()
            else:
                key = self.shallow_value()
            try:
                d[key] = self.float_value() if self.chance(60) else self.float_arg()
            except TypeError:  # unhashable key
                pass
        if d and self.hostile and self.chance(15):
            d[self.pick(("zz_mutator", "ref_vol"))] = self.dict_mutator(d)
        return d

    def dict_mutator(self, d):
        """A value whose conversion changes the dict that holds it."""
        k = self.fdp.ConsumeIntInRange(0, 3)
        tag = self.fdp.ConsumeIntInRange(0, 1 << 20)

        def mutate():
            Run.dict_changed = True
            first = next(iter(d), None)
            if k == 0:
                d[f"added{tag}"] = 1.0
            elif k == 1:
                d.pop(first, None)
            elif k == 2:  # same size, other keys
                d.pop(first, None)
                d[f"swapped{tag}"] = 1.0
            else:
                d.clear()
        return FloatLike(Behaviour("action", 1.0, mutate))


# ---------------------------------------------------------------------------
# The callables and how to call them.

FLOAT, SIDE, TENOR, UNDERLYING, PARAM, SEQ, DICT, TIME = (
    "float", "side", "tenor", "underlying", "param", "seq", "dict", "time")

PRICED = (("fwd", FLOAT), ("strike", FLOAT), ("ttx", FLOAT), ("vol", FLOAT), ("call_put", SIDE), ("df", FLOAT))
UNSIDED = (("fwd", FLOAT), ("strike", FLOAT), ("ttx", FLOAT), ("vol", FLOAT), ("df", FLOAT))
CALIBRATE = (("ttx", FLOAT), ("fwd", FLOAT), ("strike", FLOAT), ("price", FLOAT), ("call_put", SIDE), ("df", FLOAT))

FUNCTIONS = [(name, PRICED) for name in ("b76_fairvalue", "b76_delta", "binary_fairvalue", "binary_vega",
                                         "binary_delta", "binary_gamma", "binary_theta")]
FUNCTIONS += [("b76_vega", UNSIDED), ("b76_gamma", UNSIDED), ("calibrate_black76_iv", CALIBRATE)]

MODEL_METHODS = {
    "get_vol": ((("ttx", FLOAT), ("spot", FLOAT), ("strikes", SEQ)), list),
    "get_vol_single": ((("ttx", FLOAT), ("spot", FLOAT), ("strike", FLOAT)), float),
    "arb_free": ((), bool),
    "get_parameter": ((("param", PARAM),), (float, type(None))),
    "set_param": ((("param", PARAM), ("value", FLOAT)), type(None)),
    "get_param_dict": ((), dict),
    "get_fitting_params": ((), list),
    "reanchor": ((("spot", FLOAT), ("ttx", FLOAT)), type(None)),
    "bump_param": ((("param", PARAM), ("d_value", FLOAT)), type(None)),
}
CALENDAR_METHODS = {"get_bus_ttx": ((("from", TIME), ("to", TIME)), float)}
STATIC = {
    "get_cal_ttx": ((("from", TIME), ("to", TIME)), float),
    "tenor_to_ttx": ((("tenor", TENOR),), float),
    "with_params": ((("expiry", TIME), ("params", DICT)), None),
}
assert len(FUNCTIONS) == 10 and len(korvex.__all__) == 14


def build_arg(b, kind, cls):
    if kind == FLOAT:
        return b.float_arg()
    if kind in (SIDE, TENOR, UNDERLYING, PARAM):
        return b.text_arg(kind)
    if kind == SEQ:
        return b.sequence_arg()
    if kind == DICT:
        return b.dict_arg(cls)
    if kind == TIME:
        return b.stamp()
    raise AssertionError(kind)


def is_plain(value, kind):
    """A value that converts without running Python code and cannot fail
    with anything but the module's own ValueErrors."""
    if kind == FLOAT:
        return type(value) is float or (type(value) in (int, bool) and abs(value) < 2 ** 1023)
    if kind in (SIDE, TENOR, UNDERLYING, PARAM):
        if type(value) is not str:
            return False
        try:
            value.encode("utf-8")
        except UnicodeEncodeError:
            return False
        return True
    if kind == SEQ:
        return type(value) in (list, tuple) and all(is_plain(v, FLOAT) for v in value)
    if kind == DICT:
        return type(value) is dict and all(is_plain(k, PARAM) and is_plain(v, FLOAT) for k, v in value.items())
    if kind == TIME:
        if isinstance(value, dt.datetime):
            return True
        return (type(value) is Stamp and value.behaviour.kind == "value"
                and is_plain(value.behaviour.value, FLOAT))
    raise AssertionError(kind)


class Call:
    """One call: the callable, how it is described and how it is called."""

    def __init__(self, target, params, want, cls, name, display, has_default=False, exact=True):
        self.target = target
        self.params = params          # ((name, kind), ...)
        self.want = want              # result type (None: an instance of cls)
        self.cls = cls
        self.name = name
        self.display = display        # the name the module's binding messages use
        self.has_default = has_default
        self.exact = exact            # False when CPython may refuse the call before the module runs
        self.args = []
        self.kwargs = {}
        self.plain = False
        self.instance = None          # the instance a method runs on


def build_arguments(b, call):
    """Positional and keyword arguments, sometimes deliberately wrong."""
    names = [p for p, _ in call.params]
    values = [build_arg(b, kind, call.cls) for _, kind in call.params]
    n = len(names)
    if call.has_default and b.chance(40):
        n -= 1  # leave df out
    split = b.fdp.ConsumeIntInRange(0, n)
    args = values[:split]
    kwargs = {names[i]: values[i] for i in range(split, n)}
    if kwargs and b.chance(30):  # keyword order does not matter
        keys = list(kwargs)
        keys.append(keys.pop(0))
        kwargs = {k: kwargs[k] for k in keys}
    wrong = b.fdp.ConsumeIntInRange(0, 19)
    if wrong == 0 and n:
        victim = names[b.fdp.ConsumeIntInRange(0, n - 1)]  # missing argument
        if victim in kwargs:
            del kwargs[victim]
        elif args:
            args.pop()
    elif wrong == 1:
        args.extend(b.any_value() for _ in range(b.fdp.ConsumeIntInRange(1, 3)))  # too many
    elif wrong == 2:
        kwargs[b.pick(("sigma", "self", "cls", "From", "df ", "call_put\x00", "x" * 40, "\u00e9"))] = 1.0
    elif wrong == 3 and split:
        kwargs[names[b.fdp.ConsumeIntInRange(0, split - 1)]] = b.any_value()  # given twice
    call.args, call.kwargs = args, kwargs
    kinds = dict(call.params)
    call.plain = (all(i < len(names) and is_plain(v, kinds[names[i]]) for i, v in enumerate(args))
                  and all(k in kinds and is_plain(v, kinds[k]) for k, v in kwargs.items()))


def binding_error(call):
    """The TypeError message with which binding must refuse the call, or None."""
    names = [p for p, _ in call.params]
    required = len(names) - (1 if call.has_default else 0)
    d = call.display
    k = len(call.args)
    if k > len(names):
        verb = "was" if k == 1 else "were"
        if required == len(names):
            return f"{d} takes {len(names)} positional arguments but {k} {verb} given"
        return f"{d} takes from {required} to {len(names)} positional arguments but {k} {verb} given"
    filled = set(names[:k])
    for kw in call.kwargs:
        if kw not in names:
            return f"{d} got an unexpected keyword argument '{kw}'"
        if kw in filled:
            return f"{d} got multiple values for argument '{kw}'"
        filled.add(kw)
    missing = [f"'{p}'" for p in names[:required] if p not in filled]
    if not missing:
        return None
    if len(missing) == 1:
        return f"{d} missing 1 required positional argument: {missing[0]}"
    listed = " and ".join(missing) if len(missing) == 2 else ", ".join(missing[:-1]) + ", and " + missing[-1]
    return f"{d} missing {len(missing)} required positional arguments: {listed}"


def check_result(call, result):
    if call.want is None:  # with_params
        if type(result) is not call.cls:
            raise Unexpected(f"{call.display} returned {result!r}")
        return
    if not isinstance(result, call.want) or (call.want is float and type(result) is not float):
        raise Unexpected(f"{call.display} returned {type(result).__name__}: {result!r}")
    if call.name == "get_vol":
        if any(type(v) is not float for v in result):
            raise Unexpected(f"get_vol returned {result!r}")
        check_vols(call, result)
    elif call.name == "get_param_dict":
        if set(result) != PARAM_NAMES[call.cls] or any(type(v) is not float for v in result.values()):
            raise Unexpected(f"get_param_dict returned {result!r}")
    elif call.name == "get_fitting_params":
        if not result or any(type(v) is not str or v not in PARAM_NAMES[call.cls] for v in result):
            raise Unexpected(f"get_fitting_params returned {result!r}")


def bound(call):
    """The arguments by parameter name, for a call that bound."""
    names = [p for p, _ in call.params]
    values = dict(zip(names, call.args))
    values.update(call.kwargs)
    return values


def plain_numbers(strikes):
    """The strikes as floats when reading them runs no Python code of the
    fuzz objects (so reading them again gives the same values), else None."""
    if type(strikes) in (list, tuple):
        if all(is_plain(x, FLOAT) for x in strikes):
            return [float(x) for x in strikes]
        return None
    if type(strikes) is BufferSeq or type(strikes) is array.array:
        return [float(x) for x in strikes.items] if type(strikes) is BufferSeq else [float(x) for x in strikes]
    if type(strikes) is memoryview and strikes.ndim == 1:
        return [float(x) for x in strikes]
    if np is not None and type(strikes) is np.ndarray and strikes.ndim == 1 and strikes.dtype != object:
        return [float(x) for x in strikes]
    return None


def same_float(a, b):
    return struct.pack("<d", a) == struct.pack("<d", b) or (math.isnan(a) and math.isnan(b))


def check_vols(call, result):
    """get_vol gives one vol per strike, each the one get_vol_single gives:
    whatever the kind of sequence (list, tuple, numpy array, array,
    memoryview, a class with __buffer__), the strikes read are its items."""
    args = bound(call)
    strikes = plain_numbers(args["strikes"])
    if strikes is None or call.instance is None:
        return
    if len(result) != len(strikes):
        raise Unexpected(f"get_vol gave {len(result)} vols for {len(strikes)} strikes\n{describe(call)}")
    if not (is_plain(args["ttx"], FLOAT) and is_plain(args["spot"], FLOAT)):
        return
    for strike, vol in zip(strikes, result):
        single = call.instance.get_vol_single(args["ttx"], args["spot"], strike)
        if not same_float(single, vol):
            raise Unexpected(f"get_vol gave {vol!r} for strike {strike!r}, get_vol_single {single!r}\n"
                             f"{describe(call)}")


def module_value_error(exc):
    text = str(exc)
    return text in VALUE_MESSAGES or text.startswith(VALUE_PREFIXES)


def allowed(call, exc):
    """Whether an exception is one the interface documents for this call."""
    if isinstance(exc, Unexpected):
        return False
    if call.plain and call.exact:  # nothing but the module's own input errors
        return type(exc) is ValueError and module_value_error(exc)
    if isinstance(exc, FuzzObjectError):
        return True
    if type(exc).__name__ == "PanicException":
        return Run.dict_changed and str(exc) in DICT_FAULTS
    if isinstance(exc, (TypeError, OverflowError, UnicodeEncodeError)):
        return True
    if isinstance(exc, RuntimeError):
        return str(exc) in BORROW_MESSAGES
    if isinstance(exc, ValueError):
        return module_value_error(exc)
    if isinstance(exc, AttributeError):
        return "'timestamp'" in str(exc)
    return False


def fresh_instances(b):
    stamp = dt.datetime(2027, 3, 26, 8, 0, tzinfo=dt.timezone.utc)
    instances = [korvex.Calendar("BTCUSDT")]
    for cls in MODELS:
        if b.chance(50):
            instances.append(cls(stamp))
        else:
            params = {name: b.fdp.ConsumeFloatInRange(-10.0, 150.0) for name in sorted(PARAM_NAMES[cls])
                      if b.chance(30)}
            instances.append(cls.with_params(stamp, params))
    return instances


def still_usable(inst):
    """Every borrow taken during the call has been released."""
    if isinstance(inst, korvex.Calendar):
        stamp = Stamp(Behaviour("value", 1.7e9))
        if inst.get_bus_ttx(stamp, stamp) != 0.0:
            raise Unexpected("calendar gives non-zero time between equal instants")
    else:
        inst.get_param_dict()
        inst.set_param("vpr", inst.get_parameter("vpr"))


def choose_call(b, instances):
    k = b.fdp.ConsumeIntInRange(0, 9)
    if k <= 2:
        name, params = b.pick(FUNCTIONS)
        return Call(getattr(korvex, name), params, float, None, name, f"{name}()", has_default=True)
    if k == 3:  # constructors, directly or through __new__
        cls = b.pick(CLASSES)
        params = (("underlying", UNDERLYING),) if cls is korvex.Calendar else (("expiry", TIME),)
        display = f"{cls.__name__}.__new__()"
        if b.chance(80):
            return Call(cls, params, cls, cls, "__new__", display)
        other = b.pick(CLASSES + (object, int))
        return Call(lambda *a, **kw: cls.__new__(other, *a, **kw), params, cls, cls, "__new__", display,
                    exact=other is cls)
    if k == 4:  # static methods, on the class or on an instance
        cls = b.pick(CLASSES)
        name = b.pick(("get_cal_ttx", "tenor_to_ttx")) if cls is korvex.Calendar else "with_params"
        params, want = STATIC[name]
        owner = cls if b.chance(50) else next(i for i in instances if type(i) is cls)
        return Call(getattr(owner, name), params, want, cls, name, f"{cls.__name__}.{name}()")
    if k == 5:  # a method through its descriptor, with any self
        cls = b.pick(CLASSES)
        table = CALENDAR_METHODS if cls is korvex.Calendar else MODEL_METHODS
        name = b.pick(sorted(table))
        params, want = table[name]
        self_obj = b.pick(instances) if b.chance(50) else b.shallow_value()
        method = getattr(cls, name)
        call = Call(lambda *a, **kw: method(self_obj, *a, **kw), params, want, cls, name,
                    f"{cls.__name__}.{name}()", exact=type(self_obj) is cls and bool(params))
        if type(self_obj) is cls:
            call.instance = self_obj
        return call
    inst = b.pick(instances)  # a bound method of one of the input's instances
    cls = type(inst)
    table = CALENDAR_METHODS if cls is korvex.Calendar else MODEL_METHODS
    name = b.pick(sorted(table))
    params, want = table[name]
    call = Call(getattr(inst, name), params, want, cls, name, f"{cls.__name__}.{name}()", exact=bool(params))
    call.instance = inst
    return call


def test_one_input(data):
    Run.dict_changed = False
    Run.reentries = 0
    b = Builder(data, [])
    instances = fresh_instances(b)
    b.instances = instances
    call = choose_call(b, instances)
    if call.params:
        build_arguments(b, call)
    elif b.chance(30):  # arguments to a method that takes none
        call.args = [b.any_value()]
        call.exact = False

    refusal = binding_error(call) if call.exact else None
    try:
        result = call.target(*call.args, **call.kwargs)
    except BaseException as exc:  # noqa: BLE001 - PanicException derives from BaseException
        OUTCOMES[(call.display, type(exc).__name__)] += 1
        if refusal is not None:
            if type(exc) is not TypeError or str(exc) != refusal:
                raise Unexpected(f"binding: want TypeError {refusal!r}, got {type(exc).__name__}: {exc}") from exc
        elif call.exact and isinstance(exc, TypeError) and str(exc).startswith(call.display + " "):
            raise Unexpected(f"binding refused a well-formed call: {exc}\n{describe(call)}") from exc
        elif not allowed(call, exc):
            raise Unexpected(f"{call.display} raised {type(exc).__name__}: {exc}\n{describe(call)}") from exc
    else:
        OUTCOMES[(call.display, "returned")] += 1
        if refusal is not None:
            raise Unexpected(f"binding accepted a call it must refuse with {refusal!r}\n{describe(call)}")
        check_result(call, result)

    for inst in instances:
        try:
            still_usable(inst)
        except RuntimeError as exc:
            raise Unexpected(f"{type(inst).__name__} left borrowed after {call.display}: {exc}") from exc

    # Instances refuse attributes of their own and cannot be copied blindly.
    if b.chance(3):
        inst = b.pick(instances)
        try:
            setattr(inst, b.pick(("x", "value", "__dict__")), 1)
        except (AttributeError, TypeError):
            pass
        else:
            raise Unexpected(f"{type(inst).__name__} accepted a new attribute")
        try:
            copy.copy(inst)
        except TypeError:
            pass


def report_outcomes():
    """How often each callable was called and how each call ended."""
    if not OUTCOMES:
        return
    width = max(len(d) for d, _ in OUTCOMES)
    lines = [f"calls by entry point and outcome ({sum(OUTCOMES.values())} calls):"]
    for display in sorted({d for d, _ in OUTCOMES}):
        ends = sorted(((n, o) for (d, o), n in OUTCOMES.items() if d == display), reverse=True)
        lines.append(f"  {display:<{width}}  " + ", ".join(f"{o} {n}" for n, o in ends))
    print("\n".join(lines), file=sys.stderr)


def describe(call):
    return f"  args={call.args!r}\n  kwargs={call.kwargs!r}"


def instrument_harness():
    """Python coverage of this file: which kinds of values, calls and
    outcomes an input reaches guides the fuzzer even without native coverage."""
    for obj in list(globals().values()):
        if isinstance(obj, type) and obj.__module__ == __name__:
            for attr, member in list(vars(obj).items()):
                if isinstance(member, types.FunctionType):
                    setattr(obj, attr, atheris.instrument_func(member))
        elif isinstance(obj, types.FunctionType) and obj.__module__ == __name__ and obj is not main:
            atheris.instrument_func(obj)


def main():
    if os.environ.get("KORVEX_FUZZ_REPORT"):
        atexit.register(report_outcomes)
    instrument_harness()
    atheris.Setup(sys.argv, test_one_input, internal_libfuzzer=True)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
