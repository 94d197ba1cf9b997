"""The readers' fast paths read exactly what their general paths read.

Exchange JSON goes through a compiled reader and instrument names through a
compiled parser when the input is plain; everything else (and anything they
refuse) takes the general route. Both must give the same columns, types,
values and codes, so each case here is read both ways and compared.
"""

import json
import random

import numpy as np
import pytest

pytest.importorskip("korvex_chain._kernels")
pd = pytest.importorskip("pandas")
pa = pytest.importorskip("pyarrow")

import korvex_chain as kc  # noqa: E402
from korvex_chain import forwards  # noqa: E402
from korvex_chain.readers import columnset, names, sources  # noqa: E402
from korvex_chain.readers.table import make_frame  # noqa: E402


# ------------------------------------------------------------------ JSON


def both_ways(text: str, monkeypatch):
    """(compiled, general) readings of JSON text as the layout readers see it:
    names, and per name the column's type and values; the responses' own
    members. compiled is None when the compiled reader refused the text."""
    data = text.encode()

    def seen(doc):
        cs = columnset.from_json(doc)
        cols = {}
        for c in cs.names:
            col = cs.column(c)
            if isinstance(col, (pa.Array, pa.ChunkedArray)):
                cols[c] = (str(col.type), col.to_pylist())
            else:
                cols[c] = ("object", list(col))
        envelope = {k: cs.envelope(k) for k in ("usOut", "time", "result.category", "jsonrpc")}
        envelope = {k: None if v is None else (str(getattr(v, "type", "object")), list(v.to_pylist()
                    if hasattr(v, "to_pylist") else v)) for k, v in envelope.items()}
        return cs.names, cs.n, cols, envelope

    fast = sources._json(data)
    compiled = seen(fast) if fast.entries is not None else None
    with monkeypatch.context() as m:
        m.setattr(sources, "_plain_entries", lambda data: None)
        general = seen(sources._json(data))
    return compiled, general


def entry(i, **extra):
    e = {"instrument_name": f"BTC-27DEC24-{1000 * (i + 1)}-C", "bid_price": 0.01 * i if i % 3 else None,
         "ask_price": 0.02 * (i + 1), "mark_iv": 50 + i, "quote_currency": "BTC", "creation_timestamp": 1735000000000}
    e.update(extra)
    return e


def response(entries, **extra):
    r = {"jsonrpc": "2.0", "result": entries, "usIn": 1735000000000000, "usOut": 1735000000000123, "testnet": False}
    r.update(extra)
    return r


PLAIN = {
    "one response": json.dumps(response([entry(i) for i in range(5)])),
    "responses one per line, ints in one and decimals in the other": "\n".join(
        [json.dumps(response([entry(i) for i in range(3)])),
         json.dumps(response([entry(i, mark_iv=50.5 + i, volume=1) for i in range(4)], usOut=1.5))]) + "\n",
    "a list of responses": json.dumps([response([entry(0)]), response([entry(1), entry(2, volume=True)])]),
    "a list of entries": json.dumps([entry(i) for i in range(4)]),
    "entries one per line": "\n".join(json.dumps(entry(i)) for i in range(3)),
    "one entry": json.dumps(entry(7)),
    "pretty printed": json.dumps(response([entry(i) for i in range(2)]), indent=2),
    "bybit": json.dumps({"retCode": 0, "retMsg": "OK", "result": {"category": "option", "nextPageCursor": "",
                                                                 "list": [{"symbol": "BTC-3JUL25-1-C-USDT",
                                                                           "bid1Price": "0", "markIv": "0.5"}]},
                         "retExtInfo": {}, "time": 1751463062000}),
    "an empty result beside a full one": json.dumps([response([]), response([entry(3)])]),
    "every value null in a column": json.dumps(response([entry(i, underlying_price=None) for i in range(3)])),
    "text with escapes": json.dumps(response([entry(0, note="caf\u00e9 \"quoted\" \\ \n")])),
}

REFUSED = {
    "a nested value": json.dumps(response([entry(0, greeks={"delta": 0.5})])),
    "an integer beyond 2^53": json.dumps(response([entry(0, open_interest=2**53 + 1)])),
    "an integer beyond int64": json.dumps(response([entry(0, open_interest=2**64)])),
    "minus zero": json.dumps(response([entry(0, bid_price=-0.0)])),
    "a date as text": json.dumps(response([entry(0, expiry="2024-12-27T08:00:00Z")])),
    "text and numbers in one column": json.dumps(response([entry(0, bid_price="1"), entry(1)])),
    "a member given twice": '{"jsonrpc":"2.0","result":[{"a":1,"a":2}]}',
    "an error response": json.dumps({"jsonrpc": "2.0", "error": {"code": 10009, "message": "bad"}}),
    "a failed retCode": json.dumps({"retCode": 10001, "retMsg": "bad", "result": {"list": []}}),
    "responses mixed with entries": "\n".join([json.dumps(response([entry(0)])), json.dumps(entry(1))]),
    "a member of two kinds across responses": "\n".join([json.dumps(response([entry(0)], usOut="x")),
                                                         json.dumps(response([entry(1)]))]),
    "a result without a list": json.dumps({"retCode": 0, "result": {"category": "option"}}),
    "not JSON": '{"jsonrpc": "2.0", "result": [',
}


@pytest.mark.parametrize("case", sorted(PLAIN))
def test_plain_json_reads_as_the_general_readers_read_it(case, monkeypatch):
    compiled, general = both_ways(PLAIN[case], monkeypatch)
    assert compiled is not None, "the compiled reader refused plain JSON"
    names_c, n_c, cols_c, env_c = compiled
    names_g, n_g, cols_g, env_g = general
    assert (names_c, n_c) == (names_g, n_g)
    for c in names_g:
        # Types agree once a column is whole; values agree exactly.
        assert cols_c[c][1] == cols_g[c][1], c
        assert cols_c[c][0] == cols_g[c][0], c
    assert env_c == env_g


@pytest.mark.parametrize("case", sorted(REFUSED))
def test_json_the_compiled_reader_leaves_to_the_general_ones(case):
    assert sources._plain_entries(REFUSED[case].lstrip().encode()) is None


def test_deribit_json_reads_to_the_same_chain_either_way(monkeypatch):
    syn = kc.make_chain("VolGeo", bad_rows=True).table
    text = json.dumps(kc.to_layout(syn, "deribit"))
    fast = kc.read_chain(text)
    monkeypatch.setattr(sources, "_plain_entries", lambda data: None)
    slow = kc.read_chain(text)
    pd.testing.assert_frame_equal(fast.quotes, slow.quotes, check_exact=True)
    pd.testing.assert_frame_equal(fast.rejected, slow.rejected, check_exact=True)
    pd.testing.assert_frame_equal(fast.expiries, slow.expiries, check_exact=True)


# ------------------------------------------------------------------ instrument names


NAMES = ["BTC-27DEC24-100000-C", "garbage", "ETH-USDC-27DEC24-1-X-Y", "BTC_USDC-31FEB25-5-C", "BTC-27DEC24-5-Q-USDT",
         " eth-1jan25-2d5-p ", "xrp", "-abc", "SOL-241227-10-P-SOL", "", "BTC-USD-241227-100000-C",
         "XRP_USDC-27DEC24-0d625-C", "BTC-29FEB24-1-P", "BTC-29FEB25-1-P", "BTC-00JAN25-1-P", "BTC-251301-1-C",
         "BTC-7DEC24-1.5-CALL", "BTC-7DEC24-1.-C", "BTC-7DEC24-1D-C", "BTC-07DEC24-1-PUT", "BTC-7DECX24-1-C",
         "BTC-7DEC245-1-C", "BTC-2412270-1-C", "BTC_-7DEC24-1-C", "BTC-USD-XX-1-C", "btc-3jul25-101000-c-usdt",
         "BTC-3JUL25-101000-C-USDT-X", "1000SHIB-3JUL25-1-C", "\tBTC-3JUL25-1-C\n", "BTC-3JUL25-1-C-",
         "BTC--3JUL25-1-C", "ETH-28MAR25-2D33333333333333333-P", "BTC-3JUL25-12345678901234567890.125-C"]


def same_names(a, b):
    for f in a._fields:
        x, y = getattr(a, f), getattr(b, f)
        if isinstance(x, tuple):
            assert x[1] == y[1], f
            x, y = x[0], y[0]
        assert x.dtype == y.dtype, f
        if x.dtype.kind in "fM":
            x, y = x.view(np.int64), y.view(np.int64)
        assert x.tolist() == y.tolist(), f


@pytest.mark.parametrize("hour", [8, 0])
def test_compiled_name_parser_reads_as_the_pattern(hour):
    raw = pa.array(NAMES)
    compiled = names._compiled(raw, hour)
    assert compiled is not None
    same_names(compiled, names._parse_general(raw, hour))
    assert compiled.error[1] == "unparsable instrument name 'garbage'"
    assert compiled.error[3] == "unparsable expiry in instrument name 'BTC_USDC-31FEB25-5-C'"
    assert compiled.error[4] == "unknown option side 'Q' in instrument name 'BTC-27DEC24-5-Q-USDT'"


def test_compiled_name_parser_on_mangled_names():
    rng = random.Random(20261207)
    alphabet = "BTCETHUSDXP-_0123456789DJANFEBDECMAY .dcpq\t"
    for _ in range(400):
        batch = []
        for _ in range(rng.randint(1, 6)):
            b = list(rng.choice(NAMES))
            for _ in range(rng.randint(0, 3)):
                i = rng.randrange(len(b) + 1)
                if b and rng.random() < 0.5:
                    b[min(i, len(b) - 1)] = rng.choice(alphabet)
                else:
                    b.insert(i, rng.choice(alphabet))
            batch.append("".join(b))
        raw = pa.array(list(dict.fromkeys(batch)))
        same_names(names.parse_names(raw, 8), names._parse_general(raw, 8))


def test_names_outside_ascii_go_to_the_general_parser():
    raw = pa.array(["BTC-27DEC24-1-C", "btc-27dec24-1-\u0131"])  # dotless i upper-cases to I
    assert names._compiled(raw, 8) is None
    got = names.parse_names(raw, 8)
    assert got.error[1] is not None or got.is_call[1] in (0, 1)
    same_names(got, names._parse_general(raw, 8))


# ------------------------------------------------------------------ groups and frames


def test_group_numbering_by_sort_equals_the_unique_based_one():
    rng = np.random.default_rng(7)
    for _ in range(300):
        pool = ["ETH", "BTC", "btc", "SOL", "A", "?"]
        und = list(dict.fromkeys(rng.choice(pool, rng.integers(1, 6)).tolist()))
        n = int(rng.integers(1, 80))
        codes = rng.integers(0, len(und), n).astype(np.int64)
        times = (rng.integers(0, 8, n) * 86_400_000_000_000 + 1_787_000_000_000_000_000).view("datetime64[ns]")
        g1, (n1, t1) = forwards._groups_by_sort(codes, und, times)
        g2, (n2, t2) = forwards._groups_by_unique(codes, und, times)
        assert g1.tolist() == g2.tolist() and g1.dtype == g2.dtype
        assert n1.tolist() == n2.tolist() and t1.tolist() == t2.tolist() and t1.dtype == t2.dtype


def test_frames_from_blocks_are_plain_writable_frames():
    n = 5
    f = np.arange(n, dtype=float)
    ro = np.arange(n, dtype=float)
    ro.flags.writeable = False
    cols = {"a": f, "s": pd.array(list("abcde"), dtype=pd.Series(["x"]).dtype), "b": f > 2, "c": ro,
            "t": pd.DatetimeIndex(np.arange(n).astype("datetime64[s]")).tz_localize("UTC").array,
            "o": np.array([None, 1, "x", 2.0, None], dtype=object), "i": np.arange(n)}
    got = make_frame(cols, pd.RangeIndex(n))
    want = pd.DataFrame(cols)
    pd.testing.assert_frame_equal(got, want, check_exact=True)
    got.loc[0, "c"] = 99.0  # a read-only source column was copied, not shared
    got.loc[1, "a"] = -1.0
    assert ro[0] == 0.0 and f[1] == 1.0


def test_rows_without_an_underlying_are_expiries_of_their_own():
    q = kc.read_chain(kc.make_chain("VolGeo", bad_rows=False).table).quotes
    both = pd.concat([q, q.assign(underlying="ETH")], ignore_index=True)
    alone = kc.expiry_forwards(both, both["row_forward"])
    both.loc[:5, "underlying"] = None
    e = kc.expiry_forwards(both, both["row_forward"])
    assert not e.duplicated(["underlying", "expiry"]).any()
    assert e["underlying"].isna().sum() == 1
    # The named underlyings keep the expiries they have without those rows.
    named = e[e["underlying"].notna()].reset_index(drop=True)
    pd.testing.assert_frame_equal(named[["underlying", "expiry"]], alone[["underlying", "expiry"]])
    assert (named["forward"].to_numpy() == alone["forward"].to_numpy()).all()


def test_implied_vols_started_on_their_own_threads_are_implied_vols():
    from korvex_chain.arrays import start_implied_vols

    rng = np.random.default_rng(11)
    n = 3000
    fwd = 100 * np.exp(rng.uniform(-0.3, 0.3, n))
    strike = fwd * np.exp(rng.uniform(-1, 1, n))
    ttx = rng.uniform(0.0, 2.0, n)
    is_call = rng.random(n) < 0.5
    prices = np.stack([kc.b76(fwd, strike, ttx, rng.uniform(0.05, 3, n), is_call).fairvalue * rng.uniform(0.9, 1.1, n)
                       for _ in range(4)])
    prices[0, ::7] = np.nan
    want = kc.implied_vols(ttx, fwd, strike, prices, is_call, status=True)
    for threads in (None, 1, 3):
        run = start_implied_vols(ttx, fwd, strike, prices, is_call, threads=threads)
        got = run.result()
        assert got[0].shape == prices.shape and got[1].dtype == np.int8
        assert np.array_equal(got[0].view(np.int64), want[0].view(np.int64))
        assert np.array_equal(got[1], want[1])
        assert np.shares_memory(run.result()[0], got[0])  # waited once; the same arrays after
    empty = start_implied_vols(np.empty(0), 1.0, 1.0, np.empty(0), True).result()
    assert empty[0].shape == (0,) and empty[1].shape == (0,)
    with pytest.raises(ValueError):
        start_implied_vols(ttx, fwd, strike, prices, is_call, threads=0)
    del run  # a run dropped unwaited joins its threads
    start_implied_vols(ttx, fwd, strike, prices, is_call)
