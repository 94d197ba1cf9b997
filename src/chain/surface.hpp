// A volatility surface from fitted smiles: total implied variance at any
// time and log-forward-moneyness, and the strikes of given deltas. Free of
// Python; korvex_chain's Surface holds one and evaluates through it.
//
// The rules (korvex_chain/surface.py documents them for users):
// - at a node's time, the node's smile itself (its own ttx and forward);
// - between two nodes, total variance linear in time at fixed
//   k = ln(K / F(t)), and ln F linear in the same time;
// - before the first node the first node's vol at fixed k; after the last
//   the last interval's forward variance at fixed k, floored at zero (the
//   node's vol at fixed k when there is one node); ln F continued with the
//   nearest interval's slope (flat with one node);
// - no surface before time 0 or at a NaN time (NaN).
#pragma once

#include <cstddef>
#include <vector>

#include "chain/column.hpp"
#include "chain/smile_kernels.hpp"

namespace korvex::chain {

struct SurfaceNode {
    EvaluateFn smile = nullptr;
    std::vector<double> params;
    double ttx = 0.0;            // the smile's own time to expiry (that of its fit)
    double forward = 0.0;
    double time = 0.0;           // on the surface's clock; strictly increasing over the nodes
    double variance_time = 0.0;  // total variance = smile vol^2 * variance_time
    double vol_scale = 1.0;      // surface vol = smile vol * vol_scale (unused on the smile's own clock)
};

class VolSurface {
public:
    // Nodes in time order with positive, strictly increasing times; with
    // `same_clock` the surface's vols at a node are the smile's own.
    VolSurface(std::vector<SurfaceNode> nodes, bool same_clock);

    std::size_t size() const { return nodes_.size(); }

    // Elements [0, n): time theta[i] and log-forward-moneyness x[i] (or,
    // with `strikes`, the strike), into total variance w[i], vol[i] and
    // forward fwd[i] (any output may be null), on `threads` threads.
    void evaluate(Column<double> theta, Column<double> x, bool strikes, std::size_t n, double* w, double* vol,
                  double* fwd, int threads) const;

    // Log-forward-moneyness and vol of the strikes of the given deltas at
    // each of m times: k[r * nt + j], vol[r * nt + j] for target j. A target
    // above 0 is a call delta, below 0 a put delta, 0 the delta-neutral
    // straddle. Forward deltas N(d1) (call) and N(d1) - 1 (put), or with
    // `premium_adjusted` e^k N(d2) and -e^k N(-d2); calls on their out-of-
    // the-money branch. NaN where the surface gives no such strike.
    void delta_strikes(const double* theta, std::size_t m, const double* targets, std::size_t nt,
                       bool premium_adjusted, double* k, double* vol) const;

private:
    void evaluate_range(Column<double> theta, Column<double> x, bool strikes, std::size_t begin, std::size_t end,
                        double* w, double* vol, double* fwd) const;

    std::vector<SurfaceNode> nodes_;
    std::vector<double> times_, ln_forward_, slope_;
    bool same_clock_;
};

}  // namespace korvex::chain
