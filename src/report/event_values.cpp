#include "report/event_values.hpp"

#include "atmosphere/earth.hpp"

namespace ascent {

const char* event_kind_name(EventKind k) {
  switch (k) {
    case EventKind::pass_start: return "pass_start";
    case EventKind::profile_spacing: return "profile_spacing";
    case EventKind::pitch_over: return "pitch_over";
    case EventKind::end_turn: return "end_turn";
    case EventKind::booster_separation: return "booster_separation";
    case EventKind::fairing_jettison: return "fairing_jettison";
    case EventKind::acceleration_limit: return "acceleration_limit";
    case EventKind::engine_cutoff: return "engine_cutoff";
    case EventKind::core_cutoff: return "core_cutoff";
    case EventKind::core_separation: return "core_separation";
    case EventKind::orbit: return "orbit";
    case EventKind::recommended_turn_time: return "recommended_turn_time";
    case EventKind::upper_ignition: return "upper_ignition";
    case EventKind::upper_cutoff: return "upper_cutoff";
    case EventKind::upper_delta_v: return "upper_delta_v";
    case EventKind::verdict: return "verdict";
    case EventKind::total_delta_v: return "total_delta_v";
    case EventKind::summary: return "summary";
    case EventKind::guidance_takeover: return "guidance_takeover";
    case EventKind::guidance_converged: return "guidance_converged";
    case EventKind::propellant_depleted: return "propellant_depleted";
  }
  return "";
}

std::vector<std::pair<const char*, EventValue>> event_values(const FlightEvent& e, const Extremes& x) {
  switch (e.kind) {
    case EventKind::profile_spacing: return {{"max_interval_s", e.value}};
    case EventKind::booster_separation: return {{"residual_propellant_kg", e.value}};
    case EventKind::engine_cutoff: return {{"engine", static_cast<int>(e.value)}};
    case EventKind::core_separation:
    case EventKind::upper_delta_v:
    case EventKind::total_delta_v: return {{"delta_v_ms", e.value}};
    case EventKind::orbit: return {{"perigee_m", e.hp}, {"apogee_m", e.ha}};
    case EventKind::recommended_turn_time: return {{"turn_time_s", e.value}};
    case EventKind::upper_ignition:
    case EventKind::upper_cutoff: return {{"engine", e.name}};
    case EventKind::verdict:
      return {{"vehicle", e.name},
              {"turn_time_s", e.tt},
              {"alpha_max_deg", e.alpha_max * 180 / pi},
              {"in_orbit", e.in_orbit},
              {"core_propellant_left_kg", e.value}};
    case EventKind::summary:
      return {{"max_force_N", e.Fst_max3},
              {"max_force_t_s", e.t_Fst_max3},
              {"liftoff_thrust_N", e.F_lo},
              {"liftoff_acceleration_ms2", e.a_lo},
              {"ignition_mass_kg", e.M_lo},
              {"max_q_Pa", x.Pqmax},
              {"max_q_t_s", x.t_Pqmax},
              {"max_accel_ms2", x.amax},
              {"max_accel_t_s", x.t_amax},
              {"S3_Mi", e.masses.Mad},
              {"S3_Mp", e.masses.Mused},
              {"S3_Ms", e.masses.Mcut},
              {"SC_M", e.masses.Msc},
              {"S3_Mt", e.masses.Mtop}};
    case EventKind::guidance_takeover: return {{"stage", e.name}, {"dynamic_pressure_Pa", e.value}};
    case EventKind::guidance_converged: return {{"stage", e.name}, {"time_to_go_s", e.value}};
    case EventKind::propellant_depleted: return {{"stage", e.name}, {"velocity_to_go_ms", e.value}};
    default: return {};
  }
}

}  // namespace ascent
