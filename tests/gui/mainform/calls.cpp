// The lines and the call actions, with calls to and from the peer.
#include <QApplication>
#include <QEventLoop>
#include <QTimer>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QToolButton>

#include "app/dialframe.h"
#include "dialogs/call.h"
#include "mainform/suites.h"
#include "platform/audio_virtual.h"
#include "support/rig.h"
#include "support/texts.h"

namespace qv::test {

namespace {

QString Memo(TMainForm& form) { return form.DialFrm()->LineMemo->toPlainText(); }

// What the line display must read, lines joined by CR LF.
QString Lines(std::initializer_list<const char*> lines) {
  QStringList list;
  for (const char* l : lines) list << l;
  return list.join("\r\n");
}

int BusyLines(TMainForm& form) {
  int busy = 0;
  for (int i = 1; i <= 6; ++i)
    if (form.LineCall(i)) ++busy;
  return busy;
}

}  // namespace

class TCallsSuite : public QObject {
  Q_OBJECT

private slots:
  void init() { VirtualAudio::ResetAll(); }

  // One incoming call from ringing to hang-up, and a second, outgoing one
  // beside it: everything a user does with calls, in order.
  void callsFromRingingToHangUp() {
    TRig rig;
    rig.WriteIni(rig.AccountIni());
    rig.Start();
    TMainForm& form = *rig.Form;
    TDialFrm& d = *form.DialFrm();
    QTRY_VERIFY(form.Online());

    // Ringing: line 1, the display, the ring tone on the chosen ring device.
    ISipCallPtr far1 = rig.Peer->Call("101");
    QTRY_VERIFY(form.LineCall(1));
    ISipCallPtr call1 = form.LineCall(1);
    QCOMPARE(call1->GetState(), int(csRinging));
    QCOMPARE(form.CurrentLine(), 1);
    QCOMPARE(form.MemoText(), Lines({"[ LINEA 1 de 6 ] Llamada Entrante", "Llamando a 204", "Timbrando..."}));
    QTRY_COMPARE(Memo(form), QString(form.MemoText()).replace("\r\n", "\n"));
    QVERIFY(form.Ringing());
    QCOMPARE(form.RingDevice(), 3);
    uint64_t played = VirtualAudio::OutputSampleCount(3);
    QVERIFY(VirtualAudio::WaitOutputSamples(3, played + 2205, 3000));
    QCOMPARE(VirtualAudio::OutputFormat(3).SamplesPerSec, 22050u);
    QTRY_VERIFY(!rig.Peer->Rang.empty());
    HarvestTexts();

    // Answering stops the ring and connects.
    QVERIFY(rig.Click(d.CallBtn));
    QVERIFY(!form.Ringing());
    QCOMPARE(call1->GetState(), int(csConnected));
    QTRY_VERIFY(rig.Peer->WasAnswered(far1));
    QCOMPARE(d.PhoneEdit->text(), QString());
    form.RefreshLines();
    QCOMPARE(form.MemoText(), Lines({"[ LINEA 1 de 6 ] Llamada Entrante", "Llamando a 204"}));
    QVERIFY(form.LineLamp(1));
    QVERIFY(call1->GetSpeakerEnabled() && call1->GetMicrophoneEnabled());
    // A connected call on the current line: nothing to dial, so the connect
    // button offers to connect (again), and one call makes no conference.
    form.UpdateActions();
    QCOMPARE(d.btnConectar->text(), QString("Conectarse"));
    QVERIFY(!d.ConferenceBtn->isEnabled());
    uint64_t afterRing = VirtualAudio::OutputSampleCount(3);
    QTest::qWait(300);
    QVERIFY(VirtualAudio::OutputSampleCount(3) - afterRing <= 2 * 4410u);  // at most what was queued

    // The keypad sends DTMF on a connected line and leaves the number alone.
    d.PhoneEdit->setText("12");
    QVERIFY(rig.Click(d.Keys[4]));  // "5"
    QCOMPARE(d.PhoneEdit->text(), QString("12"));
    auto* tcall = dynamic_cast<TCall*>(call1.get());
    QTRY_VERIFY(tcall->GetDtmfQueue().find('5') != std::string::npos ||
                rig.Peer->Digits.find('5') != std::string::npos);

    // Digits from the far end show on the line.
    rig.Peer->Client().SendDtmf(far1, "7");
    QTRY_COMPARE(form.LineDigits(1), std::string("7"));
    QCOMPARE(form.MemoText(), Lines({"[ LINEA 1 de 6 ] Llamada Entrante", "Llamando a 204", "DTMF detectado: 7"}));
    HarvestTexts();

    // Hold and back.
    QCOMPARE(d.HoldBtn->text(), QString("Espera"));
    QVERIFY(rig.Click(d.HoldBtn));
    QCOMPARE(call1->GetState(), int(csHoldSent));
    QCOMPARE(d.HoldBtn->text(), QString("Atender"));
    QTest::qWait(100);  // the peer's 200 to the re-INVITE changes nothing
    form.UpdateActions();
    QCOMPARE(d.HoldBtn->text(), QString("Atender"));
    QVERIFY(rig.Click(d.HoldBtn));
    QCOMPARE(call1->GetState(), int(csConnected));
    QCOMPARE(d.HoldBtn->text(), QString("Espera"));

    // Transfer needs a number.
    d.TransferEdit->clear();
    form.UpdateActions();
    QVERIFY(d.TransferEdit->isEnabled());
    QVERIFY(rig.Click(d.TransferBtn));
    QCOMPARE(int(rig.Watcher.Boxes.size()), 1);
    QCOMPARE(rig.Watcher.Boxes[0].Title, QString("Transferencia Llamada"));
    QCOMPARE(rig.Watcher.Boxes[0].Text, QString("Por favor ingrese el numero al que deseas transferir."));
    QCOMPARE(rig.Watcher.Boxes[0].Icon, QMessageBox::Critical);
    QCOMPARE(call1->GetState(), int(csConnected));

    // Recording, saved through the save dialog as a GSM WAV file.
    QCOMPARE(d.RecordBtn->text(), QString("Grabar"));
    QVERIFY(rig.Click(d.RecordBtn));
    ISipRecorderPtr recorder = form.Recorder();
    QVERIFY(recorder);
    QCOMPARE(call1->GetRecorder(), recorder);
    QCOMPARE(d.RecordBtn->text(), QString("Guardar archivo de audio"));
    QString wav = rig.Dir.filePath("llamada.wav");
    rig.SaveAnswer = wav;
    QVERIFY(rig.Click(d.RecordBtn));
    QCOMPARE(rig.SaveTitle, QString("Guardar grabacion"));
    QCOMPARE(rig.SaveName, QString("grabacion.wav"));
    NoteText(rig.SaveTitle);
    NoteText(rig.SaveName);
    std::string file = ReadFile(wav.toStdString());
    QVERIFY(file.size() >= 48);
    QCOMPARE(file.substr(0, 4), std::string("RIFF"));
    QCOMPARE(file.substr(8, 4), std::string("WAVE"));
    QCOMPARE(uint8_t(file[20]) | uint8_t(file[21]) << 8, 0x31);  // GSM 6.10
    QVERIFY(!form.Recorder());
    QVERIFY(!call1->GetRecorder());  // no call keeps feeding a finished recording
    QCOMPARE(d.RecordBtn->text(), QString("Grabar"));

    // A second call, outgoing, on line 2; line 1 goes quiet and blinks.
    rig.Peer->AutoAnswer = true;
    form.SelectLine(2);
    QVERIFY(!call1->GetSpeakerEnabled() && !call1->GetMicrophoneEnabled());
    d.PhoneEdit->setText("205");
    QVERIFY(rig.Click(d.CallBtn));
    ISipCallPtr call2 = form.LineCall(2);
    QVERIFY(call2);
    QVERIFY(!call2->GetIncoming());
    QTRY_COMPARE(call2->GetState(), int(csConnected));
    QCOMPARE(form.MemoText(), Lines({"[ LINEA 2 de 6 ] Llamada Saliente", "Llamando a 205"}));
    bool lamp = form.LineLamp(1);
    form.RefreshLines();
    QCOMPARE(form.LineLamp(1), !lamp);  // blinking
    QVERIFY(form.LineLamp(2));
    form.RefreshLines();
    QVERIFY(form.LineLamp(2));  // steady
    HarvestTexts();

    // Conference over both connected calls, and off again.
    QCOMPARE(d.ConferenceBtn->text(), QString("Conferencia"));
    QVERIFY(rig.Click(d.ConferenceBtn));
    QVERIFY(form.Conference());
    QCOMPARE(call1->GetConference(), form.Conference());
    QCOMPARE(call2->GetConference(), form.Conference());
    QCOMPARE(d.ConferenceBtn->text(), QString("Detener confe."));
    QVERIFY(rig.Click(d.ConferenceBtn));
    QVERIFY(!form.Conference());
    QVERIFY(!call1->GetConference() && !call2->GetConference());

    // Hanging up line 2 here, line 1 from the far end.
    QVERIFY(rig.Click(d.HangUpBtn));
    QTRY_VERIFY(!form.LineCall(2));
    rig.Peer->Client().HangUp(far1);
    QTRY_VERIFY(!form.LineCall(1));
    form.UpdateActions();
    QVERIFY(!d.ConferenceBtn->isEnabled() && !d.HangUpBtn->isEnabled());

    // Without a connected call the keypad types.
    d.PhoneEdit->clear();
    for (int key : {0, 9, 10, 11}) QVERIFY(rig.Click(d.Keys[size_t(key)]));  // "1", "*", "0", "#"
    QCOMPARE(d.PhoneEdit->text(), QString("1*0#"));
  }

  // Two calls take lines 1 and 2; answering one stops the ring for both; a
  // seventh call finds six busy lines and gets the busy answer.
  void sixLinesThenBusy() {
    TRig rig;
    rig.WriteIni(rig.AccountIni());
    rig.Start();
    TMainForm& form = *rig.Form;
    QTRY_VERIFY(form.Online());
    std::vector<ISipCallPtr> far;
    far.push_back(rig.Peer->Call("101"));
    QTRY_VERIFY(form.LineCall(1));
    // The action list updates by itself whenever the application is idle,
    // that is when its event loop is about to wait (qWait never waits so).
    QEventLoop loop;
    QTimer::singleShot(200, &loop, &QEventLoop::quit);
    loop.exec();
    QVERIFY(form.DialFrm()->HangUpBtn->isEnabled());
    far.push_back(rig.Peer->Call("101"));
    QTRY_VERIFY(form.LineCall(2));
    QVERIFY(form.Ringing());
    QCOMPARE(form.CurrentLine(), 1);  // the current line does not follow
    QVERIFY(rig.Click(form.DialFrm()->CallBtn));
    QVERIFY(!form.Ringing());
    QCOMPARE(form.LineCall(2)->GetState(), int(csRinging));

    for (int i = 0; i < 4; ++i) far.push_back(rig.Peer->Call("101"));
    QTRY_COMPARE(BusyLines(form), 6);
    QVERIFY(form.Ringing());
    ISipCallPtr seventh = rig.Peer->Call("101");
    QTRY_VERIFY(rig.Peer->HasEnded(seventh));
    QCOMPARE(seventh->GetLastResponseCode(), 486);
    QCOMPARE(BusyLines(form), 6);
    QVERIFY(!form.Ringing());  // the reject's OnBye stops the ring still playing
    for (const ISipCallPtr& call : far) QVERIFY(!rig.Peer->HasEnded(call));

    // Hanging up a ringing incoming call rejects it.
    form.SelectLine(2);
    QVERIFY(rig.Click(form.DialFrm()->HangUpBtn));
    QTRY_VERIFY(rig.Peer->HasEnded(far[1]));
    QVERIFY(!form.LineCall(2));
  }
};

std::unique_ptr<QObject> MakeCallsSuite() { return std::make_unique<TCallsSuite>(); }

}  // namespace qv::test

#include "calls.moc"
