// Errors of the user agent. Everything that fails raises one of these with the
// English message text that the rest of the system (and its users) rely on;
// nothing below the application returns error codes.
#pragma once

#include <stdexcept>
#include <string>

namespace qv {

class Exception : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

}  // namespace qv
