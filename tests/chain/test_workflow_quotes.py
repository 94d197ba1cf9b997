"""Quote tables in: names, bad rows, coin premiums, forwards, clocks, IVs."""

import datetime as dt
import math
import subprocess
import sys

import numpy as np
import pytest

pytest.importorskip("korvex_chain._kernels")
pd = pytest.importorskip("pandas")

import korvex  # noqa: E402
import korvex_chain as kc  # noqa: E402

OBS = "2026-12-07T10:00:00Z"
EXP = "2026-12-25T08:00:00Z"


def _ttx(obs=OBS, exp=EXP):
    return korvex.Calendar.get_cal_ttx(pd.Timestamp(obs).to_pydatetime(), pd.Timestamp(exp).to_pydatetime())


def _row(strike, side, bid=np.nan, ask=np.nan, mark=np.nan, **kw):
    r = {"observation_time_utc": OBS, "expiry_utc": EXP, "strike": strike, "option_type": side,
         "bid": bid, "ask": ask, "mark": mark, "underlying": "BTC"}
    r.update(kw)
    return r


def test_instrument_names_of_the_usual_forms():
    e = pd.Timestamp("2024-12-27T08:00:00Z")
    assert kc.parse_instrument("BTC-27DEC24-100000-C") == ("BTC", e, 100000.0, True)
    assert kc.parse_instrument("BTC-241227-100000-P") == ("BTC", e, 100000.0, False)
    assert kc.parse_instrument("BTC-3JUL25-101000-C-USDT")[1] == pd.Timestamp("2025-07-03T08:00:00Z")
    assert kc.parse_instrument("XRP_USDC-27DEC24-0d625-C")[2] == 0.625
    assert kc.parse_instrument("eth-27dec24-3000-p", expiry_hour=9)[1].hour == 9
    for bad in ("BTC-27XYZ24-100000-C", "BTC-27DEC24-100000-X", "BTC-100000-C", "", "BTC-301324-100-C"):
        with pytest.raises(ValueError):
            kc.parse_instrument(bad)


def test_names_only_table_and_bad_rows_are_reported_not_priced():
    names = ["BTC-25DEC26-100000-C", "BTC-25DEC26-90000-P", "garbage", "BTC-25DEC26-95000-Q",
             "BTC-25DEC26-110000-C", "BTC-25DEC26-80000-P", "BTC-25DEC26-85000-P", "BTC-25DEC26-120000-C"]
    df = pd.DataFrame({"instrument": names,
                       "bid": [0.02, 0.01, 0.01, 0.01, 0.03, -0.001, np.nan, 0.0],
                       "ask": [0.025, 0.012, 0.02, 0.02, 0.02, 0.002, np.nan, 0.0],
                       "mark": [np.nan] * 6 + [np.nan, np.nan],
                       "underlying_price": 100000.0, "premium_currency": "BTC"})
    ch = kc.read_chain(df, observation_time=OBS)
    reasons = dict(zip(ch.rejected.index, ch.rejected["reason"]))
    assert "unparsable" in reasons[2]
    assert "unknown option side" in reasons[3]
    assert "crossed" in reasons[4]
    assert "negative" in reasons[5]
    assert "empty" in reasons[6] and "empty" in reasons[7]  # a zero bid and ask is no quote
    assert sorted(ch.quotes.index) == [0, 1]
    assert len(ch.quotes) + len(ch.rejected) == ch.n_input == len(names)
    assert ch.quotes.loc[0, "expiry"] == pd.Timestamp("2026-12-25T08:00:00Z")


def test_side_cells_and_vol_statuses_read_as_the_kernels_read_them():
    """A side cell is read by the kernels' own parser (blanks around it aside),
    and a vol's status names are the kernels' IVStatus codes plus no_quote."""
    rows = [_row(k, side, bid, ask, mark, underlying_price=100_000.0) for k, side, bid, ask, mark in (
        (100_000.0, " Call ", 0.02, 0.03, np.nan), (90_000.0, "put", 0.01, 0.02, np.nan),
        (95_000.0, "P\t", np.nan, np.nan, 0.5), (96_000.0, "x", 0.01, 0.02, np.nan),
        (97_000.0, "", 0.01, 0.02, np.nan), (98_000.0, "cal", 0.01, 0.02, np.nan))]
    ch = kc.read_chain(pd.DataFrame(rows))
    assert list(ch.quotes["is_call"]) == [True, False, False]
    assert (ch.rejected["reason"] == "unknown option side").all() and list(ch.rejected.index) == [3, 4, 5]
    q = ch.quotes
    names = [s.name.lower() for s in kc.IVStatus] + ["no_quote"]
    for side in ("bid", "ask", "mark"):
        col = q[f"{side}_iv_status"]
        assert list(col.cat.categories) == names
        _, status = kc.implied_vols(q["ttx"], q["row_forward"], q["strike"], q[side], q["is_call"], status=True)
        want = [names[int(c)] if np.isfinite(p) else "no_quote" for c, p in zip(status, q[side])]
        assert list(col) == want
    assert kc.parse_instrument("BTC-25DEC26-100000-PUT")[3] is False
    assert kc.parse_instrument("BTC-25DEC26-100000-CALL")[3] is True


def test_table_errors_are_clear():
    with pytest.raises(ValueError, match="missing columns"):
        kc.read_chain(pd.DataFrame({"strike": [1.0], "bid": [1.0]}), observation_time=OBS)
    with pytest.raises(ValueError, match="unknown clock"):
        kc.read_chain(pd.DataFrame([_row(100.0, "C", 1, 2)]), clock="wall")
    with pytest.raises(ValueError, match="empty chain"):
        kc.read_chain(pd.DataFrame(columns=["expiry_utc", "strike", "option_type"]), observation_time=OBS)
    with pytest.raises(ValueError, match="observation time"):
        kc.read_chain(pd.DataFrame([_row(100.0, "C", 1, 2)]).drop(columns="observation_time_utc"))
    with pytest.raises(ValueError, match="empty chain"):
        kc.read_chain(pd.DataFrame([_row(100.0, "C", 3, 2)]))  # the only row is crossed
    with pytest.raises(TypeError):
        kc.read_chain(42)


def test_coin_premiums_are_converted_with_the_forward_and_inverted():
    fwd, t = 101_000.0, _ttx()
    vol = 0.55
    rows = []
    for k, side in ((90_000.0, "P"), (100_000.0, "C"), (110_000.0, "C")):
        px = korvex.b76_fairvalue(fwd, k, t, vol, side) / fwd
        rows.append(_row(k, side, bid=px * 0.97, ask=px * 1.03, mark=px, underlying_price=fwd,
                         premium_currency="BTC"))
    rows.append(_row(120_000.0, "P", bid=5.0, ask=19_500.0, underlying_price=fwd, premium_currency="USDT"))
    ch = kc.read_chain(pd.DataFrame(rows))
    q = ch.quotes
    assert list(q["coin_premium"]) == [True, True, True, False]
    assert q.loc[0, "bid"] == pytest.approx(rows[0]["bid"] * fwd, rel=1e-15)
    assert q.loc[3, "bid"] == 5.0  # quote-currency premium is taken as is
    for i in range(3):
        want = korvex.calibrate_black76_iv(t, fwd, q.loc[i, "strike"], q.loc[i, "mark"], rows[i]["option_type"])
        assert q.loc[i, "mark_iv"] == want
        assert abs(q.loc[i, "mark_iv"] - vol) < 1e-4
        assert q.loc[i, "bid_iv"] < vol < q.loc[i, "ask_iv"]
    assert q.loc[3, "bid_iv_status"] == "below_min"  # a bid under the intrinsic value
    assert q.loc[3, "ask_iv_status"] == "ok"
    assert ch.expiries.loc[0, "forward_method"] == "underlying_price"


def test_each_row_is_converted_and_inverted_on_its_own_underlying_price():
    t = korvex.Calendar.get_cal_ttx(pd.Timestamp(OBS).to_pydatetime(), pd.Timestamp(EXP).to_pydatetime())
    rows = []
    for k, f, side in ((95_000.0, 100_000.0, "P"), (105_000.0, 100_400.0, "C"), (110_000.0, 100_200.0, "C")):
        px = korvex.b76_fairvalue(f, k, t, 0.6, side) / f
        rows.append({"observation_time_utc": OBS, "expiry_utc": EXP, "strike": k, "option_type": side,
                     "bid": px * 0.98, "ask": px * 1.02, "mark": px, "underlying": "BTC",
                     "premium_currency": "BTC", "underlying_price": f})
    ch = kc.read_chain(pd.DataFrame(rows))
    q = ch.quotes
    assert ch.expiries.loc[0, "forward"] == 100_200.0  # the median of the rows' prices
    assert list(q["row_forward"]) == [100_000.0, 100_400.0, 100_200.0]
    for i, r in enumerate(rows):
        assert q.loc[i, "mark"] == r["mark"] * r["underlying_price"]
        assert abs(q.loc[i, "mark_iv"] - 0.6) < 1e-4
        assert q.loc[i, "log_moneyness"] == np.log(r["strike"] / r["underlying_price"])


def _parity_table(fwd, coin, stale=None):
    t = _ttx()
    rows = []
    for k in np.arange(80_000.0, 124_000.0, 4_000.0):
        for side in ("C", "P"):
            px = korvex.b76_fairvalue(fwd, k, t, 0.6, side)
            if stale is not None and k == stale and side == "C":
                px *= 1.25  # a stale call: its pair says a different forward
            if coin:
                px /= fwd
            half = 0.0005 * (1 if coin else fwd)
            rows.append(_row(k, side, bid=px - half, ask=px + half, premium_currency="BTC" if coin else "USD"))
    return pd.DataFrame(rows)


@pytest.mark.parametrize("coin", [False, True])
def test_parity_forward_survives_one_stale_pair(coin):
    fwd = 103_250.0
    nearest = 104_000.0  # the pair nearest the money is the stale one
    ch = kc.read_chain(_parity_table(fwd, coin, stale=nearest))
    e = ch.expiries.iloc[0]
    assert e["forward_method"].startswith("parity")
    assert e["forward"] == pytest.approx(fwd, rel=2e-4)
    # Without the median, the stale pair alone would be far off.
    k = nearest
    t = _ttx()
    c = korvex.b76_fairvalue(fwd, k, t, 0.6, "C") * 1.25
    p = korvex.b76_fairvalue(fwd, k, t, 0.6, "P")
    assert abs(k + c - p - fwd) > 1000


def test_forward_from_term_structure_when_an_expiry_has_no_pairs():
    t1, t3 = "2026-12-11T08:00:00Z", "2027-03-26T08:00:00Z"
    rows = [_row(100_000.0, "C", 100, 110, expiry_utc=t1, underlying_price=101_000.0),
            _row(100_000.0, "C", 100, 110, expiry_utc=EXP, underlying_price=102_000.0),
            _row(100_000.0, "C", 100, 110, expiry_utc=t3)]
    rows[0]["premium_currency"] = rows[1]["premium_currency"] = rows[2]["premium_currency"] = "USD"
    ch = kc.read_chain(pd.DataFrame(rows))
    e = ch.expiries.set_index("expiry")
    last = e.loc[pd.Timestamp(t3)]
    assert last["forward_method"].startswith("term_structure")
    assert last["forward"] > 102_000.0  # carried on along the curve
    # Alone, an expiry without any forward is reported, not priced.
    with pytest.raises(ValueError, match="no expiry has a forward"):
        kc.read_chain(pd.DataFrame([rows[2]]))


def test_clocks_and_observation_times():
    rows = [_row(100_000.0, "C", 5000, 5200, underlying_price=100_000.0, premium_currency="USD"),
            _row(100_000.0, "P", 4900, 5100, underlying_price=100_000.0, premium_currency="USD",
                 observation_time_utc="2026-12-07T10:02:00Z")]
    cal = kc.read_chain(pd.DataFrame(rows))
    bus = kc.read_chain(pd.DataFrame(rows), clock="business")
    now, exp = pd.Timestamp("2026-12-07T10:01:00Z").to_pydatetime(), pd.Timestamp(EXP).to_pydatetime()
    assert cal.expiries.loc[0, "ttx"] == korvex.Calendar.get_cal_ttx(now, exp)
    assert bus.expiries.loc[0, "ttx"] == korvex.Calendar("BTCUSDT").get_bus_ttx(now, exp)
    # Each premium is inverted at its own time when the rows' times differ.
    assert cal.quotes.loc[1, "ttx"] < cal.quotes.loc[0, "ttx"]
    fixed = kc.read_chain(pd.DataFrame(rows), observation_time="2026-12-07T10:00:00Z")
    assert fixed.quotes["ttx"].nunique() == 1
    # A row already expired at the observation time is reported.
    late = kc.read_chain(pd.DataFrame(rows + [_row(100_000.0, "C", 1, 2, expiry_utc="2026-12-01T08:00:00Z")]))
    assert "expired" in late.rejected["reason"].iloc[0]


def test_exchange_ivs_and_their_cap():
    rows = [_row(100_000.0, "C", 0.05, 0.06, underlying_price=100_000.0, premium_currency="BTC",
                 bid_iv=55.0, ask_iv=500.0, mark_iv=56.0, iv_unit="percent")]
    ch = kc.read_chain(pd.DataFrame(rows))
    q = ch.quotes.iloc[0]
    assert q["quote_bid_iv"] == 0.55
    assert math.isnan(q["quote_ask_iv"])  # 500 % is the exchange's cap: no information
    prem = kc.read_chain(pd.DataFrame(rows), quote_ivs="premium").quotes.iloc[0]
    assert prem["quote_ask_iv"] == prem["ask_iv"]


def _coin_rows(n=4, **kw):
    """Two-sided coin-premium rows of one expiry around a 100,000 forward."""
    t = _ttx(exp=kw.get("expiry_utc", EXP))
    rows = []
    for k in np.linspace(90_000.0, 110_000.0, n):
        for side in ("C", "P"):
            px = korvex.b76_fairvalue(100_000.0, k, t, 0.6, side) / 100_000.0
            r = _row(k, side, bid=round(px * 0.98, 6), ask=round(px * 1.02, 6), underlying_price=100_000.0,
                     premium_currency="BTC")
            r.update(kw)
            rows.append(r)
    return rows


def test_non_finite_strikes_prices_and_underlying_prices_are_rejected(tmp_path):
    rows = _coin_rows()
    text = pd.DataFrame(rows).to_csv(index=False).splitlines()
    header = text[0].split(",")
    bad = []
    for col, value in (("strike", "inf"), ("ask", "inf"), ("underlying_price", "inf"), ("underlying_price", "-5"),
                       ("strike", "-inf")):
        cells = text[1].split(",")
        cells[header.index(col)] = value
        bad.append(",".join(cells))
    path = tmp_path / "chain.csv"
    path.write_text("\n".join(text + bad) + "\n")
    ch = kc.read_chain(path)
    rej = ch.rejected["reason"]
    assert list(ch.quotes.index) == list(range(len(rows)))
    assert len(rej) == len(bad)
    assert rej.iloc[0].startswith("strike") and rej.iloc[4].startswith("strike")
    assert rej.iloc[1] == "price not finite"
    assert rej.iloc[2].startswith("underlying price") and rej.iloc[3].startswith("underlying price")


def test_unreadable_price_cells_reject_their_row(tmp_path):
    rows = _coin_rows()
    df = pd.DataFrame(rows).astype({"bid": object, "mark": object})
    df.loc[1, "bid"] = "0,049"
    df.loc[2, "bid"] = "n/a?"
    df.loc[3, "mark"] = "abc"
    df.loc[4, "bid"] = "n/a"  # a "no value" token: an empty side, not an unreadable one
    (tmp_path / "chain.csv").write_text(df.to_csv(index=False))
    for source in (df, tmp_path / "chain.csv"):
        ch = kc.read_chain(source)
        reasons = dict(zip(ch.rejected.index, ch.rejected["reason"]))
        assert reasons == {1: "unreadable bid (not a number)", 2: "unreadable bid (not a number)",
                           3: "unreadable mark (not a number)"}
        assert np.isnan(ch.quotes.loc[4, "bid"]) and ch.quotes.loc[4, "ask_iv_status"] == "ok"


def test_datetime_expiries_keep_their_time_of_day():
    rows = _coin_rows(2)
    df = pd.DataFrame(rows)
    midnight = pd.Timestamp("2026-12-25T00:00:00")
    df["expiry_utc"] = pd.Series([midnight] * len(df), dtype="datetime64[ns]")
    assert (kc.read_chain(df).quotes["expiry"] == midnight.tz_localize("UTC")).all()
    df["expiry_utc"] = df["expiry_utc"].dt.tz_localize("UTC")
    assert (kc.read_chain(df).quotes["expiry"] == midnight.tz_localize("UTC")).all()
    # Text without a time of day is the one case that gets expiry_hour.
    df["expiry_utc"] = "2026-12-25"
    assert (kc.read_chain(df).quotes["expiry"] == pd.Timestamp("2026-12-25T08:00:00Z")).all()


def test_numeric_observation_times_are_epoch_seconds():
    later = pd.DataFrame(_coin_rows(2, expiry_utc="2027-06-25T08:00:00Z")).drop(columns="observation_time_utc")
    ch = kc.read_chain(later, observation_time=1.8e9)
    assert ch.observation_time == pd.Timestamp(1.8e9, unit="s", tz="UTC")
    assert (ch.quotes["observation_time"] == pd.Timestamp("2027-01-15T08:00:00Z")).all()
    with pytest.raises(ValueError, match="finite"):
        kc.read_chain(later, observation_time=float("nan"))


def test_underlyings_without_an_underlying_column_are_told_apart():
    btc = _coin_rows()
    eth = [dict(r, strike=r["strike"] / 30, underlying_price=100_000.0 / 30, premium_currency="ETH") for r in btc]
    df = pd.DataFrame(btc + eth).drop(columns="underlying")
    e = kc.read_chain(df).expiries
    assert list(e["underlying"]) == ["BTC", "ETH"] and list(e["forward"]) == [100_000.0, 100_000.0 / 30]
    # By the instrument names' first part when the premium says nothing.
    df["instrument"] = [f"{u}-25DEC26-{int(k)}-{s}" for u, k, s in zip(["BTC"] * len(btc) + ["ETH"] * len(eth),
                                                                          df["strike"], df["option_type"])]
    df["premium_currency"] = "USD"
    assert list(kc.read_chain(df).expiries["underlying"]) == ["BTC", "ETH"]


def test_unknown_premium_currencies_are_rejected_not_taken_for_coin():
    rows = _coin_rows()
    rows[1]["premium_currency"] = "JPY"
    rows[2]["premium_currency"] = "USD "
    rows[3]["premium_currency"] = "usdt"
    ch = kc.read_chain(pd.DataFrame(rows))
    reasons = dict(zip(ch.rejected.index, ch.rejected["reason"]))
    assert set(reasons) == {1, 2}
    assert reasons[1].startswith("unknown premium currency 'JPY'")
    assert reasons[2].startswith("unknown premium currency 'USD '")
    assert not ch.quotes.loc[3, "coin_premium"] and ch.quotes.drop(index=3)["coin_premium"].all()


def test_exact_repeats_of_a_row_are_reported_not_priced_twice():
    rows = _coin_rows()
    rows.append(dict(rows[0]))
    rows.append(dict(rows[3], bid=rows[3]["bid"] * 0.99))  # the same option with another bid: not a repeat
    rows.append(dict(rows[0]))
    ch = kc.read_chain(pd.DataFrame(rows))
    reasons = dict(zip(ch.rejected.index, ch.rejected["reason"]))
    n = len(rows)
    assert reasons == {n - 3: "duplicate of row 0", n - 1: "duplicate of row 0"}
    # Without instrument names the same rule holds, and with names as well.
    names = pd.DataFrame(rows).assign(instrument=[f"BTC-25DEC26-{int(r['strike'])}-{r['option_type']}" for r in rows])
    assert set(kc.read_chain(names).rejected.index) == {n - 3, n - 1}


def test_import_stays_light():
    code = ("import sys, korvex_chain; bad = [m for m in ('pandas', 'scipy', 'matplotlib') if m in sys.modules];"
            "print(bad); assert not bad; korvex_chain.read_chain; assert 'pandas' in sys.modules")
    subprocess.run([sys.executable, "-c", code], check=True)
    with pytest.raises(AttributeError):
        kc.no_such_name  # noqa: B018
