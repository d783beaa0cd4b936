// The command language of quorvelle-cli: one command per line (or per
// ";"-separated part of --exec), checked completely before anything runs, so
// that a bad line costs one error line and changes nothing.
#pragma once

#include "platform/errors.h"
#include <string>
#include <vector>

namespace qv::cli {

// A command that cannot run as written: one line for "error TEXT".
class TCommandError : public Exception {
public:
  using Exception::Exception;
};

enum class TVerb {
  None,  // an empty line or a comment
  Register,
  Unregister,
  Call,
  Answer,
  Reject,
  HangUp,
  Hold,
  Unhold,
  Transfer,
  Dtmf,
  Line,
  Play,
  Say,
  RecordStart,
  RecordStop,
  ConferenceOn,
  ConferenceOff,
  Message,
  Wait,
  WaitEvent,
  Status,
  Quit,
};

struct TCommand {
  TVerb Verb = TVerb::None;
  std::string Target;  // call, transfer; the user of message; the event of wait-event
  std::string Text;    // dtmf digits (upper case), file, say and message text
  int Line = 0;
  double Seconds = 0;
};

// Longest accepted command line; longer input is refused, not truncated.
constexpr size_t kMaxCommandLength = 4096;

// The names of the events wait-event knows.
const std::vector<std::string>& EventNames();

// Raises TCommandError.
TCommand ParseCommand(const std::string& line, int lineCount);

// The parts of an --exec text, trimmed; empty parts are left out.
std::vector<std::string> SplitScript(const std::string& script);

// Seconds as a decimal number from 0 to a year; raises TCommandError naming `what`.
double ParseSeconds(const std::string& what, const std::string& text);

// Characters that may stand in a SIP URI's user or host part as we send it.
bool IsUriText(const std::string& text);

// `text` on one line: \r, \n and \\ escaped, other control bytes, bytes
// above 126 and (with `escapeBlank`) blanks as \xNN.
std::string Printable(const std::string& text, bool escapeBlank = false);

}  // namespace qv::cli
