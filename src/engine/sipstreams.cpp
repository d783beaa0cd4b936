// SIP over TCP and TLS: one connection per server an account reaches that
// way, made by the first request that needs it and reused by everything
// after (the registration, calls, answers to what the server sends us). A
// connection that breaks is made again by the next request; a registered
// account re-registers over a new one within seconds (1 s, then 2, 4, 8,
// 16 and 30 s while the server stays out of reach). A certificate the TLS
// handshake refuses ends the registration with the reason, never silently.

#include <algorithm>

#include "engine/engineutil.h"
#include "engine/sipengine.h"
#include "platform/lockguard.h"
#include "sip/iputils.h"
#include "sip/sipmessage.h"

namespace qv {

namespace {

constexpr int64_t kFirstReconnectMs = 1000;
constexpr int64_t kLongestReconnectMs = 30000;
constexpr int kStreamKeepAliveMs = 25000;

std::string StreamKey(const std::string& host, int port) { return host + ":" + std::to_string(port); }

}  // namespace

void TSipEngine::EnsureStream(ISipAccount& account) {
  const std::string host = account.GetServer();
  const int port = account.GetServerPort();
  if (!IsIpv4Address(host)) return;  // an unresolved name: the send raises as over UDP
  const std::string key = StreamKey(host, port);
  std::lock_guard<std::mutex> guard(streamsLock_);
  auto it = streams_.find(key);
  if (it != streams_.end() && it->second.connection->Open()) return;
  if (it != streams_.end()) deadStreams_.push_back(std::move(it->second.connection));

  TStreamConnection::TOptions options;
  options.Host = host;
  options.Port = port;
  options.Tls = account.GetTransport() == TSipTransport::Tls;
  options.CaFile = account.GetCaFile();
  // RFC 5922 7: the certificate names what the user configured (the proxy,
  // else the domain), not the address it resolved to.
  std::string proxy = account.GetProxy();
  std::string name = proxy.empty() ? account.GetDomain() : proxy;
  options.TlsName = name.substr(0, name.find(':'));
  options.KeepAliveMs = keepAlive_ ? kStreamKeepAliveMs : 0;
  const int serial = ++streamSerial_;
  std::weak_ptr<TSipEngine> weak = weak_from_this();
  auto receiver = [weak](const std::string& text, const std::string& from, int fromPort) {
    if (std::shared_ptr<TSipEngine> self = weak.lock()) self->HandleStreamMessage(text, from, fromPort);
  };
  auto closed = [weak, key, serial](const std::string& reason, bool insecure) {
    if (std::shared_ptr<TSipEngine> self = weak.lock()) self->StreamClosed(key, serial, reason, insecure);
  };
  Log("Connecting to " + key + (options.Tls ? " over TLS" : " over TCP"));
  streams_[key] = {std::make_shared<TStreamConnection>(options, receiver, closed), serial};
}

void TSipEngine::HandleStreamMessage(const std::string& text, const std::string& host, int port) {
  std::lock_guard<std::mutex> guard(dispatchLock_);
  TSipMessage message(text);
  NoteDatagramSource(host, port);
  if (transactions_->Receive(message, host, port)) Dispatch(message);
  Log(message.RawText);
}

TSendResult TSipEngine::StreamSend(const std::string& text, const std::string& host, int port, bool& handled) {
  std::lock_guard<std::mutex> guard(streamsLock_);
  auto it = streams_.find(StreamKey(host, port));
  handled = it != streams_.end();
  if (!handled) return TSendResult::Dropped;
  // A broken connection takes nothing: what was for it must not leak to UDP.
  return it->second.connection->Send(text) ? TSendResult::Sent : TSendResult::Dropped;
}

// The connection's own thread, after it has ended.
void TSipEngine::StreamClosed(const std::string& key, int serial, const std::string& reason, bool insecure) {
  {
    std::lock_guard<std::mutex> guard(streamsLock_);
    auto it = streams_.find(key);
    if (it == streams_.end() || it->second.serial != serial) return;  // replaced already
  }
  Log("Connection to " + key + " closed" + (reason.empty() ? "" : ": " + reason));
  if (!active_) return;
  const int64_t now = NowMs();
  std::vector<ISipAccountPtr> accounts;
  {
    TLockGuard<TSipAccounts> listLock(accounts_);
    for (int i = 0; i < accounts_.Count(); ++i) accounts.push_back(accounts_.Item(i));
  }
  for (const ISipAccountPtr& account : accounts) {
    TLockGuard<ISipAccount> lock(*account);
    if (account->GetTransport() == TSipTransport::Udp ||
        StreamKey(account->GetServer(), account->GetServerPort()) != key)
      continue;
    ISipAccount::TRegistration& reg = account->Registration();
    const TAccountState state = account->State();
    if (insecure) {
      // Never past a certificate we cannot trust: the user hears why.
      if (state != TAccountState::Idle) EndRegistration(account, {TRegistrationEnd::Insecure, 0, reason});
      continue;
    }
    switch (state) {
      case TAccountState::RegisterSent:
      case TAccountState::RegisterAuthSent:
        EndRegistration(account, {TRegistrationEnd::NoAnswer, 0, reason});
        break;
      case TAccountState::UnregisterSent:
      case TAccountState::UnregisterAuthSent:
        EndRegistration(account, {TRegistrationEnd::Unregistered, 0, reason});
        break;
      case TAccountState::Registered:
        // Registered again over a new connection soon; if the binding runs
        // out first, the user learns the reason.
        reg.refreshing = false;
        reg.reconnectDelay = reg.reconnectDelay == 0 ? kFirstReconnectMs
                                                     : std::min(reg.reconnectDelay * 2, kLongestReconnectMs);
        reg.refreshAt = now + reg.reconnectDelay;
        reg.failure = {TRegistrationEnd::NoAnswer, 0, reason};
        break;
      default:
        break;
    }
  }
}

void TSipEngine::ReapStreams(bool all) {
  std::vector<TStreamConnectionPtr> gone;
  {
    std::lock_guard<std::mutex> guard(streamsLock_);
    gone.swap(deadStreams_);
    if (all) {
      for (auto& [key, entry] : streams_) gone.push_back(std::move(entry.connection));
      streams_.clear();
    }
  }
  gone.clear();  // joins their threads, outside every lock
}

}  // namespace qv
