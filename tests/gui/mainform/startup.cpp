// Start-up, going on and off line, the status bar, the top buttons, the
// balloon tip, shutdown.
#include <QCheckBox>
#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QSlider>
#include <QTest>
#include <QToolButton>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/inifile.h"
#include "app/volumectrl.h"
#include "app/accountsframe.h"
#include "app/audioframe.h"
#include "app/balloontip.h"
#include "app/dialframe.h"
#include "app/statusbar.h"
#include "mainform/suites.h"
#include "engine/sipengine.h"
#include "support/rig.h"
#include "support/texts.h"

namespace qv::test {

namespace {

int EngineAccountCount(TMainForm& form) {
  auto engine = std::dynamic_pointer_cast<TSipEngine>(form.SipClient().Engine());
  return engine ? engine->Accounts().Count() : -1;
}

}  // namespace

class TStartupSuite : public QObject {
  Q_OBJECT

private slots:
  void firstStartWithoutSettingsFile() {
    TRig rig;
    rig.Start();
    TMainForm& form = *rig.Form;
    QCOMPARE(form.windowTitle(), QString("Quorvelle v0.9.3 build 254"));
    QCOMPARE(form.size(), QSize(332, 438));
    QCOMPARE(form.AccountsFrm()->RowCount(), 0);
    QCOMPARE(form.DialFrm()->PhoneEdit->text(), QString("101"));
    QCOMPARE(form.SipClient().BoundPort(), 5075);
    QTest::qWait(300);
    QCOMPARE(rig.Registrar.RegisterCount(), 0);
    QVERIFY(!form.RegisteredAccount());
    QVERIFY(!form.Online());
    QCOMPARE(form.StatusText(), QString("Fuera de linea"));
    QVERIFY(form.DisconnectItem()->isChecked());
    form.UpdateActions();
    QVERIFY(!form.DialFrm()->CallBtn->isEnabled());
    QCOMPARE(form.DialFrm()->btnConectar->text(), QString("Conectarse"));
    QCOMPARE(form.AudioFrm()->waveInDevice->itemText(0), QString("Default"));
    QCOMPARE(form.AudioFrm()->waveOutDevice->currentText(), QString("Default"));
    QVERIFY(!form.AudioFrm()->waveRingDevice->isEditable());
    QCOMPARE(form.AudioFrm()->echoCancel->text(), QString("Cancelar eco y ruido del microfono"));
    QVERIFY(form.AudioFrm()->echoCancel->isChecked());
    QVERIFY(form.SipClient().GetEchoCancellation());
    QVERIFY2(!QFile::exists(QString::fromStdString(rig.Ini)), "nothing is written before shutdown");
    QVERIFY(rig.Watcher.Boxes.empty());

    form.DialFrm()->PhoneEdit->setText("555");
    form.AudioFrm()->waveOutDevice->setCurrentText("Salida virtual 2");
    QVERIFY(rig.Click(form.AudioFrm()->echoCancel));
    QVERIFY(!form.SipClient().GetEchoCancellation());  // at once, for the calls running too
    rig.Close();
    TIniFile ini(rig.Ini);
    QCOMPARE(ini.ReadString("CALL", "Telefono", "-"), std::string("555"));
    for (const char* key : {"Server", "User", "Password", "STUN", "Proxy"})
      QCOMPARE(ini.ReadString("ACCOUNT", key, "-"), std::string());
    QCOMPARE(ini.ReadString("AUDIO", "In", "-"), std::string("Default"));
    QCOMPARE(ini.ReadString("AUDIO", "Out", "-"), std::string("Salida virtual 2"));
    QCOMPARE(ini.ReadString("AUDIO", "Ring", "-"), std::string("Default"));
    QCOMPARE(ini.ReadInteger("AUDIO", "CancelarEco", -1), 0);
    struct stat st{};
    QCOMPARE(stat(rig.Ini.c_str(), &st), 0);
    QCOMPARE(int(st.st_mode & 0777), 0600);
  }

  void startWithAnAccountRegisters() {
    TRig rig;
    rig.WriteIni(rig.AccountIni() + "[CALL]\nTelefono=777\n");
    rig.Start();
    TMainForm& form = *rig.Form;
    QTRY_VERIFY(form.Online());
    QCOMPARE(form.StatusText(), QString("sip: 101@127.0.0.1"));
    QVERIFY(form.ConnectItem()->isChecked());
    QCOMPARE(rig.Registrar.RegisterCount(), 1);
    QCOMPARE(form.AccountsFrm()->RowCount(), 1);
    QCOMPARE(TAccountsFrm::Domain(form.AccountsFrm()->Row(0)), QString::fromStdString(rig.Registrar.Server()));
    QCOMPARE(TAccountsFrm::UserName(form.AccountsFrm()->Row(0)), QString("101"));
    QCOMPARE(form.DialFrm()->PhoneEdit->text(), QString("777"));
    QCOMPARE(form.AudioFrm()->waveRingDevice->currentText(), QString("Salida virtual 3"));
    QVERIFY(form.AudioFrm()->echoCancel->isChecked());  // a file from before the switch: on
    form.UpdateActions();
    QVERIFY(form.DialFrm()->CallBtn->isEnabled());
    QCOMPARE(form.DialFrm()->btnConectar->text(), QString("Desconectarse"));
  }

  void echoSwitchOffIsRestored() {
    TRig rig;
    rig.WriteIni("[AUDIO]\nCancelarEco=0\n");
    rig.Start();
    TMainForm& form = *rig.Form;
    QVERIFY(!form.AudioFrm()->echoCancel->isChecked());
    QVERIFY(!form.SipClient().GetEchoCancellation());
    QVERIFY(rig.Click(form.AudioFrm()->echoCancel));
    QVERIFY(form.SipClient().GetEchoCancellation());
  }

  // btnConectar and the status menu take the window off line and back; an
  // account whose registration ended leaves the engine, so the engine never
  // collects stale accounts in front of the one in use.
  void connectButtonAndStatusMenu() {
    TRig rig;
    rig.WriteIni(rig.AccountIni());
    rig.Start();
    TMainForm& form = *rig.Form;
    QTRY_VERIFY(form.Online());
    QVERIFY(rig.Click(form.DialFrm()->btnConectar));
    QTRY_COMPARE(rig.Registrar.UnregisterCount(), 1);
    QTRY_VERIFY(!form.Online());
    QVERIFY(!form.RegisteredAccount());
    QVERIFY(form.DisconnectItem()->isChecked());
    QCOMPARE(form.StatusText(), QString("Fuera de linea"));
    QTRY_COMPARE(EngineAccountCount(form), 0);

    QVERIFY(rig.Click(form.DialFrm()->btnConectar));
    QTRY_VERIFY(form.Online());
    QCOMPARE(EngineAccountCount(form), 1);

    form.DisconnectItem()->trigger();
    QTRY_VERIFY(!form.Online());
    form.ConnectItem()->trigger();
    QTRY_VERIFY(form.Online());
    QVERIFY(form.ConnectItem()->isChecked());

    // "Conectar" while on line registers a second account object; the first
    // one leaves the engine, which answers with the one the window uses.
    ISipAccountPtr before = form.RegisteredAccount();
    form.ConnectItem()->trigger();
    QTRY_VERIFY(form.RegisteredAccount() != before && form.Online());
    QCOMPARE(EngineAccountCount(form), 1);
    auto engine = std::dynamic_pointer_cast<TSipEngine>(form.SipClient().Engine());
    QCOMPARE(engine->Accounts().FirstAccount(), form.RegisteredAccount());

    QTest::mouseClick(form.StatusLine(), Qt::LeftButton, {}, QPoint(100, 10));
    QTRY_VERIFY(form.StatusMenu()->isVisible());
    HarvestTexts();
    form.StatusMenu()->hide();
  }

  // A refused registration ends it: the window stays off line and says why
  // (in the status bar and the balloon, never in a box).
  void refusedRegistrationStaysOffline() {
    TRig rig;
    rig.Registrar.SetRegisterAnswer("403 Forbidden");
    rig.WriteIni(rig.AccountIni());
    rig.Start();
    TMainForm& form = *rig.Form;
    QTRY_VERIFY(!form.RegisteredAccount());
    QVERIFY(!form.Online());
    QCOMPARE(form.StatusText(), QString("Fuera de linea: cuenta rechazada"));
    QVERIFY(form.LastMessage().startsWith("Cuenta rechazada\nEl servidor 127.0.0.1 rechazo la cuenta."));
    QVERIFY(form.DisconnectItem()->isChecked());
    QVERIFY(rig.Watcher.Boxes.empty());
  }

  // The SIP port is taken: the error box shows the engine's text, the rest of
  // the start-up (the registration included) does not run, the program goes on.
  void portInUseShowsTheErrorAndGoesOn() {
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(5075);
    QCOMPARE(bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    {
      TRig rig;
      rig.WriteIni(rig.AccountIni());
      rig.Start();
      QTRY_COMPARE(int(rig.Watcher.Boxes.size()), 1);
      const TModalWatcher::TBox& box = rig.Watcher.Boxes[0];
      QCOMPARE(box.Title, QString("Quorvelle"));
      QCOMPARE(box.Icon, QMessageBox::Critical);
      QVERIFY(!box.Text.isEmpty());
      QTest::qWait(300);
      QCOMPARE(rig.Registrar.RegisterCount(), 0);
      QVERIFY(rig.Form->isVisible());
      rig.Close();
      QVERIFY(QFile::exists(QString::fromStdString(rig.Ini)));
    }
    close(s);
  }

  void topButtonsSwitchFramesAndOpenTheAboutBox() {
    TRig rig;
    rig.Start();
    TMainForm& form = *rig.Form;
    auto buttons = form.TopButtons();
    QCOMPARE(buttons[0]->toolTip(), QString("Telefono"));
    QCOMPARE(buttons[1]->toolTip(), QString("Cuentas SIP"));
    QCOMPARE(buttons[2]->toolTip(), QString("Configuracion de Audio"));
    QCOMPARE(buttons[3]->toolTip(), QString("Acerca de..."));
    QVERIFY(form.DialFrm()->isVisible());
    buttons[1]->click();
    QVERIFY(form.AccountsFrm()->isVisible());
    QVERIFY(!form.DialFrm()->isVisible() && !form.AudioFrm()->isVisible());
    HarvestTexts();
    buttons[2]->click();
    QVERIFY(form.AudioFrm()->isVisible());
    QVERIFY(!form.DialFrm()->isVisible() && !form.AccountsFrm()->isVisible());
    HarvestTexts();
    buttons[0]->click();
    QVERIFY(form.DialFrm()->isVisible());

    QStringList about;
    rig.Watcher.OnDialog = [&](QDialog* dialog) {
      for (QLabel* l : dialog->findChildren<QLabel*>()) about << l->text();
      dialog->accept();
    };
    buttons[3]->click();
    QCOMPARE(rig.Watcher.Dialogs, 1);
    QVERIFY(about.contains("Quorvelle"));
    QVERIFY(about.contains("v0.9.3 build 254"));
  }

  void balloonTipBelowTheConnectButton() {
    TRig rig;
    rig.Start();
    TMainForm& form = *rig.Form;
    form.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&form));
    QTRY_VERIFY(form.BalloonTip());
    TBalloonTip* tip = form.BalloonTip();
    QPushButton* button = form.DialFrm()->btnConectar;
    QCOMPARE(tip->Tool(), static_cast<QWidget*>(button));
    QCOMPARE(tip->Title(), QString("Conectar / Desconectar"));
    QVERIFY(tip->Text().startsWith("Permite conectar al servidor PBX,"));
    QVERIFY(tip->Text().endsWith("o desconectar del servidor PBX."));
    QEvent enter(QEvent::Enter);
    QApplication::sendEvent(button, &enter);
    QTRY_VERIFY(tip->isVisible());
    QPoint below = button->mapToGlobal(QPoint(button->width() / 2, button->height()));
    QVERIFY(qAbs(tip->geometry().center().x() - below.x()) <= 1);
    QCOMPARE(tip->geometry().top(), below.y());
    HarvestTexts();
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(button, &leave);
    QVERIFY(!tip->isVisible());
    // Another activation does not make a second tip.
    QEvent again(QEvent::ActivationChange);
    QApplication::sendEvent(&form, &again);
    QCOMPARE(form.BalloonTip(), tip);
  }

  // Without a mixer the speaker slider is disabled and nothing is said.
  void speakerSliderFollowsTheMixer() {
    TRig rig;
    rig.Start();
    TMainForm& form = *rig.Form;
    QSlider* speaker = form.DialFrm()->tbVolParlantes;
    QCOMPARE(speaker->maximum(), 255);
    QCOMPARE(speaker->tickInterval(), 25);
    if (form.VolumeCtrl()->Available()) {
      QVERIFY(speaker->isEnabled());
      QCOMPARE(speaker->value(), form.VolumeCtrl()->Volume());
    } else {
      QVERIFY(!speaker->isEnabled());
    }
    QVERIFY(rig.Watcher.Boxes.empty());
  }
};

std::unique_ptr<QObject> MakeStartupSuite() { return std::make_unique<TStartupSuite>(); }

}  // namespace qv::test

#include "startup.moc"
