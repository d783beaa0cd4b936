// What quorvelle-cli checks before it starts, so that a mistake costs one
// error line naming the option to change instead of a phone that runs and
// fails at every command.
//
// Threads: the program's main thread.
#pragma once

#include <string>

#include "cli/options.h"

namespace qv::cli {

// The names the account sends to (the proxy, else the server's host) and
// the STUN server must resolve; raises TUsageError: cannot resolve "NAME"
// and which option gave it.
void CheckNamesResolve(const TCliOptions& options);

// Why the SIP port could not be bound, and what to do about it:
// cannot bind 0.0.0.0:PORT (in use; choose another --local-port).
std::string BindFailureText(int port);

}  // namespace qv::cli
