// The STUN binding request of a registration against coturn: the request goes
// out, the answer is taken, and the REGISTER's Contact carries the mapped
// address (checked in the binding list of Kamailio's 200).
#include <gtest/gtest.h>

#include "interop_ua.h"
#include "support/peer_coturn.h"
#include "support/peer_kamailio.h"

using namespace qv;
using namespace qv::test;

namespace {

TEST(Stun, ContactCarriesTheMappedAddress) {
  TPeerDir dir;
  TCoturn coturn(dir);
  TKamailio kamailio(dir, {{"alice", "alicepw"}});
  TInteropUa ua;
  ISipAccountPtr account = ua.AddAccount(kamailio.Address(), "alice", "alicepw", coturn.Address());
  // A local address apart from the one coturn sees (127.0.0.1), so that the
  // Contact shows which of the two it was made from.
  account->SetServer("127.0.0.1");
  account->SetLocalAddress("127.0.0.2");
  ASSERT_TRUE(ua.Register(account)) << coturn.Process().LogTail();

  ua.Events().Pump();
  int answers = 0;
  std::string ok;
  for (const std::string& text : ua.Events().Logs()) {
    answers += text.size() >= 20 && text[0] == '\x01' && text[1] == '\x01';
    if (text.compare(0, 11, "SIP/2.0 200") == 0) ok = text;
  }
  EXPECT_EQ(answers, 1);  // the binding answer arrived (and nothing but the answer moved the account on)
  std::vector<std::string> bindings = Headers(ok, "Contact");
  ASSERT_EQ(bindings.size(), 1u) << ok;
  EXPECT_EQ(bindings[0].substr(0, bindings[0].find('>') + 1),
            "<sip:alice@127.0.0.1:" + std::to_string(ua.Port()) + ">") << ok;
}

}  // namespace
