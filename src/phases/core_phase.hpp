#pragma once
#include "session/session.hpp"

namespace ascent {

void core_phase(Session& S);

}  // namespace ascent
