"""The array functions on a Dask cluster of two worker processes (small and bounded)."""

import importlib.util
import pathlib

import numpy as np
import pytest
from chain_support import ASAN, assert_same_bits, kc

pytestmark = pytest.mark.slow
pytest.importorskip("dask.distributed", reason="dask[distributed] is not installed")
if ASAN:
    pytest.skip("worker processes would run outside the sanitizer set-up", allow_module_level=True)

EXAMPLE = pathlib.Path(__file__).resolve().parents[2] / "examples" / "arrays_dask.py"


def load_example():
    found = importlib.util.spec_from_file_location("arrays_dask", EXAMPLE)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def test_chunked_pricing_and_inversion_on_two_worker_processes():
    from dask.distributed import Client, LocalCluster

    example = load_example()
    chain = example.generated_chain(30_000, seed=11)
    chain["strike"][::97] = np.nan  # NaNs travel through the cluster as well
    want_price = kc.b76(chain["fwd"], chain["strike"], chain["ttx"], chain["vol"], chain["is_call"]).fairvalue
    want_iv = kc.implied_vols(chain["ttx"], chain["fwd"], chain["strike"], want_price, chain["is_call"])

    with LocalCluster(n_workers=2, processes=True, threads_per_worker=1, dashboard_address=None,
                      timeout=60) as cluster, Client(cluster, timeout=60) as client:
        client.wait_for_workers(2, timeout=60)
        price, iv = example.price_and_invert_on(client, chain, chunk=4_000)
        # The tasks really ran in the two worker processes.
        pids = set(client.run(lambda: __import__("os").getpid()).values())
        assert len(pids) == 2
    assert_same_bits(price, want_price, "price")
    assert_same_bits(iv, want_iv, "implied vols")
