#pragma once
#include <string>
#include <vector>

#include "io/channel.hpp"
#include "trajectory/step_table.hpp"

namespace ascent::test {

// Flushes a memory channel and returns every byte written to it.
inline std::string bytes(Channel& c) {
  c.flush();
  return c.contents();
}

// The lines of `text`, each of which must end with CR LF (a missing or bare
// line end leaves a piece with a stray byte or an unfinished tail, which the
// caller's comparison then shows).
inline std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find("\r\n", pos);
    if (end == std::string::npos) {
      out.push_back(text.substr(pos) + "<no CR LF>");
      break;
    }
    out.push_back(text.substr(pos, end - pos));
    pos = end + 2;
  }
  return out;
}

// The main output and the four data files of a step, all in memory.
struct MemoryOutputs {
  Channel main, speed, height, accel, dynpres;
  StepOutputs out;
  MemoryOutputs() {
    for (Channel* c : {&main, &speed, &height, &accel, &dynpres}) c->open_memory();
    out.main = &main;
    out.speedfile = &speed;
    out.heightfile = &height;
    out.accelfile = &accel;
    out.dynpresfile = &dynpres;
  }
};

}  // namespace ascent::test
