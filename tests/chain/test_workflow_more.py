"""The workflow's less travelled paths: options, failures and their reports."""

import math
import pathlib
import warnings

import numpy as np
import pytest

pytest.importorskip("korvex_chain._kernels")
pd = pytest.importorskip("pandas")
pytest.importorskip("scipy")

import korvex_chain as kc  # noqa: E402
from korvex_chain import cli  # noqa: E402


@pytest.fixture(scope="module")
def small():
    syn = kc.make_chain("VolGeo", seed=21, expiry_days=(5, 40))
    return syn, kc.read_chain(syn.table)


def test_parity_forward_edge_cases():
    # Coin pairs with C - P >= 1 say nothing about a positive forward.
    f, n, _ = kc.parity_forward([100.0, 110.0], [1.2, 0.5], [0.1, 0.45], coin=True)
    assert n == 1 and f == pytest.approx(110.0 / (1 - 0.05))
    f, n, spread = kc.parity_forward([], [], [], coin=False)
    assert n == 0 and math.isnan(f) and math.isnan(spread)
    # One expiry quoted partly in coin and partly in dollars has no forward.
    rows = [{"observation_time_utc": "2026-12-07T10:00:00Z", "expiry_utc": "2026-12-25T08:00:00Z",
             "strike": 100.0, "option_type": s, "bid": 1.0, "ask": 2.0, "premium_currency": c, "underlying": "BTC"}
            for s, c in (("C", "BTC"), ("P", "USD"))]
    with pytest.raises(ValueError, match="mixed"):
        kc.read_chain(pd.DataFrame(rows))


def test_table_options(small):
    syn, _ = small
    t = syn.table.copy()
    t["expiry_utc"] = t["expiry_utc"].str.slice(0, 10)  # bare dates: 08:00 UTC, or as asked
    assert (kc.read_chain(t).quotes["expiry"].dt.hour == 8).all()
    assert (kc.read_chain(t, expiry_hour=9).quotes["expiry"].dt.hour == 9).all()
    with pytest.raises(ValueError, match="quote_ivs"):
        kc.read_chain(t, quote_ivs="mid")
    with pytest.raises(ValueError, match="unknown clock"):
        kc.ttx_between(t["observation_time_utc"], t["expiry_utc"], "lunar")
    # Instrument names alone, with the premium currency given for the table.
    names = t[["instrument", "bid", "ask", "underlying_price"]].dropna(subset=["instrument"])
    ch = kc.read_chain(names, observation_time="2026-12-07T10:00:00Z", premium_currency="BTC")
    assert ch.quotes["coin_premium"].all() and len(ch.expiries) == 2


def test_vega_weights_and_warm_starts(small):
    _, chain = small
    spread = kc.fit_chain(chain, "VolGeo")
    vega = kc.fit_chain(chain, "VolGeo", weights="vega")
    for a, b in zip(spread.fits, vega.fits):
        assert b.ok and b.model.arb_free() and b.inside > 0.8
        k = a.forward * np.exp(np.linspace(-0.1, 0.1, 5))
        assert np.max(np.abs(a.vols(k) - b.vols(k))) < 0.01  # both within the quotes' noise
    warm = kc.fit_chain(chain, "VolGeo", previous=spread)
    assert sum(f.nfev for f in warm.fits) < sum(f.nfev for f in spread.fits)
    with pytest.raises(ValueError, match="weights"):
        kc.fit_chain(chain, "VolGeo", weights="delta")
    with pytest.raises(KeyError):
        spread.get("ETH", spread.fits[0].expiry)
    with pytest.raises(ValueError, match="lacks parameter"):
        kc.fit_smile(chain.quotes, "VolGeo", warm_start={"ref_vol": 50.0})


def test_instants_in_any_zone_are_read_as_utc(small):
    """Expiries and observation times: naive values are UTC, aware ones
    converted, wherever the workflow takes one."""
    syn, chain = small
    cf = kc.fit_chain(chain, "VolGeo")
    f = cf.fits[0]
    assert f.expiry.tz is not None and f.expiry.utcoffset().total_seconds() == 0
    assert cf.get(f.underlying, f.expiry.tz_convert("America/New_York")) is f
    assert cf.get(f.underlying, f.expiry.tz_localize(None)) is f
    q = chain.expiry_quotes(f.underlying, f.expiry.tz_convert("Asia/Tokyo"))
    one = kc.fit_smile(q, "VolGeo", expiry=f.expiry.tz_convert("Asia/Tokyo"))
    assert str(one.expiry.tz) == "UTC" and one.expiry == f.expiry
    ny = kc.make_chain("VolGeo", seed=21, expiry_days=(5, 40), observation_time="2026-12-07T05:00:00-05:00")
    pd.testing.assert_frame_equal(ny.table, syn.table)


def test_failed_fits_are_reported_everywhere(small, tmp_path):
    _, chain = small
    cf = kc.fit_chain(chain, "GVVSpline")
    f = cf.fits[0]
    bad = kc.fit_smile(chain.expiry_quotes(f.underlying, f.expiry), "GVVSpline", ttx=-1.0)
    assert bad.status == "failed" and bad.model is None and "must be positive" in bad.message
    assert np.isnan(bad.vols([f.forward])).all()
    cf.fits[0] = bad
    g = kc.chain_greeks(chain, cf)
    rows = chain.expiry_quotes(f.underlying, f.expiry).index
    assert (g.loc[rows, "status"] == "fit failed").all() and g.loc[rows, "price"].isna().all()
    t = cf.table()
    assert t.loc[0, "status"] == "failed" and "must be positive" in t.loc[0, "warnings"]
    pytest.importorskip("matplotlib")
    out = kc.plot_chain(chain, cf, tmp_path / "p.png", max_expiries=1)
    assert (tmp_path / "p.png").stat().st_size > 1000 and out == tmp_path / "p.png"
    with pytest.raises(ValueError, match="nothing to plot"):
        kc.plot_chain(chain, cf, tmp_path / "q.png", underlyings=["DOGE"])


def test_command_line_options(small, tmp_path, capsys):
    syn, _ = small
    src = tmp_path / "c.csv"
    syn.table.to_csv(src, index=False)
    rej, greeks = tmp_path / "rej.csv", tmp_path / "g.csv"
    rc = cli.main(["fit", str(src), "--model", "CubicSpline", "--clock", "business", "--starts", "2",
                   "--rejected", str(rej), "--greeks", str(greeks), "--binary", "--underlying", "BTC"])
    assert rc == 0, capsys.readouterr().out
    assert len(pd.read_csv(rej)) == 4
    assert "binary_price" in pd.read_csv(greeks).columns
    with pytest.raises(SystemExit) as exc:
        cli.main(["fit", "--help"])
    assert exc.value.code == 0
    text = capsys.readouterr().out
    for option in ("--model", "--clock", "--plot", "--out", "--observation-time", "--quote-ivs", "--weights",
                   "--starts", "--underlying", "--greeks", "--binary", "--rejected", "--expiry-hour"):
        assert option in text
    assert cli.main(["fit", str(src), "--observation-time", "2030-01-01"]) == 2  # every row expired


@pytest.mark.parametrize("args", [
    ["--underlying", "ETH"],
    ["--out", "{tmp}/missing/fits.csv"],
    ["--plot", "{tmp}/missing/smiles.png"],
    ["--greeks", "{tmp}/chain.csv/greeks.csv"],  # a file where the folder should be
    ["--rejected", "{tmp}"],
    ["--plot", "{tmp}/smiles.txt"],
    ["--out", "{tmp}/a.csv", "--greeks", "{tmp}/./a.csv"],
    ["--expiry-hour", "25"],
    ["--starts", "0"],
])
def test_command_line_user_errors_stop_before_any_work(small, tmp_path, capsys, args):
    syn, _ = small
    src = tmp_path / "chain.csv"
    syn.table.to_csv(src, index=False)
    rc = cli.main(["fit", str(src), "--out", str(tmp_path / "fits.csv")]
                  + [a.format(tmp=tmp_path) for a in args])
    out, err = capsys.readouterr()
    assert rc == 2 and out == ""
    assert err.startswith("error: ") and err.count("\n") == 1, err
    assert [p.name for p in tmp_path.iterdir()] == ["chain.csv"]


def test_command_line_outputs_appear_whole_or_not_at_all(small, tmp_path, monkeypatch, capsys):
    syn, _ = small
    src = tmp_path / "chain.csv"
    syn.table.to_csv(src, index=False)

    def half_then_fail(self, path, **kwargs):
        pathlib.Path(path).write_text("row,price\n0,")
        raise OSError("disk full")

    monkeypatch.setattr(pd.DataFrame, "to_csv", half_then_fail)
    with pytest.raises(OSError, match="disk full"):
        cli.main(["fit", str(src), "--model", "VolGeo", "--out", str(tmp_path / "fits.csv")])
    assert [p.name for p in tmp_path.iterdir()] == ["chain.csv"]
    monkeypatch.undo()
    assert cli.main(["fit", str(src), "--model", "VolGeo", "--out", str(tmp_path / "fits.csv")]) == 0
    assert len(pd.read_csv(tmp_path / "fits.csv")) == 2 and len(list(tmp_path.iterdir())) == 2
    capsys.readouterr()


def test_command_line_exit_1_when_an_expiry_is_dropped(small, tmp_path, capsys):
    syn, _ = small
    t = syn.table.copy()
    # No underlying price and premiums in two currencies: no forward.
    last = t["expiry_utc"] == t["expiry_utc"].max()
    t.loc[last, "underlying_price"] = np.nan
    t.loc[t.index[last][0], "premium_currency"] = "USD"
    src = tmp_path / "chain.csv"
    t.to_csv(src, index=False)
    assert cli.main(["fit", str(src), "--model", "VolGeo"]) == 1
    assert "\nsome expiries were dropped (no forward)" in capsys.readouterr().out


def test_expiries_are_chosen_by_instant_or_by_bare_date():
    import datetime as dt
    syn = kc.make_chain("VolGeo", seed=22, expiry_days=(5, 40), bad_rows=False)
    chain = kc.read_chain(syn.table)
    first, second = chain.expiries["expiry"]      # both at 08:00 UTC
    day = f"{first:%Y-%m-%d}"
    for asked in ([day], day, [dt.date(first.year, first.month, first.day)], [np.datetime64(day)],
                  [first], [f"{day}T08:00:00Z"], [f"{day} 10:00+02:00"]):
        fits = kc.fit_chain(chain, "VolGeo", expiries=asked).fits
        assert [f.expiry for f in fits] == [first], asked
    assert len(kc.fit_chain(chain, "VolGeo", expiries=[day, second]).fits) == 2
    # Asked for and not there: said so, with the expiries there are.
    for asked in ([f"{day}T09:00Z"], ["2031-01-01"], [day, "2031-01-01"]):
        with pytest.raises(ValueError, match=f"no expiry in the chain matches.*{day} 08:00"):
            kc.fit_chain(chain, "VolGeo", expiries=asked)
    with pytest.raises(ValueError, match="no expiry"):
        kc.fit_chain(chain, "VolGeo", underlyings=["ETH"], expiries=[day])
    with pytest.raises(ValueError, match="cannot read expiry"):
        kc.fit_chain(chain, "VolGeo", expiries=["soon"])


def test_starting_points_and_picture_options_are_checked(small, tmp_path):
    _, chain = small
    e = chain.expiries.iloc[0]
    q = chain.expiry_quotes(e["underlying"], e["expiry"])
    for bad, match in (([{"ref_vol": 50.0, "corr": 0.0}], "starting point 0 lacks 'vvol'"),
                       ([{"ref_vol": 50.0, "corr": 0.0, "vvol": 20.0}, [50.0, 0.0, 20.0]], "starting point 1 is a list"),
                       ([{"ref_vol": 50.0, "corr": None, "vvol": 20.0}], "not a number")):
        with pytest.raises(ValueError, match=match):
            kc.fit_smile(q, "VolGeo", starting_points=bad)
    assert kc.fit_smile(q, "VolGeo", starting_points={"ref_vol": 50.0, "corr": 0.0, "vvol": 20.0}).ok
    pytest.importorskip("matplotlib")
    for columns in (0, -2, 1.5, True):
        with pytest.raises(ValueError, match="columns must be a whole number"):
            kc.plot_chain(chain, (), tmp_path / "c.png", columns=columns)
    with pytest.raises(ValueError, match="max_expiries must be"):
        kc.plot_chain(chain, (), tmp_path / "c.png", max_expiries=0)
    assert not (tmp_path / "c.png").exists()


@pytest.mark.slow
def test_a_chain_of_hundreds_of_expiries_is_drawn_capped_and_says_so(tmp_path):
    pytest.importorskip("matplotlib")
    from PIL import Image
    from korvex_chain.plot import MAX_PANELS
    syn = kc.make_chain("VolGeo", seed=23, expiry_days=tuple(range(2, 302)), bad_rows=False)
    chain = kc.read_chain(syn.table)
    assert len(chain.expiries) == 300
    with pytest.warns(UserWarning, match=f"{MAX_PANELS} of 300 expiries shown"):
        kc.plot_chain(chain, (), tmp_path / "many.png")
    width, height = Image.open(tmp_path / "many.png").size
    assert width < 2000 and height < 4000   # readable panels, not a 300-panel strip
    with warnings.catch_warnings():
        warnings.simplefilter("error")   # a cut asked for is no surprise
        kc.plot_chain(chain, (), tmp_path / "five.png", max_expiries=5, columns=5)
    assert Image.open(tmp_path / "five.png").size[1] < Image.open(tmp_path / "many.png").size[1]
