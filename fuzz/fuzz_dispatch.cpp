// The incoming-datagram dispatcher against a scripted state: an account that
// is registered and one call in each state the engine knows, incoming and
// outgoing. Each input is one datagram, either as given (first byte even) or
// built from a template that names one of the calls with its own or foreign
// tags, a method or a status, and the input's remaining bytes as further
// headers and body. The state is made again for every input.
//
// The engine answers where the datagram's Via says, so this runs only in a
// network namespace that holds nothing but loopback (tests/interop/
// run_in_netns.sh); it refuses to start anywhere else.
#include <ifaddrs.h>
#include <net/if.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "dialogs/call.h"
#include "engine/sipengine.h"
#include "platform/messagequeue.h"

namespace {

using namespace qv;

constexpr int kServerPort = 5999;
constexpr int kStrangerPort = 6001;

struct TScript {
  TCallState State;
  bool Incoming;
  bool Confirmed;
};

const TScript kCalls[] = {
    {TCallState::InviteSent, false, false},    {TCallState::InviteAuthSent, false, false},
    {TCallState::Ringing, false, false},       {TCallState::Ringing, true, false},
    {TCallState::Connected, false, true},      {TCallState::Connected, true, true},
    {TCallState::HoldSent, false, true},       {TCallState::ReferSent, true, true},
    {TCallState::ReferAuthSent, false, true},  {TCallState::Idle, false, true},
};
constexpr int kCallCount = int(sizeof(kCalls) / sizeof(kCalls[0]));

const char* const kMethods[] = {"INVITE", "BYE", "CANCEL", "INFO", "NOTIFY", "REFER", "OPTIONS", "MESSAGE", "ACK", "REGISTER"};
const char* const kStatuses[] = {"100 Trying", "180 Ringing", "183 Progress", "200 OK", "202 Accepted", "401 Unauthorized",
                                 "407 Proxy Authentication Required", "403 Forbidden", "481 No", "487 Terminated",
                                 "491 Pending", "500 Oops", "603 Decline"};

bool OnlyLoopback() {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return false;
  bool only = true;
  for (ifaddrs* i = list; i; i = i->ifa_next)
    if (i->ifa_addr && (i->ifa_flags & IFF_UP) && !(i->ifa_flags & IFF_LOOPBACK)) only = false;
  freeifaddrs(list);
  return only;
}

// Made once and never destroyed: the engine's farewells at exit would run
// after the builders' static texts are gone.
std::shared_ptr<TSipEngine>* engineHolder = nullptr;
TSipEngine* engine = nullptr;
TMessageQueuePtr* window = nullptr;
ISipAccountPtr& account = *new ISipAccountPtr();

std::string CallId(int i) { return "fz-call-" + std::to_string(i); }

void Script() {
  engine->Calls().Clear();
  engine->Transactions().Clear();
  for (int i = 0; i < kCallCount; ++i) {
    const TScript& s = kCalls[i];
    auto call = std::make_shared<TCall>(engine->shared_from_this(), CallId(i), account);
    call->SetLocalTag("ourtag" + std::to_string(i));
    call->SetRemoteTag("peertag" + std::to_string(i));
    call->SetIncoming(s.Incoming);
    call->SetLocalCSeq(10);
    call->SetRemoteCSeq(s.Incoming ? 5 : 0);
    call->SetRemoteUri("sip:bob@127.0.0.1:" + std::to_string(kServerPort));
    call->SetLocalUri("sip:alice@127.0.0.1");
    call->SetRemoteTarget("sip:bob@127.0.0.1:" + std::to_string(kServerPort));
    call->SetRemoteUser("bob");
    call->SetRemoteRtpAddress("127.0.0.1");
    call->SetRemoteRtpPort(40000);
    call->SetViaHeaders("Via: SIP/2.0/UDP 127.0.0.1:" + std::to_string(kServerPort) + ";branch=z9hG4bKin" +
                        std::to_string(i) + "\r\n");
    call->SetFromHeader("From: <sip:bob@127.0.0.1>;tag=peertag" + std::to_string(i));
    call->SetToHeader("To: <sip:alice@127.0.0.1>");
    call->Dialog().confirmed = s.Confirmed;
    call->Dialog().inviteCSeq = 5;
    call->Dialog().inviteBranch = "z9hG4bKin" + std::to_string(i);
    if (s.State == TCallState::HoldSent) call->Dialog().reInviteCSeq = 10;
    call->SetState(s.State);
    engine->Calls().Add(call);
  }
  account->SetState(TAccountState::Registered);
}

void Drain() {
  TMessage message;
  while ((*window)->Get(message)) {
  }
}

std::string Template(const uint8_t* data, size_t size) {
  const int which = data[1] % kCallCount;
  const bool response = data[2] & 1;
  const bool foreignFrom = data[2] & 2;
  const bool foreignTo = data[2] & 4;
  const bool noTo = data[2] & 8;
  const std::string method = kMethods[data[3] % (sizeof(kMethods) / sizeof(kMethods[0]))];
  const int cseq = (data[4] % 16);
  const std::string peer = foreignFrom ? "evil" : "peertag" + std::to_string(which);
  const std::string ours = foreignTo ? "evil" : "ourtag" + std::to_string(which);
  const std::string via = "Via: SIP/2.0/UDP 127.0.0.1:" + std::to_string(kServerPort) + ";branch=z9hG4bK" +
                          (method == "CANCEL" && !foreignTo ? "in" + std::to_string(which)
                                                            : "f" + std::to_string(data[5])) + "\r\n";
  std::string s;
  if (response) {
    s += "SIP/2.0 " + std::string(kStatuses[data[3] % (sizeof(kStatuses) / sizeof(kStatuses[0]))]) + "\r\n";
    s += via + "From: <sip:alice@127.0.0.1>;tag=" + ours + "\r\n";
    s += "To: <sip:bob@127.0.0.1>" + (noTo ? std::string() : ";tag=" + peer) + "\r\n";
  } else {
    s += method + " sip:alice@127.0.0.1 SIP/2.0\r\n";
    s += via + "From: <sip:bob@127.0.0.1>;tag=" + peer + "\r\n";
    s += "To: <sip:alice@127.0.0.1>" + (noTo ? std::string() : ";tag=" + ours) + "\r\n";
  }
  s += "Call-ID: " + CallId(which) + "\r\n";
  s += "CSeq: " + std::to_string(cseq) + " " + method + "\r\n";
  s += "Contact: <sip:bob@127.0.0.1:" + std::to_string(kServerPort) + ">\r\n";
  s.append(reinterpret_cast<const char*>(data + 6), size - 6);
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (!OnlyLoopback()) {
    std::fprintf(stderr, "fuzz_dispatch answers where its inputs say: run it in a namespace with only loopback\n");
    std::exit(1);
  }
  setenv("QUORVELLE_AUDIO", "virtual", 1);
  window = new TMessageQueuePtr(std::make_shared<TMessageQueue>());
  engineHolder = new std::shared_ptr<TSipEngine>(std::dynamic_pointer_cast<TSipEngine>(CreateSipEngine(0, *window)));
  engine = engineHolder->get();
  engine->SetRtpPortMin(30000);
  engine->SetRtpPortMax(30400);
  engine->SetActive(true);
  account = engine->AddAccount("", "127.0.0.1:" + std::to_string(kServerPort), "alice", "secret", "");
  account->SetServer("127.0.0.1");
  account->SetLocalAddress("127.0.0.1");
  account->SetLocalPort(engine->GetBoundPort());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  Script();
  const int sourcePort = (data[0] & 2) ? kStrangerPort : kServerPort;
  if ((data[0] & 1) || size < 6) {
    engine->HandleDatagram(data + 1, int(size - 1), "127.0.0.1", sourcePort);
  } else {
    std::string text = Template(data, size);
    engine->HandleDatagram(reinterpret_cast<const uint8_t*>(text.data()), int(text.size()), "127.0.0.1", sourcePort);
  }
  engine->RunTimers();
  engine->Tick();
  Drain();
  return 0;
}
