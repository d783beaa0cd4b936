// What the shared peer helpers ask of GoogleTest.
#include <gtest/gtest.h>

#include "support/peer_process.h"

namespace qv::test {

bool CurrentTestFailed() {
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  return info && info->result()->Failed();
}

}  // namespace qv::test
