// main() of the GUI test programs. With `network` set, the program first
// moves into a network namespace of its own (before Qt starts any thread).
#pragma once

#include <QApplication>
#include <QTest>
#include <cstdio>

#include "support/netns.h"

#define QV_GUI_TEST_MAIN(TestClass, network)                                   \
  int main(int argc, char** argv) {                                            \
    if ((network) && !qv::test::EnterPrivateNetwork()) {                        \
      std::fprintf(stderr, "no private network namespace: test not run\n");    \
      return 1;                                                                \
    }                                                                          \
    QApplication app(argc, argv);                                              \
    app.setAttribute(Qt::AA_Use96Dpi, true);                                   \
    TestClass test;                                                            \
    return QTest::qExec(&test, argc, argv);                                    \
  }
