// What the shared peer helpers ask of Qt Test.
#include <QTest>

#include "support/peer_process.h"

namespace qv::test {

bool CurrentTestFailed() { return QTest::currentTestFailed(); }

}  // namespace qv::test
