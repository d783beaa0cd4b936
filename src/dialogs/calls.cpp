#include "dialogs/calls.h"

#include <algorithm>
#include <string>

#include "platform/errors.h"

namespace qv {

void TSipCalls::Add(const ISipCallPtr& call) {
  std::lock_guard guard(lock_);
  items_.push_back(call);
}

void TSipCalls::Remove(const ISipCallPtr& call) {
  // Declared before the guard so that the list's reference is released after
  // the lock is left: the last release runs the call's destructor, which stops
  // its media and must not do so under the list lock.
  ISipCallPtr released;
  std::lock_guard guard(lock_);
  auto it = std::find(items_.begin(), items_.end(), call);
  if (it == items_.end()) return;
  released = std::move(*it);
  items_.erase(it);
}

void TSipCalls::Clear() {
  while (true) {
    ISipCallPtr first;
    {
      std::lock_guard guard(lock_);
      if (items_.empty()) return;
      first = items_.front();
    }
    Remove(first);
  }
}

ISipCallPtr TSipCalls::Item(int index) {
  std::lock_guard guard(lock_);
  if (index < 0 || size_t(index) >= items_.size())
    throw Exception("List index out of bounds (" + std::to_string(index) + ")");
  return items_[size_t(index)];
}

int TSipCalls::Count() {
  std::lock_guard guard(lock_);
  return int(items_.size());
}

}  // namespace qv
