// korvex_chain's smile kernels, free of Python: korvex's smile models
// evaluated from parameter vectors, many parameter sets at once, through the
// same compiled formulas as the model objects.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "volmodel/model.hpp"

namespace korvex::chain {

// A model's vols at n strikes from a parameter vector in stored order.
using EvaluateFn = void (*)(const double* params, double ttx, double spot, const double* strikes, std::size_t n,
                            double* out);

// One smile model as the kernels see it: its name, its parameters (stored
// order, with defaults), those a fit moves, its admissibility bounds, its
// evaluation and its admissibility test, all the model's own.
struct ModelKind {
    std::string_view name;
    std::span<const volmodel::ParamDef> params;
    std::span<const std::string_view> fitting;
    std::span<const volmodel::ParamBound> bounds;
    EvaluateFn evaluate;
    bool (*arb_free)(const double* params) noexcept;

    std::size_t param_count() const noexcept { return params.size(); }
};

// Every model korvex offers, in a fixed order.
std::span<const ModelKind> model_kinds() noexcept;

// The model named `name`, or null.
const ModelKind* find_model_kind(std::string_view name) noexcept;

// Vols of m parameter rows (m x param_count, row-major) at n strikes into
// out (m x n, row-major), on `threads` threads.
void model_vols(const ModelKind& kind, const double* params, std::size_t m, double ttx, double spot,
                const double* strikes, std::size_t n, double* out, int threads);

// Admissibility of each of m parameter rows.
void model_arb_free(const ModelKind& kind, const double* params, std::size_t m, bool* out) noexcept;

}  // namespace korvex::chain
