// TLS on a connected TCP socket, client side (OpenSSL), for SIP over TLS
// (RFC 3261 26.2.1, RFC 5630, RFC 5922).
//
// The server's certificate is always verified: against the system's store of
// CAs and, when the account names one, a file of further CA certificates (or
// the server's own certificate, for a private PBX). The name checked is the
// host the account was configured with (RFC 5922 7: the domain, or the proxy
// when one is set), not the address it resolved to; an address is checked
// against the certificate's IP entries. A certificate that fails is never
// accepted: the handshake raises TTlsError with a text the user can act on.
//
// Threads: a context may be shared by the connections of one account, made
// on any thread. A stream belongs to the thread that reads and writes its
// socket.
#pragma once

#include <memory>
#include <string>

#include "platform/errors.h"

namespace qv {

class TTlsError : public Exception {
public:
  using Exception::Exception;
};

class TTlsContext {
public:
  // `caFile`: PEM certificates trusted besides the system's ("": none).
  // Raises TTlsError when the file cannot be read or holds no certificate.
  explicit TTlsContext(const std::string& caFile);
  ~TTlsContext();
  TTlsContext(const TTlsContext&) = delete;
  TTlsContext& operator=(const TTlsContext&) = delete;
  void* Native() const { return ctx_; }  // SSL_CTX*

private:
  void* ctx_ = nullptr;
};
using TTlsContextPtr = std::shared_ptr<TTlsContext>;

class TTlsStream {
public:
  // `fd`: a connected, non-blocking TCP socket, still owned by the caller.
  // `host`: the name (or address) the certificate must carry.
  TTlsStream(TTlsContextPtr context, int fd, const std::string& host);
  ~TTlsStream();
  TTlsStream(const TTlsStream&) = delete;
  TTlsStream& operator=(const TTlsStream&) = delete;

  enum class TWant { None, Read, Write };
  // One step of the handshake: None once it is complete; otherwise wait for
  // the socket to be readable or writable and call again. Raises TTlsError
  // (a refused certificate, a server that speaks no TLS, a closed socket).
  TWant Handshake();
  bool Established() const { return established_; }

  // Bytes read (> 0); 0 when the peer closed the connection; -1 when nothing
  // is there yet (`want` says what to wait for). Raises TTlsError on a broken
  // stream.
  int Read(char* buffer, int size, TWant& want);
  // Bytes written (> 0, all of `size` or part); -1 when the socket is full
  // (`want` says what to wait for). Raises TTlsError.
  int Write(const char* data, int size, TWant& want);

  // The protocol and cipher in use ("TLSv1.3 TLS_AES_256_GCM_SHA384"), for logs.
  std::string Description() const;

private:
  TTlsContextPtr context_;
  void* ssl_ = nullptr;  // SSL*
  std::string host_;
  bool established_ = false;
};

}  // namespace qv
