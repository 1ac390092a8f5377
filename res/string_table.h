// The string table for builds that have no Windows resources: the same texts as the
// resource script, from the same source.
#pragma once

#include "resource.h"

struct CStringResource {
  unsigned id;
  const char* text;
};

inline constexpr CStringResource kStringTable[] = {
#define CV_STRING(id, text) {id, text},
#include "strings.def"
#undef CV_STRING
};
