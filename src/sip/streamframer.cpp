#include "sip/streamframer.h"

#include "platform/textutil.h"

namespace qv {

namespace {

using sv = std::string_view;

sv TrimBlanksAndTabs(sv s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

}  // namespace

long ContentLengthOf(sv headers) {
  long found = -1;
  size_t pos = 0;
  while (pos < headers.size()) {
    size_t end = headers.find("\r\n", pos);
    if (end == sv::npos) end = headers.size();
    sv line = headers.substr(pos, end - pos);
    pos = end + 2;
    const size_t colon = line.find(':');
    if (colon == sv::npos) continue;
    sv name = TrimBlanksAndTabs(line.substr(0, colon));
    if (!SameTextIgnoringCase(name, "Content-Length") && !SameTextIgnoringCase(name, "l")) continue;
    sv value = TrimBlanksAndTabs(line.substr(colon + 1));
    if (value.empty() || value.size() > 9) return -1;
    long n = 0;
    for (char c : value) {
      if (c < '0' || c > '9') return -1;
      n = n * 10 + (c - '0');
    }
    // Two different lengths make the stream ambiguous: nobody can tell
    // which one the sender meant.
    if (found >= 0 && found != n) return -1;
    found = n;
  }
  return found;
}

void TStreamFramer::Feed(sv bytes) {
  if (broken_) return;
  // Drop what was handed out before growing, so the buffer stays small.
  if (start_ > 0 && start_ == buffer_.size()) {
    buffer_.clear();
    start_ = 0;
  } else if (start_ > 4096) {
    buffer_.erase(0, start_);
    start_ = 0;
  }
  buffer_.append(bytes);
}

TStreamFramer::TItem TStreamFramer::Next(std::string& out) {
  if (broken_) return TItem::Broken;
  sv rest = sv(buffer_).substr(start_);
  // Keep-alives stand between messages (RFC 5626 4.4.1): a CRLF CRLF ping,
  // or the CRLF pong. A CRLF that a sender puts before a message (RFC 3261
  // 7.5 lets a receiver skip them) reads the same way and is harmless.
  if (rest.substr(0, 4) == "\r\n\r\n") {
    start_ += 4;
    return TItem::Ping;
  }
  if (rest.substr(0, 2) == "\r\n") {
    // A lone CRLF is a pong. Waiting to see whether a second one follows
    // would leave a pong unseen until the next message; a ping split across
    // two reads then passes for two pongs, and only a server pings a client.
    start_ += 2;
    return TItem::Pong;
  }
  const size_t blank = rest.find("\r\n\r\n");
  if (blank == sv::npos) {
    if (rest.size() > kMaxHeaderBytes) broken_ = true;
    return broken_ ? TItem::Broken : TItem::None;
  }
  if (blank > kMaxHeaderBytes) {
    broken_ = true;
    return TItem::Broken;
  }
  const long length = ContentLengthOf(rest.substr(0, blank + 2));
  if (length < 0 || size_t(length) > kMaxBodyBytes) {
    broken_ = true;
    return TItem::Broken;
  }
  const size_t total = blank + 4 + size_t(length);
  if (rest.size() < total) return TItem::None;
  out.assign(rest.substr(0, total));
  start_ += total;
  return TItem::Message;
}

}  // namespace qv
