#include "platform/textutil.h"

namespace qv {

bool IsSpaceOrControl(char c) { return static_cast<unsigned char>(c) <= ' '; }

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

std::string_view TrimView(std::string_view s, bool (*isSpace)(char)) {
  size_t b = 0, e = s.size();
  while (b < e && isSpace(s[b])) ++b;
  while (e > b && isSpace(s[e - 1])) --e;
  return s.substr(b, e - b);
}

std::string Trim(std::string_view text, bool (*isSpace)(char)) {
  return std::string(TrimView(text, isSpace));
}

bool ParseInt(std::string_view text, int& result) {
  size_t i = 0;
  bool negative = false;
  if (!text.empty() && (text[0] == '-' || text[0] == '+')) {
    negative = text[0] == '-';
    i = 1;
  }
  if (i >= text.size()) return false;
  long long value = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + (text[i] - '0');
    if (value > 2147483647LL + negative) return false;
  }
  result = int(negative ? -value : value);
  return true;
}

int ToIntDef(std::string_view text, int fallback) {
  int value;
  return ParseInt(text, value) ? value : fallback;
}

bool SameTextIgnoringCase(std::string_view a, std::string_view b) {
  auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (lower(a[i]) != lower(b[i])) return false;
  return true;
}

}  // namespace qv
