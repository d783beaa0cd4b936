// The top Via of a message: what identifies its transaction (RFC 3261
// 17.1.3, 17.2.3) and where the response to it goes (18.2.2, RFC 3581).
//
// Pure text functions; any thread.
#pragma once

#include <string>

namespace qv {

struct TTopVia {
  std::string Branch;    // value of ";branch=", "" when absent
  std::string SentBy;    // "host:port", the host in lower case, 5060 when no port is written
  std::string Host;      // sent-by host
  int Port = 5060;       // sent-by port, 5060 when none is written
  std::string Received;  // value of ";received=", "" when absent
  bool Rport = false;    // an ";rport" parameter, with or without a value
  int RportValue = 0;    // its value, 0 when it has none
  bool Reliable = false; // the transport is TCP or TLS: nothing is retransmitted
};

// The first Via value of `viaLines` (one or more "Via:" lines as the parser
// keeps them, or a whole message). Nothing found: all fields empty.
TTopVia ParseTopVia(const std::string& viaLines);

// RFC 3261 18.2.1 and RFC 3581 4: the receiver of a request notes where it
// came from in the top Via, ";received=" when the sent-by host is not the
// source address and the value of a bare ";rport"; a TCP or TLS Via gets
// ";rport=" with the source port even unasked, so that the response finds
// the connection (18.2.2). Returns `viaLines` with the
// first Via value so completed; the other lines are left as they are.
std::string StampTopVia(const std::string& viaLines, const std::string& sourceHost, int sourcePort);

// Where a response goes by its top Via (RFC 3261 18.2.2, RFC 3581 4): the
// received address, else the sent-by host; the rport value, else the sent-by port.
void ResponseDestination(const TTopVia& via, std::string& host, int& port);

// The branch of RFC 3261 starts with this cookie; older peers' do not, and
// their transactions are matched the RFC 2543 way.
inline bool IsRfc3261Branch(const std::string& branch) { return branch.rfind("z9hG4bK", 0) == 0; }

}  // namespace qv
