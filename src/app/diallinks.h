// Links that open the softphone: "sip:", "sips:" (RFC 3261 19.1) and "tel:"
// (RFC 3966) URIs handed over by the desktop, turned into what the user
// would have typed in the dial field.
//
// No state. Threads: any.
#pragma once

#include <QString>

namespace qv {

// Whether `argument` is such a link (the scheme, in any case).
bool IsDialLink(const QString& argument);

// The number or address the link calls: for tel: the number without its
// visual separators ("tel:+34-91-555-0101" gives "+34915550101"); for sip:
// the user when the host is the account's server (`server`, "host[:port]")
// and "user@host" otherwise. Parameters and headers are dropped and %XX
// escapes decoded. Returns "" and a Spanish `error` when the link holds
// nothing that can be called.
QString NumberFromLink(const QString& link, const QString& server, QString* error);

}  // namespace qv
