// The STUN binding exchange of a registration (RFC 3489, answered the same way
// by RFC 5389 servers): the request we send and the address we read back.
#pragma once

#include <string>

namespace qv {

// The 16 characters of a Call-ID that serve as the transaction identifier of
// the account's binding request, so that the answer finds its account again:
// characters 16 to 31 counting from 1. A shorter Call-ID gives what is there.
std::string StunTransactionId(const std::string& callId);

// A binding request: the RFC 3489 header with `transactionId` (16 bytes) and
// one CHANGE-REQUEST attribute asking for nothing.
std::string StunBindingRequest(const std::string& transactionId);

// Whether a datagram is a binding success answer, by its type.
bool IsStunAnswer(const std::string& datagram);

// The transaction identifier of an answer ("" when too short).
std::string StunAnswerTransactionId(const std::string& datagram);

// The public IPv4 address in a binding answer as dotted text, or "".
std::string StunMappedAddress(const std::string& datagram);

}  // namespace qv
