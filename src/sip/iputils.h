// Socket helpers over POSIX UDP sockets. Where the system has IPv6 every
// socket is an IPv6 one that also carries IPv4 (mapped addresses, RFC 3493
// 3.7), else an IPv4 one. Addresses travel as text: IPv4 dotted (also for
// IPv4 reached through an IPv6 socket), IPv6 without brackets; a send also
// takes an IPv6 address in brackets. Ports are host-order integers. Failures raise
// qv::Exception with the texts the rest of the system expects: "bind failed",
// "IP address is incorrect", or the socket error text of the failing call.
#pragma once

#include <string>

namespace qv {

constexpr int kInvalidSocket = -1;

enum class TSocketSet {
  Sip,  // the SIP transport's socket: a send to port 0 is still attempted
  Rtp,  // a call's RTP socket: a send to port 0 does nothing
};

// Creates a non-blocking datagram socket bound to all local addresses (IPv4
// and, where there is IPv6, IPv6) at `port` (0 lets the system choose).
int CreateUdpSocket(int port, TSocketSet set);
void CloseSocket(int socket);
int BoundPort(int socket);  // the local port a socket is bound to

// Sends one datagram to host:port. host must be dotted IPv4 or IPv6 ("IP
// address is incorrect" otherwise). "0.0.0.0", "::", an empty host or an invalid socket send
// nothing and return false; a send that would block returns false silently
// (for the SIP set also one that finds no buffer). On the SIP set a datagram
// a local packet filter refuses (EPERM) counts as sent: it is lost, as on the
// wire, and retransmission deals with it.
bool SendDatagram(TSocketSet set, int socket, const void* bytes, int length, int port,
                  const std::string& host);

// Reads one datagram. Returns false when nothing was waiting; raises on
// other errors. A datagram longer than `capacity` is cut to it.
bool ReceiveDatagram(int socket, void* buffer, int capacity, int& length, int& senderPort,
                     std::string& senderAddress);

// WinSock error number -> its fixed English text; "Not a WinSock error" otherwise.
std::string SocketErrorText(int error);
// errno -> the WinSock number that names the same condition (errno itself when none does).
int WinSockError(int errnoValue);

// A name lookup can take seconds; the threads that carry SIP must never
// wait for one. They call MarkTransportThread() when they start, every
// lookup calls NoteNameLookup(), and LookupsOnTransportThreads() counts the
// lookups that broke the rule (zero, which tests check).
void MarkTransportThread();
void NoteNameLookup();
long LookupsOnTransportThreads();

// IPv4 only (STUN servers, and what the programs check a name with).
std::string ResolveHost(const std::string& name);         // the name itself when unresolvable
std::string ResolveHostOrEmpty(const std::string& name);  // "" when unresolvable
// A SIP server's address: an address as it is (brackets taken off), a name
// by the first address the system's resolver gives, IPv4 or IPv6 (IPv6 only
// where this machine has an IPv6 address and the sockets are IPv6). "" when
// nothing resolves.
std::string ResolveSipHostOrEmpty(const std::string& name);
// Whether the text is a dotted IPv4 address.
bool IsIpv4Address(const std::string& text);
// Whether the text is an IPv6 address, with or without brackets.
bool IsIpv6Address(const std::string& text);
bool IsIpAddress(const std::string& text);
// "[2001:db8::1]" -> "2001:db8::1"; anything else as it is.
std::string BareHost(const std::string& host);
// An address as the host of a SIP URI or Via (RFC 3261 25.1): an IPv6
// address in brackets, anything else as it is.
std::string UriHost(const std::string& address);
// The position of the colon before the port in "host:port" or "[v6]:port";
// npos when there is no port (also for an IPv6 address without brackets).
size_t PortColon(const std::string& hostPort);
// Whether a dotted IPv4 address is on this machine's loopback network.
inline bool IsLoopback(const std::string& address) { return address.rfind("127.", 0) == 0; }
// The machine's own address: the first IPv4 address of an interface that is
// up and not loopback, or "127.0.0.1" when there is none.
std::string LocalHostAddress();
// The local address the system would use to reach `host` (IPv4 or IPv6,
// brackets allowed), in the same family; "" on failure.
std::string LocalAddressTowards(const std::string& host);

}  // namespace qv
