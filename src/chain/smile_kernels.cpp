#include "chain/smile_kernels.hpp"

#include <algorithm>
#include <array>

#include "chain/parallel.hpp"
#include "volmodel/vol_model.hpp"

namespace korvex::chain {

namespace {

template <class M>
constexpr ModelKind kind_of() noexcept {
    return {M::kName, M::kParams, M::kFitting, M::kBounds, &M::evaluate_params, &M::arb_free_params};
}

constexpr std::array<ModelKind, 3> kKinds{kind_of<volmodel::GVVSpline>(), kind_of<volmodel::CubicSpline>(),
                                          kind_of<volmodel::VolGeo>()};

}  // namespace

std::span<const ModelKind> model_kinds() noexcept { return kKinds; }

const ModelKind* find_model_kind(std::string_view name) noexcept {
    for (const ModelKind& k : kKinds) {
        if (k.name == name) return &k;
    }
    return nullptr;
}

// The rows times the strike blocks are the units of work, so one long row
// or many short ones both spread over the threads; each unit prepares its
// row once.
void model_vols(const ModelKind& kind, const double* params, std::size_t m, double ttx, double spot,
                const double* strikes, std::size_t n, double* out, int threads) {
    const std::size_t count = kind.param_count();
    const std::size_t per_row = (n + kBlock - 1) / kBlock;
    parallel_blocks(m * per_row, 1, threads, [&](std::size_t b, std::size_t e, int) {
        for (std::size_t u = b; u < e; ++u) {
            const std::size_t r = u / per_row;
            const std::size_t j0 = (u % per_row) * kBlock;
            const std::size_t j1 = std::min(n, j0 + kBlock);
            kind.evaluate(params + r * count, ttx, spot, strikes + j0, j1 - j0, out + r * n + j0);
        }
    });
}

void model_arb_free(const ModelKind& kind, const double* params, std::size_t m, bool* out) noexcept {
    for (std::size_t r = 0; r < m; ++r) out[r] = kind.arb_free(params + r * kind.param_count());
}

}  // namespace korvex::chain
