#include "dialogs/guids.h"

#include <uuid/uuid.h>

namespace qv {

std::string NewHexId() {
  uuid_t id;
  uuid_generate_random(id);
  // The canonical GUID text without braces and hyphens: Data1, Data2 and Data3
  // are little-endian numbers in a GUID's memory, but the text shows them
  // most significant digit first, which is the byte order libuuid keeps.
  static const char digits[] = "0123456789ABCDEF";
  std::string text(32, '0');
  for (int i = 0; i < 16; ++i) {
    text[size_t(2 * i)] = digits[id[i] >> 4];
    text[size_t(2 * i + 1)] = digits[id[i] & 15];
  }
  return text;
}

std::string NewBranch() { return "z9hG4bK" + NewHexId().substr(0, 10); }

std::string NewTag() { return NewHexId().substr(0, 9); }

}  // namespace qv
