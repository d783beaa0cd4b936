#include "app/singleinstance.h"

#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>
#include <unistd.h>

namespace qv {

namespace {

// A request is one line of UTF-8; longer input is not a request of ours.
constexpr qint64 kMaxRequest = 8192;

}  // namespace

TSingleInstance::TSingleInstance(QString socketPath, QObject* parent)
    : QObject(parent), path_(socketPath.isEmpty() ? DefaultSocketPath() : std::move(socketPath)) {}

TSingleInstance::~TSingleInstance() {
  if (server_) server_->close();  // removes the socket file
}

QString TSingleInstance::DefaultSocketPath() {
  QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
  if (!runtime.isEmpty() && QDir(runtime).exists()) return runtime + "/quorvelle.socket";
  return QStringLiteral("/tmp/quorvelle-%1.socket").arg(getuid());
}

bool TSingleInstance::HandOver(const QString& request, int timeoutMs) {
  QLocalSocket socket;
  socket.connectToServer(path_);
  if (!socket.waitForConnected(timeoutMs)) return false;
  socket.write(request.toUtf8() + "\n");
  if (!socket.waitForBytesWritten(timeoutMs)) return false;
  // The first instance answers once it has the request, so that this start
  // does not end before the request arrived.
  return socket.waitForReadyRead(timeoutMs) && socket.readAll().startsWith("ok");
}

bool TSingleInstance::Listen() {
  server_ = new QLocalServer(this);
  server_->setSocketOptions(QLocalServer::UserAccessOption);
  if (!server_->listen(path_)) {
    // Nobody answered on it (HandOver came first), so it is left over.
    QLocalServer::removeServer(path_);
    if (!server_->listen(path_)) return false;
  }
  connect(server_, &QLocalServer::newConnection, this, [this] {
    while (QLocalSocket* socket = server_->nextPendingConnection()) {
      connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
      connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
        if (!socket->canReadLine()) {
          if (socket->bytesAvailable() > kMaxRequest) socket->abort();
          return;
        }
        QString request = QString::fromUtf8(socket->readLine(kMaxRequest)).trimmed();
        socket->write("ok\n");
        socket->flush();
        socket->disconnectFromServer();
        if (OnRequest) OnRequest(request);
      });
    }
  });
  return true;
}

}  // namespace qv
