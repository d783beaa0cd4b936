#include "support/codec_quality.h"

#include <gsm.h>
#include <opus/opus.h>
#include <spandsp.h>
#include <speex/speex.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "media/codecs.h"
#include "media/resample.h"
#include "media/speexlib.h"
#include "media/text2speech.h"

namespace qv::test {

namespace {

constexpr int kFrame = 160;

class TOurCoder final : public IFrameCoder {
public:
  explicit TOurCoder(IAudioCodecPtr codec) : codec_(std::move(codec)) {}
  std::vector<uint8_t> Encode(const int16_t* frame) override {
    std::vector<uint8_t> payload(1024);
    payload.resize(size_t(codec_->Encode(frame, payload.data())));
    return payload;
  }
  std::vector<int16_t> Decode(const std::vector<uint8_t>& payload) override {
    std::vector<int16_t> pcm(kMaxDecodedSamples);
    pcm.resize(size_t(codec_->Decode(payload.data(), pcm.data(), int(payload.size())) / 2));
    return pcm;
  }

private:
  IAudioCodecPtr codec_;
};

// spandsp's G.722 at 64 kbit/s, as a peer that links it runs it.
class TSpandspG722 final : public IFrameCoder {
public:
  TSpandspG722() : encoder_(g722_encode_init(nullptr, 64000, 0)), decoder_(g722_decode_init(nullptr, 64000, 0)) {}
  ~TSpandspG722() override {
    g722_encode_free(encoder_);
    g722_decode_free(decoder_);
  }
  std::vector<uint8_t> Encode(const int16_t* frame) override {
    std::vector<uint8_t> payload(160);
    payload.resize(size_t(g722_encode(encoder_, payload.data(), frame, 320)));
    return payload;
  }
  std::vector<int16_t> Decode(const std::vector<uint8_t>& payload) override {
    std::vector<int16_t> pcm(2 * payload.size());
    pcm.resize(size_t(g722_decode(decoder_, pcm.data(), payload.data(), int(payload.size()))));
    return pcm;
  }

private:
  g722_encode_state_t* encoder_;
  g722_decode_state_t* decoder_;
};

// libopus as a peer runs it for a call with nothing set: the library's own
// bit rate and bandwidth for 16000 Hz voice, no FEC, no DTX.
class TPlainOpus final : public IFrameCoder {
public:
  TPlainOpus() {
    int error = 0;
    encoder_ = opus_encoder_create(16000, 1, OPUS_APPLICATION_VOIP, &error);
    decoder_ = opus_decoder_create(16000, 1, &error);
  }
  ~TPlainOpus() override {
    opus_encoder_destroy(encoder_);
    opus_decoder_destroy(decoder_);
  }
  std::vector<uint8_t> Encode(const int16_t* frame) override {
    std::vector<uint8_t> payload(1276);
    const int n = opus_encode(encoder_, frame, 320, payload.data(), int(payload.size()));
    payload.resize(size_t(std::max(n, 0)));
    return payload;
  }
  std::vector<int16_t> Decode(const std::vector<uint8_t>& payload) override {
    std::vector<int16_t> pcm(1920);
    const int n = opus_decode(decoder_, payload.data(), int(payload.size()), pcm.data(), 1920, 0);
    pcm.resize(size_t(std::max(n, 0)));
    return pcm;
  }

private:
  OpusEncoder* encoder_ = nullptr;
  OpusDecoder* decoder_ = nullptr;
};

class TSpandspG711 final : public IFrameCoder {
public:
  explicit TSpandspG711(int law) : state_(g711_init(nullptr, law)) {}
  ~TSpandspG711() override { g711_free(state_); }
  std::vector<uint8_t> Encode(const int16_t* frame) override {
    std::vector<uint8_t> payload(kFrame);
    g711_encode(state_, payload.data(), frame, kFrame);
    return payload;
  }
  std::vector<int16_t> Decode(const std::vector<uint8_t>& payload) override {
    std::vector<int16_t> pcm(payload.size());
    g711_decode(state_, pcm.data(), payload.data(), int(payload.size()));
    return pcm;
  }

private:
  g711_state_t* state_;
};

// libgsm without options: its frames are those of RFC 3551.
class TPlainGsm final : public IFrameCoder {
public:
  TPlainGsm() : encoder_(gsm_create()), decoder_(gsm_create()) {}
  ~TPlainGsm() override {
    gsm_destroy(encoder_);
    gsm_destroy(decoder_);
  }
  std::vector<uint8_t> Encode(const int16_t* frame) override {
    std::vector<gsm_signal> in(frame, frame + kFrame);
    std::vector<uint8_t> payload(33);
    gsm_encode(encoder_, in.data(), payload.data());
    return payload;
  }
  std::vector<int16_t> Decode(const std::vector<uint8_t>& payload) override {
    std::vector<uint8_t> in = payload;
    in.resize(33);
    std::vector<int16_t> pcm(kFrame);
    if (gsm_decode(decoder_, in.data(), pcm.data()) != 0) std::fill(pcm.begin(), pcm.end(), 0);
    return pcm;
  }

private:
  gsm encoder_, decoder_;
};

// libspeex narrowband as another program would run it: quality 10 to match
// what we send, and the decoder as the library starts it (perceptual
// enhancement on).
class TPlainSpeex final : public IFrameCoder {
public:
  explicit TPlainSpeex(const TSpeexApi& api) : api_(api) {
    api_.bits_init(&encoderBits_);
    api_.bits_init(&decoderBits_);
    encoder_ = api_.encoder_init(api_.lib_get_mode(SPEEX_MODEID_NB));
    decoder_ = api_.decoder_init(api_.lib_get_mode(SPEEX_MODEID_NB));
    spx_int32_t quality = 10;
    api_.encoder_ctl(encoder_, SPEEX_SET_QUALITY, &quality);
  }
  ~TPlainSpeex() override {
    api_.bits_destroy(&encoderBits_);
    api_.bits_destroy(&decoderBits_);
    api_.encoder_destroy(encoder_);
    api_.decoder_destroy(decoder_);
  }
  std::vector<uint8_t> Encode(const int16_t* frame) override {
    float in[kFrame];
    for (int i = 0; i < kFrame; ++i) in[i] = frame[i];
    api_.bits_reset(&encoderBits_);
    api_.encode(encoder_, in, &encoderBits_);
    std::vector<uint8_t> payload(size_t(api_.bits_nbytes(&encoderBits_)));
    api_.bits_write(&encoderBits_, reinterpret_cast<char*>(payload.data()), int(payload.size()));
    return payload;
  }
  std::vector<int16_t> Decode(const std::vector<uint8_t>& payload) override {
    api_.bits_read_from(&decoderBits_, reinterpret_cast<const char*>(payload.data()), int(payload.size()));
    float out[kFrame] = {};
    api_.decode(decoder_, &decoderBits_, out);
    std::vector<int16_t> pcm(kFrame);
    for (int i = 0; i < kFrame; ++i) pcm[size_t(i)] = int16_t(std::clamp(std::lround(out[i]), -32768L, 32767L));
    return pcm;
  }

private:
  const TSpeexApi& api_;
  SpeexBits encoderBits_{}, decoderBits_{};
  void* encoder_ = nullptr;
  void* decoder_ = nullptr;
};

// The delay of `output` behind `input` that correlates best.
int BestLag(const std::vector<int16_t>& input, const std::vector<int16_t>& output, int skip, int maxLag) {
  int best = 0;
  double bestScore = -1e300;
  for (int lag = 0; lag <= maxLag; ++lag) {
    double score = 0;
    for (size_t n = size_t(skip); n + size_t(lag) < output.size() && n < input.size(); ++n)
      score += double(input[n]) * output[n + size_t(lag)];
    if (score > bestScore) {
      bestScore = score;
      best = lag;
    }
  }
  return best;
}

double Db(double signal, double noise) {
  if (noise <= 0) return 99;
  if (signal <= 0) return -99;
  return 10 * std::log10(signal / noise);
}

}  // namespace

std::unique_ptr<IFrameCoder> OurCoder(int payloadType) {
  IAudioCodecPtr codec = CreateCodec(payloadType);
  return codec ? std::make_unique<TOurCoder>(std::move(codec)) : nullptr;
}

std::unique_ptr<IFrameCoder> ReferenceCoder(int payloadType) {
  switch (payloadType) {
    case 0:
      return std::make_unique<TSpandspG711>(G711_ULAW);
    case 8:
      return std::make_unique<TSpandspG711>(G711_ALAW);
    case 3:
      return std::make_unique<TPlainGsm>();
    case 110:
      if (const TSpeexApi* api = SpeexApi()) return std::make_unique<TPlainSpeex>(*api);
      return nullptr;
    case 9:
      return std::make_unique<TSpandspG722>();
    case 111:
      return std::make_unique<TPlainOpus>();
    default:
      return nullptr;
  }
}

std::vector<int16_t> Carry(IFrameCoder& encoder, IFrameCoder& decoder, const std::vector<int16_t>& signal,
                           int frameSamples) {
  std::vector<int16_t> out;
  out.reserve(signal.size());
  for (size_t at = 0; at + size_t(frameSamples) <= signal.size(); at += size_t(frameSamples)) {
    std::vector<int16_t> pcm = decoder.Decode(encoder.Encode(&signal[at]));
    pcm.resize(size_t(frameSamples));
    out.insert(out.end(), pcm.begin(), pcm.end());
  }
  return out;
}

double SnrDb(const std::vector<int16_t>& input, const std::vector<int16_t>& output, int skip, int maxLag) {
  const int lag = BestLag(input, output, skip, maxLag);
  double signal = 0, noise = 0;
  for (size_t n = size_t(skip); n + size_t(lag) < output.size() && n < input.size(); ++n) {
    const double x = input[n], e = double(output[n + size_t(lag)]) - x;
    signal += x * x;
    noise += e * e;
  }
  return Db(signal, noise);
}

double SegmentalSnrDb(const std::vector<int16_t>& input, const std::vector<int16_t>& output, int skip,
                      int maxLag, int frameSamples) {
  const int lag = BestLag(input, output, skip, maxLag);
  const size_t frame = size_t(frameSamples);
  // Frames quieter than -50 dBFS (RMS about 100) say nothing about the codec.
  const double quietFrameEnergy = 100.0 * 100.0 * double(frame);
  double sum = 0;
  int frames = 0;
  for (size_t at = size_t(skip); at + frame + size_t(lag) <= output.size() && at + frame <= input.size();
       at += frame) {
    double signal = 0, noise = 0;
    for (size_t n = at; n < at + frame; ++n) {
      const double x = input[n], e = double(output[n + size_t(lag)]) - x;
      signal += x * x;
      noise += e * e;
    }
    if (signal < quietFrameEnergy) continue;
    sum += std::clamp(Db(signal, noise), -10.0, 35.0);
    ++frames;
  }
  return frames ? sum / frames : 0;
}

std::vector<int16_t> SpanishSpeech() {
  const int voice = FindSpeechVoice("es");
  if (voice < 0) return {};
  std::string pcm;
  SpeakToPcm("Buenos días. Ha llamado al servicio de atención al cliente. Para hablar con una "
             "operadora, marque el número nueve. Si conoce la extensión, márquela ahora, o espere "
             "y será atendido en breve. Gracias por su paciencia.",
             voice, pcm);
  std::vector<int16_t> samples(pcm.size() / 2 / kFrame * kFrame);
  for (size_t i = 0; i < samples.size(); ++i)
    samples[i] = int16_t(uint8_t(pcm[2 * i]) | uint8_t(pcm[2 * i + 1]) << 8);
  return samples;
}

std::vector<TQualityRow> MeasureCodecQuality(const std::vector<int16_t>& speech) {
  struct TCodecName {
    int PayloadType;
    const char* Name;
    int Rate;
  };
  constexpr TCodecName kCodecs[] = {{0, "PCMU", 8000},  {8, "PCMA", 8000},  {3, "GSM", 8000},
                                    {110, "Speex", 8000}, {9, "G722", 16000}, {111, "Opus", 16000}};
  struct TSignal {
    std::string Name;
    std::vector<int16_t> Samples;
    bool Speech;
  };
  auto signalsAt = [&](int rate) {
    std::vector<TSignal> signals;
    std::vector<double> tones = {440.0, 500.0, 1000.0};
    if (rate > 8000) tones.push_back(6000.0);  // only a wideband path carries it
    for (double hz : tones) {
      const size_t count = size_t(rate);  // a second
      std::vector<int16_t> tone(count);
      for (size_t n = 0; n < tone.size(); ++n)
        tone[n] = int16_t(std::lround(8000 * std::sin(2 * M_PI * hz * double(n) / rate)));
      char name[16];
      std::snprintf(name, sizeof name, "%g Hz", hz);
      signals.push_back({name, std::move(tone), false});
    }
    if (!speech.empty())
      signals.push_back({"speech", rate == 8000 ? speech : ResamplePcm(speech.data(), speech.size(), 8000, rate), true});
    return signals;
  };

  std::vector<TQualityRow> rows;
  for (const TCodecName& codec : kCodecs) {
    if (!ReferenceCoder(codec.PayloadType) || !OurCoder(codec.PayloadType)) continue;
    const int scale = codec.Rate / 8000;
    for (const TSignal& signal : signalsAt(codec.Rate)) {
      // 100 ms for the codec to settle; Speex and Opus delay their output,
      // so the best fit is looked for up to 60 ms late.
      const int skip = 800 * scale, maxLag = 480 * scale, frame = 160 * scale;
      auto measure = [&](bool oursEncodes, bool oursDecodes) {
        auto encoder = oursEncodes ? OurCoder(codec.PayloadType) : ReferenceCoder(codec.PayloadType);
        auto decoder = oursDecodes ? OurCoder(codec.PayloadType) : ReferenceCoder(codec.PayloadType);
        const std::vector<int16_t> out = Carry(*encoder, *decoder, signal.Samples, frame);
        return signal.Speech ? SegmentalSnrDb(signal.Samples, out, skip, maxLag, frame)
                             : SnrDb(signal.Samples, out, skip, maxLag);
      };
      TQualityRow row;
      row.Codec = codec.Name;
      row.PayloadType = codec.PayloadType;
      row.Rate = codec.Rate;
      row.Signal = signal.Name;
      row.OursToReference = measure(true, false);
      row.OursToOurs = measure(true, true);
      row.ReferenceToReference = measure(false, false);
      row.ReferenceToOurs = measure(false, true);
      rows.push_back(row);
    }
  }
  return rows;
}

std::string FormatQualityTable(const std::vector<TQualityRow>& rows) {
  std::string text =
      "| codec | rate | signal | ours -> reference | ours -> ours | reference -> reference | reference -> ours |\n"
      "|---|---|---|---|---|---|---|\n";
  for (const TQualityRow& r : rows) {
    char line[200];
    std::snprintf(line, sizeof line, "| %s | %d Hz | %s | %.1f dB | %.1f dB | %.1f dB | %.1f dB |\n", r.Codec.c_str(),
                  r.Rate, r.Signal.c_str(), r.OursToReference, r.OursToOurs, r.ReferenceToReference,
                  r.ReferenceToOurs);
    text += line;
  }
  return text;
}

}  // namespace qv::test
