#include "media/codecopus.h"

#include <opus/opus.h>

#include <algorithm>
#include <cstring>

#include "platform/errors.h"
#include "platform/textutil.h"

namespace qv {

namespace {

constexpr int kUnitsPerSample = TCodecOpus::kClockRate / kWideRate;
constexpr int kMaxPacketBytes = 1024;  // what the sender gives Encode
constexpr int kDtxPacketBytes = 2;     // libopus: "2 bytes or less need not be sent"

int Bandwidth(int maxPlaybackRate) {
  if (maxPlaybackRate <= 8000) return OPUS_BANDWIDTH_NARROWBAND;
  if (maxPlaybackRate <= 12000) return OPUS_BANDWIDTH_MEDIUMBAND;
  return OPUS_BANDWIDTH_WIDEBAND;  // our audio goes no higher
}

}  // namespace

TOpusSettings ParseOpusFormat(const std::string& fmtp) {
  TOpusSettings settings;
  size_t start = 0;
  while (start < fmtp.size()) {
    size_t end = fmtp.find(';', start);
    if (end == std::string::npos) end = fmtp.size();
    const std::string_view item = TrimView(std::string_view(fmtp).substr(start, end - start));
    start = end + 1;
    const size_t equals = item.find('=');
    if (equals == std::string_view::npos) continue;
    const std::string_view key = TrimView(item.substr(0, equals));
    int value = 0;
    if (!ParseInt(TrimView(item.substr(equals + 1)), value)) continue;
    if (key == "useinbandfec") settings.Fec = value == 1;
    else if (key == "usedtx") settings.Dtx = value == 1;
    else if (key == "maxplaybackrate" && value > 0) settings.MaxPlaybackRate = value;
    else if (key == "maxaveragebitrate" && value > 0) settings.MaxAverageBitrate = value;
  }
  return settings;
}

TCodecOpus::TCodecOpus(const TOpusSettings& settings) : settings_(settings) {
  int error = OPUS_OK;
  encoder_ = opus_encoder_create(kWideRate, 1, OPUS_APPLICATION_VOIP, &error);
  if (error == OPUS_OK) decoder_ = opus_decoder_create(kWideRate, 1, &error);
  if (error != OPUS_OK || !encoder_ || !decoder_) {
    if (encoder_) opus_encoder_destroy(encoder_);
    if (decoder_) opus_decoder_destroy(decoder_);
    throw Exception("Opus coder could not be made");
  }
  // RFC 7587 6.1: the bit rate is at most what the receiver said it takes,
  // and at least what Opus needs for wideband speech to be worth it.
  int bitrate = kBitrate;
  if (settings_.MaxAverageBitrate > 0) bitrate = std::clamp(settings_.MaxAverageBitrate, 6000, kBitrate);
  opus_encoder_ctl(encoder_, OPUS_SET_BITRATE(bitrate));
  opus_encoder_ctl(encoder_, OPUS_SET_SIGNAL(OPUS_SIGNAL_VOICE));
  opus_encoder_ctl(encoder_, OPUS_SET_MAX_BANDWIDTH(Bandwidth(settings_.MaxPlaybackRate)));
  opus_encoder_ctl(encoder_, OPUS_SET_INBAND_FEC(settings_.Fec ? 1 : 0));
  opus_encoder_ctl(encoder_, OPUS_SET_PACKET_LOSS_PERC(settings_.Fec ? kExpectedLossPercent : 0));
  opus_encoder_ctl(encoder_, OPUS_SET_DTX(settings_.Dtx ? 1 : 0));
}

TCodecOpus::~TCodecOpus() {
  opus_encoder_destroy(encoder_);
  opus_decoder_destroy(decoder_);
}

int TCodecOpus::Encode(const int16_t* frame, uint8_t* payload) {
  const int n = opus_encode(encoder_, frame, FrameSamplesAt(kWideRate), payload, kMaxPacketBytes);
  if (n < 0) return 0;  // cannot happen with a valid frame; nothing is better than garbage
  // With DTX on, a packet this short says "nothing new": it is not sent.
  if (settings_.Dtx && n <= kDtxPacketBytes) return 0;
  return n;
}

int TCodecOpus::Decode(const uint8_t* payload, int16_t* samples, int length) {
  if (length <= 0) return 0;
  const int n = opus_decode(decoder_, payload, length, samples, kMaxDecodedSamples, 0);
  if (n >= 0) return 2 * n;
  return Conceal(GetFrameSize(), samples);
}

int TCodecOpus::RedundantUnits(const uint8_t* payload, int length) {
  // Only the speech layer (SILK-only and hybrid configurations, TOC values
  // below 16, RFC 6716 3.1) carries a redundant copy of the frame before,
  // as long as one of this packet's; where the encoder left it out the
  // decoder falls back to concealment by itself.
  if (length <= 0 || (payload[0] >> 3) >= 16) return 0;
  const int units = opus_packet_get_samples_per_frame(payload, kClockRate);
  return units > 0 ? units : 0;
}

int TCodecOpus::DecodeRedundant(const uint8_t* payload, int length, int units, int16_t* samples) {
  const int count = std::clamp(units / kUnitsPerSample, 0, kMaxDecodedSamples);
  if (count == 0 || length <= 0) return 0;
  const int n = opus_decode(decoder_, payload, length, samples, count, 1);
  return n > 0 ? 2 * n : 0;
}

int TCodecOpus::Conceal(int units, int16_t* samples) {
  // The decoder makes up audio in steps of 2.5 ms.
  int count = std::clamp(units / kUnitsPerSample, 0, kMaxDecodedSamples);
  count -= count % (kWideRate / 400);
  if (count == 0) return 0;
  const int n = opus_decode(decoder_, nullptr, 0, samples, count, 0);
  if (n > 0) return 2 * n;
  std::memset(samples, 0, sizeof(int16_t) * size_t(count));
  return 2 * count;
}

}  // namespace qv
