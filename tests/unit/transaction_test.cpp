// The transaction layer on its own: every timer of RFC 3261 17 driven by a
// clock the test moves, a sender that records, no socket and no sleep.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sip/sipmessage.h"
#include "sip/transaction.h"
#include "sip/via.h"

using namespace qv;

namespace {

struct TSent {
  std::string Text, Host;
  int Port;
};

class TransactionTest : public ::testing::Test {
protected:
  TransactionTest()
      : layer([this] { return now; },
              [this](const std::string& text, const std::string& host, int port) {
                if (refuse > 0) {
                  --refuse;
                  return TSendResult::Busy;
                }
                sent.push_back({text, host, port});
                return TSendResult::Sent;
              },
              [](const TSipMessage& r) { return "ACK for " + r.StatusCode + "\r\nCSeq: " + r.CSeqNumber + " ACK\r\n\r\n"; }) {
    layer.SetFailureHandler([this](const TTransactionFailure& f) { failures.push_back(f); });
  }

  // Moves the clock to `at` in steps of 50 ms, as the transport thread would
  // run the timers, and returns the times at which something was sent.
  std::vector<int64_t> RunUntil(int64_t at) {
    std::vector<int64_t> times;
    while (now < at) {
      now = std::min(now + 50, at);
      size_t before = sent.size();
      layer.RunTimers();
      for (size_t i = before; i < sent.size(); ++i) times.push_back(now);
    }
    return times;
  }

  bool Receive(const std::string& text, const std::string& host = "127.0.0.1", int port = 5060) {
    TSipMessage m(text);
    return layer.Receive(m, host, port);
  }

  int64_t now = 1000000;
  int refuse = 0;
  std::vector<TSent> sent;
  std::vector<TTransactionFailure> failures;
  TTransactionLayer layer;
};

std::string Request(const std::string& method, const std::string& branch = "z9hG4bKc1", int cseq = 1,
                    const std::string& via = "127.0.0.1:5075") {
  return method + " sip:bob@127.0.0.1 SIP/2.0\r\n"
         "Via: SIP/2.0/UDP " + via + ";rport;branch=" + branch + "\r\n"
         "From: <sip:alice@127.0.0.1>;tag=a1\r\nTo: <sip:bob@127.0.0.1>\r\n"
         "Call-ID: call-1\r\nCSeq: " + std::to_string(cseq) + " " + method + "\r\nContent-Length: 0\r\n\r\n";
}

std::string Response(const std::string& status, const std::string& method, const std::string& branch = "z9hG4bKc1",
                     int cseq = 1, const std::string& toTag = "b1", const std::string& via = "127.0.0.1:5075") {
  return "SIP/2.0 " + status + "\r\n"
         "Via: SIP/2.0/UDP " + via + ";rport;branch=" + branch + "\r\n"
         "From: <sip:alice@127.0.0.1>;tag=a1\r\nTo: <sip:bob@127.0.0.1>;tag=" + toTag + "\r\n"
         "Call-ID: call-1\r\nCSeq: " + std::to_string(cseq) + " " + method + "\r\nContent-Length: 0\r\n\r\n";
}

// ---- client transactions ------------------------------------------------------

// Timer E doubles from T1 and stops doubling at T2; timer F gives up at
// 64*T1 and tells the TU once.
TEST_F(TransactionTest, NonInviteRetransmitsUntilTimerF) {
  const int64_t start = now;
  layer.SendRequest(Request("BYE"), "127.0.0.1", 5060);
  ASSERT_EQ(sent.size(), 1u);
  std::vector<int64_t> times = RunUntil(start + 40000);
  std::vector<int64_t> expected;
  for (int64_t t : {500, 1500, 3500, 7500, 11500, 15500, 19500, 23500, 27500, 31500}) expected.push_back(start + t);
  EXPECT_EQ(times, expected);
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures[0].Kind, TTransactionFailure::TKind::NoResponse);
  EXPECT_EQ(failures[0].Method, "BYE");
  EXPECT_EQ(failures[0].CallId, "call-1");
  EXPECT_EQ(failures[0].CSeq, 1);
  EXPECT_EQ(layer.Count(), 0);
}

// A provisional answer sets the repeats to every T2; the final answer stops
// them, reaches the TU once, and timer K swallows its repeats for T4.
TEST_F(TransactionTest, NonInviteProvisionalThenFinal) {
  const int64_t start = now;
  layer.SendRequest(Request("INFO"), "127.0.0.1", 5060);
  EXPECT_TRUE(Receive(Response("100 Trying", "INFO")));
  std::vector<int64_t> times = RunUntil(start + 9000);
  EXPECT_EQ(times, (std::vector<int64_t>{start + 500, start + 4500, start + 8500}));
  EXPECT_TRUE(Receive(Response("200 OK", "INFO")));
  EXPECT_FALSE(Receive(Response("200 OK", "INFO")));      // a repeat
  EXPECT_FALSE(Receive(Response("100 Trying", "INFO")));  // late
  EXPECT_TRUE(RunUntil(start + 13000).empty());
  EXPECT_EQ(layer.Count(), 1);
  RunUntil(start + 9000 + 5000 + 100);  // timer K
  EXPECT_EQ(layer.Count(), 0);
  EXPECT_TRUE(failures.empty());
  EXPECT_TRUE(Receive(Response("200 OK", "INFO")));  // nobody's now: the TU decides
}

// Timer A doubles without bound until a provisional answer; timer B gives up.
TEST_F(TransactionTest, InviteTimersAAndB) {
  const int64_t start = now;
  layer.SendRequest(Request("INVITE"), "127.0.0.1", 5060);
  std::vector<int64_t> times = RunUntil(start + 33000);
  EXPECT_EQ(times, (std::vector<int64_t>{start + 500, start + 1500, start + 3500, start + 7500, start + 15500,
                                         start + 31500}));
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures[0].Method, "INVITE");

  failures.clear();
  sent.clear();
  layer.SendRequest(Request("INVITE", "z9hG4bKc2", 2), "127.0.0.1", 5060);
  EXPECT_TRUE(Receive(Response("180 Ringing", "INVITE", "z9hG4bKc2", 2)));
  EXPECT_EQ(RunUntil(now + 100000).size(), 0u);  // ringing: no repeat, no time-out
  EXPECT_TRUE(failures.empty());
}

// A non-2xx final answer is acknowledged by the transaction; its repeats are
// acknowledged again and kept from the TU until timer D ends it.
TEST_F(TransactionTest, InviteRefusedIsAcknowledgedHere) {
  const int64_t start = now;
  layer.SendRequest(Request("INVITE"), "10.0.0.9", 5062);
  EXPECT_TRUE(Receive(Response("486 Busy Here", "INVITE")));
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[1].Text.substr(0, 11), "ACK for 486");
  EXPECT_EQ(sent[1].Host, "10.0.0.9");
  EXPECT_EQ(sent[1].Port, 5062);
  // The TU's own ACK for the same answer is not sent a second time.
  layer.SendRequest("ACK sip:bob@127.0.0.1 SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:5075;branch=z9hG4bKc1\r\n"
                    "Call-ID: call-1\r\nCSeq: 1 ACK\r\n\r\n", "10.0.0.9", 5062);
  EXPECT_EQ(sent.size(), 2u);
  EXPECT_FALSE(Receive(Response("486 Busy Here", "INVITE")));
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[2].Text, sent[1].Text);
  EXPECT_TRUE(RunUntil(start + 31000).empty());
  EXPECT_EQ(layer.Count(), 1);
  RunUntil(start + 32100);
  EXPECT_EQ(layer.Count(), 0);
  EXPECT_TRUE(failures.empty());
}

// RFC 6026: the 2xx reaches the TU once; the TU's ACK is sent again for each
// repeat of it. A 2xx from another branch of a fork still reaches the TU.
TEST_F(TransactionTest, InviteAcceptedRepeatsTheTusAck) {
  layer.SendRequest(Request("INVITE"), "127.0.0.1", 5060);
  EXPECT_TRUE(Receive(Response("200 OK", "INVITE")));
  std::string ack = "ACK sip:bob@127.0.0.1:5090 SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:5075;rport;branch=z9hG4bKc1\r\n"
                    "Call-ID: call-1\r\nCSeq: 1 ACK\r\n\r\n";
  layer.SendRequest(ack, "127.0.0.1", 5060);
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_FALSE(Receive(Response("200 OK", "INVITE")));
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[2].Text, ack);
  EXPECT_TRUE(Receive(Response("200 OK", "INVITE", "z9hG4bKc1", 1, "other-fork")));
  EXPECT_EQ(sent.size(), 3u);
}

// A CANCEL leaves the INVITE 64*T1 for its final answer, then it goes quietly.
TEST_F(TransactionTest, CancelledInviteGoesAfter64T1) {
  layer.SendRequest(Request("INVITE"), "127.0.0.1", 5060);
  EXPECT_TRUE(Receive(Response("180 Ringing", "INVITE")));
  layer.SendRequest(Request("CANCEL"), "127.0.0.1", 5060);
  EXPECT_TRUE(Receive(Response("200 OK", "CANCEL")));
  RunUntil(now + 33000);
  EXPECT_EQ(layer.Count(), 0);
  EXPECT_TRUE(failures.empty());
}

// A send the socket refuses is tried again within milliseconds, not lost.
TEST_F(TransactionTest, RefusedSendIsRetried) {
  refuse = 2;
  layer.SendRequest(Request("MESSAGE"), "127.0.0.1", 5060);
  EXPECT_TRUE(sent.empty());
  std::vector<int64_t> times = RunUntil(now + 200);
  ASSERT_EQ(times.size(), 1u);
  EXPECT_EQ(sent[0].Text, Request("MESSAGE"));
  // A refused response without transaction is retried too.
  refuse = 1;
  layer.SendResponse(Response("200 OK", "OPTIONS", "z9hG4bKo1"));
  EXPECT_EQ(sent.size(), 1u);
  RunUntil(now + 100);
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[1].Text.substr(0, 14), "SIP/2.0 200 OK");
}

// ---- server transactions ------------------------------------------------------

// A repeated request never reaches the TU: before the answer it is
// swallowed, after it the answer goes again; timer J ends the transaction.
TEST_F(TransactionTest, NonInviteServerAnswersRepeats) {
  const int64_t start = now;
  EXPECT_TRUE(Receive(Request("INFO", "z9hG4bKs1")));
  EXPECT_FALSE(Receive(Request("INFO", "z9hG4bKs1")));
  EXPECT_TRUE(sent.empty());
  layer.SendResponse(Response("200 OK", "INFO", "z9hG4bKs1"));
  EXPECT_FALSE(Receive(Request("INFO", "z9hG4bKs1")));
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[1].Text, sent[0].Text);
  EXPECT_TRUE(Receive(Request("INFO", "z9hG4bKs2", 2)));  // another transaction
  RunUntil(start + 32100);
  EXPECT_EQ(layer.Count(), 0);
  EXPECT_TRUE(Receive(Request("INFO", "z9hG4bKs1")));  // long after: new to us
}

// Timer G repeats a refusal from T1 up to T2 until the ACK, which the TU
// never sees; timer I then swallows repeated ACKs.
TEST_F(TransactionTest, InviteServerRefusalRepeatsUntilAck) {
  EXPECT_TRUE(Receive(Request("INVITE", "z9hG4bKs1")));
  layer.SendResponse(Response("180 Ringing", "INVITE", "z9hG4bKs1"));
  EXPECT_FALSE(Receive(Request("INVITE", "z9hG4bKs1")));
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[1].Text.substr(0, 19), "SIP/2.0 180 Ringing");
  const int64_t start = now;
  layer.SendResponse(Response("486 Busy here", "INVITE", "z9hG4bKs1"));
  std::vector<int64_t> times = RunUntil(start + 12000);
  EXPECT_EQ(times, (std::vector<int64_t>{start + 500, start + 1500, start + 3500, start + 7500, start + 11500}));
  EXPECT_FALSE(Receive(Request("ACK", "z9hG4bKs1")));
  EXPECT_TRUE(RunUntil(start + 16000).empty());
  EXPECT_FALSE(Receive(Request("ACK", "z9hG4bKs1")));
  RunUntil(start + 17100);  // timer I
  EXPECT_EQ(layer.Count(), 0);
}

// Timer H: the ACK never came; the refusal stops at 64*T1.
TEST_F(TransactionTest, InviteServerTimerH) {
  EXPECT_TRUE(Receive(Request("INVITE", "z9hG4bKs1")));
  const int64_t start = now;
  layer.SendResponse(Response("603 Decline", "INVITE", "z9hG4bKs1"));
  RunUntil(start + 32100);
  EXPECT_EQ(layer.Count(), 0);
  EXPECT_TRUE(failures.empty());
}

// Our 2xx is repeated until the ACK of the dialog (a new branch) comes; that
// ACK reaches the TU. A repeated INVITE gets the 2xx again.
TEST_F(TransactionTest, InviteServer2xxRepeatsUntilItsAck) {
  EXPECT_TRUE(Receive(Request("INVITE", "z9hG4bKs1")));
  const int64_t start = now;
  layer.SendResponse(Response("200 OK", "INVITE", "z9hG4bKs1"));
  std::vector<int64_t> times = RunUntil(start + 4000);
  EXPECT_EQ(times, (std::vector<int64_t>{start + 500, start + 1500, start + 3500}));
  EXPECT_FALSE(Receive(Request("INVITE", "z9hG4bKs1")));
  EXPECT_EQ(sent.back().Text.substr(0, 14), "SIP/2.0 200 OK");
  EXPECT_TRUE(Receive(Request("ACK", "z9hG4bKnew")));
  size_t count = sent.size();
  RunUntil(start + 40000);
  EXPECT_EQ(sent.size(), count);
  EXPECT_TRUE(failures.empty());
}

// 13.3.1.4: no ACK within 64*T1 is told to the TU, which ends the dialog.
TEST_F(TransactionTest, InviteServer2xxWithoutAck) {
  EXPECT_TRUE(Receive(Request("INVITE", "z9hG4bKs1", 7)));
  const int64_t start = now;
  layer.SendResponse(Response("200 OK", "INVITE", "z9hG4bKs1", 7));
  std::vector<int64_t> times = RunUntil(start + 33000);
  EXPECT_EQ(times.size(), 10u);  // 0.5 1.5 3.5 7.5 11.5 ... 31.5
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures[0].Kind, TTransactionFailure::TKind::NoAck);
  EXPECT_EQ(failures[0].CSeq, 7);
  EXPECT_EQ(layer.Count(), 0);
}

// A request of the dialog after our 2xx (the BYE of a caller whose ACK was
// lost) shows the 2xx arrived: its repeats stop, and nobody is told of a
// missing ACK.
TEST_F(TransactionTest, RequestInTheDialogStopsThe2xxRepeats) {
  EXPECT_TRUE(Receive(Request("INVITE", "z9hG4bKs1", 1)));
  layer.SendResponse(Response("200 OK", "INVITE", "z9hG4bKs1", 1));
  EXPECT_TRUE(Receive(Request("BYE", "z9hG4bKs2", 2)));
  EXPECT_EQ(sent.size(), 1u);
  EXPECT_TRUE(RunUntil(now + 40000).empty());
  EXPECT_TRUE(failures.empty());
}

// A peer without the magic cookie is matched the RFC 2543 way: the same
// request again is a repeat, another CSeq is not.
TEST_F(TransactionTest, PeersWithoutTheMagicCookie) {
  EXPECT_TRUE(Receive(Request("OPTIONS", "1234")));
  layer.SendResponse(Response("200 OK", "OPTIONS", "1234"));
  EXPECT_FALSE(Receive(Request("OPTIONS", "1234")));
  EXPECT_EQ(sent.size(), 2u);
  EXPECT_TRUE(Receive(Request("OPTIONS", "1234", 2)));
}

// ---- where responses go ---------------------------------------------------------

// RFC 3261 18.2.2 with RFC 3581: back to the source when the peer asked for
// rport; to the received address and the sent-by port otherwise. The
// response carries what was learnt in its top Via.
TEST_F(TransactionTest, ResponsesGoWhereTheTopViaSays) {
  std::string invite = Request("INVITE", "z9hG4bKs1", 1, "pbx.example.org:5070");
  TSipMessage m(invite);
  EXPECT_TRUE(layer.Receive(m, "192.0.2.4", 40000));
  EXPECT_EQ(m.ViaHeaders, "Via: SIP/2.0/UDP pbx.example.org:5070;rport=40000;branch=z9hG4bKs1;received=192.0.2.4\r\n");
  std::string ringing = "SIP/2.0 180 Ringing\r\n" + m.ViaHeaders + "CSeq: 1 INVITE\r\nCall-ID: call-1\r\n\r\n";
  layer.SendResponse(ringing);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].Host, "192.0.2.4");
  EXPECT_EQ(sent[0].Port, 40000);

  std::string options = "OPTIONS sip:a@h SIP/2.0\r\nVia: SIP/2.0/UDP 192.0.2.7:5080;branch=z9hG4bKo\r\n"
                        "Via: SIP/2.0/UDP 10.1.1.1;branch=z9hG4bKfar;rport\r\nCall-ID: o\r\nCSeq: 1 OPTIONS\r\n\r\n";
  TSipMessage o(options);
  layer.Receive(o, "192.0.2.9", 6000);
  EXPECT_EQ(o.ViaHeaders, "Via: SIP/2.0/UDP 192.0.2.7:5080;branch=z9hG4bKo;received=192.0.2.9\r\n"
                          "Via: SIP/2.0/UDP 10.1.1.1;branch=z9hG4bKfar;rport\r\n");
  layer.SendResponse("SIP/2.0 200 OK\r\n" + o.ViaHeaders + "Call-ID: o\r\nCSeq: 1 OPTIONS\r\n\r\n");
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[1].Host, "192.0.2.9");
  EXPECT_EQ(sent[1].Port, 5080);
}

TEST(TopVia, ReadsCompactFormsBlanksAndLists) {
  TTopVia v = ParseTopVia("v: SIP / 2.0 / UDP  Host.Example.COM : 5070 ; branch = z9hG4bKx ; received=1.2.3.4, "
                          "SIP/2.0/UDP other;branch=y\r\n");
  EXPECT_EQ(v.Host, "host.example.com");
  EXPECT_EQ(v.Port, 5070);
  EXPECT_EQ(v.SentBy, "host.example.com:5070");
  EXPECT_EQ(v.Branch, "z9hG4bKx");
  EXPECT_EQ(v.Received, "1.2.3.4");
  EXPECT_FALSE(v.Rport);
  TTopVia d = ParseTopVia("Via: SIP/2.0/UDP 10.0.0.1;rport=7000;branch=z9hG4bKy\r\n");
  EXPECT_EQ(d.Port, 5060);
  EXPECT_TRUE(d.Rport);
  EXPECT_EQ(d.RportValue, 7000);
  std::string host;
  int port;
  ResponseDestination(d, host, port);
  EXPECT_EQ(host + ":" + std::to_string(port), "10.0.0.1:7000");
  EXPECT_EQ(ParseTopVia("Call-ID: x\r\n").Host, "");
  // A list on one line: only the first value is stamped.
  EXPECT_EQ(StampTopVia("Via: SIP/2.0/UDP a.example;rport, SIP/2.0/UDP b;rport\r\n", "10.0.0.2", 9),
            "Via: SIP/2.0/UDP a.example;rport=9;received=10.0.0.2, SIP/2.0/UDP b;rport\r\n");
}

}  // namespace
