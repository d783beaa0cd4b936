// Opus (RFC 6716) as RTP payload format "opus/48000/2" (RFC 7587), coding
// mono speech in 20 ms frames at 16000 Hz: wideband, which is what a voice
// needs and what the rest of the call's audio path carries.
//
// The RTP clock is 48000 Hz whatever the audio's rate (RFC 7587 4.1), so a
// frame counts 960 timestamp units. What we send follows what the peer's
// a=fmtp asked for (RFC 7587 6.1): in-band forward error correction
// (useinbandfec=1) and discontinuous transmission (usedtx=1) only when asked,
// the bandwidth within its maxplaybackrate, the bit rate within its
// maxaveragebitrate.
//
// Encoder and decoder have their own state: one object may encode on the
// capture thread while it decodes (and recovers losses) on the playback thread.
#pragma once

#include <string>

#include "media/codecs.h"
#include "sip/sipints.h"

struct OpusEncoder;
struct OpusDecoder;

namespace qv {

// What the peer's a=fmtp line for Opus asks of our encoder.
struct TOpusSettings {
  bool Fec = false;            // useinbandfec=1
  bool Dtx = false;            // usedtx=1
  int MaxPlaybackRate = 48000; // maxplaybackrate
  int MaxAverageBitrate = 0;   // maxaveragebitrate; 0: not said
};
// Reads "key=value; key=value" as RFC 7587 6.1 writes it; unknown keys and
// values that are no numbers are passed over.
TOpusSettings ParseOpusFormat(const std::string& fmtp);

class TCodecOpus final : public IAudioCodec, public ILossRecovery {
public:
  static constexpr int kPayloadType = 111;  // the dynamic number we offer it under
  static constexpr int kClockRate = 48000;
  static constexpr int kBitrate = 32000;    // wideband speech with room for the redundancy
  // The loss the encoder plans its redundancy for while FEC is on (percent).
  static constexpr int kExpectedLossPercent = 10;

  explicit TCodecOpus(const TOpusSettings& settings = {});
  ~TCodecOpus() override;
  TCodecOpus(const TCodecOpus&) = delete;
  TCodecOpus& operator=(const TCodecOpus&) = delete;

  int GetFrameSize() override { return kClockRate / 50; }
  int GetPayloadType() override { return kPayloadType; }
  int GetSampleRate() override { return kWideRate; }
  int GetClockRate() override { return kClockRate; }
  // Every frame of the packet (up to 120 ms). A packet the library refuses
  // plays as 20 ms of what the decoder makes up for lost audio.
  int Decode(const uint8_t* payload, int16_t* samples, int length) override;
  // 0 while discontinuous transmission keeps quiet (RFC 7587 3.3).
  int Encode(const int16_t* frame, uint8_t* payload) override;

  int RedundantUnits(const uint8_t* payload, int length) override;
  int DecodeRedundant(const uint8_t* payload, int length, int units, int16_t* samples) override;
  int Conceal(int units, int16_t* samples) override;

  const TOpusSettings& Settings() const { return settings_; }

private:
  const TOpusSettings settings_;
  OpusEncoder* encoder_ = nullptr;
  OpusDecoder* decoder_ = nullptr;
};

}  // namespace qv
