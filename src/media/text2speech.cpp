#include "media/text2speech.h"

#include <espeak-ng/speak_lib.h>

#include <mutex>

#include "media/resample.h"

namespace qv {

namespace {

constexpr int kCallRate = 8000;

std::mutex& EngineLock() {
  static std::mutex lock;
  return lock;
}

// Sample rate of the engine's output, or 0 when it could not start. Called
// with the engine lock held; the engine is started once for the process.
int EngineRate() {
  static int rate = [] {
    int r = espeak_Initialize(AUDIO_OUTPUT_SYNCHRONOUS, 0, nullptr, 0);
    return r > 0 ? r : 0;
  }();
  return rate;
}

int Collect(short* wav, int count, espeak_EVENT* events) {
  // The list of events ends with espeakEVENT_LIST_TERMINATED and every entry
  // carries the user data given to espeak_Synth.
  if (wav == nullptr || count <= 0 || events == nullptr) return 0;
  auto* samples = static_cast<std::vector<int16_t>*>(events->user_data);
  if (samples != nullptr) samples->insert(samples->end(), wav, wav + count);
  return 0;  // go on synthesising
}

std::string FirstLanguage(const char* languages) {
  // A priority byte, then a zero-terminated name, repeated; empty name ends.
  if (languages == nullptr || languages[0] == 0) return {};
  return std::string(languages + 1);
}

std::vector<TSpeechVoice> ListVoicesLocked() {
  std::vector<TSpeechVoice> voices;
  if (EngineRate() == 0) return voices;
  const espeak_VOICE** list = espeak_ListVoices(nullptr);
  for (int i = 0; list != nullptr && list[i] != nullptr; ++i) {
    const espeak_VOICE* v = list[i];
    voices.push_back({v->name ? v->name : "", FirstLanguage(v->languages),
                      v->identifier ? v->identifier : ""});
  }
  return voices;
}

}  // namespace

std::vector<TSpeechVoice> ListSpeechVoices() {
  std::lock_guard guard(EngineLock());
  return ListVoicesLocked();
}

int FindSpeechVoice(std::string_view language) {
  std::vector<TSpeechVoice> voices = ListSpeechVoices();
  for (size_t i = 0; i < voices.size(); ++i)
    if (voices[i].Language == language) return int(i);
  return -1;
}

void SpeakToPcm(const std::string& text, int voiceIndex, std::string& target) noexcept {
  try {
    std::vector<int16_t> samples;
    int rate = 0;
    {
      std::lock_guard guard(EngineLock());
      rate = EngineRate();
      if (rate == 0 || voiceIndex < 0) return;
      std::vector<TSpeechVoice> voices = ListVoicesLocked();
      if (voiceIndex >= int(voices.size())) return;
      // By identifier (the voice file), which is unique where names need not
      // be; the engine loads the file when no voice is named like that.
      if (espeak_SetVoiceByName(voices[size_t(voiceIndex)].Identifier.c_str()) != EE_OK) return;
      espeak_SetSynthCallback(Collect);
      espeak_Synth(text.c_str(), text.size() + 1, 0, POS_CHARACTER, 0, espeakCHARS_AUTO,
                   nullptr, &samples);
    }
    // Whatever the engine produced before a failure is still spoken.
    std::vector<int16_t> pcm = ResamplePcm(samples.data(), samples.size(), rate, kCallRate);
    size_t start = target.size();
    target.resize(start + pcm.size() * 2);
    for (size_t i = 0; i < pcm.size(); ++i) {
      target[start + 2 * i] = char(uint16_t(pcm[i]) & 0xFF);
      target[start + 2 * i + 1] = char(uint16_t(pcm[i]) >> 8);
    }
  } catch (...) {
    // Speech is a convenience: a failure must not take the caller down.
  }
}

}  // namespace qv
