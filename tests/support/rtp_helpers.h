// Helpers for the RTP and media tests: a raw UDP peer on 127.0.0.1, crafted
// RTP packets, a sine fit for signal-to-noise measurements, a wave-out device
// that keeps the buffers it is given, a conference that logs frames, and calls
// with running media on the virtual sound devices.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/audiodevice.h"
#include "sip/sipints.h"

#include "peer_process.h"

namespace qv {
class TCall;  // dialogs/call.h
}

namespace qv::test {

// A plain UDP socket on 127.0.0.1 standing in for the far end of a call.
class TRtpPeer {
public:
  TRtpPeer();
  ~TRtpPeer();
  TRtpPeer(const TRtpPeer&) = delete;
  TRtpPeer& operator=(const TRtpPeer&) = delete;

  int Port() const { return port_; }
  void SendTo(int port, const std::vector<uint8_t>& bytes);
  // One datagram, waiting up to `timeoutMs`; false when none came.
  bool Receive(std::vector<uint8_t>& out, int timeoutMs);
  // Everything that arrives within `ms` after the last datagram.
  std::vector<std::vector<uint8_t>> Drain(int ms);

private:
  int fd_ = -1;
  int port_ = 0;
};

// An RTP packet: 0x80, `typeByte`, sequence and timestamp big-endian, SSRC
// 0x11223344, then the payload.
std::vector<uint8_t> RtpPacket(uint8_t typeByte, uint16_t sequence, uint32_t timestamp,
                               const std::vector<uint8_t>& payload);
// An RFC 2833 event payload: code, end bit and volume 10, duration.
std::vector<uint8_t> EventPayload(int code, bool end, uint16_t duration);

// A capture file (pcap, Ethernet link type) holding each RTP packet in a
// UDP datagram from 127.0.0.1:6000 to 127.0.0.1:7000, sent `ms` after the
// start: what sipp's play_pcap_audio replays to the far end's media port.
struct TTimedPacket {
  int Ms = 0;
  std::vector<uint8_t> Bytes;
};
std::string RtpPcap(const std::vector<TTimedPacket>& packets);

// The sine that best fits the samples (frequency searched around `guessHz`,
// then amplitude, phase and offset by least squares). SnrDb compares the
// power of the fitted sine with the power of what is left over.
struct TSineFit {
  double Frequency = 0;
  double Amplitude = 0;
  double SnrDb = 0;
};
TSineFit FitSine(const int16_t* samples, size_t count, int rate, double guessHz);

// A wave-out device that keeps every buffer until the test gives it back.
class TKeepingDevice final : public IWaveDevice {
public:
  void AddBuffer(TWaveHeader* header) override;
  void Start() override {}
  void Stop() override {}
  void Reset() override {}
  void Close() override {}
  bool IsInput() const override { return input_; }
  TWaveFormat Format() const override { return kCallFormat; }

  void SetInput(bool input) { input_ = input; }
  std::deque<TWaveHeader*> Queued;
  // The 16-bit samples of every buffer added, in order.
  std::vector<std::vector<int16_t>> Played;

private:
  bool input_ = false;
};

// A conference that keeps the frames handed to it (it mixes nothing).
class TFrameLog final : public ISipConference {
public:
  void MixLocal(ISipCall& call, int16_t* frame) override;
  void MixRemote(ISipCall& call, int16_t* frame) override;
  std::vector<std::vector<int16_t>> Local();
  std::vector<std::vector<int16_t>> Remote();

private:
  std::mutex lock_;
  std::vector<std::vector<int16_t>> local_, remote_;
};

// --- calls over 127.0.0.1 on virtual devices ---

// Polls `done` every 5 ms until it holds (true) or `limit` passed (false).
bool WaitFor(const std::function<bool()>& done,
             std::chrono::milliseconds limit = std::chrono::milliseconds(8000));

// A call whose capture and playback use virtual device `device`, with the
// codec of `payloadType`, a free local RTP port, 127.0.0.1 as the far address
// and no silence reports. Media not started; the far port is set by Pair.
std::shared_ptr<qv::TCall> MakeMediaCall(const ISipEnginePtr& engine, int device, int payloadType,
                                         const std::string& callId = "");
// Points each call's RTP at the other's local port.
void Pair(qv::TCall& a, qv::TCall& b);

// Frequency and signal-to-noise ratio of what virtual speaker `device` played:
// the median over five 200 ms windows of its last second, each against its
// best-fitting sine near `guessHz` (a lost or late packet spoils one window,
// not the figure). Zeros when less than 200 ms were played.
TSineFit MeasureSpeaker(int device, double guessHz = 1000);

}  // namespace qv::test
