"""What the fit knows of each model.

The model facts (kinds, parameter names and defaults, the parameters a fit
moves, the bounds of admissibility, the spline's knots) belong to the C++
models and are read from `_kernels`, never repeated here. Below them, kept
apart, the fit's own choices about the models: soft walls far outside any
market smile and the priors that decide what the quotes leave open.
"""

from __future__ import annotations

import functools
from dataclasses import dataclass
from typing import Any

import numpy as np

import korvex_chain._kernels as _kernels

from ..arrays import MODEL_KINDS

# ---------------------------------------------------------------------------
# Model facts, from the models themselves
# ---------------------------------------------------------------------------

MODELS = MODEL_KINDS
# CubicSpline's knots, in at-the-money standard deviations of log-moneyness.
SPLINE_KNOTS = np.array(_kernels.spline_knots(), dtype=float)


def korvex_class(kind: str) -> Any:
    """The korvex class of a model kind."""
    import korvex

    if kind not in MODELS:
        raise ValueError(f"unknown model {kind!r}: use one of {', '.join(MODELS)}")
    return getattr(korvex, kind)


# ---------------------------------------------------------------------------
# The fit's own choices
# ---------------------------------------------------------------------------

EPS_BOUND = 1e-6          # margin that turns a strict bound into a closed one
# Soft walls on |parameter|: far beyond any market smile. A correlation
# parameter beyond 8 makes tanh all but +-1, where the smile degenerates.
SOFT_WALLS = {
    "GVVSpline": {"ref_vol": 500.0, "skew": 500.0, "smile": 2000.0, "*": 1e6},
    "CubicSpline": {"ref_vol": 500.0, "*": 200.0},
    "VolGeo": {"ref_vol": 500.0, "corr": 8.0, "vvol": 2000.0, "*": 1e6},
}
CORR_LIMIT = SOFT_WALLS["VolGeo"]["corr"]
WALL = 10.0               # residual per unit of |parameter| beyond its wall

# Where the quotes leave a smile undetermined, the regulariser picks one.
SMOOTH_WEIGHT = 0.3       # the spline's roughness penalty at knots the quotes pin, per typical spread
SMOOTH_FREE = 1.0         # the same at knots no quote pins
# Shape parameters of GVVSpline and VolGeo fitted from fewer two-sided
# quotes than parameters: a prior of this weight per unit of PRIOR_SCALE.
PRIOR_WEIGHT = 0.1
PRIOR_SCALE = {"GVVSpline": np.array([100.0, 100.0]), "VolGeo": np.array([1.0, 100.0])}
CORR_PRIOR = 0.02         # VolGeo's corr, always: a faint pull towards zero per unit


@dataclass(frozen=True)
class ModelFacts:
    """One model kind as the fit sees it.

    `names`: the parameter vector's order; `fit_names`: the fitting
    parameters, at slots `idx` of the vector; `defaults`: the vector of
    defaults; `bounded`/`lower`: the closed lower bound of each fitting
    parameter that admissibility asks for (strict bounds moved in by
    EPS_BOUND); `upper`: its soft wall."""

    kind: str
    names: list[str]
    fit_names: list[str]
    idx: np.ndarray
    defaults: np.ndarray
    ref_spot: int
    bounded: np.ndarray
    lower: np.ndarray
    upper: np.ndarray


@functools.cache
def model_facts(kind: str) -> ModelFacts:
    """The facts of a model kind, read once."""
    if kind not in MODELS:
        raise ValueError(f"unknown model {kind!r}: use one of {', '.join(MODELS)}")
    names = list(_kernels.model_param_names(kind))
    fit_names = list(_kernels.model_fitting_names(kind))
    lower = {n: lo + EPS_BOUND if strict else lo for n, lo, strict in _kernels.model_bounds(kind)}
    walls = SOFT_WALLS[kind]
    return ModelFacts(
        kind=kind, names=names, fit_names=fit_names,
        idx=np.array([names.index(n) for n in fit_names], dtype=np.int64),
        defaults=np.array(_kernels.model_param_defaults(kind), float),
        ref_spot=names.index("ref_spot"),
        bounded=np.array([n in lower for n in fit_names]),
        lower=np.array([lower.get(n, 0.0) for n in fit_names]),
        upper=np.array([walls.get(n, walls["*"]) for n in fit_names]))
