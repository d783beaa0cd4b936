// The suites of the gui_mainform program. They run in this order in one
// process, so that the last one can check every text the others made the
// program show.
#pragma once

#include <QObject>
#include <memory>

namespace qv::test {

std::unique_ptr<QObject> MakeStartupSuite();
std::unique_ptr<QObject> MakeCallsSuite();
std::unique_ptr<QObject> MakeAccountsSuite();
std::unique_ptr<QObject> MakeBrokenSettingsSuite();

}  // namespace qv::test
