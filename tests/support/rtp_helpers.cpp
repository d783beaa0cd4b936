#include "support/rtp_helpers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <stdexcept>
#include <thread>

#include "dialogs/call.h"
#include "media/codecs.h"
#include "platform/audio_virtual.h"

namespace qv::test {

namespace {

int BindLoopback(int port, int& bound) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("socket failed");
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(uint16_t(port));
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    throw std::runtime_error("bind failed");
  }
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  bound = ntohs(a.sin_port);
  return fd;
}

}  // namespace

TRtpPeer::TRtpPeer() {
  fd_ = BindLoopback(0, port_);
  int big = 1 << 20;
  setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
}

TRtpPeer::~TRtpPeer() { close(fd_); }

void TRtpPeer::SendTo(int port, const std::vector<uint8_t>& bytes) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(uint16_t(port));
  sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
}

bool TRtpPeer::Receive(std::vector<uint8_t>& out, int timeoutMs) {
  pollfd p{fd_, POLLIN, 0};
  if (poll(&p, 1, timeoutMs) <= 0) return false;
  out.resize(65536);
  ssize_t n = recv(fd_, out.data(), out.size(), 0);
  if (n < 0) return false;
  out.resize(size_t(n));
  return true;
}

std::vector<std::vector<uint8_t>> TRtpPeer::Drain(int ms) {
  std::vector<std::vector<uint8_t>> all;
  std::vector<uint8_t> one;
  while (Receive(one, ms)) all.push_back(one);
  return all;
}

namespace {

void PutLe(std::string& out, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(char((value >> (8 * i)) & 0xFF));
}

void PutBe(std::string& out, uint32_t value, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) out.push_back(char((value >> (8 * i)) & 0xFF));
}

}  // namespace

std::string RtpPcap(const std::vector<TTimedPacket>& packets) {
  std::string file;
  PutLe(file, 0xA1B2C3D4, 4);  // microsecond timestamps, our byte order
  PutLe(file, 2, 2);
  PutLe(file, 4, 2);
  PutLe(file, 0, 4);      // time zone
  PutLe(file, 0, 4);      // accuracy
  PutLe(file, 65535, 4);  // snap length
  PutLe(file, 1, 4);      // Ethernet
  for (const TTimedPacket& p : packets) {
    std::string frame(12, '\0');  // destination and source hardware addresses
    PutBe(frame, 0x0800, 2);       // IPv4
    std::string ip;
    const uint32_t total = 20 + 8 + uint32_t(p.Bytes.size());
    PutBe(ip, 0x4500, 2);
    PutBe(ip, total, 2);
    PutBe(ip, 0, 4);       // identification, no fragments
    PutBe(ip, 0x4011, 2);  // time to live 64, UDP
    PutBe(ip, 0, 2);       // checksum, filled in below
    PutBe(ip, 0x7F000001, 4);
    PutBe(ip, 0x7F000001, 4);
    uint32_t sum = 0;
    for (size_t i = 0; i < ip.size(); i += 2) sum += uint32_t(uint8_t(ip[i]) << 8 | uint8_t(ip[i + 1]));
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    ip[10] = char(~sum >> 8);
    ip[11] = char(~sum);
    frame += ip;
    PutBe(frame, 6000, 2);
    PutBe(frame, 7000, 2);
    PutBe(frame, 8 + uint32_t(p.Bytes.size()), 2);
    PutBe(frame, 0, 2);  // no UDP checksum
    frame.append(p.Bytes.begin(), p.Bytes.end());
    PutLe(file, uint32_t(p.Ms / 1000), 4);
    PutLe(file, uint32_t(p.Ms % 1000) * 1000, 4);
    PutLe(file, uint32_t(frame.size()), 4);
    PutLe(file, uint32_t(frame.size()), 4);
    file += frame;
  }
  return file;
}

std::vector<uint8_t> RtpPacket(uint8_t typeByte, uint16_t sequence, uint32_t timestamp,
                               const std::vector<uint8_t>& payload) {
  const uint8_t header[12] = {0x80, typeByte, uint8_t(sequence >> 8), uint8_t(sequence),
                               uint8_t(timestamp >> 24), uint8_t(timestamp >> 16), uint8_t(timestamp >> 8),
                               uint8_t(timestamp), 0x11, 0x22, 0x33, 0x44};
  std::vector<uint8_t> p(header, header + 12);
  p.resize(12 + payload.size());
  std::copy(payload.begin(), payload.end(), p.begin() + 12);
  return p;
}

std::vector<uint8_t> EventPayload(int code, bool end, uint16_t duration) {
  return {uint8_t(code), uint8_t((end ? 0x80 : 0) | 0x0A), uint8_t(duration >> 8), uint8_t(duration)};
}

namespace {

// Least squares of x against cos, sin and a constant at `hz`; returns the
// residual energy and fills the sine's amplitude.
double Residual(const int16_t* x, size_t n, int rate, double hz, double& amplitude) {
  const double w = 2 * std::numbers::pi * hz / rate;
  // Normal equations over the columns c = cos(wk), s = sin(wk), 1.
  double cc = 0, ss = 0, cs = 0, c1 = 0, s1 = 0, xc = 0, xs = 0, x1 = 0, xx = 0;
  for (size_t k = 0; k < n; ++k) {
    double c = std::cos(w * double(k)), s = std::sin(w * double(k)), v = x[k];
    cc += c * c, ss += s * s, cs += c * s, c1 += c, s1 += s;
    xc += v * c, xs += v * s, x1 += v, xx += v * v;
  }
  const double m[3][3] = {{cc, cs, c1}, {cs, ss, s1}, {c1, s1, double(n)}};
  const double r[3] = {xc, xs, x1};
  // Cramer's rule: three unknowns.
  auto det = [](const double a[3][3]) {
    return a[0][0] * (a[1][1] * a[2][2] - a[1][2] * a[2][1]) - a[0][1] * (a[1][0] * a[2][2] - a[1][2] * a[2][0]) +
           a[0][2] * (a[1][0] * a[2][1] - a[1][1] * a[2][0]);
  };
  const double d = det(m);
  double beta[3];
  for (int i = 0; i < 3; ++i) {
    double t[3][3];
    for (int a = 0; a < 3; ++a)
      for (int b = 0; b < 3; ++b) t[a][b] = b == i ? r[a] : m[a][b];
    beta[i] = det(t) / d;
  }
  amplitude = std::hypot(beta[0], beta[1]);
  return xx - (beta[0] * xc + beta[1] * xs + beta[2] * x1);
}

}  // namespace

TSineFit FitSine(const int16_t* samples, size_t count, int rate, double guessHz) {
  TSineFit fit;
  double best = INFINITY, amplitude = 0;
  auto search = [&](double from, double to, double step) {
    for (double hz = from; hz <= to; hz += step) {
      double r = Residual(samples, count, rate, hz, amplitude);
      if (r < best) {
        best = r;
        fit.Frequency = hz;
        fit.Amplitude = amplitude;
      }
    }
  };
  search(guessHz - 10, guessHz + 10, 0.25);
  double coarse = fit.Frequency;
  search(coarse - 0.25, coarse + 0.25, 0.01);
  const double sinePower = fit.Amplitude * fit.Amplitude / 2 * double(count);
  fit.SnrDb = 10 * std::log10(sinePower / std::max(best, 1e-9));
  return fit;
}

void TKeepingDevice::AddBuffer(TWaveHeader* header) {
  header->InQueue = true;
  Queued.push_back(header);
  auto* p = reinterpret_cast<const int16_t*>(header->Data);
  Played.emplace_back(p, p + header->BufferLength / 2);
}

void TFrameLog::MixLocal(ISipCall&, int16_t* frame) {
  std::lock_guard guard(lock_);
  local_.emplace_back(frame, frame + kFrameSamples);
}

void TFrameLog::MixRemote(ISipCall&, int16_t* frame) {
  std::lock_guard guard(lock_);
  remote_.emplace_back(frame, frame + kFrameSamples);
}

std::vector<std::vector<int16_t>> TFrameLog::Local() {
  std::lock_guard guard(lock_);
  return local_;
}

std::vector<std::vector<int16_t>> TFrameLog::Remote() {
  std::lock_guard guard(lock_);
  return remote_;
}

bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

std::shared_ptr<TCall> MakeMediaCall(const ISipEnginePtr& engine, int device, int payloadType,
                                     const std::string& callId) {
  auto call = std::make_shared<TCall>(engine, callId, nullptr);
  call->SetCodec(CreateCodec(payloadType));
  call->SetLocalRtpPort(FreeUdpPort());
  call->SetRemoteRtpAddress("127.0.0.1");
  call->SetInputDevice(device);
  call->SetOutputDevice(device);
  call->SetSilenceThreshold(0);  // no silence reports in the way
  call->SetSilenceTimeout(5000);
  return call;
}

void Pair(TCall& a, TCall& b) {
  a.SetRemoteRtpPort(b.GetLocalRtpPort());
  b.SetRemoteRtpPort(a.GetLocalRtpPort());
}

TSineFit MeasureSpeaker(int device, double guessHz) {
  std::vector<int16_t> played = VirtualAudio::OutputSamples(device);
  const size_t window = 1600;
  std::vector<double> hz, snr;
  for (size_t w = 0; w < 5 && played.size() >= window * (w + 1); ++w) {
    TSineFit f = FitSine(played.data() + played.size() - window * (w + 1), window, 8000, guessHz);
    hz.push_back(f.Frequency);
    snr.push_back(f.SnrDb);
  }
  TSineFit median;
  if (hz.empty()) return median;
  std::sort(hz.begin(), hz.end());
  std::sort(snr.begin(), snr.end());
  median.Frequency = hz[hz.size() / 2];
  median.SnrDb = snr[snr.size() / 2];
  return median;
}

}  // namespace qv::test
