// SIP over a TLS stream, client side, against a TLS server in the test on
// 127.0.0.1 with certificates the test makes: the handshake and its
// verification (a CA file trusted, a certificate for another name refused,
// an unknown CA refused), then messages framed by Content-Length with CRLF
// keep-alives between them, however the bytes are cut.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <thread>

#include "sip/streamframer.h"
#include "sip/tlsstream.h"
#include "support/testcerts.h"
#include "support/tone_analysis.h"

namespace qv::test {
namespace {

using namespace std::chrono_literals;

// A TLS server for one connection: it sends `reply` in the pieces given,
// then keeps what it read until the client closes.
class TTlsServer {
public:
  TTlsServer(const TServerCert& cert, std::vector<std::string> pieces) : pieces_(std::move(pieces)) {
    listen_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    listen(listen_, 1);
    ctx_ = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate_file(ctx_, cert.CertFile.c_str(), SSL_FILETYPE_PEM);
    SSL_CTX_use_PrivateKey_file(ctx_, cert.KeyFile.c_str(), SSL_FILETYPE_PEM);
    thread_ = std::thread([this] { Run(); });
  }
  ~TTlsServer() {
    shutdown(listen_, SHUT_RDWR);
    close(listen_);
    thread_.join();
    SSL_CTX_free(ctx_);
  }
  int Port() const { return port_; }
  std::string Received() {
    thread_.join();
    thread_ = std::thread([] {});
    return received_;
  }

private:
  void Run() {
    // The server's session tickets go out after the handshake, when the
    // client may already have closed: a write to it must not end the test.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    int fd = accept(listen_, nullptr, nullptr);
    if (fd < 0) return;
    SSL* ssl = SSL_new(ctx_);
    SSL_set_fd(ssl, fd);
    if (SSL_accept(ssl) == 1) {
      for (const std::string& piece : pieces_) {
        SSL_write(ssl, piece.data(), int(piece.size()));
        std::this_thread::sleep_for(20ms);
      }
      char buffer[4096];
      int n;
      while ((n = SSL_read(ssl, buffer, sizeof buffer)) > 0) received_.append(buffer, size_t(n));
    }
    SSL_free(ssl);
    close(fd);
  }
  std::vector<std::string> pieces_;
  int listen_ = -1, port_ = 0;
  SSL_CTX* ctx_ = nullptr;
  std::thread thread_;
  std::string received_;
};

int Connect(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(uint16_t(port));
  EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  return fd;
}

void WaitFor(int fd, TTlsStream::TWant want) {
  pollfd p{fd, short(want == TTlsStream::TWant::Write ? POLLOUT : POLLIN), 0};
  poll(&p, 1, 2000);
}

void Handshake(TTlsStream& tls, int fd) {
  for (int i = 0; i < 100; ++i) {
    TTlsStream::TWant want = tls.Handshake();
    if (want == TTlsStream::TWant::None) return;
    WaitFor(fd, want);
  }
  FAIL() << "handshake did not finish";
}

const std::string kBody = "v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\n";
const std::string kMessage = "SIP/2.0 200 OK\r\nVia: SIP/2.0/TLS 127.0.0.1;branch=z9hG4bK1\r\nl: " +
                             std::to_string(kBody.size()) + "\r\n\r\n" + kBody;

class TlsStream : public ::testing::Test {
protected:
  TScratchDir dir;
  TTestCa ca = MakeTestCa(dir.Path());
};

TEST_F(TlsStream, TrustedServerCarriesFramedMessagesAndKeepAlives) {
  TServerCert cert = MakeServerCert(ca, dir.Path(), "pbx", {"pbx.example.test"}, {"127.0.0.1"});
  // The reply is cut inside the header block and inside the body, and a
  // ping and a pong stand between two messages.
  const std::string stream = kMessage + "\r\n\r\n" + kMessage + "\r\n";
  TTlsServer server(cert, {stream.substr(0, 20), stream.substr(20, 80), stream.substr(100)});
  {
    const int fd = Connect(server.Port());
    TTlsStream tls(std::make_shared<TTlsContext>(ca.CertFile), fd, "pbx.example.test");
    Handshake(tls, fd);
    ASSERT_TRUE(tls.Established());
    EXPECT_NE(tls.Description().find("TLSv1."), std::string::npos);
    TStreamFramer framer;
    std::vector<TStreamFramer::TItem> items;
    std::vector<std::string> messages;
    auto deadline = std::chrono::steady_clock::now() + 3s;
    while (items.size() < 4 && std::chrono::steady_clock::now() < deadline) {
      char buffer[64];  // small reads: the framer sees the stream in many pieces
      TTlsStream::TWant want;
      const int n = tls.Read(buffer, sizeof buffer, want);
      if (n < 0) {
        WaitFor(fd, want);
        continue;
      }
      ASSERT_GT(n, 0) << "closed early";
      framer.Feed(std::string_view(buffer, size_t(n)));
      std::string out;
      for (TStreamFramer::TItem item; (item = framer.Next(out)) != TStreamFramer::TItem::None;) {
        items.push_back(item);
        if (item == TStreamFramer::TItem::Message) messages.push_back(out);
      }
    }
    using I = TStreamFramer::TItem;
    EXPECT_EQ(items, (std::vector<I>{I::Message, I::Ping, I::Message, I::Pong}));
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0], kMessage);
    EXPECT_EQ(messages[1], kMessage);
    TTlsStream::TWant want;
    EXPECT_EQ(tls.Write("\r\n\r\n", 4, want), 4);
    close(fd);  // the stream's destructor runs after; it no longer writes to a closed socket
  }
}

TEST_F(TlsStream, AddressIsCheckedAgainstTheCertificatesIpEntries) {
  TServerCert cert = MakeServerCert(ca, dir.Path(), "byip", {}, {"127.0.0.1"});
  TTlsServer server(cert, {});
  const int fd = Connect(server.Port());
  TTlsStream tls(std::make_shared<TTlsContext>(ca.CertFile), fd, "127.0.0.1");
  Handshake(tls, fd);
  EXPECT_TRUE(tls.Established());
  close(fd);
}

TEST_F(TlsStream, BadCertificatesAreRefusedWithAReason) {
  auto refusal = [&](const TServerCert& cert, const std::string& caFile, const std::string& host) {
    TTlsServer server(cert, {});
    const int fd = Connect(server.Port());
    std::string error;
    try {
      TTlsStream tls(std::make_shared<TTlsContext>(caFile), fd, host);
      Handshake(tls, fd);
    } catch (const TTlsError& e) {
      error = e.what();
    }
    close(fd);
    return error;
  };
  TServerCert other = MakeServerCert(ca, dir.Path(), "other", {"other.example.test"});
  EXPECT_EQ(refusal(other, ca.CertFile, "pbx.example.test"),
            "TLS: the certificate of pbx.example.test was refused: it is not made out to pbx.example.test");
  // A wildcard covers one label only.
  TServerCert wild = MakeServerCert(ca, dir.Path(), "wild", {"*.example.test"});
  EXPECT_NE(refusal(wild, ca.CertFile, "a.pbx.example.test"), "");
  EXPECT_EQ(refusal(wild, ca.CertFile, "pbx.example.test"), "");
  // Our own CA is nobody else's: without the file the system's store refuses it.
  TServerCert good = MakeServerCert(ca, dir.Path(), "good", {"pbx.example.test"});
  EXPECT_NE(refusal(good, "", "pbx.example.test").find("was refused: unable to get local issuer certificate"),
            std::string::npos);
  // Another CA's file does not vouch for it either.
  TTestCa stranger = MakeTestCa(dir.Path(), "stranger");
  EXPECT_NE(refusal(good, stranger.CertFile, "pbx.example.test").find("was refused"), std::string::npos);

  EXPECT_THROW(TTlsContext(dir.File("missing.pem")), TTlsError);
  WriteFile(dir.File("empty.pem"), "not a certificate\n");
  try {
    TTlsContext context(dir.File("empty.pem"));
    ADD_FAILURE() << "a file without certificates was taken";
  } catch (const TTlsError& e) {
    EXPECT_NE(std::string(e.what()).find("cannot be read or holds no PEM certificate"), std::string::npos);
  }
}

TEST(StreamFramer, BreaksOnWhatCannotBeResynchronised) {
  std::string out;
  {
    TStreamFramer f;  // no Content-Length on a stream
    f.Feed("OPTIONS sip:a SIP/2.0\r\nVia: x\r\n\r\n");
    EXPECT_EQ(f.Next(out), TStreamFramer::TItem::Broken);
    f.Feed(kMessage);
    EXPECT_EQ(f.Next(out), TStreamFramer::TItem::Broken);
  }
  for (const std::string length : {"-1", "12x", "99999999999", "70000"}) {
    TStreamFramer f;
    f.Feed("SIP/2.0 200 OK\r\nContent-Length: " + length + "\r\n\r\n");
    EXPECT_EQ(f.Next(out), TStreamFramer::TItem::Broken) << length;
  }
  {
    TStreamFramer f;  // two lengths that disagree
    f.Feed("SIP/2.0 200 OK\r\nContent-Length: 0\r\nl: 4\r\n\r\nabcd");
    EXPECT_EQ(f.Next(out), TStreamFramer::TItem::Broken);
  }
  {
    TStreamFramer f;  // a header block that never ends
    f.Feed(std::string(TStreamFramer::kMaxHeaderBytes + 1, 'a'));
    EXPECT_EQ(f.Next(out), TStreamFramer::TItem::Broken);
  }
  {
    TStreamFramer f;  // a body still on its way, then the next message whole
    f.Feed(kMessage.substr(0, kMessage.size() - 3));
    EXPECT_EQ(f.Next(out), TStreamFramer::TItem::None);
    f.Feed(kMessage.substr(kMessage.size() - 3) + kMessage);
    EXPECT_EQ(f.Next(out), TStreamFramer::TItem::Message);
    EXPECT_EQ(f.Next(out), TStreamFramer::TItem::Message);
    EXPECT_EQ(out, kMessage);
    EXPECT_EQ(f.Next(out), TStreamFramer::TItem::None);
    EXPECT_EQ(f.Buffered(), 0u);
  }
  EXPECT_EQ(ContentLengthOf("INVITE x SIP/2.0\r\ncontent-length :  12 \r\n"), 12);
  EXPECT_EQ(ContentLengthOf("INVITE x SIP/2.0\r\nX-Content-Length: 12\r\n"), -1);
}

}  // namespace
}  // namespace qv::test
