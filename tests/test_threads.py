"""Several Python threads on the same instances.

Calls into the module hold the interpreter lock, but the Python code that a
call runs for its arguments (__float__, timestamp()) lets other threads in
while the instance is borrowed. With a tiny switch interval, threads that
hammer one calendar and one model of each kind therefore meet threads whose
callbacks re-enter those same instances. The only errors allowed are the
borrow refusals; nothing may crash or hang, results must stay right, and
every instance must be usable afterwards.
"""
import datetime as dt
import math
import sys
import threading
import time

import pytest

import korvex

pytestmark = pytest.mark.slow

UTC = dt.timezone.utc
EXPIRY = dt.datetime(2027, 3, 26, 8, 0, tzinfo=UTC)
FROM = dt.datetime(2026, 1, 5, 9, 30, tzinfo=UTC)
TO = dt.datetime(2026, 9, 25, 8, 0, tzinfo=UTC)
STRIKES = [70.0, 85.0, 100.0, 115.0, 130.0]
REFUSALS = {"Already borrowed", "Already mutably borrowed"}
SECONDS = 1.5
MODELS = [korvex.GVVSpline, korvex.VolGeo, korvex.CubicSpline]


class Outcome:
    """What the threads saw, shared between them."""

    def __init__(self):
        self.lock = threading.Lock()
        self.refused = 0
        self.calls = 0
        self.errors = []

    def attempt(self, call):
        """Runs one call; a borrow refusal is counted, anything else recorded."""
        try:
            result = call()
        except RuntimeError as exc:
            if str(exc) not in REFUSALS:
                self.record(exc)
                return None
            with self.lock:
                self.refused += 1
            return None
        except BaseException as exc:  # noqa: BLE001 - nothing else may escape
            self.record(exc)
            return None
        with self.lock:
            self.calls += 1
        return result

    def record(self, exc):
        with self.lock:
            self.errors.append(f"{threading.current_thread().name}: {type(exc).__name__}: {exc}")

    def check(self, condition, what):
        if not condition:
            with self.lock:
                self.errors.append(f"{threading.current_thread().name}: {what}")


class Reentrant:
    """A float and an instant whose conversion yields the interpreter lock
    and calls back into the instances that may be borrowed right now. With
    `propagate`, the first refusal it meets ends the outer call too."""

    def __init__(self, value, callbacks, outcome, propagate=False):
        self.value, self.callbacks, self.outcome, self.propagate = value, callbacks, outcome, propagate

    def _reenter(self):
        for callback in self.callbacks:
            time.sleep(0)  # let the other threads run while the borrow is held
            if self.propagate:
                callback()
            else:
                self.outcome.attempt(callback)
        return self.value

    __float__ = _reenter
    timestamp = _reenter


@pytest.fixture
def fast_switching():
    before = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    yield
    sys.setswitchinterval(before)


def test_threads_and_reentry(fast_switching):
    cal = korvex.Calendar("BTCUSDT")
    models = [cls(EXPIRY) for cls in MODELS]
    bus = cal.get_bus_ttx(FROM, TO)
    cal_ttx = korvex.Calendar.get_cal_ttx(FROM, TO)
    tenor = korvex.Calendar.tenor_to_ttx("3m")
    out = Outcome()
    deadline = time.monotonic() + SECONDS

    def every_model_call(m):
        return [
            lambda: m.get_vol(0.5, 100.0, STRIKES),
            lambda: m.get_vol_single(0.5, 100.0, 90.0),
            lambda: m.set_param("ref_vol", 50.0),
            lambda: m.bump_param("ref_vol", 0.0),
            lambda: m.reanchor(100.0, 0.5),
            m.arb_free,
            m.get_param_dict,
            lambda: m.get_parameter("ref_vol"),
        ]

    def hammer_model(m):
        calls = every_model_call(m)
        i = 0
        while time.monotonic() < deadline:
            result = out.attempt(calls[i % len(calls)])
            if i % len(calls) == 0 and result is not None:
                out.check(len(result) == len(STRIKES) and all(isinstance(v, float) for v in result),
                          f"get_vol gave {result!r}")
            i += 1

    def hammer_calendar():
        while time.monotonic() < deadline:
            got = out.attempt(lambda: cal.get_bus_ttx(FROM, TO))
            out.check(got is None or got == bus, f"get_bus_ttx gave {got!r}, not {bus!r}")
            out.check(korvex.Calendar.get_cal_ttx(FROM, TO) == cal_ttx, "get_cal_ttx changed")
            out.check(cal.tenor_to_ttx("3m") == tenor, "tenor_to_ttx changed")

    def reenter_models():
        # Each call holds a borrow while its argument calls back into every
        # instance: the same model (refused or stacked), the others, the calendar.
        propagate = False
        while time.monotonic() < deadline:
            propagate = not propagate
            for m in models:
                back = every_model_call(m) + [lambda: cal.get_bus_ttx(FROM, TO)]
                x = Reentrant(100.0, back, out, propagate)
                out.attempt(lambda: m.set_param("ref_vol", Reentrant(50.0, back, out, propagate)))
                out.attempt(lambda: m.get_vol(0.5, 100.0, [90.0, x, 110.0]))
                out.attempt(lambda: m.reanchor(x, 0.5))
                out.attempt(lambda: m.bump_param("ref_vol", Reentrant(0.0, back, out, propagate)))
                out.attempt(lambda: type(m).with_params(x, {"ref_vol": Reentrant(50.0, back, out, propagate)}))

    def reenter_calendar():
        back = [lambda: cal.get_bus_ttx(FROM, TO)] + [lambda m=m: m.get_vol(0.5, 100.0, STRIKES) for m in models]
        propagate = False
        while time.monotonic() < deadline:
            propagate = not propagate
            start = Reentrant(FROM.timestamp(), back, out, propagate)
            got = out.attempt(lambda: cal.get_bus_ttx(start, TO))
            out.check(got is None or got == bus, f"re-entered get_bus_ttx gave {got!r}, not {bus!r}")
            out.attempt(lambda: korvex.Calendar.get_cal_ttx(Reentrant(0.0, back, out), TO))
            out.attempt(lambda: korvex.GVVSpline(Reentrant(0.0, back, out)))

    def churn():
        # instances made and dropped while the others run
        while time.monotonic() < deadline:
            for cls in MODELS:
                out.attempt(lambda: cls.with_params(EXPIRY, {"ref_vol": 40.0}).get_vol(0.5, 100.0, STRIKES))
            out.attempt(lambda: korvex.Calendar("BTCUSDT").get_bus_ttx(FROM, TO))

    def thread(name, body, *args):
        def guarded():
            try:
                body(*args)
            except BaseException as exc:  # noqa: BLE001 - reported, not lost in the thread
                out.record(exc)

        return threading.Thread(target=guarded, name=name)

    workers = [thread(f"hammer-{type(m).__name__}", hammer_model, m) for m in models]
    workers += [thread("hammer-GVVSpline-2", hammer_model, models[0])]
    workers += [thread(f"hammer-calendar-{i}", hammer_calendar) for i in range(2)]
    workers += [thread(f"reenter-models-{i}", reenter_models) for i in range(2)]
    workers += [thread("reenter-calendar", reenter_calendar), thread("churn", churn)]
    for w in workers:
        w.start()
    for w in workers:
        w.join(timeout=SECONDS + 30)
    assert not any(w.is_alive() for w in workers), "a thread hangs"
    assert not out.errors, "\n".join(out.errors[:20])
    # the threads really met: calls went through and borrows were refused
    assert out.calls > 1000 and out.refused > 100, (out.calls, out.refused)

    # every instance is free again and intact
    for m in models:
        m.set_param("ref_vol", 45.0)
        m.reanchor(100.0, 0.5)
        m.set_param("ref_vol", 45.0)
        fresh = type(m).with_params(EXPIRY, m.get_param_dict())
        assert m.get_vol(0.5, 100.0, STRIKES) == fresh.get_vol(0.5, 100.0, STRIKES)
        assert all(math.isfinite(v) for v in m.get_vol(0.5, 100.0, STRIKES))
    assert cal.get_bus_ttx(FROM, TO) == bus
