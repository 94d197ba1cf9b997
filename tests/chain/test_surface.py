"""The volatility surface built from fitted smiles: its rules in time, its
times, its calendar check and its quote table, against plain numpy."""

import math

import numpy as np
import pytest

pytest.importorskip("korvex_chain._kernels")
pd = pytest.importorskip("pandas")
pytest.importorskip("scipy")

import korvex  # noqa: E402
import korvex_chain as kc  # noqa: E402
from chain_support import assert_same_bits  # noqa: E402
from scipy.special import ndtr  # noqa: E402

MODELS = ("GVVSpline", "CubicSpline", "VolGeo")
DAYS = (1, 2, 3, 7, 14, 21, 30, 60, 91, 182, 273, 364)


@pytest.fixture(scope="module")
def chain():
    return kc.read_chain(kc.make_chain("VolGeo", seed=5, expiry_days=DAYS).table)


@pytest.fixture(scope="module", params=MODELS)
def fits(request, chain):
    return kc.fit_chain(chain, request.param)


@pytest.fixture(scope="module")
def surface(fits):
    return fits.surface()


def _node_w(fit, k):
    """Total variance of a fitted smile at log-forward-moneyness k (numpy)."""
    v = fit.vols(fit.forward * np.exp(k))
    return v * v * fit.ttx


def _exp(k):
    """exp of the platform's C library, as the compiled surface takes it."""
    return np.array([math.exp(x) for x in np.ravel(k)]).reshape(np.shape(k))


# ---------------------------------------------------------------- the rules in time

def test_fitted_expiries_are_the_fitted_smiles_bit_for_bit(surface):
    k = np.linspace(-0.8, 0.8, 41)
    for f in surface.fits:
        strikes = f.forward * np.exp(k)
        assert_same_bits(surface.vol(f.expiry, strikes), f.vols(strikes), f"{f.expiry} strikes")
        assert_same_bits(surface.vol(f.expiry, k=k), f.vols(f.forward * _exp(k)), f"{f.expiry} k")
        v = f.vols(strikes)
        assert_same_bits(surface.total_variance(f.expiry, strikes=strikes), v * v * f.ttx, f"{f.expiry} w")
        assert surface.forward(f.expiry) == f.forward and surface.ttx(f.expiry) == f.ttx
        # The same instant in every form the kernels accept, and as years.
        for when in (f.expiry.tz_convert("America/New_York"), f.expiry.to_pydatetime(),
                     np.datetime64(f.expiry.tz_localize(None), "ms"), f.ttx):
            assert_same_bits(surface.vol(when, strikes), v, f"{f.expiry} as {type(when).__name__}")


def test_between_expiries_total_variance_is_linear_in_time_at_fixed_k(surface):
    t, fits = surface.times, surface.fits
    k = np.linspace(-0.6, 0.6, 25)
    for j in range(len(fits) - 1):
        for a in (0.1, 0.5, 0.93):
            theta = t[j] + a * (t[j + 1] - t[j])
            a_ = (theta - t[j]) / (t[j + 1] - t[j])
            expect = (1 - a_) * _node_w(fits[j], k) + a_ * _node_w(fits[j + 1], k)
            np.testing.assert_allclose(surface.total_variance(theta, k), expect, rtol=1e-13, atol=0)
            np.testing.assert_allclose(surface.vol(theta, k=k), np.sqrt(expect / theta), rtol=1e-13)
            lnf = (1 - a_) * math.log(fits[j].forward) + a_ * math.log(fits[j + 1].forward)
            assert surface.forward(theta) == pytest.approx(math.exp(lnf), rel=1e-14)
            # Strikes are read at the forward of their own time.
            strikes = surface.forward(theta) * np.exp(k)
            np.testing.assert_allclose(surface.vol(theta, strikes), surface.vol(theta, k=k), rtol=1e-12)


def test_no_jump_at_an_expiry(surface):
    k = np.linspace(-0.5, 0.5, 101)
    for f, t in zip(surface.fits, surface.times):
        at = surface.vol(t, k=k)
        for side in (-1, 1):
            near = surface.vol(t * (1 + side * 1e-9), k=k)
            np.testing.assert_allclose(near, at, rtol=2e-7, err_msg=f"{f.expiry} side {side}")
    # and in strike space, whose k moves with the forward
    f = surface.fits[3]
    strikes = f.forward * np.exp(k)
    np.testing.assert_allclose(surface.vol(surface.times[3] * (1 + 1e-9), strikes), f.vols(strikes), rtol=2e-7)


def test_before_the_first_and_after_the_last_expiry(surface):
    t, fits = surface.times, surface.fits
    k = np.linspace(-0.4, 0.4, 17)
    first = surface.vol(t[0], k=k)
    for theta in (0.0, 1e-6, 0.5 * t[0]):
        assert_same_bits(surface.vol(theta, k=k), first, f"constant vol at fixed k, t={theta}")
    assert np.all(surface.total_variance(0.0, k) == 0.0)
    assert np.isnan(surface.vol(-1e-9, k=k)).all() and np.isnan(surface.forward(-0.1))
    # ln F continues with the first and the last interval's slope.
    slope0 = (math.log(fits[1].forward) - math.log(fits[0].forward)) / (t[1] - t[0])
    assert surface.forward(0.0) == pytest.approx(fits[0].forward * math.exp(-slope0 * t[0]), rel=1e-13)
    # After the last: the last interval's forward variance, floored at zero.
    fv = np.maximum((_node_w(fits[-1], k) - _node_w(fits[-2], k)) / (t[-1] - t[-2]), 0.0)
    for extra in (0.01, 1.0):
        np.testing.assert_allclose(surface.total_variance(t[-1] + extra, k), _node_w(fits[-1], k) + extra * fv,
                                   rtol=1e-13)
    assert np.isnan(surface.vol(np.nan, k=k)).all()


def test_a_single_expiry_keeps_its_vol_at_fixed_k(chain):
    cf = kc.fit_chain(chain, "VolGeo", expiries=[chain.expiries["expiry"].iloc[5]])
    s = cf.surface()
    k = np.linspace(-0.3, 0.3, 7)
    at = s.vol(s.times[0], k=k)
    for theta in (0.001, 2.0, 10.0):
        assert_same_bits(s.vol(theta, k=k), at, f"t={theta}")
    assert s.forward(3.0) == s.forwards[0]


def test_arrays_broadcast_and_scalars_stay_scalars(surface):
    k = np.linspace(-0.2, 0.2, 5)
    times = np.array([0.01, 0.1, 0.4])
    grid = surface.vol(times[:, None], k=k[None, :])
    assert grid.shape == (3, 5)
    for i, t in enumerate(times):
        assert_same_bits(grid[i], surface.vol(t, k=k), f"row {i}")
    assert np.ndim(surface.vol("1m", k=0.0)) == 0 and isinstance(surface.ttx("1m"), float)
    assert surface.vol(np.empty(0), k=0.1).shape == (0,)
    with pytest.raises(ValueError, match="cannot be broadcast"):
        surface.vol(np.zeros(3), k=np.zeros(4))
    with pytest.raises(TypeError, match="one of the two"):
        surface.vol("1m")
    with pytest.raises(TypeError, match="one of the two"):
        surface.vol("1m", [1.0], k=[0.0])
    # Strikes that are no strikes give NaN, never a number.
    assert np.isnan(surface.vol("1m", [0.0, -5.0, np.nan, np.inf])).all()


# ---------------------------------------------------------------- times

def test_times_in_every_form(surface):
    obs = surface.observation_time
    month = obs + pd.Timedelta(days=30)
    expect = korvex.Calendar.get_cal_ttx(obs.to_pydatetime(), month.to_pydatetime())
    assert surface.ttx("1m") == expect
    assert surface.ttx(month) == expect and surface.ttx(pd.Timedelta(days=30)) == expect
    assert surface.ttx(np.timedelta64(30, "D")) == expect
    np.testing.assert_array_equal(surface.ttx(["1w", "1m", "1y"]),
                                  [surface.ttx("7d"), expect, surface.ttx("365d")])
    mixed = surface.ttx(["1m", month, 0.25, None, pd.NaT, pd.Timedelta(days=30)])
    np.testing.assert_array_equal(mixed[[0, 1, 2, 5]], [expect, expect, 0.25, expect])
    assert np.isnan(mixed[[3, 4]]).all()
    series = pd.Series(pd.to_datetime([month, month + pd.Timedelta(days=1)]))
    np.testing.assert_array_equal(surface.ttx(series)[:1], [expect])
    np.testing.assert_array_equal(surface.ttx(np.array([0.1, 0.2])), [0.1, 0.2])
    assert surface.ttx("-1d") < 0 and np.isnan(surface.vol("-1d", k=0.0))
    assert np.isnan(surface.ttx("1e12d")) and np.isnan(surface.ttx("nand"))
    for bad, msg in (("1M", "Invalid tenor format: 1M"), ("1 d", "invalid float literal"),
                     ("d", "cannot parse float from empty string")):
        with pytest.raises(ValueError, match=msg):
            surface.ttx(bad)
    with pytest.raises(TypeError):
        surface.ttx(True)
    with pytest.raises(TypeError):
        surface.ttx(object())


def test_the_business_clock_weights_the_variance(chain):
    cal = kc.fit_chain(chain, "VolGeo")
    bus = cal.surface(clock="business")
    s = cal.surface()
    obs = np.datetime64(s.observation_time.tz_localize(None), "ns")
    exp = np.array([e.tz_localize(None).to_datetime64() for e in s.expiries])
    np.testing.assert_array_equal(bus.times, kc.bus_ttx(obs, exp))
    k = np.linspace(-0.3, 0.3, 13)
    for f in s.fits:
        # The same total variance at each expiry, restated per business year.
        np.testing.assert_allclose(bus.total_variance(f.expiry, k), s.total_variance(f.expiry, k), rtol=1e-15)
    # Between two expiries the weight of each hour decides: an instant a
    # quarter of the way in business time carries a quarter of the variance.
    j = 6
    inst = s.expiries[j] + (s.expiries[j + 1] - s.expiries[j]) * np.linspace(0.05, 0.95, 11)
    share = (bus.ttx(inst) - bus.times[j]) / (bus.times[j + 1] - bus.times[j])
    w0, w1 = s.total_variance(s.expiries[j], k), s.total_variance(s.expiries[j + 1], k)
    for a, t in zip(share, inst):
        np.testing.assert_allclose(bus.total_variance(t, k), (1 - a) * w0 + a * w1, rtol=1e-12)
    assert not np.allclose(share, np.linspace(0.05, 0.95, 11), atol=1e-3)  # weights are not calendar days
    # A business-clock chain keeps its fitted smiles exactly.
    ch_b = kc.read_chain(kc.make_chain("VolGeo", seed=5, expiry_days=(7, 30, 91)).table, clock="business")
    fb = kc.fit_chain(ch_b, "VolGeo")
    sb = fb.surface()
    assert sb.clock == "business"
    for f in fb.fits:
        assert_same_bits(sb.vol(f.expiry, f.forward * np.exp(k)), f.vols(f.forward * np.exp(k)), "business")
    with pytest.raises(ValueError, match="unknown clock"):
        cal.surface(clock="trading")
    with pytest.raises(ValueError):
        cal.surface(clock="business", calendar="NO_SUCH_CALENDAR")
    assert "(BTCUSDT)" in repr(bus)


def test_only_fitted_expiries_and_the_named_underlying(chain, fits):
    broken = kc.ChainFit(fits.model_name, list(fits.fits), fits.clock, fits.observation_time)
    failed = broken.fits[2]
    broken.fits[2] = type(failed)(**{**failed.__dict__, "model": None, "status": "failed",
                                     "message": "fit failed: test"})
    s = broken.surface()
    assert len(s.fits) == len(fits.fits) - 1 and failed.expiry not in set(s.expiries)
    assert s.skipped["reason"].tolist() == ["fit failed: fit failed: test"] and "1 skipped" in repr(s)
    # Between its neighbours the failed expiry is simply interpolated.
    t = s.ttx(failed.expiry)
    assert np.isfinite(s.vol(t, k=np.zeros(3))).all()
    nothing = kc.ChainFit(fits.model_name, [type(f)(**{**f.__dict__, "model": None, "status": "failed"})
                                            for f in fits.fits], fits.clock, fits.observation_time)
    with pytest.raises(ValueError, match="no fitted expiry"):
        nothing.surface()
    two = kc.read_chain(pd.concat([kc.make_chain(seed=1, expiry_days=(7, 30)).table,
                                   kc.make_chain(underlying="ETH", spot=3000.0, seed=2, expiry_days=(7, 30)).table]))
    both = kc.fit_chain(two, "VolGeo")
    with pytest.raises(ValueError, match="name one"):
        both.surface()
    assert both.surface("ETH").underlying == "ETH" and kc.Surface(both, "BTC").forwards[0] > 10_000
    with pytest.raises(KeyError):
        both.surface("SOL")
    no_time = kc.ChainFit(fits.model_name, fits.fits, fits.clock)
    with pytest.raises(ValueError, match="observation_time"):
        no_time.surface()
    assert no_time.surface(observation_time=fits.observation_time).times[0] == fits.surface().times[0]


def test_the_calendar_checks_surface_serves_only_unchanged_fits(chain, fits):
    # fit_chain keeps the surfaces its calendar check built; the history's
    # quotes reuse one only while the fits it was built from are untouched.
    kept = fits._surface_of("BTC")
    assert kept is fits._surface_of("BTC")
    assert_same_bits(kept.quotes().to_numpy(float), fits.surface().quotes().to_numpy(float))
    changed = kc.fit_chain(chain, fits.model_name)
    kept = changed._surface_of("BTC")
    last = changed.fits[-1]
    changed.fits[-1] = type(last)(**{**last.__dict__, "model": None, "status": "failed"})
    fresh = changed._surface_of("BTC")
    assert fresh is not kept and len(fresh.fits) == len(kept.fits) - 1
    changed.fits.pop()
    assert changed._surface_of("BTC") is not kept


# ---------------------------------------------------------------- calendar arbitrage

def test_calendar_check_finds_falling_total_variance(chain):
    clean = kc.fit_chain(chain, "VolGeo").surface()
    assert not any(r.has_arbitrage for r in clean.calendar_arbitrage())
    # A chain whose 30-day expiry is 15 vol points lower than its neighbours.
    def params(ttx, fwd):
        p = kc.synthetic.true_params("VolGeo", ttx, fwd)
        if abs(ttx * 365 - 30.9) < 1:
            p["ref_vol"] -= 15.0
        return p
    bad = kc.read_chain(kc.make_chain("VolGeo", seed=5, expiry_days=DAYS, params=params).table)
    s = kc.fit_chain(bad, "VolGeo").surface()
    reports = s.calendar_arbitrage()
    flagged = [r for r in reports if r.has_arbitrage]
    assert len(flagged) == 1 and flagged[0].later.day == (s.observation_time + pd.Timedelta(days=30)).day
    r = flagged[0]
    i = list(s.expiries).index(r.earlier)
    k = np.linspace(*r.k_range, 401)
    fall = _node_w(s.fits[i], k) - _node_w(s.fits[i + 1], k)
    assert r.depth == pytest.approx(fall.max(), rel=1e-12)
    lo, hi = r.regions[0]
    assert lo <= k[np.argmax(fall)] <= hi and r.depth_vp > 5
    t = s.calendar_table()
    assert t["arbitrage"].sum() == 1 and "total variance falls" in t.loc[t["arbitrage"], "where"].iloc[0]


# ---------------------------------------------------------------- the quote table

def _brute_quotes(surface, when, pa=False, points=400_001):
    """25-delta quotes from a dense grid of k (numpy, no root solving)."""
    k = np.linspace(-4, 4, points)
    v = surface.vol(when, k=k)
    w = v * v * surface.ttx(when)
    u = np.sqrt(w)
    d1 = -k / u + u / 2
    if pa:
        call, put = np.exp(k) * ndtr(d1 - u), -np.exp(k) * ndtr(u - d1)
    else:
        call, put = ndtr(d1), ndtr(d1) - 1
    ic = np.flatnonzero((call[:-1] >= 0.25) & (call[1:] < 0.25))[-1]
    ip = np.flatnonzero((put[:-1] >= -0.25) & (put[1:] < -0.25))[0]
    return v[ic], v[ip], k[ic], k[ip]


@pytest.mark.parametrize("pa", [False, True])
def test_quotes_solve_the_delta_strikes_on_the_surface(surface, pa):
    q = surface.quotes(delta="premium_adjusted" if pa else "forward")
    assert list(q.index) == ["1w", "2w", "1m", "2m", "3m", "6m", "1y"]
    assert {"expiry", "time", "forward", "atm_vol", "rr25", "bf25", "rr10", "bf10", "call25_strike"} <= set(q)
    for tenor in ("1w", "1m", "1y"):
        row = q.loc[tenor]
        assert row["time"] == surface.ttx(tenor) and row["expiry"] == surface.observation_time + pd.Timedelta(
            korvex.Calendar.tenor_to_ttx(tenor) * 365, "D")
        cv, pv, kc_, kp = _brute_quotes(surface, tenor, pa)
        step = 8 / 400_000
        assert abs(math.log(row["call25_strike"] / row["forward"]) - kc_) <= step
        assert abs(math.log(row["put25_strike"] / row["forward"]) - kp) <= step
        assert row["rr25"] == pytest.approx(cv - pv, abs=2e-4)
        assert row["atm_vol"] == surface.vol(tenor, k=0.0) and row["atm_strike"] == row["forward"]
        assert row["bf25"] == pytest.approx(0.5 * (row["call25_vol"] + row["put25_vol"]) - row["atm_vol"], abs=1e-15)
        # The solved strikes give their deltas to machine precision.
        t = row["time"]
        for side, target in (("call", 0.25), ("put", -0.25), ("call", 0.10), ("put", -0.10)):
            strike, vol = row[f"{side}{round(abs(target) * 100)}_strike"], row[f"{side}{round(abs(target) * 100)}_vol"]
            assert surface.vol(tenor, [strike])[0] == pytest.approx(vol, rel=1e-9)
            g = kc.b76(row["forward"], strike, t, vol, side)
            d = g.delta if not pa else g.delta - g.fairvalue / row["forward"]
            assert d == pytest.approx(target, abs=1e-9)


def test_quote_conventions(surface):
    dns = surface.quotes(("1m", "1y"), deltas=(25,), atm="delta_neutral")
    for tenor, row in dns.iterrows():
        g = kc.b76(row["forward"], row["atm_strike"], row["time"], row["atm_vol"], np.array(["c", "p"]))
        assert g.delta.sum() == pytest.approx(0.0, abs=1e-9)
        assert list(dns.columns).count("rr25") == 1 and "rr10" not in dns
    # At a listed expiry the table reads the fitted smile itself.
    f = surface.fits[7]
    q = surface.quotes([f.expiry, "1m", 0.3])
    assert q.index[0] == f.expiry.strftime("%Y-%m-%d %H:%M") and q.index[2] == "0.3y"
    row = q.iloc[0]
    assert row["call25_vol"] == f.vols([row["call25_strike"]])[0] and row["expiry"] == f.expiry
    assert pd.isna(q["expiry"].iloc[2])
    for bad in ((0,), (50,), (-10,)):
        with pytest.raises(ValueError, match="between 0 and 50"):
            surface.quotes(deltas=bad)
    with pytest.raises(ValueError, match="unknown delta"):
        surface.quotes(delta="spot")
    with pytest.raises(ValueError, match="unknown atm"):
        surface.quotes(atm="spot")
    # A flat smile has neither skew nor smile.
    flat = kc.read_chain(kc.make_chain("GVVSpline", seed=1, expiry_days=(30, 91),
                                       params=lambda t, fw: {"ref_spot": fw, "ref_vol": 50.0, "skew": 0.0,
                                                             "smile": 1.0}).table)
    fq = kc.fit_chain(flat, "GVVSpline").surface().quotes(("2m",))
    assert abs(fq["rr25"].iloc[0]) < 2e-3 and abs(fq["bf25"].iloc[0]) < 2e-3


def test_plot_surface_writes_a_picture(surface, tmp_path):
    pytest.importorskip("matplotlib")
    out = kc.plot_surface(surface, tmp_path / "s.png", dpi=60)
    assert out == tmp_path / "s.png"
    with open(out, "rb") as fh:
        head = fh.read(24)
    assert head[:8] == b"\x89PNG\r\n\x1a\n"
    width, height = int.from_bytes(head[16:20], "big"), int.from_bytes(head[20:24], "big")
    assert (width, height) == (720, 492)
    one = kc.fit_chain(kc.read_chain(kc.make_chain(seed=2, expiry_days=(30,)).table), "VolGeo").surface()
    kc.plot_surface(one, tmp_path / "one.png", deltas=(25,), delta="premium_adjusted", dpi=40)
    assert (tmp_path / "one.png").stat().st_size > 1000


# ---------------------------------------------------------------- the repair

def _lowered_30_days(ttx, fwd):
    p = kc.synthetic.true_params("GVVSpline", ttx, fwd)
    if abs(ttx * 365 - 30.9) < 1:
        p["ref_vol"] -= 12.0
    return p


@pytest.fixture(scope="module")
def arbitraged_table():
    """A chain whose 30-day expiry is 12 vol points below its neighbours:
    its quotes themselves fall in total variance from the 21-day expiry."""
    return kc.make_chain("GVVSpline", seed=5, expiry_days=DAYS, params=_lowered_30_days).table


@pytest.fixture(scope="module")
def arbitraged(arbitraged_table):
    return kc.read_chain(arbitraged_table)


@pytest.mark.parametrize("model", MODELS)
def test_repair_leaves_no_calendar_arbitrage_and_moves_only_the_smiles_involved(arbitraged, model):
    report = kc.fit_chain(arbitraged, model)
    assert report.calendar_repair is None and any(r.has_arbitrage for r in report.calendar_arbitrage)
    assert report.calendar_arbitrage == report.surface().calendar_arbitrage()
    fixed = kc.fit_chain(arbitraged, model, calendar_arbitrage="repair")
    assert not any(r.has_arbitrage for r in fixed.calendar_arbitrage)
    moved = fixed.calendar_repair.set_index("expiry")
    assert len(moved) >= 1
    for before, after in zip(report.fits, fixed.fits):
        if after.expiry in moved.index:
            row = moved.loc[after.expiry]
            assert before.params != after.params and after.model.arb_free()
            assert (row["rmse_before"], row["inside_before"]) == (before.rmse, before.inside)
            assert (row["rmse_after"], row["inside_after"]) == (after.rmse, after.inside)
            assert any(w.startswith("moved by the calendar-arbitrage repair") for w in after.warnings)
            assert np.isfinite(after.fit_iv).all() and after.fit_iv.shape == before.fit_iv.shape
            if model != "CubicSpline":
                assert not after.arbitrage.has_arbitrage, after.summary()
        else:
            assert before.params == after.params and before.warnings == after.warnings
    # Total variance never falls in time, on a fine grid of every interval.
    s = fixed.surface()
    for i in range(len(s.fits) - 1):
        k = np.linspace(*s.pair_range(i), 401)
        t = np.linspace(s.times[i], s.times[i + 1], 50)
        assert np.all(np.diff(s.total_variance(t[:, None], k[None, :]), axis=0) >= 0), i
    assert "calendar_to_next" in fixed.table() and fixed.calendar_table()["arbitrage"].sum() == 0
    with pytest.raises(ValueError, match="calendar_arbitrage"):
        kc.fit_chain(arbitraged, model, calendar_arbitrage="fix")


def test_repair_of_a_clean_chain_changes_nothing(chain):
    a = kc.fit_chain(chain, "GVVSpline")
    b = kc.fit_chain(chain, "GVVSpline", calendar_arbitrage="repair")
    assert b.calendar_repair.empty and [f.params for f in a.fits] == [f.params for f in b.fits]


def test_command_line_reports_and_repairs_calendar_arbitrage(arbitraged_table, tmp_path, capsys):
    from korvex_chain import cli

    src = tmp_path / "c.csv"
    arbitraged_table.to_csv(src, index=False)
    assert cli.main(["fit", str(src), "--model", "VolGeo"]) == 0
    out = capsys.readouterr().out
    assert "calendar arbitrage: 1 of 11 pairs" in out and "total variance falls" in out
    fits = tmp_path / "fits.csv"
    assert cli.main(["fit", str(src), "--model", "VolGeo", "--calendar-arbitrage", "repair", "--out", str(fits)]) == 0
    out = capsys.readouterr().out
    assert "calendar arbitrage: 0 of 11 pairs" in out and "repaired by moving 2 smiles" in out
    table = pd.read_csv(fits)
    assert (table["calendar_to_next"].fillna("none") == "none").all()
