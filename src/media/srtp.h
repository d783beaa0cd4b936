// SRTP (RFC 3711) around a call's RTP packets, through libsrtp2: a layer on
// the packet bytes at the socket edge. The sender protects a finished RTP
// packet just before it goes to the socket; the playback thread unprotects a
// datagram just after it came from the socket, before the source check and
// everything else look at it. What lies between never sees SRTP.
//
// One session per direction: libsrtp's session is not safe for two threads,
// and sending and receiving run on two (the capture thread under the call's
// send lock, the playback thread). Each session covers every SSRC of its
// direction ("any outbound" / "any inbound"), so a peer that changes its SSRC
// mid-call (a PBX bridging another leg) is still heard. Replay protection is
// libsrtp's, on by default: a 128-packet window inbound, and outbound a packet
// index is never protected twice, so no keystream is ever reused.
//
// Threads: a session belongs to one thread at a time (whoever holds it uses
// it under the lock the owner names). Construction may happen on any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace qv {

// Room SRTP adds to a packet: the authentication tag (10 or 4 bytes here,
// up to 16 for libsrtp's other suites and an MKI).
constexpr int kSrtpTrailerRoom = 16 + 128;

class TSrtpSession {
public:
  enum class TDirection { Outbound, Inbound };
  // `suite`: kSrtpAes128Sha1_80 or kSrtpAes128Sha1_32 (sipints.h); `key`: 30
  // bytes of master key and salt. Raises on anything else, and when libsrtp
  // refuses (it is initialised here the first time).
  TSrtpSession(TDirection direction, int suite, const std::string& key);
  ~TSrtpSession();
  TSrtpSession(const TSrtpSession&) = delete;
  TSrtpSession& operator=(const TSrtpSession&) = delete;

  // Encrypts and authenticates the RTP packet of `length` bytes in place;
  // `capacity` must leave kSrtpTrailerRoom after it. False: it must not be
  // sent (libsrtp refused, e.g. a packet index used before).
  bool Protect(uint8_t* packet, int& length, int capacity);
  // Authenticates and decrypts in place. False: drop it (forged, damaged,
  // replayed, or plain RTP).
  bool Unprotect(uint8_t* packet, int& length);

  int Suite() const { return suite_; }
  const std::string& Key() const { return key_; }

private:
  void* session_ = nullptr;  // srtp_t, kept out of this header
  const int suite_;
  const std::string key_;
};

using TSrtpSessionPtr = std::shared_ptr<TSrtpSession>;

}  // namespace qv
