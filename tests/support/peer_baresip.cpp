#include "support/peer_baresip.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <thread>

namespace qv::test {

namespace {

const char* const kModuleDir = "/usr/lib/baresip/modules";

std::string Netstring(const std::string& text) { return std::to_string(text.size()) + ":" + text + ","; }

std::string Escape(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out;
}

std::string CodecModuleLines(const std::vector<std::string>& modules) {
  std::string lines;
  for (const std::string& m : modules) {
    if (!std::filesystem::exists(std::string(kModuleDir) + "/" + m))
      throw std::runtime_error("baresip's module " + m + " is missing (Debian package baresip-core)");
    lines += "module\t\t\t" + m + "\n";
  }
  return lines;
}

}  // namespace

std::string JsonString(const std::string& json, const std::string& key) {
  std::string marker = "\"" + key + "\":";
  size_t p = json.find(marker);
  if (p == std::string::npos) return "";
  p += marker.size();
  while (p < json.size() && json[p] == ' ') ++p;
  if (p >= json.size() || json[p] != '"') {
    size_t e = json.find_first_of(",}", p);
    return json.substr(p, e == std::string::npos ? std::string::npos : e - p);  // true, false, numbers
  }
  std::string value;
  for (++p; p < json.size() && json[p] != '"'; ++p) {
    if (json[p] == '\\' && p + 1 < json.size()) ++p;
    value += json[p];
  }
  return value;
}

TBaresip::TBaresip(const TPeerDir& dir, const TBaresipOptions& options) {
  std::string program = RequireProgram("baresip", "baresip-core");
  if (!std::filesystem::exists(std::string(kModuleDir) + "/ctrl_tcp.so"))
    throw std::runtime_error("baresip's modules are missing (Debian package baresip-core)");
  sipPort_ = FreeUdpPort();
  controlPort_ = FreeTcpPort();
  std::string config = dir.Subdir("baresip-" + options.User);
  recordDir_ = dir.Subdir("baresip-" + options.User + "/heard");
  int rtpBase = FreeUdpPort();
  std::string settings =
      "poll_method\t\tepoll\n"
      "sip_listen\t\t127.0.0.1:" + std::to_string(sipPort_) + "\n"
      "call_local_timeout\t120\n"
      "call_max_calls\t\t" + std::to_string(options.MaxCalls) + "\n"
      "module_path\t\t" + kModuleDir + "\n"
      "audio_source\t\taufile," + options.SourceWav + "\n"
      "audio_player\t\taubridge,nil\n"
      "audio_alert\t\taubridge,nil\n"
      "ausrc_srate\t\t" + std::to_string(options.SourceRate) + "\n"
      "auplay_srate\t\t" + std::to_string(options.SourceRate) + "\n"
      "ausrc_channels\t\t1\n"
      "auplay_channels\t\t1\n"
      "audio_buffer\t\t20-160\n"
      "rtp_ports\t\t" + std::to_string(rtpBase) + "-" + std::to_string(rtpBase + 40) + "\n"
      "rtcp_mux\t\tno\n"
      "jitter_buffer_delay\t5-10\n"
      "snd_path\t\t" + recordDir_ + "\n"
      "ctrl_tcp_listen\t\t127.0.0.1:" + std::to_string(controlPort_) + "\n"
      "module\t\t\tg711.so\n" + CodecModuleLines(options.CodecModules) +
      "module\t\t\taufile.so\n"
      "module\t\t\taubridge.so\n"
      "module\t\t\tsndfile.so\n"
      "module_tmp\t\taccount.so\n"
      "module_app\t\tmenu.so\n"
      "module_app\t\tctrl_tcp.so\n";
  WriteTextFile(config + "/config", settings);
  std::string aor = options.Registrar.empty() ? "127.0.0.1:" + std::to_string(sipPort_) : options.Registrar;
  std::string account = "<sip:" + options.User + "@" + aor + ">;auth_pass=" + options.Password +
                        ";audio_codecs=" + options.Codecs +
                        ";answermode=" + (options.AutoAnswer ? "auto" : "manual") +
                        (options.Registrar.empty() ? ";regint=0" : ";regint=600") + "\n";
  WriteTextFile(config + "/accounts", account);
  WriteTextFile(config + "/contacts", "");
  process_ = std::make_unique<TPeerProcess>(
      std::vector<std::string>{program, "-4", "-n", "127.0.0.1", "-f", config},
      dir.File("baresip-" + options.User + ".log"), dir.Path());
  Connect(10000);
  if (!options.Registrar.empty() && !WaitRegistered(10000))
    throw std::runtime_error("baresip did not register:\n" + process_->LogTail());
}

// Its REGISTER_OK event may come before the control connection is up, so
// the registration is read from "reginfo" (green "OK" once registered).
bool TBaresip::WaitRegistered(int timeoutMs) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < end) {
    std::string info;
    if (Command("reginfo", "", &info) && info.find("OK ") != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

TBaresip::~TBaresip() {
  if (socket_ >= 0) close(socket_);
}

void TBaresip::Connect(int timeoutMs) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(uint16_t(controlPort_));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  while (std::chrono::steady_clock::now() < end) {
    socket_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (connect(socket_, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) return;
    close(socket_);
    socket_ = -1;
    if (!process_->Running()) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  throw std::runtime_error("baresip's control port did not open:\n" + process_->LogTail());
}

void TBaresip::Send(const std::string& json) {
  std::string frame = Netstring(json);
  size_t done = 0;
  while (done < frame.size()) {
    ssize_t n = send(socket_, frame.data() + done, frame.size() - done, MSG_NOSIGNAL);
    if (n <= 0) throw std::runtime_error("baresip's control connection broke");
    done += size_t(n);
  }
}

bool TBaresip::Read(int timeoutMs) {
  pollfd p{socket_, POLLIN, 0};
  if (poll(&p, 1, timeoutMs) <= 0) return false;
  char chunk[4096];
  ssize_t n = recv(socket_, chunk, sizeof chunk, 0);
  if (n <= 0) return false;
  buffer_.append(chunk, size_t(n));
  // Netstrings: "<length>:<text>,".
  for (;;) {
    size_t colon = buffer_.find(':');
    if (colon == std::string::npos) break;
    size_t length = std::stoul(buffer_.substr(0, colon));
    if (buffer_.size() < colon + 1 + length + 1) break;
    std::string json = buffer_.substr(colon + 1, length);
    buffer_.erase(0, colon + 1 + length + 1);
    if (JsonString(json, "event") == "true") {
      TBaresipEvent e{JsonString(json, "type"), JsonString(json, "param"), JsonString(json, "peeruri"), json};
      if (e.Type == "CALL_DTMF_START") digits_ += e.Param;
      events_.push_back(std::move(e));
    } else if (JsonString(json, "response") == "true") {
      responses_.push_back(json);
    }
  }
  return true;
}

bool TBaresip::Command(const std::string& command, const std::string& params, std::string* data,
                       int timeoutMs) {
  std::string token = std::to_string(++token_);
  Send("{\"command\":\"" + Escape(command) + "\",\"params\":\"" + Escape(params) + "\",\"token\":\"" +
       token + "\"}");
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    for (auto it = responses_.begin(); it != responses_.end(); ++it) {
      if (JsonString(*it, "token") != token) continue;
      bool ok = JsonString(*it, "ok") == "true";
      if (data) *data = JsonString(*it, "data");
      responses_.erase(it);
      return ok;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    Read(int(left.count()));
  }
}

std::optional<TBaresipEvent> TBaresip::WaitEvent(const std::string& type, int timeoutMs) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    for (auto it = events_.begin(); it != events_.end(); ++it) {
      if (it->Type != type) continue;
      TBaresipEvent e = *it;
      events_.erase(it);
      return e;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    Read(int(std::min<long>(left.count(), 100)));
  }
}

std::vector<TBaresipEvent> TBaresip::Events() {
  while (Read(0)) {
  }
  return {events_.begin(), events_.end()};
}

std::string TBaresip::DigitsReceived() {
  while (Read(0)) {
  }
  return digits_;
}

std::vector<std::string> TBaresip::RecordedAudio() const {
  std::vector<std::pair<std::filesystem::file_time_type, std::string>> files;
  for (const auto& entry : std::filesystem::directory_iterator(recordDir_))
    if (entry.path().extension() == ".wav") files.emplace_back(entry.last_write_time(), entry.path().string());
  std::sort(files.begin(), files.end());
  std::vector<std::string> paths;
  for (auto& f : files) paths.push_back(f.second);
  return paths;
}

}  // namespace qv::test
