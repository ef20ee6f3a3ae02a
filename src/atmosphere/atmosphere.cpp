#include "atmosphere/atmosphere.hpp"

#include <cmath>

namespace ascent {

namespace {

AtmosphereTables build_tables() {
  AtmosphereTables t;
  // Base temperature and pressure of every layer from the one below it: a
  // linear temperature profile integrated hydrostatically.
  t.Tb[0] = 288.15;    // K
  t.Pb[0] = 101325.0;  // Pa
  for (int i = 0; i < n_layers - 1; ++i) {
    t.Tb[i + 1] = t.Tb[i] + Lb[i] * (Hb[i + 1] - Hb[i]);
    if (Lb[i] == 0.0) {
      t.Pb[i + 1] = t.Pb[i] * std::exp(-hydrostatic_k * (Hb[i + 1] - Hb[i]) / t.Tb[i]);
    } else {
      t.Pb[i + 1] = t.Pb[i] * std::exp(hydrostatic_k * std::log(t.Tb[i] / t.Tb[i + 1]) / Lb[i]);
    }
  }
  upper_atmosphere_init(t);
  return t;
}

void lower_atmosphere(const AtmosphereTables& t, double H, double& p, double& rho, double& a_s) {
  int i = 0;
  while (i < n_layers - 1 && Hb[i + 1] < H) ++i;
  double T = t.Tb[i] + Lb[i] * (H - Hb[i]);
  if (Lb[i] == 0.0) {
    p = t.Pb[i] * std::exp(-hydrostatic_k * (H - Hb[i]) / t.Tb[i]);
  } else {
    p = t.Pb[i] * std::exp(hydrostatic_k * std::log(t.Tb[i] / T) / Lb[i]);
  }
  rho = density_k * p / T;
  a_s = std::sqrt(sound_k * T);
}

// Built once when the program loads, before main and before any thread, and
// read-only afterwards: every look-up reads it directly, with none of the
// guard check a function-local static costs on each call. Nothing computes
// an atmosphere while the program loads, so no reader can come first.
const AtmosphereTables tables = build_tables();

}  // namespace

const AtmosphereTables& atmosphere_tables() { return tables; }

void atmosphere_init() { (void)atmosphere_tables(); }

namespace {

// Geopotential altitude over the program's own Earth (mu, Re), then the
// geometric altitude that has it in the standard's Earth model.
void altitudes(double h, double& H, double& Z) {
  H = (gs / g0) * Re * h / (h + Re);
  Z = Rstd * H / (Rstd - H);
}

}  // namespace

bool atmosphere_without_pressure(double h, double& p, double& rho, double& a_s) {
  double H, Z;
  altitudes(h, H, Z);
  if (Z < Z_switch) {
    lower_atmosphere(tables, H, p, rho, a_s);
    return false;
  }
  if (Z > Z_clamp) Z = Z_clamp;
  if (std::isnan(Z)) {
    upper_atmosphere(tables, Z, p, rho, a_s);
    return false;
  }
  p = 0;
  upper_density(tables, Z, rho, a_s);
  return true;
}

void atmosphere(double h, double& p, double& rho, double& a_s) {
  const AtmosphereTables& t = tables;
  double H, Z;
  altitudes(h, H, Z);
  if (Z < Z_switch) {
    lower_atmosphere(t, H, p, rho, a_s);
  } else {
    if (Z > Z_clamp) Z = Z_clamp;
    upper_atmosphere(t, Z, p, rho, a_s);
  }
}

}  // namespace ascent
