// Comparison of byte-exact wire texts. On a difference both texts are printed
// one wire line per output line, CR and LF made visible, with their lengths
// and the offset of the first differing byte.
#pragma once

#include <gtest/gtest.h>

#include <string>

namespace qv::test {

::testing::AssertionResult SameWireText(const char* expectedExpr, const char* actualExpr,
                                        const std::string& expected, const std::string& actual);

// Replaces every match of `pattern` (ECMAScript regex) by `mask`, so that a
// golden text can hold a placeholder where the builder puts a fresh value.
std::string MaskAll(const std::string& text, const std::string& pattern, const std::string& mask);

// MD5 hex from libcrypto directly: an oracle independent of the code under test.
std::string RefMd5(const std::string& data);

}  // namespace qv::test

#define EXPECT_WIRE(expected, actual) EXPECT_PRED_FORMAT2(::qv::test::SameWireText, expected, actual)
