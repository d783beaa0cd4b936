// The keyboard on the dial pad: Enter dials and answers, Escape hangs up,
// digits go out as DTMF on a connected line (except in the transfer field)
// and into the number field otherwise; the keypad shows the key.
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include "app/dialframe.h"
#include "desktop/suites.h"
#include "dialogs/call.h"
#include "platform/audio_virtual.h"
#include "support/rig.h"

namespace qv::test {

namespace {

QPushButton* Key(TDialFrm& d, int tag) {
  for (QPushButton* k : d.Keys)
    if (k->property("tag").toInt() == tag) return k;
  return nullptr;
}

// The digits the call has queued or the peer has heard.
std::string SentDigits(const ISipCallPtr& call, TSipPeer& peer) {
  return dynamic_cast<TCall*>(call.get())->GetDtmfQueue() + "|" + peer.Digits;
}

}  // namespace

class TKeyboardSuite : public QObject {
  Q_OBJECT

private slots:
  void init() { VirtualAudio::ResetAll(); }

  void dialTalkAndHangUpFromTheKeyboard() {
    TRig rig;
    rig.WriteIni(rig.AccountIni());
    rig.Start();
    TMainForm& form = *rig.Form;
    TDialFrm& d = *form.DialFrm();
    QTRY_VERIFY(form.Online());
    rig.Peer->AutoAnswer = true;

    // Without a call, digits typed anywhere in the window go to the number.
    d.PhoneEdit->clear();
    QTest::keyClicks(&form, "20");
    QVERIFY(Key(d, 0)->isDown());  // the keypad shows the key
    d.PhoneEdit->setFocus();
    QTest::keyClicks(d.PhoneEdit, "5");
    QCOMPARE(d.PhoneEdit->text(), QString("205"));

    QTest::keyClick(d.PhoneEdit, Qt::Key_Return);
    ISipCallPtr call = form.LineCall(1);
    QVERIFY(call);
    QCOMPARE(QString::fromStdString(call->GetRemoteUser()), QString("205"));
    QTRY_COMPARE(call->GetState(), int(csConnected));

    // Connected: digits and * # are DTMF, whatever has the focus, and the
    // number field keeps its text.
    d.PhoneEdit->setText("9");
    QTest::keyClicks(d.PhoneEdit, "4*");
    QTest::keyClick(&form, '#');
    QCOMPARE(d.PhoneEdit->text(), QString("9"));
    QVERIFY(Key(d, 11)->isDown());
    QTRY_VERIFY(SentDigits(call, *rig.Peer).find('#') != std::string::npos);
    QVERIFY(SentDigits(call, *rig.Peer).find("4*") != std::string::npos);

    // The transfer field takes its number, not DTMF.
    form.UpdateActions();  // the field opens with the connected call
    QTest::keyClicks(d.TransferEdit, "300");
    QCOMPARE(d.TransferEdit->text(), QString("300"));
    QTest::qWait(300);
    QVERIFY(SentDigits(call, *rig.Peer).find_first_of("30") == std::string::npos);

    QTest::keyClick(d.PhoneEdit, Qt::Key_Escape);
    QTRY_VERIFY(!form.LineCall(1));
    QTRY_COMPARE(int(rig.Peer->Ended.size()), 1);
  }

  void enterAnswersTheRingingLine() {
    TRig rig;
    rig.WriteIni(rig.AccountIni());
    rig.Start();
    TMainForm& form = *rig.Form;
    QTRY_VERIFY(form.Online());
    ISipCallPtr far = rig.Peer->Call("101");
    QTRY_VERIFY(form.LineCall(1));
    QTest::keyClick(&form, Qt::Key_Enter);  // the keypad's Enter
    QCOMPARE(form.LineCall(1)->GetState(), int(csConnected));
    QTRY_VERIFY(rig.Peer->WasAnswered(far));
  }
};

std::unique_ptr<QObject> MakeKeyboardSuite() { return std::make_unique<TKeyboardSuite>(); }

}  // namespace qv::test

#include "keyboard.moc"
