#include "platform/mixer.h"

#include <alsa/asoundlib.h>
#include <poll.h>

#include <string>

namespace qv {

namespace {

// A machine without a sound card would get an ALSA complaint on stderr at
// every start; "no mixer" is reported by the exception instead.
void QuietAlsa(const char*, int, const char*, int, const char*, ...) {}

class TAlsaMixerLine final : public IMixerLine {
public:
  TAlsaMixerLine(int card, int line) {
    std::string name = "hw:" + std::to_string(card);
    if (snd_mixer_open(&mixer_, 0) < 0) throw EMixerException("Mixer open failed!");
    snd_lib_error_set_handler(&QuietAlsa);
    bool opened = snd_mixer_attach(mixer_, name.c_str()) >= 0 &&
                  snd_mixer_selem_register(mixer_, nullptr, nullptr) >= 0 && snd_mixer_load(mixer_) >= 0;
    snd_lib_error_set_handler(nullptr);
    if (!opened) {
      snd_mixer_close(mixer_);
      throw EMixerException("Mixer open failed!");
    }
    elem_ = FindLine(line);
    if (!elem_) {
      snd_mixer_close(mixer_);
      throw EMixerException("Get Line Failed!");
    }
    snd_mixer_selem_get_playback_volume_range(elem_, &min_, &max_);
    if (max_ <= min_) max_ = min_ + 1;
    snd_mixer_elem_set_callback_private(elem_, this);
    snd_mixer_elem_set_callback(elem_, &TAlsaMixerLine::Changed);
  }

  ~TAlsaMixerLine() override {
    if (mixer_) snd_mixer_close(mixer_);
  }

  int Channels() override { return snd_mixer_selem_is_playback_mono(elem_) ? 1 : 2; }

  void GetVolume(int& left, int& right) override {
    long l = min_, r = min_;
    if (snd_mixer_selem_get_playback_volume(elem_, SND_MIXER_SCHN_FRONT_LEFT, &l) < 0)
      throw EMixerException("Get Line Failed!");
    if (Channels() == 1 ||
        snd_mixer_selem_get_playback_volume(elem_, SND_MIXER_SCHN_FRONT_RIGHT, &r) < 0)
      r = l;
    left = ToScale(l);
    right = ToScale(r);
  }

  void SetVolume(int left, int right) override {
    if (Channels() == 1) {
      snd_mixer_selem_set_playback_volume_all(elem_, FromScale(left > right ? left : right));
      return;
    }
    snd_mixer_selem_set_playback_volume(elem_, SND_MIXER_SCHN_FRONT_LEFT, FromScale(left));
    snd_mixer_selem_set_playback_volume(elem_, SND_MIXER_SCHN_FRONT_RIGHT, FromScale(right));
  }

  bool HasMute() override { return snd_mixer_selem_has_playback_switch(elem_) != 0; }

  bool GetMute() override {
    if (!HasMute()) return false;
    int on = 1;
    snd_mixer_selem_get_playback_switch(elem_, SND_MIXER_SCHN_FRONT_LEFT, &on);
    return on == 0;  // the switch is "sound on"
  }

  void SetMute(bool mute) override {
    if (HasMute()) snd_mixer_selem_set_playback_switch_all(elem_, mute ? 0 : 1);
  }

  std::vector<int> Descriptors() override {
    int count = snd_mixer_poll_descriptors_count(mixer_);
    if (count <= 0) return {};
    std::vector<pollfd> pfds(static_cast<size_t>(count));
    count = snd_mixer_poll_descriptors(mixer_, pfds.data(), unsigned(count));
    std::vector<int> fds;
    for (int i = 0; i < count; ++i) fds.push_back(pfds[size_t(i)].fd);
    return fds;
  }

  bool HandleEvents() override {
    changed_ = false;
    snd_mixer_handle_events(mixer_);
    return changed_;
  }

private:
  static int Changed(snd_mixer_elem_t* elem, unsigned int mask) {
    auto* self = static_cast<TAlsaMixerLine*>(snd_mixer_elem_get_callback_private(elem));
    if (self && (mask & SND_CTL_EVENT_MASK_VALUE)) self->changed_ = true;
    return 0;
  }

  snd_mixer_elem_t* FindLine(int line) {
    snd_mixer_elem_t* master = nullptr;
    std::vector<snd_mixer_elem_t*> others;
    for (snd_mixer_elem_t* e = snd_mixer_first_elem(mixer_); e; e = snd_mixer_elem_next(e)) {
      if (!snd_mixer_selem_is_active(e) || !snd_mixer_selem_has_playback_volume(e)) continue;
      if (!master && std::string(snd_mixer_selem_get_name(e)) == "Master" &&
          snd_mixer_selem_get_index(e) == 0)
        master = e;
      else
        others.push_back(e);
    }
    if (!master && !others.empty()) {
      master = others.front();
      others.erase(others.begin());
    }
    if (line == 0) return master;
    if (line < 0 || size_t(line) > others.size()) return nullptr;
    return others[size_t(line - 1)];
  }

  int ToScale(long raw) const {
    if (raw <= min_) return 0;
    if (raw >= max_) return 65535;
    return int((raw - min_) * 65535 / (max_ - min_));
  }

  long FromScale(int value) const {
    if (value < 0) value = 0;
    if (value > 65535) value = 65535;
    return min_ + (long(value) * (max_ - min_) + 32767) / 65535;
  }

  snd_mixer_t* mixer_ = nullptr;
  snd_mixer_elem_t* elem_ = nullptr;
  long min_ = 0;
  long max_ = 1;
  bool changed_ = false;
};

}  // namespace

IMixerLinePtr OpenAlsaMixerLine(int card, int line) {
  return std::make_unique<TAlsaMixerLine>(card, line);
}

}  // namespace qv
