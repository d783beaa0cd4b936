// Finding a SIP server by name (RFC 3263 4.2, RFC 2782): the SRV records of
// the transport's service first ("_sip._udp.NAME", "_sip._tcp.NAME" or, for
// TLS, "_sips._tcp.NAME"), lowest priority first and within one priority the
// heavier weight first, each target by its address record; a name without
// SRV records, or one given with a port, by its own address.
//
// A lookup blocks its caller (never the transport thread: the engine resolves
// on the user's thread), at most for the bound it is given.
#pragma once

#include <string>
#include <vector>

#include "sip/sipints.h"

namespace qv {

struct TSrvRecord {
  int Priority = 0;
  int Weight = 0;
  int Port = 0;
  std::string Target;
};

// The SRV records of a DNS answer message, in the order to try them; none
// when the message is not a well-formed answer.
std::vector<TSrvRecord> ParseSrvAnswer(const unsigned char* answer, int length);

// The SRV service prefix of a transport: "_sip._udp", "_sip._tcp", "_sips._tcp".
std::string SrvService(TSipTransport transport);

// `name` as an address (dotted IPv4, or IPv6 without brackets) and port: an
// address stays as it is (an IPv6 one loses its brackets); a
// name with `portGiven` false is looked up by SRV of `service` first (the
// port then comes from the record that answered; without one `port` stays).
// False when nothing resolved within `timeoutMs`.
bool ResolveSipServer(const std::string& name, bool portGiven, std::string& address, int& port,
                      int timeoutMs = 5000, const std::string& service = "_sip._udp");

// Tests only: the DNS server every SRV and address query of ResolveSipServer
// asks ("" puts back the system's). The file /etc/hosts is still read for
// names that have no SRV record.
void SetDnsServerForTests(const std::string& host, int port);

}  // namespace qv
