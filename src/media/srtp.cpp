#include "media/srtp.h"

#include <srtp2/srtp.h>

#include <cstring>
#include <mutex>
#include <stdexcept>

#include "sip/sipints.h"

namespace qv {

namespace {

void InitLibrary() {
  static std::once_flag once;
  static srtp_err_status_t status = srtp_err_status_ok;
  std::call_once(once, [] { status = srtp_init(); });
  if (status != srtp_err_status_ok) throw std::runtime_error("SRTP library failed to start");
}

}  // namespace

TSrtpSession::TSrtpSession(TDirection direction, int suite, const std::string& key) : suite_(suite), key_(key) {
  if (key.size() != size_t(kSrtpMasterKeyBytes)) throw std::invalid_argument("SRTP key of wrong length");
  InitLibrary();
  srtp_policy_t policy;
  std::memset(&policy, 0, sizeof policy);
  switch (suite) {
    case kSrtpAes128Sha1_80:
      srtp_crypto_policy_set_aes_cm_128_hmac_sha1_80(&policy.rtp);
      break;
    case kSrtpAes128Sha1_32:
      srtp_crypto_policy_set_aes_cm_128_hmac_sha1_32(&policy.rtp);
      break;
    default:
      throw std::invalid_argument("SRTP suite not supported");
  }
  // RFC 4568 6.2.1: SRTCP keeps the 80-bit tag whatever the RTP suite.
  srtp_crypto_policy_set_aes_cm_128_hmac_sha1_80(&policy.rtcp);
  policy.ssrc.type = direction == TDirection::Outbound ? ssrc_any_outbound : ssrc_any_inbound;
  // libsrtp reads the key through a non-const pointer but does not write it.
  policy.key = reinterpret_cast<unsigned char*>(const_cast<char*>(key_.data()));
  policy.window_size = 128;
  policy.allow_repeat_tx = 0;
  policy.next = nullptr;
  srtp_t session = nullptr;
  if (srtp_create(&session, &policy) != srtp_err_status_ok) throw std::runtime_error("SRTP session not created");
  session_ = session;
}

TSrtpSession::~TSrtpSession() {
  if (session_) srtp_dealloc(static_cast<srtp_t>(session_));
}

bool TSrtpSession::Protect(uint8_t* packet, int& length, int capacity) {
  if (length < 12 || capacity - length < SRTP_MAX_TRAILER_LEN) return false;
  int n = length;
  if (srtp_protect(static_cast<srtp_t>(session_), packet, &n) != srtp_err_status_ok) return false;
  length = n;
  return true;
}

bool TSrtpSession::Unprotect(uint8_t* packet, int& length) {
  if (length < 12) return false;
  int n = length;
  if (srtp_unprotect(static_cast<srtp_t>(session_), packet, &n) != srtp_err_status_ok) return false;
  length = n;
  return true;
}

}  // namespace qv
