"""Exchange instrument names: BTC-27DEC24-100000-C and its relatives.

A chain repeats each name at most once per snapshot, and a day of updates
repeats a few thousand names millions of times, so names are parsed once per
distinct name, all of them in one regular-expression pass (pyarrow's RE2),
and the results are spread back to the rows by their codes.
"""

from __future__ import annotations

import datetime as dt
import re
from typing import Any, NamedTuple

import numpy as np
import pyarrow as pa
import pyarrow.compute as pc

from .. import _kernels
from .._inputs import side_code
from .columns import codes_of

# BTC-27DEC24-100000-C, BTC-241227-100000-C, BTC-3JUL25-101000-C-USDT,
# BTC_USDC-27DEC24-100000-C, BTC-USD-241227-100000-C, XRP_USDC-27DEC24-0d625-C.
# Written for Python's re and RE2 alike.
PATTERN = (r"^(?P<und>[A-Z0-9]+)(?:[-_](?P<quote>[A-Z]+))?-(?P<exp>\d{1,2}[A-Z]{3}\d{2}|\d{6})"
           r"-(?P<strike>\d+(?:[.D]\d+)?)-(?P<side>[A-Z]+)(?:-(?P<settle>[A-Z]+))?$")
INSTRUMENT = re.compile(PATTERN)

MONTHS = {m: i for i, m in enumerate(
    ("JAN", "FEB", "MAR", "APR", "MAY", "JUN", "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"), start=1)}

def expiry_date(token: str) -> dt.date:
    """The expiry day of a name's date part (27DEC24 or 241227); ValueError if none."""
    try:
        if token[-5:-2].isalpha():
            return dt.date(2000 + int(token[-2:]), MONTHS[token[-5:-2]], int(token[:-5]))
        return dt.date(2000 + int(token[:2]), int(token[2:4]), int(token[4:]))
    except (KeyError, ValueError):
        raise ValueError(token) from None


class Names(NamedTuple):
    """What the names say, one entry per distinct name (the `uniques`).

    `error` is None for a readable name, else the reason it is not;
    `expiry` is datetime64[ns] (NaT where unreadable); `underlying` and
    `currency` (the quote or settlement currency a name carries) are codes
    into their few distinct values, -1 where a name says nothing."""

    underlying: tuple[np.ndarray, list[str]]
    expiry: np.ndarray  # datetime64[ns]
    strike: np.ndarray  # float64
    is_call: np.ndarray  # int8: 1 call, 0 put, -1 unknown
    currency: tuple[np.ndarray, list[str]]
    error: np.ndarray  # object: str or None


def parse_names(uniques, expiry_hour: int) -> Names:
    """Parse distinct instrument names (a sequence of str) in one pass."""
    raw = pa.array(uniques, type=pa.string()) if not isinstance(uniques, pa.Array) else uniques.cast(pa.string())
    if raw.null_count == 0:
        names = _compiled(raw, expiry_hour)
        if names is not None:
            return names
    return _parse_general(raw, expiry_hour)


# Status codes of the compiled parser.
_UNPARSABLE, _BAD_EXPIRY, _UNKNOWN_SIDE = 1, 2, 3


def _compiled(raw: pa.Array, expiry_hour: int) -> Names | None:
    """The names taken apart by the compiled parser (the same reading as
    PATTERN's), or None for names it leaves to the general one."""
    _, offsets, chars = raw.buffers()
    offsets = np.frombuffer(offsets, dtype=np.int32, count=len(raw) + 1, offset=4 * raw.offset)
    got: Any = _kernels.instrument_names(np.ascontiguousarray(offsets), b"" if chars is None else chars.to_pybytes(),
                                    int(expiry_hour))
    if got is None:
        return None
    und_codes, unds, ccy_codes, ccys, expiry_ns, strike, is_call, status = got
    error = np.full(len(raw), None, dtype=object)
    for i in np.flatnonzero(status):
        name = raw[int(i)].as_py()
        if status[i] == _UNPARSABLE:
            error[i] = f"unparsable instrument name {name!r}"
        elif status[i] == _BAD_EXPIRY:
            error[i] = f"unparsable expiry in instrument name {name!r}"
        else:
            m = INSTRUMENT.match(name.strip().upper())
            side = m["side"] if m is not None else ""
            error[i] = f"unknown option side {side!r} in instrument name {name!r}"
    return Names((und_codes.astype(np.intp, copy=False), list(unds)), expiry_ns.view("datetime64[ns]"), strike,
                 is_call, (ccy_codes.astype(np.intp, copy=False), list(ccys)), error)


def _parse_general(raw: pa.Array, expiry_hour: int) -> Names:
    n = len(raw)
    text = pc.utf8_upper(pc.utf8_trim_whitespace(raw))
    found = pc.extract_regex(text, PATTERN)
    matched = found.is_valid().to_numpy(zero_copy_only=False)
    groups = {name: found.field(name) for name in ("und", "quote", "exp", "strike", "side", "settle")}
    error = np.full(n, None, dtype=object)
    if not matched.all():
        originals = raw.to_pylist()
        for i in np.flatnonzero(~matched):
            error[i] = f"unparsable instrument name {originals[i]!r}"

    # Expiry: a handful of distinct date parts.
    exp_codes, exp_tokens = _codes(groups["exp"])
    hour = np.timedelta64(int(expiry_hour), "h")
    exp_values = np.full(len(exp_tokens) + 1, np.datetime64("NaT", "ns"))
    for j, token in enumerate(exp_tokens):
        try:
            exp_values[j] = np.datetime64(expiry_date(token), "ns") + hour
        except ValueError:
            pass
    expiry = exp_values[exp_codes]
    bad_exp = matched & np.isnat(expiry)
    for i in np.flatnonzero(bad_exp):
        error[i] = f"unparsable expiry in instrument name {raw[int(i)].as_py()!r}"

    side_codes, side_tokens = _codes(groups["side"])
    side_lut = np.array([side_code(s) for s in side_tokens] + [-1], dtype=np.int8)
    is_call = side_lut[side_codes]
    bad_side = matched & ~bad_exp & (is_call < 0)
    for i in np.flatnonzero(bad_side):
        side = groups["side"][int(i)].as_py()
        error[i] = f"unknown option side {side!r} in instrument name {raw[int(i)].as_py()!r}"

    strike_text = pc.replace_substring(groups["strike"], "D", ".")
    strike_text = pc.if_else(pc.equal(strike_text, ""), pa.scalar(None, pa.string()), strike_text)
    strike = strike_text.cast(pa.float64()).to_numpy(zero_copy_only=False)

    und = groups["und"]
    if not matched.all():
        # A name of another form still tells its underlying by its first word.
        prefix = pc.fill_null(pc.extract_regex(text, r"^(?P<und>[A-Z0-9]+)").field("und"), "")
        und = pc.if_else(pa.array(matched), und, prefix)
    # The settlement suffix (Bybit's -USDT) names the premium currency; else
    # the quote part of the underlying (Deribit's BTC_USDC).
    currency = pc.if_else(pc.equal(groups["settle"], ""), groups["quote"], groups["settle"])
    return Names(_codes(und, blank_missing=True), expiry, strike, is_call, _codes(currency, blank_missing=True),
                 error)


def _codes(arr: pa.Array, blank_missing: bool = False) -> tuple[np.ndarray, list]:
    """Dictionary codes of a string array (-1 for nulls, and for "" when
    `blank_missing`) and its distinct values."""
    enc = pc.dictionary_encode(arr)
    codes = codes_of(enc.indices)
    values = enc.dictionary.to_pylist()
    if blank_missing and "" in values:
        codes = np.where(codes == values.index(""), -1, codes)
    return codes, values
