// A realistic account, calls and received messages for the builder tests. All
// identifiers are fixed so that golden texts can be written by hand.
#pragma once

#include <memory>
#include <string>

#include "dialogs/account.h"
#include "dialogs/call.h"
#include "support/fake_engine.h"

namespace qv::test {

// A codec that only names its payload type (the SDP answer reads nothing else).
class TFakeCodec : public IAudioCodec {
public:
  explicit TFakeCodec(int payloadType) : payloadType_(payloadType) {}
  int GetFrameSize() override { return kFrameSamples; }
  int GetPayloadType() override { return payloadType_; }
  int Decode(const uint8_t*, int16_t*, int) override { return 0; }
  int Encode(const int16_t*, uint8_t*) override { return 0; }

private:
  int payloadType_;
};

// 1001 at pbx.example.org, local 192.168.1.20:5075, CSeq 7, no display name,
// no public address, no challenge.
std::shared_ptr<TAccount> MakeAccount();

// An outgoing call from MakeAccount() to 1002: LocalCSeq 21, RTP port 20002,
// SDP session 4321 version 1, remote tag and Contact set as after a 200 OK.
std::shared_ptr<TCall> MakeOutgoingCall(const std::shared_ptr<TFakeEngine>& engine,
                                        const ISipAccountPtr& account);

// An incoming call from 1002 as the engine fills it from kIncomingInvite.
std::shared_ptr<TCall> MakeIncomingCall(const std::shared_ptr<TFakeEngine>& engine,
                                        const ISipAccountPtr& account);

extern const char* const kIncomingInvite;  // INVITE from 1002 via the PBX, two Record-Routes
extern const char* const kIncomingInfo;    // INFO with a DTMF digit inside that dialog
extern const char* const kOptions;         // OPTIONS from the PBX
extern const char* const kInvite200;       // 200 OK to our INVITE, with Contact
extern const char* const kInvite486;       // 486 to our INVITE, no Contact
extern const char* const kMessage407;      // 407 to our MESSAGE to 1003

}  // namespace qv::test
