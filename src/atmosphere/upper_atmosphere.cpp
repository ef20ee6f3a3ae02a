#include <cmath>

#include "atmosphere/atmosphere.hpp"

namespace ascent {

void natural_spline(const std::array<double, n_knots>& x, SplineSet& s) {
  // The classical tridiagonal solution for the spline with zero curvature at
  // both end knots.
  constexpr int n = n_knots - 1;  // intervals
  std::array<double, n_knots> h{}, alpha{}, l{}, mu_{}, z{};
  const auto& a = s.a;
  for (int i = 0; i < n; ++i) h[i] = x[i + 1] - x[i];
  for (int i = 1; i < n; ++i) {
    alpha[i] = 3 * (a[i + 1] * h[i - 1] - a[i] * (x[i + 1] - x[i - 1]) + a[i - 1] * h[i]) /
               (h[i - 1] * h[i]);
  }
  l[0] = 1;
  mu_[0] = 0;
  z[0] = 0;
  for (int i = 1; i < n; ++i) {
    l[i] = 2 * (x[i + 1] - x[i - 1]) - h[i - 1] * mu_[i - 1];
    mu_[i] = h[i] / l[i];
    z[i] = (alpha[i] - h[i - 1] * z[i - 1]) / l[i];
  }
  l[n] = 1;
  z[n] = 0;
  s.c[n] = z[n];
  for (int j = n - 1; j >= 0; --j) {
    s.c[j] = z[j] - mu_[j] * s.c[j + 1];
    s.b[j] = (a[j + 1] - a[j]) / h[j] - h[j] * (s.c[j + 1] + 2 * s.c[j]) / 3;
    s.d[j] = (s.c[j + 1] - s.c[j]) / (3 * h[j]);
  }
}

void upper_atmosphere_init(AtmosphereTables& t) {
  for (int k = 0; k < n_knots; ++k) {
    t.lnP.a[k] = std::log(Pk[k]);
    t.lnrho.a[k] = std::log(rhok[k]);
  }
  natural_spline(Zk, t.lnP);
  natural_spline(Zk, t.lnrho);
  // Above 86 km the speed of sound stays that of the top layer's temperature.
  t.a_s_upper = std::sqrt(sound_k * t.Tb[n_layers - 1]);
}

namespace {

// The spline interval of Z: the last knot at or below it, the top interval
// above the last knot.
int interval(double Z) {
  int k = 0;
  while (k < n_knots - 2 && Zk[k + 1] < Z) ++k;
  return k;
}

double spline_exp(const SplineSet& f, int k, double s) {
  return std::exp(((f.d[k] * s + f.c[k]) * s + f.b[k]) * s + f.a[k]);
}

}  // namespace

void upper_atmosphere(const AtmosphereTables& t, double Z, double& p, double& rho, double& a_s) {
  const int k = interval(Z);
  double s = Z - Zk[k];
  p = spline_exp(t.lnP, k, s);
  rho = spline_exp(t.lnrho, k, s);
  a_s = t.a_s_upper;
}

void upper_density(const AtmosphereTables& t, double Z, double& rho, double& a_s) {
  const int k = interval(Z);
  double s = Z - Zk[k];
  rho = spline_exp(t.lnrho, k, s);
  a_s = t.a_s_upper;
}

}  // namespace ascent
