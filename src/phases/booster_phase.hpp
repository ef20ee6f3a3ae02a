#pragma once
#include "session/session.hpp"

namespace ascent {

void booster_phase(Session& S);

}  // namespace ascent
