// One softphone per user: the first start listens on a local socket that
// only its user may open; a second start hands its request (a link to dial,
// or just "come to the front") to the first and ends. Two phones of one user
// would fight over the SIP port and the settings file.
//
// The socket is "quorvelle.socket" in $XDG_RUNTIME_DIR, or
// /tmp/quorvelle-<uid>.socket without it. A socket left behind by a program
// that crashed is taken over.
//
// Threads: GUI thread only.
#pragma once

#include <QObject>
#include <QString>
#include <functional>

class QLocalServer;

namespace qv {

class TSingleInstance : public QObject {
  Q_OBJECT
public:
  // `socketPath`: empty for the user's default place.
  explicit TSingleInstance(QString socketPath = {}, QObject* parent = nullptr);
  ~TSingleInstance() override;

  static QString DefaultSocketPath();
  const QString& SocketPath() const { return path_; }

  // Hands `request` to a running first instance; true when it took it (this
  // start should then end), false when there is none.
  bool HandOver(const QString& request, int timeoutMs = 3000);
  // Becomes the first instance; false when the socket cannot be made (the
  // program then runs alone without it).
  bool Listen();

  // A request handed over by a later start ("raise" or "open LINK").
  std::function<void(const QString& request)> OnRequest;

private:
  QString path_;
  QLocalServer* server_ = nullptr;
};

}  // namespace qv
