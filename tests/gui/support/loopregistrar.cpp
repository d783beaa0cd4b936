#include "support/loopregistrar.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sstream>
#include <stdexcept>

namespace qv::test {

namespace {

bool StartsWithNoCase(const std::string& line, const std::string& prefix) {
  if (line.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i)
    if (std::tolower(uint8_t(line[i])) != std::tolower(uint8_t(prefix[i]))) return false;
  return true;
}

std::vector<std::string> Lines(const std::string& message) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < message.size()) {
    size_t end = message.find("\r\n", start);
    if (end == std::string::npos) end = message.size();
    if (end == start) break;  // end of the header section
    lines.push_back(message.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

}  // namespace

std::string HeaderValue(const std::string& message, const std::string& name) {
  for (const std::string& line : Lines(message)) {
    if (StartsWithNoCase(line, name + ":")) {
      std::string value = line.substr(name.size() + 1);
      size_t b = value.find_first_not_of(' ');
      return b == std::string::npos ? "" : value.substr(b);
    }
  }
  return "";
}

TLoopRegistrar::TLoopRegistrar(int appPort, int peerPort) : appPort_(appPort), peerPort_(peerPort) {
  socket_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (socket_ < 0 || bind(socket_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
    throw std::runtime_error("registrar: bind failed");
  socklen_t len = sizeof addr;
  getsockname(socket_, reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = ntohs(addr.sin_port);
  thread_ = std::thread([this] { Run(); });
}

TLoopRegistrar::~TLoopRegistrar() {
  stop_ = true;
  thread_.join();
  close(socket_);
}

void TLoopRegistrar::SetRegisterAnswer(const std::string& status) {
  std::lock_guard<std::mutex> guard(lock_);
  status_ = status.empty() ? "200 OK" : status;
}

void TLoopRegistrar::Run() {
  char buffer[65536];
  while (!stop_) {
    pollfd pfd{socket_, POLLIN, 0};
    if (poll(&pfd, 1, 50) <= 0) continue;
    sockaddr_in from{};
    socklen_t len = sizeof from;
    ssize_t n = recvfrom(socket_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &len);
    if (n <= 0) continue;
    std::string message(buffer, size_t(n));
    bool request = message.compare(0, 8, "SIP/2.0 ") != 0;
    if (request) {
      std::lock_guard<std::mutex> guard(lock_);
      received_.push_back(message);
    }
    if (request && message.compare(0, 9, "REGISTER ") == 0) {
      Answer(message, from);
      continue;
    }
    int target = ntohs(from.sin_port) == appPort_ ? peerPort_.load() : appPort_.load();
    if (target == 0) continue;
    {
      std::lock_guard<std::mutex> guard(lock_);
      relayed_.push_back(message.substr(0, message.find("\r\n")));
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(uint16_t(target));
    sendto(socket_, message.data(), message.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  }
}

void TLoopRegistrar::Answer(const std::string& request, const sockaddr_in& from) {
  std::string status;
  {
    std::lock_guard<std::mutex> guard(lock_);
    status = status_;
  }
  if (status == kNoAnswer) return;
  std::ostringstream r;
  r << "SIP/2.0 " << status << "\r\n";
  for (const std::string& line : Lines(request))
    if (StartsWithNoCase(line, "Via:")) r << line << "\r\n";
  r << "From: " << HeaderValue(request, "From") << "\r\n";
  std::string to = HeaderValue(request, "To");
  if (to.find(";tag=") == std::string::npos) to += ";tag=loopreg";
  r << "To: " << to << "\r\n";
  r << "Call-ID: " << HeaderValue(request, "Call-ID") << "\r\n";
  r << "CSeq: " << HeaderValue(request, "CSeq") << "\r\n";
  std::string contact = HeaderValue(request, "Contact");
  if (!contact.empty() && contact != "*") r << "Contact: " << contact << "\r\n";
  r << "Content-Length: 0\r\n\r\n";
  std::string text = r.str();
  sendto(socket_, text.data(), text.size(), 0, reinterpret_cast<const sockaddr*>(&from), sizeof from);
}

std::vector<std::string> TLoopRegistrar::Received() {
  std::lock_guard<std::mutex> guard(lock_);
  return received_;
}

int TLoopRegistrar::RegisterCount() {
  int count = 0;
  for (const std::string& m : Received())
    if (m.compare(0, 9, "REGISTER ") == 0 && HeaderValue(m, "Expires") != "0") ++count;
  return count;
}

int TLoopRegistrar::UnregisterCount() {
  int count = 0;
  for (const std::string& m : Received())
    if (m.compare(0, 9, "REGISTER ") == 0 && HeaderValue(m, "Expires") == "0") ++count;
  return count;
}

std::vector<std::string> TLoopRegistrar::Relayed() {
  std::lock_guard<std::mutex> guard(lock_);
  return relayed_;
}

void TLoopRegistrar::Clear() {
  std::lock_guard<std::mutex> guard(lock_);
  received_.clear();
  relayed_.clear();
}

}  // namespace qv::test
