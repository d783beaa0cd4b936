#include "sip/stun.h"

#include <cstdint>
#include <cstdio>

namespace qv {

namespace {

uint16_t Be16(const std::string& d, size_t i) {
  return uint16_t((uint8_t(d[i]) << 8) | uint8_t(d[i + 1]));
}

std::string Dotted(const std::string& d, size_t i, uint8_t mask0 = 0, uint8_t mask1 = 0,
                   uint8_t mask2 = 0, uint8_t mask3 = 0) {
  char text[16];
  std::snprintf(text, sizeof text, "%d.%d.%d.%d", uint8_t(d[i]) ^ mask0, uint8_t(d[i + 1]) ^ mask1,
                uint8_t(d[i + 2]) ^ mask2, uint8_t(d[i + 3]) ^ mask3);
  return text;
}

}  // namespace

std::string StunTransactionId(const std::string& callId) {
  return callId.size() > 15 ? callId.substr(15, 16) : std::string();
}

std::string StunBindingRequest(const std::string& transactionId) {
  std::string request("\x00\x01\x00\x08", 4);
  request += transactionId;
  request += std::string("\x00\x03\x00\x04\x00\x00\x00\x00", 8);
  return request;
}

bool IsStunAnswer(const std::string& d) { return d.size() >= 2 && d[0] == '\x01' && d[1] == '\x01'; }

std::string StunAnswerTransactionId(const std::string& d) {
  return d.size() >= 20 ? d.substr(4, 16) : std::string();
}

// Classic servers put MAPPED-ADDRESS first; RFC 5389 servers may put
// XOR-MAPPED-ADDRESS before it or send only that, so every attribute inside
// the datagram is looked at.
std::string StunMappedAddress(const std::string& d) {
  std::string xorMapped;
  size_t i = 20;
  while (i + 4 <= d.size()) {
    uint16_t type = Be16(d, i);
    uint16_t length = Be16(d, i + 2);
    size_t value = i + 4;
    if (value + length > d.size()) break;
    bool ipv4 = length >= 8 && uint8_t(d[value + 1]) == 0x01;
    if (type == 0x0001 && ipv4) return Dotted(d, value + 4);
    if (type == 0x0020 && ipv4 && xorMapped.empty())
      xorMapped = Dotted(d, value + 4, 0x21, 0x12, 0xA4, 0x42);  // the magic cookie
    i = value + ((length + 3u) & ~3u);
  }
  return xorMapped;
}

}  // namespace qv
