"""Where a chain comes from: a file, text, bytes, a DataFrame or parsed JSON.

`open_source` sorts the source into a table (CSV or DataFrame), JSON
documents, or a list of instrument names, without reading more than a CSV
header; the layout readers then read what they need.
"""

from __future__ import annotations

import csv
import gzip
import io
import json
import os
from dataclasses import dataclass
from typing import Any

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.csv as pcsv
import pyarrow.json as pjson

from .. import _kernels

_GZIP_MAGIC = b"\x1f\x8b"
# CSV text up to this size is parsed as one block.
ONE_BLOCK = 1 << 21


@dataclass
class Csv:
    """A CSV table not read yet: a path or in-memory bytes, and its header."""

    data: str | bytes
    header: list[str]
    gzipped: bool

    def nbytes(self) -> int:
        """Bytes of the source as stored (compressed, for a gzip file)."""
        return len(self.data) if isinstance(self.data, bytes) else os.path.getsize(self.data)

    def size(self) -> int:
        """Bytes of the CSV text (after decompression): a gzip file says it
        in its last four bytes (modulo 4 GiB; a hint for reading only)."""
        if isinstance(self.data, bytes) or not self.gzipped:
            return self.nbytes()
        try:
            with open(self.data, "rb") as f:
                f.seek(-4, os.SEEK_END)
                return int.from_bytes(f.read(4), "little")
        except OSError:
            return self.nbytes()

    def block_size(self) -> int:
        """Bytes pyarrow parses per block: a snapshot's worth of text is one
        block, so that every column comes as one piece (cheaper to take
        apart than to parse in parallel pieces); a larger table is parsed
        in blocks by all threads."""
        size = self.size()
        return size + 1 if size < ONE_BLOCK else ONE_BLOCK

    def input(self):
        """A fresh input for pyarrow (decompressed on the fly)."""
        if isinstance(self.data, bytes):
            stream = pa.BufferReader(self.data)
            return pa.CompressedInputStream(stream, "gzip") if self.gzipped else stream
        return pa.input_stream(self.data, compression="gzip" if self.gzipped else None)

    def read(self, types: dict[str, pa.DataType]) -> pa.Table:
        """The whole table (pyarrow, multi-threaded), with `types` forced."""
        opts = pcsv.ConvertOptions(column_types={k: v for k, v in types.items() if k in self.header},
                                   strings_can_be_null=True)
        return pcsv.read_csv(self.input(), convert_options=opts,
                             read_options=pcsv.ReadOptions(block_size=self.block_size()))


@dataclass
class Json:
    """JSON documents: the top-level objects (or arrays), each as parsed.

    `entries` holds the entries of plain responses (or a plain list of
    entries) as read by the compiled reader: one table per response and
    the response's own members. Otherwise `arrow` holds pyarrow's columnar
    reading of newline-delimited objects when it could read them (one row
    per object), else `objects` holds what the json module parsed."""

    arrow: pa.Table | None
    objects: list[Any] | None
    entries: tuple[list[pa.Table], list[dict], dict[str, pa.Array]] | None = None


@dataclass
class Frame:
    df: pd.DataFrame


@dataclass
class Names:
    names: list[Any]


def open_source(source) -> Csv | Json | Frame | Names:
    if isinstance(source, pd.DataFrame):
        return Frame(source)
    if isinstance(source, (dict,)):
        return Json(None, [source])
    if isinstance(source, (list, tuple, np.ndarray, pd.Series)):
        items = list(source)
        if items and all(isinstance(x, dict) for x in items):
            return Json(None, items)
        if any(isinstance(x, (dict, list)) for x in items):
            raise TypeError("a list holds either instrument names or JSON objects (dicts), not a mixture")
        return Names(items)
    if isinstance(source, os.PathLike):
        return _from_path(os.fspath(source))
    if isinstance(source, str):
        head = source.lstrip()[:1]
        if head in ("{", "["):
            return _from_bytes(source.encode())
        if "\n" in source:
            return _from_bytes(source.encode())
        return _from_path(source)
    if isinstance(source, (bytes, bytearray, memoryview)):
        return _from_bytes(bytes(source))
    if hasattr(source, "read"):
        data = source.read()
        return _from_bytes(data.encode() if isinstance(data, str) else bytes(data))
    raise TypeError(f"cannot read a chain from {type(source).__name__}: give a DataFrame, a path, CSV or JSON "
                    "text, parsed JSON or instrument names")


def _from_path(path: str) -> Csv | Json:
    if not os.path.exists(path):
        raise FileNotFoundError(f"no such file: {path!r}")
    with open(path, "rb") as f:
        magic = f.read(2)
    gz = magic == _GZIP_MAGIC
    opener = gzip.open if gz else open
    with opener(path, "rb") as f:
        start = f.read(4096)
        if start.lstrip()[:1] in (b"{", b"["):
            # JSON documents are read whole: they are a response or a few.
            data = start + f.read()
            return _json(data)
        line = start.split(b"\n", 1)[0]
        while b"\n" not in start and len(start) < (1 << 20):
            more = f.read(4096)
            if not more:
                break
            start += more
            line = start.split(b"\n", 1)[0]
    return Csv(path, _header(line), gz)


def _from_bytes(data: bytes) -> Csv | Json:
    if data[:2] == _GZIP_MAGIC:
        data = gzip.decompress(data)
    if data.lstrip()[:1] in (b"{", b"["):
        return _json(data)
    return Csv(data, _header(data.split(b"\n", 1)[0]), False)


def _header(line: bytes) -> list[str]:
    text = line.decode("utf-8", errors="replace").lstrip("\ufeff").rstrip("\r")
    row = next(csv.reader([text]), [])
    return [c for c in row]


def _json(data: bytes) -> Json:
    data = data.lstrip()
    entries = _plain_entries(data)
    if entries is not None:
        return Json(None, None, entries)
    if data[:1] == b"{":
        # pyarrow reads newline-delimited objects column by column, much faster
        # than the json module; anything it cannot read goes to the json module.
        try:
            table = pjson.read_json(io.BytesIO(data), read_options=pjson.ReadOptions(block_size=len(data) + 1))
            return Json(table, None)
        except (pa.ArrowInvalid, pa.ArrowNotImplementedError):
            pass
    text = data.decode("utf-8")
    try:
        obj = json.loads(text)
    except json.JSONDecodeError:
        # Newline-delimited objects that pyarrow could not type.
        try:
            obj = [json.loads(line) for line in text.splitlines() if line.strip()]
        except json.JSONDecodeError as exc:
            raise ValueError(f"unreadable JSON: {exc}") from None
    if isinstance(obj, list):
        return Json(None, obj)
    return Json(None, [obj])


# Column kinds of the compiled JSON reader, and their Arrow types.
_JSON_TYPES = (pa.null(), pa.bool_(), pa.int64(), pa.float64(), pa.string())


def _plain_entries(data: bytes) -> tuple[list[pa.Table], list[dict], dict[str, pa.Array]] | None:
    """The entries of plain responses, one table per response (all with
    the same columns, typed over the whole text), each response's own
    members and the columns over all responses, as the general readers
    below would give them, but straight from the compiled reader's buffers.
    None when the text is not plain (see _kernels.json_columns): the
    general readers decide then."""
    # The compiled reader hands back a plain tuple (typed as object).
    got: Any = _kernels.json_columns(data)
    if got is None:
        return None
    responses, n, columns, parts = got
    names, arrays = [], []
    for name, kind, nulls, validity, values, offsets, chars in columns:
        t = _JSON_TYPES[kind]
        valid = pa.py_buffer(validity) if nulls else None
        if kind == 0:
            arr = pa.nulls(n)
        elif kind == 4:
            arr = pa.Array.from_buffers(t, n, [valid, pa.py_buffer(offsets), pa.py_buffer(chars)], null_count=nulls)
        else:
            arr = pa.Array.from_buffers(t, n, [valid, pa.py_buffer(values)], null_count=nulls)
        names.append(name)
        arrays.append(arr)
    tables, members = [], []
    start = 0
    for m, own in parts:
        tables.append(pa.Table.from_arrays([a.slice(start, m) for a in arrays], names=names))
        members.append(own)
        start += m
    return tables, members, dict(zip(names, arrays))
