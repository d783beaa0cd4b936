// libFuzzer over TSipMessage: any datagram must parse without a crash, a hang
// or a read past the text, and the result must keep the parser's invariants
// (values cut from one line of the text, length limits, digits-only ports).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "../tests/support/sipmessage_invariants.h"
#include "sip/sipmessage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  qv::TSipMessage m(text);
  std::string broken = qv::testing::CheckSipMessageInvariants(m, text);
  if (!broken.empty()) {
    std::fprintf(stderr, "invariant broken: %s\n", broken.c_str());
    std::abort();
  }
  // The accessors must be safe at every index the counts allow, and the
  // route accessor at any index.
  for (int i = 0; i < m.PayloadTypeCount(); ++i) (void)m.PayloadType(i);
  for (int i = -1; i <= m.RecordRouteCount(); ++i) (void)m.RecordRoute(i);
  return 0;
}
