// MD5 (RFC 1321) as 32 lower-case hex digits, over the bytes of a string.
#pragma once

#include <string>
#include <string_view>

namespace qv {

std::string Md5Hex(std::string_view data);

}  // namespace qv
