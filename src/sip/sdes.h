// SRTP keys in SDP (SDES, RFC 4568): the a=crypto lines we write, the ones we
// take from a peer, and what an offer or an answer means for a call's SRTP
// given the account's mode.
//
// We write and take AES_CM_128_HMAC_SHA1_80 and AES_CM_128_HMAC_SHA1_32 with
// one inline key each. A line with several keys, an MKI or any session
// parameter (UNENCRYPTED_SRTP and friends change what the packets are) is
// passed over, so that the peer's next line may fit: RFC 4568 6.1 lets the
// answerer skip, line by line, what it does not support. A key lifetime is
// read and not enforced (a call does not send 2^20 packets in under 5 hours).
//
// Pure functions, any thread. NewSrtpMasterKey draws from OpenSSL's generator.
#pragma once

#include <string>
#include <string_view>

#include "sip/sdp.h"
#include "sip/sipints.h"

namespace qv {

// "AES_CM_128_HMAC_SHA1_80" for kSrtpAes128Sha1_80 and so on; empty for others.
std::string SrtpSuiteName(int suite);
// The suite number of a name (exact, as RFC 4568 writes them); kSrtpNone.
int SrtpSuiteByName(std::string_view name);

// kSrtpMasterKeyBytes fresh random bytes. Raises when the generator fails:
// a call must not go out with a key anyone could guess.
std::string NewSrtpMasterKey();

std::string Base64Encode(std::string_view bytes);
// False for text that is not base64 (RFC 4648 4, padding optional).
bool Base64Decode(std::string_view text, std::string& bytes);

// "a=crypto:<tag> <suite> inline:<key>" + CRLF.
std::string CryptoLine(int tag, int suite, const std::string& key);

// One usable a=crypto line: its tag, suite and the peer's key (raw bytes).
struct TSdesKey {
  int Tag = -1;
  int Suite = kSrtpNone;
  std::string Key;
};
// False when the line cannot be used (see the file comment).
bool ReadCrypto(const TSdpCrypto& line, TSdesKey& key);

// What a call does with a peer's SDP, for an account whose SRTP mode is
// `mode` and that may send keys (`keysAllowed`: TLS, or the account allows
// keys over another transport).
enum class TSrtpVerdict {
  Plain,   // plain RTP: SRTP is off, or optional and the peer does without
  Secure,  // SRTP with the key in `srtp`
  Refuse,  // no call: mandatory without SRTP, or an SRTP profile we cannot serve
};

// A peer's offer (an INVITE or re-INVITE). `srtp` keeps the call's own key
// (made here when it has none and one is needed) and comes back with what
// the answer must say.
TSrtpVerdict AnswerSrtp(const TSdpAudio& offer, TSrtpMode mode, bool keysAllowed, TCallSrtp& srtp);

// A peer's answer to our offer (which carried `srtp`). A crypto line must
// name a tag we offered, with that tag's suite.
TSrtpVerdict TakeSrtpAnswer(const TSdpAudio& answer, TSrtpMode mode, TCallSrtp& srtp);

// Our offer (an INVITE or re-INVITE): fills `srtp` with what it says.
// False when the call cannot be made: mandatory SRTP and keys not allowed.
bool OfferSrtp(TSrtpMode mode, bool keysAllowed, TCallSrtp& srtp);

// The tags our offer gives its two lines.
constexpr int kOfferTag80 = 1;
constexpr int kOfferTag32 = 2;

}  // namespace qv
