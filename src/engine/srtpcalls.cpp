#include "engine/srtpcalls.h"

#include "platform/errors.h"
#include "sip/sdes.h"
#include "sip/sipmessage.h"

namespace qv {

bool SrtpKeysAllowed(ISipAccount& account) {
  return account.GetTransport() == TSipTransport::Tls || account.GetSrtpKeysWithoutTls();
}

void PrepareSrtpOffer(ISipCall& call, ISipAccount& account) {
  TCallSrtp srtp = call.GetSrtp();
  if (!OfferSrtp(account.GetSrtpMode(), SrtpKeysAllowed(account), srtp)) throw Exception(kSrtpNeedsTls);
  // Only what the offer says changes; the settled keys stay until the answer.
  if (!(srtp == call.GetSrtp())) call.SetSrtp(srtp);
}

bool ReadSrtpOffer(const TSipMessage& m, ISipAccount& account, TCallSrtp& srtp) {
  return AnswerSrtp(m.SdpAudio, account.GetSrtpMode(), SrtpKeysAllowed(account), srtp) != TSrtpVerdict::Refuse;
}

bool ApplySrtpAnswer(ISipCall& call, ISipAccount& account, const TSipMessage& m) {
  TCallSrtp srtp = call.GetSrtp();
  if (TakeSrtpAnswer(m.SdpAudio, account.GetSrtpMode(), srtp) == TSrtpVerdict::Refuse) return false;
  if (!(srtp == call.GetSrtp())) call.SetSrtp(srtp);
  return true;
}

}  // namespace qv
