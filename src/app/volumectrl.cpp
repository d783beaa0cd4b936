#include "app/volumectrl.h"

#include <QSocketNotifier>
#include <algorithm>
#include <cstdlib>

namespace qv {

TVolumeCtrl::TVolumeCtrl(QObject* parent, TLineFactory factory)
    : QObject(parent), factory_(std::move(factory)) {
  try {
    Open();
  } catch (const EMixerException&) {
    // No mixer: the window disables its slider; nothing to tell the user.
  }
}

TVolumeCtrl::~TVolumeCtrl() {
  for (QSocketNotifier* n : notifiers_) delete n;
}

void TVolumeCtrl::Open() {
  for (QSocketNotifier* n : notifiers_) delete n;
  notifiers_.clear();
  line_.reset();
  line_ = factory_(curDev_, curLine_);
  Volume();
  mute_ = line_->GetMute();
  Watch();
}

void TVolumeCtrl::Watch() {
  for (int fd : line_->Descriptors()) {
    auto* n = new QSocketNotifier(fd, QSocketNotifier::Read);
    connect(n, &QSocketNotifier::activated, this, [this] { HandleMixerEvents(); });
    notifiers_.push_back(n);
  }
}

void TVolumeCtrl::SetCurDev(int value) {
  curDev_ = value;
  Open();
}

void TVolumeCtrl::SetCurLine(int value) {
  curLine_ = value;
  Open();
}

int TVolumeCtrl::BalanceOf(int l, int r, int channels) {
  if (channels < 2 || l == r) return 0;
  if (l == 0) return 32;
  if (r == 0) return -32;
  if (r < l) return -((l - r) * 32 / l);
  return (r - l) * 32 / r;
}

int TVolumeCtrl::Volume() {
  if (!line_) return 0;
  line_->GetVolume(left_, right_);
  return std::max(left_, right_) >> 8;
}

int TVolumeCtrl::Balance() const {
  return line_ ? BalanceOf(left_, right_, line_->Channels()) : 0;
}

void TVolumeCtrl::SetVolume(int value) {
  if (!line_ || value == Volume()) return;
  value = std::clamp(value, 0, 255);
  int balance = Balance();
  int left = value * 256, right = value * 256;
  if (balance > 0) left -= value * balance * 8;
  if (balance < 0) right -= value * std::abs(balance) * 8;
  line_->SetVolume(left, right);
  // Our own write is no news: the notification it causes finds no change.
  line_->GetVolume(left_, right_);
}

bool TVolumeCtrl::IsMute() { return line_ ? line_->GetMute() : false; }

void TVolumeCtrl::SetIsMute(bool value) {
  if (line_ && line_->GetMute() != value) line_->SetMute(value);
}

void TVolumeCtrl::HandleMixerEvents() {
  if (!line_ || !line_->HandleEvents()) return;
  int oldLeft = left_, oldRight = right_;
  int volume = Volume();
  if ((left_ != oldLeft || right_ != oldRight) && OnVolumeChange) OnVolumeChange(volume, Balance());
  bool mute = line_->GetMute();
  if (mute != mute_) {
    mute_ = mute;
    if (OnMuteChange) OnMuteChange(mute);
  }
}

}  // namespace qv
