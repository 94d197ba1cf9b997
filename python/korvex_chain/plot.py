"""Pictures of a chain: market IVs and fitted smiles, per expiry, to a PNG."""

from __future__ import annotations

import math
import numbers
import warnings

import numpy as np

from .fit import ChainFit

__all__ = ["plot_chain"]

_COLOURS = {"GVVSpline": "#1f77b4", "CubicSpline": "#d62728", "VolGeo": "#2ca02c"}
# Expiries one picture shows unless told otherwise: past a few dozen panels
# each is too small to read (a chain can list hundreds of expiries).
MAX_PANELS = 24


def _positive_int(name, value):
    if isinstance(value, bool) or not isinstance(value, numbers.Integral) or value < 1:
        raise ValueError(f"{name} must be a whole number of at least 1: got {value!r}")
    return int(value)


def plot_chain(chain, fits=(), path="smiles.png", *, underlyings=None, max_expiries: int | None = None,
               columns: int = 3, dpi: int = 110, title: str | None = None):
    """Draw each expiry's market bid/ask IVs (bars), mids (points) and fitted
    smiles (curves) against log-moneyness ln(K / F), and save a PNG.

    `fits` is a ChainFit or a list of them (one curve per model). One panel
    per expiry, `columns` to a row. At most `max_expiries` expiries are drawn
    (default MAX_PANELS, 24), the nearest first: when the selection holds
    more, the picture's title says how many are shown, and where the
    default cut them a warning names the rest (choose with `underlyings` or
    a larger `max_expiries`). Returns
    the path written. Needs matplotlib (the `plot` extra); draws headless."""
    columns = _positive_int("columns", columns)
    limit = MAX_PANELS if max_expiries is None else _positive_int("max_expiries", max_expiries)
    try:
        import matplotlib
    except ImportError:  # pragma: no cover - depends on the environment
        raise ImportError("plot_chain needs matplotlib: pip install 'korvex[plot]'") from None
    matplotlib.use("Agg", force=True)
    import matplotlib.pyplot as plt

    fits = [fits] if isinstance(fits, ChainFit) else list(fits)
    exps = chain.expiries
    if underlyings is not None:
        exps = exps[exps["underlying"].isin(list(underlyings))]
    if exps.empty:
        raise ValueError("nothing to plot: no expiry selected")
    note = ""
    if len(exps) > limit:
        kept = exps.sort_values(["expiry", "underlying"], kind="stable").head(limit).index
        left = exps.loc[~exps.index.isin(kept)]
        note = f"{limit} of {len(exps)} expiries shown (the nearest)"
        if max_expiries is None:
            warnings.warn(f"plot_chain: {note}; left out: "
                          + ", ".join(f"{u} {e:%Y-%m-%d}" for u, e in zip(left["underlying"][:8], left["expiry"][:8]))
                          + (", ..." if len(left) > 8 else "") + " (choose with underlyings= or max_expiries=)",
                          stacklevel=2)
        exps = exps.loc[exps.index.isin(kept)]
    n = len(exps)
    cols = min(columns, n)
    rows = math.ceil(n / cols)
    fig, axes = plt.subplots(rows, cols, figsize=(4.6 * cols, 3.4 * rows), squeeze=False)
    for ax in axes.ravel()[n:]:
        ax.set_visible(False)
    for ax, (_, e) in zip(axes.ravel(), exps.iterrows()):
        q = chain.expiry_quotes(e["underlying"], e["expiry"])
        q = q[q["otm"]]
        k = q["log_moneyness"].to_numpy(float)
        b = q["quote_bid_iv"].to_numpy(float) * 100
        a = q["quote_ask_iv"].to_numpy(float) * 100
        two = np.isfinite(b) & np.isfinite(a)
        # Bars at least a little taller than the mid's dot, so that tight
        # markets stay visible next to the curves.
        ax.vlines(k[two], b[two], a[two], color="#f0a020", lw=3.5, alpha=0.9, label="bid/ask IV", zorder=2)
        ax.scatter(k[two], 0.5 * (b[two] + a[two]), s=5, color="black", zorder=4, label="mid")
        only_b = np.isfinite(b) & ~two
        if only_b.any():
            ax.scatter(k[only_b], b[only_b], marker="^", s=12, color="0.4", label="bid only")
        finite = np.concatenate([b[np.isfinite(b)], a[np.isfinite(a)]])
        lo_k, hi_k = (k.min(), k.max()) if k.size else (-0.2, 0.2)
        grid = np.linspace(lo_k, hi_k, 300)
        for cf in fits:
            try:
                f = cf.get(e["underlying"], e["expiry"])
            except KeyError:
                continue
            if f.model is None:
                ax.text(0.02, 0.02, f"{cf.model_name}: fit failed", transform=ax.transAxes, color="red", fontsize=7)
                continue
            v = f.vols(f.forward * np.exp(grid)) * 100
            lab = f"{cf.model_name} (RMSE {f.rmse:.2f})"
            ax.plot(grid, v, color=_COLOURS.get(cf.model_name), lw=1.2, label=lab, zorder=3)
            if f.arbitrage is not None and f.arbitrage.has_arbitrage:
                for lo, hi in f.arbitrage.regions:
                    ax.axvspan(math.log(lo / f.forward), math.log(hi / f.forward), color="red", alpha=0.15)
        if finite.size:
            span = np.nanpercentile(finite, [2, 98])
            pad = 0.15 * (span[1] - span[0]) + 2
            ax.set_ylim(max(0.0, span[0] - pad), span[1] + pad)
        ax.set_title(f"{e['underlying']} {e['expiry']:%Y-%m-%d}  F={e['forward']:,.0f}  T={e['ttx']:.3f}", fontsize=8)
        ax.set_xlabel("ln(K / F)", fontsize=8)
        ax.set_ylabel("IV (%)", fontsize=8)
        ax.tick_params(labelsize=7)
        ax.grid(alpha=0.3)
    axes.ravel()[0].legend(fontsize=6, loc="upper center")
    if title or note:
        fig.suptitle("\n".join(t for t in (title, note) if t), fontsize=10)
    fig.tight_layout()
    fig.savefig(path, dpi=dpi)
    plt.close(fig)
    return path
