#include "sip/iputils.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
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

thread_local bool transportThread = false;
std::atomic<long> lookupsOnTransportThreads{0};

bool Resolve(const std::string& name, std::string& out) {
  if (name.empty()) return false;
  NoteNameLookup();
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* result = nullptr;
  if (getaddrinfo(name.c_str(), nullptr, &hints, &result) != 0 || !result) return false;
  out = Dotted(reinterpret_cast<sockaddr_in*>(result->ai_addr)->sin_addr);
  freeaddrinfo(result);
  return true;
}

// The family every socket of this process is made with: AF_INET6 with IPv4
// mapped into it (one socket for both, RFC 3493 3.7) where the system has
// IPv6, else AF_INET. Decided by the first socket made.
std::atomic<int> socketFamily{AF_UNSPEC};

// An address as a socket address of the sockets' family; false when the text
// is no address (brackets around an IPv6 address are allowed) or when it is
// IPv6 and the sockets are IPv4.
bool ToSocketAddress(const std::string& host, int port, sockaddr_storage& out, socklen_t& length) {
  const std::string bare = BareHost(host);
  in_addr v4{};
  const bool isV4 = inet_pton(AF_INET, bare.c_str(), &v4) == 1;
  out = {};
  if (socketFamily.load() != AF_INET6) {
    if (!isV4) return false;
    auto& a = reinterpret_cast<sockaddr_in&>(out);
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr = v4;
    length = sizeof a;
    return true;
  }
  auto& a = reinterpret_cast<sockaddr_in6&>(out);
  a.sin6_family = AF_INET6;
  a.sin6_port = htons(uint16_t(port));
  length = sizeof a;
  if (isV4) {  // ::ffff:a.b.c.d
    a.sin6_addr.s6_addr[10] = a.sin6_addr.s6_addr[11] = 0xff;
    std::memcpy(&a.sin6_addr.s6_addr[12], &v4, 4);
    return true;
  }
  return inet_pton(AF_INET6, bare.c_str(), &a.sin6_addr) == 1;
}

// A socket address as text: dotted for IPv4 and IPv4-mapped, else the
// IPv6 address without brackets.
std::string AddressText(const sockaddr_storage& address) {
  if (address.ss_family == AF_INET6) {
    const auto& a = reinterpret_cast<const sockaddr_in6&>(address);
    if (IN6_IS_ADDR_V4MAPPED(&a.sin6_addr)) {
      in_addr v4;
      std::memcpy(&v4, &a.sin6_addr.s6_addr[12], 4);
      return Dotted(v4);
    }
    char text[INET6_ADDRSTRLEN];
    return inet_ntop(AF_INET6, &a.sin6_addr, text, sizeof text) ? text : "";
  }
  return Dotted(reinterpret_cast<const sockaddr_in&>(address).sin_addr);
}

int AddressPort(const sockaddr_storage& address) {
  return address.ss_family == AF_INET6 ? ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port)
                                       : ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
}

}  // namespace

int CreateUdpSocket(int port, TSocketSet set) {
  int family = socketFamily.load();
  int s = -1;
  if (family != AF_INET) {
    s = socket(AF_INET6, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int v6only = 0;
    if (s >= 0 && setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &v6only, sizeof v6only) != 0) {
      close(s);
      s = -1;
    }
    family = s >= 0 ? AF_INET6 : AF_INET;
    int unset = AF_UNSPEC;
    socketFamily.compare_exchange_strong(unset, family);
    family = socketFamily.load();
    if (s >= 0 && family != AF_INET6) {
      close(s);
      s = -1;
    }
  }
  if (s < 0) s = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
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
  sockaddr_storage addr{};
  socklen_t addrLength = 0;
  ToSocketAddress(family == AF_INET6 ? "::" : "0.0.0.0", port, addr, addrLength);
  if (bind(s, reinterpret_cast<sockaddr*>(&addr), addrLength) != 0) {
    close(s);
    throw Exception("bind failed");
  }
  return s;
}

void CloseSocket(int socket) {
  if (socket >= 0) close(socket);
}

int BoundPort(int socket) {
  sockaddr_storage addr{};
  socklen_t len = sizeof addr;
  if (getsockname(socket, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return 0;
  return AddressPort(addr);
}

bool SendDatagram(TSocketSet set, int socket, const void* bytes, int length, int port,
                  const std::string& host) {
  if (host.empty() || host == "0.0.0.0" || host == "::" || host == "[::]" || socket < 0) return false;
  if (set == TSocketSet::Rtp && port == 0) return false;
  sockaddr_storage addr{};
  socklen_t addrLength = 0;
  if (!ToSocketAddress(host, port, addr, addrLength)) throw Exception("IP address is incorrect");
  ssize_t n;
  do {
    n = sendto(socket, bytes, size_t(length), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&addr), addrLength);
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
  sockaddr_storage from{};
  socklen_t fromLen = sizeof from;
  ssize_t n;
  do {
    n = recvfrom(socket, buffer, size_t(capacity), 0, reinterpret_cast<sockaddr*>(&from), &fromLen);
  } while (n < 0 && errno == EINTR);
  length = n > 0 ? int(n) : 0;
  senderPort = AddressPort(from);
  senderAddress = AddressText(from);
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
  sockaddr_storage addr{};
  const std::string bare = BareHost(host);
  int family = AF_INET;
  socklen_t addrLength = sizeof(sockaddr_in);
  auto& v4 = reinterpret_cast<sockaddr_in&>(addr);
  auto& v6 = reinterpret_cast<sockaddr_in6&>(addr);
  // Any port: connect() on UDP only picks a route.
  if (inet_pton(AF_INET, bare.c_str(), &v4.sin_addr) == 1) {
    v4.sin_family = AF_INET;
    v4.sin_port = htons(5060);
  } else if (inet_pton(AF_INET6, bare.c_str(), &v6.sin6_addr) == 1) {
    family = AF_INET6;
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(5060);
    addrLength = sizeof v6;
  } else {
    return {};
  }
  int s = socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (s < 0) return {};
  std::string result;
  sockaddr_storage local{};
  socklen_t len = sizeof local;
  if (connect(s, reinterpret_cast<sockaddr*>(&addr), addrLength) == 0 &&
      getsockname(s, reinterpret_cast<sockaddr*>(&local), &len) == 0)
    result = AddressText(local);
  close(s);
  return result;
}

bool IsIpv6Address(const std::string& text) {
  in6_addr a{};
  return inet_pton(AF_INET6, BareHost(text).c_str(), &a) == 1;
}

bool IsIpAddress(const std::string& text) { return IsIpv4Address(text) || IsIpv6Address(text); }

std::string BareHost(const std::string& host) {
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') return host.substr(1, host.size() - 2);
  return host;
}

std::string UriHost(const std::string& address) {
  if (address.find(':') == std::string::npos || address.front() == '[') return address;
  return "[" + address + "]";
}

size_t PortColon(const std::string& hostPort) {
  if (hostPort.empty()) return std::string::npos;
  size_t close = hostPort.front() == '[' ? hostPort.find(']') : 0;
  if (close == std::string::npos) return std::string::npos;
  size_t colon = hostPort.find(':', close);
  // An IPv6 address without brackets has no port.
  if (close == 0 && colon != std::string::npos && hostPort.find(':', colon + 1) != std::string::npos)
    return std::string::npos;
  return colon;
}

std::string ResolveSipHostOrEmpty(const std::string& name) {
  const std::string bare = BareHost(name);
  if (bare.empty()) return {};
  if (IsIpv4Address(bare)) return bare;
  if (IsIpv6Address(bare)) return socketFamily.load() == AF_INET ? std::string() : bare;
  NoteNameLookup();
  addrinfo hints{};
  hints.ai_family = socketFamily.load() == AF_INET ? AF_INET : AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* result = nullptr;
  if (getaddrinfo(bare.c_str(), nullptr, &hints, &result) != 0 || !result) return {};
  // The resolver's order (RFC 6724), except that an IPv6 address this
  // machine has no route to is passed over: a name with both records on a
  // network without IPv6 still reaches its IPv4 address.
  std::string out;
  for (addrinfo* i = result; i && out.empty(); i = i->ai_next) {
    if (i->ai_family != AF_INET && i->ai_family != AF_INET6) continue;
    sockaddr_storage a{};
    std::memcpy(&a, i->ai_addr, std::min<size_t>(i->ai_addrlen, sizeof a));
    std::string text = AddressText(a);
    if (i->ai_family == AF_INET6 && LocalAddressTowards(text).empty()) continue;
    out = text;
  }
  freeaddrinfo(result);
  return out;
}

void MarkTransportThread() { transportThread = true; }

void NoteNameLookup() {
  if (transportThread) lookupsOnTransportThreads.fetch_add(1);
}

long LookupsOnTransportThreads() { return lookupsOnTransportThreads.load(); }

}  // namespace qv
