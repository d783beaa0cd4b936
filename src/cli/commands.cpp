#include "cli/commands.h"

#include "platform/textutil.h"

namespace qv::cli {

namespace {

// The first word of `text` and what follows it, trimmed.
std::string SplitWord(const std::string& text, std::string& rest) {
  size_t blank = text.find_first_of(" \t");
  if (blank == std::string::npos) {
    rest.clear();
    return text;
  }
  rest = Trim(text.substr(blank), IsBlank);
  return text.substr(0, blank);
}

bool IsPlainText(const std::string& text) {
  for (unsigned char c : text)
    if (c < 0x20 && c != '\t') return false;
  return true;
}

std::string Target(const std::string& verb, const std::string& text) {
  std::string target = text;
  if (target.rfind("sip:", 0) == 0) target = target.substr(4);  // the engine adds it
  if (target.empty()) throw TCommandError(verb + " wants a target");
  if (target.size() > 256 || !IsUriText(target))
    throw TCommandError(verb + ": not a SIP user or address: " + Printable(text));
  return target;
}

void NoArgument(const std::string& verb, const std::string& rest) {
  if (!rest.empty()) throw TCommandError(verb + " takes no argument");
}

}  // namespace

const std::vector<std::string>& EventNames() {
  static const std::vector<std::string> names = {
      "registered", "registration-ended", "incoming", "ringback", "answered",
      "bye",        "dtmf",               "silence",  "wav-stopped", "device-error"};
  return names;
}

bool IsUriText(const std::string& text) {
  static const std::string extra = "-_.!~*'()&=+$,/:@%#?[]";
  for (char c : text) {
    bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (!alnum && extra.find(c) == std::string::npos) return false;
  }
  return true;
}

std::string Printable(const std::string& text, bool escapeBlank) {
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\\') {
      out += "\\\\";
    } else if (c < 0x20 || c > 0x7E || (escapeBlank && c == ' ')) {
      static const char hex[] = "0123456789ABCDEF";
      out += "\\x";
      out += hex[c >> 4];
      out += hex[c & 15];
    } else {
      out += char(c);
    }
  }
  return out;
}

double ParseSeconds(const std::string& what, const std::string& text) {
  char* end = nullptr;
  errno = 0;
  double value = text.empty() ? -1 : std::strtod(text.c_str(), &end);
  // strtod also reads "inf", "nan" and hexadecimal; only plain decimals pass.
  bool plain = !text.empty() && text.find_first_not_of("0123456789.") == std::string::npos;
  if (!plain || *end != '\0' || errno != 0 || !(value >= 0) || value > 366 * 86400.0)
    throw TCommandError(what + " wants seconds, not \"" + Printable(text) + "\"");
  return value;
}

std::vector<std::string> SplitScript(const std::string& script) {
  std::vector<std::string> parts;
  std::string part;
  for (size_t i = 0; i <= script.size(); ++i) {
    if (i == script.size() || script[i] == ';' || script[i] == '\n') {
      part = Trim(part, IsBlank);
      if (!part.empty()) parts.push_back(part);
      part.clear();
    } else {
      part += script[i];
    }
  }
  return parts;
}

TCommand ParseCommand(const std::string& input, int lineCount) {
  TCommand c;
  if (input.size() > kMaxCommandLength) throw TCommandError("command too long");
  std::string line = Trim(input, IsBlank);
  if (line.empty() || line[0] == '#') return c;
  if (!IsPlainText(line)) throw TCommandError("control characters in command: " + Printable(line));
  std::string rest;
  std::string verb = SplitWord(line, rest);

  if (verb == "register" || verb == "unregister" || verb == "answer" || verb == "reject" ||
      verb == "hangup" || verb == "hold" || verb == "unhold" || verb == "status" || verb == "quit") {
    NoArgument(verb, rest);
    c.Verb = verb == "register"     ? TVerb::Register
             : verb == "unregister" ? TVerb::Unregister
             : verb == "answer"     ? TVerb::Answer
             : verb == "reject"     ? TVerb::Reject
             : verb == "hangup"     ? TVerb::HangUp
             : verb == "hold"       ? TVerb::Hold
             : verb == "unhold"     ? TVerb::Unhold
             : verb == "status"     ? TVerb::Status
                                    : TVerb::Quit;
    return c;
  }
  if (verb == "call" || verb == "transfer") {
    c.Verb = verb == "call" ? TVerb::Call : TVerb::Transfer;
    c.Target = Target(verb, rest);
    return c;
  }
  if (verb == "dtmf") {
    if (rest.empty()) throw TCommandError("dtmf wants digits");
    if (rest.size() > 64) throw TCommandError("dtmf: at most 64 digits at a time");
    for (char d : rest) {
      char upper = (d >= 'a' && d <= 'd') ? char(d - 'a' + 'A') : d;
      if (std::string("0123456789*#ABCD").find(upper) == std::string::npos)
        throw TCommandError("dtmf: not a DTMF digit: " + Printable(std::string(1, d)));
      c.Text += upper;
    }
    c.Verb = TVerb::Dtmf;
    return c;
  }
  if (verb == "line") {
    int n = 0;
    if (!ParseInt(rest, n) || n < 1 || n > lineCount)
      throw TCommandError("line wants a number from 1 to " + std::to_string(lineCount));
    c.Verb = TVerb::Line;
    c.Line = int(n);
    return c;
  }
  if (verb == "play" || verb == "say") {
    if (rest.empty()) throw TCommandError(verb + (verb == "play" ? " wants a file" : " wants a text"));
    c.Verb = verb == "play" ? TVerb::Play : TVerb::Say;
    c.Text = rest;
    return c;
  }
  if (verb == "record") {
    std::string file;
    std::string what = SplitWord(rest, file);
    if (what == "start" && file.empty()) {
      c.Verb = TVerb::RecordStart;
    } else if (what == "stop" && !file.empty()) {
      c.Verb = TVerb::RecordStop;
      c.Text = file;
    } else {
      throw TCommandError("record wants \"start\" or \"stop FILE\"");
    }
    return c;
  }
  if (verb == "conference") {
    if (rest != "on" && rest != "off") throw TCommandError("conference wants on or off");
    c.Verb = rest == "on" ? TVerb::ConferenceOn : TVerb::ConferenceOff;
    return c;
  }
  if (verb == "message") {
    std::string text;
    std::string user = SplitWord(rest, text);
    if (user.empty() || text.empty()) throw TCommandError("message wants a user and a text");
    c.Verb = TVerb::Message;
    c.Target = Target(verb, user);
    c.Text = text;
    return c;
  }
  if (verb == "wait") {
    c.Verb = TVerb::Wait;
    c.Seconds = ParseSeconds("wait", rest);
    return c;
  }
  if (verb == "wait-event") {
    std::string seconds;
    std::string name = SplitWord(rest, seconds);
    bool known = false;
    for (const std::string& n : EventNames()) known = known || n == name;
    if (!known) throw TCommandError("wait-event: no event called \"" + Printable(name) + "\"");
    c.Verb = TVerb::WaitEvent;
    c.Target = name;
    c.Seconds = seconds.empty() ? 30 : ParseSeconds("wait-event", seconds);
    return c;
  }
  throw TCommandError("unknown command \"" + Printable(verb) + "\"");
}

}  // namespace qv::cli
