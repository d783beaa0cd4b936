// What quorvelle-cli prints: event, status and log lines on standard output,
// one line each and flushed at once (a script reads them through a pipe), and
// "error TEXT" lines on standard error. Events are also remembered until a
// wait-event takes them.
#pragma once

#include <cstdio>
#include <deque>
#include <string>

namespace qv::cli {

class TOutput {
public:
  TOutput(FILE* out, FILE* err) : out_(out), err_(err) {}

  // "event NAME FIELDS"; FIELDS are "key=value" pairs already escaped.
  void Event(const std::string& name, const std::string& fields = {});
  void Status(const std::string& fields);
  void Log(const std::string& text);  // escaped here
  void Error(const std::string& text);

  // Takes the oldest event called `name` that no wait-event took yet.
  bool TakeEvent(const std::string& name);

private:
  void Line(FILE* to, const std::string& text);

  FILE* out_;
  FILE* err_;
  // Events not yet waited for; the oldest go first when nobody waits.
  std::deque<std::string> pending_;
};

}  // namespace qv::cli
