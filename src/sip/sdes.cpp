#include "sip/sdes.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <stdexcept>

namespace qv {

namespace {

using sv = std::string_view;

constexpr sv kInline = "inline:";

bool IsBase64Char(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
}

// "2^20" or "1048576": the only two forms RFC 4568 9.1 gives a lifetime.
bool ValidLifetime(sv text) {
  if (text.size() > 2 && text[0] == '2' && text[1] == '^') text.remove_prefix(2);
  if (text.empty() || text.size() > 20) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  return true;
}

}  // namespace

std::string SrtpSuiteName(int suite) {
  switch (suite) {
    case kSrtpAes128Sha1_80:
      return "AES_CM_128_HMAC_SHA1_80";
    case kSrtpAes128Sha1_32:
      return "AES_CM_128_HMAC_SHA1_32";
    default:
      return "";
  }
}

int SrtpSuiteByName(sv name) {
  if (name == "AES_CM_128_HMAC_SHA1_80") return kSrtpAes128Sha1_80;
  if (name == "AES_CM_128_HMAC_SHA1_32") return kSrtpAes128Sha1_32;
  return kSrtpNone;
}

std::string NewSrtpMasterKey() {
  std::string key(kSrtpMasterKeyBytes, '\0');
  if (RAND_bytes(reinterpret_cast<unsigned char*>(key.data()), int(key.size())) != 1)
    throw std::runtime_error("no random numbers for an SRTP key");
  return key;
}

std::string Base64Encode(sv bytes) {
  std::string text(4 * ((bytes.size() + 2) / 3), '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                                reinterpret_cast<const unsigned char*>(bytes.data()), int(bytes.size()));
  text.resize(size_t(std::max(n, 0)));
  return text;
}

bool Base64Decode(sv text, std::string& bytes) {
  // EVP_DecodeBlock takes only whole quartets and skips blanks it should not:
  // the text is checked here, padding restored, and the pad bytes cut after.
  size_t pad = 0;
  while (pad < 2 && pad < text.size() && text[text.size() - 1 - pad] == '=') ++pad;
  sv body = text.substr(0, text.size() - pad);
  if (body.empty() || body.size() > 4096) return false;
  for (char c : body)
    if (!IsBase64Char(c)) return false;
  if (body.size() % 4 == 1) return false;
  std::string padded(body);
  const size_t missing = (4 - padded.size() % 4) % 4;
  padded.append(missing, '=');
  bytes.assign(padded.size() / 4 * 3, '\0');
  const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()),
                                reinterpret_cast<const unsigned char*>(padded.data()), int(padded.size()));
  if (n < 0) return false;
  bytes.resize(size_t(n) - missing);
  return true;
}

std::string CryptoLine(int tag, int suite, const std::string& key) {
  return "a=crypto:" + std::to_string(tag) + " " + SrtpSuiteName(suite) + " inline:" + Base64Encode(key) + "\r\n";
}

bool ReadCrypto(const TSdpCrypto& line, TSdesKey& key) {
  const int suite = SrtpSuiteByName(line.Suite);
  if (suite == kSrtpNone || line.Tag < 0 || !line.SessionParams.empty()) return false;
  sv params = line.KeyParams;
  // One key only: several (';') would need MKIs to tell them apart.
  if (params.substr(0, kInline.size()) != kInline || params.find(';') != sv::npos) return false;
  params.remove_prefix(kInline.size());
  const size_t bar = params.find('|');
  sv keyText = params.substr(0, bar);
  if (bar != sv::npos) {
    sv rest = params.substr(bar + 1);
    // "|lifetime", and never "|MKI:length" (nor a second bar, which carries one).
    if (rest.find('|') != sv::npos || rest.find(':') != sv::npos || !ValidLifetime(rest)) return false;
  }
  std::string bytes;
  if (!Base64Decode(keyText, bytes) || bytes.size() != size_t(kSrtpMasterKeyBytes)) return false;
  key.Tag = line.Tag;
  key.Suite = suite;
  key.Key = std::move(bytes);
  return true;
}

bool OfferSrtp(TSrtpMode mode, bool keysAllowed, TCallSrtp& srtp) {
  if (mode == TSrtpMode::Off || !keysAllowed) {
    srtp.Offer = srtp.Savp = false;
    return mode != TSrtpMode::Mandatory;
  }
  if (srtp.LocalKey.empty()) srtp.LocalKey = NewSrtpMasterKey();
  srtp.Offer = true;
  srtp.Savp = mode == TSrtpMode::Mandatory;
  return true;
}

TSrtpVerdict AnswerSrtp(const TSdpAudio& offer, TSrtpMode mode, bool keysAllowed, TCallSrtp& srtp) {
  auto plain = [&srtp] {
    srtp.Offer = srtp.Savp = false;
    srtp.Suite = kSrtpNone;
    srtp.Tag = 0;
    srtp.RemoteKey.clear();
    return TSrtpVerdict::Plain;
  };
  // An offer that asks for SRTP cannot be answered with plain RTP; one that
  // only proposes it (RTP/AVP with crypto lines) can.
  const bool required = offer.SecureProfile() || mode == TSrtpMode::Mandatory;
  if (mode == TSrtpMode::Off || !keysAllowed) return required ? TSrtpVerdict::Refuse : plain();
  for (const TSdpCrypto& line : offer.Cryptos) {
    TSdesKey key;
    if (!ReadCrypto(line, key)) continue;
    if (srtp.LocalKey.empty()) srtp.LocalKey = NewSrtpMasterKey();
    srtp.Offer = true;
    srtp.Savp = offer.SecureProfile();
    srtp.Suite = key.Suite;
    srtp.Tag = key.Tag;
    srtp.RemoteKey = std::move(key.Key);
    return TSrtpVerdict::Secure;
  }
  return required ? TSrtpVerdict::Refuse : plain();
}

TSrtpVerdict TakeSrtpAnswer(const TSdpAudio& answer, TSrtpMode mode, TCallSrtp& srtp) {
  if (!srtp.Offer) {
    // We offered plain RTP; what the answer says about SRTP cannot change that.
    srtp.Suite = kSrtpNone;
    return mode == TSrtpMode::Mandatory ? TSrtpVerdict::Refuse : TSrtpVerdict::Plain;
  }
  if (answer.Cryptos.empty()) {
    if (srtp.Savp || answer.SecureProfile() || mode == TSrtpMode::Mandatory) return TSrtpVerdict::Refuse;
    srtp.Suite = kSrtpNone;
    srtp.Tag = 0;
    srtp.RemoteKey.clear();
    return TSrtpVerdict::Plain;
  }
  // RFC 4568 5.1.2: the answer has one line, with the tag of the offer's
  // line it accepts. Anything else would leave us decrypting with the wrong
  // suite (or playing ciphertext as audio): no call.
  TSdesKey key;
  if (answer.Cryptos.size() != 1 || !ReadCrypto(answer.Cryptos[0], key)) return TSrtpVerdict::Refuse;
  const bool offered = (key.Tag == kOfferTag80 && key.Suite == kSrtpAes128Sha1_80) ||
                       (key.Tag == kOfferTag32 && key.Suite == kSrtpAes128Sha1_32);
  if (!offered) return TSrtpVerdict::Refuse;
  srtp.Suite = key.Suite;
  srtp.Tag = key.Tag;
  srtp.RemoteKey = std::move(key.Key);
  return TSrtpVerdict::Secure;
}

}  // namespace qv
