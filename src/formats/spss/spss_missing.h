// SPSS missing-value entries (system and portable files alike: 1 a value, 2 value thru
// highest, 3 lowest thru value, 4 the two ends of a closed range) as the dictionary's
// user-missing declaration.
#pragma once

#include "dict/user_missing.h"

namespace tabulon {

template <class Entry>
MissingSpec spss_missing_spec(const Entry* e, int n) {
  MissingSpec m;
  for (int i = 0; i < n && m.count < 3; ++i) {
    switch (e[i].kind) {
      case 1: m.entry[m.count++] = {kMissValue, e[i].value, 0}; break;
      case 2: m.entry[m.count++] = {kMissAtLeast, e[i].value, 0}; break;
      case 3: m.entry[m.count++] = {kMissAtMost, e[i].value, 0}; break;
      case 4:
        if (i + 1 < n && e[i + 1].kind == 4) {
          m.entry[m.count++] = {kMissRange, e[i].value, e[i + 1].value};
          ++i;
        }
        break;
      default: break;
    }
  }
  return m;
}

}  // namespace tabulon
