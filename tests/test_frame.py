"""The call frame and value conversions, seen from Python."""
import datetime as dt
import gc
import math
import subprocess
import sys
import textwrap

import pytest

import korvex
from conftest import Stamp

ALL = [
    "Calendar", "GVVSpline", "VolGeo", "CubicSpline",
    "b76_fairvalue", "b76_delta", "b76_vega", "b76_gamma",
    "binary_fairvalue", "binary_vega", "binary_delta", "binary_gamma", "binary_theta",
    "calibrate_black76_iv",
]
MODELS = [korvex.GVVSpline, korvex.VolGeo, korvex.CubicSpline]
CLASSES = [korvex.Calendar, *MODELS]


def growing_dict():
    """A params dict whose second value adds a key while it is converted."""
    d = {"a": 1.0}

    class Grow:
        def __float__(self):
            d[f"g{len(d)}"] = 1.0
            return 1.0

    d["b"] = Grow()
    return d


def panic_type():
    """PanicException is not exported; provoke one fault to get hold of it."""
    try:
        korvex.VolGeo.with_params(Stamp(0.0), growing_dict())
    except BaseException as exc:  # noqa: BLE001 - that is the point
        return type(exc)
    raise AssertionError("no fault raised")


class TestRegistration:
    def test_all_and_attribute_order(self):
        assert korvex.__all__ == ALL
        public = [k for k in vars(korvex) if not k.startswith("__")]
        assert public == ALL

    def test_import_twice_gives_same_module(self):
        import importlib
        assert importlib.import_module("korvex") is korvex
        del sys.modules["korvex"]
        try:
            again = importlib.import_module("korvex")
            assert again is korvex
        finally:
            sys.modules["korvex"] = korvex

    def test_text_signatures_and_docs(self):
        f = korvex.b76_fairvalue
        assert f.__text_signature__ == "(fwd, strike, ttx, vol, call_put, df=1.0)"
        assert f.__doc__ is None
        assert f.__module__ == "korvex"
        assert korvex.b76_vega.__text_signature__ == "(fwd, strike, ttx, vol, df=1.0)"
        assert korvex.calibrate_black76_iv.__text_signature__ == "(ttx, fwd, strike, price, call_put, df=1.0)"
        assert korvex.VolGeo.__text_signature__ == "(expiry)"
        assert korvex.Calendar.__text_signature__ == "(underlying)"
        assert korvex.GVVSpline.get_vol.__text_signature__ == "($self, ttx, spot, strikes)"
        assert korvex.GVVSpline.arb_free.__text_signature__ == "($self)"
        assert korvex.CubicSpline.with_params.__text_signature__ == "(expiry, params)"
        assert korvex.Calendar.get_bus_ttx.__text_signature__ == "($self, from, to)"
        assert korvex.Calendar.get_cal_ttx.__text_signature__ == "(from, to)"
        assert korvex.Calendar.tenor_to_ttx.__text_signature__ == "(tenor)"

    @pytest.mark.parametrize("cls", CLASSES)
    def test_classes_are_final_without_dict(self, cls):
        assert cls.__module__ == "builtins"
        assert cls.__qualname__ == cls.__name__
        assert cls.__bases__ == (object,)
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})
        obj = cls("BTCUSDT") if cls is korvex.Calendar else cls(Stamp(0.0))
        with pytest.raises(AttributeError):
            obj.anything = 1

    def test_instance_made_without_its_constructor_is_refused(self):
        # A replaced __new__ can hand out object.__new__(cls): an instance
        # whose contents were never built. Every call on it must be refused,
        # and dropping it must not destroy contents that do not exist. Run in
        # a child process, since the failure mode is a crash.
        code = textwrap.dedent(
            """
            import datetime as dt, gc, korvex
            made = staticmethod(lambda cls, *a, **k: object.__new__(cls))
            now = dt.datetime(2026, 1, 2, tzinfo=dt.timezone.utc)
            calls = {
                "Calendar": lambda c: c.get_bus_ttx(now, now),
                "GVVSpline": lambda m: m.get_vol(1.0, 100.0, [90.0]),
                "VolGeo": lambda m: m.arb_free(),
                "CubicSpline": lambda m: m.set_param("ref_vol", 1.0),
            }
            # an instance made before the patch is not affected
            good = korvex.Calendar("BTCUSDT")
            for name, call in calls.items():
                cls = getattr(korvex, name)
                cls.__new__ = made
                obj = cls("BTCUSDT")
                try:
                    call(obj)
                except TypeError as e:
                    print(e)
                del obj
                gc.collect()
            print(good.get_bus_ttx(now, now))
            """
        )
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
        assert out.returncode == 0, out.stderr
        assert out.stdout.splitlines() == [
            "Calendar object was not initialised",
            "GVVSpline object was not initialised",
            "VolGeo object was not initialised",
            "CubicSpline object was not initialised",
            "0.0",
        ]

    def test_subinterpreter_import_is_refused(self):
        # Run in a child process: a refused import must leave the main
        # interpreter's module working.
        code = textwrap.dedent(
            """
            import korvex, sys
            try:
                import _interpreters as interpreters
            except ImportError:
                import _xxsubinterpreters as interpreters
            cfg = None
            try:
                interp = interpreters.create("legacy")
            except TypeError:
                interp = interpreters.create(isolated=False)
            script = (
                "try:\\n"
                "    import korvex\\n"
                "    result = 'imported'\\n"
                "except ImportError as e:\\n"
                "    result = 'refused: ' + str(e)\\n"
                "import sys; sys.stdout.write(result + '\\\\n'); sys.stdout.flush()\\n"
            )
            run = getattr(interpreters, "run_string", None) or getattr(interpreters, "exec")
            run(interp, script)
            print(korvex.b76_fairvalue(100.0, 100.0, 1.0, 0.2, "c"))
            """
        )
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
        assert out.returncode == 0, out.stderr
        lines = out.stdout.strip().splitlines()
        assert lines[0].startswith("refused: ")
        assert "subinterpreters" in lines[0]
        assert float(lines[1]) == pytest.approx(7.965567455405804)

    def test_first_import_in_a_subinterpreter(self):
        # The process's first import happens in a subinterpreter, which makes
        # instances and is then destroyed. Exactly one interpreter gets the
        # module (3.12 loads it in the subinterpreter; 3.13 loads single-phase
        # modules in the main interpreter first), the other gets the
        # ImportError, and the module keeps working where it loaded.
        code = textwrap.dedent(
            """
            import datetime, sys
            try:
                import _interpreters as interpreters
            except ImportError:
                import _xxsubinterpreters as interpreters
            try:
                interp = interpreters.create("legacy")
            except TypeError:
                interp = interpreters.create(isolated=False)
            script = (
                "import sys\\n"
                "try:\\n"
                "    import korvex, datetime\\n"
                "except ImportError as e:\\n"
                "    result = 'refused: ' + str(e)\\n"
                "else:\\n"
                "    m = korvex.VolGeo(datetime.datetime(2027, 1, 1))\\n"
                "    cal = korvex.Calendar('BTCUSDT')\\n"
                "    cal.get_bus_ttx(datetime.datetime(2026, 1, 1), datetime.datetime(2026, 6, 1))\\n"
                "    result = 'loaded: %r' % m.get_vol(0.5, 100.0, [100.0])\\n"
                "sys.stdout.write(result + '\\\\n'); sys.stdout.flush()\\n"
            )
            run = getattr(interpreters, "run_string", None) or getattr(interpreters, "exec")
            failed = run(interp, script)
            assert failed is None, failed
            interpreters.destroy(interp)
            try:
                import korvex
            except ImportError as e:
                print("refused: " + str(e))
            else:
                m = korvex.VolGeo.with_params(datetime.datetime(2027, 1, 1), {})
                print("loaded: %r" % m.get_vol(0.5, 100.0, [100.0]))
            """
        )
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
        assert out.returncode == 0, out.stderr
        sub, main = out.stdout.strip().splitlines()
        assert sorted([sub.split(":")[0], main.split(":")[0]]) == ["loaded", "refused"]
        refusal = sub if sub.startswith("refused") else main
        assert "subinterpreters" in refusal
        loaded = main if refusal is sub else sub
        assert loaded == "loaded: [0.5]"
        if sys.version_info < (3, 13):
            assert sub.startswith("loaded")


class TestBinding:
    def test_missing_arguments(self):
        with pytest.raises(TypeError) as e:
            korvex.b76_vega(1.0, 2.0, 3.0)
        assert str(e.value) == "b76_vega() missing 1 required positional argument: 'vol'"
        with pytest.raises(TypeError) as e:
            korvex.b76_fairvalue(1.0)
        assert str(e.value) == (
            "b76_fairvalue() missing 4 required positional arguments: 'strike', 'ttx', 'vol', and 'call_put'"
        )
        with pytest.raises(TypeError) as e:
            korvex.b76_vega(strike=1.0, ttx=1.0)
        assert str(e.value) == "b76_vega() missing 2 required positional arguments: 'fwd' and 'vol'"
        with pytest.raises(TypeError) as e:
            korvex.VolGeo()
        assert str(e.value) == "VolGeo.__new__() missing 1 required positional argument: 'expiry'"

    def test_too_many_positional(self):
        with pytest.raises(TypeError) as e:
            korvex.b76_vega(1, 2, 3, 4, 5, 6)
        assert str(e.value) == "b76_vega() takes from 4 to 5 positional arguments but 6 were given"
        m = korvex.VolGeo(Stamp(0.0))
        with pytest.raises(TypeError) as e:
            m.get_parameter("a", "b")
        assert str(e.value) == "VolGeo.get_parameter() takes 1 positional arguments but 2 were given"
        with pytest.raises(TypeError) as e:
            korvex.Calendar.tenor_to_ttx("1d", "2d")
        assert str(e.value) == "Calendar.tenor_to_ttx() takes 1 positional arguments but 2 were given"

    def test_keyword_errors(self):
        with pytest.raises(TypeError) as e:
            korvex.b76_vega(1, 2, 3, 4, vol=5)
        assert str(e.value) == "b76_vega() got multiple values for argument 'vol'"
        with pytest.raises(TypeError) as e:
            korvex.b76_vega(1, 2, 3, sigma=5)
        assert str(e.value) == "b76_vega() got an unexpected keyword argument 'sigma'"
        with pytest.raises(TypeError) as e:
            korvex.Calendar(underlying="BTCUSDT", other=1)
        assert str(e.value) == "Calendar.__new__() got an unexpected keyword argument 'other'"

    def test_keyword_without_utf8_form_is_unexpected(self):
        # A lone surrogate cannot name a parameter: an unknown keyword like
        # any other, for functions, methods and constructors alike.
        bad = {"\udc80": 1.0}
        calls = [
            ("b76_vega()", lambda: korvex.b76_vega(1, 2, 3, 4, **bad)),
            ("VolGeo.get_vol()", lambda: korvex.VolGeo(Stamp(0.0)).get_vol(1.0, 100.0, [], **bad)),
            ("Calendar.tenor_to_ttx()", lambda: korvex.Calendar.tenor_to_ttx("1d", **bad)),
            ("Calendar.__new__()", lambda: korvex.Calendar("BTCUSDT", **bad)),
        ]
        for shown, call in calls:
            with pytest.raises(TypeError) as e:
                call()
            assert str(e.value) == f"{shown} got an unexpected keyword argument '\udc80'"

    def test_keywords_in_any_order_match_positional(self):
        pos = korvex.b76_fairvalue(100.0, 90.0, 0.5, 0.8, "c")
        assert korvex.b76_fairvalue(100.0, 90.0, 0.5, vol=0.8, call_put="c") == pos
        assert korvex.b76_fairvalue(call_put="c", vol=0.8, ttx=0.5, strike=90.0, fwd=100.0) == pos
        assert korvex.b76_fairvalue(100.0, 90.0, 0.5, 0.8, "c", df=1.0) == pos
        assert korvex.Calendar(underlying="BTCUSDT") is not None

    def test_default_and_none(self):
        assert korvex.b76_fairvalue(100, 90, 0.5, 0.8, "c") == korvex.b76_fairvalue(100, 90, 0.5, 0.8, "c", 1.0)
        with pytest.raises(TypeError) as e:
            korvex.b76_fairvalue(100, 90, 0.5, 0.8, "c", None)
        assert str(e.value) == "argument 'df': must be real number, not NoneType"

    def test_noargs_method_rejects_arguments(self):
        m = korvex.GVVSpline(Stamp(0.0))
        with pytest.raises(TypeError):
            m.arb_free(1)

    def test_foreign_self_is_refused(self):
        g = korvex.GVVSpline(Stamp(0.0))
        with pytest.raises(TypeError):
            korvex.VolGeo.get_vol(g, 1.0, 100.0, [100.0])
        with pytest.raises(TypeError):
            korvex.VolGeo.arb_free(g)


class TestFloatArguments:
    def test_ints_bools_and_dunder_float(self):
        class Half:
            def __float__(self):
                return 0.5

        class Idx:
            def __index__(self):
                return 100

        ref = korvex.b76_vega(100.0, 100.0, 0.5, 0.5)
        assert korvex.b76_vega(100, 100, Half(), Half()) == ref
        assert korvex.b76_vega(Idx(), 100, 0.5, 0.5) == ref
        assert korvex.b76_vega(100.0, 100.0, 0.5, 0.5, True) == ref

    def test_first_bad_argument_wins(self):
        with pytest.raises(TypeError) as e:
            korvex.b76_fairvalue("x", 90, 0.5, "y", "c")
        assert str(e.value) == "argument 'fwd': must be real number, not str"
        with pytest.raises(TypeError) as e:
            korvex.b76_fairvalue(100, 90, 0.5, 0.8, 5)
        assert str(e.value) == "argument 'call_put': 'int' object cannot be converted to 'PyString'"

    def test_overflow_is_not_prefixed(self):
        with pytest.raises(OverflowError) as e:
            korvex.b76_vega(10**400, 1, 1, 1)
        assert not str(e.value).startswith("argument")

    def test_type_error_cause_is_kept(self):
        class Bad:
            def __float__(self):
                try:
                    raise KeyError("inner")
                except KeyError as k:
                    raise TypeError("bad float") from k

        with pytest.raises(TypeError) as e:
            korvex.b76_vega(Bad(), 1, 1, 1)
        assert str(e.value) == "argument 'fwd': bad float"
        assert isinstance(e.value.__cause__, KeyError)

    def test_other_exceptions_pass_unchanged(self):
        class Boom:
            def __float__(self):
                raise ZeroDivisionError("boom")

        with pytest.raises(ZeroDivisionError, match="^boom$"):
            korvex.b76_vega(Boom(), 1, 1, 1)

    def test_lone_surrogate_text_is_not_prefixed(self):
        with pytest.raises(UnicodeEncodeError):
            korvex.b76_fairvalue(1, 1, 1, 1, "\udc80")

    def test_str_subclass_is_text(self):
        class S(str):
            pass

        assert korvex.b76_fairvalue(100, 90, 0.5, 0.8, S("c")) == korvex.b76_fairvalue(100, 90, 0.5, 0.8, "c")


class TestSequenceArguments:
    def test_sequence_kinds(self):
        import array

        import numpy as np

        m = korvex.VolGeo(Stamp(0.0))
        ref = m.get_vol(0.25, 100.0, [90.0, 100.0, 110.0])
        assert m.get_vol(0.25, 100.0, (90, 100, 110)) == ref
        assert m.get_vol(0.25, 100.0, np.array([90.0, 100.0, 110.0])) == ref
        assert m.get_vol(0.25, 100.0, np.array([90, 100, 110])) == ref
        assert m.get_vol(0.25, 100.0, np.array([90.0, 100.0, 110.0], dtype=np.float32)) == ref
        assert m.get_vol(0.25, 100.0, np.array([110.0, 100.0, 90.0])[::-1]) == ref
        assert m.get_vol(0.25, 100.0, array.array("d", [90.0, 100.0, 110.0])) == ref
        assert m.get_vol(0.25, 100.0, range(90, 111, 10)) == ref
        assert m.get_vol(0.25, 100.0, []) == []

    def test_only_exact_buffer_types_skip_iteration(self):
        # The strikes are what iterating the object gives. A masked strike
        # iterates as NaN although the buffer holds a number, and a subclass
        # may iterate to anything; only exact ndarray, array and memoryview
        # objects are read straight from their buffer.
        import array

        import numpy as np

        m = korvex.VolGeo(Stamp(0.0))
        masked = np.ma.MaskedArray([90.0, 100.0], mask=[True, False])
        with pytest.warns(UserWarning):
            vols = m.get_vol(0.25, 100.0, masked)
        assert math.isnan(vols[0]) and vols[1] == 0.5

        class Reversed(array.array):
            def __iter__(self):
                return reversed(list(super().__iter__()))

        assert m.get_vol(0.25, 100.0, Reversed("d", [90.0, 100.0])) == m.get_vol(0.25, 100.0, [100.0, 90.0])

        class WithBuffer:
            def __len__(self):
                return 1

            def __getitem__(self, i):
                if i:
                    raise IndexError(i)
                return 100.0

            def __buffer__(self, flags):
                raise AssertionError("the buffer of a non-builtin type is not read")

        assert m.get_vol(0.25, 100.0, WithBuffer()) == [0.5]
        # the exact types give what they iterate to, by either path
        values = np.array([80.0, 100.0, 125.0])
        ref = m.get_vol(0.25, 100.0, values.tolist())
        assert m.get_vol(0.25, 100.0, memoryview(values)) == ref
        assert m.get_vol(0.25, 100.0, array.array("d", values)) == ref
        assert m.get_vol(0.25, 100.0, values.astype(">f8")) == ref

    def test_sequence_errors(self):
        m = korvex.VolGeo(Stamp(0.0))
        cases = [
            ("100", "argument 'strikes': Can't extract `str` to `Vec`"),
            ({100.0}, "argument 'strikes': 'set' object cannot be converted to 'Sequence'"),
            ({1: 2}, "argument 'strikes': 'dict' object cannot be converted to 'Sequence'"),
            ((x for x in [1.0]), "argument 'strikes': 'generator' object cannot be converted to 'Sequence'"),
            ([90.0, "100"], "argument 'strikes': must be real number, not str"),
        ]
        for value, message in cases:
            with pytest.raises(TypeError) as e:
                m.get_vol(1.0, 100.0, value)
            assert str(e.value) == message

    def test_iteration_error_passes_through(self):
        class Seq:
            def __len__(self):
                raise RuntimeError("no length")

            def __getitem__(self, i):
                if i == 2:
                    raise KeyError("broken")
                return 100.0

        m = korvex.VolGeo(Stamp(0.0))
        with pytest.raises(KeyError):
            m.get_vol(1.0, 100.0, Seq())

    def test_length_hint_failure_is_ignored(self):
        class Seq:
            def __len__(self):
                raise RuntimeError("no length")

            def __getitem__(self, i):
                if i >= 3:
                    raise IndexError
                return 100.0

        m = korvex.VolGeo(Stamp(0.0))
        assert m.get_vol(1.0, 100.0, Seq()) == [0.5, 0.5, 0.5]

    def test_length_hint_is_not_trusted(self):
        # A reported length is no promise of items: a huge one must not
        # become an allocation (or a fault), the items read decide.
        class Claims:
            def __init__(self, n):
                self.n = n

            def __len__(self):
                return self.n

            def __getitem__(self, i):
                if i >= 3:
                    raise IndexError(i)
                return 100.0

        m = korvex.VolGeo(Stamp(0.0))
        for n in (0, 1, 2**33, 2**61, sys.maxsize):
            assert m.get_vol(1.0, 100.0, Claims(n)) == [0.5, 0.5, 0.5]


class TestTimestampArguments:
    def test_errors_carry_no_prefix(self):
        with pytest.raises(AttributeError):
            korvex.VolGeo(5.0)
        with pytest.raises(ZeroDivisionError):
            korvex.VolGeo(Stamp(ZeroDivisionError("x")))
        with pytest.raises(TypeError) as e:
            korvex.VolGeo(Stamp("soon"))
        assert str(e.value) == "must be real number, not str"
        for bad in (1e20, -1e20, float("inf"), float("-inf"), float("nan"), 9.3e18):
            with pytest.raises(ValueError) as e:
                korvex.VolGeo(Stamp(bad))
            assert str(e.value) == "Invalid timestamp"

    def test_instants_are_converted_after_other_arguments(self):
        # expiry is the first parameter of with_params but the params dict
        # is reported first.
        with pytest.raises(TypeError) as e:
            korvex.VolGeo.with_params(5.0, {"vvol": "x"})
        assert str(e.value) == "argument 'params': must be real number, not str"

    def test_split_floors_and_rounds(self):
        cal = korvex.Calendar
        year = 31536000.0
        # -1.5 is 1969-12-31 23:59:58.5, so 2.1 s pass until 0.6
        assert cal.get_cal_ttx(Stamp(-1.5), Stamp(0.6)) == 2 / year
        # a fraction that rounds to a full second carries into the seconds
        assert cal.get_cal_ttx(Stamp(0.0), Stamp(0.9999999999)) == 1 / year
        assert cal.get_cal_ttx(Stamp(-0.0000000001), Stamp(0.0)) == 0.0

    def test_aware_and_naive_datetimes_agree(self):
        aware = dt.datetime(2026, 6, 1, 12, 0, tzinfo=dt.timezone.utc)
        naive = aware.astimezone().replace(tzinfo=None)
        assert korvex.Calendar.get_cal_ttx(aware, naive) == 0.0

    def test_extreme_python_datetimes_convert(self):
        lo = dt.datetime(1, 1, 1, tzinfo=dt.timezone.utc)
        hi = dt.datetime(9999, 12, 31, 23, 59, 59, tzinfo=dt.timezone.utc)
        assert korvex.Calendar.get_cal_ttx(lo, hi) > 9998


class TestParamDict:
    def test_dict_subclass_and_errors(self):
        class D(dict):
            pass

        assert korvex.VolGeo.with_params(Stamp(0.0), D(vvol=30.0)).get_parameter("vvol") == 30.0
        with pytest.raises(TypeError) as e:
            korvex.VolGeo.with_params(Stamp(0.0), [("vvol", 1.0)])
        assert str(e.value) == "argument 'params': 'list' object cannot be converted to 'PyDict'"
        with pytest.raises(TypeError) as e:
            korvex.VolGeo.with_params(Stamp(0.0), {1: 1.0})
        assert str(e.value) == "argument 'params': 'int' object cannot be converted to 'PyString'"
        with pytest.raises(TypeError) as e:
            korvex.VolGeo.with_params(Stamp(0.0), {"vvol": None})
        assert str(e.value) == "argument 'params': must be real number, not NoneType"

    def test_mutation_while_reading_is_a_fault(self):
        panic = panic_type()
        assert panic.__name__ == "PanicException"
        assert panic.__bases__ == (BaseException,)
        assert not issubclass(panic, Exception)

        d = {"vvol": 1.0}

        class Shrink:
            def __float__(self):
                d.pop("vvol", None)
                return 1.0

        d["corr"] = Shrink()
        with pytest.raises(panic, match="dictionary changed size during iteration"):
            korvex.VolGeo.with_params(Stamp(0.0), d)

        # six keys give the dict room to grow in place, so the key added
        # during the read lands after the current position
        e = {f"k{i}": 1.0 for i in range(6)}

        class Swap:
            def __float__(self):
                # same size, different keys: more entries than the dict had
                e.pop("k0", None)
                e[f"n{len(e)}x{id(self)}"] = 1.0
                return 1.0

        e.pop("k1")
        e.pop("k2")
        e["swap"] = Swap()
        with pytest.raises(panic) as info:
            korvex.VolGeo.with_params(Stamp(0.0), e)
        assert str(info.value) in (
            "dictionary keys changed during iteration",
            "dictionary changed size during iteration",
        )

    def test_fault_resumed_through_python_code(self, capfd):
        panic = panic_type()
        d = growing_dict()

        class Ts:
            def timestamp(self):
                korvex.VolGeo.with_params(Stamp(0.0), d)
                return 0.0

        with pytest.raises(panic, match="dictionary changed size during iteration"):
            korvex.GVVSpline(Ts())
        err = capfd.readouterr().err
        assert "Python stack trace below:" in err

    def test_resumed_fault_that_is_also_system_exit(self):
        # Showing the resumed exception must not end the process, even when
        # it is also a SystemExit: the call still ends in PanicException. Run
        # in a child process, since the failure mode is an exit.
        code = textwrap.dedent(
            """
            import korvex

            class Stamp:
                def __init__(self, value):
                    self.value = value
                def timestamp(self):
                    return self.value

            d = {"a": 1.0}
            class Grow:
                def __float__(self):
                    d["g"] = 1.0
                    return 1.0
            d["b"] = Grow()
            try:
                korvex.VolGeo.with_params(Stamp(0.0), d)
            except BaseException as e:
                panic = type(e)

            class Both(panic, SystemExit):
                pass

            class Ts:
                def timestamp(self):
                    raise Both("travelling fault")

            try:
                korvex.GVVSpline(Ts())
            except BaseException as e:
                print(type(e).__name__, str(e))
            print("still running")
            """
        )
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
        assert out.returncode == 0, out.stderr
        assert out.stdout.splitlines() == ["PanicException travelling fault", "still running"]
        assert "Python stack trace below:" in out.stderr

    def test_fault_in_a_dropped_error_is_resumed(self, capfd):
        # The length hint of a strikes sequence may fail and be ignored, but a
        # fault travelling through it must not vanish.
        panic = panic_type()

        def fault():
            korvex.VolGeo.with_params(Stamp(0.0), growing_dict())

        class FaultyLength:
            def __len__(self):
                fault()
                return 1

            def __getitem__(self, i):
                if i:
                    raise IndexError(i)
                return 100.0

        m = korvex.VolGeo(Stamp(0.0))
        with pytest.raises(panic, match="dictionary changed size during iteration"):
            m.get_vol(1.0, 100.0, FaultyLength())
        assert "Python stack trace below:" in capfd.readouterr().err
        # the model is free again
        assert m.get_vol(1.0, 100.0, [100.0]) == [0.5]

    def test_exception_handler_does_not_catch_a_fault(self):
        panic = panic_type()
        with pytest.raises(panic):
            try:
                korvex.VolGeo.with_params(Stamp(0.0), growing_dict())
            except Exception:  # noqa: BLE001
                pytest.fail("PanicException must not be an Exception")


class TestBorrow:
    def test_exclusive_then_shared_reentry(self):
        m = korvex.VolGeo(Stamp(0.0))
        seen = []

        class Reenter:
            def __float__(self):
                try:
                    m.get_vol(1.0, 100.0, [100.0])
                except RuntimeError as e:
                    seen.append(str(e))
                return 25.0

        m.set_param("vvol", Reenter())
        assert seen == ["Already mutably borrowed"]
        assert m.get_parameter("vvol") == 25.0

    def test_borrow_taken_before_conversion_error(self):
        m = korvex.VolGeo(Stamp(0.0))
        seen = []

        class Reenter:
            def __float__(self):
                try:
                    m.arb_free()
                except RuntimeError as e:
                    seen.append(str(e))
                raise TypeError("nope")

        with pytest.raises(TypeError, match="argument 'value': nope"):
            m.set_param("vvol", Reenter())
        assert seen == ["Already mutably borrowed"]
        # released after the failure
        m.set_param("vvol", 30.0)
        assert m.get_parameter("vvol") == 30.0

    def test_shared_then_exclusive_reentry(self):
        m = korvex.GVVSpline(Stamp(0.0))
        seen = []

        class Reenter:
            def __float__(self):
                for call in (lambda: m.set_param("skew", 1.0), lambda: m.reanchor(1.0, 1.0),
                             lambda: m.bump_param("skew", 1.0)):
                    try:
                        call()
                    except RuntimeError as e:
                        seen.append(str(e))
                # shared borrows stack
                seen.append(m.arb_free())
                return 100.0

        assert m.get_vol(1.0, 100.0, [Reenter()]) == [0.5]
        assert seen == ["Already borrowed"] * 3 + [True]
        assert m.get_parameter("skew") == 0.0

    def test_calendar_reentry_from_timestamp(self):
        cal = korvex.Calendar("BTCUSDT")
        seen = []

        class Ts:
            def timestamp(self):
                try:
                    cal.get_bus_ttx(Stamp(0.0), Stamp(0.0))
                except RuntimeError as e:
                    seen.append(str(e))
                return 0.0

        assert cal.get_bus_ttx(Ts(), Stamp(0.0)) == 0.0
        assert seen == ["Already borrowed"]


def test_instances_are_released():
    gc.collect()
    before = len(gc.get_objects())
    for _ in range(2000):
        korvex.CubicSpline(Stamp(0.0)).get_param_dict()
    gc.collect()
    assert len(gc.get_objects()) - before < 50
