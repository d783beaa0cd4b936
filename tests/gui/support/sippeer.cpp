#include "support/sippeer.h"

#include <QTimer>
#include <algorithm>

namespace qv::test {

TSipPeer::TSipPeer(const std::string& server, const std::string& user, TDtmfMethod dtmf)
    : client_(std::make_unique<TSipClient>()), link_(std::make_shared<TLink>()) {
  link_->Peer = this;
  client_->SetNotify([link = link_] {
    std::lock_guard<std::mutex> guard(link->Lock);
    if (TSipPeer* peer = link->Peer)
      QMetaObject::invokeMethod(peer, [peer] { peer->client_->ProcessMessages(0); }, Qt::QueuedConnection);
  });
  client_->SetLocalPort(0);  // the system picks a free port
  client_->SetRtpPortMin(30000);
  client_->SetRtpPortMax(32000);
  client_->SetDtmfMethod(dtmf);
  client_->OnInvite = [this](TSipClient& c, const ISipCallPtr& call) {
    Invited.push_back(call);
    if (AutoAnswer) c.Answer(call);
  };
  client_->OnInviteOk = [this](TSipClient&, const ISipCallPtr& call) { Answered.push_back(call); };
  client_->OnBye = [this](TSipClient&, const ISipCallPtr& call) { Ended.push_back(call); };
  client_->OnRingback = [this](TSipClient&, const ISipCallPtr& call) { Rang.push_back(call); };
  client_->OnRegistrationOk = [this](TSipClient&, const ISipAccountPtr&) { Registered = true; };
  client_->OnRegistrationBye = [this](TSipClient&, const ISipAccountPtr&) { Registered = false; };
  client_->OnDtmf = [this](TSipClient&, const ISipCallPtr&, const std::string& d) { Digits += d; };
  client_->SetActive(true);

  // No registrar for the peer: its account only needs to know where "the
  // server" is and which port it listens on.
  account_ = client_->AddAccount(server, user, "", "", "");
  account_->SetServer("127.0.0.1");
  account_->SetLocalAddress("127.0.0.1");
  account_->SetLocalPort(client_->BoundPort());

  timer_ = new QTimer(this);
  connect(timer_, &QTimer::timeout, this, [this] { client_->ProcessMessages(0); });
  timer_->start(50);
}

TSipPeer::~TSipPeer() {
  {
    std::lock_guard<std::mutex> guard(link_->Lock);
    link_->Peer = nullptr;
  }
  client_.reset();
}

void TSipPeer::Register(const std::string& password) {
  account_->SetPassword(password);
  client_->Register(account_);
}

ISipCallPtr TSipPeer::Call(const std::string& number) {
  return client_->MakeCall(account_, number, -1, -1);
}

bool TSipPeer::HasEnded(const ISipCallPtr& call) const {
  return std::find(Ended.begin(), Ended.end(), call) != Ended.end();
}

bool TSipPeer::WasAnswered(const ISipCallPtr& call) const {
  return std::find(Answered.begin(), Answered.end(), call) != Answered.end();
}

}  // namespace qv::test
