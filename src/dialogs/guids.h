// Fresh identifiers for transactions and dialogs, each from 128 random bits.
#pragma once

#include <string>

namespace qv {

std::string NewHexId();   // 32 upper-case hex characters (Call-IDs)
std::string NewBranch();  // "z9hG4bK" + 10 of them: RFC 3261 8.1.1.7 magic cookie first
std::string NewTag();     // 9 of them

}  // namespace qv
