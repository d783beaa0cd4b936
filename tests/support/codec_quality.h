// How well each codec carries sound, ours against the reference libraries:
// spandsp's G.711, libgsm in its own (RFC 3551) framing, libspeex with a
// peer's usual decoder settings, spandsp's G.722 and libopus as a peer runs
// them by default. Every codec is measured four ways (ours to the reference
// decoder, ours to ours, reference to reference, reference to ours) on steady
// tones and on Spanish speech from the speech engine; the wideband codecs at
// 16000 Hz, with a 6000 Hz tone besides.
//
// Shared by the codec tests (which assert on the figures) and the codec
// benchmark (which prints them). No test framework inside.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qv::test {

// One side of a call's codec: 20 ms frames in, payloads out, and back.
class IFrameCoder {
public:
  virtual ~IFrameCoder() = default;
  virtual std::vector<uint8_t> Encode(const int16_t* frame) = 0;
  virtual std::vector<int16_t> Decode(const std::vector<uint8_t>& payload) = 0;
};

// Ours (through CreateCodec) and the reference for payload type 0, 8, 3,
// 110, 9 or 111; nullptr when the library behind it is absent.
std::unique_ptr<IFrameCoder> OurCoder(int payloadType);
std::unique_ptr<IFrameCoder> ReferenceCoder(int payloadType);

// `signal` (whole frames of `frameSamples`) encoded by `encoder` and decoded
// by `decoder`, each fresh, frame after frame as a call carries it.
std::vector<int16_t> Carry(IFrameCoder& encoder, IFrameCoder& decoder, const std::vector<int16_t>& signal,
                           int frameSamples = 160);

// Signal-to-noise ratio of `output` against `input` after the delay (0 to
// `maxLag` samples) that fits best, the first `skip` samples left out while
// the codec settles. Segmental: the mean over 20 ms frames (`frameSamples`)
// of each frame's figure, each held within -10 and 35 dB, frames of near
// silence left out (the usual measure for speech).
double SnrDb(const std::vector<int16_t>& input, const std::vector<int16_t>& output, int skip, int maxLag);
double SegmentalSnrDb(const std::vector<int16_t>& input, const std::vector<int16_t>& output, int skip,
                      int maxLag, int frameSamples = 160);

// A few sentences of Spanish from the speech engine's first "es" voice, cut
// to whole frames; empty when there is no such voice.
std::vector<int16_t> SpanishSpeech();

struct TQualityRow {
  std::string Codec;   // "PCMU", "PCMA", "GSM", "Speex", "G722", "Opus"
  int PayloadType = 0;
  int Rate = 8000;     // of the audio coded
  std::string Signal;  // "440 Hz", ..., "speech"
  // dB; tones: plain SNR, speech: segmental SNR.
  double OursToReference = 0, OursToOurs = 0, ReferenceToReference = 0, ReferenceToOurs = 0;
};

// Every codec whose reference is there, on tones of 440, 500 and 1000 Hz
// (peak 8000), 6000 Hz too for the wideband codecs, and on `speech` (8000 Hz;
// converted to 16000 for the wideband codecs; skipped when empty).
std::vector<TQualityRow> MeasureCodecQuality(const std::vector<int16_t>& speech);

// The rows as a text table, one line per row.
std::string FormatQualityTable(const std::vector<TQualityRow>& rows);

}  // namespace qv::test
