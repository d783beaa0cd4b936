// GSM 06.10: the WAVE block <-> RTP frame bit map, and proof that what we send
// is an ordinary RFC 3551 frame by checking against libgsm in its native
// framing, which packs exactly that layout.
#include "media/codecgsm.h"

#include <gsm.h>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <set>
#include <vector>

#include "support/audiosignals.h"

namespace qv {
namespace {

using Frame = std::vector<uint8_t>;

// libgsm with its native RFC 3551 framing: an independent packer and unpacker.
class PlainGsm {
public:
  PlainGsm() : handle_(gsm_create()) {}
  ~PlainGsm() { gsm_destroy(handle_); }
  Frame Encode(const int16_t* pcm) {
    std::vector<gsm_signal> in(pcm, pcm + 160);
    Frame out(33);
    gsm_encode(handle_, in.data(), out.data());
    return out;
  }
  std::vector<int16_t> Decode(const Frame& frame, int* result = nullptr) {
    Frame in = frame;
    std::vector<int16_t> out(160);
    const int r = gsm_decode(handle_, in.data(), out.data());
    if (result) *result = r;
    return out;
  }

private:
  gsm handle_;
};

std::vector<int16_t> Decoded(TCodecGSM& codec, const Frame& payload) {
  std::vector<int16_t> pcm(512, 0x5555);
  EXPECT_EQ(codec.Decode(payload.data(), pcm.data(), int(payload.size())), 320);
  pcm.resize(160);
  return pcm;
}

TEST(GsmBitMap, IsAPermutationOfTheFrameBits) {
  const auto& map = GsmBitMap();
  std::set<int> targets(map.begin(), map.end());
  ASSERT_EQ(targets.size(), 520u);
  for (int frame = 0; frame < 2; ++frame) {
    for (int bit = 4; bit < 8; ++bit) {  // the signature nibble is never a target
      EXPECT_EQ(targets.count(frame * 264 + bit), 0u);
    }
  }
  EXPECT_EQ(*targets.rbegin(), 527);
  // The lowest bits of the first log-area ratio, and the second frame's start.
  EXPECT_EQ(map[0], 14);
  EXPECT_EQ(map[1], 15);
  EXPECT_EQ(map[2], 0);
  EXPECT_EQ(map[260], 278);

  std::mt19937 rng(5);
  for (int round = 0; round < 20; ++round) {
    uint8_t block[65], frames[66], back[65];
    for (auto& b : block) b = uint8_t(rng());
    GsmBlockToFrames(block, frames);
    EXPECT_EQ(frames[0] >> 4, 0xD);
    EXPECT_EQ(frames[33] >> 4, 0xD);
    GsmFramesToBlock(frames, back);
    EXPECT_EQ(0, std::memcmp(block, back, 65));
  }
}

TEST(GsmCodec, PayloadsAreSignedRtpFramesAndDecodesAreFullFrames) {
  TCodecGSM codec;
  EXPECT_EQ(codec.GetPayloadType(), 3);
  std::vector<std::vector<int16_t>> inputs = {
      std::vector<int16_t>(160, 0), std::vector<int16_t>(160, 32767),
      std::vector<int16_t>(160, -32768), test::Noise(12000, 160, 2),
      test::Sine(1000, 32767, 160)};
  for (const auto& pcm : inputs) {
    uint8_t payload[1024];
    ASSERT_EQ(codec.Encode(pcm.data(), payload), 33);
    EXPECT_EQ(payload[0] >> 4, 0xD);
  }
  std::mt19937 rng(9);
  for (int round = 0; round < 50; ++round) {
    Frame payload(33);
    for (auto& b : payload) b = uint8_t(rng());
    if (round == 0) std::fill(payload.begin(), payload.end(), 0xFF);
    if (round == 1) std::fill(payload.begin(), payload.end(), 0x00);
    Decoded(codec, payload);
  }
}

TEST(GsmCodec, ShortPayloadsAreNotReadPastTheirEnd) {
  TCodecGSM codec;
  int16_t pcm[512];
  for (int length : {0, 1, 20, 32}) {
    // Exactly `length` bytes on the heap, so a read beyond them is caught.
    auto payload = std::make_unique<uint8_t[]>(size_t(length) + (length == 0));
    std::memset(payload.get(), 0xD5, size_t(length));
    EXPECT_EQ(codec.Decode(payload.get(), pcm, length), 320) << length;
  }
  // A packet of two frames decodes both; a partial frame after them is
  // ignored, and a frame without the signature plays as silence.
  Frame frame(33, 0xD3), longer(frame);
  longer.resize(66 + 20, 0x77);
  TCodecGSM a, b;
  std::vector<int16_t> two(512, 0x5555);
  EXPECT_EQ(b.Decode(longer.data(), two.data(), int(longer.size())), 640);
  EXPECT_EQ(Decoded(a, frame), std::vector<int16_t>(two.begin(), two.begin() + 160));
  EXPECT_EQ(std::vector<int16_t>(two.begin() + 160, two.begin() + 320), std::vector<int16_t>(160, 0));
  EXPECT_EQ(two[320], 0x5555) << "nothing written past the frames decoded";
}

// Every frame is coded once, in RFC 3551 framing: what we send is bit for bit
// what libgsm in its native framing codes from the same audio, and what we
// decode is bit for bit what it decodes, frame after frame, so both sides'
// histories are those of the frames really sent.
TEST(GsmCodec, PayloadsAreWhatANativePeerCodesAndDecodes) {
  const auto speech = test::SpeechLike(4000, 160 * 100, 21);
  TCodecGSM ours;
  PlainGsm peerEncoder, peerDecoder;
  TCodecGSM ourDecoder;
  for (int f = 0; f < 100; ++f) {
    const int16_t* frame = &speech[size_t(f) * 160];
    Frame payload(1024);
    payload.resize(size_t(ours.Encode(frame, payload.data())));
    ASSERT_EQ(payload, peerEncoder.Encode(frame)) << "frame " << f;

    int result = -1;
    const auto peerPcm = peerDecoder.Decode(payload, &result);
    EXPECT_EQ(result, 0);  // the native unpacker accepts the signature
    ASSERT_EQ(Decoded(ourDecoder, payload), peerPcm) << "frame " << f;
  }
}

TEST(GsmCodec, ToneKeepsItsFrequencyThroughUsAndThroughAPeer) {
  for (double frequency : {400.0, 1000.0, 2200.0}) {
    const auto tone = test::Sine(frequency, 12000, 160 * 25);
    TCodecGSM encoder, decoder;
    PlainGsm peer;
    std::vector<int16_t> ours, theirs;
    for (int f = 0; f < 25; ++f) {
      Frame payload(1024);
      payload.resize(size_t(encoder.Encode(&tone[size_t(f) * 160], payload.data())));
      const auto a = Decoded(decoder, payload);
      const auto b = peer.Decode(payload);  // a peer decodes every frame once
      ours.insert(ours.end(), a.begin(), a.end());
      theirs.insert(theirs.end(), b.begin(), b.end());
    }
    // Skip the first 100 ms while the codec settles.
    const int skip = 800, count = int(ours.size()) - skip;
    EXPECT_NEAR(test::DominantFrequency(&ours[skip], count, 100, 3800), frequency, 10);
    EXPECT_NEAR(test::DominantFrequency(&theirs[skip], count, 100, 3800), frequency, 10);
    EXPECT_GT(test::Rms(&ours[skip], count), 0.5 * test::Rms(&tone[skip], count));
    EXPECT_GT(test::Rms(&theirs[skip], count), 0.5 * test::Rms(&tone[skip], count));
  }
}

}  // namespace
}  // namespace qv
