#include "cli/startchecks.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "cli/commands.h"
#include "sip/iputils.h"

namespace qv::cli {

namespace {

// A SIP server may resolve to IPv6; a STUN server is reached over IPv4 only.
void CheckName(const std::string& host, const char* option, bool sip = true) {
  if (!(sip ? ResolveSipHostOrEmpty(host) : ResolveHostOrEmpty(host)).empty()) return;
  throw TUsageError("cannot resolve \"" + Printable(host) + "\" (check the host name given to " + option +
                    ", or this machine's name service)");
}

std::string HostOf(const std::string& hostPort) { return hostPort.substr(0, PortColon(hostPort)); }

}  // namespace

void CheckNamesResolve(const TCliOptions& o) {
  // The engine takes the proxy whole, and sends everything there when it is set.
  if (!o.Proxy.empty())
    CheckName(o.Proxy, "--proxy");
  else
    CheckName(HostOf(o.Server), "--server");
  if (!o.Stun.empty()) CheckName(HostOf(o.Stun), "--stun", false);
}

std::string BindFailureText(int port) {
  // The transport only says "bind failed"; binding the port again here
  // tells why.
  int error = 0;
  int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (s >= 0) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(uint16_t(port));
    if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) error = errno;
    close(s);
  } else {
    error = errno;
  }
  std::string what = "cannot bind 0.0.0.0:" + std::to_string(port) + " (";
  switch (error) {
    case EADDRINUSE:
      return what + "in use; choose another --local-port)";
    case EACCES:
      return what + "not permitted for this user; choose a port above 1023 with --local-port)";
    case 0:
      return what + "it was busy a moment ago; try again or choose another --local-port)";
    default:
      return what + std::strerror(error) + "; choose another --local-port)";
  }
}

}  // namespace qv::cli
