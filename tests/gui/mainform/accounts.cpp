// The account list, the account dialog and the four account actions, each
// checked by reading the settings file back.
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QToolButton>
#include <QTreeWidget>

#include "app/inifile.h"
#include "app/accountsframe.h"
#include "app/actions.h"
#include "app/dialframe.h"
#include "app/regform.h"
#include "mainform/suites.h"
#include "engine/sipengine.h"
#include "support/rig.h"
#include "support/texts.h"

namespace qv::test {

namespace {

struct TAccountFields {
  std::string Server, User, Password, STUN, Proxy;
};

TAccountFields Section(const std::string& ini, const std::string& section) {
  TIniFile file(ini);
  return {file.ReadString(section, "Server", "<none>"), file.ReadString(section, "User", "<none>"),
          file.ReadString(section, "Password", "<none>"), file.ReadString(section, "STUN", "<none>"),
          file.ReadString(section, "Proxy", "<none>")};
}

bool Same(const TAccountFields& a, const TAccountFields& b) {
  return a.Server == b.Server && a.User == b.User && a.Password == b.Password && a.STUN == b.STUN &&
         a.Proxy == b.Proxy;
}

int Count(const std::string& ini) { return TIniFile(ini).ReadInteger("ACCOUNT", "Count", -1); }

// Fills the account dialog and presses "&Guardar".
std::function<void(QDialog*)> FillAndSave(TAccountFields fields) {
  return [fields](QDialog* d) {
    auto* form = qobject_cast<TRegistrationForm*>(d);
    if (!form) return d->reject();
    form->ServerEdit->setText(QString::fromStdString(fields.Server));
    form->UserEdit->setText(QString::fromStdString(fields.User));
    form->PasswordEdit->setText(QString::fromStdString(fields.Password));
    form->STUNEdit->setText(QString::fromStdString(fields.STUN));
    form->StunBox->setChecked(!fields.STUN.empty());  // what the user sees is what is saved
    form->ProxyEdit->setText(QString::fromStdString(fields.Proxy));
    form->SaveBtn->click();
  };
}

void Select(TMainForm& form, int row) { form.AccountsFrm()->SelectRow(form.AccountsFrm()->Row(row)); }

int EngineAccounts(TMainForm& form) {
  return std::dynamic_pointer_cast<TSipEngine>(form.SipClient().Engine())->Accounts().Count();
}

}  // namespace

class TAccountsSuite : public QObject {
  Q_OBJECT

private slots:
  // The current account has a row of its own; its numbered twin is skipped.
  // (Nobody answers on localhost:5060: the registration stays pending.)
  void listFromTheFile() {
    TRig rig;
    rig.WriteIni("[ACCOUNT]\nServer=localhost\nUser=100\nCount=2\n"
                 "[ACCOUNT1]\nServer=localhost\nUser=100\n[ACCOUNT2]\nServer=localhost\nUser=200\n");
    rig.Start();
    TMainForm& form = *rig.Form;
    TAccountsFrm& f = *form.AccountsFrm();
    QCOMPARE(f.RowCount(), 2);
    QCOMPARE(TAccountsFrm::Domain(f.Row(0)) + "/" + TAccountsFrm::UserName(f.Row(0)), QString("localhost/100"));
    QCOMPARE(TAccountsFrm::Domain(f.Row(1)) + "/" + TAccountsFrm::UserName(f.Row(1)), QString("localhost/200"));
    QCOMPARE(f.AccountList->columnWidth(0), 130);
    QCOMPARE(f.AccountList->columnWidth(1), 120);
    form.UpdateActions();
    QVERIFY(!f.SelectBtn->isEnabled() && !f.EditBtn->isEnabled() && !f.RemoveBtn->isEnabled());
    QVERIFY(f.AddBtn->isEnabled());
    Select(form, 1);  // localhost/200: not the registered account
    form.UpdateActions();
    QVERIFY(f.SelectBtn->isEnabled() && f.EditBtn->isEnabled() && f.RemoveBtn->isEnabled());
    Select(form, 0);  // localhost/100: the account handed to Register
    form.UpdateActions();
    QVERIFY(!f.SelectBtn->isEnabled());
  }

  void addRewritesTheNumberedSections() {
    TRig rig;
    rig.WriteIni(rig.AccountIni());
    rig.Start();
    TMainForm& form = *rig.Form;
    QTRY_VERIFY(form.Online());
    form.ShowFrame(1);
    TAccountFields added{"127.0.0.1:9", "300", "s3 cret", "stun.local", "proxy.local"};
    bool stunStartsOff = false;
    rig.Watcher.OnDialog = [&](QDialog* d) {
      auto* dialog = qobject_cast<TRegistrationForm*>(d);
      QCOMPARE(dialog->windowTitle(), QString("Cuenta SIP"));
      stunStartsOff = !dialog->StunBox->isChecked() && !dialog->STUNEdit->isEnabled();
      dialog->StunBox->click();
      QVERIFY(dialog->STUNEdit->isEnabled());
      FillAndSave(added)(d);
    };
    QVERIFY(rig.Click(form.AccountsFrm()->AddBtn));
    QVERIFY(stunStartsOff);
    QCOMPARE(Count(rig.Ini), 2);
    QVERIFY(Same(Section(rig.Ini, "ACCOUNT1"),
                 {rig.Registrar.Server(), "101", "pw", "", ""}));
    QVERIFY(Same(Section(rig.Ini, "ACCOUNT2"), added));
    QCOMPARE(form.AccountsFrm()->RowCount(), 2);
    QCOMPARE(TAccountsFrm::UserName(form.AccountsFrm()->Row(1)), QString("300"));
    // Neither the current account nor the registration is touched.
    QCOMPARE(form.CurrentAccount().User, std::string("101"));
    QTest::qWait(200);
    QCOMPARE(rig.Registrar.RegisterCount(), 1);
    QCOMPARE(rig.Registrar.UnregisterCount(), 0);

    // An account already listed: nothing changes, nothing is said.
    std::string before = rig.ReadIni();
    rig.Watcher.OnDialog = FillAndSave({"127.0.0.1:9", "300", "other", "", ""});
    QVERIFY(rig.Click(form.AccountsFrm()->AddBtn));
    QCOMPARE(rig.ReadIni(), before);
    QCOMPARE(form.AccountsFrm()->RowCount(), 2);
    QVERIFY(rig.Watcher.Boxes.empty());
  }

  // The box shows whether the account has a STUN server; clearing it saves
  // none, and the dialog then opens without it.
  void stunBoxShowsTheStoredState() {
    TRig rig;
    const std::string account = "Server=" + rig.Registrar.Server() + "\nUser=101\nPassword=pw\nSTUN=stun.local\n";
    rig.WriteIni("[ACCOUNT]\n" + account + "Count=1\n[ACCOUNT1]\n" + account);
    rig.Start();
    TMainForm& form = *rig.Form;
    form.ShowFrame(1);
    Select(form, 0);
    bool ticked = false, unticked = true;
    rig.Watcher.OnDialog = [&](QDialog* d) {
      auto* dialog = qobject_cast<TRegistrationForm*>(d);
      ticked = dialog->StunBox->isChecked() && dialog->STUNEdit->isEnabled() &&
               dialog->STUNEdit->text() == "stun.local";
      dialog->StunBox->click();
      QVERIFY(!dialog->STUNEdit->isEnabled());
      dialog->SaveBtn->click();
    };
    QVERIFY(rig.Click(form.AccountsFrm()->EditBtn));
    QVERIFY(ticked);
    QCOMPARE(TIniFile(rig.Ini).ReadString("ACCOUNT1", "STUN", "-"), std::string());
    QCOMPARE(TIniFile(rig.Ini).ReadString("ACCOUNT", "STUN", "-"), std::string());
    rig.Watcher.OnDialog = [&](QDialog* d) {
      auto* dialog = qobject_cast<TRegistrationForm*>(d);
      unticked = !dialog->StunBox->isChecked() && !dialog->STUNEdit->isEnabled();
      dialog->reject();
    };
    QVERIFY(rig.Click(form.AccountsFrm()->EditBtn));
    QVERIFY(unticked);
  }

  // Secure-call keys: read from the file into the account that registers and
  // into the dialog, written back as the dialog leaves them; an account that
  // never had them gets none by being edited.
  void secureCallSettings() {
    TRig rig;
    const std::string secure = "Server=" + rig.Registrar.Server() +
                               "\nUser=101\nPassword=pw\nSRTP=Mandatory\nSRTPKeysWithoutTLS=1\nCAFile=/x/ca.pem\n";
    const std::string plain = "Server=pbx.invalid\nUser=200\nPassword=pw\n";
    rig.WriteIni("[ACCOUNT]\n" + secure + "Count=2\n[ACCOUNT1]\n" + secure + "[ACCOUNT2]\n" + plain);
    rig.Start();
    TMainForm& form = *rig.Form;
    QTRY_VERIFY(form.Online());
    ISipAccountPtr account = form.RegisteredAccount();
    QVERIFY(account->GetSrtpMode() == TSrtpMode::Mandatory);
    QVERIFY(account->GetSrtpKeysWithoutTls());
    QVERIFY(account->GetTransport() == TSipTransport::Udp);
    QCOMPARE(account->GetCaFile(), std::string("/x/ca.pem"));

    form.ShowFrame(1);
    Select(form, 0);
    int shownMode = -1;
    bool shownKeys = false;
    rig.Watcher.OnDialog = [&](QDialog* d) {
      auto* dialog = qobject_cast<TRegistrationForm*>(d);
      shownMode = dialog->SrtpBox->currentIndex();
      shownKeys = dialog->KeysWithoutTlsBox->isChecked();
      dialog->SrtpBox->setCurrentIndex(1);  // "Opcional"
      dialog->KeysWithoutTlsBox->setChecked(false);
      dialog->SaveBtn->click();
    };
    QVERIFY(rig.Click(form.AccountsFrm()->EditBtn));
    QCOMPARE(shownMode, 2);
    QVERIFY(shownKeys);
    for (const char* section : {"ACCOUNT", "ACCOUNT1"}) {
      TIniFile ini(rig.Ini);
      QCOMPARE(ini.ReadString(section, "SRTP", "-"), std::string("optional"));
      QCOMPARE(ini.ReadString(section, "SRTPKeysWithoutTLS", "-"), std::string());
      QCOMPARE(ini.ReadString(section, "CAFile", "-"), std::string("/x/ca.pem"));
      QCOMPARE(ini.ReadString(section, "Transport", "-"), std::string("-"));  // never set, never written
    }

    Select(form, 1);
    rig.Watcher.OnDialog = [&](QDialog* d) {
      auto* dialog = qobject_cast<TRegistrationForm*>(d);
      QCOMPARE(dialog->SrtpBox->currentIndex(), 0);
      QCOMPARE(dialog->TransportBox->currentIndex(), 0);
      dialog->PasswordEdit->setText("new");
      dialog->SaveBtn->click();
    };
    QVERIFY(rig.Click(form.AccountsFrm()->EditBtn));
    QCOMPARE(TIniFile(rig.Ini).ReadString("ACCOUNT2", "Password", "-"), std::string("new"));
    const std::string text = rig.ReadIni();
    const std::string second = text.substr(text.find("[ACCOUNT2]"));
    QVERIFY2(second.find("SRTP") == std::string::npos && second.find("CAFile") == std::string::npos, second.c_str());
  }

  void dialogRefusesAnEmptyServer() {
    TRig rig;
    rig.Start();
    TMainForm& form = *rig.Form;
    bool stayedOpen = false;
    rig.Watcher.OnDialog = [&](QDialog* d) {
      auto* dialog = qobject_cast<TRegistrationForm*>(d);
      dialog->UserEdit->setText("100");
      dialog->SaveBtn->click();  // refused: the error box comes and goes
      stayedOpen = dialog->isVisible();
      dialog->CancelBtn->click();
    };
    QVERIFY(rig.Click(form.AccountsFrm()->AddBtn));
    QVERIFY(stayedOpen);
    QCOMPARE(int(rig.Watcher.Boxes.size()), 1);
    QCOMPARE(rig.Watcher.Boxes[0].Text, QString("Ingrese el servidor SIP (ej. Direccion IP de Asterisk)"));
    QCOMPARE(rig.Watcher.Boxes[0].Icon, QMessageBox::Critical);
    QCOMPARE(form.AccountsFrm()->RowCount(), 0);
    QVERIFY(!QFile::exists(QString::fromStdString(rig.Ini)));
  }

  void editTheCurrentAccountGoesOffline() {
    TRig rig;
    rig.WriteIni(rig.AccountIni());
    rig.Start();
    TMainForm& form = *rig.Form;
    QTRY_VERIFY(form.Online());
    Select(form, 0);

    // Cancel changes nothing.
    std::string before = rig.ReadIni();
    rig.Watcher.OnDialog = [](QDialog* d) { d->reject(); };
    QVERIFY(rig.Click(form.AccountsFrm()->EditBtn));
    QCOMPARE(rig.ReadIni(), before);
    QVERIFY(form.Online());

    QString filledPassword;
    rig.Watcher.OnDialog = [&](QDialog* d) {
      auto* dialog = qobject_cast<TRegistrationForm*>(d);
      filledPassword = dialog->PasswordEdit->text();
      QCOMPARE(dialog->ServerEdit->text(), QString::fromStdString(rig.Registrar.Server()));
      QCOMPARE(dialog->UserEdit->text(), QString("101"));
      FillAndSave({rig.Registrar.Server(), "101", "new pw", "", "px"})(d);
    };
    QVERIFY(rig.Click(form.AccountsFrm()->EditBtn));
    QCOMPARE(filledPassword, QString("pw"));
    QTRY_COMPARE(rig.Registrar.UnregisterCount(), 1);
    QTRY_VERIFY(!form.Online());
    TAccountFields edited{rig.Registrar.Server(), "101", "new pw", "", "px"};
    QVERIFY(Same(Section(rig.Ini, "ACCOUNT"), edited));
    QVERIFY(Same(Section(rig.Ini, "ACCOUNT1"), edited));
    QCOMPARE(form.CurrentAccount().Password, std::string("new pw"));
    QTest::qWait(300);
    QCOMPARE(rig.Registrar.RegisterCount(), 1);  // off line until the user connects
  }

  // Removing a row that is not the current account: the first row becomes
  // the current account and registers, after the account registered before
  // has been unregistered.
  void removeAsksThenRewrites() {
    TRig rig;
    rig.WriteIni(rig.AccountIni() + "[ACCOUNT2]\nServer=pbx2\nUser=200\nPassword=x\n");
    TIniFile(rig.Ini).WriteInteger("ACCOUNT", "Count", 2);
    rig.Start();
    TMainForm& form = *rig.Form;
    QTRY_VERIFY(form.Online());
    QCOMPARE(form.AccountsFrm()->RowCount(), 2);
    Select(form, 1);

    std::string before = rig.ReadIni();
    rig.Watcher.Answer = QMessageBox::No;
    QVERIFY(rig.Click(form.AccountsFrm()->RemoveBtn));
    QCOMPARE(int(rig.Watcher.Boxes.size()), 1);
    const TModalWatcher::TBox& ask = rig.Watcher.Boxes[0];
    QCOMPARE(ask.Title, QString("Confirmar"));
    QCOMPARE(ask.Text, QString("Deseas remover la cuenta 200@pbx2 ?"));
    QCOMPARE(ask.Icon, QMessageBox::Warning);
    QCOMPARE(ask.Buttons, QMessageBox::Yes | QMessageBox::No);
    QCOMPARE(rig.ReadIni(), before);
    QCOMPARE(form.AccountsFrm()->RowCount(), 2);

    rig.Watcher.Answer = QMessageBox::Yes;
    QVERIFY(rig.Click(form.AccountsFrm()->RemoveBtn));
    QCOMPARE(Count(rig.Ini), 1);
    QVERIFY(Same(Section(rig.Ini, "ACCOUNT1"), {rig.Registrar.Server(), "101", "pw", "", ""}));
    QVERIFY(!TIniFile(rig.Ini).SectionExists("ACCOUNT2"));
    QCOMPARE(form.AccountsFrm()->RowCount(), 1);
    QCOMPARE(form.AccountsFrm()->Selected(), form.AccountsFrm()->Row(0));
    QVERIFY(Same(Section(rig.Ini, "ACCOUNT"), {rig.Registrar.Server(), "101", "pw", "", ""}));
    QTRY_COMPARE(rig.Registrar.UnregisterCount(), 1);
    QTRY_COMPARE(rig.Registrar.RegisterCount(), 2);
    QTRY_VERIFY(form.Online());
    QTRY_COMPARE(EngineAccounts(form), 1);
  }

  void removeTheOnlyAccount() {
    TRig rig;
    rig.WriteIni(rig.AccountIni());
    rig.Start();
    TMainForm& form = *rig.Form;
    QTRY_VERIFY(form.Online());
    Select(form, 0);
    rig.Watcher.Answer = QMessageBox::Yes;
    QVERIFY(rig.Click(form.AccountsFrm()->RemoveBtn));
    QCOMPARE(Count(rig.Ini), 0);
    QVERIFY(!TIniFile(rig.Ini).SectionExists("ACCOUNT1"));
    QCOMPARE(form.AccountsFrm()->RowCount(), 0);
    QVERIFY(form.CurrentAccount().Server.empty() && form.CurrentAccount().User.empty());
    QTRY_VERIFY(!form.Online());
    QCOMPARE(rig.Registrar.UnregisterCount(), 1);
    // [ACCOUNT] keeps its text until shutdown writes the empty account.
    QCOMPARE(TIniFile(rig.Ini).ReadString("ACCOUNT", "User", ""), std::string("101"));
    QTest::qWait(200);
    QCOMPARE(rig.Registrar.RegisterCount(), 1);
    rig.Close();
    QCOMPARE(TIniFile(rig.Ini).ReadString("ACCOUNT", "User", "-"), std::string());
    QCOMPARE(TIniFile(rig.Ini).ReadString("ACCOUNT", "Server", "-"), std::string());
  }

  // Selecting an account at another server moves the registration there, and
  // incoming calls are then answered through that server, not the old one.
  void selectAnotherServer() {
    TRig rig;
    TLoopRegistrar second(5075);
    TSipPeer far2(second.Server(), "205");
    second.SetPeerPort(far2.Port());
    rig.WriteIni(rig.AccountIni() + "[ACCOUNT2]\nServer=" + second.Server() +
                 "\nUser=300\nPassword=pw2\nSTUN=\nProxy=127.0.0.1\n");
    TIniFile(rig.Ini).WriteInteger("ACCOUNT", "Count", 2);
    rig.Start();
    TMainForm& form = *rig.Form;
    QTRY_VERIFY(form.Online());
    Select(form, 1);
    QVERIFY(rig.Click(form.AccountsFrm()->SelectBtn));
    QVERIFY(Same(Section(rig.Ini, "ACCOUNT"), {second.Server(), "300", "pw2", "", "127.0.0.1"}));
    QTRY_COMPARE(second.RegisterCount(), 1);
    QTRY_COMPARE(form.StatusText(), QString("sip: 300@127.0.0.1"));
    QVERIFY(form.Online());
    QVERIFY(rig.Registrar.UnregisterCount() >= 1);
    QTRY_COMPARE(EngineAccounts(form), 1);
    auto engine = std::dynamic_pointer_cast<TSipEngine>(form.SipClient().Engine());
    QCOMPARE(engine->Accounts().FirstAccount(), form.RegisteredAccount());

    rig.Registrar.Clear();
    ISipCallPtr far = far2.Call("300");
    QTRY_VERIFY(form.LineCall(1));
    QVERIFY(rig.Click(form.DialFrm()->CallBtn));
    QTRY_VERIFY(far2.WasAnswered(far));
    for (const std::string& line : rig.Registrar.Relayed())
      QVERIFY2(line.rfind("SIP/2.0", 0) != 0, "an answer went to the old server");
    QCOMPARE(form.LineCall(1)->GetAccount(), form.RegisteredAccount());

    // The current account's row again: it registers once more (its Domain
    // carries a port, so the action stays enabled).
    int registers = second.RegisterCount();
    Select(form, 0);
    form.AccountsFrm()->SelectRow(form.AccountsFrm()->Row(1));
    QVERIFY(rig.Click(form.AccountsFrm()->SelectBtn));
    QTRY_COMPARE(second.RegisterCount(), registers + 1);
    QVERIFY(second.UnregisterCount() >= 1);
  }
};

std::unique_ptr<QObject> MakeAccountsSuite() { return std::make_unique<TAccountsSuite>(); }

}  // namespace qv::test

#include "accounts.moc"
