// SRTP keys in SDP: the a=crypto lines a peer sends, what we take from them,
// and what each SRTP mode makes of an offer or an answer.
#include <gtest/gtest.h>

#include <string>

#include "sip/sdes.h"
#include "sip/sdp.h"
#include "sip/sipmessage.h"

namespace qv::test {
namespace {

// 30 bytes 0..29 in base64: a key any line below may carry.
const std::string kKeyBytes = [] {
  std::string k;
  for (int i = 0; i < kSrtpMasterKeyBytes; ++i) k += char(i);
  return k;
}();
const std::string kKey = Base64Encode(kKeyBytes);

TSdpAudio Read(const std::string& body) {
  TSdpAudio audio;
  TSdpAudioReader reader(audio);
  size_t start = 0;
  while (start < body.size()) {
    size_t end = body.find("\r\n", start);
    if (end == std::string::npos) end = body.size();
    reader.Line(std::string_view(body).substr(start, end - start));
    start = end + 2;
  }
  return audio;
}

std::string Sdp(const std::string& profile, const std::string& cryptoLines) {
  return "v=0\r\no=- 1 1 IN IP4 10.0.0.2\r\ns=-\r\nc=IN IP4 10.0.0.2\r\nt=0 0\r\n"
         "m=audio 4000 " + profile + " 0 101\r\na=rtpmap:101 telephone-event/8000\r\n" + cryptoLines;
}

TEST(Sdes, Base64RoundTripsAndRefusesWhatIsNotBase64) {
  EXPECT_EQ(kKey.size(), 40u);
  std::string back;
  ASSERT_TRUE(Base64Decode(kKey, back));
  EXPECT_EQ(back, kKeyBytes);
  // Padding may be left out; blanks, other characters and a lone sixth bit may not.
  ASSERT_TRUE(Base64Decode("QUI", back));
  EXPECT_EQ(back, "AB");
  ASSERT_TRUE(Base64Decode("QUI=", back));
  EXPECT_EQ(back, "AB");
  EXPECT_FALSE(Base64Decode("QU I=", back));
  EXPECT_FALSE(Base64Decode("QUI*", back));
  EXPECT_FALSE(Base64Decode("QUJDR", back));
  EXPECT_FALSE(Base64Decode("", back));
}

TEST(Sdes, SdpReadsProfileCryptoLinesAndSavpPayloadTypes) {
  TSdpAudio audio = Read(Sdp("RTP/SAVP", "a=crypto:1 AES_CM_128_HMAC_SHA1_80 inline:" + kKey +
                                             "|2^20\r\na=crypto:7  AES_CM_128_HMAC_SHA1_32\tinline:" + kKey +
                                             " UNENCRYPTED_SRTP\r\na=crypto:x AES inline:y\r\n"));
  EXPECT_EQ(audio.Profile, "RTP/SAVP");
  EXPECT_TRUE(audio.SecureProfile());
  EXPECT_EQ(audio.PayloadTypes, (std::vector<int>{0, 101}));
  ASSERT_EQ(audio.Cryptos.size(), 2u);  // the line without a tag number is no line
  EXPECT_EQ(audio.Cryptos[0].Tag, 1);
  EXPECT_EQ(audio.Cryptos[0].KeyParams, "inline:" + kKey + "|2^20");
  EXPECT_EQ(audio.Cryptos[1].Tag, 7);
  EXPECT_EQ(audio.Cryptos[1].Suite, "AES_CM_128_HMAC_SHA1_32");
  EXPECT_EQ(audio.Cryptos[1].SessionParams, "UNENCRYPTED_SRTP");
  EXPECT_FALSE(Read(Sdp("RTP/AVP", "")).SecureProfile());

  // The message parser also lists the payload types of an SRTP offer.
  TSipMessage m("INVITE sip:a@b SIP/2.0\r\nContent-Type: application/sdp\r\n\r\n" + Sdp("RTP/SAVP", ""));
  EXPECT_EQ(m.PayloadTypes, (std::vector<int>{0}));
}

TEST(Sdes, ReadCryptoTakesOnlyWhatWeCanServe) {
  auto read = [](const std::string& suite, const std::string& params, const std::string& session = "") {
    TSdesKey key;
    return ReadCrypto({3, suite, params, session}, key) ? key.Suite : -1;
  };
  EXPECT_EQ(read("AES_CM_128_HMAC_SHA1_80", "inline:" + kKey), kSrtpAes128Sha1_80);
  EXPECT_EQ(read("AES_CM_128_HMAC_SHA1_32", "inline:" + kKey + "|2^31"), kSrtpAes128Sha1_32);
  EXPECT_EQ(read("AES_CM_128_HMAC_SHA1_80", "inline:" + kKey + "|1048576"), kSrtpAes128Sha1_80);
  // Suites we do not have, an MKI, two keys, a session parameter, a short
  // key, a lifetime that is no number: all passed over.
  EXPECT_EQ(read("AES_256_CM_HMAC_SHA1_80", "inline:" + kKey), -1);
  EXPECT_EQ(read("AES_CM_128_HMAC_SHA1_80", "inline:" + kKey + "|2^20|1:4"), -1);
  EXPECT_EQ(read("AES_CM_128_HMAC_SHA1_80", "inline:" + kKey + "|1:4"), -1);
  EXPECT_EQ(read("AES_CM_128_HMAC_SHA1_80", "inline:" + kKey + ";inline:" + kKey), -1);
  EXPECT_EQ(read("AES_CM_128_HMAC_SHA1_80", "inline:" + kKey, "KDR=1"), -1);
  EXPECT_EQ(read("AES_CM_128_HMAC_SHA1_80", "inline:" + kKey.substr(0, 36)), -1);
  EXPECT_EQ(read("AES_CM_128_HMAC_SHA1_80", "inline:" + kKey + "|forever"), -1);
  EXPECT_EQ(read("AES_CM_128_HMAC_SHA1_80", "uri:" + kKey), -1);

  TSdesKey key;
  ASSERT_TRUE(ReadCrypto({3, "AES_CM_128_HMAC_SHA1_80", "inline:" + kKey, ""}, key));
  EXPECT_EQ(key.Key, kKeyBytes);
  EXPECT_EQ(CryptoLine(2, kSrtpAes128Sha1_32, kKeyBytes), "a=crypto:2 AES_CM_128_HMAC_SHA1_32 inline:" + kKey + "\r\n");
}

TEST(Sdes, OfferPerModeAndTransport) {
  TCallSrtp srtp;
  EXPECT_TRUE(OfferSrtp(TSrtpMode::Off, true, srtp));
  EXPECT_FALSE(srtp.Offer);
  EXPECT_TRUE(srtp.LocalKey.empty());  // nothing made for a plain call
  EXPECT_TRUE(OfferSrtp(TSrtpMode::Optional, false, srtp));  // keys may not go out: plain
  EXPECT_FALSE(srtp.Offer);
  EXPECT_FALSE(OfferSrtp(TSrtpMode::Mandatory, false, srtp));  // and then no call

  ASSERT_TRUE(OfferSrtp(TSrtpMode::Optional, true, srtp));
  EXPECT_TRUE(srtp.Offer);
  EXPECT_FALSE(srtp.Savp);
  ASSERT_EQ(srtp.LocalKey.size(), size_t(kSrtpMasterKeyBytes));
  const std::string key = srtp.LocalKey;
  ASSERT_TRUE(OfferSrtp(TSrtpMode::Mandatory, true, srtp));
  EXPECT_TRUE(srtp.Savp);
  EXPECT_EQ(srtp.LocalKey, key);  // a re-offer keeps the call's key
  TCallSrtp other;
  OfferSrtp(TSrtpMode::Optional, true, other);
  EXPECT_NE(other.LocalKey, key);
}

TEST(Sdes, AnswerToAPeersOfferPerMode) {
  const std::string line80 = "a=crypto:5 AES_CM_128_HMAC_SHA1_80 inline:" + kKey + "\r\n";
  const std::string mki = "a=crypto:4 AES_CM_128_HMAC_SHA1_80 inline:" + kKey + "|2^20|1:4\r\n";
  auto verdict = [](const std::string& sdp, TSrtpMode mode, bool allowed, TCallSrtp* out = nullptr) {
    TCallSrtp srtp;
    TSrtpVerdict v = AnswerSrtp(Read(sdp), mode, allowed, srtp);
    if (out) *out = srtp;
    return v;
  };
  // Off: what SRTP asks for is refused, what it merely proposes is answered plain.
  EXPECT_EQ(verdict(Sdp("RTP/SAVP", line80), TSrtpMode::Off, true), TSrtpVerdict::Refuse);
  EXPECT_EQ(verdict(Sdp("RTP/AVP", line80), TSrtpMode::Off, true), TSrtpVerdict::Plain);
  EXPECT_EQ(verdict(Sdp("RTP/AVP", ""), TSrtpMode::Off, false), TSrtpVerdict::Plain);
  // Optional.
  EXPECT_EQ(verdict(Sdp("RTP/AVP", ""), TSrtpMode::Optional, true), TSrtpVerdict::Plain);
  EXPECT_EQ(verdict(Sdp("RTP/AVP", line80), TSrtpMode::Optional, false), TSrtpVerdict::Plain);
  EXPECT_EQ(verdict(Sdp("RTP/SAVP", line80), TSrtpMode::Optional, false), TSrtpVerdict::Refuse);
  EXPECT_EQ(verdict(Sdp("RTP/SAVP", mki), TSrtpMode::Optional, true), TSrtpVerdict::Refuse);
  TCallSrtp srtp;
  ASSERT_EQ(verdict(Sdp("RTP/AVP", mki + line80), TSrtpMode::Optional, true, &srtp), TSrtpVerdict::Secure);
  EXPECT_TRUE(srtp.Offer);
  EXPECT_FALSE(srtp.Savp);  // answered in the offer's profile
  EXPECT_EQ(srtp.Tag, 5);   // the first line we can serve
  EXPECT_EQ(srtp.Suite, kSrtpAes128Sha1_80);
  EXPECT_EQ(srtp.RemoteKey, kKeyBytes);
  EXPECT_EQ(srtp.LocalKey.size(), size_t(kSrtpMasterKeyBytes));
  // Mandatory: nothing without SRTP.
  EXPECT_EQ(verdict(Sdp("RTP/AVP", ""), TSrtpMode::Mandatory, true), TSrtpVerdict::Refuse);
  EXPECT_EQ(verdict(Sdp("RTP/SAVP", line80), TSrtpMode::Mandatory, false), TSrtpVerdict::Refuse);
  ASSERT_EQ(verdict(Sdp("RTP/SAVP", line80), TSrtpMode::Mandatory, true, &srtp), TSrtpVerdict::Secure);
  EXPECT_TRUE(srtp.Savp);
  // An offer without SDP (the offer is ours to make later) cannot promise SRTP.
  EXPECT_EQ(verdict("", TSrtpMode::Mandatory, true), TSrtpVerdict::Refuse);
  EXPECT_EQ(verdict("", TSrtpMode::Optional, true), TSrtpVerdict::Plain);
}

TEST(Sdes, TakingTheAnswerToOurOffer) {
  TCallSrtp offered;
  ASSERT_TRUE(OfferSrtp(TSrtpMode::Optional, true, offered));
  auto take = [&](const std::string& sdp, TSrtpMode mode, TCallSrtp* out = nullptr) {
    TCallSrtp srtp = offered;
    TSrtpVerdict v = TakeSrtpAnswer(Read(sdp), mode, srtp);
    if (out) *out = srtp;
    return v;
  };
  TCallSrtp srtp;
  ASSERT_EQ(take(Sdp("RTP/AVP", "a=crypto:2 AES_CM_128_HMAC_SHA1_32 inline:" + kKey + "\r\n"), TSrtpMode::Optional, &srtp),
            TSrtpVerdict::Secure);
  EXPECT_EQ(srtp.Suite, kSrtpAes128Sha1_32);
  EXPECT_EQ(srtp.RemoteKey, kKeyBytes);
  EXPECT_EQ(srtp.LocalKey, offered.LocalKey);
  EXPECT_EQ(take(Sdp("RTP/AVP", ""), TSrtpMode::Optional, &srtp), TSrtpVerdict::Plain);
  EXPECT_FALSE(srtp.Active());
  EXPECT_EQ(take(Sdp("RTP/AVP", ""), TSrtpMode::Mandatory), TSrtpVerdict::Refuse);
  EXPECT_EQ(take(Sdp("RTP/SAVP", ""), TSrtpMode::Optional), TSrtpVerdict::Refuse);
  // A tag we never offered, or our tag with the other suite: the peer would
  // encrypt in a way we cannot read. Two lines are no answer either.
  EXPECT_EQ(take(Sdp("RTP/AVP", "a=crypto:3 AES_CM_128_HMAC_SHA1_80 inline:" + kKey + "\r\n"), TSrtpMode::Optional),
            TSrtpVerdict::Refuse);
  EXPECT_EQ(take(Sdp("RTP/AVP", "a=crypto:1 AES_CM_128_HMAC_SHA1_32 inline:" + kKey + "\r\n"), TSrtpMode::Optional),
            TSrtpVerdict::Refuse);
  EXPECT_EQ(take(Sdp("RTP/AVP", "a=crypto:1 AES_CM_128_HMAC_SHA1_80 inline:" + kKey +
                                    "\r\na=crypto:2 AES_CM_128_HMAC_SHA1_32 inline:" + kKey + "\r\n"),
                 TSrtpMode::Optional),
            TSrtpVerdict::Refuse);
}

}  // namespace
}  // namespace qv::test
