"""Many snapshots of one Tardis.dev `options_chain` file in one pass.

The snapshot at an instant T is the latest update of each option at or
before T (the reader's rule, `readers.tardis`). For a snapshot every
`every` (the instants j * every counted from the epoch, so from each UTC
midnight for any divisor of a day), each update falls in the interval of
the first instant at or after it: bucket j = ceil(timestamp / every). One
pass over the file keeps the latest update per option and bucket; the
snapshot at instant j is then, per option, the update of its last bucket
at or before j (buckets partition time, so a later bucket always holds a
later update). The file need not be in time order, and each snapshot is
the very table `read_chain(path, at=T, ...)` builds, at the cost of one
reading of the file for all of them. Memory holds one block of the file
and at most one row per option and instant.
"""

from __future__ import annotations

from collections.abc import Iterator

import numpy as np
import pyarrow as pa

from .readers import tardis
from .readers.detect import choose
from .readers.sources import Csv, open_source
from .readers.table import Table

__all__ = ["tardis_snapshots"]


class _Buckets(tardis._Latest):
    """The latest update per option and bucket, kept while blocks stream by."""

    def __init__(self, every_us: int):
        super().__init__(None)
        self.every = int(every_us)
        self.bucket = np.empty(0, dtype=np.int64)
        self.min_ts: int | None = None
        self.parts: list[tuple] = []     # reduced blocks waiting: (rows, codes, buckets, times, positions)

    def _reduce(self, codes: np.ndarray, buckets: np.ndarray, ts: np.ndarray) -> np.ndarray:
        """Positions of the latest row per (code, bucket), in increasing order."""
        if not codes.size:
            return np.empty(0, dtype=np.intp)
        nsym = max(len(self.symbols), 1)
        lo = int(buckets.min())
        if (int(buckets.max()) - lo + 1) * nsym < 2**62:
            # One int64 key per (bucket, code): a flat unique sorts numbers,
            # many times faster than the unique of pairs below.
            _, inv = np.unique((buckets - lo) * nsym + codes, return_inverse=True)
        else:
            _, inv = np.unique(np.stack([codes.astype(np.int64), buckets]), axis=1, return_inverse=True)
        inv = inv.reshape(-1)
        return tardis._latest(inv, ts, int(inv.max()) + 1 if inv.size else 0)

    def add(self, batch) -> None:
        n = batch.num_rows
        if n == 0:
            return
        codes, ts, valid = self._keys(batch)
        idx = np.flatnonzero(valid)
        if idx.size:
            lo, hi = int(ts[idx].min()), int(ts[idx].max())
            self.min_ts = lo if self.min_ts is None else min(self.min_ts, lo)
            self.max_ts = hi if self.max_ts is None else max(self.max_ts, hi)
            b = -((-ts[idx]) // self.every)
            keep = self._reduce(codes[idx], b, ts[idx])
            pick = idx[keep]
            rows = batch.select([c for c in batch.column_names if c != "symbol"]).take(pa.array(pick))
            self.parts.append((rows, codes[pick], b[keep], ts[pick], self.seen + pick))
            self.pending_rows += pick.size
            if self.pending_rows > max(1 << 16, 8 * len(self.symbols)):
                self.flush()
        self.seen += n

    def flush(self) -> None:
        if not self.parts:
            return
        parts = ([] if self.table is None else [(self.table, self.sym, self.bucket, self.ts, self.pos)]) + self.parts
        self.parts, self.pending_rows = [], 0
        table = pa.concat_tables([pa.Table.from_batches([p[0]]) if isinstance(p[0], pa.RecordBatch) else p[0]
                                  for p in parts], promote_options="permissive")
        sym, bucket, ts, pos = (np.concatenate([p[i] for p in parts]) for i in range(1, 5))
        keep = self._reduce(sym, bucket, ts)
        self.table = table.take(pa.array(keep))
        self.sym, self.bucket, self.ts, self.pos = sym[keep], bucket[keep], ts[keep], pos[keep]

    def instants(self) -> list[int]:
        """The snapshot instants (bucket numbers) the file covers: every
        multiple of `every` after its first update and at or before its last."""
        if self.min_ts is None or self.max_ts is None:
            return []
        return list(range(self.min_ts // self.every + 1, self.max_ts // self.every + 1))

    def snapshots(self) -> Iterator[tuple[int, tardis._Latest]]:
        """(instant in epoch microseconds, the reader's state at that instant)."""
        self.flush()
        wanted = self.instants()
        if not wanted or self.table is None:
            return
        order = np.argsort(self.bucket, kind="stable")
        bucket = self.bucket[order]
        current = np.full(len(self.symbols), -1, dtype=np.int64)
        start = 0
        for j in wanted:
            stop = int(np.searchsorted(bucket, j, side="right"))
            if stop > start:
                rows = order[start:stop]
                # Within one bucket an option has one row: no order to keep.
                current[self.sym[rows]] = rows
                start = stop
            sel = np.sort(current[current >= 0])
            if sel.size == 0:
                continue
            state = tardis._Latest(j * self.every)
            state.symbols = self.symbols
            state.table = self.table.take(pa.array(sel))
            state.sym, state.ts, state.pos = self.sym[sel], self.ts[sel], self.pos[sel]
            state.seen, state.max_ts, state.unplaced = self.seen, self.max_ts, self.unplaced
            yield j * self.every, state


def tardis_snapshots(path: str, every_us: int, *, max_age=None,
                     premium_currency: str | None = None) -> Iterator[tuple[int, Table]]:
    """(instant in epoch microseconds, snapshot Table) for every `every_us`
    microseconds of a Tardis options_chain file, from one reading of it."""
    src = open_source(path)
    if not isinstance(src, Csv):
        raise ValueError(f"{path}: not a CSV file: snapshots every interval are taken from a tardis options_chain file")
    _, how = choose(src.header, "columns", "tardis", None)
    state = tardis.stream(src, lambda: _Buckets(every_us))
    for at_us, snap in state.snapshots():
        yield at_us, tardis._snapshot(snap, how, at_us, max_age, premium_currency)
