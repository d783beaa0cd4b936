// gui_devices: the sound devices as the window lists them. Under the
// automatic choice, on a machine where PortAudio finds no sound card (the
// test machines have none), the program falls back to the virtual devices
// and says so; asked for the virtual devices, it lists them under names that
// say what they are.
#include <QComboBox>
#include <QLineEdit>
#include <QToolButton>
#include <QTest>

#include "app/audioframe.h"
#include "app/dialframe.h"
#include "app/statusbar.h"
#include "platform/audio_portaudio.h"
#include "platform/audiodevice.h"
#include "support/rig.h"
#include "support/testmain.h"

using namespace qv;
using namespace qv::test;

namespace {

QStringList Items(const QComboBox* list) {
  QStringList items;
  for (int i = 0; i < list->count(); ++i) items << list->itemText(i);
  return items;
}

}  // namespace

class TDevicesTest : public QObject {
  Q_OBJECT

private slots:
  // No sound card: one honest entry, and a call shows that nobody hears it.
  void withoutSoundCardTheWindowSaysSo() {
    QVERIFY2(qEnvironmentVariableIsEmpty("QUORVELLE_AUDIO"), "the automatic choice is under test");
    IAudioBackendPtr cards = PortAudioBackend();
    bool none = cards->InputDeviceNames().empty() && cards->OutputDeviceNames().empty();
    TRig rig;
    rig.WriteIni(rig.AccountIni());
    rig.Start();
    TMainForm& form = *rig.Form;
    TAudioFrm& audio = *form.AudioFrm();
    QCOMPARE(AudioBackendIsFallback(), none);
    QCOMPARE(audio.NoSoundCard(), none);
    if (!none) {
      // A machine with sound cards lists them and warns of nothing.
      QCOMPARE(audio.waveOutDevice->itemText(1), QString::fromStdString(cards->OutputDeviceNames().at(0)));
      return;
    }
    const QStringList only = {"Default", "Sin dispositivo de audio (virtual)"};
    for (QComboBox* list : {audio.waveInDevice, audio.waveOutDevice, audio.waveRingDevice})
      QCOMPARE(Items(list), only);
    QCOMPARE(form.StatusLine()->Note(), QString());

    QTRY_VERIFY(form.Online());
    rig.Peer->AutoAnswer = true;
    form.DialFrm()->PhoneEdit->setText("205");
    QVERIFY(rig.Click(form.DialFrm()->CallBtn));
    QTRY_COMPARE(form.LineCall(1)->GetState(), int(csConnected));
    form.RefreshLines();
    QCOMPARE(form.StatusLine()->Note(), QString("Sin audio"));
    QVERIFY(rig.Click(form.DialFrm()->HangUpBtn));
    QTRY_VERIFY(!form.LineCall(1));
    QCOMPARE(form.StatusLine()->Note(), QString());
  }

  // Asked for: the eight virtual devices each way, named as such, and no
  // warning (it is what the user wanted).
  void virtualDevicesAreNamedAsSuch() {
    SelectAudioBackend("virtual");
    TRig rig;
    rig.WriteIni(rig.AccountIni());
    rig.Start();
    TMainForm& form = *rig.Form;
    TAudioFrm& audio = *form.AudioFrm();
    QVERIFY(!audio.NoSoundCard());
    QStringList ins = Items(audio.waveInDevice), outs = Items(audio.waveOutDevice);
    QCOMPARE(ins.size(), 9);
    QCOMPARE(ins.value(1), QString("Entrada virtual 0"));
    QCOMPARE(outs.value(8), QString("Salida virtual 7"));
    QCOMPARE(audio.waveRingDevice->currentText(), QString("Salida virtual 3"));  // stored as "Virtual Out 3"
    QCOMPARE(audio.RingDevice(), 3);
    audio.waveInDevice->setCurrentIndex(3);
    QCOMPARE(audio.InputDevice(), 2);
    QTRY_VERIFY(form.Online());
    rig.Peer->AutoAnswer = true;
    QVERIFY(rig.Click(form.DialFrm()->CallBtn));
    QTRY_COMPARE(form.LineCall(1)->GetState(), int(csConnected));
    form.RefreshLines();
    QCOMPARE(form.StatusLine()->Note(), QString());
  }
};

QV_GUI_TEST_MAIN(TDevicesTest, true)
#include "devices_test.moc"
