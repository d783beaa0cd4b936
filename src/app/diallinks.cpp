#include "app/diallinks.h"

#include <QUrl>

namespace qv {

namespace {

QString Scheme(const QString& link) {
  int colon = link.indexOf(':');
  return colon > 0 ? link.left(colon).toLower() : QString();
}

// What may stand in a number or a SIP user or host as we send it: no
// blanks, quotes, angle brackets or control characters, which would break
// the request line and headers the number goes into.
bool Callable(const QString& text) {
  if (text.isEmpty()) return false;
  for (QChar c : text) {
    if (c.unicode() <= 0x20 || c.unicode() >= 0x7f) return false;
    if (QStringLiteral("\"<>\\`{}|^").contains(c)) return false;
  }
  return true;
}

QString HostOf(const QString& hostPort) { return hostPort.section(':', 0, 0).toLower(); }

}  // namespace

bool IsDialLink(const QString& argument) {
  QString scheme = Scheme(argument);
  return scheme == "sip" || scheme == "sips" || scheme == "tel";
}

QString NumberFromLink(const QString& link, const QString& server, QString* error) {
  QString scheme = Scheme(link);
  QString rest = link.mid(scheme.size() + 1);
  // Headers (after "?") and parameters (after ";") say how to call, not whom.
  rest = rest.section('?', 0, 0).section(';', 0, 0);
  rest = QUrl::fromPercentEncoding(rest.toUtf8());
  QString number;
  if (scheme == "tel") {
    // RFC 3966 5.1.1: "-", "." and parentheses only help the eye.
    for (QChar c : rest)
      if (!QStringLiteral("-.() ").contains(c)) number += c;
  } else if (scheme == "sip" || scheme == "sips") {
    int at = rest.lastIndexOf('@');
    QString user = at < 0 ? QString() : rest.left(at);
    QString host = at < 0 ? rest : rest.mid(at + 1);
    if (user.isEmpty())
      number = host;  // a bare host: the call goes to it as typed
    else if (!server.isEmpty() && HostOf(host) == HostOf(server))
      number = user;
    else
      number = user + "@" + host;
  }
  if (!Callable(number)) {
    if (error) *error = QString("El enlace %1 no tiene un numero para llamar.").arg(link.left(80));
    return {};
  }
  return number;
}

}  // namespace qv
