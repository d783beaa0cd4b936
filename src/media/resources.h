// Sound resources carried inside the program, each a complete RIFF/WAVE file:
// 1-12 the DTMF tones played for in-band digits (1-9 the digits "1"-"9",
// 10 "0", 11 "*", 12 "#") and 13 the ring tone. They are generated at build
// time from their recipe (resources/tonegen.cpp); the same files are left in
// the build tree for the desktop application's resource file.
#pragma once

#include <cstddef>
#include <string_view>

namespace qv {

constexpr int kRingResource = 13;

// The bytes of resource `number`; empty for a number that names none.
std::string_view GetResource(int number);
// Its file name in the build tree ("dtmf_1.wav", ..., "ring.wav"); empty for none.
std::string_view GetResourceName(int number);

namespace detail {
struct TResourceEntry {
  int number;
  const char* name;
  const unsigned char* data;
  std::size_t size;
};
// Defined by the generated source.
extern const TResourceEntry kResourceEntries[];
extern const int kResourceEntryCount;
}  // namespace detail

}  // namespace qv
