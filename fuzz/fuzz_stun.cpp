// Binding answers as a hostile or broken server might send them: any bytes
// must read back as no address or as one dotted IPv4 address, never more.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "sip/stun.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string d(reinterpret_cast<const char*>(data), size);
  (void)qv::IsStunAnswer(d);
  std::string id = qv::StunAnswerTransactionId(d);
  if (!id.empty() && id.size() != 16) std::abort();
  std::string address = qv::StunMappedAddress(d);
  if (address.size() > 15) std::abort();
  int dots = 0;
  for (char c : address) {
    if (c == '.') {
      ++dots;
    } else if (c < '0' || c > '9') {
      std::abort();
    }
  }
  if (!address.empty() && dots != 3) std::abort();
  return 0;
}
