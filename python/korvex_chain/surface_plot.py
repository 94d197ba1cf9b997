"""A picture of a volatility surface: its term structure and a vol map, to a PNG."""

from __future__ import annotations

import math
from typing import Any

import numpy as np

__all__ = ["plot_surface"]

# Tenors marked on the time axes.
_MARKS = ("1w", "1m", "3m", "6m", "1y")


def plot_surface(surface: Any, path: Any = "surface.png", *, deltas: Any = (25, 10), delta: str = "forward",
                 points: int = 80, dpi: int = 110, title: str | None = None) -> Any:
    """Draw a Surface and save a PNG: the term structure of at-the-money vol
    (with the fitted expiries as dots), of the risk reversals and
    butterflies of `deltas` (conventions as in Surface.quotes), each against
    time on the surface's clock from half the first expiry to the last; and
    a map of vol over time and log-forward-moneyness k = ln(K / F), with the
    25-delta (first of `deltas`) strikes drawn on it. Returns the path.
    Needs matplotlib (the `plot` extra); draws headless."""
    try:
        import matplotlib
    except ImportError:  # pragma: no cover - depends on the environment
        raise ImportError("plot_surface needs matplotlib: pip install 'korvex[plot]'") from None
    matplotlib.use("Agg", force=True)
    import matplotlib.pyplot as plt

    t = surface.times
    lo = 0.5 * t[0]
    hi = t[-1] if t.size > 1 else 2.0 * t[0]
    times = np.geomspace(lo, hi, points)
    times = np.unique(np.concatenate([times, t]))
    dl = tuple(np.atleast_1d(np.asarray(deltas, dtype=float)).tolist())
    q = surface.quotes(times, deltas=dl, delta=delta)
    nodes = surface.quotes(t, deltas=dl, delta=delta)
    name = surface.calendar if isinstance(surface.calendar, str) and len(surface.calendar) < 40 else "custom calendar"
    unit = f"business years, {name}" if surface.clock == "business" else "years"
    marks = [(m, surface.ttx(m)) for m in _MARKS]
    marks = [(m, x) for m, x in marks if lo <= x <= hi]

    fig = plt.figure(figsize=(12, 8.2))
    grid = fig.add_gridspec(2, 2, height_ratios=(1.0, 1.25))
    ax_atm = fig.add_subplot(grid[0, 0])
    ax_skew = fig.add_subplot(grid[0, 1])
    ax_map = fig.add_subplot(grid[1, :])

    ax_atm.plot(times, q["atm_vol"] * 100, color="#1f77b4", lw=1.6, label="ATM vol")
    ax_atm.scatter(t, nodes["atm_vol"] * 100, color="#1f77b4", s=18, zorder=3, label="fitted expiries")
    ax_atm.set_ylabel("vol (%)")
    colours = ("#d62728", "#2ca02c", "#9467bd", "#8c564b")
    for i, d in enumerate(dl):
        name = f"{d:g}"
        c = colours[i % len(colours)]
        ax_skew.plot(times, q[f"rr{name}"] * 100, color=c, lw=1.6, label=f"{name}-delta risk reversal")
        ax_skew.plot(times, q[f"bf{name}"] * 100, color=c, lw=1.6, ls="--", label=f"{name}-delta butterfly")
        ax_skew.scatter(t, nodes[f"rr{name}"] * 100, color=c, s=12, zorder=3)
        ax_skew.scatter(t, nodes[f"bf{name}"] * 100, color=c, s=12, zorder=3, marker="s")
    ax_skew.axhline(0.0, color="0.5", lw=0.8)
    ax_skew.set_ylabel("vol points")
    for ax in (ax_atm, ax_skew):
        ax.set_xscale("log")
        ax.set_xlabel(f"time to expiry ({unit})")
        ax.grid(alpha=0.3, which="both")
        ax.legend(fontsize=7)
        for m, x in marks:
            ax.axvline(x, color="0.6", lw=0.6, ls=":")
            ax.annotate(m, (x, 1.0), xycoords=("data", "axes fraction"), fontsize=7, ha="center", va="bottom",
                        color="0.35")

    # The map spans the strikes of the smallest delta (within the quoted range).
    small = f"{min(dl):g}"
    k_put = np.log(q[f"put{small}_strike"].to_numpy(float) / q["forward"].to_numpy(float))
    k_call = np.log(q[f"call{small}_strike"].to_numpy(float) / q["forward"].to_numpy(float))
    k_lo = float(np.min(surface.k_ranges[:, 0]))
    k_hi = float(np.max(surface.k_ranges[:, 1]))
    if np.isfinite(k_put).any() and np.isfinite(k_call).any():
        k_lo = max(k_lo, 1.15 * float(np.nanmin(k_put)))
        k_hi = min(k_hi, 1.15 * float(np.nanmax(k_call)))
    k = np.linspace(k_lo, k_hi, 161)
    vol = surface.vol(times[:, None], k=k[None, :]) * 100
    # Wing vols of short expiries run to several times the at-the-money
    # level: colours on a log scale keep both readable.
    finite = vol[np.isfinite(vol) & (vol > 0)]
    vmin, vmax = np.percentile(finite, [0.5, 99.5]) if finite.size else (1.0, 100.0)
    norm = matplotlib.colors.LogNorm(vmin=vmin, vmax=max(vmax, vmin * 1.01))
    mesh = ax_map.pcolormesh(times, k, vol.T, shading="gouraud", cmap="viridis", norm=norm)
    nice = np.array([1.0, 1.2, 1.5, 2.0, 2.5, 3.0, 4.0, 5.0, 6.0, 8.0])
    decades = 10.0 ** np.arange(math.floor(math.log10(vmin)), math.ceil(math.log10(vmax)) + 1)
    levels = np.unique(np.outer(decades, nice).ravel())
    levels = levels[(levels >= vmin) & (levels <= vmax)]
    if levels.size > 14:
        levels = levels[:: math.ceil(levels.size / 14)]
    cs = ax_map.contour(times, k, vol.T, levels=levels, colors="white", linewidths=0.5, alpha=0.7)
    ax_map.clabel(cs, fontsize=6, fmt="%g")
    first = f"{dl[0]:g}"
    ax_map.plot(times, np.log(q[f"call{first}_strike"] / q["forward"]), color="#ff7f0e", lw=1.2,
                label=f"{first}-delta call / put strikes")
    ax_map.plot(times, np.log(q[f"put{first}_strike"] / q["forward"]), color="#ff7f0e", lw=1.2)
    if small != first:
        ax_map.plot(times, k_call, color="#ff7f0e", lw=0.9, ls="--", label=f"{small}-delta strikes")
        ax_map.plot(times, k_put, color="#ff7f0e", lw=0.9, ls="--")
    for x in t:
        ax_map.axvline(x, color="white", lw=0.5, alpha=0.5)
    ax_map.set_xscale("log")
    ax_map.set_ylim(k_lo, k_hi)
    ax_map.set_xlabel(f"time to expiry ({unit}); thin lines: fitted expiries")
    ax_map.set_ylabel("k = ln(K / F)")
    ax_map.legend(fontsize=7, loc="lower left")
    bar = fig.colorbar(mesh, ax=ax_map, label="implied vol (%)", pad=0.01)
    bar.minorticks_off()
    bar.set_ticks(levels.tolist(), labels=[f"{x:g}" for x in levels])
    head = title or (f"{surface.underlying} surface from {surface.model_name or 'fitted'} smiles, "
                     f"{surface.observation_time:%Y-%m-%d %H:%M} UTC ({delta} delta)")
    fig.suptitle(head, fontsize=10)
    fig.tight_layout()
    fig.savefig(path, dpi=dpi)
    plt.close(fig)
    return path
