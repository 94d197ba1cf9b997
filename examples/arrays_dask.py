"""Pricing and inverting a chunked option chain on a Dask cluster.

korvex_chain's functions are plain array functions, so Dask can run them on
each chunk of a chunked array, on as many worker processes (or machines) as
the cluster has. This example starts a local cluster with two worker
processes, prices a generated chain with b76 and inverts the prices with
implied_vols chunk by chunk, and checks that the results are bit for bit
those of one in-process call.

    python examples/arrays_dask.py [n_options] [chunk]
"""

from __future__ import annotations

import sys

import numpy as np

import korvex_chain as kc


def generated_chain(n: int, seed: int = 7) -> dict[str, np.ndarray]:
    """A chain-like set of options: |ln K/F| <= 1, one day to two years."""
    rng = np.random.default_rng(seed)
    fwd = 60_000.0 * np.exp(rng.uniform(-0.05, 0.05, n))
    return {
        "fwd": fwd,
        "strike": fwd * np.exp(rng.uniform(-1.0, 1.0, n)),
        "ttx": rng.uniform(1 / 365, 2.0, n),
        "vol": rng.uniform(0.2, 2.0, n),
        "is_call": rng.random(n) < 0.5,
    }


def price_and_invert_on(client, chain: dict[str, np.ndarray], chunk: int) -> tuple[np.ndarray, np.ndarray]:
    """Fair values and implied vols computed by the cluster behind `client`."""
    import dask.array as da

    cols = {name: da.from_array(values, chunks=chunk) for name, values in chain.items()}

    def fairvalue(fwd, strike, ttx, vol, is_call):
        # One thread per task: the cluster's workers are the parallelism.
        return kc.b76(fwd, strike, ttx, vol, is_call, threads=1).fairvalue

    def vols(ttx, fwd, strike, price, is_call):
        return kc.implied_vols(ttx, fwd, strike, price, is_call, threads=1)

    price = da.map_blocks(fairvalue, cols["fwd"], cols["strike"], cols["ttx"], cols["vol"], cols["is_call"],
                          dtype=np.float64)
    iv = da.map_blocks(vols, cols["ttx"], cols["fwd"], cols["strike"], price, cols["is_call"], dtype=np.float64)
    futures = client.compute([price, iv])
    return tuple(f.result(timeout=120) for f in futures)  # type: ignore[return-value]


def same_bits(a: np.ndarray, b: np.ndarray) -> bool:
    return a.shape == b.shape and bool(np.all((a.view(np.uint64) == b.view(np.uint64)) | (np.isnan(a) & np.isnan(b))))


def main(n: int = 200_000, chunk: int = 25_000) -> bool:
    from dask.distributed import Client, LocalCluster

    chain = generated_chain(n)
    local_price = kc.b76(chain["fwd"], chain["strike"], chain["ttx"], chain["vol"], chain["is_call"]).fairvalue
    local_iv = kc.implied_vols(chain["ttx"], chain["fwd"], chain["strike"], local_price, chain["is_call"])

    with LocalCluster(n_workers=2, processes=True, threads_per_worker=1, dashboard_address=None) as cluster, \
            Client(cluster) as client:
        price, iv = price_and_invert_on(client, chain, chunk)
        workers = len(client.scheduler_info()["workers"])

    ok = same_bits(price, local_price) and same_bits(iv, local_iv)
    print(f"{n} options in chunks of {chunk} on {workers} worker processes: "
          f"prices and implied vols {'bit-identical' if ok else 'DIFFERENT'} to the in-process call; "
          f"median vol {np.nanmedian(iv):.4f}")
    return ok


if __name__ == "__main__":
    args = [int(a) for a in sys.argv[1:3]]
    sys.exit(0 if main(*args) else 1)
