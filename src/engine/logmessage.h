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

// The object a device error event carries: the call, which device, and the
// device's error text.
class TDeviceErrorEvent : public virtual IInterface {
public:
  TDeviceErrorEvent(ISipCallPtr call, bool input, std::string reason)
      : Call(std::move(call)), Input(input), Reason(std::move(reason)) {}
  const ISipCallPtr Call;
  const bool Input;
  const std::string Reason;
};

}  // namespace qv
