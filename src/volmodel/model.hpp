// The machinery every volatility smile model shares.
//
// A model is described by a small definition type that supplies only what
// makes it different from the others:
//
//   struct SomeSmile {
//       static constexpr const char* kName = "...";
//       static constexpr std::array<ParamDef, N> kParams{...};      // stored order
//       static constexpr std::array<std::string_view, F> kFitting{...};
//       static constexpr std::array<ParamBound, B> kBounds{...};    // admissibility
//       struct Prepared { ... };                                      // per-call state
//       static Prepared prepare(const double* p, double ttx, double spot) noexcept;
//       static double vol(const Prepared& c, double strike) noexcept; // per strike
//   };
//
// Model<SomeSmile> then provides construction, parameter access, bumping,
// re-anchoring, evaluation and the admissibility test (arb_free: every
// bound holds). `p` always points at the parameters in the
// order of kParams; definitions name their slots with param_index, so a
// slot can never drift away from its name.
#pragma once

#include <array>
#include <cmath>
#include <concepts>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/param_map.hpp"
#include "core/utc_instant.hpp"

namespace korvex::volmodel {

struct ParamDef {
    std::string_view name;
    double default_value;
};

// A bound of admissibility: the parameter is at least `lower`, or above it
// when `strict`. Ordered comparisons, so a NaN never satisfies a bound.
struct ParamBound {
    std::string_view name;
    double lower;
    bool strict;

    constexpr bool holds(double value) const noexcept { return strict ? value > lower : value >= lower; }
};

// Slot of a parameter in a table, resolved at compile time. A name missing
// from the table makes the constant expression ill-formed: a build error.
template <std::size_t N>
consteval std::size_t param_index(const std::array<ParamDef, N>& table, std::string_view name) {
    for (std::size_t i = 0; i < N; ++i) {
        if (table[i].name == name) return i;
    }
    throw "no parameter of that name";
}

template <std::size_t N>
constexpr bool has_param(const std::array<ParamDef, N>& table, std::string_view name) {
    for (const ParamDef& p : table) {
        if (p.name == name) return true;
    }
    return false;
}

template <std::size_t N>
consteval bool names_unique(const std::array<ParamDef, N>& table) {
    for (std::size_t i = 0; i < N; ++i) {
        for (std::size_t j = i + 1; j < N; ++j) {
            if (table[i].name == table[j].name) return false;
        }
    }
    return true;
}

template <class Def>
class Model {
    static constexpr std::size_t kCount = Def::kParams.size();

    static_assert(names_unique(Def::kParams), "parameter names must be unique");
    // Every model is anchored the same way; the shared code relies on it.
    static_assert(kCount >= 3 && Def::kParams[0].name == "vpr" &&
                      Def::kParams[1].name == "ref_spot" && Def::kParams[2].name == "ref_vol",
                  "a model's parameters begin with vpr, ref_spot, ref_vol");
    static_assert([] {
        for (std::string_view f : Def::kFitting) {
            if (!has_param(Def::kParams, f)) return false;
        }
        return true;
    }(), "fitting parameters must be parameters");

    // The slot of each bound's parameter.
    static constexpr auto kBoundSlots = [] {
        std::array<std::size_t, Def::kBounds.size()> slots{};
        for (std::size_t i = 0; i < slots.size(); ++i) {
            slots[i] = kCount;
            for (std::size_t j = 0; j < kCount; ++j) {
                if (Def::kParams[j].name == Def::kBounds[i].name) slots[i] = j;
            }
        }
        return slots;
    }();
    static_assert([] {
        for (std::size_t s : kBoundSlots) {
            if (s == kCount) return false;
        }
        return true;
    }(), "bounds must name parameters");

    static constexpr std::size_t kRefSpot = param_index(Def::kParams, "ref_spot");
    static constexpr std::size_t kRefVol = param_index(Def::kParams, "ref_vol");

public:
    static constexpr const char* kName = Def::kName;

    // Every parameter at its default.
    explicit Model(UtcInstant expiry) noexcept : expiry_(expiry) {
        for (std::size_t i = 0; i < kCount; ++i) p_[i] = Def::kParams[i].default_value;
    }

    // Names present in `params` take its value, the others their default.
    // Unknown keys are ignored and nothing is validated: a fitter may need
    // to start from, or pass through, a non-admissible set.
    static Model with_params(UtcInstant expiry, const ParamMap& params) {
        Model m(expiry);
        for (std::size_t i = 0; i < kCount; ++i) {
            if (auto it = params.find(Def::kParams[i].name); it != params.end()) {
                m.p_[i] = it->second;
            }
        }
        return m;
    }

    std::vector<double> get_vol(double ttx, double spot, const std::vector<double>& strikes) const {
        std::vector<double> out(strikes.size());
        evaluate(ttx, spot, strikes.data(), strikes.size(), out.data());
        return out;
    }

    double get_vol_single(double ttx, double spot, double strike) const {
        double out = 0.0;
        evaluate(ttx, spot, &strike, 1, &out);
        return out;
    }

    bool arb_free() const noexcept { return arb_free_params(p_.data()); }

    std::optional<double> get_parameter(std::string_view param) const noexcept {
        if (auto i = slot(param)) return p_[*i];
        return std::nullopt;
    }

    // Unknown names are ignored; the value is stored as given.
    void set_param(std::string_view param, double value) noexcept {
        if (auto i = slot(param)) p_[*i] = value;
    }

    ParamMap get_param_dict() const {
        ParamMap m;
        m.reserve(kCount);
        for (std::size_t i = 0; i < kCount; ++i) m.emplace(Def::kParams[i].name, p_[i]);
        return m;
    }

    std::vector<std::string> get_fitting_params() const {
        return {Def::kFitting.begin(), Def::kFitting.end()};
    }

    // A new model of the same kind and expiry with the increments added to
    // the parameters they name; increments for unknown names are skipped.
    Model bumped(const ParamMap& increments) const {
        ParamMap values = get_param_dict();
        for (const auto& [name, inc] : increments) {
            if (auto it = values.find(name); it != values.end()) it->second = it->second + inc;
        }
        return with_params(expiry_, values);
    }

    // Applies the increment only if the result is admissible. Only the
    // candidate counts, so a bump can lead a non-admissible model back in.
    void bump_param(std::string_view param, double d_value) {
        ParamMap increment;
        increment.emplace(std::string(param), d_value);
        if (!bumped(increment).arb_free()) return;
        if (auto current = get_parameter(param)) set_param(param, *current + d_value);
    }

    // Moves the anchor to `spot`, keeping the at-the-money vol there: the
    // vol is read with the old anchor before anything changes.
    void reanchor(double spot, double ttx) {
        const double v = get_vol_single(ttx, spot, spot);
        p_[kRefVol] = v * 100.0;
        p_[kRefSpot] = spot;
    }

    UtcInstant expiry() const noexcept { return expiry_; }

    // Parameter-vector access, for callers that hold many parameter sets
    // (a fitter's Jacobian, the array kernels) and should not build a model
    // and its name map for each. `p` holds kParamCount values in stored
    // order, exactly what with_params would have stored.
    static constexpr std::size_t kParamCount = kCount;
    static constexpr const auto& kParams = Def::kParams;    // names and defaults, stored order
    static constexpr const auto& kFitting = Def::kFitting;  // the parameters a fit moves
    static constexpr const auto& kBounds = Def::kBounds;    // admissibility

    // The one evaluation path: strike-independent work once, then the
    // per-strike formula for each strike. get_vol of a model holding `p`
    // comes here too, so both give the same values bit for bit.
    static void evaluate_params(const double* p, double ttx, double spot, const double* strikes,
                                std::size_t n, double* out) noexcept {
        if (n == 0) return;
        const typename Def::Prepared prepared = Def::prepare(p, ttx, spot);
        if constexpr (requires(double x) {
                          Def::log_arg(prepared, x);
                          Def::vol_from_log(prepared, x);
                      }) {
            // A model whose vol splits around one ln: a block of strikes at a
            // time, the arithmetic in vector instructions and the ln calls in
            // a tight loop; per strike exactly Def::vol's operations.
            constexpr std::size_t kBlock = 128;
            double ln[kBlock];
            for (std::size_t base = 0; base < n; base += kBlock) {
                const std::size_t m = n - base < kBlock ? n - base : kBlock;
                for (std::size_t j = 0; j < m; ++j) ln[j] = Def::log_arg(prepared, strikes[base + j]);
                for (std::size_t j = 0; j < m; ++j) ln[j] = std::log(ln[j]);
                for (std::size_t j = 0; j < m; ++j) out[base + j] = Def::vol_from_log(prepared, ln[j]);
            }
        } else {
            for (std::size_t i = 0; i < n; ++i) out[i] = Def::vol(prepared, strikes[i]);
        }
    }

    static bool arb_free_params(const double* p) noexcept {
        for (std::size_t i = 0; i < kBoundSlots.size(); ++i) {
            if (!Def::kBounds[i].holds(p[kBoundSlots[i]])) return false;
        }
        return true;
    }

private:
    static std::optional<std::size_t> slot(std::string_view name) noexcept {
        for (std::size_t i = 0; i < kCount; ++i) {
            if (Def::kParams[i].name == name) return i;
        }
        return std::nullopt;
    }

    void evaluate(double ttx, double spot, const double* strikes, std::size_t n, double* out) const {
        evaluate_params(p_.data(), ttx, spot, strikes, n, out);
    }

    std::array<double, kCount> p_{};
    UtcInstant expiry_;
};

// The operations every smile model offers.
template <class M>
concept VolModel = std::copy_constructible<M> && std::move_constructible<M> &&
    requires(M m, const M cm, UtcInstant e, const ParamMap& pm, std::string_view name, double x,
             const std::vector<double>& ks) {
        { M::kName } -> std::convertible_to<const char*>;
        { M(e) };
        { M::with_params(e, pm) } -> std::same_as<M>;
        { cm.get_vol(x, x, ks) } -> std::same_as<std::vector<double>>;
        { cm.get_vol_single(x, x, x) } -> std::same_as<double>;
        { cm.arb_free() } -> std::same_as<bool>;
        { cm.get_parameter(name) } -> std::same_as<std::optional<double>>;
        { m.set_param(name, x) };
        { cm.get_param_dict() } -> std::same_as<ParamMap>;
        { cm.get_fitting_params() } -> std::same_as<std::vector<std::string>>;
        { cm.bumped(pm) } -> std::same_as<M>;
        { m.bump_param(name, x) };
        { m.reanchor(x, x) };
    };

}  // namespace korvex::volmodel
