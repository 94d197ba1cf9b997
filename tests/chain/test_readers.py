"""Chains as they arrive: Deribit, Tardis and Bybit layouts, mapped tables, auto.

Every layout must read to the very chain its tidy equivalent gives: the same
rows, forwards, times, IVs (bit for bit) and statuses. The samples beside
the checkout are checked against tidy tables built here from their values;
synthetic chains cover the rest without them.
"""

import gzip
import json

import numpy as np
import pytest

pytest.importorskip("korvex_chain._kernels")
pd = pytest.importorskip("pandas")
pytest.importorskip("pyarrow")

import korvex_chain as kc  # noqa: E402
from chain_support import CHAINS, COLLECTOR  # noqa: E402
from korvex_chain.readers import tardis  # noqa: E402

FORMATS = CHAINS.parent / "formats"
HISTORY = CHAINS.parent / "history"
DERIBIT = FORMATS / "deribit_book_summary_btc_20260822T153351Z.json"
BYBIT = FORMATS / "bybit_option_tickers_btc_20250702T133102Z.json"
TARDIS = FORMATS / "tardis_options_chain_deribit_20200521.csv.gz"
needs_formats = pytest.mark.skipif(not DERIBIT.exists(), reason=f"no layout samples in {FORMATS}")
needs_history = pytest.mark.skipif(not HISTORY.is_dir(), reason=f"no collector history in {HISTORY}")

# The collector's own columns (../history/SOURCES.md) under the tidy names.


def assert_same_chain(a, b):
    """Rows, forwards, times, IVs (bits) and statuses of two chains."""
    qa, qb = a.quotes, b.quotes
    assert list(qa.index) == list(qb.index)
    common = [c for c in qb.columns if c in qa.columns]
    assert set(common) >= {"expiry", "strike", "is_call", "forward", "row_forward", "ttx", "bid_iv", "mark_iv",
                           "bid_iv_status", "quote_bid_iv", "log_moneyness"}
    for c in common:
        x, y = qa[c].to_numpy(), qb[c].to_numpy()
        if x.dtype.kind == "f":
            same = (x.view(np.uint64) == y.view(np.uint64)) | (np.isnan(x) & np.isnan(y))
            assert same.all(), (c, np.flatnonzero(~same)[:5])
        else:
            assert (pd.Series(x).astype(str) == pd.Series(y).astype(str)).all(), c
    for c in b.expiries.columns:
        x, y = a.expiries[c].to_numpy(), b.expiries[c].to_numpy()
        if x.dtype.kind == "f":
            assert np.array_equal(x.view(np.uint64), y.view(np.uint64)) or np.array_equal(x, y, equal_nan=True), c
        else:
            assert (pd.Series(x).astype(str) == pd.Series(y).astype(str)).all(), c
    assert list(a.rejected.index) == list(b.rejected.index)


def _csv(path):
    """A CSV as a DataFrame, numbers read exactly (correctly rounded, as
    read_chain reads them; the default parser of pandas before 3 may be an
    ulp off)."""
    exact = {} if int(pd.__version__.split(".")[0]) >= 3 else {"float_precision": "round_trip"}
    return pd.read_csv(path, **exact)


def _iso(values, unit):
    return pd.to_datetime(values, unit=unit, utc=True).map(lambda t: t.isoformat())


# ------------------------------------------------------------------ the samples


@needs_formats
def test_deribit_response_reads_as_its_tidy_equivalent_from_file_text_and_objects():
    doc = json.loads(DERIBIT.read_text())
    r = pd.DataFrame(doc["result"])
    tidy = pd.DataFrame({"observation_time_utc": _iso(r["creation_timestamp"], "ms"),
                         "instrument": r["instrument_name"], "bid": r["bid_price"], "ask": r["ask_price"],
                         "mark": r["mark_price"], "mark_iv": r["mark_iv"], "iv_unit": "percent",
                         "underlying_price": r["underlying_price"], "premium_currency": r["quote_currency"],
                         "underlying": r["base_currency"]})
    # Expiry, strike and side from the collector's tidy file, not from the names.
    known = _csv(CHAINS / "deribit_btc_eth_20260822.csv").set_index("instrument")
    tidy["expiry_utc"] = known.loc[tidy["instrument"], "expiry_utc"].to_numpy()
    tidy["strike"] = known.loc[tidy["instrument"], "strike"].to_numpy()
    tidy["option_type"] = known.loc[tidy["instrument"], "option_type"].to_numpy()
    want = kc.read_chain(tidy)
    assert want.format == "tidy" and len(want.quotes) == 1038
    for source in (DERIBIT, str(DERIBIT), DERIBIT.read_text(), DERIBIT.read_bytes(), doc, doc["result"],
                   gzip.compress(DERIBIT.read_bytes())):
        got = kc.read_chain(source)
        assert got.format == "deribit" and "deribit" in got.summary()
        assert_same_chain(got, want)
    # Two responses (BTC and ETH in practice): one table. The same one twice
    # is every row repeated: reported, not priced twice.
    twice = kc.read_chain([doc, doc])
    assert len(twice.quotes) == 1038 and (twice.rejected["reason"].str.startswith("duplicate of row")).all()


@needs_formats
def test_bybit_response_reads_as_its_tidy_equivalent():
    doc = json.loads(BYBIT.read_text())
    lst = pd.DataFrame(doc["result"]["list"])
    num = {c: pd.to_numeric(lst[c]).replace(0.0, np.nan) for c in ("bid1Price", "ask1Price", "markIv")}
    tidy = pd.DataFrame({"observation_time_utc": _iso([doc["time"]] * len(lst), "ms"), "instrument": lst["symbol"],
                         "bid": num["bid1Price"], "ask": num["ask1Price"], "mark_iv": num["markIv"],
                         "iv_unit": "decimal", "premium_currency": "USDT", "underlying": "BTC"})
    got = kc.read_chain(BYBIT)
    assert got.format == "bybit"
    assert_same_chain(got, kc.read_chain(tidy))
    assert len(got.rejected) == 28 and (got.rejected["reason"] == "empty quote (no bid, ask or mark)").all()
    # The collector's tidy file of the same quotes (BTC rows) reads the same.
    tt = _csv(CHAINS / "bybit_usdt_btc_eth_20250702.csv")
    assert_same_chain(got, kc.read_chain(tt[tt["underlying"] == "BTC"].reset_index(drop=True)))


@needs_formats
def test_tardis_file_reads_as_its_tidy_equivalent():
    t = _csv(TARDIS)
    tidy = pd.DataFrame({"observation_time_utc": _iso(t["timestamp"], "us"), "instrument": t["symbol"],
                         "expiry_utc": _iso(t["expiration"], "us"), "strike": t["strike_price"],
                         "option_type": t["type"], "bid": t["bid_price"], "ask": t["ask_price"],
                         "mark": t["mark_price"], "bid_iv": t["bid_iv"], "ask_iv": t["ask_iv"],
                         "mark_iv": t["mark_iv"], "iv_unit": "percent", "underlying_price": t["underlying_price"],
                         "premium_currency": "BTC", "underlying": "BTC"})
    got = kc.read_chain(TARDIS)
    assert got.format == "tardis" and "snapshot at 2020-05-21T23:22:35.277000Z" in got.summary()
    assert_same_chain(got, kc.read_chain(tidy))
    # Per-row times: each premium at its own time, as in the tidy file.
    assert got.quotes["observation_time"].nunique() > 100
    # The collector's tidy file holds the same quotes in another order.
    ref = kc.read_chain(CHAINS / "deribit_btc_20200521.csv")
    a = got.quotes.set_index("instrument").sort_index()
    b = ref.quotes.set_index("instrument").sort_index()
    for c in ("ttx", "forward", "bid_iv", "ask_iv", "mark_iv", "quote_ask_iv"):
        assert np.array_equal(a[c].to_numpy(), b[c].to_numpy(), equal_nan=True), c


@needs_history
def test_collector_history_reads_through_one_mapping():
    files = sorted(HISTORY.glob("*.csv.gz"))
    assert len(files) == 53
    with pytest.raises(ValueError, match="cannot tell the layout") as err:
        kc.read_chain(files[0])
    assert "tidy: missing columns" in str(err.value) and "tardis: missing columns" in str(err.value)
    for f in files:
        ch = kc.read_chain(f, columns=COLLECTOR, iv_unit="decimal")
        assert len(ch.quotes) + len(ch.rejected) == ch.n_input
        assert set(ch.expiries["underlying"]) == {"BTC", "ETH"}
        assert (ch.expiries["forward_method"] == "underlying_price").all()
        q = ch.quotes
        assert q["coin_premium"].all()
        m = q[(q["mark_premium"] > 0) & q["otm"] & q["exchange_mark_iv"].notna()]
        diff = (m["mark_iv"] - m["exchange_mark_iv"]).abs() * 100
        assert len(m) > 300 and (diff <= 0.5).mean() >= 0.97, (f.name, diff.describe())
    # The mapping reads the collector file as the tidy conversion of
    # ../history/SOURCES.md would.
    raw = _csv(files[-1])
    tidy = pd.DataFrame({"observation_time_utc": raw["timestamp"], "instrument": raw["instrument_name"],
                         "expiry_utc": raw["expiry_datetime"], "strike": raw["strike"],
                         "option_type": raw["option_type"], "bid": raw["bid_price"], "ask": raw["ask_price"],
                         "mark": raw["mark_price"], "underlying_price": raw["underlying"],
                         "mark_iv": raw["implied_volatility"], "iv_unit": "decimal",
                         "underlying": raw["currency"], "premium_currency": raw["currency"]})
    assert_same_chain(kc.read_chain(files[-1], columns=COLLECTOR, iv_unit="decimal"), kc.read_chain(tidy))


# ------------------------------------------------------------------ synthetic chains


@pytest.fixture(scope="module")
def syn():
    return kc.make_chain("VolGeo", seed=5, expiry_days=(3, 30, 91), bad_rows=False)


def test_every_layout_of_a_synthetic_chain_reads_as_the_chain(syn, tmp_path):
    want = kc.read_chain(syn.table)
    for layout in ("deribit", "bybit", "tardis"):
        src = kc.to_layout(syn.table, layout)
        got = kc.read_chain(src)
        assert got.format == layout
        for c in ("bid", "ask", "mark", "mid", "bid_iv", "ask_iv", "mark_iv", "ttx", "forward", "log_moneyness"):
            assert np.array_equal(got.quotes[c].to_numpy(), want.quotes[c].to_numpy(), equal_nan=True), (layout, c)
    (tmp_path / "d.json").write_text(json.dumps(kc.to_layout(syn.table, "deribit")))
    kc.to_layout(syn.table, "tardis").to_csv(tmp_path / "t.csv.gz", index=False)
    for path, layout in ((tmp_path / "d.json", "deribit"), (tmp_path / "t.csv.gz", "tardis")):
        assert kc.read_chain(path).format == layout
        with pytest.raises(ValueError, match="not a tidy table: missing (columns|keys)"):
            kc.read_chain(path, format="tidy")


def test_auto_refuses_what_it_cannot_place_and_names_never_come_from_numbers(syn):
    t = syn.table
    odd = t.rename(columns={"expiry_utc": "expiry", "instrument": "name"})
    with pytest.raises(ValueError) as err:
        kc.read_chain(odd)
    msg = str(err.value)
    for layout in ("tardis", "deribit", "bybit", "tidy"):
        assert f"{layout}: missing columns" in msg
    assert "expiry" in msg and "columns=" in msg
    # The user's story: a forward price in a column called `underlying`.
    numeric = t.assign(underlying=t["underlying_price"])
    with pytest.raises(ValueError, match="column 'underlying' holds .* where names are expected"):
        kc.read_chain(numeric)
    with pytest.raises(ValueError, match="column 'option_type' holds"):
        kc.read_chain(t.assign(option_type=1.0))
    # A mapping puts it right; the numbers are read where they belong.
    mapped = kc.read_chain(numeric.drop(columns="underlying_price").rename(columns={"underlying": "fwd"}),
                           columns={"underlying_price": "fwd"})
    assert_same_chain(mapped, kc.read_chain(t))
    assert mapped.read_as.startswith("tidy, columns mapped (underlying_price=fwd)")
    for bad in ({"forward": "x"}, {"bid": "no_such_column"}):
        with pytest.raises(ValueError, match="columns="):
            kc.read_chain(t, columns=bad)
    with pytest.raises(ValueError, match="unknown format"):
        kc.read_chain(t, format="okx")
    with pytest.raises(ValueError, match="at= and max_age="):
        kc.read_chain(t, at="2026-12-07T10:00:00Z")


def test_mapped_tables_say_their_units(syn):
    src = syn.table.rename(columns={"bid": "b", "ask": "a", "mark_iv": "iv"}).drop(
        columns=["premium_currency", "iv_unit", "bid_iv", "ask_iv"])
    cols = {"bid": "b", "ask": "a", "mark_iv": "iv"}
    with pytest.raises(ValueError, match="iv_unit="):
        kc.read_chain(src, columns=cols)
    with pytest.raises(ValueError, match="premium_currency="):
        kc.read_chain(src, columns=cols, iv_unit="percent")
    ch = kc.read_chain(src, columns=cols, iv_unit="percent", premium_currency="BTC")
    want = kc.read_chain(syn.table.drop(columns=["bid_iv", "ask_iv"]))
    assert_same_chain(ch, want)


def _updates(syn, obs):
    """A Tardis file of three updates per option, the last one the chain."""
    last = kc.to_layout(syn.table, "tardis")
    parts = []
    for back, scale in ((120, 1.02), (60, 1.01), (0, 1.0)):
        u = last.copy()
        u["timestamp"] -= back * 1_000_000
        u["local_timestamp"] = u["timestamp"]
        u["bid_price"] = u["bid_price"] / scale
        parts.append(u)
    return pd.concat(parts, ignore_index=True).sort_values("timestamp", kind="stable").reset_index(drop=True)


def test_tardis_snapshot_at_any_instant(syn, tmp_path, monkeypatch):
    obs = pd.Timestamp("2026-12-07T10:00:00Z")
    ups = _updates(syn, obs)
    # A tie at the last instant: the later row of the file wins.
    tie = ups.iloc[[-1]].assign(bid_price=ups["bid_price"].iloc[-1] * 0.5)
    # An option quoted two hours earlier only, and one listed after the chain.
    early = ups.iloc[[0]].assign(symbol="BTC-25DEC26-1000-C", strike_price=1000.0,
                                 timestamp=ups["timestamp"].iloc[0] - 7_200_000_000)
    late = ups.iloc[[0]].assign(symbol="BTC-25DEC26-2000-C", strike_price=2000.0,
                                timestamp=ups["timestamp"].iloc[-1] + 1)
    data = pd.concat([early, ups, tie, late], ignore_index=True)
    path = tmp_path / "options_chain.csv.gz"
    data.to_csv(path, index=False)

    at = obs.value / 1e9  # numbers are epoch seconds
    snap = kc.read_chain(path, at=at)
    want = kc.read_chain(kc.to_layout(syn.table, "tardis"))
    n = len(want.quotes)
    assert snap.n_input == n + 1 and "BTC-25DEC26-2000-C" not in set(snap.quotes["instrument"])
    tied = snap.quotes["instrument"] == tie["symbol"].iloc[0]
    assert snap.quotes.loc[tied, "bid_premium"].iloc[0] == tie["bid_price"].iloc[0]
    same = snap.quotes[~tied & (snap.quotes["instrument"] != "BTC-25DEC26-1000-C")]
    assert len(same) == n - 1
    ref = want.quotes.set_index("instrument").loc[same["instrument"]]
    for c in ("bid_iv", "ask_iv", "mark_iv", "ttx"):
        assert np.array_equal(same[c].to_numpy(), ref[c].to_numpy(), equal_nan=True), c

    # One minute earlier: the previous update of every option.
    before = kc.read_chain(path, at=obs - pd.Timedelta(seconds=60), max_age="1h")
    prev = ups[ups["timestamp"] == ups["timestamp"].min() + 60_000_000].set_index("symbol")
    got = before.quotes.set_index("instrument")
    assert np.array_equal(got["bid_premium"], prev.loc[got.index, "bid_price"], equal_nan=True)
    assert list(before.rejected["reason"].str.startswith("stale")) == [True]
    assert before.rejected["symbol"].iloc[0] == "BTC-25DEC26-1000-C"

    # Default: the last instant in the file; blocks of any size give the same snapshot.
    last = kc.read_chain(path)
    assert "the last update in the file" in last.summary()
    monkeypatch.setattr(tardis, "WHOLE", 0)  # stream it, in blocks of 4 kB
    monkeypatch.setattr(tardis, "BLOCK_SIZE", 4096)
    small = kc.read_chain(path)
    assert_same_chain(small, last)
    assert_same_chain(kc.read_chain(path, at=at), snap)
    assert_same_chain(kc.read_chain(data), last)  # the same updates as a DataFrame

    # An option that expired between its last update and the snapshot.
    expired = kc.read_chain(path, at=pd.Timestamp("2026-12-10T09:00:00Z"))
    assert expired.rejected["reason"].str.startswith("expired at the snapshot instant").sum() > 0
    with pytest.raises(ValueError, match="no option update"):
        kc.read_chain(path, at="2020-01-01")
    for far in (1e11, "5000-01-01"):   # beyond the nanosecond range
        with pytest.raises(ValueError, match="at is out of range"):
            kc.read_chain(path, at=far)


def test_tardis_unreadable_cells_and_other_exchanges(syn, tmp_path):
    data = kc.to_layout(syn.table, "tardis").astype({"ask_price": object})
    data.loc[3, "ask_price"] = "0,05"
    data.to_csv(tmp_path / "t.csv", index=False)
    ch = kc.read_chain(tmp_path / "t.csv")
    assert ch.rejected["reason"].tolist() == ["unreadable ask (not a number)"]
    # Epoch numbers beyond the nanosecond range: unreadable, never a wrapped date.
    far = kc.to_layout(syn.table, "tardis")
    far.loc[3, "expiration"] = 10**17
    far.to_csv(tmp_path / "far.csv", index=False)
    assert kc.read_chain(tmp_path / "far.csv").rejected.index.tolist() == [3]
    far.astype({"expiration": float}).to_csv(tmp_path / "far_float.csv", index=False)
    assert kc.read_chain(tmp_path / "far_float.csv").rejected.index.tolist() == [3]
    data["exchange"] = "okex-options"
    data.to_csv(tmp_path / "o.csv", index=False)
    with pytest.raises(ValueError, match="premium currency of okex-options"):
        kc.read_chain(tmp_path / "o.csv")
    assert kc.read_chain(tmp_path / "o.csv", premium_currency="BTC").quotes["coin_premium"].all()


def test_bybit_strings_empty_fields_and_settlement(syn):
    doc = kc.to_layout(syn.table, "bybit")
    lst = doc["result"]["list"]
    lst[0]["bid1Price"] = "0"
    lst[1]["ask1Price"] = "1,5"
    ch = kc.read_chain(doc)
    assert np.isnan(ch.quotes.loc[0, "bid_premium"])
    assert ch.rejected.loc[1, "reason"] == "unreadable ask (not a number)"
    assert (ch.quotes["premium_currency"] == "USDT").all() and not ch.quotes["coin_premium"].any()
    assert (ch.quotes["observation_time"] == pd.Timestamp("2026-12-07T10:00:00Z")).all()
    # Names without a settlement suffix are USDC options; a coin suffix is a coin premium.
    plain = [dict(e, symbol=e["symbol"][:-5]) for e in lst[2:6]]
    coin = [dict(e, symbol=e["symbol"][:-5] + "-BTC") for e in lst[6:10]]
    ch2 = kc.read_chain(dict(doc, result={"category": "option", "list": plain + coin}))
    assert list(ch2.quotes["premium_currency"]) == ["USDC"] * 4 + ["BTC"] * 4
    assert list(ch2.quotes["coin_premium"]) == [False] * 4 + [True] * 4
    with pytest.raises(ValueError, match="error response: retCode 10001"):
        kc.read_chain({"retCode": 10001, "retMsg": "params error", "result": {}})
    with pytest.raises(ValueError, match="observation time"):
        kc.read_chain(lst)  # the bare list has no time of its own


def test_deribit_empty_sides_and_errors(syn):
    doc = kc.to_layout(syn.table, "deribit")
    doc["result"][0]["bid_price"] = None
    del doc["result"][1]["ask_price"]
    ch = kc.read_chain(doc)
    assert np.isnan(ch.quotes.loc[0, "bid_premium"]) and np.isnan(ch.quotes.loc[1, "ask_premium"])
    assert ch.quotes.loc[0, "bid_iv_status"] == "no_quote"
    with pytest.raises(ValueError, match="error response"):
        kc.read_chain({"jsonrpc": "2.0", "error": {"code": 10009, "message": "currency"}})
    with pytest.raises(ValueError, match="empty chain"):
        kc.read_chain({"jsonrpc": "2.0", "result": []})
    # A futures summary is not a chain of options: every name is reported.
    fut = {"jsonrpc": "2.0", "result": [dict(doc["result"][2], instrument_name="BTC-PERPETUAL")] * 2}
    with pytest.raises(ValueError, match="unparsable instrument name 'BTC-PERPETUAL'"):
        kc.read_chain(fut)


def test_sources_of_every_kind_read_alike(syn, tmp_path):
    import io

    want = kc.read_chain(syn.table)
    csv = syn.table.to_csv(index=False)
    (tmp_path / "c.csv").write_text(csv)
    (tmp_path / "c.csv.gz").write_bytes(gzip.compress(csv.encode()))
    (tmp_path / "c.dat").write_bytes(gzip.compress(("\ufeff" + csv.replace("\n", "\r\n")).encode()))
    for source in (tmp_path / "c.csv", str(tmp_path / "c.csv.gz"), tmp_path / "c.dat", csv, csv.encode(),
                   io.StringIO(csv), io.BytesIO(csv.encode())):
        assert_same_chain(kc.read_chain(source), want)
    doc = kc.to_layout(syn.table, "deribit")
    pretty = json.dumps(doc, indent=2)
    halves = (dict(doc, result=doc["result"][:100]), dict(doc, result=doc["result"][100:]))
    ndjson = "\n".join(json.dumps(h) for h in halves)
    for source in (pretty, ndjson, io.StringIO(pretty)):
        got = kc.read_chain(source)
        assert got.format == "deribit" and len(got.quotes) == len(want.quotes)
    # Without creation_timestamp the response's own time (usOut) is the observation time.
    bare = dict(doc, result=[{k: v for k, v in e.items() if k != "creation_timestamp"} for e in doc["result"]])
    assert (kc.read_chain(bare).quotes["observation_time"] == pd.Timestamp("2026-12-07T10:00:00Z")).all()
    with pytest.raises(ValueError, match="unreadable JSON"):
        kc.read_chain('{"result": [')
    with pytest.raises(ValueError, match="empty chain"):
        kc.read_chain(csv.splitlines()[0] + "\n")
    with pytest.raises(ValueError, match="empty chain"):
        kc.read_chain([])
    with pytest.raises(FileNotFoundError):
        kc.read_chain(tmp_path / "missing.csv")
    with pytest.raises(TypeError):
        kc.read_chain([{"a": 1}, "BTC-25DEC26-100000-C"])


def test_times_given_as_datetimes_or_numbers(syn):
    t = syn.table
    want = kc.read_chain(t)
    obs = pd.to_datetime(t["observation_time_utc"], utc=True)
    for col in (obs, obs.dt.tz_convert("Asia/Tokyo"), obs.dt.tz_localize(None)):
        assert_same_chain(kc.read_chain(t.assign(observation_time_utc=col)), want)
    epoch = obs.iloc[0].value / 1e9
    fixed = kc.read_chain(t.drop(columns="observation_time_utc"), observation_time=epoch)
    assert_same_chain(fixed, want)
    with pytest.raises(ValueError, match="numbers where instants are expected"):
        kc.read_chain(t.assign(observation_time_utc=epoch))
    # The public forward helper gives the chain's own forwards.
    q = want.quotes
    e = kc.expiry_forwards(q, q["row_forward"])
    assert e["forward"].tolist() == want.expiries["forward"].tolist()
    assert e["forward_method"].tolist() == want.expiries["forward_method"].tolist()
