// The settings file and the four account actions: select, add, edit, remove.
//
// An account is the pair (Server, User), compared exactly. The current
// account lives in [ACCOUNT] and in the window; the list lives in the
// numbered sections [ACCOUNT1] ... [ACCOUNTn], n = [ACCOUNT] Count, which Add
// and Remove rewrite as a whole (in one atomic write) and Edit changes in
// place.
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <algorithm>
#include <climits>
#include <QMessageBox>
#include <QPushButton>
#include <QTreeWidgetItem>

#include "app/inifile.h"
#include "app/accountsframe.h"
#include "app/actions.h"
#include "app/audioframe.h"
#include "app/mainframe.h"
#include "app/regform.h"

namespace qv {

namespace {

using TAccountText = TMainForm::TAccountText;

// More numbered sections than this are not read: a Count damaged into a huge
// number must not stall the start-up with millions of empty rows.
constexpr int kMaxAccountSections = 1000;

std::string SectionName(int k) { return "ACCOUNT" + std::to_string(k); }

// [ACCOUNT] Count. When it is missing or not a number the numbered sections
// that are there (from [ACCOUNT1] on, without a gap) are what can be read,
// and a later rewrite keeps them instead of writing over them.
int AccountCount(const TIniFile& ini) {
  int count = ini.ReadInteger("ACCOUNT", "Count", INT_MIN);
  if (count == INT_MIN) {
    count = 0;
    while (count < kMaxAccountSections && ini.SectionExists(SectionName(count + 1))) ++count;
  }
  return std::clamp(count, 0, kMaxAccountSections);
}

TAccountText ReadAccount(const TIniFile& ini, const std::string& section) {
  TAccountText a;
  a.Server = ini.ReadString(section, "Server", "");
  a.User = ini.ReadString(section, "User", "");
  a.Password = ini.ReadString(section, "Password", "");
  a.STUN = ini.ReadString(section, "STUN", "");
  a.Proxy = ini.ReadString(section, "Proxy", "");
  a.Transport = ini.ReadString(section, "Transport", "");
  a.SRTP = ini.ReadString(section, "SRTP", "");
  a.CAFile = ini.ReadString(section, "CAFile", "");
  a.SRTPKeysWithoutTLS = ini.ReadString(section, "SRTPKeysWithoutTLS", "");
  a.Realms = ini.ReadString(section, "Realms", "");
  a.Wideband = ini.ReadInteger(section, "Wideband", 0) != 0;
  return a;
}

// A key of the secure-call settings is written once it has a value or the
// section already has it, so that a file whose accounts never used them
// keeps exactly the five keys it always had.
void WriteOptional(TIniFile& ini, const std::string& section, const std::string& key, const std::string& value) {
  if (!value.empty() || ini.ReadString(section, key, "\x01") != "\x01") ini.WriteString(section, key, value);
}

void WriteAccount(TIniFile& ini, const std::string& section, const TAccountText& a) {
  ini.WriteString(section, "Server", a.Server);
  ini.WriteString(section, "User", a.User);
  ini.WriteString(section, "Password", a.Password);
  ini.WriteString(section, "STUN", a.STUN);
  ini.WriteString(section, "Proxy", a.Proxy);
  WriteOptional(ini, section, "Transport", a.Transport);
  WriteOptional(ini, section, "SRTP", a.SRTP);
  WriteOptional(ini, section, "CAFile", a.CAFile);
  WriteOptional(ini, section, "SRTPKeysWithoutTLS", a.SRTPKeysWithoutTLS);
  WriteOptional(ini, section, "Realms", a.Realms);
  ini.WriteInteger(section, "Wideband", a.Wideband ? 1 : 0);
}

// The first k in 1..Count whose section holds (server, user); 0 when none.
int FindAccount(const TIniFile& ini, const std::string& server, const std::string& user) {
  int count = AccountCount(ini);
  for (int k = 1; k <= count; ++k) {
    std::string section = SectionName(k);
    if (ini.ReadString(section, "Server", "") == server && ini.ReadString(section, "User", "") == user)
      return k;
  }
  return 0;
}

// Erases the numbered sections and writes `accounts` as [ACCOUNT1]...[ACCOUNTm]
// with [ACCOUNT] Count = m.
void RewriteAccounts(TIniFile& ini, int oldCount, const std::vector<TAccountText>& accounts) {
  ini.BeginUpdate();
  for (int k = 1; k <= oldCount; ++k) ini.EraseSection(SectionName(k));
  for (size_t i = 0; i < accounts.size(); ++i) WriteAccount(ini, SectionName(int(i) + 1), accounts[i]);
  ini.WriteInteger("ACCOUNT", "Count", int(accounts.size()));
  ini.Commit();
}

std::string Text(const QString& s) { return s.toStdString(); }
QString Text(const std::string& s) { return QString::fromStdString(s); }

// What the dialog says about secure calls, as the file stores it: a default
// stays empty, so an account that never used them stores nothing new.
void TakeSecurity(const TRegistrationForm& dialog, TAccountText& a) {
  a.Transport = dialog.TransportText();
  a.SRTP = dialog.SrtpText();
  a.CAFile = Text(dialog.CaFileEdit->text());
  a.SRTPKeysWithoutTLS = dialog.KeysWithoutTlsBox->isChecked() ? "1" : "";
}

// What the account dialog holds; the keys it does not show keep their defaults.
TAccountText FromDialog(TRegistrationForm& dialog) {
  TAccountText a;
  a.Server = Text(dialog.ServerEdit->text());
  a.User = Text(dialog.UserEdit->text());
  a.Password = Text(dialog.PasswordEdit->text());
  a.STUN = Text(dialog.StunServer());
  a.Proxy = Text(dialog.ProxyEdit->text());
  TakeSecurity(dialog, a);
  return a;
}

}  // namespace

void TMainForm::BuildAccountActions() {
  TAccountsFrm& f = *accountsFrm_;
  TAction& select = actions_->Add(
      "RegisterAction",
      [this](TAction& a) {
        QTreeWidgetItem* row = accountsFrm_->Selected();
        a.Enabled = row && (!registeredAccount_ ||
                            registeredAccount_->GetDomain() != Text(TAccountsFrm::Domain(row)) ||
                            registeredAccount_->GetUserName() != Text(TAccountsFrm::UserName(row)));
      },
      [this] { RegisterExecute(); });
  actions_->Bind(select, f.SelectBtn);
  TAction& add = actions_->Add("AddAction", [](TAction& a) { a.Enabled = true; }, [this] { AddExecute(); });
  actions_->Bind(add, f.AddBtn);
  auto rowSelected = [this](TAction& a) {
    a.Enabled = accountsFrm_->RowCount() > 0 && accountsFrm_->Selected();
  };
  TAction& edit = actions_->Add("EditAction", rowSelected, [this] { EditExecute(); });
  actions_->Bind(edit, f.EditBtn);
  TAction& remove = actions_->Add("RemoveAction", rowSelected, [this] { RemoveExecute(); });
  actions_->Bind(remove, f.RemoveBtn);
}

// ---- start-up and shutdown ---------------------------------------------------------

void TMainForm::LoadSettings() {
  TIniFile ini(settingsPath_);
  current_.STUN = ini.ReadString("ACCOUNT", "STUN", "");
  current_.Proxy = ini.ReadString("ACCOUNT", "Proxy", "");
  current_.Server = ini.ReadString("ACCOUNT", "Server", "");
  current_.User = ini.ReadString("ACCOUNT", "User", "");
  current_.Password = ini.ReadString("ACCOUNT", "Password", "");
  const TAccountText secure = ReadAccount(ini, "ACCOUNT");
  current_.Transport = secure.Transport;
  current_.SRTP = secure.SRTP;
  current_.CAFile = secure.CAFile;
  current_.SRTPKeysWithoutTLS = secure.SRTPKeysWithoutTLS;
  current_.Realms = secure.Realms;
  current_.Wideband = ini.ReadInteger("ACCOUNT", "Wideband", 0) != 0;
  if (!current_.Server.empty()) accountsFrm_->AddRow(Text(current_.Server), Text(current_.User));
  int count = AccountCount(ini);
  for (int k = 1; k <= count; ++k) {
    std::string server = ini.ReadString(SectionName(k), "Server", "");
    std::string user = ini.ReadString(SectionName(k), "User", "");
    if (server == current_.Server && user == current_.User) continue;
    accountsFrm_->AddRow(Text(server), Text(user));
  }
  TAudioFrm::Restore(audioFrm_->waveInDevice, Text(ini.ReadString("AUDIO", "In", "")));
  TAudioFrm::Restore(audioFrm_->waveOutDevice, Text(ini.ReadString("AUDIO", "Out", "")));
  TAudioFrm::Restore(audioFrm_->waveRingDevice, Text(ini.ReadString("AUDIO", "Ring", "")));
  // Files written before the switch existed have no key: the canceller is on.
  audioFrm_->echoCancel->setChecked(ini.ReadInteger("AUDIO", "CancelarEco", 1) != 0);
  client_->SetEchoCancellation(audioFrm_->echoCancel->isChecked());
  // Behind no NAT, or with a server that minds the empty lines, a user may
  // set this key to 0; nothing writes it, so files without it keep them on.
  client_->SetKeepAlive(ini.ReadInteger("ACCOUNT", "KeepAlive", 1) != 0);
}

void TMainForm::SaveSettings() {
  TIniFile ini(settingsPath_);
  ini.WriteString("ACCOUNT", "STUN", current_.STUN);
  ini.WriteString("ACCOUNT", "Server", current_.Server);
  ini.WriteString("ACCOUNT", "Proxy", current_.Proxy);
  ini.WriteString("ACCOUNT", "User", current_.User);
  ini.WriteString("ACCOUNT", "Password", current_.Password);
  WriteOptional(ini, "ACCOUNT", "Transport", current_.Transport);
  WriteOptional(ini, "ACCOUNT", "SRTP", current_.SRTP);
  WriteOptional(ini, "ACCOUNT", "CAFile", current_.CAFile);
  WriteOptional(ini, "ACCOUNT", "SRTPKeysWithoutTLS", current_.SRTPKeysWithoutTLS);
  WriteOptional(ini, "ACCOUNT", "Realms", current_.Realms);
  ini.WriteInteger("ACCOUNT", "Wideband", current_.Wideband ? 1 : 0);
  ini.WriteString("AUDIO", "In", Text(audioFrm_->waveInDevice->currentText()));
  ini.WriteString("AUDIO", "Out", Text(audioFrm_->waveOutDevice->currentText()));
  ini.WriteString("AUDIO", "Ring", Text(audioFrm_->waveRingDevice->currentText()));
  ini.WriteInteger("AUDIO", "CancelarEco", audioFrm_->echoCancel->isChecked() ? 1 : 0);
}

// ---- account actions ---------------------------------------------------------------

void TMainForm::RegisterExecute() {
  QTreeWidgetItem* row = accountsFrm_->Selected();
  if (!row) return;
  std::string domain = Text(TAccountsFrm::Domain(row)), user = Text(TAccountsFrm::UserName(row));
  TIniFile ini(settingsPath_);
  bool isCurrent = ini.ReadString("ACCOUNT", "Server", "") == domain &&
                   ini.ReadString("ACCOUNT", "User", "") == user;
  if (!isCurrent) {
    int k = FindAccount(ini, domain, user);
    GoOffline();
    TAccountText chosen = k > 0 ? ReadAccount(ini, SectionName(k)) : TAccountText{};
    chosen.Server = domain;
    chosen.User = user;
    current_ = chosen;
    WriteAccount(ini, "ACCOUNT", current_);
  }
  if (registeredAccount_) {
    online_ = false;
    RepaintStatus();
    UnregisterOnPurpose(registeredAccount_);
  }
  GoOnline();
}

void TMainForm::AddExecute() {
  TRegistrationForm dialog(this);
  if (dialog.exec() != QDialog::Accepted) return;
  TAccountText added = FromDialog(dialog);
  for (int i = 0; i < accountsFrm_->RowCount(); ++i) {
    QTreeWidgetItem* row = accountsFrm_->Row(i);
    if (Text(TAccountsFrm::Domain(row)) == added.Server && Text(TAccountsFrm::UserName(row)) == added.User)
      return;  // already listed: nothing to do, nothing to say
  }
  TIniFile ini(settingsPath_);
  int count = AccountCount(ini);
  std::vector<TAccountText> kept;
  for (int k = 1; k <= count; ++k) {
    TAccountText a = ReadAccount(ini, SectionName(k));
    if (a.Server == added.Server && a.User == added.User) continue;
    kept.push_back(a);
  }
  kept.push_back(added);
  RewriteAccounts(ini, count, kept);
  accountsFrm_->AddRow(Text(added.Server), Text(added.User));
}

void TMainForm::EditExecute() {
  QTreeWidgetItem* row = accountsFrm_->Selected();
  if (!row) return;
  std::string domain = Text(TAccountsFrm::Domain(row)), user = Text(TAccountsFrm::UserName(row));
  TRegistrationForm dialog(this);
  dialog.ServerEdit->setText(Text(domain));
  dialog.UserEdit->setText(Text(user));
  std::string realms;  // not in the dialog: kept as the file has them
  bool wideband = true;  // what the dialog does not show stays as it was
  auto fill = [&](const TAccountText& a) {
    realms = a.Realms;
    dialog.PasswordEdit->setText(Text(a.Password));
    dialog.STUNEdit->setText(Text(a.STUN));
    dialog.ProxyEdit->setText(Text(a.Proxy));
    dialog.SetSecurity(a.Transport, a.SRTP, a.CAFile, a.SRTPKeysWithoutTLS == "1");
    wideband = a.Wideband;
  };
  TIniFile ini(settingsPath_);
  bool isCurrent = ini.ReadString("ACCOUNT", "Server", "") == domain &&
                   ini.ReadString("ACCOUNT", "User", "") == user;
  if (isCurrent) fill(ReadAccount(ini, "ACCOUNT"));
  int k = FindAccount(ini, domain, user);
  if (k > 0) fill(ReadAccount(ini, SectionName(k)));
  if (dialog.exec() != QDialog::Accepted) return;

  TAccountText edited = FromDialog(dialog);
  edited.Realms = realms;
  edited.Wideband = wideband;
  TIniFile file(settingsPath_);  // the dialog was modal: read the file again
  if (isCurrent) {
    GoOffline();  // the window stays offline until the user connects again
    current_ = edited;
    WriteAccount(file, "ACCOUNT", current_);
  }
  if (k > 0) WriteAccount(file, SectionName(k), edited);
  accountsFrm_->SetRow(row, Text(edited.Server), Text(edited.User));
}

void TMainForm::RemoveExecute() {
  QTreeWidgetItem* row = accountsFrm_->Selected();
  if (row) {
    QString text = QString::asprintf("Deseas remover la cuenta %s@%s ?",
                                     TAccountsFrm::UserName(row).toUtf8().constData(),
                                     TAccountsFrm::Domain(row).toUtf8().constData());
    QMessageBox box(QMessageBox::Warning, "Confirmar", text, QMessageBox::Yes | QMessageBox::No, this);
    if (box.exec() != QMessageBox::Yes) return;
  }
  if (!row || accountsFrm_->RowCount() == 0) return;
  std::string domain = Text(TAccountsFrm::Domain(row)), user = Text(TAccountsFrm::UserName(row));
  bool wasCurrent = current_.Server == domain && current_.User == user;
  if (wasCurrent) GoOffline();

  TIniFile ini(settingsPath_);
  int count = AccountCount(ini);
  if (count > 0) {
    std::vector<TAccountText> kept;
    bool dropped = false;
    for (int k = 1; k <= count; ++k) {
      TAccountText a = ReadAccount(ini, SectionName(k));
      if (!dropped && a.Server == domain && a.User == user) {
        dropped = true;
        continue;
      }
      kept.push_back(a);
    }
    RewriteAccounts(ini, count, kept);
  }
  accountsFrm_->DeleteRow(row);
  if (wasCurrent) current_ = TAccountText{};

  if (accountsFrm_->RowCount() == 0) return;
  QTreeWidgetItem* first = accountsFrm_->Row(0);
  accountsFrm_->SelectRow(first);
  int k = FindAccount(ini, Text(TAccountsFrm::Domain(first)), Text(TAccountsFrm::UserName(first)));
  if (k > 0) current_ = ReadAccount(ini, SectionName(k));
  WriteAccount(ini, "ACCOUNT", current_);
  if (current_.Server.empty()) return;
  // The account registered before goes offline first, or it would stay
  // registered behind the new one.
  if (!wasCurrent) GoOffline();
  GoOnline();
}

}  // namespace qv
