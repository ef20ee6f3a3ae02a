#include "atmosphere/environment.hpp"

namespace ascent {

const Environment& builtin_environment() {
  static const Environment e{};
  return e;
}

}  // namespace ascent
