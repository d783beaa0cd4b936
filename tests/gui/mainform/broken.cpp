// Damaged settings files: the program starts with what can be read, nothing
// crashes, and nothing is written before shutdown.
#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include "app/inifile.h"
#include "app/accountsframe.h"
#include "app/audioframe.h"
#include "app/dialframe.h"
#include "app/regform.h"
#include "mainform/suites.h"
#include "support/rig.h"

namespace qv::test {

namespace {

std::string Garbage(size_t size, uint32_t state) {
  std::string bytes;
  for (size_t i = 0; i < size; ++i) {
    state = state * 1103515245u + 12345u;
    bytes += char(state >> 23);
  }
  return bytes;
}

}  // namespace

class TBrokenSettingsSuite : public QObject {
  Q_OBJECT

private slots:
  // An unreadable Count: the numbered sections that are there are read, and
  // adding an account later keeps them instead of writing over [ACCOUNT1].
  void unreadableCountReadsTheSections() {
    TRig rig;
    const std::string text =
        "[ACCOUNT]\nCount=two\n[ACCOUNT1]\nServer=pbx\nUser=100\nPassword=a\n"
        "[ACCOUNT2]\nServer=pbx\nUser=200\nPassword=b\n";
    rig.WriteIni(text);
    rig.Start();
    TMainForm& form = *rig.Form;
    QCOMPARE(form.AccountsFrm()->RowCount(), 2);
    QCOMPARE(rig.ReadIni(), text);
    rig.Watcher.OnDialog = [](QDialog* d) {
      auto* dialog = qobject_cast<TRegistrationForm*>(d);
      dialog->ServerEdit->setText("pbx");
      dialog->UserEdit->setText("300");
      dialog->SaveBtn->click();
    };
    QVERIFY(rig.Click(form.AccountsFrm()->AddBtn));
    TIniFile ini(rig.Ini);
    QCOMPARE(ini.ReadInteger("ACCOUNT", "Count", 0), 3);
    QCOMPARE(ini.ReadString("ACCOUNT1", "Password", ""), std::string("a"));
    QCOMPARE(ini.ReadString("ACCOUNT2", "Password", ""), std::string("b"));
    QCOMPARE(ini.ReadString("ACCOUNT3", "User", ""), std::string("300"));
  }

  // A Count larger than the sections gives empty rows for the missing ones;
  // one damaged into a huge number does not stall the start.
  void countsLargerThanTheSections() {
    {
      TRig rig;
      rig.WriteIni("[ACCOUNT]\nServer=pbx\nUser=100\nCount=3\n[ACCOUNT1]\nServer=pbx\nUser=100\n");
      rig.Start();
      // pbx/100 (the current account; [ACCOUNT1] is its twin), then two empty rows.
      QCOMPARE(rig.Form->AccountsFrm()->RowCount(), 3);
      QCOMPARE(TAccountsFrm::Domain(rig.Form->AccountsFrm()->Row(2)), QString());
    }
    TRig rig;
    rig.WriteIni("[ACCOUNT]\nServer=pbx\nUser=100\nCount=2000000000\n[ACCOUNT1]\nServer=pbx\nUser=100\n");
    QElapsedTimer clock;
    clock.start();
    rig.Start();
    QVERIFY2(clock.elapsed() < 20000, "start-up stalled");
    QCOMPARE(rig.Form->AccountsFrm()->RowCount(), 1000);
  }

  void missingSectionsReadAsDefaults() {
    TRig rig;
    const std::string text = "[AUDIO]\nOut=\"  Virtual Out 1 \"\n";
    rig.WriteIni(text);
    rig.Start();
    TMainForm& form = *rig.Form;
    QCOMPARE(form.AccountsFrm()->RowCount(), 0);
    QCOMPARE(form.DialFrm()->PhoneEdit->text(), QString("101"));
    QCOMPARE(form.SipClient().BoundPort(), 5075);
    // Names are matched trimmed, also the sound layer's own name of a device
    // the list shows under another; what is saved is the item's own text.
    QCOMPARE(form.AudioFrm()->waveOutDevice->currentText(), QString("Salida virtual 1"));
    QCOMPARE(form.AudioFrm()->OutputDevice(), 1);
    QCOMPARE(rig.ReadIni(), text);
    rig.Close();
    QCOMPARE(TIniFile(rig.Ini).ReadString("AUDIO", "Out", ""), std::string("Salida virtual 1"));
  }

  void halfWrittenFileKeepsWhatItHas() {
    TRig rig;
    const std::string text = "[ACCOUNT]\nServer=" + rig.Registrar.Server() + "\nUser=10";
    rig.WriteIni(text);
    rig.Start();
    QTRY_COMPARE(rig.Form->StatusText(), QString("sip: 10@127.0.0.1"));
    QCOMPARE(rig.ReadIni(), text);
  }

  void binaryGarbageStartsAndSurvives() {
    for (uint32_t state : {1u, 2u, 3u}) {
      TRig rig;
      std::string garbage = Garbage(20000, state) + "\n";
      rig.WriteIni(garbage);
      rig.Start();
      QVERIFY(rig.Form->isVisible());
      QCOMPARE(rig.ReadIni(), garbage);
      rig.Close();
      std::string after = rig.ReadIni();
      QCOMPARE(after.substr(0, garbage.size()), garbage);
      QCOMPARE(TIniFile(rig.Ini).ReadString("CALL", "Telefono", ""), std::string("101"));
    }
  }

  // A settings file that cannot be written: the error box names it and the
  // program goes on.
  void unwritableFileIsReported() {
    TRig rig;
    rig.Start();
    TMainForm::TOptions options;
    std::string path = rig.Dir.filePath("no-such-dir/trelvani.ini").toStdString();
    rig.Form.reset();
    options.SettingsPath = path;
    rig.Form = std::make_unique<TMainForm>(options);
    rig.Form->show();
    rig.Form->close();
    QCOMPARE(int(rig.Watcher.Boxes.size()), 1);
    QVERIFY(rig.Watcher.Boxes[0].Text.contains(QString::fromStdString(path)));
    QVERIFY(!rig.Form->isVisible());
  }
};

std::unique_ptr<QObject> MakeBrokenSettingsSuite() { return std::make_unique<TBrokenSettingsSuite>(); }

}  // namespace qv::test

#include "broken.moc"
