"""Whole option chains at once: korvex's pricing, implied vols, smiles and
calendar time over numpy arrays.

Every value is computed by the same compiled code as the matching korvex
function, element by element, and is bit for bit what that function returns
for the same inputs. Inputs broadcast together like numpy operands (scalars,
any float or integer dtype, any strides, read-only arrays; empty arrays give
empty results). The work runs with the GIL released, on ``threads`` threads:
``None`` means one thread for small inputs and every CPU the process may use
for large ones.

Numeric trouble never raises: it shows as NaN (or infinity) in the results,
as in korvex. Only wrong types (TypeError), unknown option sides (korvex's
ValueError text, for the first bad element), calendars that do not build
(korvex's ValueError text; FileNotFoundError for a missing calendar file)
and shapes that do not broadcast (ValueError naming them) raise.
"""

from __future__ import annotations

from typing import Any

from . import arrays
from .arrays import *  # noqa: F403 (the array functions are the package's own names)

# ------------------------------------------------------------------ chain workflow
# Quote tables, forwards, fits, greeks and plots live in their own modules,
# which need pandas (matplotlib for plots). They load on first use,
# so that importing korvex_chain costs no more than importing numpy.

_LAZY = {
    "Chain": "quotes", "read_chain": "quotes", "parse_instrument": "quotes",
    "expiry_forwards": "forwards", "parity_forward": "forwards",
    "ttx_between": "timing",
    "fit_smile": "fit", "fit_chain": "fit", "SmileFit": "fit", "ChainFit": "fit",
    "ArbitrageReport": "fit", "density_check": "fit",
    "Surface": "surface", "CalendarArbitrage": "surface",
    "plot_surface": "surface_plot",
    "chain_greeks": "greeks",
    "plot_chain": "plot",
    "make_chain": "synthetic", "to_layout": "synthetic",
    "fit_history": "history", "read_history": "history", "HistoryRun": "history",
    "plot_history": "history_plot",
}
__all__ = list(arrays.__all__) + sorted(_LAZY)


def __getattr__(name: str) -> Any:
    module = _LAZY.get(name)
    if module is None:
        raise AttributeError(f"module 'korvex_chain' has no attribute {name!r}")
    import importlib

    value = getattr(importlib.import_module(f".{module}", __name__), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(_LAZY))
