// Where a node of a TOML document begins, for the readers' refusals given as
// FILE:LINE:COLUMN. The readers parse with error values instead of
// exceptions; this header parses the same way.
#pragma once
#ifndef TOML_EXCEPTIONS
#define TOML_EXCEPTIONS 0
#endif
#include <toml++/toml.h>

namespace ascent {

struct SourcePosition {
  long line = 1, column = 1;
};

// The line and column (from 1) where r begins; the file's start when the
// parser knows no place for it.
inline SourcePosition position_of(const toml::source_region& r) {
  if (!r.begin) return {};
  return {static_cast<long>(r.begin.line), static_cast<long>(r.begin.column)};
}

}  // namespace ascent
