// SIP over a byte stream (TCP, TLS): where one message ends and the next
// begins. On a stream the Content-Length header is mandatory and says how
// long the body is (RFC 3261 18.3, 20.14); the header block ends at the first
// empty line. Between messages a peer may send CRLF keep-alives (RFC 5626
// 4.4.1): a double CRLF is a "ping", which we answer with a single CRLF, the
// "pong"; a lone CRLF is the pong to our own ping.
//
// The framer is fed whatever the socket gave and hands out whole messages.
// A stream that breaks the framing (a header block or body beyond the limits,
// a Content-Length that is missing or not a number) cannot be resynchronised:
// the framer says so and the connection is closed.
//
// Threads: one framer belongs to one connection and its reading thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace qv {

class TStreamFramer {
public:
  // A header block longer than this, or a body longer than the other, breaks
  // the stream: no message of ours comes near either.
  static constexpr size_t kMaxHeaderBytes = 16 * 1024;
  static constexpr size_t kMaxBodyBytes = 64 * 1024;

  enum class TItem {
    None,     // nothing whole yet: feed more
    Message,  // `out` holds one whole message, header block and body
    Ping,     // a double CRLF keep-alive: answer with "\r\n"
    Pong,     // a single CRLF: the answer to our ping
    Broken,   // the stream cannot be read further: close it
  };

  // Appends bytes read from the stream.
  void Feed(std::string_view bytes);
  // The next item from what was fed. Call until None (or Broken).
  TItem Next(std::string& out);

  // Bytes fed and not handed out yet.
  size_t Buffered() const { return buffer_.size() - start_; }

private:
  std::string buffer_;
  size_t start_ = 0;  // where the unread part begins
  bool broken_ = false;
};

// The value of the Content-Length header (or its compact form "l") in a
// header block; -1 when it is missing or not a plain decimal number.
long ContentLengthOf(std::string_view headers);

}  // namespace qv
