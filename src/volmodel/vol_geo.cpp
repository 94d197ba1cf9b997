// VolGeo: vol formula.
#include <cmath>

#include "volmodel/vol_model.hpp"

namespace korvex::volmodel {

template class Model<VolGeoSmile>;

VolGeoSmile::Prepared VolGeoSmile::prepare(const double* p, double ttx, double spot) noexcept {
    const double corr = p[kCorr];
    const double vvol = p[kVvol];
    const double ref_vol = p[kRefVol];

    // tanh(corr) as (E - 1) / (E + 1). Once E overflows (corr above about
    // 354.89) that quotient is inf/inf = NaN although tanh is 1 there, as it
    // already is exactly from corr = 20 on; take the limit instead.
    const double e = std::exp(corr + corr);
    const double rho = std::isinf(e) ? 1.0 : (e - 1.0) / (e + 1.0);

    Prepared c;
    c.spot = spot;
    c.r = std::sqrt(ttx);
    c.sigma0 =
        ((((std::log(spot / p[kRefSpot]) / c.r) / ref_vol) * (vvol * rho)) * p[kVpr] + ref_vol) /
        100.0;
    c.beta = (vvol * rho) / 100.0;
    c.gamma = (((1.0 - rho * rho) * (vvol * vvol)) / (c.sigma0 * 100.0)) / 100.0;
    return c;
}

}  // namespace korvex::volmodel
