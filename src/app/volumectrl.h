// TVolumeCtrl: one mixer line's volume (0..255), balance (-32..32) and mute
// switch, with notifications when anyone changes them. The main window ties
// its speaker slider to the master output with it, both ways.
//
// Volume is the larger channel value of the line (0..65535) shifted right by
// 8; setting it writes both channels and keeps the present balance by
// lowering one side. Reading and writing go through IMixerLine
// (platform/mixer.h); the change notifications arrive on the GUI thread
// through socket notifiers on the mixer's descriptors.
//
// Threads: GUI thread only.
#pragma once

#include <QObject>
#include <functional>
#include <memory>
#include <vector>

#include "platform/mixer.h"

class QSocketNotifier;

namespace qv {

class TVolumeCtrl : public QObject {
  Q_OBJECT
public:
  using TLineFactory = std::function<IMixerLinePtr(int device, int line)>;

  // Opens line 0 of mixer device 0. A machine without a mixer gets a control
  // that is not Available(): it reads 0 and ignores writes.
  explicit TVolumeCtrl(QObject* parent = nullptr, TLineFactory factory = OpenAlsaMixerLine);
  ~TVolumeCtrl() override;

  bool Available() const { return line_ != nullptr; }

  int CurDev() const { return curDev_; }
  void SetCurDev(int value);    // reopens; raises EMixerException
  int CurLine() const { return curLine_; }
  void SetCurLine(int value);   // raises EMixerException ("Get Line Failed!")

  int Volume();                 // 0..255; also refreshes the kept left and right values
  void SetVolume(int value);    // clamped to 0..255; ignored when unchanged
  int Balance() const;          // -32..32, from the kept left and right values
  bool IsMute();
  void SetIsMute(bool value);

  // Events, raised from the mixer's notifications.
  std::function<void(int volume, int balance)> OnVolumeChange;
  std::function<void(bool mute)> OnMuteChange;

  // Takes the mixer's pending notifications and raises the events. The socket
  // notifiers call it; tests with a fake line call it directly.
  void HandleMixerEvents();

  // The balance of a left/right pair, as the original computed it.
  static int BalanceOf(int left, int right, int channels);

private:
  void Open();
  void Watch();

  TLineFactory factory_;
  IMixerLinePtr line_;
  std::vector<QSocketNotifier*> notifiers_;
  int curDev_ = 0;
  int curLine_ = 0;
  int left_ = 0;
  int right_ = 0;
  bool mute_ = false;
};

}  // namespace qv
