// Text helpers every layer needs: trimming and integer parsing, written once.
#pragma once

#include <string>
#include <string_view>

namespace qv {

// Every control character counts as white space, and so does the blank:
// what surrounds a value in a SIP header line or a typed command.
bool IsSpaceOrControl(char c);
// Blank, tab, CR, LF, VT and FF: what surrounds a word in a settings file
// line or a typed command (other control characters belong to the text).
bool IsBlank(char c);

std::string_view TrimView(std::string_view text, bool (*isSpace)(char) = IsSpaceOrControl);
std::string Trim(std::string_view text, bool (*isSpace)(char) = IsSpaceOrControl);

// Equal but for the case of ASCII letters: header names, SDP tokens,
// realms and settings keys compare this way.
bool SameTextIgnoringCase(std::string_view a, std::string_view b);

// A decimal integer with an optional sign and nothing around it. Numbers in
// messages stay text until a consumer converts them with a default:
// `fallback` for anything else, and for values outside int.
int ToIntDef(std::string_view text, int fallback);
// The same, saying whether the text was such a number.
bool ParseInt(std::string_view text, int& value);

}  // namespace qv
