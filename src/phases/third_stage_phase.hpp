#pragma once
#include "session/session.hpp"

namespace ascent {

void third_stage_phase(Session& S);

}  // namespace ascent
