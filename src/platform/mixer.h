// The sound card's mixer: one line's volume (per channel) and mute switch, with
// change notifications. What the original platform's mixer interface was; here
// it is the ALSA simple mixer of a card ("Master" is line 0).
//
// Values are scaled to the original's range, 0..65535 per channel, linear
// over the element's raw range, so that the volume control's arithmetic reads
// as it always did.
//
// Threads: a line belongs to the thread that opened it; nothing here starts a
// thread. The owner polls Descriptors() for readability (the GUI loop does)
// and then calls HandleEvents(), which reports whether the line changed.
#pragma once

#include <memory>
#include <vector>

#include "platform/errors.h"

namespace qv {

// Raised when the mixer cannot be opened or a line or control is missing.
class EMixerException : public Exception {
public:
  using Exception::Exception;
};

class IMixerLine {
public:
  virtual ~IMixerLine() = default;
  virtual int Channels() = 0;  // 1 (mono) or 2
  // 0..65535; a mono line reports the same value on both sides.
  virtual void GetVolume(int& left, int& right) = 0;
  virtual void SetVolume(int left, int right) = 0;
  virtual bool HasMute() = 0;
  virtual bool GetMute() = 0;
  virtual void SetMute(bool mute) = 0;  // ignored by a line without a switch
  // Descriptors to watch for readability; empty when the line cannot notify.
  virtual std::vector<int> Descriptors() = 0;
  // Takes the pending notifications; true when this line's volume or switch
  // changed (by anyone, this process included).
  virtual bool HandleEvents() = 0;
};

using IMixerLinePtr = std::unique_ptr<IMixerLine>;

// Opens line `line` of card `card`: 0 is the master output ("Master", or the
// first element with a playback volume when the card has no "Master"); k > 0
// is the k-th other element with a playback volume. Raises EMixerException:
// "Mixer open failed!" when the card has no mixer, "Get Line Failed!" when
// the line or its volume control does not exist.
IMixerLinePtr OpenAlsaMixerLine(int card, int line);

}  // namespace qv
