#include "support/udppeer.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <thread>

#include "engine/sipevents.h"
#include "sip/sipints.h"

namespace qv::test {

namespace {

sockaddr_in Loopback(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(uint16_t(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

bool StartsWithNoCase(const std::string& line, const std::string& prefix) {
  if (line.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i)
    if (tolower(uint8_t(line[i])) != tolower(uint8_t(prefix[i]))) return false;
  return true;
}

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t");
  size_t e = s.find_last_not_of(" \t");
  return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

// The header lines of a message (up to the empty line), without CRLF.
std::vector<std::string> HeaderLines(const std::string& message) {
  std::vector<std::string> lines;
  size_t i = 0;
  while (i < message.size()) {
    size_t e = message.find("\r\n", i);
    if (e == std::string::npos) e = message.size();
    if (e == i) break;
    lines.push_back(message.substr(i, e - i));
    i = e + 2;
  }
  return lines;
}

}  // namespace

TUdpPeer::TUdpPeer() {
  socket_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = Loopback(0);
  if (socket_ < 0 || bind(socket_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
    throw std::runtime_error("test peer: cannot bind 127.0.0.1");
  socklen_t len = sizeof a;
  getsockname(socket_, reinterpret_cast<sockaddr*>(&a), &len);
  port_ = ntohs(a.sin_port);
}

TUdpPeer::~TUdpPeer() {
  if (socket_ >= 0) close(socket_);
}

void TUdpPeer::Send(const std::string& bytes, int port) {
  sockaddr_in a = Loopback(port);
  sendto(socket_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
}

std::optional<std::string> TUdpPeer::Receive(int timeoutMs) {
  if (!backlog_.empty()) {
    std::string first = std::move(backlog_.front());
    backlog_.pop_front();
    return first;
  }
  pollfd p{socket_, POLLIN, 0};
  if (poll(&p, 1, timeoutMs) <= 0) return std::nullopt;
  std::string buffer(65536, '\0');
  ssize_t n = recv(socket_, buffer.data(), buffer.size(), 0);
  if (n < 0) return std::nullopt;
  buffer.resize(size_t(n));
  return buffer;
}

std::string TUdpPeer::Expect(const std::string& start, int timeoutMs) {
  std::optional<std::string> got = Receive(timeoutMs);
  if (!got) {
    ADD_FAILURE() << "expected \"" << start << "...\" from the engine, got nothing";
    return "";
  }
  if (got->compare(0, start.size(), start) != 0) {
    ADD_FAILURE() << "expected \"" << start << "...\", got:\n" << *got;
    return "";
  }
  return *got;
}

bool TUdpPeer::Quiet(int ms) {
  std::optional<std::string> got = Receive(ms);
  if (got) ADD_FAILURE() << "expected silence, got:\n" << *got;
  return !got;
}

std::string Header(const std::string& message, const std::string& name) {
  std::vector<std::string> all = Headers(message, name);
  return all.empty() ? std::string() : all.front();
}

std::vector<std::string> Headers(const std::string& message, const std::string& name) {
  std::vector<std::string> values;
  for (const std::string& line : HeaderLines(message))
    if (StartsWithNoCase(line, name + ":")) values.push_back(Trim(line.substr(name.size() + 1)));
  return values;
}

std::string FirstLine(const std::string& message) { return message.substr(0, message.find("\r\n")); }

std::string Body(const std::string& message) {
  size_t p = message.find("\r\n\r\n");
  return p == std::string::npos ? std::string() : message.substr(p + 4);
}

int CSeqNumber(const std::string& message) { return atoi(Header(message, "CSeq").c_str()); }

std::string Respond(const std::string& request, const std::string& status, const std::string& toTag,
                    const std::string& extraHeaders, const std::string& body) {
  std::string text = "SIP/2.0 " + status + "\r\n";
  for (const std::string& via : Headers(request, "Via")) text += "Via: " + via + "\r\n";
  text += "From: " + Header(request, "From") + "\r\n";
  std::string to = Header(request, "To");
  if (!toTag.empty() && to.find(";tag=") == std::string::npos) to += ";tag=" + toTag;
  text += "To: " + to + "\r\n";
  text += "Call-ID: " + Header(request, "Call-ID") + "\r\n";
  text += "CSeq: " + Header(request, "CSeq") + "\r\n";
  text += extraHeaders;
  if (!body.empty()) text += "Content-Type: application/sdp\r\n";
  text += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  return text;
}

std::string Sdp(int audioPort, const std::string& payloadTypes, const std::string& direction,
                const std::string& address) {
  return "v=0\r\n"
         "o=- 42 1 IN IP4 127.0.0.1\r\n"
         "s=-\r\n"
         "c=IN IP4 " + address + "\r\n"
         "t=0 0\r\n"
         "m=audio " + std::to_string(audioPort) + " RTP/AVP " + payloadTypes + " 101\r\n"
         "a=rtpmap:101 telephone-event/8000\r\n"
         "a=" + direction + "\r\n";
}

void TEngineEvents::Take(TMessage& m) {
  if (m.Msg == MsgLog) {
    if (auto log = std::dynamic_pointer_cast<ILogMessage>(m.Obj)) logs_.push_back(log->GetText());
    return;
  }
  pending_.push_back(TEvent{m.Msg, m.WParam, std::move(m.Obj)});
}

std::optional<TEngineEvents::TEvent> TEngineEvents::WaitFor(uint32_t msg, int timeoutMs,
                                                             const IInterfacePtr& object) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    for (auto it = pending_.begin(); it != pending_.end(); ++it) {
      if (it->Msg != msg || (object && it->Obj != object)) continue;
      TEvent found = *it;
      pending_.erase(it);
      return found;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    queue_->Wait(int(left.count()));
    TMessage m;
    while (queue_->Get(m)) Take(m);
  }
}

void TEngineEvents::Pump(int settleMs) {
  if (settleMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(settleMs));
  TMessage m;
  while (queue_->Get(m)) Take(m);
}

int TEngineEvents::Count(uint32_t msg) const {
  int n = 0;
  for (const TEvent& e : pending_) n += e.Msg == msg ? 1 : 0;
  return n;
}

}  // namespace qv::test
