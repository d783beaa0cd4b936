// One GUI test's world: a settings file in a temporary folder, the loop
// registrar, a peer, the modal watcher and the main window itself, started
// and closed the way a user starts and closes the program.
#pragma once

#include <QString>
#include <QTemporaryDir>
#include <memory>
#include <string>

#include "app/mainframe.h"
#include "support/loopregistrar.h"
#include "support/modal.h"
#include "support/sippeer.h"

class QAbstractButton;

namespace qv::test {

class TRig {
public:
  TRig();
  ~TRig();

  QTemporaryDir Dir;
  std::string Ini;  // the settings file's path
  TLoopRegistrar Registrar{5075};
  std::unique_ptr<TSipPeer> Peer;
  TModalWatcher Watcher;
  std::unique_ptr<TMainForm> Form;

  // What the save dialog was asked, and what it answers ("" = cancel).
  QString SaveTitle, SaveName, SaveAnswer;

  // [ACCOUNT] for user 101 at the loop registrar, the same account as
  // [ACCOUNT1], and the ring tone on virtual output 3.
  std::string AccountIni(const std::string& user = "101") const;
  void WriteIni(const std::string& text);
  std::string ReadIni() const;

  void Start();  // creates and shows the window (its start-up runs)
  void Close();  // closes it (its shutdown runs); the window object stays

  // Runs the action list's update, then clicks; false when the button is
  // disabled (it is not clicked then).
  bool Click(QAbstractButton* button);
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& text);

}  // namespace qv::test
