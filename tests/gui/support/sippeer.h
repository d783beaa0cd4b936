// The far end of the GUI tests' calls: a second TSipClient in the test
// process on 127.0.0.1, whose account is prepared without a registrar (it
// sends everything to the loop registrar, which relays it to the window). Its
// events are drained on the GUI thread like the window's, and recorded.
#pragma once

#include <QObject>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "component/sipclient.h"

class QTimer;

namespace qv::test {

class TSipPeer : public QObject {
  Q_OBJECT
public:
  // `server`: "127.0.0.1:port" of the registrar; `user`: the peer's user name.
  TSipPeer(const std::string& server, const std::string& user, TDtmfMethod dtmf = dtmfSipInfo);
  ~TSipPeer() override;

  int Port() const { return client_->BoundPort(); }
  TSipClient& Client() { return *client_; }
  ISipAccountPtr Account() const { return account_; }

  ISipCallPtr Call(const std::string& number);  // MakeCall to `number`
  // Registers the peer's account with its server (a real registrar), with
  // `password` for its challenge.
  void Register(const std::string& password);
  bool Registered = false;
  bool AutoAnswer = false;                      // answer incoming calls at once

  // What happened, oldest first.
  std::vector<ISipCallPtr> Invited;   // OnInvite
  std::vector<ISipCallPtr> Answered;  // OnInviteOk
  std::vector<ISipCallPtr> Ended;     // OnBye
  std::vector<ISipCallPtr> Rang;      // OnRingback
  std::string Digits;                 // OnDtmf

  bool HasEnded(const ISipCallPtr& call) const;
  bool WasAnswered(const ISipCallPtr& call) const;

private:
  struct TLink {
    std::mutex Lock;
    TSipPeer* Peer = nullptr;
  };
  std::unique_ptr<TSipClient> client_;
  std::shared_ptr<TLink> link_;
  ISipAccountPtr account_;
  QTimer* timer_;
};

}  // namespace qv::test
