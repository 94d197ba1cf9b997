#include "chain/surface.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>

#include "chain/parallel.hpp"
#include "pricing/black76.hpp"

namespace korvex::chain {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

enum class Rule : std::uint8_t { None, Node, Before, Inner, After };

// Where a time sits among the nodes.
struct Place {
    Rule rule = Rule::None;
    std::size_t j = 0;  // the node at or before the time (0 before the first)
    double a = 0.0;     // Inner: weight of node j + 1
    double fwd = kNaN;
};

constexpr std::size_t kNoNode = static_cast<std::size_t>(-1);

// Elements evaluated together: their node vols are gathered per node, so
// that each smile is evaluated once per chunk over all strikes it is asked for.
constexpr std::size_t kChunk = 512;

// The delta search: a grid of standardised log-moneyness k / sqrt(w_atm)
// brackets each root (wide enough for deltas far below one percent), Newton
// steps with a finite-difference slope polish it, bisection whenever a step
// leaves the bracket.
constexpr int kGrid = 57;
constexpr double kGridReach = 7.0;
constexpr double kSlopeStep = 1e-7;   // finite-difference step, in at-the-money deviations
constexpr double kKTol = 1e-12;       // relative step at which a root counts as found
constexpr int kMaxSteps = 80;         // bisection alone reaches kKTol well within this

// Delta minus target (a call above 0, a put below, the straddle's d at 0).
double delta_gap(double k, double w, double target, bool premium_adjusted) {
    const double u = std::sqrt(w);
    const double d1 = -k / u + 0.5 * u;
    if (premium_adjusted) {
        const double d2 = d1 - u;
        if (target > 0.0) return std::exp(k) * pricing::norm_cdf(d2) - target;
        if (target < 0.0) return -std::exp(k) * pricing::norm_cdf(-d2) - target;
        return d2;
    }
    if (target > 0.0) return pricing::norm_cdf(d1) - target;
    if (target < 0.0) return pricing::norm_cdf(d1) - 1.0 - target;
    return d1;
}

}  // namespace

VolSurface::VolSurface(std::vector<SurfaceNode> nodes, bool same_clock)
    : nodes_(std::move(nodes)), same_clock_(same_clock) {
    for (const SurfaceNode& n : nodes_) {
        times_.push_back(n.time);
        ln_forward_.push_back(std::log(n.forward));
    }
    for (std::size_t i = 0; i + 1 < nodes_.size(); ++i) {
        slope_.push_back((ln_forward_[i + 1] - ln_forward_[i]) / (times_[i + 1] - times_[i]));
    }
}

void VolSurface::evaluate(Column<double> theta, Column<double> x, bool strikes, std::size_t n, double* w,
                          double* vol, double* fwd, int threads) const {
    parallel_blocks(n, kBlock, threads, [&](std::size_t b, std::size_t e, int) {
        evaluate_range(theta, x, strikes, b, e, w, vol, fwd);
    });
}

void VolSurface::evaluate_range(Column<double> theta, Column<double> x, bool strikes, std::size_t begin,
                                std::size_t end, double* w, double* vol, double* fwd) const {
    const std::size_t n_nodes = nodes_.size();
    if (n_nodes == 0 || begin >= end) return;
    const double* t = times_.data();
    Place place[kChunk];
    std::size_t left[kChunk], right[kChunk];
    double strike_l[kChunk], strike_r[kChunk], sig_l[kChunk], sig_r[kChunk];
    std::vector<std::size_t> first(n_nodes + 1), fill(n_nodes);
    std::vector<std::size_t> slot(2 * kChunk);
    std::vector<double> buf_k(2 * kChunk), buf_v(2 * kChunk);

    for (std::size_t base = begin; base < end; base += kChunk) {
        const std::size_t m = std::min(kChunk, end - base);
        std::fill(first.begin(), first.end(), 0);
        for (std::size_t c = 0; c < m; ++c) {
            const std::size_t i = base + c;
            const double th = theta[i];
            const double xv = x[i];
            Place& p = place[c];
            p = Place{};
            left[c] = right[c] = kNoNode;
            if (th >= 0.0) {  // false for NaN
                const std::size_t after = static_cast<std::size_t>(std::upper_bound(t, t + n_nodes, th) - t);
                if (after == 0) {
                    p.rule = Rule::Before;
                } else if (th == t[after - 1]) {
                    p.rule = Rule::Node;
                    p.j = after - 1;
                } else if (after == n_nodes) {
                    p.rule = Rule::After;
                    p.j = n_nodes - 1;
                } else {
                    p.rule = Rule::Inner;
                    p.j = after - 1;
                    p.a = (th - t[p.j]) / (t[p.j + 1] - t[p.j]);
                }
                if (p.rule == Rule::Node) {
                    p.fwd = nodes_[p.j].forward;
                } else if (n_nodes > 1) {
                    const std::size_t js = std::min(p.j, n_nodes - 2);
                    p.fwd = std::exp(ln_forward_[js] + (th - t[js]) * slope_[js]);
                } else {
                    p.fwd = nodes_[0].forward;
                }
            }
            if (fwd) fwd[i] = p.fwd;
            if (p.rule == Rule::None) continue;
            double k = xv;
            if (strikes) k = xv > 0.0 && std::isfinite(xv) ? std::log(xv / p.fwd) : kNaN;
            const double ek = std::exp(k);
            switch (p.rule) {
                case Rule::Node:
                    left[c] = p.j;
                    // At the fitted expiry itself the smile sees the very strike given.
                    strike_l[c] = strikes ? (std::isnan(k) ? kNaN : xv) : nodes_[p.j].forward * ek;
                    break;
                case Rule::Before:
                    left[c] = 0;
                    strike_l[c] = nodes_[0].forward * ek;
                    break;
                case Rule::Inner:
                    left[c] = p.j;
                    right[c] = p.j + 1;
                    strike_l[c] = nodes_[p.j].forward * ek;
                    strike_r[c] = nodes_[p.j + 1].forward * ek;
                    break;
                case Rule::After:
                    left[c] = n_nodes - 1;
                    strike_l[c] = nodes_[n_nodes - 1].forward * ek;
                    if (n_nodes > 1) {
                        right[c] = n_nodes - 2;
                        strike_r[c] = nodes_[n_nodes - 2].forward * ek;
                    }
                    break;
                case Rule::None:
                    break;
            }
            ++first[left[c] + 1];
            if (right[c] != kNoNode) ++first[right[c] + 1];
        }
        // Strikes grouped by node (a counting sort), one smile call per node.
        for (std::size_t i = 0; i < n_nodes; ++i) first[i + 1] += first[i];
        std::copy(first.begin(), first.end() - 1, fill.begin());
        for (std::size_t c = 0; c < m; ++c) {
            if (left[c] != kNoNode) {
                const std::size_t s = fill[left[c]]++;
                slot[s] = 2 * c;
                buf_k[s] = strike_l[c];
            }
            if (right[c] != kNoNode) {
                const std::size_t s = fill[right[c]]++;
                slot[s] = 2 * c + 1;
                buf_k[s] = strike_r[c];
            }
        }
        for (std::size_t i = 0; i < n_nodes; ++i) {
            const std::size_t n = first[i + 1] - first[i];
            if (n == 0) continue;
            const SurfaceNode& node = nodes_[i];
            node.smile(node.params.data(), node.ttx, node.forward, buf_k.data() + first[i], n,
                       buf_v.data() + first[i]);
        }
        for (std::size_t s = 0; s < first[n_nodes]; ++s) {
            const std::size_t c = slot[s] / 2;
            (slot[s] % 2 ? sig_r : sig_l)[c] = buf_v[s];
        }
        for (std::size_t c = 0; c < m; ++c) {
            const std::size_t i = base + c;
            const Place& p = place[c];
            const double th = theta[i];
            double wv = kNaN;
            double v = kNaN;
            const double sl = sig_l[c];
            switch (p.rule) {
                case Rule::None:
                    break;
                case Rule::Node:
                    v = same_clock_ ? sl : sl * nodes_[p.j].vol_scale;
                    wv = sl * sl * nodes_[p.j].variance_time;
                    break;
                case Rule::Before:
                    v = same_clock_ ? sl : sl * nodes_[0].vol_scale;
                    wv = v * v * th;
                    break;
                case Rule::Inner: {
                    const double sr = sig_r[c];
                    const double wl = sl * sl * nodes_[p.j].variance_time;
                    const double wr = sr * sr * nodes_[p.j + 1].variance_time;
                    wv = (1.0 - p.a) * wl + p.a * wr;
                    v = std::sqrt(wv / th);
                    break;
                }
                case Rule::After:
                    if (n_nodes > 1) {
                        const std::size_t last = n_nodes - 1;
                        const double sr = sig_r[c];
                        const double wl = sl * sl * nodes_[last].variance_time;
                        const double wr = sr * sr * nodes_[last - 1].variance_time;
                        double fv = (wl - wr) / (t[last] - t[last - 1]);
                        if (!(fv >= 0.0) && !std::isnan(fv)) fv = 0.0;
                        wv = wl + (th - t[last]) * fv;
                        v = std::sqrt(wv / th);
                    } else {
                        v = same_clock_ ? sl : sl * nodes_[0].vol_scale;
                        wv = v * v * th;
                    }
                    break;
            }
            if (w) w[i] = wv;
            if (vol) vol[i] = v;
        }
    }
}

void VolSurface::delta_strikes(const double* theta, std::size_t m, const double* targets, std::size_t nt,
                               bool premium_adjusted, double* k_out, double* vol_out) const {
    const std::size_t units = m * nt;
    std::fill(k_out, k_out + units, kNaN);
    std::fill(vol_out, vol_out + units, kNaN);
    if (units == 0) return;
    const double zero = 0.0;
    std::vector<double> w_atm(m);
    evaluate_range({theta, 1}, {&zero, 0}, false, 0, m, w_atm.data(), nullptr, nullptr);
    std::vector<double> sd(m);
    for (std::size_t r = 0; r < m; ++r) sd[r] = std::sqrt(w_atm[r]);

    // Every delta falls with the strike (a premium-adjusted call's only right
    // of its peak): a root sits where delta - target goes from >= 0 to < 0.
    // Calls take the last such crossing (the out-of-the-money branch), puts
    // and the straddle the first.
    const std::size_t g_n = static_cast<std::size_t>(kGrid);
    std::vector<double> th_g(m * g_n), k_g(m * g_n), w_g(m * g_n);
    for (std::size_t r = 0; r < m; ++r) {
        for (std::size_t g = 0; g < g_n; ++g) {
            const double z = -kGridReach + 2.0 * kGridReach * static_cast<double>(g) / static_cast<double>(g_n - 1);
            th_g[r * g_n + g] = theta[r];
            k_g[r * g_n + g] = sd[r] * z;
        }
    }
    evaluate_range({th_g.data(), 1}, {k_g.data(), 1}, false, 0, m * g_n, w_g.data(), nullptr, nullptr);

    std::vector<double> lo(units), hi(units), k(units), h(units);
    std::vector<std::size_t> active;
    std::vector<double> f(g_n);
    for (std::size_t u = 0; u < units; ++u) {
        const std::size_t r = u / nt;
        const double target = targets[u % nt];
        if (!(sd[r] > 0.0) || !std::isfinite(sd[r])) continue;
        for (std::size_t g = 0; g < g_n; ++g) {
            f[g] = delta_gap(k_g[r * g_n + g], w_g[r * g_n + g], target, premium_adjusted);
        }
        std::size_t found = g_n;
        if (target > 0.0) {
            for (std::size_t g = g_n - 1; g-- > 0;) {
                if (f[g] >= 0.0 && f[g + 1] < 0.0) {
                    found = g;
                    break;
                }
            }
        } else {
            for (std::size_t g = 0; g + 1 < g_n; ++g) {
                if (f[g] >= 0.0 && f[g + 1] < 0.0) {
                    found = g;
                    break;
                }
            }
        }
        if (found == g_n) continue;
        const double a = k_g[r * g_n + found];
        const double b = k_g[r * g_n + found + 1];
        const double fa = f[found];
        const double fb = f[found + 1];
        double start = a - fa * (b - a) / (fb - fa);
        if (!(start >= a && start < b)) start = 0.5 * (a + b);
        lo[u] = a;
        hi[u] = b;
        k[u] = start;
        h[u] = kSlopeStep * sd[r];
        active.push_back(u);
    }

    std::vector<double> th_e, k_e, w_e, v_e;
    for (int step = 0; step < kMaxSteps && !active.empty(); ++step) {
        const std::size_t n = active.size();
        th_e.resize(2 * n);
        k_e.resize(2 * n);
        w_e.resize(2 * n);
        v_e.resize(2 * n);
        for (std::size_t i = 0; i < n; ++i) {
            const std::size_t u = active[i];
            th_e[i] = th_e[n + i] = theta[u / nt];
            k_e[i] = k[u];
            k_e[n + i] = k[u] + h[u];
        }
        evaluate_range({th_e.data(), 1}, {k_e.data(), 1}, false, 0, 2 * n, w_e.data(), v_e.data(), nullptr);
        std::size_t kept = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const std::size_t u = active[i];
            const double target = targets[u % nt];
            const double ku = k[u];
            const double fk = delta_gap(ku, w_e[i], target, premium_adjusted);
            if (!std::isfinite(fk)) continue;  // NaN: no strike
            if (fk == 0.0) {
                k_out[u] = ku;
                vol_out[u] = v_e[i];
                continue;
            }
            const double fh = delta_gap(ku + h[u], w_e[n + i], target, premium_adjusted);
            // The root lies right of a point where delta - target >= 0.
            if (fk > 0.0) {
                lo[u] = ku;
            } else {
                hi[u] = ku;
            }
            double next = ku - fk * h[u] / (fh - fk);
            if (!(next > lo[u] && next < hi[u])) next = 0.5 * (lo[u] + hi[u]);
            if (std::fabs(next - ku) <= kKTol * std::max(1.0, std::fabs(ku))) {
                k_out[u] = ku;
                vol_out[u] = v_e[i];
                continue;
            }
            k[u] = next;
            active[kept++] = u;
        }
        active.resize(kept);
    }
}

}  // namespace korvex::chain
