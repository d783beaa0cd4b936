#include "cli/output.h"

#include "cli/commands.h"

namespace qv::cli {

namespace {

constexpr size_t kMaxPendingEvents = 10000;

}  // namespace

void TOutput::Line(FILE* to, const std::string& text) {
  // A reader that went away must not stop the phone: errors are ignored.
  std::fwrite(text.data(), 1, text.size(), to);
  std::fputc('\n', to);
  std::fflush(to);
}

void TOutput::Event(const std::string& name, const std::string& fields) {
  Line(out_, fields.empty() ? "event " + name : "event " + name + " " + fields);
  pending_.push_back(name);
  if (pending_.size() > kMaxPendingEvents) pending_.pop_front();
}

void TOutput::Status(const std::string& fields) { Line(out_, "status " + fields); }

void TOutput::Log(const std::string& text) { Line(out_, "log " + Printable(text)); }

void TOutput::Error(const std::string& text) { Line(err_, "error " + Printable(text)); }

bool TOutput::TakeEvent(const std::string& name) {
  for (auto it = pending_.begin(); it != pending_.end(); ++it) {
    if (*it == name) {
      pending_.erase(it);
      return true;
    }
  }
  return false;
}

}  // namespace qv::cli
