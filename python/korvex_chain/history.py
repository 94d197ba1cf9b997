"""A history of fitted smiles: many snapshots of a chain, fitted one by one,
into a Parquet dataset of parameters and constant-maturity quotes over time.

`fit_history(sources, model, out=...)` reads each snapshot with
`read_chain`, fits every expiry with `fit_chain` (one or more models) and
summarises each underlying's surface by its constant-maturity quotes
(`Surface.quotes`). The work is cut into chunks, one per UTC day of
snapshots (one per file for a Tardis file of updates): within a chunk the
snapshots run in time order, each fit warm-started from the previous
snapshot's fit of the same model and expiry; each chunk starts cold. So the
results depend on the snapshots alone, never on how many processes ran
them or in which order the chunks finished.

Chunks run in this process, or on a Dask cluster (`workers=N` starts a
local one, `scheduler=`/`client=` uses one that runs): each chunk is one
task, whose small result tables the driver writes as the tasks finish.
A chunk is committed atomically: its files are written under hidden
names, a manifest entry naming them is put in place (the commit), and
the files are then renamed to their final names. A run over an existing
dataset skips the chunks already committed with the same snapshots, so
that an interrupted run loses only the chunks in flight, and a second run
over a finished dataset only lists its sources.

The dataset (a folder):

    out/_history.json                        the options that made it
    out/_manifest/<chunk>.json               one entry per committed chunk
    out/fits/underlying=<U>/<chunk>.parquet  one row per snapshot, model and expiry
    out/quotes/underlying=<U>/<chunk>.parquet  one row per snapshot, model and tenor
    out/snapshots/<chunk>.parquet            one row per snapshot (failures too)

The tables' columns are listed in FITS_COLUMNS, QUOTES_COLUMNS and
SNAPSHOTS_COLUMNS (`read_history` reads them back, `underlying` restored
from the folder names).
"""

from __future__ import annotations

import contextlib
import datetime as dt
import glob
import hashlib
import json
import math
import os
import re
import sys
import time
import urllib.parse
import uuid
from collections.abc import Iterable, Iterator
from dataclasses import dataclass, field
from typing import Any

from typing import TYPE_CHECKING

import korvex
import korvex_chain._kernels as _kernels

from ._inputs import DEFAULT_TENORS, calendar_source, check_clock, check_fit_options, check_quote_options
from .arrays import MODEL_KINDS

if TYPE_CHECKING:  # pandas, pyarrow and the fit load when there is work: a finished history loads neither
    import pandas as pd
    import pyarrow as pa

__all__ = ["fit_history", "read_history", "HistoryRun", "FITS_COLUMNS", "QUOTES_COLUMNS", "SNAPSHOTS_COLUMNS",
           "PARAMETERS", "SNAPSHOT_SUFFIXES"]

# Files a folder of snapshots contributes (each may also end in .gz).
SNAPSHOT_SUFFIXES = (".csv", ".json", ".jsonl", ".ndjson")

# Every parameter of every model, in a fixed order: the fits table has one
# column per name whatever models a history fits (null where a model has no
# such parameter), so that its schema is the same in every dataset.
PARAMETERS: tuple[str, ...] = tuple(dict.fromkeys(n for m in MODEL_KINDS for n in _kernels.model_param_names(m)))

# Columns and their types ("ts": UTC nanoseconds), turned into Arrow types when written.
_FITS_FIELDS = [
    ("observation_time", "ts"), ("snapshot", "str"), ("expiry", "ts"), ("model", "str"), ("forward", "f64"),
    ("forward_method", "str"), ("ttx", "f64"), ("clock", "str"), ("status", "str"), ("rmse_vp", "f64"),
    ("max_error_vp", "f64"), ("inside", "f64"), ("n_metric", "i32"), ("n_used", "i32"), ("nfev", "i32"),
    ("warm_start", "bool"), ("warnings", "str"),
] + [(n, "f64") for n in PARAMETERS]
_QUOTES_BASE = [
    ("observation_time", "ts"), ("snapshot", "str"), ("model", "str"), ("tenor", "str"), ("expiry", "ts"),
    ("time", "f64"), ("forward", "f64"), ("atm_vol", "f64"),
]
_SNAPSHOTS_FIELDS = [
    ("snapshot", "str"), ("file", "str"), ("at", "ts"), ("chunk", "str"), ("observation_time", "ts"),
    ("format", "str"), ("rows", "i64"), ("priced", "i64"), ("rejected", "i64"), ("expiries", "i32"),
    ("failed_fits", "i32"), ("seconds", "f64"), ("error", "str"), ("notes", "str"),
]
FITS_COLUMNS = ("underlying",) + tuple(n for n, _ in _FITS_FIELDS)
QUOTES_COLUMNS = ("underlying",) + tuple(n for n, _ in _QUOTES_BASE) + ("rr<D>", "bf<D>")
SNAPSHOTS_COLUMNS = tuple(n for n, _ in _SNAPSHOTS_FIELDS)
_TABLES = ("fits", "quotes", "snapshots")
_PARTITIONED = ("fits", "quotes")
_FORMAT_VERSION = 1


def _schema(fields, partitioned: bool):
    import pyarrow as pa

    types = {"ts": pa.timestamp("ns", tz="UTC"), "str": pa.string(), "f64": pa.float64(), "i32": pa.int32(),
             "i64": pa.int64(), "bool": pa.bool_()}
    return pa.schema(([("underlying", pa.string())] if partitioned else []) + [(n, types[t]) for n, t in fields])


def _quotes_fields(deltas: Iterable[float]) -> list[tuple[str, str]]:
    out = list(_QUOTES_BASE)
    for d in deltas:
        out += [(f"rr{d:g}", "f64"), (f"bf{d:g}", "f64")]
    return out


# ---------------------------------------------------------------------------
# Snapshots and chunks
# ---------------------------------------------------------------------------

@dataclass(frozen=True)
class _Snapshot:
    key: str                    # the file, or file@instant for a snapshot of a Tardis file
    path: str
    order: tuple                # sort key within the chunk: the time the name says, then the path


@dataclass
class _Chunk:
    id: str                     # safe as a file name
    snapshots: list[_Snapshot]
    tardis: bool = False        # one Tardis file, its snapshots every interval

    @property
    def signature(self) -> str:
        return hashlib.sha256("\n".join(s.key for s in self.snapshots).encode()).hexdigest()[:16]


# A date (and maybe a time) in a file or folder name: 20260101T091835Z,
# 2026-01-01, 2026-01-01T09:18:35, 2026/01/01 (folders), 20260101.
_DATE = re.compile(r"(?<!\d)((?:19|20)\d\d)([-_/]?)(\d\d)\2(\d\d)"
                   r"(?:[T_ -]?(\d\d)[:-]?(\d\d)(?:[:-]?(\d\d))?)?(?!\d)")


def _name_time(path: str) -> dt.datetime | None:
    """The instant a snapshot's name says (file name first, then its folders)."""
    name = os.path.basename(path)
    for text in (name, os.path.dirname(os.path.abspath(path))):
        found = None
        for m in _DATE.finditer(text):
            try:
                found = dt.datetime(int(m[1]), int(m[3]), int(m[4]), int(m[5] or 0), int(m[6] or 0),
                                    int(m[7] or 0))
            except ValueError:
                continue
            if text is name:
                return found      # the first date in the file name
        if found is not None:
            return found          # the innermost folder's date
    return None


def _is_snapshot_name(name: str) -> bool:
    n = name.lower()
    if n.startswith(".") or n.startswith("_"):
        return False
    if n.endswith(".gz"):
        n = n[:-3]
    return n.endswith(SNAPSHOT_SUFFIXES)


def list_sources(sources: Any) -> list[str]:
    """The snapshot files `sources` names, in order, each once: files as given,
    folders' snapshot files (SNAPSHOT_SUFFIXES, .gz or not; not recursive),
    glob patterns' matching files. A source that names nothing is an error."""
    if isinstance(sources, (str, os.PathLike)):
        sources = [sources]
    files: dict[str, None] = {}
    for s in sources:
        s = os.fspath(s)
        if os.path.isdir(s):
            found = sorted(os.path.join(s, n) for n in os.listdir(s)
                           if _is_snapshot_name(n) and os.path.isfile(os.path.join(s, n)))
            if not found:
                raise FileNotFoundError(f"{s}: no snapshot files in this folder (names ending in "
                                        f"{', '.join(SNAPSHOT_SUFFIXES)}, or .gz)")
        elif os.path.isfile(s):
            found = [s]
        elif glob.has_magic(s):
            found = sorted(p for p in glob.glob(s, recursive=True) if os.path.isfile(p))
            if not found:
                raise FileNotFoundError(f"{s}: no file matches this pattern")
        else:
            raise FileNotFoundError(f"{s}: no such file or folder")
        for p in found:
            files.setdefault(os.path.abspath(p), None)
    if not files:
        raise ValueError("no sources given")
    return list(files)


def _chunk_id(text: str) -> str:
    return re.sub(r"[^A-Za-z0-9._=-]", "_", text)


def plan_chunks(files: list[str], *, every_us: int | None, peek) -> list[_Chunk]:
    """Chunks in time order: a UTC day of snapshot files each, or one Tardis
    file each (snapshots every `every_us`). `peek(path)`: the observation
    time of a file whose name carries no date (read once more for it)."""
    if every_us is not None:
        out = []
        for p in files:
            digest = hashlib.sha256(p.encode()).hexdigest()[:8]
            base = os.path.basename(p).split(".")[0]
            out.append(_Chunk(_chunk_id(f"{base}-{digest}"), [_Snapshot(p, p, (0,))], tardis=True))
        return out
    days: dict[str, list[_Snapshot]] = {}
    for p in files:
        when = _name_time(p)
        if when is None:
            when = peek(p)
        days.setdefault(when.strftime("%Y-%m-%d"), []).append(_Snapshot(p, p, (when, p)))
    return [_Chunk(day, sorted(snaps, key=lambda s: s.order)) for day, snaps in sorted(days.items())]


# ---------------------------------------------------------------------------
# One chunk: read, fit, summarise (runs in a worker)
# ---------------------------------------------------------------------------

class _Columns:
    """A table under construction, column by column (`fields`: its columns and
    their types): the rows of a chunk are appended as whole columns, never
    as one mapping per row."""

    def __init__(self, fields, *, partitioned: bool):
        self.fields = fields
        self.partitioned = partitioned
        self.data: dict[str, list] = {n: [] for n in (["underlying"] if partitioned else []) + [n for n, _ in fields]}
        self.rows = 0

    def add(self, n: int, values: dict[str, Any]) -> None:
        """`n` rows: each value a list of n, or one value for all of them
        (columns not given are null; instants as UTC nanoseconds or None)."""
        for name, column in self.data.items():
            v = values.get(name)
            if isinstance(v, list):
                if len(v) != n:
                    raise ValueError(f"column {name}: {len(v)} values for {n} rows")
                column.extend(v)
            else:
                column.extend([v] * n)
        self.rows += n

    def table(self) -> pa.Table:
        import pyarrow as pa

        schema = _schema(self.fields, self.partitioned)
        cols = {}
        for f in schema:
            if pa.types.is_timestamp(f.type):
                cols[f.name] = pa.array(self.data[f.name], type=pa.int64()).cast(f.type)
            else:
                cols[f.name] = pa.array(self.data[f.name], type=f.type)
        return pa.table(cols, schema=schema)


def _ns(value) -> int | None:
    """An instant (Timestamp, datetime, datetime64; None or NaT) as UTC nanoseconds."""
    if value is None:
        return None
    import pandas as pd

    if type(value) is pd.Timestamp:
        return value.value      # UTC nanoseconds, whatever the zone and unit
    if value is pd.NaT:
        return None
    return pd.Timestamp(value).as_unit("ns").value


def _add_fits(table: _Columns, cf, obs_ns: int | None, key: str, clock: str, methods: dict, warm: set) -> None:
    fits = cf.fits
    if not fits:
        return
    pairs = [(f.underlying, f.expiry) for f in fits]
    values: dict[str, Any] = {
        "underlying": [f.underlying for f in fits], "observation_time": obs_ns, "snapshot": key,
        "expiry": [_ns(f.expiry) for f in fits], "model": [f.model_name for f in fits],
        "forward": [float(f.forward) for f in fits], "forward_method": [methods.get(p) for p in pairs],
        "ttx": [float(f.ttx) for f in fits], "clock": clock, "status": [f.status for f in fits],
        "rmse_vp": [float(f.rmse) for f in fits], "max_error_vp": [float(f.max_error) for f in fits],
        "inside": [float(f.inside) for f in fits], "n_metric": [int(f.n_metric) for f in fits],
        "n_used": [int(f.n_used) for f in fits], "nfev": [int(f.nfev) for f in fits],
        "warm_start": [p in warm for p in pairs],
        "warnings": ["; ".join(f.warnings + ([f.message] if f.message else [])) for f in fits]}
    for n in PARAMETERS:
        values[n] = [float(f.params[n]) if n in f.params else None for f in fits]
    table.add(len(fits), values)


def _add_quotes(table: _Columns, cf, obs_ns: int | None, key: str, opts: dict, notes: list[str]) -> None:
    import numpy as np

    names = ["time", "forward", "atm_vol"] + [f"{kind}{d:g}" for d in opts["deltas"] for kind in ("rr", "bf")]
    for und in sorted({f.underlying for f in cf.fits}):
        try:
            # The surface fit_chain's calendar check built, when the fits are unchanged.
            surface = cf._surface_of(und)
            labels, instants, cols = surface._quote_columns(opts["tenors"], opts["deltas"], opts["delta"],
                                                            opts["atm"])
        except (ValueError, KeyError) as exc:
            notes.append(f"{cf.model_name} {und}: no surface ({exc})")
            continue
        instants = np.asarray(instants, dtype="datetime64[ns]")
        nat = np.isnat(instants)   # a row without an instant (a tenor given in years)
        ns = instants.view("int64").tolist()
        values: dict[str, Any] = {"underlying": und, "observation_time": obs_ns, "snapshot": key,
                                  "model": cf.model_name, "tenor": [str(t) for t in labels],
                                  "expiry": [None if b else v for v, b in zip(ns, nat.tolist())]}
        for n in names:
            values[n] = cols[n].astype(float).tolist()
        table.add(len(labels), values)


def _read_options(opts: dict) -> dict:
    return {k: opts[k] for k in ("format", "columns", "iv_unit", "premium_currency", "max_age", "clock",
                                 "calendar", "expiry_hour", "quote_ivs")}


def _chains(chunk: _Chunk, opts: dict) -> Iterator[tuple[str, str, pd.Timestamp | None, Any]]:
    """(snapshot key, file, instant or None, Chain or the exception) in order."""
    import pandas as pd

    from .quotes import price_table, read_chain

    ro = _read_options(opts)
    if not chunk.tardis:
        for s in chunk.snapshots:
            try:
                yield s.key, s.path, None, read_chain(s.path, **ro)
            except Exception as exc:  # noqa: BLE001 - recorded in the snapshots table
                yield s.key, s.path, None, exc
        return
    from .history_tardis import tardis_snapshots

    path = chunk.snapshots[0].path
    try:
        for at_us, table in tardis_snapshots(path, opts["every_us"], max_age=ro["max_age"],
                                             premium_currency=ro["premium_currency"]):
            at = pd.Timestamp(at_us * 1000, tz="UTC")
            key = f"{path}@{at.strftime('%Y-%m-%dT%H:%M:%S.%fZ')}"
            chain: Any
            try:
                chain = price_table(table, clock=ro["clock"], calendar=ro["calendar"], expiry_hour=ro["expiry_hour"],
                                    premium_currency=ro["premium_currency"], iv_unit=ro["iv_unit"],
                                    quote_ivs=ro["quote_ivs"])
            except Exception as exc:  # noqa: BLE001
                chain = exc
            yield key, path, at, chain
    except Exception as exc:  # noqa: BLE001 - the file itself: one failed row for it
        yield path, path, None, exc


def run_chunk(chunk: _Chunk, opts: dict) -> dict[str, pa.Table]:
    """Read and fit every snapshot of a chunk in order; the three tables of
    its rows. A snapshot that fails is a row of `snapshots` with its error."""
    from .fit import fit_chain

    fits = _Columns(_FITS_FIELDS, partitioned=True)
    quotes = _Columns(_quotes_fields(opts["deltas"]), partitioned=True)
    snaps = _Columns(_SNAPSHOTS_FIELDS, partitioned=False)
    previous: dict[str, Any] = {}
    t0 = time.perf_counter()
    for key, path, at, chain in _chains(chunk, opts):
        row: dict[str, Any] = {"snapshot": key, "file": path, "at": _ns(at), "chunk": chunk.id}
        notes: list[str] = []
        # A snapshot's rows are kept only once every model is done with it.
        snap_fits = _Columns(_FITS_FIELDS, partitioned=True)
        snap_quotes = _Columns(quotes.fields, partitioned=True)
        try:
            if isinstance(chain, BaseException):
                raise chain
            obs = chain.observation_time
            obs_ns = _ns(obs)
            row.update(observation_time=obs_ns, format=chain.format, rows=int(chain.n_input),
                       priced=int(len(chain.quotes)), rejected=int(len(chain.rejected)),
                       expiries=int(len(chain.expiries)))
            ex = chain.expiries
            methods = dict(zip(zip(ex["underlying"].tolist(), ex["expiry"].tolist()),
                               (str(m) for m in ex["forward_method"].tolist())))
            failed = 0
            for model in opts["models"]:
                prev = previous.get(model)
                cf = fit_chain(chain, model, previous=prev, starts=opts["starts"], weights=opts["weights"],
                               solver=opts["solver"], calendar_arbitrage=opts["calendar_arbitrage"])
                warm = set()
                if prev is not None:
                    done = {(f.underlying, f.expiry) for f in prev.fits if f.model is not None}
                    warm = {(f.underlying, f.expiry) for f in cf.fits} & done
                _add_fits(snap_fits, cf, obs_ns, key, chain.clock, methods, warm)
                _add_quotes(snap_quotes, cf, obs_ns, key, opts, notes)
                failed += sum(f.status == "failed" for f in cf.fits)
                previous[model] = cf
            for mine, table in ((snap_fits, fits), (snap_quotes, quotes)):
                table.add(mine.rows, mine.data)
            row["failed_fits"] = failed
            notes += list(chain.warnings)
        except Exception as exc:  # noqa: BLE001 - a failed snapshot is recorded, never fatal
            row["error"] = f"{type(exc).__name__}: {exc}"
        t1 = time.perf_counter()
        row["seconds"] = t1 - t0
        t0 = t1
        row["notes"] = "; ".join(notes) or None
        snaps.add(1, row)
    return {"fits": fits.table(), "quotes": quotes.table(), "snapshots": snaps.table()}


# ---------------------------------------------------------------------------
# The dataset: options, manifest, commits
# ---------------------------------------------------------------------------

class _Dataset:
    """The output folder: its options, its manifest and the commits into it."""

    def __init__(self, out: str, settings: dict):
        self.out = os.path.abspath(out)
        if os.path.exists(self.out) and not os.path.isdir(self.out):
            raise ValueError(f"out {out}: is a file, not a dataset folder")
        os.makedirs(os.path.join(self.out, "_manifest"), exist_ok=True)
        path = os.path.join(self.out, "_history.json")
        if os.path.exists(path):
            with open(path) as f:
                have = json.load(f)
            if have != settings:
                diff = sorted(k for k in set(have) | set(settings) if have.get(k) != settings.get(k))
                raise ValueError(f"out {out}: this dataset was made with other options ({', '.join(diff)}); "
                                 "give another out, or remove it to start again")
        else:
            with self._replacing(path) as tmp, open(tmp, "w") as f:
                json.dump(settings, f, indent=1, sort_keys=True)
        self.entries: dict[str, dict] = {}
        for name in sorted(os.listdir(os.path.join(self.out, "_manifest"))):
            if name.endswith(".json") and not name.startswith("."):
                with open(os.path.join(self.out, "_manifest", name)) as f:
                    entry = json.load(f)
                self.entries[entry["chunk"]] = entry
        self._recover()

    @staticmethod
    @contextlib.contextmanager
    def _replacing(path: str) -> Iterator[str]:
        tmp = os.path.join(os.path.dirname(path), f".{os.path.basename(path)}.{uuid.uuid4().hex}.tmp")
        try:
            yield tmp
            os.replace(tmp, path)
        except BaseException:
            with contextlib.suppress(OSError):
                os.unlink(tmp)
            raise

    def _recover(self) -> None:
        """Finish the renames of committed chunks that a stop interrupted, and
        remove what no committed chunk names: files of chunks in flight then,
        and files a recomputed chunk no longer has."""
        keep = set()
        for entry in self.entries.values():
            for tmp, final in entry["moves"]:
                src, dst = os.path.join(self.out, tmp), os.path.join(self.out, final)
                if os.path.exists(src):
                    os.replace(src, dst)
                keep.add(final)
        for table in _TABLES:
            root = os.path.join(self.out, table)
            if not os.path.isdir(root):
                continue
            for folder, _, names in os.walk(root):
                for n in names:
                    rel = os.path.relpath(os.path.join(folder, n), self.out)
                    if (n.endswith(".parquet") and rel not in keep) or (n.startswith(".") and n.endswith(".tmp")):
                        os.unlink(os.path.join(folder, n))
        for n in os.listdir(os.path.join(self.out, "_manifest")):
            if n.startswith(".") and n.endswith(".tmp"):
                os.unlink(os.path.join(self.out, "_manifest", n))

    def committed(self, chunk: _Chunk) -> bool:
        entry = self.entries.get(chunk.id)
        return entry is not None and entry["signature"] == chunk.signature

    def commit(self, chunk: _Chunk, tables: dict[str, pa.Table]) -> None:
        import pyarrow.compute as pc

        token = uuid.uuid4().hex[:12]
        moves = []
        for name, table in tables.items():
            if table.num_rows == 0:
                continue
            if name in _PARTITIONED:
                unds = table.column("underlying").to_pylist()
                for und in sorted(set(unds)):
                    part = table.filter(pc.equal(table.column("underlying"), und)).drop_columns(
                        ["underlying"])
                    folder = os.path.join(name, "underlying=" + urllib.parse.quote(str(und), safe=""))
                    moves.append(self._write(part, folder, chunk.id, token))
            else:
                moves.append(self._write(table, name, chunk.id, token))
        old = self.entries.get(chunk.id)
        entry = {"chunk": chunk.id, "signature": chunk.signature, "snapshots": [s.key for s in chunk.snapshots],
                 "files": [m[1] for m in moves], "moves": moves}
        with self._replacing(os.path.join(self.out, "_manifest", chunk.id + ".json")) as tmp:
            with open(tmp, "w") as f:
                json.dump(entry, f, indent=1)
                f.flush()
                os.fsync(f.fileno())
        # Committed: the files take their final names (a stop here is finished
        # by the next run's recovery).
        for tmp_rel, final in moves:
            os.replace(os.path.join(self.out, tmp_rel), os.path.join(self.out, final))
        if old is not None:
            for final in set(old["files"]) - set(entry["files"]):
                with contextlib.suppress(FileNotFoundError):
                    os.unlink(os.path.join(self.out, final))
        self.entries[chunk.id] = entry

    def _write(self, table: pa.Table, folder: str, chunk_id: str, token: str) -> list[str]:
        import pyarrow.parquet as pq

        os.makedirs(os.path.join(self.out, folder), exist_ok=True)
        final = os.path.join(folder, chunk_id + ".parquet")
        tmp = os.path.join(folder, f".{chunk_id}.{token}.parquet.tmp")
        pq.write_table(table, os.path.join(self.out, tmp), compression="zstd")
        return [tmp, final]


# ---------------------------------------------------------------------------
# Progress
# ---------------------------------------------------------------------------

class _Progress:
    """A one-line progress bar on a terminal: snapshots done, rate, time left."""

    def __init__(self, total: int, enabled: bool, stream=None):
        self.total, self.done, self.enabled = total, 0, enabled and total > 0
        self.stream = stream or sys.stderr
        self.t0 = time.monotonic()

    def update(self, n: int) -> None:
        self.done += n
        if not self.enabled:
            return
        elapsed = time.monotonic() - self.t0
        rate = self.done / elapsed if elapsed > 0 else 0.0
        left = (self.total - self.done) / rate if rate > 0 else math.nan
        width = 30
        full = int(width * self.done / self.total)
        eta = "--:--" if not math.isfinite(left) else time.strftime("%H:%M:%S", time.gmtime(left))
        self.stream.write(f"\r[{'#' * full}{'.' * (width - full)}] {self.done}/{self.total} snapshots "
                          f"{rate:.1f}/s, {eta} left ")
        self.stream.flush()

    def close(self) -> None:
        if self.enabled:
            self.stream.write("\n")
            self.stream.flush()


# ---------------------------------------------------------------------------
# fit_history
# ---------------------------------------------------------------------------

@dataclass
class HistoryRun:
    """What a `fit_history` run did."""

    out: str
    snapshots: int                # snapshots the sources hold (chunks listed)
    chunks: int
    skipped: int                  # snapshots of chunks already in the dataset
    done: int                     # snapshots processed by this run
    failed: int                   # of those, snapshots recorded with an error
    seconds: float
    chunk_errors: list[str] = field(default_factory=list)   # chunks whose task failed (not committed)

    @property
    def ok(self) -> bool:
        return self.failed == 0 and not self.chunk_errors

    def __str__(self) -> str:
        s = (f"{self.out}: {self.snapshots} snapshots in {self.chunks} chunks; {self.done} fitted now "
             f"({self.failed} failed), {self.skipped} already there; {self.seconds:.1f} s")
        for e in self.chunk_errors:
            s += f"\n  not committed: {e}"
        return s


def _every_us(every) -> int:
    import pandas as pd

    if isinstance(every, bool):
        raise TypeError(f"every must be a duration, not {every!r}")
    if isinstance(every, (int, float)):
        us = round(float(every) * 1e6)
    else:
        td = pd.Timedelta(every)
        if td is pd.NaT:
            raise ValueError("every must be a duration, not NaT")
        us = int(td.value // 1000)
    if us <= 0:
        raise ValueError(f"every must be a positive duration, not {every!r}")
    return us


def _settings(opts: dict) -> dict:
    """What decides the results: a dataset is continued only with the same."""
    s = dict(opts)
    age = opts["max_age"]
    if age is not None:
        import pandas as pd

        s["max_age"] = str(pd.Timedelta(seconds=float(age)) if isinstance(age, (int, float)) else pd.Timedelta(age))
    s["version"] = _FORMAT_VERSION
    return json.loads(json.dumps(s))


def fit_history(sources, model: str | Iterable[str] = "GVVSpline", *, out, format: str = "auto",
                columns: dict | None = None, iv_unit: str | None = None, premium_currency: str | None = None,
                every=None, max_age=None, clock: str = "calendar", calendar=None, expiry_hour: int = 8,
                quote_ivs: str = "auto",
                starts: int = 1, weights: str = "spread", solver: str = "native",
                calendar_arbitrage: str = "report", tenors=None, deltas=(25, 10),
                delta: str = "forward", atm: str = "forward", workers: int | None = None,
                scheduler: str | None = None, client=None, progress: bool | None = None) -> HistoryRun:
    """Fit every snapshot of `sources` and write the history to the Parquet
    dataset folder `out` (see the module's documentation for its tables).

    `sources`: snapshot files, folders of them, or glob patterns, in any
    layout `read_chain` reads (`format`, `columns`, `iv_unit`,
    `premium_currency` as there); or, with `every` (a duration such as
    "15min"; numbers are seconds), Tardis options_chain files, each giving
    a snapshot at every multiple of `every` after its first update and at
    or before its last (`max_age` as in read_chain). Snapshot files are
    grouped by the UTC day their file name (or folder) says; a file whose
    path carries no date is read once more to find its observation time.

    `clock` and `calendar` as in read_chain; a calendar document given as
    a file is read once here, so that the workers need not see the file
    and a continued dataset is checked against the document itself.

    `model`: one model or several, each fitted to every snapshot by
    `fit_chain` (`starts`, `weights`, `solver`, `calendar_arbitrage` as
    there), warm-started from the previous snapshot of the same day.
    `tenors`, `deltas`, `delta`, `atm`: the constant-maturity quotes of
    each underlying's surface per model (as `Surface.quotes`; the tenors by
    default its own, 1w, 2w, 1m, 2m, 3m, 6m and 1y).

    `workers`: None or 1 runs the chunks in this process; N > 1 starts a
    Dask LocalCluster of N single-threaded worker processes for the run;
    `scheduler` (an address) or `client` (a distributed.Client) uses an
    existing cluster, whose workers must see `sources` at the same paths.
    Results are the same bit for bit in every case.

    `progress`: a progress bar on standard error (default: when it is a
    terminal). Re-running with the same `out` (and the same options: anything
    else is refused) skips the chunks already written; a chunk whose
    snapshots changed is fitted again and replaced.
    """
    t_start = time.perf_counter()
    models = [model] if isinstance(model, str) else list(model)
    if not models:
        raise ValueError("no model given")
    # Every option checked before any work: one that only a fit or a quote
    # table would refuse would otherwise fail each snapshot (or leave the
    # quotes out) and be recorded in the dataset's settings.
    for m in models:
        check_fit_options(m, weights, solver, calendar_arbitrage)
    if len(set(models)) != len(models):
        raise ValueError(f"a model is named twice: {models}")
    check_clock(clock, calendar)
    if calendar is not None:
        text, is_document = calendar_source(calendar)
        calendar = text.decode("utf-8") if is_document else calendar
    if sum(x is not None for x in (scheduler, client)) + (workers is not None and workers > 1) > 1:
        raise ValueError("give one of workers > 1, scheduler= and client=")
    if workers is not None and (isinstance(workers, bool) or not isinstance(workers, int) or workers < 1):
        raise ValueError(f"workers must be a whole number >= 1, not {workers!r}")
    if tenors is None:
        tenors = DEFAULT_TENORS
    tenor_list = [str(t) for t in ([tenors] if isinstance(tenors, str) else tenors)]
    if not tenor_list:
        raise ValueError("no tenors")
    for t in tenor_list:
        korvex.Calendar.tenor_to_ttx(t)     # the surface reads each as a tenor text
    delta_list = [float(d) for d in check_quote_options(deltas, delta, atm)]
    every_us = None if every is None else _every_us(every)
    opts = {"models": models, "format": "tardis" if every_us is not None else format, "columns": columns,
            "iv_unit": iv_unit, "premium_currency": premium_currency, "max_age": max_age, "every_us": every_us,
            "clock": clock, "calendar": calendar, "expiry_hour": expiry_hour, "quote_ivs": quote_ivs, "starts": starts,
            "weights": weights, "solver": solver, "calendar_arbitrage": calendar_arbitrage,
            "tenors": tenor_list, "deltas": delta_list, "delta": delta, "atm": atm}
    files = list_sources(sources)
    ro = _read_options(opts)

    def peek(path):
        from .quotes import read_chain

        return read_chain(path, **ro).observation_time.tz_convert(None).to_pydatetime()

    chunks = plan_chunks(files, every_us=every_us, peek=peek)
    ds = _Dataset(out, _settings(opts))
    todo = [c for c in chunks if not ds.committed(c)]
    # A Tardis file's snapshots are counted as one until it is read.
    total = sum(len(c.snapshots) for c in chunks)
    skipped = total - sum(len(c.snapshots) for c in todo)
    run = HistoryRun(ds.out, total, len(chunks), skipped, 0, 0, 0.0)
    bar = _Progress(sum(len(c.snapshots) for c in todo),
                    sys.stderr.isatty() if progress is None else bool(progress))

    def finished(chunk: _Chunk, tables: dict[str, pa.Table]) -> None:
        ds.commit(chunk, tables)
        snaps = tables["snapshots"]
        run.done += snaps.num_rows
        run.failed += snaps.num_rows - snaps.column("error").null_count
        bar.update(len(chunk.snapshots))

    try:
        if todo and (client is not None or scheduler is not None or (workers or 1) > 1):
            _run_dask(todo, opts, finished, run, workers=workers, scheduler=scheduler, client=client)
        else:
            for c in todo:
                finished(c, run_chunk(c, opts))
    finally:
        bar.close()
    if every_us is not None:
        run.snapshots = run.skipped + run.done
    run.seconds = time.perf_counter() - t_start
    return run


def _run_dask(todo: list[_Chunk], opts: dict, finished, run: HistoryRun, *, workers, scheduler, client) -> None:
    try:
        from distributed import Client, LocalCluster, as_completed
    except ImportError:  # pragma: no cover - depends on the environment
        raise ImportError("workers > 1, scheduler= and client= need Dask: pip install 'korvex[dask]'") from None
    with contextlib.ExitStack() as stack:
        if client is None:
            if scheduler is not None:
                client = stack.enter_context(Client(scheduler))
            else:
                import multiprocessing

                import dask

                # Workers forked from this process start in a fraction of a
                # second with korvex_chain already imported; spawned ones
                # take seconds each, as long as a few dozen snapshots.
                method = "fork" if "fork" in multiprocessing.get_all_start_methods() else None
                with dask.config.set({"distributed.worker.multiprocessing-method": method} if method else {}):
                    cluster = stack.enter_context(LocalCluster(n_workers=workers, threads_per_worker=1,
                                                               processes=True, dashboard_address=None,
                                                               silence_logs=40))
                client = stack.enter_context(Client(cluster))
        futures = {}
        for i, c in enumerate(todo):
            # Earlier days first; every chunk its own task.
            fut = client.submit(run_chunk, c, opts, pure=False, priority=len(todo) - i,
                                key=f"korvex-history-{c.id}-{uuid.uuid4().hex[:8]}")
            futures[fut] = c
        for fut in as_completed(list(futures)):
            c = futures.pop(fut)
            try:
                tables = fut.result()
            except Exception as exc:  # noqa: BLE001 - a lost task is reported; the next run retries it
                run.chunk_errors.append(f"chunk {c.id}: {type(exc).__name__}: {exc}")
                continue
            finally:
                fut.release()
            finished(c, tables)


# ---------------------------------------------------------------------------
# Reading a history back
# ---------------------------------------------------------------------------

def read_history(out, table: str = "quotes", *, underlying: str | Iterable[str] | None = None,
                 model: str | Iterable[str] | None = None) -> pd.DataFrame:
    """One table of a history dataset ("fits", "quotes" or "snapshots") as a
    DataFrame of the committed chunks, sorted by observation time (then
    underlying, model and expiry or tenor); `underlying`, `model` select."""
    import pyarrow as pa
    import pyarrow.parquet as pq

    if table not in _TABLES:
        raise ValueError(f"unknown table {table!r}: use one of {', '.join(_TABLES)}")
    root = os.path.abspath(os.fspath(out))
    man = os.path.join(root, "_manifest")
    if not os.path.isdir(man):
        raise FileNotFoundError(f"{out}: not a history dataset (no _manifest folder)")
    with open(os.path.join(root, "_history.json")) as f:
        settings = json.load(f)
    files = []
    for n in sorted(os.listdir(man)):
        if n.endswith(".json") and not n.startswith("."):
            with open(os.path.join(man, n)) as f:
                entry = json.load(f)
            files += [p for p in entry["files"] if p.split(os.sep)[0] == table]
    unds = None if underlying is None else ({underlying} if isinstance(underlying, str) else set(underlying))
    frames = []
    for rel in sorted(files):
        part = None
        if table in _PARTITIONED:
            part = urllib.parse.unquote(rel.split(os.sep)[1].split("=", 1)[1])
            if unds is not None and part not in unds:
                continue
        t = pq.read_table(os.path.join(root, rel))
        if part is not None:
            t = t.add_column(0, "underlying", pa.array([part] * t.num_rows, pa.string()))
        frames.append(t)
    fields = {"quotes": _quotes_fields(settings["deltas"]), "fits": _FITS_FIELDS,
              "snapshots": _SNAPSHOTS_FIELDS}[table]
    schema = _schema(fields, table in _PARTITIONED)
    t = pa.concat_tables(frames) if frames else schema.empty_table()
    df = t.to_pandas()
    if model is not None and "model" in df.columns:
        df = df[df["model"].isin([model] if isinstance(model, str) else list(model))]
    keys = {"fits": ["observation_time", "underlying", "model", "expiry"],
            "quotes": ["observation_time", "underlying", "model", "time"],
            "snapshots": ["observation_time", "snapshot"]}[table]
    return df.sort_values(keys, kind="stable", na_position="first").reset_index(drop=True)
