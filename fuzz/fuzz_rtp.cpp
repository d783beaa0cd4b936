// The RTP receive path with hostile datagrams: what the playback thread does
// with each one it reads, without the thread, the socket or a sound device.
//
// Input: one setup byte (first decoder, speaker switch, silence settings,
// negotiated payload types),
// then records of [flags][length high][length low][bytes...]. Flag bit 0 gives
// the oldest play buffer back before the datagram (or, without a device, lets
// 10 ms of playout pass), bit 1 moves the clock by 130 ms (past the DTMF and
// in-band windows), bit 2 makes the datagram come from a stranger's address.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <deque>

#include "dialogs/call.h"
#include "media/codecs.h"
#include "media/conference.h"
#include "media/recorder.h"
#include "media/rtpreceive.h"
#include "platform/clock.h"

namespace {

using namespace qv;

class TKeepingDevice final : public IWaveDevice {
public:
  void AddBuffer(TWaveHeader* header) override {
    if (header->InQueue) std::abort();  // the receiver queued a buffer twice
    if (header->BufferLength == 0 || header->BufferLength > TRtpReceiver::kPlayBufferBytes) std::abort();
    header->InQueue = true;
    queued.push_back(header);
  }
  void Start() override {}
  void Stop() override {}
  void Reset() override {}
  void Close() override {}
  bool IsInput() const override { return false; }
  TWaveFormat Format() const override { return kCallFormat; }
  std::deque<TWaveHeader*> queued;
};

constexpr int kFirstDecoder[] = {-1, 0, 8, 3, 110};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t setup = data[0];
  auto call = std::make_shared<TCall>(nullptr, "fuzz", nullptr);
  call->SetSpeakerEnabled(setup & 0x08);
  call->SetSilenceThreshold(setup & 0x10 ? 500 : 0);
  call->SetSilenceTimeout(setup & 0x20 ? 0 : 5000);
  if (setup & 0x80) {
    // As after an SDP exchange that gave events 96, Speex 97 and comfort noise 13.
    TRtpPayloadMap map;
    map.Received[96] = TRtpPayloadMap::kEvent;
    map.Received[97] = 110;
    map.SendEventType = 96;
    call->SetPayloadMap(map);
  }
  auto conference = std::make_shared<TSipConference>();
  call->SetConference(conference);
  call->SetRecorder(std::make_shared<TSipRecorder>());
  TKeepingDevice device;
  call->SetRemoteRtpAddress("192.0.2.1");
  call->SetRemoteRtpPort(4000);
  const TRtpAddress peer{"192.0.2.1", 4000}, stranger{"198.51.100.7", 4000};
  TRtpReceiver receiver(CreateCodec(kFirstDecoder[(setup & 0x07) % 5]));
  if (!(setup & 0x40)) receiver.SetDevice(&device);

  size_t at = 1;
  while (at + 3 <= size) {
    const uint8_t flags = data[at];
    size_t length = size_t(data[at + 1]) << 8 | data[at + 2];
    at += 3;
    if (length > size - at) length = size - at;
    if ((flags & 1) && !device.queued.empty()) {
      TWaveHeader* h = device.queued.front();
      device.queued.pop_front();
      h->InQueue = false;
      receiver.BufferDone(h, call.get());
    } else if ((flags & 1) && receiver.NeedsClock()) {
      receiver.SliceElapsed(*call);
    }
    if (flags & 2) AdvanceClockForTests(130);
    receiver.HandleDatagram(data + at, int(length), flags & 4 ? stranger : peer, *call);
    at += length;
    const int queued = receiver.QueuedSlices();
    if (queued < 0 || queued > TRtpReceiver::kQueuedSlices) std::abort();
    if (!(setup & 0x40) && queued != int(device.queued.size())) std::abort();
    if (receiver.Playout().Level() < 0 || receiver.Playout().Level() > TPlayoutBuffer::kCapacity) std::abort();
    if (receiver.Decoder() && receiver.Decoder()->GetPayloadType() == 101) std::abort();
  }
  call->SetConference(nullptr);
  call->SetRecorder(nullptr);
  return 0;
}
