#include "dialogs/accounts.h"

#include <algorithm>

#include "platform/errors.h"

namespace qv {

std::string StunTransactionId(const std::string& callId) {
  // Characters 16 to 31 counting from 1: the 16 that end just before the last
  // one of a 32-character Call-ID. A shorter Call-ID gives what is there.
  return callId.size() > 15 ? callId.substr(15, 16) : std::string();
}

void TSipAccounts::Add(const ISipAccountPtr& account) {
  std::lock_guard guard(lock_);
  items_.push_back(account);
}

void TSipAccounts::Remove(const ISipAccountPtr& account) {
  ISipAccountPtr released;  // the list's reference dies after the lock is left
  std::lock_guard guard(lock_);
  auto it = std::find(items_.begin(), items_.end(), account);
  if (it == items_.end()) return;
  released = std::move(*it);
  items_.erase(it);
}

void TSipAccounts::Clear() {
  while (ISipAccountPtr first = FirstAccount()) Remove(first);
}

ISipAccountPtr TSipAccounts::Item(int index) {
  std::lock_guard guard(lock_);
  if (index < 0 || size_t(index) >= items_.size())
    throw Exception("List index out of bounds (" + std::to_string(index) + ")");
  return items_[size_t(index)];
}

int TSipAccounts::Count() {
  std::lock_guard guard(lock_);
  return int(items_.size());
}

ISipAccountPtr TSipAccounts::FirstAccount() {
  std::lock_guard guard(lock_);
  return items_.empty() ? nullptr : items_.front();
}

ISipAccountPtr TSipAccounts::FindByCallId(const std::string& key) {
  std::lock_guard guard(lock_);
  for (const ISipAccountPtr& account : items_) {
    std::string callId = account->GetCallId();
    if (callId == key) return account;
    // An empty key would match every short Call-ID through the STUN form.
    if (!key.empty() && StunTransactionId(callId) == key) return account;
  }
  return nullptr;
}

}  // namespace qv
