"""Fits, greeks, pictures and the command line on generated chains."""

import math

import numpy as np
import pytest

pytest.importorskip("korvex_chain._kernels")
pd = pytest.importorskip("pandas")
pytest.importorskip("scipy")

import korvex  # noqa: E402
import korvex_chain as kc  # noqa: E402
from korvex_chain import cli  # noqa: E402
from korvex_chain.fit import fit_residuals as kfit  # noqa: E402
from korvex_chain.fit.levenberg_marquardt import SolveStatus  # noqa: E402
from korvex_chain.fit.model_facts import SPLINE_KNOTS, WALL, model_facts  # noqa: E402
from korvex_chain.fit.starting_points import candidates  # noqa: E402

MODELS = ("GVVSpline", "CubicSpline", "VolGeo")


# The test's own oracles: the native residual, Jacobian and density checked
# against numpy formulas on the model's vols.

def _durrleman_g(k, w, h):
    """Durrleman's g(k) from total variance on a uniform grid (rows: parameter sets).

    The risk-neutral density of ln(S_T / F) is g(k) phi(d2) / sqrt(w(k)), so
    the density is negative exactly where g is. End points copy their
    neighbours' derivatives."""
    w = np.atleast_2d(w)
    w1 = np.empty_like(w)
    w2 = np.empty_like(w)
    w1[:, 1:-1] = (w[:, 2:] - w[:, :-2]) / (2.0 * h)
    w2[:, 1:-1] = (w[:, 2:] - 2.0 * w[:, 1:-1] + w[:, :-2]) / (h * h)
    w1[:, 0], w1[:, -1] = w1[:, 1], w1[:, -2]
    w2[:, 0], w2[:, -1] = w2[:, 1], w2[:, -2]
    with np.errstate(all="ignore"):
        a = 1.0 - k * w1 / (2.0 * w)
        return a * a - 0.25 * w1 * w1 * (1.0 / w + 0.25) + 0.5 * w2


def _soft_l1(r):
    """Signed square root of scipy's soft_l1 loss: sum(out^2) = sum(2 (sqrt(1 + r^2) - 1))."""
    return r * np.sqrt(2.0 / (np.sqrt(r * r + 1.0) + 1.0))


def _stencil_g(k, w, h):
    """Durrleman's g from total variance on (sets, points, 3) central stencils."""
    w0 = w[..., 1]
    w1 = (w[..., 2] - w[..., 0]) / (2.0 * h)
    w2 = (w[..., 2] - 2.0 * w0 + w[..., 0]) / (h * h)
    with np.errstate(all="ignore"):
        a = 1.0 - k * w1 / (2.0 * w0)
        return a * a - 0.25 * w1 * w1 * (1.0 / w0 + 0.25) + 0.5 * w2


def _spline_piece_w(vec, ttx, fwd, a, b):
    """The spline's total variance on its piece [a, b] of log-moneyness (a
    cubic between knots, a straight line beyond the outer ones), recovered
    from 40 of the model's own vols on it as a least-squares cubic in
    k - (a + b) / 2."""
    kk = np.linspace(a, b, 40)
    v = np.asarray(kc.model_vols("CubicSpline", vec, ttx, fwd, fwd * np.exp(kk)))
    return np.polynomial.Polynomial.fit(kk - 0.5 * (a + b), v * v * ttx, 3, domain=[-1, 1], window=[-1, 1])


def _density_g(prob, theta):
    """g at the problem's density points, per parameter set: fixed
    log-moneyness points from central stencils, or the spline's in
    at-the-money deviations (which move with each set's ref_vol, mirrored
    where it is negative), each on its own piece between knots, from the
    exact cubic of that piece."""
    full = prob.full(theta)
    out = np.empty((theta.shape[0], prob.pen_x.size if prob.kind == "CubicSpline" else prob.grid_k.size))
    stencil = np.array([-1.0, 0.0, 1.0])
    for i, row in enumerate(full):
        if prob.kind == "CubicSpline":
            sd = theta[i, 0] / 100.0 * math.sqrt(prob.ttx)
            X = SPLINE_KNOTS
            for j, (x, inside) in enumerate(zip(prob.pen_x, prob.pen_inside)):
                if inside < X[0]:
                    lo, hi = min(x, X[0] - 1.0), X[0]
                elif inside > X[-1]:
                    lo, hi = X[-1], max(x, X[-1] + 1.0)
                else:
                    n = np.searchsorted(X, inside)
                    lo, hi = X[n - 1], X[n]
                w = _spline_piece_w(row, prob.ttx, prob.forward, lo * sd, hi * sd)
                t = x * sd - 0.5 * (lo + hi) * sd
                out[i, j] = _g_of(x * sd, w(t), w.deriv()(t), w.deriv(2)(t))
            continue
        k, h = prob.grid_k, prob.grid_h
        # The C library's exp, as the kernel's: g's second differences would
        # magnify numpy's own exp's last-bit differences.
        strikes = prob.forward * np.array([math.exp(x) for x in (k[:, None] + stencil[None, :] * h).ravel()])
        v = np.asarray(kc.model_vols(prob.kind, row, prob.ttx, prob.forward, strikes))
        out[i] = _stencil_g(k, (v * v * prob.ttx).reshape(k.size, 3), h)
    return out


def _g_of(k, w, w1, w2):
    a = 1.0 - k * w1 / (2.0 * w)
    return a * a - 0.25 * w1 * w1 * (1.0 / w + 0.25) + 0.5 * w2


def _residuals_py(prob, theta):
    """The fit's residual rows from the model's vols and numpy, in the native
    order: band distance, pull to the mid, soft walls, density points (when
    on), regulariser; a quote whose vol is not finite gives FILL (and no pull
    where it has no mid)."""
    theta = np.atleast_2d(theta)
    v = np.asarray(kc.model_vols(prob.kind, prob.full(theta), prob.ttx, prob.forward, prob.strikes))
    band = _soft_l1((np.maximum(prob.lo - v, 0.0) + np.maximum(v - prob.hi, 0.0)) * prob.inv_scale)
    band = band * kfit.ROBUST_SCALE
    pull = _soft_l1((v - prob.mid0) * prob.inv_scale) * prob.pull_w
    finite = np.isfinite(v)
    band[~finite] = kfit.FILL
    pull[~finite] = np.where(prob.pull_w != 0, kfit.FILL, 0.0)[np.nonzero(~finite)[1]]
    parts = [band, pull, WALL * np.maximum(np.abs(theta) - prob.upper, 0.0)]
    if prob.density_on:
        g = _density_g(prob, theta)
        d = prob.density_weight * np.maximum(kfit.DENSITY_MARGIN - g, 0.0)
        d[~np.isfinite(d)] = kfit.FILL
        parts.append(d)
    if prob.reg_c.size:
        parts.append(theta @ prob.reg.T - prob.reg_c)
    return np.concatenate(parts, axis=1)


def _residuals_and_jacobian(prob, u):
    """Residual and forward-difference Jacobian at u: one native call."""
    prob.sync_density()
    rows = prob.native.rows()
    r = np.empty(rows)
    J = np.empty((rows, u.size))
    prob.native.residuals_jacobian(np.ascontiguousarray(u, dtype=float), r, J)
    return r, J


def _residuals_and_jacobian_py(prob, u):
    """The same from the numpy residual (any problem)."""
    h = 1e-6 * np.maximum(np.abs(u), 1.0)
    pts = np.repeat(u[None, :], u.size + 1, axis=0)
    pts[np.arange(1, u.size + 1), np.arange(u.size)] += h
    r = _residuals_py(prob, prob.to_theta(pts))
    return r[0], ((r[1:] - r[0]) / h[:, None]).T


@pytest.fixture(scope="module", params=MODELS)
def synthetic(request):
    syn = kc.make_chain(request.param, seed=7)
    chain = kc.read_chain(syn.table)
    return request.param, syn, chain, kc.fit_chain(chain, request.param)


def test_known_smile_is_fitted_back_within_its_noise(synthetic):
    model, syn, chain, cf = synthetic
    assert len(cf.fits) == len(syn.truth)
    for f in cf.fits:
        assert f.status in ("ok", "warning"), f.summary()
        assert f.model is not None and f.model.arb_free()
        truth = syn.truth[(f.underlying, f.expiry)]
        q = f.quotes
        two = q["quote_bid_iv"].notna() & q["quote_ask_iv"].notna()
        k = q.loc[two, "strike"].to_numpy(float)
        true = np.asarray(truth.get_vol(f.ttx, f.forward, k.tolist()))
        fitted = f.vols(k)
        half = 0.5 * (q.loc[two, "quote_ask_iv"] - q.loc[two, "quote_bid_iv"]).to_numpy()
        # Within the quotes' noise: the truth lies in each band, so the fit
        # must come within a half-spread of it (the tick rounding widens
        # far bands; the median error must be well inside).
        assert np.all(np.abs(fitted - true) <= half + 0.002), f.summary()
        assert np.median(np.abs(fitted - true)) < 0.004
        assert f.inside > 0.85
        assert not f.arbitrage.has_arbitrage
        assert f.params["ref_spot"] == f.forward


def test_report_counts_and_table(synthetic):
    model, syn, chain, cf = synthetic
    t = cf.table()
    names = set(getattr(korvex, model)(pd.Timestamp("2027-01-01", tz="UTC")).get_param_dict())
    assert {"underlying", "expiry_utc", "model", "forward", "ttx", "status"} | names <= set(t.columns)
    for f in cf.fits:
        n = len(chain.expiry_quotes(f.underlying, f.expiry))
        assert f.n_used + sum(f.excluded.values()) == n
        assert f.excluded.get("in the money", 0) > 0
        assert f.nfev > 0 and f.seconds > 0
    # The rows of the table rebuild each smile exactly through with_params.
    cls = getattr(korvex, model)
    for (_, row), f in zip(t.iterrows(), cf.fits):
        m = cls.with_params(pd.Timestamp(row["expiry_utc"]).to_pydatetime(), {n: row[n] for n in names})
        k = [0.8 * f.forward, f.forward, 1.3 * f.forward]
        assert m.get_vol(row["ttx"], row["forward"], k) == list(f.vols(k))


BAD_STARTS = {
    "GVVSpline": {"ref_vol": 5.0, "skew": 40.0, "smile": -3.0},
    "VolGeo": {"ref_vol": 0.5, "corr": 3.0, "vvol": 0.2},
    "CubicSpline": {"ref_vol": 0.5, "p25": -8.0, "p20": 5.0, "p15": -4.0, "p10": 0.0, "p05": 9.0,
                    "c05": -3.0, "c10": 2.0, "c15": 0.0, "c20": -6.0, "c25": -2.0},
}


@pytest.mark.parametrize("model", MODELS)
def test_inadmissible_and_distinct_starts_end_admissible_and_together(model):
    syn = kc.make_chain(model, seed=3, expiry_days=(30,), bad_rows=False)
    chain = kc.read_chain(syn.table)
    q = chain.quotes
    bad = kc.fit_smile(q, model, starting_points=[BAD_STARTS[model]], starts=1)
    assert bad.model is not None and bad.model.arb_free()
    ref = kc.fit_smile(q, model, starts=1)
    k = np.linspace(0.7, 1.4, 15) * ref.forward
    assert np.max(np.abs(bad.vols(k) - ref.vols(k))) * 100 < 0.01
    # A warm start from the previous fit lands on the same smile, faster.
    warm = kc.fit_smile(q, model, warm_start=ref, starts=1)
    assert np.max(np.abs(warm.vols(k) - ref.vols(k))) * 100 < 0.01
    assert warm.nfev <= ref.nfev


@pytest.mark.parametrize("model", MODELS)
def test_scipy_and_native_solvers_find_the_same_smile(model):
    # scipy's least_squares on the same residuals is the reference the
    # native Levenberg-Marquardt must agree with.
    syn = kc.make_chain(model, seed=5, expiry_days=(7, 91), bad_rows=False)
    chain = kc.read_chain(syn.table)
    native = kc.fit_chain(chain, model)
    ref = kc.fit_chain(chain, model, solver="scipy")
    for a, b in zip(native.fits, ref.fits):
        assert a.model is not None and b.model is not None and b.model.arb_free(), b.summary()
        k = np.linspace(0.7, 1.4, 15) * a.forward
        assert np.max(np.abs(a.vols(k) - b.vols(k))) * 100 < 0.01, (a.summary(), b.summary())
    with pytest.raises(ValueError, match="unknown solver"):
        kc.fit_chain(chain, model, solver="newton")


def test_a_fit_that_cannot_be_done_says_so():
    syn = kc.make_chain("VolGeo", seed=1, expiry_days=(30,), bad_rows=False)
    q = kc.read_chain(syn.table).quotes
    itm = q[~q["otm"]]
    f = kc.fit_smile(itm, "VolGeo")
    assert f.status == "failed" and f.model is None and "no out-of-the-money" in f.message
    with pytest.raises(ValueError, match="unknown model"):
        kc.fit_smile(q, "SABR")
    with pytest.raises(ValueError, match="lack columns"):
        kc.fit_smile(q.drop(columns="quote_bid_iv"), "VolGeo")
    few = kc.fit_smile(q[q["otm"]].iloc[:2], "CubicSpline")
    assert any("too few quotes" in w for w in few.warnings) or few.status == "failed"


def test_nothing_the_reader_accepts_makes_a_fit_raise(monkeypatch):
    """A put struck at 5e-324 (log-moneyness -inf) is left out of the fit and
    counted; a computation that fails anyway ends as a failed fit that says
    why, never as an exception out of fit_chain or fit_smile."""
    import korvex_chain.fit as kfit_face
    syn = kc.make_chain("VolGeo", seed=1, expiry_days=(30,), bad_rows=False)
    t = syn.table
    tiny = t[t["option_type"] == "P"].iloc[:1].assign(strike=5e-324, instrument="BTC-TINY-P")
    with np.errstate(divide="ignore"):
        chain = kc.read_chain(pd.concat([t, tiny], ignore_index=True))
    assert np.isneginf(chain.quotes["log_moneyness"]).sum() == 1
    for model in MODELS:
        f = kc.fit_chain(chain, model).fits[0]
        assert f.ok and f.model is not None, f.summary()
        assert f.excluded.get("log-moneyness not finite") == 1
    q = chain.quotes.copy()
    q.loc[q.index[:3], "log_moneyness"] = [np.inf, -np.inf, np.nan]
    assert kc.fit_smile(q[q["otm"]], "VolGeo").ok

    def broken(*args, **kwargs):
        raise np.linalg.LinAlgError("SVD did not converge")

    monkeypatch.setattr(kfit_face, "make_problem", broken)
    f = kc.fit_chain(chain, "GVVSpline").fits[0]
    assert f.status == "failed" and f.model is None and "LinAlgError: SVD did not converge" in f.message
    assert "fit failed" in kc.fit_smile(q[q["otm"]], "VolGeo").summary()


def test_density_check_finds_butterfly_arbitrage():
    fwd, t = 100.0, 0.25
    good = korvex.VolGeo.with_params(pd.Timestamp("2027-01-01", tz="UTC"), {"ref_spot": fwd, "ref_vol": 60.0,
                                                                            "corr": -0.3, "vvol": 60.0})
    rep = kc.density_check("VolGeo", good.get_param_dict(), t, fwd, (-1.0, 1.0))
    assert not rep.has_arbitrage and rep.describe() == "none"
    # A kinked spline: a deep dip next to the money makes the density negative.
    wild = {"vpr": 1.0, "ref_spot": fwd, "ref_vol": 60.0, "p05": -25.0, "p10": 30.0, "p15": 0.0, "p20": 0.0,
            "p25": 0.0, "c05": 20.0, "c10": -25.0, "c15": 0.0, "c20": 0.0, "c25": 0.0}
    rep = kc.density_check("CubicSpline", wild, t, fwd, (-1.0, 1.0))
    assert rep.has_arbitrage and rep.depth < 0 and rep.regions
    assert all(lo <= hi for lo, hi in rep.regions)
    assert "negative density" in rep.describe()


# The density check against the test's own oracles of a smile's lowest
# density: each computed where its model is exact.

def _density_from(k, w, w1, w2):
    with np.errstate(all="ignore"):
        a = 1.0 - k * w1 / (2.0 * w)
        g = a * a - 0.25 * w1 * w1 * (1.0 / w + 0.25) + 0.5 * w2
        sw = np.sqrt(w)
        d2 = -k / sw - 0.5 * sw
        return g * np.exp(-0.5 * d2 * d2) / (sw * math.sqrt(2.0 * math.pi))


def _oracle_density(model, vec, ttx, lo, hi):
    """(k, density) on a dense sampling of [lo, hi]. The spline's variance is
    a cubic in k on each piece between knots: recovered from 40 of the
    model's own vols on the piece by a least-squares cubic, and its
    derivatives taken exactly, up to both ends of every piece (its one-sided
    values at the knots). VolGeo's variance is the larger root of a
    quadratic, differentiated in closed form. GVVSpline: central
    differences of the model's vols with a step of 1e-4 deviations."""
    names = list(kc.model_param_names(model))
    p = dict(zip(names, vec))
    sd = p["ref_vol"] / 100.0 * math.sqrt(ttx)
    if model == "CubicSpline":
        knots = SPLINE_KNOTS * sd
        edges = np.concatenate([[lo], knots[(knots > lo) & (knots < hi)], [hi]])
        ks, fs = [], []
        for a, b in zip(edges[:-1], edges[1:]):
            c = 0.5 * (a + b)
            kk = np.linspace(a, b, 40)
            v = np.asarray(kc.model_vols(model, vec, ttx, 1.0, np.exp(kk)))
            w = np.polynomial.Polynomial.fit(kk - c, v * v * ttx, 3)
            k = np.linspace(a, b, 20001)
            ks.append(k)
            fs.append(_density_from(k, w(k - c), w.deriv()(k - c), w.deriv(2)(k - c)))
        return np.concatenate(ks), np.concatenate(fs)
    k = np.linspace(lo, hi, 200001)
    if model == "VolGeo":
        r = math.sqrt(ttx)
        rho = math.tanh(p["corr"])
        s0 = p["ref_vol"] / 100.0
        beta = p["vvol"] * rho / 100.0
        gam = (1.0 - rho * rho) * p["vvol"] ** 2 / (s0 * 100.0) / 100.0
        x = k / r
        b, b1 = 2.0 * beta * s0 * x + s0 * s0, 2.0 * beta * s0
        s = np.sqrt(4.0 * gam * x * x + b * b)
        s1 = (4.0 * gam * x + b * b1) / s
        s2 = (4.0 * gam + b1 * b1 - s1 * s1) / s
        return k, _density_from(k, ttx * (s + b) / 2.0, r * (s1 + b1) / 2.0, (s2 / 2.0))
    h = 1e-4 * sd
    v = np.asarray(kc.model_vols(model, vec, ttx, 1.0, np.exp(np.stack([k - h, k, k + h], axis=1).ravel())))
    w = (v * v * ttx).reshape(-1, 3)
    return k, _density_from(k, w[:, 1], (w[:, 2] - w[:, 0]) / (2 * h), (w[:, 2] - 2 * w[:, 1] + w[:, 0]) / (h * h))


def _random_smiles(model, rng, n):
    """Parameter vectors (stored order, ref_spot 1) and times: market-like
    smiles, some with butterfly arbitrage."""
    names = list(kc.model_param_names(model))
    out = []
    for _ in range(n):
        p = dict(zip(names, model_facts(model).defaults))
        p.update(ref_spot=1.0, ref_vol=rng.uniform(30.0, 90.0))
        if model == "CubicSpline":
            for name, inc in zip(("p05", "p10", "p15", "p20", "p25", "c05", "c10", "c15", "c20", "c25"),
                                 rng.normal(0.0, 3.0, 10)):
                p[name] = abs(inc) if name in ("p25", "c25") else inc
        elif model == "VolGeo":
            p.update(corr=rng.normal(0.0, 0.6), vvol=rng.uniform(10.0, 400.0))
        else:
            p.update(skew=rng.normal(0.0, 30.0), smile=rng.uniform(1.0, 60.0))
        out.append((np.array([p[n] for n in names], float), float(rng.choice([0.002, 0.05, 0.5]))))
    return out


# A spline whose density dips below zero only next to its knot at -1.5
# deviations, over a stretch narrower than a 401-point grid's spacing.
_KNOT_DIP = {"vpr": 1.0, "ref_spot": 1.0, "ref_vol": 60.0, "p05": -1.6, "p10": -0.7, "p15": 2.6, "p20": -0.8,
             "p25": 3.2, "c05": 1.7, "c10": 4.0, "c15": 2.4, "c20": -0.2, "c25": 5.7}


@pytest.mark.parametrize("model", MODELS)
def test_density_check_reports_the_lowest_density_wherever_it_lies(model):
    """The check's depth within 1e-3 of the oracle's lowest density (over
    its peak), its regions holding the oracle's negative points; where the
    oracle finds none, neither does the check. Among the spline's cases, a
    dip next to a knot that a 401-point grid steps over."""
    cases = _random_smiles(model, np.random.default_rng(11), 12)
    if model == "CubicSpline":
        vec = np.array([_KNOT_DIP[n] for n in kc.model_param_names(model)])
        k = np.linspace(-0.537, 0.537, 401)
        grid = np.empty(k.size)
        from korvex_chain import _kernels
        _kernels.smile_density(model, vec, 0.05, 1.0, k, grid)
        assert grid.min() > 0.0   # the grid sees no arbitrage
        cases.insert(0, (vec, 0.05))
    found = 0
    for vec, ttx in cases:
        sd = vec[2] / 100.0 * math.sqrt(ttx)
        lo, hi = -4.0 * sd, 4.0 * sd
        k, f = _oracle_density(model, vec, ttx, lo, hi)
        peak = np.nanmax(f)
        want = np.nanmin(f) / peak
        rep = kc.density_check(model, vec, ttx, 1.0, (lo, hi))
        what = (model, vec.tolist(), ttx, want, rep.depth)
        if want < -1e-6:
            found += 1
            assert rep.has_arbitrage and abs(rep.depth - want) <= 1e-3 * abs(want), what
            inside = np.zeros(k.size, bool)
            for a, b in rep.regions:
                inside |= (k >= math.log(a) - 1e-9) & (k <= math.log(b) + 1e-9)
            assert inside[f < -1e-6 * peak].all(), what
        else:
            assert not rep.has_arbitrage or rep.depth > -1e-6, what
    assert found >= 2   # the cases do test negative densities
    if model == "CubicSpline":
        rep = kc.density_check(model, _KNOT_DIP, 0.05, 1.0, (-0.537, 0.537))
        assert rep.depth < -0.005 and "negative density" in rep.describe()


def test_greeks_are_aligned_with_the_input_rows(synthetic):
    model, syn, chain, cf = synthetic
    g = kc.chain_greeks(chain, cf, binary=True)
    assert len(g) == chain.n_input
    assert g.loc[chain.rejected.index, "status"].str.startswith("rejected").all()
    assert g.loc[chain.rejected.index, "price"].isna().all()
    q = chain.quotes
    for i in q.index[:: max(1, len(q) // 12)]:
        f = cf.get(q.loc[i, "underlying"], q.loc[i, "expiry"])
        side = "c" if q.loc[i, "is_call"] else "p"
        vol = f.model.get_vol_single(f.ttx, f.forward, q.loc[i, "strike"])
        assert g.loc[i, "vol"] == vol
        assert g.loc[i, "price"] == korvex.b76_fairvalue(f.forward, q.loc[i, "strike"], f.ttx, vol, side)
        assert g.loc[i, "binary_price"] == korvex.binary_fairvalue(f.forward, q.loc[i, "strike"], f.ttx, vol, side)
        assert g.loc[i, "price_premium_ccy"] == pytest.approx(g.loc[i, "price"] / f.forward)


def test_plot_and_command_line_end_to_end(tmp_path, capsys):
    pytest.importorskip("matplotlib")
    src = tmp_path / "chain.csv"
    assert cli.main(["synth", str(src), "--model", "GVVSpline", "--seed", "2"]) == 0
    out, png, greeks = tmp_path / "fits.csv", tmp_path / "smiles.png", tmp_path / "greeks.csv"
    rc = cli.main(["fit", str(src), "--model", "GVVSpline", "--model", "VolGeo", "--clock", "calendar",
                   "--plot", str(png), "--out", str(out), "--greeks", str(greeks)])
    text = capsys.readouterr().out
    assert rc == 0, text
    assert "GVVSpline" in text and "VolGeo" in text and "RMSE" in text and "rejected (1)" in text
    fits = pd.read_csv(out)
    assert set(fits["model"]) == {"GVVSpline", "VolGeo"}
    assert (fits["status"] != "failed").all()
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert len(pd.read_csv(greeks)) == len(pd.read_csv(src))
    assert cli.main(["fit", str(tmp_path / "missing.csv")]) == 2
    with pytest.raises(SystemExit):
        cli.main(["fit", str(src), "--model", "SABR"])


def test_business_clock_fits_too():
    syn = kc.make_chain("VolGeo", seed=5, expiry_days=(7, 60), bad_rows=False)
    chain = kc.read_chain(syn.table, clock="business")
    cf = kc.fit_chain(chain, "VolGeo")
    assert cf.clock == "business"
    assert all(f.ok and f.model.arb_free() and math.isfinite(f.rmse) for f in cf.fits)


@pytest.mark.parametrize("model", MODELS)
def test_native_residuals_match_the_array_formulas(model):
    """The fit's native residual against the same residuals from model_vols and
    numpy: the quotes' rows from their textbook formulas, and every row, with
    the density penalty off and on, from the test's numpy residual."""
    syn = kc.make_chain(model, seed=9, expiry_days=(3, 45), bad_rows=False)
    chain = kc.read_chain(syn.table)
    for e in chain.expiries.itertuples():
        q = chain.expiry_quotes(e.underlying, e.expiry)
        q = q[q["otm"]]
        b = q["quote_bid_iv"].to_numpy().copy()
        b[::4] = np.nan  # some one-sided quotes
        prob = kfit.Problem(model, q["log_moneyness"].to_numpy(), b, q["quote_ask_iv"].to_numpy(),
                             float(e.ttx), float(e.forward))
        theta = candidates(prob)
        theta[1, 0] = -5.0 if model != "GVVSpline" else 5.0  # a smile that is NaN somewhere
        native = prob.residuals(theta)
        v = kc.model_vols(model, prob.full(theta), prob.ttx, prob.forward, prob.strikes)
        out = (np.maximum(prob.lo - v, 0.0) + np.maximum(v - prob.hi, 0.0)) / (prob.scale * kfit.ROBUST_SCALE)
        pull = (v - prob.mid0) / (prob.scale * kfit.ROBUST_SCALE)
        soft = lambda r: np.sign(r) * np.sqrt(2.0 * (np.sqrt(1.0 + r * r) - 1.0))  # noqa: E731
        want = np.concatenate([soft(out) * kfit.ROBUST_SCALE, soft(pull) * prob.pull_w], axis=1)
        finite = np.isfinite(v)
        want[:, :prob.n][~finite] = kfit.FILL
        want[:, prob.n:][~finite & (prob.pull_w != 0)] = kfit.FILL
        want[:, prob.n:][~finite & (prob.pull_w == 0)] = 0.0
        np.testing.assert_allclose(native[:, :2 * prob.n], want, rtol=1e-9, atol=1e-12)
        for density in (False, True):
            prob.density_on = density
            if density and model != "CubicSpline":
                prob.set_density_points(np.linspace(*prob.k_range, 41))
            np.testing.assert_allclose(prob.residuals(theta), _residuals_py(prob, theta), rtol=1e-9, atol=1e-12)


@pytest.mark.parametrize("model", MODELS)
def test_native_jacobian_matches_the_array_path(model):
    """One native call for residual and Jacobian against the batched numpy path."""
    syn = kc.make_chain(model, seed=4, expiry_days=(10,), bad_rows=False)
    q = kc.read_chain(syn.table).quotes
    q = q[q["otm"]]
    prob = kfit.Problem(model, q["log_moneyness"].to_numpy(), q["quote_bid_iv"].to_numpy(),
                         q["quote_ask_iv"].to_numpy(), float(q["ttx"].iloc[0]), float(q["forward"].iloc[0]))
    for density in (False, True):
        prob.density_on = density
        if density and model != "CubicSpline":
            prob.set_density_points(np.linspace(*prob.k_range, 41))
        for theta in candidates(prob)[:3]:
            for u in (prob.to_u(theta), prob.to_u(theta) * 1.7):
                r1, j1 = _residuals_and_jacobian(prob, u)
                r2, j2 = _residuals_and_jacobian_py(prob, u)
                np.testing.assert_allclose(r1, r2, rtol=1e-9, atol=1e-9)
                np.testing.assert_allclose(j1, j2, rtol=1e-5, atol=1e-5)


# Starting points far from the quotes' own (admissible): the second start
# of the agreement checks.
FAR_STARTS = {
    "GVVSpline": {"ref_vol": 80.0, "skew": 15.0, "smile": 30.0},
    "VolGeo": {"ref_vol": 80.0, "corr": 0.5, "vvol": 150.0},
    "CubicSpline": {"ref_vol": 80.0, "p25": 5.0, "p20": 0.0, "p15": 0.0, "p10": 0.0, "p05": 2.0,
                    "c05": -1.0, "c10": 0.0, "c15": 0.0, "c20": 0.0, "c25": 5.0},
}


@pytest.mark.parametrize("model", MODELS)
def test_two_quotes_from_two_starts_give_one_smile(model):
    """Two two-sided quotes leave most of the smile to the regulariser: the
    same smile from the quotes' own start and from a far one, everywhere,
    through both quotes, and the report says it was regularised."""
    syn = kc.make_chain(model, seed=3, expiry_days=(30,), bad_rows=False)
    q = kc.read_chain(syn.table).quotes
    two = q[q["otm"] & q["quote_bid_iv"].notna() & q["quote_ask_iv"].notna()]
    few = two.iloc[np.argsort(np.abs(two["log_moneyness"].to_numpy()))[:2]]
    own = kc.fit_smile(few, model)
    far = kc.fit_smile(few, model, starting_points=[FAR_STARTS[model]])
    for f in (own, far):
        assert f.ok and f.model.arb_free(), f.summary()
        assert any(w.startswith("regularised: 2 two-sided quotes") for w in f.warnings), f.summary()
        mid = 0.5 * (few["quote_bid_iv"] + few["quote_ask_iv"]).to_numpy()
        assert np.max(np.abs(f.vols(few["strike"].to_numpy()) - mid)) * 100 < 0.05, f.summary()
    k = np.linspace(0.7, 1.4, 29) * own.forward
    assert np.max(np.abs(own.vols(k) - far.vols(k))) * 100 < 0.01
    # A far start reaches it in few steps (a bounded parameter on its
    # bound used to leave the solver crawling for hundreds of them).
    assert far.nfev < 60, far.summary()


@pytest.mark.parametrize("model", MODELS)
def test_regulariser_stays_within_the_noise_of_a_well_quoted_smile(model, monkeypatch):
    """On well-quoted expiries the regulariser moves a fit by a fraction of
    the quotes' half-spread at most, and the fit stays as close to the
    known smile as without it."""
    syn = kc.make_chain(model, seed=7)
    chain = kc.read_chain(syn.table)
    on = kc.fit_chain(chain, model)
    monkeypatch.setattr(kfit, "SMOOTH_WEIGHT", 0.0)
    monkeypatch.setattr(kfit, "SMOOTH_FREE", 0.0)
    monkeypatch.setattr(kfit, "CORR_PRIOR", 0.0)
    off = kc.fit_chain(chain, model)
    err_on, err_off = [], []
    for a, b in zip(on.fits, off.fits):
        assert not any(w.startswith("regularised") for w in a.warnings), a.summary()
        q = a.quotes
        two = (q["quote_bid_iv"].notna() & q["quote_ask_iv"].notna()).to_numpy()
        k = q["strike"].to_numpy(float)[two]
        half = 0.5 * (q["quote_ask_iv"] - q["quote_bid_iv"]).to_numpy()[two]
        moved = np.abs(a.vols(k) - b.vols(k))
        if model == "CubicSpline":
            assert np.all(moved <= 0.35 * half), a.summary()
        else:
            assert np.max(moved) * 100 < 0.01, a.summary()
        true = np.asarray(syn.truth[(a.underlying, a.expiry)].get_vol(a.ttx, a.forward, k.tolist()))
        err_on.append(np.abs(a.vols(k) - true))
        err_off.append(np.abs(b.vols(k) - true))
    assert np.median(np.concatenate(err_on)) <= np.median(np.concatenate(err_off)) + 1e-4


def test_native_solver_keeps_bounds_exactly_and_matches_its_costs():
    """A flat smile wants VolGeo's vvol below its bound of 1: the fit ends on
    the bound exactly (admissible, reported), and the native costs agree
    with the residuals computed from the model's vols."""
    k = np.linspace(-0.3, 0.3, 13)
    bid, ask = np.full(k.size, 0.495), np.full(k.size, 0.505)
    f = kc.fit_smile(pd.DataFrame({"log_moneyness": k, "is_call": k >= 0, "quote_bid_iv": bid,
                                   "quote_ask_iv": ask}), "VolGeo", forward=100.0, ttx=0.1,
                     expiry=pd.Timestamp("2027-01-01", tz="UTC"), underlying="X")
    assert f.params["vvol"] == 1.0 and f.model.arb_free()
    assert any("parameter at a bound: vvol" in w for w in f.warnings)
    assert np.max(np.abs(f.vols(100.0 * np.exp(k)) - 0.5)) * 100 < 0.05
    for model in MODELS:
        syn = kc.make_chain(model, seed=4, expiry_days=(10,), bad_rows=False)
        q = kc.read_chain(syn.table).quotes
        q = q[q["otm"]]
        prob = kfit.Problem(model, q["log_moneyness"].to_numpy(), q["quote_bid_iv"].to_numpy(),
                             q["quote_ask_iv"].to_numpy(), float(q["ttx"].iloc[0]), float(q["forward"].iloc[0]))
        theta = candidates(prob)
        for density in (False, True):
            prob.density_on = density
            if density and model != "CubicSpline":
                prob.set_density_points(np.linspace(*prob.k_range, 41))
            r = _residuals_py(prob, theta)
            np.testing.assert_allclose(prob.objective(theta), np.sum(r * r, axis=1), rtol=1e-9)


@pytest.mark.parametrize("model", MODELS)
def test_native_density_matches_the_formula_on_model_vols(model):
    """The density check's native kernel against Durrleman's g and the
    density computed in numpy from the model's vols on the same grid."""
    from korvex_chain import _kernels
    syn = kc.make_chain(model, seed=5, expiry_days=(20,), bad_rows=False)
    f = kc.fit_chain(kc.read_chain(syn.table), model).fits[0]
    names = kc.model_param_names(model)
    vec = np.array([f.params[n] for n in names])
    if model == "CubicSpline":
        vec[names.index("c05")] -= 8.0   # a dip next to the money: negative density there
    k = np.linspace(-1.0, 1.0, 401)
    v = np.asarray(kc.model_vols(model, vec, f.ttx, f.forward, f.forward * np.exp(k)))
    w = v * v * f.ttx
    g = _durrleman_g(k, w, k[1] - k[0])[0]
    sw = np.sqrt(w)
    d2 = -k / sw - 0.5 * sw
    want = g * np.exp(-0.5 * d2 * d2) / (sw * math.sqrt(2.0 * math.pi))
    got = np.empty(k.size)
    _kernels.smile_density(model, vec, f.ttx, f.forward, k, got)
    np.testing.assert_allclose(got, want, rtol=0, atol=1e-9 * np.max(np.abs(want)))
    # What the grid finds, the check finds too (and it may find more).
    rep = kc.density_check(model, vec, f.ttx, f.forward, (-1.0, 1.0))
    if np.any(want < -1e-9 * np.max(want)):
        assert rep.has_arbitrage and rep.depth < 0


def test_native_solver_holds_fixed_coordinates_and_its_limits():
    syn = kc.make_chain("CubicSpline", seed=4, expiry_days=(10,), bad_rows=False)
    q = kc.read_chain(syn.table).quotes
    q = q[q["otm"]]
    prob = kfit.Problem("CubicSpline", q["log_moneyness"].to_numpy(), q["quote_bid_iv"].to_numpy(),
                         q["quote_ask_iv"].to_numpy(), float(q["ttx"].iloc[0]), float(q["forward"].iloc[0]))
    u0 = prob.to_u(candidates(prob)[0] * 1.1)
    free = np.ones(u0.size, bool)
    free[0] = False
    u = u0.copy()
    cost, nfev, status = prob.native.solve(u, free, 1e-12, 1e-12, 500)
    assert isinstance(status, SolveStatus)
    assert status in (SolveStatus.COST_TOLERANCE, SolveStatus.STEP_TOLERANCE, SolveStatus.ZERO_COST)
    assert u[0] == u0[0] and cost < prob.objective(prob.to_theta(u0))[0]
    assert prob.objective(prob.to_theta(u))[0] == pytest.approx(cost, rel=1e-12)
    u = u0.copy()
    assert prob.native.solve(u, np.ones(u0.size, bool), 1e-12, 1e-12, 3)[1:] == (3, SolveStatus.EVALUATION_LIMIT)
    # A fit whose solves stop at their limit says so.
    f = kc.fit_smile(q, "CubicSpline", max_nfev=3)
    assert "the solver stopped at its evaluation limit" in f.warnings, f.summary()
    with pytest.raises(ValueError):
        prob.native.solve(u[:3].copy(), free[:3].copy(), 1e-12, 1e-12, 10)
    with pytest.raises(ValueError):
        prob.native.solve(u, free, 1e-12, 1e-12, 0)
    with pytest.raises(ValueError):
        prob.native.set_regulariser(np.ones((2, 3)), np.zeros(2))
