"""A picture of a history: constant-maturity quotes over time, to a PNG."""

from __future__ import annotations

from typing import Any

__all__ = ["plot_history"]


# Tenors drawn unless asked otherwise (those of them the history has).
_TENORS = ("1w", "1m", "3m")


def plot_history(dataset: Any, path: Any = "history.png", *, tenors: Any = None, delta: float | None = None,
                 model: str | None = None, underlyings: Any = None, dpi: int = 110,
                 title: str | None = None) -> Any:
    """Draw a history dataset (the folder `fit_history` wrote) and save a PNG:
    per underlying (a row each), the at-the-money vol, the `delta`-delta risk
    reversal and butterfly (default 25, else the history's first delta) of
    each of `tenors` (default 1w, 1m and 3m, those of them the history has,
    else its first three) against observation time, in vol points. `model`:
    whose surfaces (default: the history's first model). Returns the path.
    Needs matplotlib (the `plot` extra); draws headless."""
    try:
        import matplotlib
    except ImportError:  # pragma: no cover - depends on the environment
        raise ImportError("plot_history needs matplotlib: pip install 'korvex[plot]'") from None
    import json
    import os

    from .history import read_history

    with open(os.path.join(os.fspath(dataset), "_history.json")) as f:
        settings = json.load(f)
    model = settings["models"][0] if model is None else model
    if model not in settings["models"]:
        raise ValueError(f"model {model!r}: the history fits {', '.join(settings['models'])}")
    if delta is None:
        delta = 25.0 if 25.0 in [float(x) for x in settings["deltas"]] else settings["deltas"][0]
    d = f"{float(delta):g}"
    if float(delta) not in [float(x) for x in settings["deltas"]]:
        raise ValueError(f"delta {delta!r}: the history has the deltas {settings['deltas']}")
    if tenors is None:
        tenors = [t for t in _TENORS if t in settings["tenors"]] or settings["tenors"][:3]
    tenors = [tenors] if isinstance(tenors, str) else list(tenors)
    unknown = [t for t in tenors if t not in settings["tenors"]]
    if unknown:
        raise ValueError(f"tenors {unknown}: the history has {', '.join(settings['tenors'])}")
    q = read_history(dataset, "quotes", model=model, underlying=underlyings)
    if q.empty:
        raise ValueError(f"no quotes of {model} in {dataset} to draw")
    unds = sorted(q["underlying"].unique())

    matplotlib.use("Agg", force=True)
    import matplotlib.dates as mdates
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(len(unds), 3, figsize=(13, 3.3 * len(unds) + 0.6), squeeze=False, sharex=True)
    colours = ("#1f77b4", "#d62728", "#2ca02c", "#9467bd", "#ff7f0e", "#8c564b", "#17becf")
    panels = (("atm_vol", "ATM vol (%)"), (f"rr{d}", f"{d}-delta risk reversal (vol pts)"),
              (f"bf{d}", f"{d}-delta butterfly (vol pts)"))
    for r, und in enumerate(unds):
        mine = q[q["underlying"] == und]
        for c, (col, label) in enumerate(panels):
            ax = axes[r, c]
            for i, tenor in enumerate(tenors):
                s = mine[mine["tenor"] == tenor]
                times = s["observation_time"].dt.tz_convert(None)
                ax.plot(times, s[col] * 100, color=colours[i % len(colours)], lw=1.4, marker=".", ms=3,
                        label=tenor)
            if col != "atm_vol":
                ax.axhline(0.0, color="0.6", lw=0.8)
            ax.set_title(f"{und}: {label}", fontsize=10)
            ax.grid(alpha=0.3)
            ax.xaxis.set_major_formatter(mdates.ConciseDateFormatter(ax.xaxis.get_major_locator()))
        axes[r, 0].legend(fontsize=8, title="tenor", title_fontsize=8)
    fig.suptitle(title or f"Constant-maturity quotes over time ({model} surfaces, UTC)", fontsize=12)
    fig.tight_layout()
    fig.savefig(path, dpi=dpi)
    plt.close(fig)
    return path
