// Speech synthesised from text into call audio (8000 Hz 16-bit mono PCM).
//
// The speech engine keeps global state and is not thread-safe: every call
// here is serialised by one process-wide lock, and the engine is started once,
// on first use. Any thread may call these functions; synthesis takes about as
// long as a fraction of the spoken text, so keep it off the real-time threads.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qv {

struct TSpeechVoice {
  std::string Name;        // as the engine shows it, e.g. "Spanish (Spain)"
  std::string Language;    // first language of the voice, e.g. "es"
  std::string Identifier;  // voice file, e.g. "roa/es"
};

// The installed voices; a voice index is a position in this list. Empty when
// the speech engine cannot start.
std::vector<TSpeechVoice> ListSpeechVoices();

// Index of the first voice whose language is `language` (e.g. "es"), else -1.
int FindSpeechVoice(std::string_view language);

// Appends the spoken `text` to `target` as 8000 Hz 16-bit mono samples, with
// the voice at `voiceIndex`. Never raises: an unknown voice index or a failure
// of the engine leaves whatever was appended so far (usually nothing).
void SpeakToPcm(const std::string& text, int voiceIndex, std::string& target) noexcept;

}  // namespace qv
