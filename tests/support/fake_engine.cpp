#include "support/fake_engine.h"

namespace qv::test {

std::vector<TFakeEngine::TStateNote> TFakeEngine::StateNotes() {
  std::lock_guard guard(mutex_);
  return stateNotes_;
}

std::vector<TFakeEngine::TDtmfNote> TFakeEngine::DtmfNotes() {
  std::lock_guard guard(mutex_);
  return dtmfNotes_;
}

void TFakeEngine::NotifyDtmf(const ISipCallPtr& call, const std::string& text) {
  std::lock_guard guard(mutex_);
  dtmfNotes_.push_back({call.get(), text});
}

void TFakeEngine::NotifyCallState(const ISipCallPtr& call, int state) {
  std::lock_guard guard(mutex_);
  stateNotes_.push_back({call.get(), state});
}

std::vector<TFakeEngine::TDeviceNote> TFakeEngine::DeviceNotes() {
  std::lock_guard guard(mutex_);
  return deviceNotes_;
}

void TFakeEngine::NotifyDeviceError(const ISipCallPtr& call, bool input, const std::string& reason) {
  std::lock_guard guard(mutex_);
  deviceNotes_.push_back({call.get(), input, reason});
}

}  // namespace qv::test
