"""A table's columns by source name, whatever holds them.

A CSV read by pyarrow, a DataFrame, or the entries of JSON responses all
show the layout readers the same face: the column names, a column by name
(None when absent), the number of rows and the source rows by position.
"""

from __future__ import annotations

from typing import Any, Callable

import numpy as np
import pandas as pd
import pyarrow as pa

from .sources import Json
from .table import NO_POSITIONS, NO_ROWS, arrow_rows, frame_rows, make_frame


class ColumnSet:
    def __init__(self, names: list[str], n: int, get: Callable[[str], Any],
                 rows: Callable[..., pd.DataFrame], envelope: Callable[[str], Any] | None = None):
        self.names = list(names)
        self.n = n
        self._get = get
        self.rows = rows
        self._envelope = envelope

    def __contains__(self, name: str) -> bool:
        return name in self.names

    def column(self, name: str):
        return self._get(name) if name in self.names else None

    def envelope(self, name: str):
        """A field of the JSON response around each row (None if absent)."""
        return self._envelope(name) if self._envelope is not None else None


def from_frame(df: pd.DataFrame) -> ColumnSet:
    df = df.reset_index(drop=True)
    names = [str(c) for c in df.columns]
    if len(set(names)) != len(names):
        dup = sorted({c for c in names if names.count(c) > 1})
        raise ValueError(f"the table has repeated column names {dup}")
    by_name = dict(zip(names, df.columns))
    return ColumnSet(names, len(df), lambda c: df[by_name[c]], frame_rows(df))


def from_arrow(table: pa.Table) -> ColumnSet:
    names = table.column_names
    if len(set(names)) != len(names):
        dup = sorted({c for c in names if names.count(c) > 1})
        raise ValueError(f"the table has repeated column names {dup}")
    return ColumnSet(names, table.num_rows, table.column, arrow_rows(table))


# ------------------------------------------------------------------ JSON


class JsonError(ValueError):
    pass


def from_json(doc: Json) -> ColumnSet:
    """The entries of JSON responses as one table.

    A response is an object whose `result` is the list of entries (Deribit's
    JSON-RPC) or holds it under `list` (Bybit's v5); a bare list of entries
    is read as it is. The responses' other fields (their times) are kept per
    entry, for `envelope`."""
    if doc.entries is not None:
        return _json_columns(*doc.entries)
    parts: list[pa.Table | list[dict]] = []
    envelopes: list[dict] = []
    if doc.arrow is not None:
        t = doc.arrow
        if "result" in t.column_names:
            result = t.column("result").combine_chunks()
            other = [c for c in t.column_names if c != "result" and _scalar_type(t.schema.field(c).type)]
            for i in range(t.num_rows):
                env = {c: t.column(c)[i].as_py() for c in other}
                _check_envelope(env)
                if pa.types.is_struct(result.type):
                    if "list" not in [f.name for f in result.type]:
                        raise JsonError("a JSON response whose result holds no list of entries")
                    for f in result.type:
                        if f.name != "list" and _scalar_type(f.type):
                            env.setdefault(f"result.{f.name}", result.field(f.name)[i].as_py())
                    entries = result.field("list")[i].values
                elif pa.types.is_list(result.type) or pa.types.is_large_list(result.type):
                    entries = result[i].values
                else:
                    raise JsonError("a JSON response whose result is neither a list nor an object with a list")
                parts.append(_struct_table(entries))
                envelopes.append(env)
        else:
            if "error" in t.column_names and t.column("error").null_count < t.num_rows:
                _check_envelope({"error": t.column("error").drop_null()[0].as_py()})
            parts.append(t)
            envelopes.append({})
    else:
        objs = doc.objects or []
        if objs and all(isinstance(o, dict) for o in objs) and any(
                k in objs[0] for k in ("result", "jsonrpc", "retCode", "error")):
            for o in objs:
                env = {k: v for k, v in o.items() if k != "result" and not isinstance(v, (dict, list))}
                if "error" in o:
                    env["error"] = o["error"]
                _check_envelope(env)
                res = o.get("result")
                if isinstance(res, dict):
                    for k, v in res.items():
                        if k != "list" and not isinstance(v, (dict, list)):
                            env.setdefault(f"result.{k}", v)
                    res = res.get("list")
                if not isinstance(res, list):
                    raise JsonError("a JSON response without a list of entries in its result")
                if not all(isinstance(e, dict) for e in res):
                    raise JsonError("a JSON response whose result list holds something else than objects")
                parts.append(res)
                envelopes.append(env)
        elif all(isinstance(o, dict) for o in objs):
            parts.append(objs)
            envelopes.append({})
        else:
            raise JsonError("JSON that is neither a response, a list of responses nor a list of entries")
    return _json_columns(parts, envelopes)


def _scalar_type(t: pa.DataType) -> bool:
    return not (pa.types.is_nested(t))


def _check_envelope(env: dict) -> None:
    if env.get("error") is not None:
        raise JsonError(f"the JSON is an error response: {env['error']}")
    code = env.get("retCode")
    if code not in (None, 0, "0"):
        raise JsonError(f"the JSON is an error response: retCode {code}, {env.get('retMsg')!r}")


def _struct_table(entries: pa.Array) -> pa.Table:
    if pa.types.is_null(entries.type):
        return pa.table({})
    if not pa.types.is_struct(entries.type):
        raise JsonError("a JSON response whose result list holds something else than objects")
    return pa.Table.from_arrays(entries.flatten(), names=[f.name for f in entries.type])


def _json_columns(parts: list, envelopes: list[dict], whole: dict[str, Any] | None = None) -> ColumnSet:
    """The parts' entries as one table (`whole`: the columns already joined,
    when the reader has them)."""
    lengths = [p.num_rows if isinstance(p, pa.Table) else len(p) for p in parts]
    n = int(sum(lengths))
    names: list[str] = []
    seen = set()
    for p in parts:
        keys = p.column_names if isinstance(p, pa.Table) else _keys(p)
        for k in keys:
            if k not in seen:
                seen.add(k)
                names.append(k)

    cache: dict[str, Any] = dict(whole or {})

    def get(name: str):
        if name not in cache:
            cache[name] = _concat([_part_column(p, name, m) for p, m in zip(parts, lengths)])
        return cache[name]

    def envelope(name: str):
        if not any(name in e for e in envelopes):
            return None
        return _concat([_repeat(e.get(name), m) for e, m in zip(envelopes, lengths)])

    def rows(pos: np.ndarray, lead: dict | None = None) -> pd.DataFrame:
        data = dict(lead or {})
        if len(pos) == 0:
            # No rows (a clean chain): the entries' columns as empty objects.
            data.update({c: NO_ROWS for c in names})
            return make_frame(data, NO_POSITIONS)
        data.update({c: _take(get(c), pos) for c in names})
        return pd.DataFrame(data, index=pd.Index(np.asarray(pos, dtype=np.int64), dtype=np.int64))

    return ColumnSet(names, n, get, rows, envelope)


def _keys(entries: list[dict]) -> list[str]:
    keys: dict[str, None] = {}
    for e in entries[:256]:
        for k in e:
            keys.setdefault(k, None)
    if len(entries) > 256:
        for e in entries[256:]:
            if len(e) != len(keys) or any(k not in keys for k in e):
                for k in e:
                    keys.setdefault(k, None)
    return list(keys)


def _part_column(part, name: str, m: int):
    if isinstance(part, pa.Table):
        if name in part.column_names:
            return part.column(name)
        return pa.nulls(m)
    values = [e.get(name) for e in part]
    try:
        return pa.array(values)
    except (pa.ArrowInvalid, pa.ArrowTypeError, pa.ArrowNotImplementedError, OverflowError):
        return np.array(values, dtype=object)


def _repeat(value, m: int):
    if value is None:
        return pa.nulls(m)
    try:
        return pa.array([value] * m)
    except (pa.ArrowInvalid, pa.ArrowTypeError, OverflowError):
        return np.array([value] * m, dtype=object)


def _concat(cols: list):
    if len(cols) == 1:
        return cols[0]
    if all(isinstance(c, (pa.Array, pa.ChunkedArray)) for c in cols):
        types = {c.type for c in cols if not pa.types.is_null(c.type)}
        if len(types) <= 1:
            t = types.pop() if types else pa.null()
            chunks: list = []
            for c in cols:
                c = c.cast(t) if c.type != t else c
                chunks.extend(c.chunks if isinstance(c, pa.ChunkedArray) else [c])
            return pa.chunked_array(chunks, type=t)
        if all(pa.types.is_integer(t) or pa.types.is_floating(t) for t in types):
            return pa.chunked_array([c.cast(pa.float64()) for c in cols], type=pa.float64())
    return np.concatenate([_to_numpy(c) for c in cols])


def _to_numpy(col) -> np.ndarray:
    if isinstance(col, (pa.Array, pa.ChunkedArray)):
        return np.asarray(col.to_pylist(), dtype=object)
    return np.asarray(col, dtype=object)


def _take(col, pos: np.ndarray) -> np.ndarray:
    if isinstance(col, (pa.Array, pa.ChunkedArray)):
        out = np.empty(len(pos), dtype=object)
        out[:] = col.take(pa.array(np.asarray(pos, dtype=np.int64))).to_pylist()
        return out
    return np.asarray(col, dtype=object)[pos]
