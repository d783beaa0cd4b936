#include "sip/tlsstream.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

namespace qv {

namespace {

SSL* Ssl(void* p) { return static_cast<SSL*>(p); }

bool IsAddress(const std::string& host) {
  in_addr v4;
  in6_addr v6;
  return inet_pton(AF_INET, host.c_str(), &v4) == 1 || inet_pton(AF_INET6, host.c_str(), &v6) == 1;
}

// OpenSSL's own text of the first queued error, for the cases that are not a
// verification result.
std::string QueuedError() {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return "";
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  return text;
}

// A read or write that must wait for the socket: which way, for the caller's
// poll (a TLS read may need to write first, and a write to read).
bool MustWait(int sslError, TTlsStream::TWant& want) {
  if (sslError == SSL_ERROR_WANT_READ) want = TTlsStream::TWant::Read;
  else if (sslError == SSL_ERROR_WANT_WRITE) want = TTlsStream::TWant::Write;
  else return false;
  return true;
}

}  // namespace

TTlsContext::TTlsContext(const std::string& caFile) {
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  if (!ctx) throw TTlsError("TLS: " + QueuedError());
  // RFC 8996: nothing older than TLS 1.2.
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  // A send the socket takes only in part goes on from where it stopped.
  SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
  SSL_CTX_set_default_verify_paths(ctx);
  if (!caFile.empty() && SSL_CTX_load_verify_locations(ctx, caFile.c_str(), nullptr) != 1) {
    SSL_CTX_free(ctx);
    ERR_clear_error();
    throw TTlsError("TLS: the CA file \"" + caFile + "\" cannot be read or holds no PEM certificate");
  }
  ctx_ = ctx;
}

TTlsContext::~TTlsContext() { SSL_CTX_free(static_cast<SSL_CTX*>(ctx_)); }

TTlsStream::TTlsStream(TTlsContextPtr context, int fd, const std::string& host)
    : context_(std::move(context)), host_(host) {
  SSL* ssl = SSL_new(static_cast<SSL_CTX*>(context_->Native()));
  if (!ssl) throw TTlsError("TLS: " + QueuedError());
  ssl_ = ssl;
  SSL_set_fd(ssl, fd);
  SSL_set_connect_state(ssl);
  // The certificate must name the host we were told to reach: a name, or an
  // address in its IP entries (RFC 5922 7.2, RFC 6125).
  X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
  if (IsAddress(host)) {
    X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str());
  } else {
    X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    SSL_set1_host(ssl, host.c_str());
    SSL_set_tlsext_host_name(ssl, host.c_str());  // SNI: a server with several names picks ours
  }
}

TTlsStream::~TTlsStream() {
  if (ssl_) {
    // Tell the peer we close, without waiting for its answer.
    if (established_) SSL_shutdown(Ssl(ssl_));
    SSL_free(Ssl(ssl_));
  }
}

TTlsStream::TWant TTlsStream::Handshake() {
  if (established_) return TWant::None;
  ERR_clear_error();
  const int rc = SSL_do_handshake(Ssl(ssl_));
  if (rc == 1) {
    // SSL_VERIFY_PEER already failed the handshake on a bad certificate; a
    // server that sent none at all is refused here.
    if (SSL_get_verify_result(Ssl(ssl_)) != X509_V_OK || !SSL_get0_peer_certificate(Ssl(ssl_)))
      throw TTlsError("TLS: the server " + host_ + " showed no certificate we can trust");
    established_ = true;
    return TWant::None;
  }
  switch (SSL_get_error(Ssl(ssl_), rc)) {
    case SSL_ERROR_WANT_READ:
      return TWant::Read;
    case SSL_ERROR_WANT_WRITE:
      return TWant::Write;
    default:
      break;
  }
  const long verify = SSL_get_verify_result(Ssl(ssl_));
  if (verify != X509_V_OK) {
    ERR_clear_error();
    std::string why = X509_verify_cert_error_string(verify);
    if (verify == X509_V_ERR_HOSTNAME_MISMATCH || verify == X509_V_ERR_IP_ADDRESS_MISMATCH)
      why = "it is not made out to " + host_;
    throw TTlsError("TLS: the certificate of " + host_ + " was refused: " + why);
  }
  const std::string queued = QueuedError();
  throw TTlsError("TLS: no secure connection to " + host_ + (queued.empty() ? " (connection closed)" : ": " + queued));
}

int TTlsStream::Read(char* buffer, int size, TWant& want) {
  want = TWant::None;
  ERR_clear_error();
  const int n = SSL_read(Ssl(ssl_), buffer, size);
  if (n > 0) return n;
  const int error = SSL_get_error(Ssl(ssl_), n);
  if (MustWait(error, want)) return -1;
  switch (error) {
    case SSL_ERROR_ZERO_RETURN:
      return 0;
    case SSL_ERROR_SYSCALL:
      ERR_clear_error();
      return 0;  // the peer went away without a close_notify: closed all the same
    case SSL_ERROR_SSL:
      // OpenSSL 3 reports the same end without close_notify this way.
      if (ERR_GET_REASON(ERR_peek_error()) == SSL_R_UNEXPECTED_EOF_WHILE_READING) {
        ERR_clear_error();
        return 0;
      }
      throw TTlsError("TLS: reading from " + host_ + " failed: " + QueuedError());
    default:
      throw TTlsError("TLS: reading from " + host_ + " failed: " + QueuedError());
  }
}

int TTlsStream::Write(const char* data, int size, TWant& want) {
  want = TWant::None;
  ERR_clear_error();
  const int n = SSL_write(Ssl(ssl_), data, size);
  if (n > 0) return n;
  if (MustWait(SSL_get_error(Ssl(ssl_), n), want)) return -1;
  throw TTlsError("TLS: writing to " + host_ + " failed: " + QueuedError());
}

std::string TTlsStream::Description() const {
  if (!established_) return "";
  return std::string(SSL_get_version(Ssl(ssl_))) + " " + SSL_get_cipher_name(Ssl(ssl_));
}

}  // namespace qv
