// The object a log event carries: one text.
#pragma once

#include <string>

#include "sip/sipints.h"

namespace qv {

class TLogMessage : public ILogMessage {
public:
  explicit TLogMessage(std::string text) : text_(std::move(text)) {}
  std::string GetText() const override { return text_; }

private:
  const std::string text_;
};

}  // namespace qv
