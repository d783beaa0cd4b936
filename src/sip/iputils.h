// Socket helpers over POSIX UDP sockets (IPv4 only). Addresses travel as
// dotted-decimal text, ports as host-order integers. Failures raise
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

// Creates a non-blocking IPv4 datagram socket bound to all local addresses at
// `port` (0 lets the system choose).
int CreateUdpSocket(int port, TSocketSet set);
void CloseSocket(int socket);
int BoundPort(int socket);  // the local port a socket is bound to

// Sends one datagram to host:port. host must be dotted IPv4 ("IP address is
// incorrect" otherwise). "0.0.0.0", an empty host or an invalid socket send
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

std::string ResolveHost(const std::string& name);         // the name itself when unresolvable
std::string ResolveHostOrEmpty(const std::string& name);  // "" when unresolvable
// Whether the text is a dotted IPv4 address.
bool IsIpv4Address(const std::string& text);
// Whether a dotted IPv4 address is on this machine's loopback network.
inline bool IsLoopback(const std::string& address) { return address.rfind("127.", 0) == 0; }
// The machine's own address: the first IPv4 address of an interface that is
// up and not loopback, or "127.0.0.1" when there is none.
std::string LocalHostAddress();
// The local address the system would use to reach `host` (dotted IPv4); "" on failure.
std::string LocalAddressTowards(const std::string& host);

}  // namespace qv
