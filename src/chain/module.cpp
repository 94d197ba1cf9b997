// korvex_chain._kernels: the compiled half of korvex_chain, the binding of
// the plain C++ kernels beside it.
//
// The Python layer (korvex_chain/_inputs.py) normalises every input to a
// one-dimensional C-contiguous array of the call's length or of length one,
// and allocates the outputs; the functions here check that contract, take
// the data pointers, release the GIL and call the kernels, which split the
// work over `threads` threads. They never raise for numeric trouble.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/string_view.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/variant.h>
#include <nanobind/stl/vector.h>

#include <cmath>
#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <tuple>
#include <utility>
#include <variant>
#include <vector>

#include "calendar/tz_database.hpp"
#include "chain/density.hpp"
#include "chain/fit_residuals.hpp"
#include "chain/instrument_names.hpp"
#include "chain/json_columns.hpp"
#include "chain/pricing_kernels.hpp"
#include "chain/smile_kernels.hpp"
#include "chain/surface.hpp"
#include "chain/time_kernels.hpp"
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

template <class T>
std::span<const T> span(const In1<T>& a) {
    return {a.data(), a.shape(0)};
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

IVInputs iv_inputs(std::size_t n, const In1<double>& ttx, const In1<double>& fwd, const In1<double>& strike,
                   const In1<double>& price, const In1<bool>& is_call, const In1<double>& df) {
    return {column(ttx, n, "ttx"),     column(fwd, n, "fwd"), column(strike, n, "strike"),
            column(price, n, "price"), column(df, n, "df"),   column(is_call, n, "call_put")};
}

void implied_vols_py(const In1<double>& ttx, const In1<double>& fwd, const In1<double>& strike,
                     const In1<double>& price, const In1<bool>& is_call, const In1<double>& df,
                     Out1<double> out, std::optional<Out1<std::int8_t>> status, int threads) {
    const std::size_t n = out.shape(0);
    const IVInputs in = iv_inputs(n, ttx, fwd, strike, price, is_call, df);
    double* vol = out.data();
    std::int8_t* st = status ? output(*status, n, "status") : nullptr;
    threads = checked_threads(threads);
    nb::gil_scoped_release release;
    implied_vols(in, n, vol, st, threads);
}

// The same implied vols computed behind the caller's back: the call returns
// at once and wait() joins. A chain's reader builds its frames meanwhile,
// so that the threads of the inversion and the reader's own work share the
// cores. The task holds its arrays until it is gone; the kernel's threads
// never outlive it.
class ImpliedVolsTask {
public:
    ImpliedVolsTask(const In1<double>& ttx, const In1<double>& fwd, const In1<double>& strike,
                    const In1<double>& price, const In1<bool>& is_call, const In1<double>& df, Out1<double> out,
                    Out1<std::int8_t> status, int threads)
        : ttx_(ttx), fwd_(fwd), strike_(strike), price_(price), is_call_(is_call), df_(df), out_(out),
          status_(status) {
        n_ = out_.shape(0);
        in_ = iv_inputs(n_, ttx_, fwd_, strike_, price_, is_call_, df_);
        st_ = output(status_, n_, "status");
        threads_ = checked_threads(threads);
        worker_ = std::thread([this] {
            try {
                implied_vols(in_, n_, out_.data(), st_, threads_);
            } catch (...) {
                error_ = std::current_exception();
            }
        });
    }
    ImpliedVolsTask(const ImpliedVolsTask&) = delete;
    ImpliedVolsTask& operator=(const ImpliedVolsTask&) = delete;
    ~ImpliedVolsTask() {
        if (worker_.joinable()) worker_.join();
    }

    void wait() {
        if (worker_.joinable()) {
            nb::gil_scoped_release release;
            worker_.join();
        }
        if (error_) std::rethrow_exception(std::exchange(error_, nullptr));
    }

private:
    In1<double> ttx_, fwd_, strike_, price_;
    In1<bool> is_call_;
    In1<double> df_;
    Out1<double> out_;
    Out1<std::int8_t> status_;
    IVInputs in_{};
    std::size_t n_ = 0;
    std::int8_t* st_ = nullptr;
    int threads_ = 1;
    std::exception_ptr error_;
    std::thread worker_;
};

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
    b76(in, n, out, threads);
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
    binary(in, n, out, threads);
}

// ------------------------------------------------------------------ models

const ModelKind& model_kind(std::string_view name) {
    if (const ModelKind* kind = find_model_kind(name)) return *kind;
    std::string message = "unknown model kind: '" + std::string(name) + "'; expected ";
    const auto kinds = model_kinds();
    for (std::size_t i = 0; i < kinds.size(); ++i) {
        message += (i == 0 ? "'" : i + 1 < kinds.size() ? ", '" : " or '") + std::string(kinds[i].name) + "'";
    }
    throw nb::value_error(message.c_str());
}

void check_param_count(const ModelKind& kind, std::size_t count) {
    if (count != kind.param_count()) {
        throw nb::value_error(("a " + std::string(kind.name) + " parameter vector has " +
                               std::to_string(kind.param_count()) + " values, got " + std::to_string(count))
                                  .c_str());
    }
}

// The facts each model owns, for the Python layer to read rather than repeat.

std::vector<std::string> model_kind_names() {
    std::vector<std::string> out;
    for (const ModelKind& k : model_kinds()) out.emplace_back(k.name);
    return out;
}

nb::tuple model_param_names(std::string_view name) {
    nb::list names;
    for (const auto& p : model_kind(name).params) names.append(nb::str(p.name.data(), p.name.size()));
    return nb::tuple(names);
}

std::vector<double> model_param_defaults(std::string_view name) {
    std::vector<double> out;
    for (const auto& p : model_kind(name).params) out.push_back(p.default_value);
    return out;
}

std::vector<std::string> model_fitting_names(std::string_view name) {
    const ModelKind& kind = model_kind(name);
    return {kind.fitting.begin(), kind.fitting.end()};
}

std::vector<std::tuple<std::string, double, bool>> model_bounds(std::string_view name) {
    std::vector<std::tuple<std::string, double, bool>> out;
    for (const auto& b : model_kind(name).bounds) out.emplace_back(std::string(b.name), b.lower, b.strict);
    return out;
}

std::vector<double> spline_knots() {
    const auto& x = volmodel::CubicSmile::kX;
    return {x.begin(), x.end()};
}

// Vols of every parameter row at every strike: out[r, j].
void model_vols_py(std::string_view name, const In2& params, double ttx, double spot,
                   const In1<double>& strikes, Out2 out, int threads) {
    const std::size_t m = params.shape(0);
    const std::size_t n = strikes.shape(0);
    if (out.shape(0) != m || out.shape(1) != n) throw nb::value_error("_kernels: output shape mismatch");
    threads = checked_threads(threads);
    const ModelKind& kind = model_kind(name);
    check_param_count(kind, params.shape(1));
    nb::gil_scoped_release release;
    model_vols(kind, params.data(), m, ttx, spot, strikes.data(), n, out.data(), threads);
}

void model_arb_free_py(std::string_view name, const In2& params, Out1<bool> out) {
    const ModelKind& kind = model_kind(name);
    check_param_count(kind, params.shape(1));
    model_arb_free(kind, params.data(), params.shape(0), output(out, params.shape(0), "arb_free"));
}

// ------------------------------------------------------------------ fit

void check_quote_arrays(std::size_t n, const In1<double>& lo, const In1<double>& hi, const In1<double>& mid,
                        const In1<double>& inv_scale, const In1<double>& pull_w) {
    if (lo.shape(0) != n || hi.shape(0) != n || mid.shape(0) != n || inv_scale.shape(0) != n ||
        pull_w.shape(0) != n) {
        throw nb::value_error("_kernels: every quote array needs one value per strike");
    }
}

// One fit's problem for the Python layer: StoredFitProblem with the
// contract of its arrays checked.
class FitProblemPy {
public:
    FitProblemPy(std::string_view name, const In1<double>& base, const In1<std::int64_t>& idx,
                 const In1<bool>& bounded, const In1<double>& lower, const In1<double>& upper, double wall,
                 double ttx, double spot, const In1<double>& strikes, const In1<double>& lo, const In1<double>& hi,
                 const In1<double>& mid, const In1<double>& inv_scale, const In1<double>& pull_w, double robust,
                 double fill)
        : problem_(checked_kind(name, base, idx, bounded, lower, upper, strikes, lo, hi, mid, inv_scale, pull_w),
                   {span(base), span(idx), span(bounded), span(lower), span(upper), span(strikes), span(lo),
                    span(hi), span(mid), span(inv_scale), span(pull_w)},
                   wall, ttx, spot, robust, fill),
          spline_(name == volmodel::CubicSmile::kName) {}

    void set_density(int kind, const In1<double>& pts, double h, const In1<double>& inside, double margin,
                     double weight) {
        if (kind < 0 || kind > 2) throw nb::value_error("_kernels: unknown density kind");
        if (kind == 2 && !spline_) throw nb::value_error("_kernels: density kind 2 is CubicSpline's");
        if (kind == 2 && inside.shape(0) != pts.shape(0)) {
            throw nb::value_error("_kernels: density kind 2 needs one 'inside' value per point");
        }
        problem_.set_density(kind, span(pts), h, span(inside), margin, weight);
    }

    void set_regulariser(const In2& reg, const In1<double>& c) {
        const std::size_t p = problem_.params();
        if (reg.shape(0) != 0 && reg.shape(1) != p) {
            throw nb::value_error("_kernels: the regulariser needs one column per fitting parameter");
        }
        if (c.shape(0) != reg.shape(0)) throw nb::value_error("_kernels: one offset per regulariser row");
        problem_.set_regulariser({reg.data(), reg.shape(0) * p}, span(c));
    }

    std::size_t rows() const { return problem_.rows(); }

    void costs(const In2& theta, Out1<double> out) const {
        const std::size_t m = theta_rows(theta);
        if (out.shape(0) != m) throw nb::value_error("_kernels: output shape mismatch");
        nb::gil_scoped_release release;
        problem_.residuals_at(theta.data(), m, nullptr, out.data());
    }

    void residuals(const In2& theta, Out2 out) const {
        const std::size_t m = theta_rows(theta);
        if (out.shape(0) != m || out.shape(1) != problem_.rows()) {
            throw nb::value_error("_kernels: output shape mismatch");
        }
        nb::gil_scoped_release release;
        problem_.residuals_at(theta.data(), m, out.data(), nullptr);
    }

    void residuals_jacobian(const In1<double>& u, Out1<double> r, Out2 jac, bool direct) const {
        const std::size_t rows = problem_.rows();
        if (u.shape(0) != problem_.params()) {
            throw nb::value_error("_kernels: u needs one value per fitting parameter");
        }
        if (r.shape(0) != rows || jac.shape(0) != rows || jac.shape(1) != problem_.params()) {
            throw nb::value_error("_kernels: output shape mismatch");
        }
        nb::gil_scoped_release release;
        problem_.residuals_jacobian(u.data(), direct, r.data(), jac.data());
    }

    nb::tuple solve(Out1<double> u, const In1<bool>& free, double ftol, double xtol, std::int64_t max_nfev) const {
        if (u.shape(0) != problem_.params() || free.shape(0) != problem_.params()) {
            throw nb::value_error("_kernels: u and free need one value per fitting parameter");
        }
        if (max_nfev < 1) throw nb::value_error("_kernels: max_nfev must be at least 1");
        SolveResult res;
        {
            nb::gil_scoped_release release;
            res = problem_.solve(u.data(), free.data(), {ftol, xtol, static_cast<std::size_t>(max_nfev)});
        }
        return nb::make_tuple(res.cost, res.nfev, res.status);
    }

private:
    // Rows of fitting parameters: one column per fitting parameter.
    std::size_t theta_rows(const In2& theta) const {
        if (theta.shape(1) != problem_.params()) {
            throw nb::value_error("_kernels: one column per fitting parameter");
        }
        return theta.shape(0);
    }

    static const ModelKind& checked_kind(std::string_view name, const In1<double>& base,
                                         const In1<std::int64_t>& idx, const In1<bool>& bounded,
                                         const In1<double>& lower, const In1<double>& upper,
                                         const In1<double>& strikes, const In1<double>& lo, const In1<double>& hi,
                                         const In1<double>& mid, const In1<double>& inv_scale,
                                         const In1<double>& pull_w) {
        const std::size_t p = idx.shape(0);
        if (bounded.shape(0) != p || lower.shape(0) != p || upper.shape(0) != p) {
            throw nb::value_error("_kernels: every coordinate array needs one value per fitting parameter");
        }
        check_quote_arrays(strikes.shape(0), lo, hi, mid, inv_scale, pull_w);
        const ModelKind& kind = model_kind(name);
        if (base.shape(0) != kind.param_count()) throw nb::value_error("_kernels: base has the wrong length");
        for (std::size_t i = 0; i < p; ++i) {
            const std::int64_t k = idx.data()[i];
            if (k < 0 || static_cast<std::size_t>(k) >= kind.param_count()) {
                throw nb::value_error("_kernels: parameter index out of range");
            }
        }
        return kind;
    }

    StoredFitProblem problem_;
    bool spline_;
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
            const ModelKind& kind = model_kind(kinds[i]);
            if (params.shape(1) < kind.param_count()) {
                throw nb::value_error("_kernels: a parameter row is shorter than its model's vector");
            }
            node.smile = kind.evaluate;
            const double* row = params.data() + i * params.shape(1);
            node.params.assign(row, row + kind.param_count());
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
        surface_->evaluate(th, xs, strikes, n, o, v, f, threads);
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
void smile_density_py(std::string_view name, const In1<double>& params, double ttx, double spot,
                      const In1<double>& k, Out1<double> out) {
    const std::size_t n = k.shape(0);
    if (out.shape(0) != n) throw nb::value_error("_kernels: output shape mismatch");
    const ModelKind& kind = model_kind(name);
    check_param_count(kind, params.shape(0));
    nb::gil_scoped_release release;
    density_on_grid(kind.evaluate, params.data(), ttx, spot, k.data(), n, out.data());
}

// Where one smile's density is lowest and negative over a log-moneyness range.
nb::tuple density_scan_py(std::string_view name, const In1<double>& params, double ttx, double spot, double k_lo,
                          double k_hi) {
    const ModelKind& kind = model_kind(name);
    check_param_count(kind, params.shape(0));
    DensityScan s;
    {
        nb::gil_scoped_release release;
        s = scan_density(kind, params.data(), ttx, spot, k_lo, k_hi);
    }
    return nb::make_tuple(s.lowest, s.lowest_k, s.peak, s.peak_k, s.finite, s.regions, s.negative_k,
                          s.evaluations);
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
    if (!supported_time_unit(ticks_per_second, seconds_per_tick)) {
        throw nb::value_error("_kernels: unsupported time unit");
    }
    c.ticks = column(std::get<In1<std::int64_t>>(v), n, name);
    c.ticks_per_second = ticks_per_second;
    c.seconds_per_tick = seconds_per_tick;
    c.is_ticks = true;
    return c;
}

// Years between the instants of two columns into `out`, by `kernel`.
template <auto Kernel>
void time_between_py(const Instants& from, std::int64_t from_tps, std::int64_t from_spt, const Instants& to,
                     std::int64_t to_tps, std::int64_t to_spt, Out1<double> out, int threads) {
    const std::size_t n = out.shape(0);
    const InstantColumn a = instant_column(from, from_tps, from_spt, n, "start");
    const InstantColumn b = instant_column(to, to_tps, to_spt, n, "end");
    threads = checked_threads(threads);
    nb::gil_scoped_release release;
    Kernel(a, b, n, out.data(), threads);
}

// ValueError with the whole message (nb::value_error would stop at a NUL,
// which a document's key may hold).
[[noreturn]] void raise_value_error(const std::string& message) {
    const nb::str text(message.data(), message.size());
    PyErr_SetObject(PyExc_ValueError, text.ptr());
    throw nb::python_error();
}

// Business years on `calendar` (an embedded calendar's name, or the UTF-8
// text of a calendar document when `is_document`) between the instants of
// two columns into `out`. ValueError with the calendar's own message when it
// does not build.
void bus_ttx_py(const nb::bytes& calendar, bool is_document, const Instants& from, std::int64_t from_tps,
                std::int64_t from_spt, const Instants& to, std::int64_t to_tps, std::int64_t to_spt,
                Out1<double> out, int threads) {
    const std::size_t n = out.shape(0);
    const InstantColumn a = instant_column(from, from_tps, from_spt, n, "start");
    const InstantColumn b = instant_column(to, to_tps, to_spt, n, "end");
    threads = checked_threads(threads);
    // The bytes object is immutable and the caller holds it for the call.
    const CalendarSource source{std::string_view(calendar.c_str(), calendar.size()), is_document};
    Result<void> done;
    {
        nb::gil_scoped_release release;
        done = bus_ttx(source, a, b, n, out.data(), threads);
    }
    if (!done) raise_value_error(done.error().message);
}

// ------------------------------------------------------------------ JSON

nb::object json_scalar(const JsonScalar& value) {
    if (const auto* b = std::get_if<bool>(&value)) return nb::bool_(*b);
    if (const auto* i = std::get_if<std::int64_t>(&value)) return nb::int_(*i);
    if (const auto* d = std::get_if<double>(&value)) return nb::float_(*d);
    if (const auto* s = std::get_if<std::string>(&value)) return nb::str(s->data(), s->size());
    return nb::none();
}

template <class T>
nb::bytes as_bytes(const std::vector<T>& v) {
    return nb::bytes(reinterpret_cast<const char*>(v.data()), v.size() * sizeof(T));
}

// (responses, rows, columns, parts) of JSON text whose entries are plain
// (see json_columns.hpp), else None. A column is (name, kind, nulls,
// validity, values, offsets, chars) with Arrow's buffers as bytes; a part
// is (entries, {member: value}).
nb::object json_columns_py(nb::bytes text) {
    std::optional<JsonColumns> got;
    {
        const std::string_view view(text.c_str(), text.size());
        nb::gil_scoped_release release;
        got = json_columns(view);
    }
    if (!got) return nb::none();
    nb::list columns;
    for (const JsonColumn& c : got->columns) {
        columns.append(nb::make_tuple(nb::str(c.name.data(), c.name.size()), static_cast<int>(c.kind), c.nulls,
                                      as_bytes(c.validity), as_bytes(c.values), as_bytes(c.offsets),
                                      nb::bytes(c.chars.data(), c.chars.size())));
    }
    nb::list parts;
    for (const JsonPart& p : got->parts) {
        nb::dict members;
        for (const auto& [name, value] : p.members) members[nb::str(name.data(), name.size())] = json_scalar(value);
        parts.append(nb::make_tuple(p.entries, members));
    }
    return nb::make_tuple(got->responses, got->rows, columns, parts);
}

// ------------------------------------------------------------------ instrument names

template <class T>
nb::ndarray<nb::numpy, T, nb::ndim<1>> numpy_of(std::vector<T>&& v) {
    auto* owned = new std::vector<T>(std::move(v));
    nb::capsule owner(owned, [](void* p) noexcept { delete static_cast<std::vector<T>*>(p); });
    return nb::ndarray<nb::numpy, T, nb::ndim<1>>(owned->data(), {owned->size()}, owner);
}

// (underlying codes, underlyings, currency codes, currencies, expiry ns,
// strike, side, status) of distinct names given as Arrow string buffers,
// else None (see instrument_names.hpp).
nb::object instrument_names_py(const In1<std::int32_t>& offsets, nb::bytes chars, int expiry_hour) {
    if (offsets.shape(0) == 0) throw nb::value_error("_kernels: offsets must hold n + 1 values");
    const std::size_t n = offsets.shape(0) - 1;
    const std::string_view text(chars.c_str(), chars.size());
    for (std::size_t i = 0; i <= n; ++i) {
        const std::int32_t o = offsets.data()[i];
        if (o < 0 || static_cast<std::size_t>(o) > text.size() || (i > 0 && o < offsets.data()[i - 1])) {
            throw nb::value_error("_kernels: offsets out of order or beyond the text");
        }
    }
    std::optional<InstrumentNames> got;
    {
        nb::gil_scoped_release release;
        got = parse_instrument_names(offsets.data(), n, text, expiry_hour);
    }
    if (!got) return nb::none();
    return nb::make_tuple(numpy_of(std::move(got->underlying)), got->underlyings, numpy_of(std::move(got->currency)),
                          got->currencies, numpy_of(std::move(got->expiry_ns)), numpy_of(std::move(got->strike)),
                          numpy_of(std::move(got->side)), numpy_of(std::move(got->status)));
}

}  // namespace

}  // namespace korvex::chain

NB_MODULE(_kernels, m) {
    using namespace korvex::chain;
    m.doc() = "Array kernels of korvex_chain (private: use the korvex_chain functions).";

    // The kernels' outcome codes as Python enums (korvex_chain.IVStatus and
    // korvex_chain.fit's SolveStatus are these).
    nb::enum_<IVStatus>(m, "IVStatus", nb::is_arithmetic(),
                        "Why an implied vol is NaN (the ``status`` array of implied_vols).")
        .value("OK", IVStatus::Ok, "a vol was found")
        .value("BELOW_MIN", IVStatus::BelowMin, "the price is below what vol 0.01 gives")
        .value("ABOVE_MAX", IVStatus::AboveMax, "the price is above what vol 10 gives")
        .value("NO_TIME_VALUE", IVStatus::NoTimeValue,
               "ttx <= 0 and the price is not exactly the discounted intrinsic value")
        .value("NAN_INPUT", IVStatus::NanInput,
               "an input is NaN, or the inputs leave the price itself undefined (for example a negative "
               "forward or strike)");
    nb::enum_<SolveStatus>(m, "SolveStatus", nb::is_arithmetic(), "Why a Levenberg-Marquardt solve stopped.")
        .value("COST_TOLERANCE", SolveStatus::CostTolerance,
               "the relative reduction of the cost, actual and predicted, fell below ftol")
        .value("STEP_TOLERANCE", SolveStatus::StepTolerance,
               "the scaled step fell below xtol times the scaled parameters, or none can move")
        .value("ZERO_COST", SolveStatus::ZeroCost, "the cost is zero, or no parameter is free")
        .value("EVALUATION_LIMIT", SolveStatus::EvaluationLimit, "max_nfev residual evaluations were spent");

    m.def("parse_side", &parse_side, "text"_a,
          "True for a call, False for a put; ValueError for an unknown side.");
    m.def("implied_vols", &implied_vols_py, "ttx"_a, "fwd"_a, "strike"_a, "price"_a, "is_call"_a, "df"_a,
          "out"_a, "status"_a.none(), "threads"_a,
          "Implied Black-76 vols into `out` (and IVStatus codes into `status`).");
    nb::class_<ImpliedVolsTask>(m, "ImpliedVolsTask",
                                "implied_vols computed on threads of their own: the call returns at once, wait() "
                                "joins (and raises what the kernel raised).")
        .def(nb::init<const In1<double>&, const In1<double>&, const In1<double>&, const In1<double>&,
                      const In1<bool>&, const In1<double>&, Out1<double>, Out1<std::int8_t>, int>(),
             "ttx"_a, "fwd"_a, "strike"_a, "price"_a, "is_call"_a, "df"_a, "out"_a, "status"_a, "threads"_a)
        .def("wait", &ImpliedVolsTask::wait, "Waits for the vols and their statuses.");
    m.def("b76", &b76_py, "fwd"_a, "strike"_a, "ttx"_a, "vol"_a, "is_call"_a, "df"_a, "fairvalue"_a,
          "delta"_a, "gamma"_a, "vega"_a, "threads"_a, "Black-76 fair value and greeks into the outputs.");
    m.def("binary", &binary_py, "fwd"_a, "strike"_a, "ttx"_a, "vol"_a, "is_call"_a, "df"_a,
          "fairvalue"_a, "delta"_a, "gamma"_a, "vega"_a, "theta"_a, "threads"_a,
          "Binary fair value and greeks into the outputs.");
    m.def("model_kinds", &model_kind_names, "The model kinds, in a fixed order.");
    m.def("model_param_names", &model_param_names, "kind"_a,
          "Parameter names of a model kind in stored order.");
    m.def("model_param_defaults", &model_param_defaults, "kind"_a,
          "Default parameter values of a model kind in stored order.");
    m.def("model_fitting_names", &model_fitting_names, "kind"_a,
          "The parameters a fit of a model kind moves, in the model's fitting order.");
    m.def("model_bounds", &model_bounds, "kind"_a,
          "Admissibility of a model kind as (name, lower, strict): the parameter is at least lower, "
          "above it when strict.");
    m.def("spline_knots", &spline_knots,
          "CubicSpline's knots, in at-the-money standard deviations of log-moneyness.");
    m.def("model_vols", &model_vols_py, "kind"_a, "params"_a, "ttx"_a, "spot"_a, "strikes"_a, "out"_a,
          "threads"_a, "Vols of each parameter row (m, p) at each strike into `out` (m, n).");
    m.def("model_arb_free", &model_arb_free_py, "kind"_a, "params"_a, "out"_a,
          "Admissibility of each parameter row into `out`.");
    m.def("smile_density", &smile_density_py, "kind"_a, "params"_a, "ttx"_a, "spot"_a, "k"_a, "out"_a,
          "Risk-neutral density of a smile on a uniform log-moneyness grid `k` into `out`.");
    m.def("density_scan", &density_scan_py, "kind"_a, "params"_a, "ttx"_a, "spot"_a, "k_lo"_a, "k_hi"_a,
          "Where a smile's risk-neutral density is lowest and negative over [k_lo, k_hi]: (lowest, its k, "
          "peak, its k, finite, negative regions flattened, log-moneyness points to penalise, evaluations).");
    nb::class_<FitProblemPy>(m, "FitProblem", "One smile fit's quotes and coordinates, for its native solver.")
        .def(nb::init<std::string_view, const In1<double>&, const In1<std::int64_t>&, const In1<bool>&,
                      const In1<double>&, const In1<double>&, double, double, double, const In1<double>&,
                      const In1<double>&, const In1<double>&, const In1<double>&, const In1<double>&,
                      const In1<double>&, double, double>(),
             "kind"_a, "base"_a, "idx"_a, "bounded"_a, "lower"_a, "upper"_a, "wall"_a, "ttx"_a, "spot"_a,
             "strikes"_a, "lo"_a, "hi"_a, "mid"_a, "inv_scale"_a, "pull_w"_a, "robust"_a, "fill"_a)
        .def("set_density", &FitProblemPy::set_density, "kind"_a, "pts"_a, "h"_a, "inside"_a, "margin"_a,
             "weight"_a,
             "Density points: kind 0 none, 1 fixed log-moneyness (stencil half-width h), 2 CubicSpline's in "
             "closed form, in its knots' units, each on the piece whose interior holds its `inside`.")
        .def("set_regulariser", &FitProblemPy::set_regulariser, "reg"_a, "c"_a,
             "Regulariser rows reg @ theta - c on the fitting parameters.")
        .def("rows", &FitProblemPy::rows, "Rows of the residual.")
        .def("costs", &FitProblemPy::costs, "theta"_a, "out"_a,
             "The cost sum(r^2) at each row of fitting parameters into `out`.")
        .def("residuals", &FitProblemPy::residuals, "theta"_a, "out"_a,
             "The residual at each row of fitting parameters into the rows of `out`.")
        .def("residuals_jacobian", &FitProblemPy::residuals_jacobian, "u"_a, "r"_a, "jac"_a, "direct"_a = false,
             "Residual at coordinates u (with direct: at the parameters themselves) and its "
             "forward-difference Jacobian into r and jac.")
        .def("solve", &FitProblemPy::solve, "u"_a, "free"_a, "ftol"_a, "xtol"_a, "max_nfev"_a,
             "Levenberg-Marquardt from u (overwritten); returns (cost, evaluations, SolveStatus).");
    nb::class_<SurfacePy>(m, "Surface", "Fitted smiles joined into a surface in time (one node per expiry).")
        .def(nb::init<const std::vector<std::string>&, const In2&, const In1<double>&, const In1<double>&,
                      const In1<double>&, const In1<double>&, const In1<double>&, bool>(),
             "kinds"_a, "params"_a, "ttx"_a, "forward"_a, "time"_a, "variance_time"_a, "vol_scale"_a,
             "same_clock"_a)
        .def("evaluate", &SurfacePy::evaluate, "theta"_a, "x"_a, "strikes"_a, "w"_a, "vol"_a, "fwd"_a, "threads"_a,
             "Total variance, vol and forward at times theta and log-moneyness (or strikes) x into the outputs.")
        .def("delta_strikes", &SurfacePy::delta_strikes, "theta"_a, "targets"_a, "premium_adjusted"_a, "k"_a,
             "vol"_a, "Log-moneyness and vol of the strikes of each target delta at each time into k, vol (m, nt).");
    m.def("bus_ttx", &bus_ttx_py, "calendar"_a, "is_document"_a, "start"_a, "start_ticks_per_second"_a,
          "start_seconds_per_tick"_a, "end"_a, "end_ticks_per_second"_a, "end_seconds_per_tick"_a, "out"_a,
          "threads"_a,
          "Business years between instants into `out`, on an embedded calendar (its name) or a calendar "
          "document (its UTF-8 text, is_document).");
    m.def("instrument_names", &instrument_names_py, "offsets"_a, "chars"_a, "expiry_hour"_a,
          "(underlying codes, underlyings, currency codes, currencies, expiry ns, strike, side, status) of "
          "instrument names given as Arrow string buffers, or None for names outside printable ASCII.");
    m.def("json_columns", &json_columns_py, "text"_a,
          "(responses, rows, columns, parts) of JSON responses or entries whose members are plain scalars, "
          "else None: columns (name, kind, nulls, validity, values, offsets, chars) in Arrow's layout, "
          "parts (entries, members) per response.");
    m.def("tz_version", &korvex::calendar::tz_release,
          "The IANA release of the embedded time zone rules, such as '2026f'.");
    m.def("cal_ttx", &time_between_py<&cal_ttx>, "start"_a, "start_ticks_per_second"_a,
          "start_seconds_per_tick"_a, "end"_a, "end_ticks_per_second"_a, "end_seconds_per_tick"_a, "out"_a,
          "threads"_a, "365-day years between instants into `out`.");
}
