// ascent: flies a three-stage launch vehicle from the pad into Earth orbit,
// one integration step at a time, from the answers on standard input and the
// booster thrust profile "s1.dat".
#include <csignal>
#include <cstdio>
#include <exception>

#include <string>
#include <string_view>

#include "io/fatal_error.hpp"
#include "session/session.hpp"
#include "vehicle/description_file.hpp"

namespace {

constexpr int exit_usage = 64;  // an unknown option or one without its value

// Writes text to standard output, checked: exit code 0 or 101.
int print_text(const std::string& text) {
  if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0) {
    std::fprintf(stderr, "ascent: standard output: write error\r\n");
    return ascent::err_write;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
#ifdef SIGPIPE
  // A reader that goes away (ascent | head) is a failed write like any
  // other: exit code 101, not a silent death by signal.
  std::signal(SIGPIPE, SIG_IGN);
#endif
  // The vehicle: built in, or read (and refused if it is bad) before
  // anything is created. --print-vehicle-keys writes the README's key
  // reference.
  const char* vehicle_path = nullptr;
  bool print_vehicle = false, print_keys = false;
  for (int i = 1; i < argc; ++i) {
    std::string_view a = argv[i];
    if (a == "--vehicle" && i + 1 < argc) {
      vehicle_path = argv[++i];
    } else if (a == "--print-vehicle") {
      print_vehicle = true;
    } else if (a == "--print-vehicle-keys") {
      print_keys = true;
    } else {
      std::fprintf(stderr, a == "--vehicle" ? "ascent: %s needs a file name\r\n" : "ascent: unknown option %s\r\n",
                   argv[i]);
      return exit_usage;
    }
  }
  if (print_vehicle) return print_text(ascent::write_description(ascent::builtin_description()));
  if (print_keys) return print_text(ascent::key_reference_markdown());
  ascent::Description desc;
  if (vehicle_path != nullptr) {
    try {
      desc = ascent::read_description(vehicle_path);
    } catch (const ascent::FatalError& e) {
      std::fprintf(stderr, "ascent: %s\r\n", e.message.c_str());
      return e.code;
    }
  }

  ascent::Session S;
  S.desc = &desc;
  if (!desc.profile.empty()) S.profile_path = ascent::resolved_profile_path(desc);
  S.stdout_ch.open_stream(stdout, "standard output");
  S.input.open_stream(stdin, "standard input");
  try {
    ascent::run_session(S);
    return 0;
  } catch (const ascent::FatalError& e) {
    ascent::salvage_outputs(S);
    std::fprintf(stderr, "ascent: %s\r\n", e.message.c_str());
    return e.code;
  } catch (const std::exception& e) {
    ascent::salvage_outputs(S);
    std::fprintf(stderr, "ascent: internal error: %s\r\n", e.what());
    return 1;
  }
}
