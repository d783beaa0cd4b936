#include "sip/iputils.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/errors.h"

namespace qv {

namespace {

// The SIP socket gets a larger receive queue than the original's 4096 bytes:
// Linux charges each queued datagram its buffer overhead, so 4096 bytes would
// hold only a handful and a burst of requests would be dropped.
constexpr int kSipReceiveBuffer = 256 * 1024;
constexpr int kRtpReceiveBuffer = 64 * 1024;
constexpr int kRtpSendBuffer = 4096;
// A burst of SIP (retransmissions of many transactions coming due together, a
// 200 with its SDP for each of many calls) must not find the send queue full.
constexpr int kSipSendBuffer = 256 * 1024;

[[noreturn]] void RaiseSocketError(int err) { throw Exception(SocketErrorText(WinSockError(err))); }

std::string Dotted(const in_addr& a) {
  const unsigned char* b = reinterpret_cast<const unsigned char*>(&a.s_addr);
  char text[16];
  snprintf(text, sizeof text, "%d.%d.%d.%d", b[0], b[1], b[2], b[3]);
  return text;
}

bool Resolve(const std::string& name, std::string& out) {
  if (name.empty()) return false;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* result = nullptr;
  if (getaddrinfo(name.c_str(), nullptr, &hints, &result) != 0 || !result) return false;
  out = Dotted(reinterpret_cast<sockaddr_in*>(result->ai_addr)->sin_addr);
  freeaddrinfo(result);
  return true;
}

}  // namespace

int CreateUdpSocket(int port, TSocketSet set) {
  int s = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (s < 0) throw Exception("WSASocket failed");
  // No SO_REUSEADDR: on Linux it lets a second UDP socket bind the same port
  // and silently take its datagrams; a port in use must fail instead.
  int rcv = set == TSocketSet::Sip ? kSipReceiveBuffer : kRtpReceiveBuffer;
  int snd = set == TSocketSet::Sip ? kSipSendBuffer : kRtpSendBuffer;
  if (setsockopt(s, SOL_SOCKET, SO_RCVBUF, &rcv, sizeof rcv) != 0 ||
      setsockopt(s, SOL_SOCKET, SO_SNDBUF, &snd, sizeof snd) != 0) {
    close(s);
    throw Exception("setsockopt failed");
  }
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  addr.sin_port = htons(uint16_t(port));
  if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(s);
    throw Exception("bind failed");
  }
  return s;
}

void CloseSocket(int socket) {
  if (socket >= 0) close(socket);
}

int BoundPort(int socket) {
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  if (getsockname(socket, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return 0;
  return ntohs(addr.sin_port);
}

bool SendDatagram(TSocketSet set, int socket, const void* bytes, int length, int port,
                  const std::string& host) {
  if (host.empty() || host == "0.0.0.0" || socket < 0) return false;
  if (set == TSocketSet::Rtp && port == 0) return false;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(uint16_t(port));
  if (inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1) throw Exception("IP address is incorrect");
  ssize_t n;
  do {
    n = sendto(socket, bytes, size_t(length), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK || (set == TSocketSet::Sip && errno == ENOBUFS)) return false;
    // A local packet filter dropped it: for SIP that is a datagram lost on
    // the way, which the transactions recover from, not a failed operation.
    if (set == TSocketSet::Sip && errno == EPERM) return true;
    RaiseSocketError(errno);
  }
  return true;
}

bool ReceiveDatagram(int socket, void* buffer, int capacity, int& length, int& senderPort,
                     std::string& senderAddress) {
  sockaddr_in from{};
  socklen_t fromLen = sizeof from;
  ssize_t n;
  do {
    n = recvfrom(socket, buffer, size_t(capacity), 0, reinterpret_cast<sockaddr*>(&from), &fromLen);
  } while (n < 0 && errno == EINTR);
  length = n > 0 ? int(n) : 0;
  senderPort = ntohs(from.sin_port);
  senderAddress = Dotted(from.sin_addr);
  if (n < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK) return false;
    RaiseSocketError(errno);
  }
  return true;
}

int WinSockError(int e) {
  switch (e) {
    case EINTR: return 10004;
    case EBADF: return 10009;
    case EACCES: case EPERM: return 10013;
    case EFAULT: return 10014;
    case EINVAL: return 10022;
    case EMFILE: case ENFILE: return 10024;
    case EWOULDBLOCK: return 10035;
    case EINPROGRESS: return 10036;
    case EALREADY: return 10037;
    case ENOTSOCK: return 10038;
    case EDESTADDRREQ: return 10039;
    case EMSGSIZE: return 10040;
    case EPROTOTYPE: return 10041;
    case ENOPROTOOPT: return 10042;
    case EPROTONOSUPPORT: return 10043;
    case ESOCKTNOSUPPORT: return 10044;
    case EOPNOTSUPP: return 10045;
    case EPFNOSUPPORT: return 10046;
    case EAFNOSUPPORT: return 10047;
    case EADDRINUSE: return 10048;
    case EADDRNOTAVAIL: return 10049;
    case ENETDOWN: return 10050;
    case ENETUNREACH: return 10051;
    case ENETRESET: return 10052;
    case ECONNABORTED: return 10053;
    case ECONNRESET: return 10054;
    case ENOBUFS: case ENOMEM: return 10055;
    case EISCONN: return 10056;
    case ENOTCONN: return 10057;
    case ESHUTDOWN: return 10058;
    case ETOOMANYREFS: return 10059;
    case ETIMEDOUT: return 10060;
    case ECONNREFUSED: return 10061;
    case ELOOP: return 10062;
    case ENAMETOOLONG: return 10063;
    case EHOSTDOWN: return 10064;
    case EHOSTUNREACH: return 10065;
    case ENOTEMPTY: return 10066;
    case EUSERS: return 10068;
    case EDQUOT: return 10069;
    case ESTALE: return 10070;
    case EREMOTE: return 10071;
    default: return e;
  }
}

std::string SocketErrorText(int error) {
  switch (error) {
    case 10004: return "Interrupted system call";
    case 10009: return "Bad file number";
    case 10013: return "Permission denied";
    case 10014: return "Bad address";
    case 10022: return "Invalid argument";
    case 10024: return "Too many open files";
    case 10035: return "Operation would block";
    case 10036: return "Operation now in progress";
    case 10037: return "Operation already in progress";
    case 10038: return "Socket operation on non-socket";
    case 10039: return "Destination address required";
    case 10040: return "Message too long";
    case 10041: return "Protocol wrong type for socket";
    case 10042: return "Protocol not available";
    case 10043: return "Protocol not supported";
    case 10044: return "Socket type not supported";
    case 10045: return "Operation not supported on socket";
    case 10046: return "Protocol family not supported";
    case 10047: return "Address family not supported by protocol family";
    case 10048: return "Address already in use";
    case 10049: return "Can't assign requested address";
    case 10050: return "Network is down";
    case 10051: return "Network is unreachable";
    case 10052: return "Network dropped connection on reset";
    case 10053: return "Software caused connection abort";
    case 10054: return "Connection reset by peer";
    case 10055: return "No buffer space available";
    case 10056: return "Socket is already connected";
    case 10057: return "Socket is not connected";
    case 10058: return "Can't send after socket shutdown";
    case 10059: return "Too many references: can't splice";
    case 10060: return "Connection timed out";
    case 10061: return "Connection refused";
    case 10062: return "Too many levels of symbolic links";
    case 10063: return "File name too long";
    case 10064: return "Host is down";
    case 10065: return "No route to host";
    case 10066: return "Directory not empty";
    case 10067: return "Too many processes";
    case 10068: return "Too many users";
    case 10069: return "Disc quota exceeded";
    case 10070: return "Stale NFS file handle";
    case 10071: return "Too many levels of remote in path";
    case 10091: return "Network sub-system is unusable";
    case 10092: return "WinSock DLL cannot support this application";
    case 10093: return "WinSock not initialized";
    case 11001: return "Host not found";
    case 11002: return "Non-authoritative host not found";
    case 11003: return "Non-recoverable error";
    case 11004: return "No Data";
    default: return "Not a WinSock error";
  }
}

bool IsIpv4Address(const std::string& text) {
  in_addr a{};
  return inet_pton(AF_INET, text.c_str(), &a) == 1;
}

std::string ResolveHost(const std::string& name) {
  std::string out;
  return Resolve(name, out) ? out : name;
}

std::string ResolveHostOrEmpty(const std::string& name) {
  std::string out;
  return Resolve(name, out) ? out : std::string();
}

std::string LocalHostAddress() {
  ifaddrs* list = nullptr;
  std::string result = "127.0.0.1";
  if (getifaddrs(&list) != 0) return result;
  for (ifaddrs* i = list; i; i = i->ifa_next) {
    if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
    if (!(i->ifa_flags & IFF_UP) || (i->ifa_flags & IFF_LOOPBACK)) continue;
    result = Dotted(reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr);
    break;
  }
  freeifaddrs(list);
  return result;
}

std::string LocalAddressTowards(const std::string& host) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(5060);  // any port: connect() on UDP only picks a route
  if (inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1) return {};
  int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (s < 0) return {};
  std::string result;
  sockaddr_in local{};
  socklen_t len = sizeof local;
  if (connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      getsockname(s, reinterpret_cast<sockaddr*>(&local), &len) == 0)
    result = Dotted(local.sin_addr);
  close(s);
  return result;
}

}  // namespace qv
