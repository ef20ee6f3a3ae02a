// ascent: flies a three-stage launch vehicle from the pad into Earth orbit,
// one integration step at a time, from the answers on standard input and the
// booster thrust profile "s1.dat".
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <exception>
#include <optional>

#include <string>
#include <string_view>
#include <vector>

#include "io/cli.hpp"
#include "io/exit_codes.hpp"
#include "io/fatal_error.hpp"
#include "io/interrupt.hpp"
#include "io/paths.hpp"
#include "report/json_report.hpp"
#include "report/trajectory_export.hpp"
#include "session/session.hpp"
#include "session/session_3d.hpp"
#include "session/staged_session.hpp"
#include "vehicle/booster_profile.hpp"
#include "vehicle/description_file.hpp"

namespace {

const char* const usage_text =
    "Usage: ascent [--vehicle FILE] [--utf8] [--json FILE]\n"
    "              [--trajectory FILE] [--epoch TIME]\n"
    "       ascent --print-vehicle | --print-vehicle-keys | --help | --version\n"
    "\n"
    "Flies a three-stage launch vehicle from the pad into Earth orbit. The\n"
    "questions are asked on standard output and answered on standard input:\n"
    "the output file (return: standard output; i: iterate mode), then for each\n"
    "flight the turn time (s; negative ends the session), the maximum angle of\n"
    "attack (degrees) and whether to transfer to apogee (y, Y or return).\n"
    "Reads the booster thrust profile s1.dat from the working directory; in\n"
    "file mode also writes speed.dat, height.dat, accel.dat and dynpres.dat;\n"
    "every flight writes const_n.pas.\n"
    "\n"
    "Options:\n"
    "  --vehicle FILE   fly the vehicle and mission described in FILE (TOML)\n"
    "                   instead of the built-in one\n"
    "  --print-vehicle  write the built-in vehicle as such a description, every\n"
    "                   key with its meaning, unit and range; the keys that may\n"
    "                   be left out are commented out, at their default values\n"
    "  --print-vehicle-keys\n"
    "                   write the table of every key in Markdown: key, unit,\n"
    "                   meaning, allowed range, built-in value\n"
    "  --utf8           degree, plus-minus and squared signs in UTF-8 and lines\n"
    "                   ending in LF, on the console and in every file\n"
    "  --json FILE      also write the session's flights as JSON to FILE: for\n"
    "                   each its answers, its summary (ascent-sweep's columns)\n"
    "                   and its events with their times and values; written\n"
    "                   when the session ends, replacing FILE (or the file a\n"
    "                   link FILE points to) only then, and only if every\n"
    "                   output was written\n"
    "  --trajectory FILE\n"
    "                   also write the path of the session's last flight to\n"
    "                   FILE, by its extension: .oem (CCSDS orbit ephemeris,\n"
    "                   inertial EME2000, km), .czml (Cesium, Earth-fixed) or\n"
    "                   .kml (Google Earth track), with the events marked;\n"
    "                   placed from target.latitude and target.longitude;\n"
    "                   written when the session ends, as --json FILE is\n"
    "  --epoch TIME     UTC time of ignition, which places the path of\n"
    "                   --trajectory and the impact points of --json on the\n"
    "                   turning Earth, YYYY-MM-DDThh:mm:ss[.ffffff] (default\n"
    "                   2027-01-01T00:00:00)\n"
    "  --help           this text\n"
    "  --version        the program's version\n"
    "\n"
    "Exit status: 0 done; 2, 3, 5 a file not found, a path not found, access\n"
    "denied (5 also: an output named for an input or for a file the session\n"
    "writes itself); 100 a read error or a profile too short; 101 a write error; 106 an\n"
    "answer or profile value that is not a number, or a line over 4096 bytes;\n"
    "64 a bad option; 65 a bad vehicle description; 128 + N stopped by signal\n"
    "N (SIGINT, SIGTERM, SIGHUP).\n";
// Writes a description to standard output as it stands (a TOML file ends
// its lines with LF), checked: exit code 0 or 101.
int print_raw(const std::string& text) {
  if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0) {
    ascent::cli::report("ascent", "standard output: write error");
    return ascent::err_write;
  }
  return 0;
}

// A staged vehicle's outputs never replace its description.
void refuse_overwriting(const std::string& vehicle_path, const char* json_path, const char* trajectory_path) {
  for (const char* out : {json_path, trajectory_path}) {
    if (out != nullptr && ascent::same_file(out, vehicle_path)) {
      throw ascent::FatalError{ascent::err_access_denied, std::string(out == json_path ? "--json " : "--trajectory ") +
                                                              out + ": refused: it would overwrite the vehicle description"};
    }
  }
}

void report_cut_path(const char* trajectory_path, bool cut_short, double cut_at) {
  if (!cut_short) return;
  char at[32];
  std::snprintf(at, sizeof at, "%.2f", cut_at);
  ascent::cli::report("ascent", std::string("--trajectory ") + trajectory_path +
                                    ": the flight's state is no place after T+" + at + " s: the path written ends there");
}

// A staged vehicle flies at once: its report to standard output, and with
// --json FILE the same as JSON, with --trajectory FILE its path; each
// written whole or not at all, and none unless all are.
int run_staged(const ascent::StagedVehicle& v, const std::string& vehicle_path, const char* json_path,
               const char* trajectory_path, ascent::TrajectoryFormat format, const ascent::Epoch& epoch) {
  refuse_overwriting(vehicle_path, json_path, trajectory_path);
  ascent::Channel json_file, trajectory_file;
  if (json_path != nullptr) json_file.open_file_replacing_through_links(json_path);
  if (trajectory_path != nullptr) {
    trajectory_file.open_file_replacing_through_links(trajectory_path);
    if (std::string w = ascent::epoch_warning(epoch); !w.empty()) ascent::cli::report("ascent", w);
  }
  const ascent::StagedFlown f = ascent::fly_staged_recorded(v);
  const ascent::Placement where = ascent::placement_of(v);
  ascent::Impacts impacts;
  if (json_path != nullptr || (trajectory_path != nullptr && format != ascent::TrajectoryFormat::oem)) {
    impacts = ascent::impact_points(f.path, where, f.releases, epoch);
  }
  if (json_path != nullptr) {
    const std::vector<ascent::StepRecord> lines = f.samples.lines();
    json_file.put(ascent::staged_report_json(v, f.result, &impacts, &lines));
    json_file.finish();
  }
  if (trajectory_path != nullptr) {
    trajectory_file.put(ascent::trajectory_text(format, f.path, where, impacts, epoch));
    trajectory_file.finish();
    report_cut_path(trajectory_path, f.path.cut_short(), f.path.cut_at());
  }
  json_file.commit();
  trajectory_file.commit();
  return print_raw(ascent::staged_report_text(v, f.result));
}

// A staged vehicle flown in 3-D, launched at the epoch: its report, JSON
// and path as run_staged writes them. ERFA's doubt about the date is said
// for an epoch given or a path written, not for the default epoch alone.
int run_3d(const ascent::StagedVehicle& v, const std::string& vehicle_path, const char* json_path,
           const char* trajectory_path, ascent::TrajectoryFormat format, const ascent::Epoch& epoch,
           bool epoch_given) {
  refuse_overwriting(vehicle_path, json_path, trajectory_path);
  ascent::Channel json_file, trajectory_file;
  if (json_path != nullptr) json_file.open_file_replacing_through_links(json_path);
  if (trajectory_path != nullptr) trajectory_file.open_file_replacing_through_links(trajectory_path);
  if (std::string w = ascent::epoch_warning(epoch); (epoch_given || trajectory_path != nullptr) && !w.empty()) {
    ascent::cli::report("ascent", w);
  }
  const std::optional<double> change = ascent::node_plane_change(v, epoch, v.dut1);
  if (std::string w = ascent::node_warning(v, epoch, v.dut1, change); !w.empty()) ascent::cli::report("ascent", w);
  if (json_path == nullptr && trajectory_path == nullptr) {  // the report alone: no path to keep
    return print_raw(ascent::report_3d_text(v, ascent::fly_3d(v, ascent::world_at(v, epoch, v.dut1))));
  }
  const ascent::Flown3d f = ascent::fly_3d_recorded(v, epoch);
  ascent::Impacts impacts;
  if (json_path != nullptr || (trajectory_path != nullptr && format != ascent::TrajectoryFormat::oem)) {
    impacts = ascent::impact_points(f.path, f.releases, epoch);
  }
  if (json_path != nullptr) {
    json_file.put(ascent::report_3d_json(v, f.result, change, &impacts, &f.lines));
    json_file.finish();
  }
  if (trajectory_path != nullptr) {
    trajectory_file.put(ascent::trajectory_text(format, f.path, impacts, epoch));
    trajectory_file.finish();
    report_cut_path(trajectory_path, f.path.cut_short, f.path.cut_at);
  }
  json_file.commit();
  trajectory_file.commit();
  return print_raw(ascent::report_3d_text(v, f.result));
}

// A file the session reads or writes whatever the answers, and how a
// refusal names it.
struct KeptFile {
  std::string name;
  std::string as;
};

// An output named on the command line that is an input of the session, the
// file of a standard stream or one the session writes anyway would destroy
// it or be overwritten by it: refused before anything is created.
void refuse_clashing_outputs(const std::vector<KeptFile>& outputs, const std::vector<KeptFile>& kept) {
  for (const KeptFile& o : outputs) {
    const char* streams[] = {"standard input", "standard output"};
    for (int fd = 0; fd <= 1; ++fd) {
      if (ascent::is_file_of_descriptor(o.name, fd)) {
        throw ascent::FatalError{ascent::err_access_denied,
                                 o.as + ": refused: it is the session's " + streams[fd]};
      }
    }
    for (const KeptFile& k : kept) {
      if (ascent::same_file(o.name, k.name)) {  // through links, dangling ones too
        throw ascent::FatalError{ascent::err_access_denied, o.as + ": refused: it would overwrite " + k.as};
      }
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  ascent::cli::ensure_standard_streams();
#ifdef SIGPIPE
  // A reader that goes away (ascent | head) is a failed write like any
  // other: exit code 101, not a silent death by signal.
  std::signal(SIGPIPE, SIG_IGN);
#endif
  // A file-size limit is a failed write too (101), not a death by SIGXFSZ.
  std::signal(SIGXFSZ, SIG_IGN);
  // The options; the vehicle, built in or read (and refused if it is bad)
  // before anything is created. --print-vehicle-keys writes docs/reference.md's key
  // reference.
  ascent::Description desc;
  bool utf8 = false;
  const char* json_path = nullptr;
  const char* trajectory_path = nullptr;
  ascent::TrajectoryFormat trajectory_format = ascent::TrajectoryFormat::oem;
  ascent::Epoch epoch;
  bool epoch_given = false;
  std::string vehicle_text, json_text, trajectory_text;  // the options' values, where the paths point
  std::vector<std::string> reserved;  // the description and the outputs named on the command line
  try {
    if (ascent::cli::answer_help_or_version(argc, argv, "ascent", usage_text)) return 0;
    const char* vehicle_path = nullptr;
    std::string epoch_text = ascent::default_epoch;
    bool print_vehicle = false, print_keys = false;
    using ascent::cli::Option;
    ascent::cli::Args args(argc, argv,
                           {{"--vehicle", nullptr, Option::value, false, "a file name"},
                            {"--print-vehicle", nullptr, Option::flag},
                            {"--print-vehicle-keys", nullptr, Option::flag},
                            {"--utf8", nullptr, Option::flag},
                            {"--json", nullptr, Option::value, false, "a file name"},
                            {"--trajectory", nullptr, Option::value, false, "a file name"},
                            {"--epoch", nullptr, Option::value, false, "a time, YYYY-MM-DDThh:mm:ss"}});
    while (args.next()) {
      const std::string& a = args.name();
      if (a == "--vehicle") {
        vehicle_text = args.value();
        vehicle_path = vehicle_text.c_str();
      } else if (a == "--print-vehicle") {
        print_vehicle = true;
      } else if (a == "--print-vehicle-keys") {
        print_keys = true;
      } else if (a == "--utf8") {
        utf8 = true;
      } else if (a == "--json") {
        json_text = args.value();
        json_path = json_text.c_str();
      } else if (a == "--trajectory") {
        trajectory_text = args.value();
        trajectory_path = trajectory_text.c_str();
      } else if (a == "--epoch") {
        epoch_text = args.value();
        epoch_given = true;
      }
    }
    if (std::string why = ascent::parse_epoch(epoch_text, epoch); !why.empty()) {
      ascent::cli::report("ascent", "--epoch: " + why);
      return ascent::exit_usage;
    }
    // An epoch places the exported path and the JSON's impact points, and
    // launches a 3-D flight: given without either output to a vehicle not
    // flown in 3-D, it would be taken and do nothing.
    auto epoch_alone = [&] {
      if (!epoch_given || trajectory_path != nullptr || json_path != nullptr) return false;
      ascent::cli::report("ascent", "--epoch: only the trajectory and the JSON's impact points use it: give "
                                    "--trajectory FILE or --json FILE as well");
      return true;
    };
    const bool may_be_3d = vehicle_path != nullptr && !print_vehicle && !print_keys;
    if (!may_be_3d && epoch_alone()) return ascent::exit_usage;
    if (trajectory_path != nullptr) {
      std::optional<ascent::TrajectoryFormat> f = ascent::trajectory_format(trajectory_path);
      std::string why;
      if (!f) {
        why = ": the name must end in .oem, .czml or .kml";
      } else if (json_path != nullptr && ascent::same_file(json_path, trajectory_path)) {
        why = ": the same file as --json";
      }
      if (!why.empty()) {
        ascent::cli::report("ascent", std::string("--trajectory ") + trajectory_path + why);
        return ascent::exit_usage;
      }
      trajectory_format = *f;
    }
    if (print_vehicle) return print_raw(ascent::write_description(ascent::builtin_description(), true));
    if (print_keys) return print_raw(ascent::key_reference_markdown());
    if (ascent::StagedVehicle staged; vehicle_path != nullptr && ascent::read_any_description(vehicle_path, staged, desc)) {
      if (staged.dynamics == "3d") {
        return run_3d(staged, vehicle_path, json_path, trajectory_path, trajectory_format, epoch, epoch_given);
      }
      if (epoch_alone()) return ascent::exit_usage;
      return run_staged(staged, vehicle_path, json_path, trajectory_path, trajectory_format, epoch);
    }
    // A classic description flown in 3-D flies its staged form.
    if (desc.mission.model.dynamics == "3d") {
      const ascent::BoosterProfile boosters = ascent::read_profile(ascent::resolved_profile_path(desc));
      return run_3d(ascent::staged_from(desc, &boosters), vehicle_path, json_path, trajectory_path, trajectory_format,
                    epoch, epoch_given);
    }
    if (epoch_alone()) return ascent::exit_usage;
    std::vector<KeptFile> named, kept = {{ascent::resolved_profile_path(desc), "the booster profile " +
                                                                                 ascent::resolved_profile_path(desc)},
                                         {"const_n.pas", "const_n.pas, which every flight writes"}};
    if (vehicle_path != nullptr) {
      kept.push_back({vehicle_path, std::string("the vehicle description ") + vehicle_path});
      reserved.push_back(vehicle_path);
    }
    if (json_path != nullptr) named.push_back({json_path, std::string("--json ") + json_path});
    if (trajectory_path != nullptr) named.push_back({trajectory_path, std::string("--trajectory ") + trajectory_path});
    for (const KeptFile& n : named) reserved.push_back(n.name);
    refuse_clashing_outputs(named, kept);
    // The constants every flight writes may not take the place of an input
    // or of a standard stream's file either.
    kept.erase(kept.begin() + 1);
    refuse_clashing_outputs({{"const_n.pas", "const_n.pas (which every flight writes)"}}, kept);
  } catch (const ascent::FatalError& e) {
    ascent::cli::report("ascent", e.message);
    return e.code;
  } catch (const std::exception& e) {
    ascent::cli::report("ascent", std::string("internal error: ") + e.what());
    return ascent::exit_internal;
  }

  ascent::Session S;
  ascent::JsonReport json;
  ascent::Channel json_file;
  ascent::TrajectoryRecorder trajectory;
  ascent::Channel trajectory_file;
  // A file written whole when the session ends, from a recorder that watches
  // every step and event: created before any question, so that a name that
  // cannot be written is refused at once; the old file stays until then.
  auto record_to = [&S](const char* path, ascent::Channel& file, auto& recorder) {
    try {
      file.open_file_replacing_through_links(path);
    } catch (const ascent::FatalError& e) {
      ascent::cli::report("ascent", e.message);
      return e.code;
    }
    S.flight.step_observers.push_back(&recorder);
    S.flight.event_observers.push_back(&recorder);
    return 0;
  };
  if (json_path != nullptr) {
    if (int code = record_to(json_path, json_file, json)) return code;
    S.json = &json;
    json.place_at(epoch);  // the impact points' Earth turns as the trajectory's
  }
  if (trajectory_path != nullptr) {
    if (int code = record_to(trajectory_path, trajectory_file, trajectory)) return code;
  }
  // Once the run is sure to go on: the epoch is used as ERFA takes it. The
  // JSON's impact points at the default epoch go without the warning, as
  // they always have: a second of TT - UTC moves a point by under 1 mm.
  if (trajectory_path != nullptr || (json_path != nullptr && epoch_given)) {
    if (std::string w = ascent::epoch_warning(epoch); !w.empty()) ascent::cli::report("ascent", w);
  }
  S.flight.desc = &desc;
  S.reserved_files = reserved;
  if (!desc.profile.empty()) S.flight.profile_path = ascent::resolved_profile_path(desc);
  S.report.utf8 = utf8;
  ascent::install_interrupt_handlers();
  // At a terminal a typo is asked again; a script's typo stops the run.
  S.retry_typos = isatty(0) != 0;
  S.report.stdout_ch.open_stream(stdout, "standard output");
  S.input.open_stream(stdin, "standard input");
  try {
    ascent::run_session(S);
    // The JSON and the trajectory replace the old files only when both are
    // written whole: a session that fails leaves the old ones.
    if (json_path != nullptr) {
      json_file.put(json.text(desc.vehicle.name));
      json_file.finish();
    }
    if (trajectory_path != nullptr) {
      trajectory_file.put(ascent::trajectory_text(trajectory_format, trajectory, desc, epoch));
      trajectory_file.finish();
    }
    if (trajectory_path != nullptr && trajectory.cut_short()) {
      char at[32];
      std::snprintf(at, sizeof at, "%.2f", trajectory.cut_at());
      ascent::cli::report("ascent", std::string("--trajectory ") + trajectory_path +
                                        ": the flight's state is no place after T+" + at +
                                        " s: the path written ends there");
    }
    json_file.commit();
    trajectory_file.commit();
    return 0;
  } catch (const ascent::Interrupted& e) {
    ascent::salvage_outputs(S);
    ascent::cli::report("ascent", std::string("stopped by ") + ascent::signal_name(e.signal) +
                                      ": every output flushed up to the step flown last");
    return ascent::exit_signal(e.signal);
  } catch (const ascent::FatalError& e) {
    ascent::salvage_outputs(S);
    ascent::cli::report("ascent", e.message);
    return e.code;
  } catch (const std::exception& e) {
    ascent::salvage_outputs(S);
    ascent::cli::report("ascent", std::string("internal error: ") + e.what());
    return ascent::exit_internal;
  }
}
