"""Which layout a source is in, and reading it under the tidy names.

`format="auto"` places a table by its column names (a CSV's header, a
DataFrame's columns, the keys of JSON entries), trying the layouts from
the most specific signature to the least:

- tardis: symbol, timestamp, type, strike_price, expiration and a price
  (bid_price, ask_price or mark_price);
- deribit: instrument_name, quote_currency and a price (bid_price,
  ask_price or mark_price);
- bybit: symbol and a price (bid1Price, ask1Price or markPrice);
- tidy: expiry_utc, strike and option_type (or instrument) and a price
  (bid, ask or mark).

The first layout whose signature the columns hold is chosen, and the
Table says so. A table that none fits is refused with one error naming
every layout tried and the columns it lacks for each.
"""

from __future__ import annotations

from . import bybit, deribit, tardis, tidy
from .columnset import from_arrow, from_frame, from_json
from .sources import Csv, Frame, Json, Names, open_source
from .table import Table

FORMATS = ("auto", "tidy", "deribit", "tardis", "bybit")
# Tried in this order by "auto".
LAYOUTS = {"tardis": tardis, "deribit": deribit, "bybit": bybit, "tidy": tidy}


def read_table(source, *, format: str = "auto", columns: dict | None = None, iv_unit: str | None = None,
               premium_currency: str | None = None, at=None, max_age=None) -> Table:
    """The source as a Table under the tidy names (see read_chain)."""
    if format not in FORMATS:
        raise ValueError(f"unknown format {format!r}: use one of {', '.join(FORMATS)}")
    if columns is not None and format not in ("auto", "tidy"):
        raise ValueError(f"columns= maps a table to the tidy layout; it does not apply to format={format!r}")
    src = open_source(source)
    if isinstance(src, Names):
        if format not in ("auto", "tidy") or columns is not None:
            raise ValueError("a list of instrument names is read as the tidy layout, without columns=")
        layout_only(at, max_age, "tidy")
        if not src.names:
            raise ValueError("empty chain: the table has no rows")
        return tidy.names_table(src.names)

    if isinstance(src, Csv):
        names, what = src.header, "columns"
    else:
        cs = from_frame(src.df) if isinstance(src, Frame) else from_json(src)
        if cs.n == 0:
            raise ValueError("empty chain: the table has no rows")
        names, what = cs.names, ("keys" if isinstance(src, Json) else "columns")

    name, how = choose(names, what, format, columns)
    layout_only(at, max_age, name)
    layout = LAYOUTS[name]

    if isinstance(src, Csv):
        if name == "tardis":
            return tardis.read_csv(src, how, at=at, max_age=max_age, premium_currency=premium_currency)
        types = tidy.csv_types(tidy.view(names, columns)) if name == "tidy" else {}
        cs = from_arrow(src.read(types))
        if cs.n == 0:
            raise ValueError("empty chain: the table has no rows")
    if name == "tardis":
        return tardis.read(cs, how, at=at, max_age=max_age, premium_currency=premium_currency)
    if name == "tidy":
        return tidy.read(cs, how, columns, iv_unit=iv_unit, premium_currency=premium_currency)
    return layout.read(cs, how)


def layout_only(at, max_age, chosen: str) -> None:
    if chosen != "tardis" and (at is not None or max_age is not None):
        raise ValueError(f"at= and max_age= choose a snapshot in a tardis file of updates; this source reads as "
                         f"{chosen}")


def choose(names: list[str], what: str, format: str, columns: dict | None) -> tuple[str, str]:
    """(layout name, how it was chosen)."""
    if columns is not None:
        mapped = ", ".join(f"{t}={s}" for t, s in columns.items())
        return "tidy", f"tidy, columns mapped ({mapped})"
    if format != "auto":
        lacking = LAYOUTS[format].missing(names)
        if lacking:
            raise ValueError(f"not a {format} table: missing {what} {lacking}; it has {_listing(names)}")
        return format, f"{format}, as asked"
    tried = {}
    for name, layout in LAYOUTS.items():
        lacking = layout.missing(names)
        if not lacking:
            return name, f"{name}, recognised by its {what} ({_signature(name, names)})"
        tried[name] = lacking
    detail = "; ".join(f"{n}: missing {what} {lacking}" for n, lacking in tried.items())
    raise ValueError(f"cannot tell the layout of this table, tried {detail}. It has {_listing(names)}. "
                     "Give format=, or map its columns to the tidy names with columns={tidy name: source name}")


_SIGNATURES = {
    "tardis": tardis.REQUIRED,
    "deribit": ("instrument_name", "quote_currency"),
    "bybit": ("symbol",),
    "tidy": tidy.IDENTITY + ("instrument",),
}


def _signature(name: str, names: list[str]) -> str:
    present = set(names)
    return ", ".join(c for c in _SIGNATURES[name] if c in present)


def _listing(names: list[str]) -> str:
    shown = ", ".join(names[:30])
    return shown + (f" and {len(names) - 30} more" if len(names) > 30 else "")
