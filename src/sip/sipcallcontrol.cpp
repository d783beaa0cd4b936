// The user's operations on accounts and calls, and the handling of responses
// to our INVITEs.
#include "platform/errors.h"
#include "sip/sip.h"

namespace qv {

namespace {
[[noreturn]] void NotYet() { throw Exception("not implemented"); }
}  // namespace

void TSipEngine::DeactivateDialogs() {}
void TSipEngine::SendDtmfInfo(const ISipCallPtr&, const std::string&) { NotYet(); }
void TSipEngine::DropCall(const ISipCallPtr&) { NotYet(); }
void TSipEngine::PlayWavFile(const ISipCallPtr&, const std::string&) { NotYet(); }
void TSipEngine::PlayWavStream(const ISipCallPtr&, std::istream&, int64_t) { NotYet(); }
void TSipEngine::SendDtmfRfc2833(const ISipCallPtr&, const std::string&) { NotYet(); }
void TSipEngine::Register(const ISipAccountPtr&) { NotYet(); }
void TSipEngine::StartRegistration(const ISipAccountPtr&) { NotYet(); }
void TSipEngine::Unregister(const ISipAccountPtr&) { NotYet(); }
void TSipEngine::Answer(const ISipCallPtr&) { NotYet(); }
void TSipEngine::Busy(const ISipCallPtr&) { NotYet(); }
void TSipEngine::HangUp(const ISipCallPtr&) { NotYet(); }
void TSipEngine::Hold(const ISipCallPtr&) { NotYet(); }
void TSipEngine::Unhold(const ISipCallPtr&) { NotYet(); }
void TSipEngine::Transfer(const ISipCallPtr&, const std::string&) { NotYet(); }
ISipAccountPtr TSipEngine::AddAccount(const std::string&, const std::string&, const std::string&,
                                      const std::string&, const std::string&) {
  NotYet();
}
ISipCallPtr TSipEngine::Invite(const ISipAccountPtr&, const std::string&, int, int) { NotYet(); }
ISipAccountPtr TSipEngine::FindAccountByCallId(const std::string&) { return nullptr; }
ISipCallPtr TSipEngine::FindCallByCallId(const std::string&) { return nullptr; }
void TSipEngine::SendMessage(const ISipAccountPtr&, const std::string&, const std::string&) { NotYet(); }

}  // namespace qv
