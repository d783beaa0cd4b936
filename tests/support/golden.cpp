#include "support/golden.h"

#include <openssl/evp.h>

#include <regex>

namespace qv::test {

namespace {

std::string Visible(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n\n";
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

::testing::AssertionResult SameWireText(const char*, const char* actualExpr,
                                        const std::string& expected, const std::string& actual) {
  if (expected == actual) return ::testing::AssertionSuccess();
  size_t at = 0;
  while (at < expected.size() && at < actual.size() && expected[at] == actual[at]) ++at;
  return ::testing::AssertionFailure()
         << actualExpr << ": wire texts differ at byte " << at << "\n--- expected (" << expected.size()
         << " bytes)\n" << Visible(expected) << "\n--- actual (" << actual.size() << " bytes)\n"
         << Visible(actual) << "\n---";
}

std::string MaskAll(const std::string& text, const std::string& pattern, const std::string& mask) {
  return std::regex_replace(text, std::regex(pattern), mask);
}

std::string RefMd5(const std::string& data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(data.data(), data.size(), digest, &length, EVP_md5(), nullptr);
  static const char hex[] = "0123456789abcdef";
  std::string out;
  for (unsigned int i = 0; i < length; ++i) {
    out += hex[digest[i] >> 4];
    out += hex[digest[i] & 15];
  }
  return out;
}

}  // namespace qv::test
