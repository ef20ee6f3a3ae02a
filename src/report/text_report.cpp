#include "report/text_report.hpp"

#include <cmath>

#include "atmosphere/earth.hpp"

#include "io/number_format.hpp"

namespace ascent {

namespace {

std::string with_real(const char* head, double x, int w, int d, const char* tail) {
  std::string s = head;
  append_real(s, x, w, d);
  s += tail;
  return s;
}

// Perigee, apogee, average altitude plus-or-minus its deviation, in km.
std::string orbit_line(double hp, double ha, unsigned char pm) {
  const double h_avg = (ha + hp) / 2;
  const double h_dev = ha - h_avg;
  std::string line = "Perigee = ";
  append_real(line, hp / 1000, 5, 1);
  line += " km, Apogee = ";
  append_real(line, ha / 1000, 5, 1);
  line += " km, Average Altitude = ";
  append_real(line, h_avg / 1000, 5, 1);
  line += static_cast<char>(pm);
  append_real(line, h_dev / 1000, 3, 1);
  line += " km";
  return line;
}

}  // namespace

void event_lines(const FlightEvent& e, const ReportStyle& style, const Extremes& x, std::vector<std::string>& out) {
  const char sq = static_cast<char>(style.sq);
  switch (e.kind) {
    case EventKind::pass_start:
      break;
    case EventKind::profile_spacing:
      out.push_back("Error! Booster time increments must be at most " + real_text(e.value, 14, 12) + " seconds");
      break;
    case EventKind::pitch_over:
      out.emplace_back("Pitch over!");
      break;
    case EventKind::end_turn:
      out.emplace_back("End turn.");
      break;
    case EventKind::booster_separation:
      out.push_back("Booster seperation! Residual booster propellant = " + real_text(e.value, 1, 0) + " kg.");
      break;
    case EventKind::fairing_jettison:
      out.emplace_back("PLF Jettison!");
      break;
    case EventKind::acceleration_limit:
      out.emplace_back("Maximum acceleration reached!");
      break;
    case EventKind::engine_cutoff:
      out.push_back("Engine " + std::to_string(static_cast<int>(e.value)) + " cutoff!");
      break;
    case EventKind::core_cutoff:
      out.emplace_back("Core Engine Cutoff!");
      break;
    case EventKind::core_separation:
      out.push_back("Core Separation! Vacuum and zero gravity delta-V = " + real_text(e.value, 3, 1) + " m/s");
      break;
    case EventKind::orbit:
      out.push_back(orbit_line(e.hp, e.ha, style.pm));
      break;
    case EventKind::recommended_turn_time:
      out.emplace_back();
      out.push_back("Recommended tt = " + real_text(e.value, 7, 4) + " s");
      out.emplace_back();
      break;
    case EventKind::upper_ignition:
      out.push_back(e.name + " ignition!");
      break;
    case EventKind::upper_cutoff:
      out.push_back(e.name + " cutoff!");
      break;
    case EventKind::upper_delta_v:
      out.push_back("Vacuum and zero gravity delta-V = " + real_text(e.value, 3, 1) + " m/s");
      out.emplace_back();
      break;
    case EventKind::verdict: {
      std::string line = "Turn Time = " + real_text(e.tt, 5, 3) + " s, Maximum angle of attack = " +
                         real_text(e.alpha_max * 180 / pi, 7, 4);
      line += static_cast<char>(style.deg);
      out.push_back(std::move(line));
      // A flight whose state has become no number has no propellant to count.
      out.push_back(e.name + (e.in_orbit ? std::string(" in Orbit!") : std::string(" not in Orbit!")) +
                    (std::isfinite(e.value) ? " Remaining propellant = " + real_text(e.value, 1, 0) + " kg."
                                            : std::string(" Remaining propellant unknown: the flight's state is no number.")));
      break;
    }
    case EventKind::total_delta_v:
      out.push_back("Vacuum and zero gravity delta-V = " + real_text(e.value, 1, 0) + " m/s");
      break;
    case EventKind::summary: {
      const SummaryMasses& M = e.masses;
      out.push_back(with_real("Stage 3 Maximum force = ", e.Fst_max3, 1, 0, " N at ") + real_text(e.t_Fst_max3, 4, 2) +
                    " s");
      out.push_back(with_real("Liftoff thrust = ", e.F_lo, 1, 0, " N at ") + real_text(e.a_lo, 5, 2) + " m/s" + sq +
                    " for " + real_text(e.M_lo, 1, 0) + " kg");
      if (style.tofile) {
        out.push_back(with_real("Maximum dynamic pressure = ", x.Pqmax, 1, 0, " Pa at ") + real_text(x.t_Pqmax, 5, 2) +
                      " s");
        out.push_back(with_real("Maximum acceleration = ", x.amax, 5, 2, " m/s") + sq + " at " +
                      real_text(x.t_amax, 5, 2) + " s");
      }
      out.push_back(with_real("  S3_Mt   = ", M.Mtop, 7, 0, "; {kg, interstage and payload mass}"));
      out.push_back(with_real("  SC_M    = ", M.Msc, 7, 0, "; {kg, Spacecraft mass}"));
      out.emplace_back();
      break;
    }
    case EventKind::guidance_takeover:
      out.push_back("Guidance takes over the " + e.name + " stage" +
                    (std::isfinite(e.value) ? " at " + real_text(e.value, 1, 0) + " Pa." : std::string(".")));
      break;
    case EventKind::guidance_converged:
      out.push_back("Guidance converged: " + e.name + " cutoff in " + real_text(e.value, 1, 1) + " s.");
      break;
    case EventKind::propellant_depleted: {
      // The speed still missing at burn-out; within the tenth of a metre per
      // second written, the stage ran dry as it reached its cutoff speed.
      std::string line = "Propellant depleted! The " + e.name + " stage burns out";
      if (!std::isfinite(e.value)) {
        line += ".";
      } else if (std::fabs(e.value) < 0.05) {
        line += " as it reaches its cutoff.";
      } else if (e.value > 0) {
        line += " " + real_text(e.value, 1, 1) + " m/s short of its cutoff.";
      } else {
        line += " " + real_text(-e.value, 1, 1) + " m/s past its cutoff.";
      }
      out.push_back(std::move(line));
      break;
    }
  }
}

std::string constants_file_text(const SummaryMasses& M, int unusable) {
  const std::string indent(27, ' ');
  std::string t;
  t += "  {Stage 3 constants updated from simulation}\r\n";
  t += with_real("  S3_Mi    =    ", M.Mad, 4, 0, "; {kg, adaptor mass}\r\n");
  t += with_real("  S3_Mp    =  ", M.Mused, 6, 0, "; {kg, propellant mass used, ");
  t += with_real("", M.Mtot, 1, 0, " kg total - ");
  t += with_real("", M.Mres, 1, 0, " kg reserve -\r\n");
  t += with_real(indent.c_str(), M.Mrcs, 1, 0, " kg RCS - ");
  t += std::to_string(unusable) + " kg unusable}\r\n";
  t += with_real("  S3_Ms    =   ", M.Mcut, 5, 0, "; {kg, cutoff mass, ");
  t += with_real("", M.Mdry, 1, 0, " kg dry + ");
  t += with_real("", M.Mrcs, 1, 0, " kg RCS + ");
  t += with_real("", M.Mres, 1, 0, " kg reserve\r\n");
  t += indent + "+ " + std::to_string(unusable) + " kg unusable}\r\n";
  t += with_real("  SC_M     =  ", M.Msc, 6, 0, "; {kg, Spacecraft mass}\r\n");
  return t;
}

void TextReport::write_header() {
  Channel& out = *main;
  out.end_line();
  out.put("   t      a     vi     h0       r0      alpha  beta  theta     Pq");
  out.line("     m0+Me");
  out.put("  sec    m/s");
  out.put(static_cast<char>(style.sq));
  out.put("  m/s   metres   metres     deg    deg   deg");
  out.line("      Pa       kg");
  out.put("-------------------------------------------------------------------");
  out.line("----------");
}

void TextReport::on_step(const StepRecord& r) {
  write_table_line(*main, r);
  if (style.tofile && !r.pad) {
    extremes.see(r);
    write_data_lines(DataFiles{&speedfile, &heightfile, &accelfile, &dynpresfile}, r);
  }
}

void TextReport::on_event(const FlightEvent& e) {
  lines_.clear();
  event_lines(e, style, extremes, lines_);
  for (const std::string& l : lines_) main->line(l);
  if (e.kind == EventKind::summary) {
    std::string text = constants_file_text(e.masses, e.unusable);
    if (file_sink == FileSink::memory) {
      const_text = std::move(text);
    } else {
      Channel file;
      open_replacing_file(file, "const_n.pas");
      file.put(text);
      file.close();
    }
  }
}

void TextReport::open_output_file(Channel& ch, const std::string& path) {
  switch (file_sink) {
    case FileSink::disk: ch.open_file(path); break;
    case FileSink::memory: ch.open_memory(); break;
    case FileSink::discard: ch.open_discard(); break;
  }
  ch.set_utf8(utf8);
}

void TextReport::open_replacing_file(Channel& ch, const std::string& path) {
  if (file_sink == FileSink::disk) {
    ch.open_file_replacing(path);
    ch.set_utf8(utf8);
  } else {
    open_output_file(ch, path);
  }
}

}  // namespace ascent
