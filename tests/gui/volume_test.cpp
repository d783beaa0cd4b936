// TVolumeCtrl over a mixer line the test controls: the original's volume
// and balance arithmetic, the notifications both ways, a machine without a
// mixer.
#include <QTest>

#include "app/volumectrl.h"
#include "support/testmain.h"

using namespace qv;

namespace {

struct TFakeState {
  int Channels = 2;
  int Left = 0, Right = 0;
  bool Mute = false;
  bool Pending = false;  // a change notification is waiting
  int Writes = 0;
};

class TFakeLine : public IMixerLine {
public:
  explicit TFakeLine(TFakeState& s) : s_(s) {}
  int Channels() override { return s_.Channels; }
  void GetVolume(int& l, int& r) override {
    l = s_.Left;
    r = s_.Channels == 1 ? s_.Left : s_.Right;
  }
  void SetVolume(int l, int r) override {
    s_.Left = l;
    s_.Right = r;
    s_.Pending = true;
    ++s_.Writes;
  }
  bool HasMute() override { return true; }
  bool GetMute() override { return s_.Mute; }
  void SetMute(bool m) override {
    s_.Mute = m;
    s_.Pending = true;
  }
  std::vector<int> Descriptors() override { return {}; }
  bool HandleEvents() override {
    bool p = s_.Pending;
    s_.Pending = false;
    return p;
  }

private:
  TFakeState& s_;
};

}  // namespace

class TVolumeTest : public QObject {
  Q_OBJECT
  TFakeState state_;
  TVolumeCtrl::TLineFactory Factory() {
    return [this](int, int) { return std::make_unique<TFakeLine>(state_); };
  }

private slots:
  void init() { state_ = TFakeState{}; }

  void balanceOfLeftAndRight() {
    QCOMPARE(TVolumeCtrl::BalanceOf(1000, 1000, 2), 0);
    QCOMPARE(TVolumeCtrl::BalanceOf(0, 5000, 2), 32);
    QCOMPARE(TVolumeCtrl::BalanceOf(5000, 0, 2), -32);
    QCOMPARE(TVolumeCtrl::BalanceOf(64000, 32000, 2), -16);
    QCOMPARE(TVolumeCtrl::BalanceOf(32000, 64000, 2), 16);
    QCOMPARE(TVolumeCtrl::BalanceOf(65535, 65000, 2), 0);  // integer division
    QCOMPARE(TVolumeCtrl::BalanceOf(0, 5000, 1), 0);       // one channel: no balance
  }

  void volumeIsTheLouderSideOverEightBits() {
    state_.Left = 40000;
    state_.Right = 65535;
    TVolumeCtrl volume(nullptr, Factory());
    QVERIFY(volume.Available());
    QCOMPARE(volume.Volume(), 255);
    QCOMPARE(volume.Balance(), 12);  // (65535 - 40000) * 32 / 65535
  }

  void settingClampsAndKeepsTheBalance() {
    state_.Left = 51200;
    state_.Right = 51200;
    TVolumeCtrl volume(nullptr, Factory());
    volume.SetVolume(300);
    QCOMPARE(state_.Left, 255 * 256);
    QCOMPARE(state_.Right, 255 * 256);
    volume.SetVolume(-5);
    QCOMPARE(state_.Left, 0);
    QCOMPARE(volume.Volume(), 0);

    // Balance 16 to the right: the left side is lowered by v * b * 8.
    state_.Left = 32000;
    state_.Right = 64000;
    QCOMPARE(volume.Volume(), 250);
    QCOMPARE(volume.Balance(), 16);
    volume.SetVolume(100);
    QCOMPARE(state_.Right, 100 * 256);
    QCOMPARE(state_.Left, 100 * 256 - 100 * 16 * 8);

    // The same volume again writes nothing.
    int writes = state_.Writes;
    volume.SetVolume(100);
    QCOMPARE(state_.Writes, writes);
  }

  // Someone else moves the master volume or the mute switch: the events
  // fire once, with the new values; our own writes are no news.
  void changesFromOutsideRaiseTheEvents() {
    state_.Left = state_.Right = 25600;
    TVolumeCtrl volume(nullptr, Factory());
    int volumes = 0, lastVolume = -1, mutes = 0;
    volume.OnVolumeChange = [&](int v, int) {
      ++volumes;
      lastVolume = v;
    };
    volume.OnMuteChange = [&](bool) { ++mutes; };

    volume.SetVolume(50);
    volume.HandleMixerEvents();
    QCOMPARE(volumes, 0);

    state_.Left = state_.Right = 51200;
    state_.Pending = true;
    volume.HandleMixerEvents();
    QCOMPARE(volumes, 1);
    QCOMPARE(lastVolume, 200);

    state_.Mute = true;
    state_.Pending = true;
    volume.HandleMixerEvents();
    QCOMPARE(volumes, 1);
    QCOMPARE(mutes, 1);
    volume.SetIsMute(true);  // unchanged: nothing written
    QVERIFY(!state_.Pending);
    volume.SetIsMute(false);
    QVERIFY(!state_.Mute);
  }

  void noMixerMeansAnInertControl() {
    TVolumeCtrl volume(nullptr, [](int, int) -> IMixerLinePtr { throw EMixerException("Mixer open failed!"); });
    QVERIFY(!volume.Available());
    QCOMPARE(volume.Volume(), 0);
    volume.SetVolume(100);  // ignored
    volume.HandleMixerEvents();
    QVERIFY_THROWS_EXCEPTION(EMixerException, volume.SetCurDev(1));
  }

  // The real mixer of this machine, when it has one: writing and reading
  // back agree to within the card's steps.
  void realMixerWhenPresent() {
    TVolumeCtrl volume;
    if (!volume.Available()) QSKIP("no mixer on this machine");
    int before = volume.Volume();
    volume.SetVolume(before > 128 ? before - 20 : before + 20);
    QVERIFY(qAbs(volume.Volume() - (before > 128 ? before - 20 : before + 20)) <= 3);
    volume.SetVolume(before);
  }
};

QV_GUI_TEST_MAIN(TVolumeTest, false)
#include "volume_test.moc"
