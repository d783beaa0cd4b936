#include <gtest/gtest.h>

#include <regex>

#include "dialogs/account.h"
#include "dialogs/accounts.h"
#include "sip/stun.h"
#include "platform/clock.h"
#include "platform/errors.h"
#include "sip/iputils.h"

namespace qv {
namespace {

TEST(Account, Defaults) {
  double before = Now();
  TAccount a;
  EXPECT_EQ(a.GetExpires(), 3600);
  EXPECT_EQ(a.GetServerPort(), 5060);
  EXPECT_EQ(a.GetCSeq(), 1);
  EXPECT_EQ(a.GetState(), asIdle);
  EXPECT_EQ(a.GetLocalPort(), 0);
  EXPECT_GE(a.GetStateTime(), before);
  EXPECT_LE(a.GetStateTime(), Now());
  EXPECT_TRUE(std::regex_match(a.GetCallId(), std::regex("[0-9A-F]{32}"))) << a.GetCallId();
  EXPECT_TRUE(std::regex_match(a.GetLocalTag(), std::regex("[0-9A-F]{9}"))) << a.GetLocalTag();
  EXPECT_TRUE(std::regex_match(a.GetBranch(), std::regex("z9hG4bK[0-9A-F]{10}"))) << a.GetBranch();
  EXPECT_EQ(a.GetServer(), "");
  EXPECT_EQ(a.GetLocalAddress(), "");
  EXPECT_EQ(a.GetChallenge().Status, "");
  TAccount b;
  EXPECT_NE(a.GetCallId(), b.GetCallId());
  EXPECT_NE(a.GetLocalTag(), b.GetLocalTag());
  EXPECT_NE(a.GetBranch(), b.GetBranch());
}

TEST(Account, DerivedValuesFollowTheirFields) {
  TAccount a;
  a.SetUserName("1001");
  a.SetLocalAddress("192.168.1.20");
  a.SetLocalPort(5075);
  EXPECT_EQ(a.GetDisplayPrefix(), "");
  EXPECT_EQ(a.GetContactAddress(), "192.168.1.20");
  EXPECT_EQ(a.GetContactUri(), "sip:1001@192.168.1.20:5075");
  a.SetDisplayName("Ann");
  a.SetPublicAddress("203.0.113.7");
  EXPECT_EQ(a.GetDisplayPrefix(), "\"Ann\" ");
  EXPECT_EQ(a.GetContactAddress(), "203.0.113.7");
  EXPECT_EQ(a.GetContactUri(), "sip:1001@203.0.113.7:5075");
  EXPECT_EQ(a.GetLocalAddress(), "192.168.1.20");  // Via keeps the local address
}

TEST(Account, SetServerChoosesLocalAddressOnlyWhenTheServerChanges) {
  TAccount a;
  // Towards loopback the route answer is 127.0.0.1, which is replaced by the
  // machine's own address.
  a.SetServer("127.0.0.1");
  EXPECT_EQ(a.GetServer(), "127.0.0.1");
  EXPECT_EQ(a.GetLocalAddress(), LocalHostAddress());
  EXPECT_FALSE(a.GetLocalAddress().empty());

  a.SetLocalAddress("10.9.9.9");
  a.SetServer("127.0.0.1");
  EXPECT_EQ(a.GetLocalAddress(), "10.9.9.9");

  // A server text that is not an address gives no route: a usable local
  // address stays, an unusable one falls back to the machine's own.
  a.SetServer("pbx.invalid");
  EXPECT_EQ(a.GetLocalAddress(), "10.9.9.9");
  a.SetLocalAddress("127.0.0.1");
  a.SetServer("another.invalid");
  EXPECT_EQ(a.GetLocalAddress(), LocalHostAddress());
}

class Accounts : public ::testing::Test {
protected:
  std::shared_ptr<TAccount> Make(const std::string& callId) {
    auto a = std::make_shared<TAccount>();
    a->SetCallId(callId);
    list.Add(a);
    return a;
  }
  TSipAccounts list;
};

TEST_F(Accounts, FindByCallIdWholeOrStunForm) {
  auto first = Make("0123456789ABCDEF0123456789ABCDEF");
  auto second = Make("FEDCBA9876543210FEDCBA9876543210");
  EXPECT_EQ(list.FindByCallId("FEDCBA9876543210FEDCBA9876543210"), second);
  // Characters 16 to 31 counting from 1.
  EXPECT_EQ(StunTransactionId(second->GetCallId()), "0FEDCBA987654321");
  EXPECT_EQ(list.FindByCallId("0FEDCBA987654321"), second);
  EXPECT_EQ(list.FindByCallId("F0123456789ABCDE"), first);
  // The first 16 or the last 16 characters are not the STUN form.
  EXPECT_EQ(list.FindByCallId("0123456789ABCDEF"), nullptr);
  EXPECT_EQ(list.FindByCallId("FEDCBA9876543210"), nullptr);
  EXPECT_EQ(list.FindByCallId("0123456789ABCDEF0123456789ABCDE"), nullptr);
}

TEST_F(Accounts, FindByCallIdInListOrderAndNeverByEmptyKey) {
  auto shortId = Make("abc");
  auto a = Make("SAME");
  auto b = Make("SAME");
  EXPECT_EQ(list.FindByCallId("SAME"), a);
  EXPECT_EQ(list.FindByCallId(""), nullptr);
  EXPECT_EQ(list.FindByCallId("abc"), shortId);
}

TEST_F(Accounts, FirstAccountWhateverIsAskedFor) {
  EXPECT_EQ(list.FirstAccount(), nullptr);
  auto first = Make("1");
  auto second = Make("2");
  EXPECT_EQ(list.FirstAccount(), first);
  list.Remove(first);
  EXPECT_EQ(list.FirstAccount(), second);
}

TEST_F(Accounts, RemoveReleasesTheListReferenceOnce) {
  auto a = Make("1");
  auto other = std::make_shared<TAccount>();
  EXPECT_EQ(a.use_count(), 2);
  list.Remove(other);  // absent: ignored
  EXPECT_EQ(list.Count(), 1);
  list.Remove(a);
  list.Remove(a);
  EXPECT_EQ(a.use_count(), 1);
  EXPECT_EQ(list.Count(), 0);
  Make("2");
  Make("3");
  list.Clear();
  EXPECT_EQ(list.Count(), 0);
  EXPECT_THROW(list.Item(0), Exception);
}

// The engine walks the list under its lock and calls the lookups meanwhile.
TEST_F(Accounts, ListLockIsReentrant) {
  auto a = Make("0123456789ABCDEF0123456789ABCDEF");
  list.Lock();
  EXPECT_EQ(list.Item(0), a);
  EXPECT_EQ(list.FindByCallId(a->GetCallId()), a);
  list.Remove(a);
  list.Unlock();
  a->Lock();
  a->Lock();
  a->Unlock();
  a->Unlock();
}

}  // namespace
}  // namespace qv
