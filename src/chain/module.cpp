// korvex_chain._kernels: the compiled half of korvex_chain.
//
// The Python layer (korvex_chain/_arrays.py) normalises every input to a
// one-dimensional C-contiguous array of the call's length or of length one,
// and allocates the outputs; the functions here check that contract, take
// the data pointers, release the GIL and run the kernels, split over
// `threads` threads. They never raise for numeric trouble.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/string_view.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/variant.h>
#include <nanobind/stl/vector.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <tuple>
#include <variant>
#include <vector>

#include "calendar/calendar.hpp"
#include "chain/fit_kernels.hpp"
#include "chain/kernels.hpp"
#include "chain/parallel.hpp"
#include "chain/surface.hpp"
#include "pricing/option_side.hpp"
#include "volmodel/vol_model.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace korvex::chain {

namespace {

template <class T>
using In1 = nb::ndarray<const T, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
template <class T>
using Out1 = nb::ndarray<T, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using In2 = nb::ndarray<const double, nb::ndim<2>, nb::c_contig, nb::device::cpu>;
using Out2 = nb::ndarray<double, nb::ndim<2>, nb::c_contig, nb::device::cpu>;

// Elements per block handed to a thread: large enough that handing out a
// block costs nothing next to computing it (a block is some hundreds of
// microseconds of work), small enough to balance threads.
constexpr std::size_t kBlock = 8192;
constexpr std::size_t kIVBlock = 1024;        // about 0.5 us per element
constexpr std::size_t kCalendarBlock = 4096;       // about 20 ns per element
constexpr std::size_t kCalendarScanBlock = 65536;  // about 1 ns per element

template <class T>
Column<T> column(const In1<T>& a, std::size_t n, const char* name) {
    const std::size_t len = a.shape(0);
    if (len == n) return {a.data(), 1};
    if (len == 1) return {a.data(), 0};
    throw nb::value_error(("_kernels: '" + std::string(name) + "' has " + std::to_string(len) +
                           " elements, expected " + std::to_string(n) + " or 1")
                              .c_str());
}

template <class T>
T* output(Out1<T>& a, std::size_t n, const char* name) {
    if (a.shape(0) != n) {
        throw nb::value_error(("_kernels: output '" + std::string(name) + "' has " +
                               std::to_string(a.shape(0)) + " elements, expected " + std::to_string(n))
                                  .c_str());
    }
    return a.data();
}

int checked_threads(int threads) {
    if (threads < 1) throw nb::value_error("threads must be at least 1");
    return threads;
}

// ------------------------------------------------------------------ sides

// True for a call. The core parser decides, with its Unicode lower-casing
// and its exact message for an unknown side.
bool parse_side(std::string_view text) {
    auto side = pricing::parse_option_side(text);
    if (!side) throw nb::value_error(side.error().message.c_str());
    return *side == pricing::OptionSide::Call;
}

// ------------------------------------------------------------------ pricing

void implied_vols_py(const In1<double>& ttx, const In1<double>& fwd, const In1<double>& strike,
                     const In1<double>& price, const In1<bool>& is_call, const In1<double>& df,
                     Out1<double> out, std::optional<Out1<std::int8_t>> status, int threads) {
    const std::size_t n = out.shape(0);
    const IVInputs in{column(ttx, n, "ttx"),   column(fwd, n, "fwd"), column(strike, n, "strike"),
                      column(price, n, "price"), column(df, n, "df"),  column(is_call, n, "call_put")};
    double* vol = out.data();
    std::int8_t* st = status ? output(*status, n, "status") : nullptr;
    threads = checked_threads(threads);
    nb::gil_scoped_release release;
    parallel_blocks(n, kIVBlock, threads, [&](std::size_t b, std::size_t e, int) {
        implied_vols(in, b, e, vol, st);
    });
}

PricingInputs pricing_inputs(std::size_t n, const In1<double>& fwd, const In1<double>& strike,
                             const In1<double>& ttx, const In1<double>& vol, const In1<bool>& is_call,
                             const In1<double>& df) {
    return {column(fwd, n, "fwd"), column(strike, n, "strike"), column(ttx, n, "ttx"),
            column(vol, n, "vol"), column(df, n, "df"),         column(is_call, n, "call_put")};
}

void b76_py(const In1<double>& fwd, const In1<double>& strike, const In1<double>& ttx,
            const In1<double>& vol, const In1<bool>& is_call, const In1<double>& df, Out1<double> fairvalue,
            Out1<double> delta, Out1<double> gamma, Out1<double> vega, int threads) {
    const std::size_t n = fairvalue.shape(0);
    const PricingInputs in = pricing_inputs(n, fwd, strike, ttx, vol, is_call, df);
    const B76Outputs out{fairvalue.data(), output(delta, n, "delta"), output(gamma, n, "gamma"),
                         output(vega, n, "vega")};
    threads = checked_threads(threads);
    nb::gil_scoped_release release;
    parallel_blocks(n, kBlock, threads, [&](std::size_t b, std::size_t e, int) { b76(in, b, e, out); });
}

void binary_py(const In1<double>& fwd, const In1<double>& strike, const In1<double>& ttx,
               const In1<double>& vol, const In1<bool>& is_call, const In1<double>& df,
               Out1<double> fairvalue, Out1<double> delta, Out1<double> gamma, Out1<double> vega,
               Out1<double> theta, int threads) {
    const std::size_t n = fairvalue.shape(0);
    const PricingInputs in = pricing_inputs(n, fwd, strike, ttx, vol, is_call, df);
    const BinaryOutputs out{fairvalue.data(), output(delta, n, "delta"), output(gamma, n, "gamma"),
                            output(vega, n, "vega"), output(theta, n, "theta")};
    threads = checked_threads(threads);
    nb::gil_scoped_release release;
    parallel_blocks(n, kBlock, threads, [&](std::size_t b, std::size_t e, int) { binary(in, b, e, out); });
}

// ------------------------------------------------------------------ models

using volmodel::CubicSpline;
using volmodel::GVVSpline;
using volmodel::VolGeo;

// Calls fn with a null pointer of the model type named by `kind`.
template <class Fn>
decltype(auto) with_model(std::string_view kind, Fn&& fn) {
    if (kind == GVVSpline::kName) return fn(static_cast<GVVSpline*>(nullptr));
    if (kind == CubicSpline::kName) return fn(static_cast<CubicSpline*>(nullptr));
    if (kind == VolGeo::kName) return fn(static_cast<VolGeo*>(nullptr));
    throw nb::value_error(("unknown model kind: '" + std::string(kind) +
                           "'; expected 'GVVSpline', 'CubicSpline' or 'VolGeo'")
                              .c_str());
}

nb::tuple model_param_names(std::string_view kind) {
    return with_model(kind, []<class M>(M*) {
        nb::list names;
        for (const auto& p : M::kParams) names.append(nb::str(p.name.data(), p.name.size()));
        return nb::tuple(names);
    });
}

template <class M>
void check_params(const In2& params) {
    if (params.shape(1) != M::kParamCount) {
        throw nb::value_error(("a " + std::string(M::kName) + " parameter vector has " +
                               std::to_string(M::kParamCount) + " values, got " +
                               std::to_string(params.shape(1)))
                                  .c_str());
    }
}

// Vols of every parameter row at every strike: out[r, j]. The rows times
// the strike blocks are the units of work, so one long row or many short
// ones both spread over the threads; each unit prepares its row once.
void model_vols_py(std::string_view kind, const In2& params, double ttx, double spot,
                   const In1<double>& strikes, Out2 out, int threads) {
    const std::size_t m = params.shape(0);
    const std::size_t n = strikes.shape(0);
    if (out.shape(0) != m || out.shape(1) != n) throw nb::value_error("_kernels: output shape mismatch");
    threads = checked_threads(threads);
    with_model(kind, [&]<class M>(M*) {
        check_params<M>(params);
        const double* p = params.data();
        const double* k = strikes.data();
        double* o = out.data();
        const std::size_t per_row = (n + kBlock - 1) / kBlock;
        nb::gil_scoped_release release;
        parallel_blocks(m * per_row, 1, threads, [&](std::size_t b, std::size_t e, int) {
            for (std::size_t u = b; u < e; ++u) {
                const std::size_t r = u / per_row;
                const std::size_t j0 = (u % per_row) * kBlock;
                const std::size_t j1 = std::min(n, j0 + kBlock);
                M::evaluate_params(p + r * M::kParamCount, ttx, spot, k + j0, j1 - j0, o + r * n + j0);
            }
        });
    });
}

void model_arb_free_py(std::string_view kind, const In2& params, Out1<bool> out) {
    with_model(kind, [&]<class M>(M*) {
        check_params<M>(params);
        const std::size_t m = params.shape(0);
        bool* o = output(out, m, "arb_free");
        for (std::size_t r = 0; r < m; ++r) o[r] = M::arb_free_params(params.data() + r * M::kParamCount);
    });
}

// Residuals of the smile fit (band distance and pull to the mid, under the
// soft-L1 loss) of each parameter row at the quotes: out[r] has 2n values.
// Small problems, one thread: the rows are the points of one Jacobian.
void fit_residuals_py(std::string_view kind, const In2& params, double ttx, double spot,
                      const In1<double>& strikes, const In1<double>& lo, const In1<double>& hi,
                      const In1<double>& mid, const In1<double>& inv_scale, const In1<double>& pull_w,
                      double robust, double fill, Out2 out) {
    const std::size_t m = params.shape(0);
    const std::size_t n = strikes.shape(0);
    if (out.shape(0) != m || out.shape(1) != 2 * n) throw nb::value_error("_kernels: output shape mismatch");
    if (lo.shape(0) != n || hi.shape(0) != n || mid.shape(0) != n || inv_scale.shape(0) != n ||
        pull_w.shape(0) != n) {
        throw nb::value_error("_kernels: every quote array needs one value per strike");
    }
    const FitQuotes q{lo.data(), hi.data(), mid.data(), inv_scale.data(), pull_w.data(), n, robust, fill};
    with_model(kind, [&]<class M>(M*) {
        check_params<M>(params);
        const double* p = params.data();
        const double* k = strikes.data();
        double* o = out.data();
        std::vector<double> vols(n);
        nb::gil_scoped_release release;
        for (std::size_t r = 0; r < m; ++r) {
            M::evaluate_params(p + r * M::kParamCount, ttx, spot, k, n, vols.data());
            fit_residual_row(vols.data(), q, o + r * 2 * n);
        }
    });
}

// One fit's problem, kept native between the solver's calls: the quotes,
// coordinates, density points and regulariser rows are copied once, and
// each evaluation or solve then passes only the coordinates. Rows of the
// residual: 2n quote rows, p walls, the density points, the regulariser.
class FitProblemPy {
public:
    FitProblemPy(std::string_view kind, const In1<double>& base, const In1<std::int64_t>& idx,
                 const In1<bool>& bounded, const In1<double>& lower, const In1<double>& upper, double wall,
                 double ttx, double spot, const In1<double>& strikes, const In1<double>& lo, const In1<double>& hi,
                 const In1<double>& mid, const In1<double>& inv_scale, const In1<double>& pull_w, double robust,
                 double fill) {
        const std::size_t p = idx.shape(0);
        const std::size_t n = strikes.shape(0);
        if (bounded.shape(0) != p || lower.shape(0) != p || upper.shape(0) != p) {
            throw nb::value_error("_kernels: every coordinate array needs one value per fitting parameter");
        }
        if (lo.shape(0) != n || hi.shape(0) != n || mid.shape(0) != n || inv_scale.shape(0) != n ||
            pull_w.shape(0) != n) {
            throw nb::value_error("_kernels: every quote array needs one value per strike");
        }
        with_model(kind, [&]<class M>(M*) {
            if (base.shape(0) != M::kParamCount) throw nb::value_error("_kernels: base has the wrong length");
            for (std::size_t i = 0; i < p; ++i) {
                const std::int64_t k = idx.data()[i];
                if (k < 0 || static_cast<std::size_t>(k) >= M::kParamCount) {
                    throw nb::value_error("_kernels: parameter index out of range");
                }
            }
            evaluate_ = &M::evaluate_params;
            n_params_ = M::kParamCount;
        });
        auto copy = [](const auto& a) { return std::vector(a.data(), a.data() + a.shape(0)); };
        base_ = copy(base);
        idx_ = copy(idx);
        bounded_.reset(new bool[p]);
        std::copy(bounded.data(), bounded.data() + p, bounded_.get());
        lower_ = copy(lower);
        upper_ = copy(upper);
        strikes_ = copy(strikes);
        lo_ = copy(lo);
        hi_ = copy(hi);
        mid_ = copy(mid);
        inv_scale_ = copy(inv_scale);
        pull_w_ = copy(pull_w);
        p_ = p;
        wall_ = wall;
        ttx_ = ttx;
        spot_ = spot;
        robust_ = robust;
        fill_ = fill;
    }

    // kind 0: none; 1: fixed log-moneyness points; 2: points in units of the
    // at-the-money deviation (slot `level_slot` of the parameter vector).
    void set_density(int kind, const In1<double>& pts, double h, std::int64_t level_slot, double margin,
                     double weight) {
        if (kind < 0 || kind > 2) throw nb::value_error("_kernels: unknown density kind");
        if (kind == 2 && (level_slot < 0 || static_cast<std::size_t>(level_slot) >= n_params_)) {
            throw nb::value_error("_kernels: level slot out of range");
        }
        density_kind_ = kind;
        density_pts_.assign(pts.data(), pts.data() + pts.shape(0));
        density_h_ = h;
        level_slot_ = static_cast<std::size_t>(kind == 2 ? level_slot : 0);
        margin_ = margin;
        weight_ = weight;
    }

    // Rows reg[i] . theta - c[i] on the fitting parameters (0 rows: none).
    void set_regulariser(const In2& reg, const In1<double>& c) {
        if (reg.shape(0) != 0 && reg.shape(1) != p_) {
            throw nb::value_error("_kernels: the regulariser needs one column per fitting parameter");
        }
        if (c.shape(0) != reg.shape(0)) throw nb::value_error("_kernels: one offset per regulariser row");
        reg_.assign(reg.data(), reg.data() + reg.shape(0) * p_);
        reg_c_.assign(c.data(), c.data() + c.shape(0));
    }

    std::size_t rows() const { return view().rows(); }

    // The cost sum(r^2) of each row of fitting parameters (not coordinates).
    void costs(const In2& theta, Out1<double> out) const {
        FitProblem f = view();
        f.c.direct = true;
        if (theta.shape(1) != p_) throw nb::value_error("_kernels: one column per fitting parameter");
        const std::size_t m = theta.shape(0);
        if (out.shape(0) != m) throw nb::value_error("_kernels: output shape mismatch");
        const double* th = theta.data();
        double* o = out.data();
        nb::gil_scoped_release release;
        FitEvaluator ev(f);
        std::vector<double> r(f.rows());
        for (std::size_t i = 0; i < m; ++i) {
            ev.residuals(th + i * p_, r.data());
            double s = 0.0;
            for (double x : r) s += x * x;
            o[i] = s;
        }
    }

    // In coordinates u (a bounded parameter as lower + u^2) or, with
    // `direct`, in the parameters themselves.
    void residuals_jacobian(const In1<double>& u, Out1<double> r, Out2 jac, bool direct) const {
        FitProblem f = view();
        f.c.direct = direct;
        if (u.shape(0) != p_) throw nb::value_error("_kernels: u needs one value per fitting parameter");
        if (r.shape(0) != f.rows() || jac.shape(0) != f.rows() || jac.shape(1) != p_) {
            throw nb::value_error("_kernels: output shape mismatch");
        }
        nb::gil_scoped_release release;
        FitEvaluator ev(f);
        ev.residuals(u.data(), r.data());
        ev.jacobian(u.data(), r.data(), nullptr, jac.data());
    }

    // Levenberg-Marquardt from u (overwritten with the end point); returns
    // (cost, evaluations, status) as fit_solve documents.
    nb::tuple solve(Out1<double> u, const In1<bool>& free, double ftol, double xtol, std::int64_t max_nfev) const {
        const FitProblem f = view();
        if (u.shape(0) != p_ || free.shape(0) != p_) {
            throw nb::value_error("_kernels: u and free need one value per fitting parameter");
        }
        if (max_nfev < 1) throw nb::value_error("_kernels: max_nfev must be at least 1");
        FitSolveResult res;
        {
            nb::gil_scoped_release release;
            res = fit_solve(f, u.data(), free.data(), ftol, xtol, static_cast<std::size_t>(max_nfev));
        }
        return nb::make_tuple(res.cost, res.nfev, res.status);
    }

private:
    FitProblem view() const {
        FitProblem f;
        f.evaluate = evaluate_;
        f.ttx = ttx_;
        f.spot = spot_;
        f.strikes = strikes_.data();
        f.q = FitQuotes{lo_.data(), hi_.data(), mid_.data(), inv_scale_.data(), pull_w_.data(), strikes_.size(),
                        robust_, fill_};
        f.c = FitCoordinates{base_.data(), n_params_, idx_.data(), bounded_.get(), lower_.data(), upper_.data(),
                             p_, wall_};
        f.d = FitDensity{density_kind_, density_pts_.data(), density_pts_.size(), density_h_, level_slot_,
                         margin_, weight_};
        f.reg = reg_.data();
        f.reg_c = reg_c_.data();
        f.n_reg = reg_c_.size();
        return f;
    }

    EvaluateFn evaluate_ = nullptr;
    std::size_t n_params_ = 0;
    std::size_t p_ = 0;
    std::vector<double> base_, lower_, upper_, strikes_, lo_, hi_, mid_, inv_scale_, pull_w_;
    std::vector<std::int64_t> idx_;
    std::unique_ptr<bool[]> bounded_;
    double wall_ = 0.0, ttx_ = 0.0, spot_ = 0.0, robust_ = 0.0, fill_ = 0.0;
    int density_kind_ = 0;
    std::vector<double> density_pts_;
    double density_h_ = 0.0;
    std::size_t level_slot_ = 0;
    double margin_ = 0.0, weight_ = 0.0;
    std::vector<double> reg_, reg_c_;
};

// A surface of fitted smiles (one node per expiry), kept native: built once
// from the nodes' models and parameters, then evaluated at any times and
// strikes, and solved for delta strikes, without Python in between.
class SurfacePy {
public:
    SurfacePy(const std::vector<std::string>& kinds, const In2& params, const In1<double>& ttx,
              const In1<double>& forward, const In1<double>& time, const In1<double>& variance_time,
              const In1<double>& vol_scale, bool same_clock) {
        const std::size_t n = kinds.size();
        if (n == 0) throw nb::value_error("_kernels: a surface needs at least one node");
        if (params.shape(0) != n || ttx.shape(0) != n || forward.shape(0) != n || time.shape(0) != n ||
            variance_time.shape(0) != n || vol_scale.shape(0) != n) {
            throw nb::value_error("_kernels: every node array needs one value per node");
        }
        std::vector<SurfaceNode> nodes(n);
        for (std::size_t i = 0; i < n; ++i) {
            SurfaceNode& node = nodes[i];
            with_model(kinds[i], [&]<class M>(M*) {
                if (params.shape(1) < M::kParamCount) {
                    throw nb::value_error("_kernels: a parameter row is shorter than its model's vector");
                }
                node.smile = &M::evaluate_params;
                const double* row = params.data() + i * params.shape(1);
                node.params.assign(row, row + M::kParamCount);
            });
            node.ttx = ttx.data()[i];
            node.forward = forward.data()[i];
            node.time = time.data()[i];
            node.variance_time = variance_time.data()[i];
            node.vol_scale = vol_scale.data()[i];
            if (!(node.time > 0.0) || !std::isfinite(node.time) || (i > 0 && !(node.time > nodes[i - 1].time))) {
                throw nb::value_error("_kernels: node times must be positive and strictly increasing");
            }
        }
        surface_ = std::make_unique<VolSurface>(std::move(nodes), same_clock);
    }

    void evaluate(const In1<double>& theta, const In1<double>& x, bool strikes, Out1<double> w, Out1<double> vol,
                  Out1<double> fwd, int threads) const {
        const std::size_t n = w.shape(0);
        const Column<double> th = column(theta, n, "theta");
        const Column<double> xs = column(x, n, "x");
        double* v = output(vol, n, "vol");
        double* f = output(fwd, n, "fwd");
        double* o = w.data();
        threads = checked_threads(threads);
        nb::gil_scoped_release release;
        parallel_blocks(n, kBlock, threads, [&](std::size_t b, std::size_t e, int) {
            surface_->evaluate(th.data, th.step, xs.data, xs.step, strikes, b, e, o, v, f);
        });
    }

    void delta_strikes(const In1<double>& theta, const In1<double>& targets, bool premium_adjusted, Out2 k,
                       Out2 vol) const {
        const std::size_t m = theta.shape(0);
        const std::size_t nt = targets.shape(0);
        if (k.shape(0) != m || k.shape(1) != nt || vol.shape(0) != m || vol.shape(1) != nt) {
            throw nb::value_error("_kernels: output shape mismatch");
        }
        nb::gil_scoped_release release;
        surface_->delta_strikes(theta.data(), m, targets.data(), nt, premium_adjusted, k.data(), vol.data());
    }

private:
    std::unique_ptr<VolSurface> surface_;
};

// Risk-neutral density of one smile on a uniform log-moneyness grid.
void smile_density_py(std::string_view kind, const In1<double>& params, double ttx, double spot,
                      const In1<double>& k, Out1<double> out) {
    const std::size_t n = k.shape(0);
    if (out.shape(0) != n) throw nb::value_error("_kernels: output shape mismatch");
    with_model(kind, [&]<class M>(M*) {
        if (params.shape(0) != M::kParamCount) {
            throw nb::value_error(("a " + std::string(M::kName) + " parameter vector has " +
                                   std::to_string(M::kParamCount) + " values, got " +
                                   std::to_string(params.shape(0)))
                                      .c_str());
        }
        nb::gil_scoped_release release;
        density_on_grid(&M::evaluate_params, params.data(), ttx, spot, k.data(), n, out.data());
    });
}

// ------------------------------------------------------------------ calendar

using Instants = std::variant<In1<double>, In1<std::int64_t>>;

InstantColumn instant_column(const Instants& v, std::int64_t ticks_per_second,
                             std::int64_t seconds_per_tick, std::size_t n, const char* name) {
    InstantColumn c;
    if (const auto* f = std::get_if<In1<double>>(&v)) {
        c.seconds = column(*f, n, name);
        return c;
    }
    const auto& t = std::get<In1<std::int64_t>>(v);
    static constexpr std::int64_t kUnits[] = {1, 1'000, 1'000'000, 1'000'000'000, 1'000'000'000'000,
                                              1'000'000'000'000'000, 1'000'000'000'000'000'000};
    bool known = false;
    for (std::int64_t u : kUnits) known = known || u == ticks_per_second;
    if (!known || seconds_per_tick < 1 || (seconds_per_tick > 1 && ticks_per_second != 1)) {
        throw nb::value_error("_kernels: unsupported time unit");
    }
    c.ticks = column(t, n, name);
    c.ticks_per_second = ticks_per_second;
    c.seconds_per_tick = seconds_per_tick;
    c.is_ticks = true;
    return c;
}

// Calendars are stateful (lookup caches) and so not shared between threads;
// a calendar taken for a call is given back afterwards, so that a later call
// does not parse the calendar document again. The pool never shrinks below
// the most threads used at once, and is deliberately never destroyed: at
// process exit nothing may depend on the order in which ICU and this module
// are torn down.
class CalendarPool {
public:
    std::unique_ptr<calendar::Calendar> take() {
        {
            std::lock_guard lock(mutex_);
            if (!free_.empty()) {
                auto c = std::move(free_.back());
                free_.pop_back();
                return c;
            }
        }
        auto created = calendar::Calendar::create("BTCUSDT");
        if (!created) throw std::runtime_error(created.error().message);
        return std::make_unique<calendar::Calendar>(std::move(*created));
    }
    void give_back(std::vector<std::unique_ptr<calendar::Calendar>>& cals) {
        std::lock_guard lock(mutex_);
        for (auto& c : cals) {
            if (c) free_.push_back(std::move(c));
        }
    }

    // The position table last made, for a later call whose instants it
    // covers (calls over the same few years are the rule). Tables are
    // immutable: calls running at once share one.
    std::shared_ptr<const calendar::PositionTable> table_covering(std::int64_t lo, std::int64_t hi) {
        std::lock_guard lock(mutex_);
        if (table_ && table_->first_day() <= lo && hi <= table_->last_day()) return table_;
        return nullptr;
    }
    void keep_table(std::shared_ptr<const calendar::PositionTable> table) {
        std::lock_guard lock(mutex_);
        table_ = std::move(table);
    }

private:
    std::mutex mutex_;
    std::vector<std::unique_ptr<calendar::Calendar>> free_;
    std::shared_ptr<const calendar::PositionTable> table_;
};

CalendarPool& calendar_pool() {
    static auto* pool = new CalendarPool();
    return *pool;
}

// Below this many pairs a call uses the calendars alone: making a table
// would cost more than it saves.
constexpr std::size_t kTableMinPairs = 64;
// Tables up to this many days (some 650 kB) are kept for the next call.
constexpr std::int64_t kKeptTableMaxDays = 40 * 366;

// The UTC days a call's position table spans: all the days of its
// instants if the budget allows, else a window of the budget's width
// around the middle of a sample of them (instants beyond it take the
// calendar's own path). The budget is one day per pair (a day of the table
// costs less to make than one position on the calendar's path), up to the
// most a table spans. False: no table.
bool table_days(const InstantColumn& a, const InstantColumn& b, std::size_t n, int threads, std::int64_t& lo,
                std::int64_t& hi) {
    if (n < kTableMinPairs) return false;
    lo = std::numeric_limits<std::int64_t>::max();
    hi = std::numeric_limits<std::int64_t>::min();
    // Each worker scans its share of both columns.
    const int workers = worker_count(n, kCalendarScanBlock, threads);
    std::vector<std::array<std::int64_t, 2>> ranges(static_cast<std::size_t>(workers),
                                                    {std::numeric_limits<std::int64_t>::max(),
                                                     std::numeric_limits<std::int64_t>::min()});
    parallel_blocks(n, kCalendarScanBlock, threads, [&](std::size_t bgn, std::size_t end, int w) {
        auto& r = ranges[static_cast<std::size_t>(w)];
        instant_day_range(a, bgn, end, r[0], r[1]);
        instant_day_range(b, bgn, end, r[0], r[1]);
    });
    for (const auto& r : ranges) {
        lo = std::min(lo, r[0]);
        hi = std::max(hi, r[1]);
    }
    lo = std::max<std::int64_t>(lo, UtcInstant::kMinDay);
    hi = std::min<std::int64_t>(hi, UtcInstant::kMaxDay);
    if (lo > hi) return false;  // no instant in the supported range
    constexpr std::int64_t kMaxDays = calendar::PositionTable::kMaxDays;
    const std::int64_t budget = n < static_cast<std::size_t>(kMaxDays) ? static_cast<std::int64_t>(n) : kMaxDays;
    if (hi - lo < budget) return true;
    // Too far apart: centre the window on the median day of up to 101
    // instants spread evenly over the call.
    std::vector<std::int64_t> days;
    constexpr std::size_t kSample = 101;
    for (std::size_t k = 0; k < kSample; ++k) {
        const std::size_t i = k * (n - 1) / (kSample - 1);
        UtcInstant t;
        if (instant_at(a, i, t)) days.push_back(t.day);
        if (instant_at(b, i, t)) days.push_back(t.day);
    }
    if (days.empty()) return false;
    auto mid = days.begin() + static_cast<std::ptrdiff_t>(days.size() / 2);
    std::nth_element(days.begin(), mid, days.end());
    const std::int64_t first = std::clamp(*mid - budget / 2, lo, hi - budget + 1);
    lo = first;
    hi = first + budget - 1;
    return true;
}

struct Lender {
    std::vector<std::unique_ptr<calendar::Calendar>>& cals;
    int worker;
    static calendar::Calendar& lend(void* self) {
        auto& l = *static_cast<Lender*>(self);
        auto& cal = l.cals[static_cast<std::size_t>(l.worker)];
        if (!cal) cal = calendar_pool().take();
        return *cal;
    }
};

// The two instant columns of a time-between call, checked against the
// output, with the thread count checked too.
struct InstantPairs {
    InstantColumn a, b;
    double* out;
    std::size_t n;
    int threads;
};
InstantPairs instant_pairs(const Instants& from, std::int64_t from_tps, std::int64_t from_spt, const Instants& to,
                           std::int64_t to_tps, std::int64_t to_spt, Out1<double>& out, int threads) {
    const std::size_t n = out.shape(0);
    return {instant_column(from, from_tps, from_spt, n, "start"), instant_column(to, to_tps, to_spt, n, "end"),
            out.data(), n, checked_threads(threads)};
}

void bus_ttx_py(const Instants& from, std::int64_t from_tps, std::int64_t from_spt, const Instants& to,
                std::int64_t to_tps, std::int64_t to_spt, Out1<double> out, int threads_arg) {
    const auto [a, b, o, n, threads] = instant_pairs(from, from_tps, from_spt, to, to_tps, to_spt, out, threads_arg);
    nb::gil_scoped_release release;
    const int workers = worker_count(n, kCalendarBlock, threads);
    std::vector<std::unique_ptr<calendar::Calendar>> cals(static_cast<std::size_t>(workers));
    struct GiveBack {
        std::vector<std::unique_ptr<calendar::Calendar>>& cals;
        ~GiveBack() { calendar_pool().give_back(cals); }
    } give_back{cals};

    // One table for every worker, made by worker 0's calendar (or the last
    // call's, if it covers these instants).
    std::shared_ptr<const calendar::PositionTable> table;
    std::int64_t lo = 0;
    std::int64_t hi = 0;
    if (table_days(a, b, n, threads, lo, hi)) {
        table = calendar_pool().table_covering(lo, hi);
        if (!table) {
            cals[0] = calendar_pool().take();
            auto made = cals[0]->position_table(lo, hi);
            if (made) {
                table = std::make_shared<const calendar::PositionTable>(std::move(*made));
                if (hi - lo < kKeptTableMaxDays) calendar_pool().keep_table(table);
            }
        }
    }
    static const calendar::PositionTable kNoTable;
    const calendar::PositionTable& t = table ? *table : kNoTable;
    parallel_blocks(n, kCalendarBlock, threads, [&](std::size_t bgn, std::size_t end, int w) {
        Lender lender{cals, w};
        bus_ttx(t, &Lender::lend, &lender, a, b, bgn, end, o);
    });
}

void cal_ttx_py(const Instants& from, std::int64_t from_tps, std::int64_t from_spt, const Instants& to,
                std::int64_t to_tps, std::int64_t to_spt, Out1<double> out, int threads_arg) {
    const auto [a, b, o, n, threads] = instant_pairs(from, from_tps, from_spt, to, to_tps, to_spt, out, threads_arg);
    nb::gil_scoped_release release;
    parallel_blocks(n, kBlock, threads, [&](std::size_t bgn, std::size_t end, int) { cal_ttx(a, b, bgn, end, o); });
}

}  // namespace

}  // namespace korvex::chain

NB_MODULE(_kernels, m) {
    using namespace korvex::chain;
    m.doc() = "Array kernels of korvex_chain (private: use the korvex_chain functions).";

    m.def("parse_side", &parse_side, "text"_a,
          "True for a call, False for a put; ValueError for an unknown side.");
    m.def("implied_vols", &implied_vols_py, "ttx"_a, "fwd"_a, "strike"_a, "price"_a, "is_call"_a, "df"_a,
          "out"_a, "status"_a.none(), "threads"_a,
          "Implied Black-76 vols into `out` (and IVStatus codes into `status`).");
    m.def("b76", &b76_py, "fwd"_a, "strike"_a, "ttx"_a, "vol"_a, "is_call"_a, "df"_a, "fairvalue"_a,
          "delta"_a, "gamma"_a, "vega"_a, "threads"_a, "Black-76 fair value and greeks into the outputs.");
    m.def("binary", &binary_py, "fwd"_a, "strike"_a, "ttx"_a, "vol"_a, "is_call"_a, "df"_a,
          "fairvalue"_a, "delta"_a, "gamma"_a, "vega"_a, "theta"_a, "threads"_a,
          "Binary fair value and greeks into the outputs.");
    m.def("model_param_names", &model_param_names, "kind"_a,
          "Parameter names of a model kind in stored order.");
    m.def("model_vols", &model_vols_py, "kind"_a, "params"_a, "ttx"_a, "spot"_a, "strikes"_a, "out"_a,
          "threads"_a, "Vols of each parameter row (m, p) at each strike into `out` (m, n).");
    m.def("model_arb_free", &model_arb_free_py, "kind"_a, "params"_a, "out"_a,
          "Admissibility of each parameter row into `out`.");
    m.def("fit_residuals", &fit_residuals_py, "kind"_a, "params"_a, "ttx"_a, "spot"_a, "strikes"_a, "lo"_a,
          "hi"_a, "mid"_a, "inv_scale"_a, "pull_w"_a, "robust"_a, "fill"_a, "out"_a,
          "Smile-fit residuals (band distance, pull to the mid; soft-L1) of each parameter row into `out` (m, 2n).");
    m.def("smile_density", &smile_density_py, "kind"_a, "params"_a, "ttx"_a, "spot"_a, "k"_a, "out"_a,
          "Risk-neutral density of a smile on a uniform log-moneyness grid `k` into `out`.");
    nb::class_<FitProblemPy>(m, "FitProblem", "One smile fit's quotes and coordinates, for its native solver.")
        .def(nb::init<std::string_view, const In1<double>&, const In1<std::int64_t>&, const In1<bool>&,
                      const In1<double>&, const In1<double>&, double, double, double, const In1<double>&,
                      const In1<double>&, const In1<double>&, const In1<double>&, const In1<double>&,
                      const In1<double>&, double, double>(),
             "kind"_a, "base"_a, "idx"_a, "bounded"_a, "lower"_a, "upper"_a, "wall"_a, "ttx"_a, "spot"_a,
             "strikes"_a, "lo"_a, "hi"_a, "mid"_a, "inv_scale"_a, "pull_w"_a, "robust"_a, "fill"_a)
        .def("set_density", &FitProblemPy::set_density, "kind"_a, "pts"_a, "h"_a, "level_slot"_a, "margin"_a,
             "weight"_a, "Density points: kind 0 none, 1 fixed log-moneyness, 2 in at-the-money deviations.")
        .def("set_regulariser", &FitProblemPy::set_regulariser, "reg"_a, "c"_a,
             "Regulariser rows reg @ theta - c on the fitting parameters.")
        .def("rows", &FitProblemPy::rows, "Rows of the residual.")
        .def("costs", &FitProblemPy::costs, "theta"_a, "out"_a,
             "The cost sum(r^2) at each row of fitting parameters into `out`.")
        .def("residuals_jacobian", &FitProblemPy::residuals_jacobian, "u"_a, "r"_a, "jac"_a, "direct"_a = false,
             "Residual at coordinates u (with direct: at the parameters themselves) and its "
             "forward-difference Jacobian into r and jac.")
        .def("solve", &FitProblemPy::solve, "u"_a, "free"_a, "ftol"_a, "xtol"_a, "max_nfev"_a,
             "Levenberg-Marquardt from u (overwritten); returns (cost, evaluations, status).");
    nb::class_<SurfacePy>(m, "Surface", "Fitted smiles joined into a surface in time (one node per expiry).")
        .def(nb::init<const std::vector<std::string>&, const In2&, const In1<double>&, const In1<double>&,
                      const In1<double>&, const In1<double>&, const In1<double>&, bool>(),
             "kinds"_a, "params"_a, "ttx"_a, "forward"_a, "time"_a, "variance_time"_a, "vol_scale"_a,
             "same_clock"_a)
        .def("evaluate", &SurfacePy::evaluate, "theta"_a, "x"_a, "strikes"_a, "w"_a, "vol"_a, "fwd"_a, "threads"_a,
             "Total variance, vol and forward at times theta and log-moneyness (or strikes) x into the outputs.")
        .def("delta_strikes", &SurfacePy::delta_strikes, "theta"_a, "targets"_a, "premium_adjusted"_a, "k"_a,
             "vol"_a, "Log-moneyness and vol of the strikes of each target delta at each time into k, vol (m, nt).");
    m.def("bus_ttx", &bus_ttx_py, "start"_a, "start_ticks_per_second"_a, "start_seconds_per_tick"_a,
          "end"_a, "end_ticks_per_second"_a, "end_seconds_per_tick"_a, "out"_a, "threads"_a,
          "Business years of the BTCUSDT calendar between instants into `out`.");
    m.def("cal_ttx", &cal_ttx_py, "start"_a, "start_ticks_per_second"_a, "start_seconds_per_tick"_a,
          "end"_a, "end_ticks_per_second"_a, "end_seconds_per_tick"_a, "out"_a, "threads"_a,
          "365-day years between instants into `out`.");
}
