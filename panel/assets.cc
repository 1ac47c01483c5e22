#include "panel/assets.h"

#include <strings.h>

const embedded_file* embedded_find(std::string_view name) {
  for (const embedded_file* f = embedded_files_table; f->name != nullptr; ++f) {
    std::string_view candidate(f->name);
    if (candidate.size() == name.size() &&
        strncasecmp(candidate.data(), name.data(), name.size()) == 0)
      return f;
  }
  return nullptr;
}
