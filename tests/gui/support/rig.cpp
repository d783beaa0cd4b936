#include "support/rig.h"

#include <QAbstractButton>
#include <QTest>
#include <fstream>
#include <iterator>

#include "support/texts.h"

namespace qv::test {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

TRig::TRig() {
  Ini = Dir.filePath("trelvani.ini").toStdString();
  Peer = std::make_unique<TSipPeer>(Registrar.Server(), "204");
  Registrar.SetPeerPort(Peer->Port());
}

TRig::~TRig() {
  if (Form) HarvestTexts();
  Form.reset();  // switches the engine off while the registrar still answers
  Peer.reset();
}

std::string TRig::AccountIni(const std::string& user) const {
  std::string server = Registrar.Server();
  return "[ACCOUNT]\n"
         "Server=" + server + "\n"
         "User=" + user + "\n"
         "Password=pw\n"
         "STUN=\n"
         "Proxy=\n"
         "Count=1\n"
         "[ACCOUNT1]\n"
         "Server=" + server + "\n"
         "User=" + user + "\n"
         "Password=pw\n"
         "STUN=\n"
         "Proxy=\n"
         "[AUDIO]\n"
         "Ring=Virtual Out 3\n";
}

void TRig::WriteIni(const std::string& text) { WriteFile(Ini, text); }

std::string TRig::ReadIni() const { return ReadFile(Ini); }

void TRig::Start() {
  TMainForm::TOptions options;
  options.SettingsPath = Ini;
  options.SaveFileDialog = [this](const QString& title, const QString& name) {
    SaveTitle = title;
    SaveName = name;
    return SaveAnswer;
  };
  Form = std::make_unique<TMainForm>(options);
  Form->show();
  QTest::qWait(20);
  HarvestTexts();
}

void TRig::Close() {
  HarvestTexts();
  Form->close();
}

bool TRig::Click(QAbstractButton* button) {
  Form->UpdateActions();
  HarvestTexts();
  if (!button->isEnabled()) return false;
  button->click();
  Form->UpdateActions();
  HarvestTexts();
  return true;
}

}  // namespace qv::test
