// The peer parsers, each in its own translation unit: osip's and sofia's SDP
// headers declare the same type names. Each call parses one datagram and
// returns the length of the Call-ID it found (0 on failure), so the work
// cannot be optimised away and a parse failure shows up before timing.
#pragma once

#include <cstddef>

namespace qv::bench {

void OsipInit();
size_t OsipParse(const char* data, size_t size);
// The message, then its SDP body when it has one (our parser reads the SDP too).
size_t OsipParseWithSdp(const char* data, size_t size);

size_t SofiaParse(const char* data, size_t size);
size_t SofiaParseWithSdp(const char* data, size_t size);

}  // namespace qv::bench
