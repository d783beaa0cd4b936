// A list of shared objects behind one re-entrant lock, holding one reference
// per entry: the engine's calls and accounts.
//
// Threads: every operation takes the list lock. It is re-entrant, so a holder
// may walk the list (Lock, Count, Item, Unlock) and still add, remove and look
// up. Lock order: the list's lock before the lock of any object in it.
// References leave the list after the lock is let go (unless the caller holds
// it): the last release may run a destructor that must not run under it.
#pragma once

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "platform/errors.h"

namespace qv {

template <class T>
class TLockedList {
public:
  void Add(const T& item) {
    std::lock_guard guard(lock_);
    items_.push_back(item);
  }

  // Drops one entry of `item` and with it one reference; an absent item is ignored.
  void Remove(const T& item) {
    T released;  // declared before the guard: released after the lock is left
    std::lock_guard guard(lock_);
    auto it = std::find(items_.begin(), items_.end(), item);
    if (it == items_.end()) return;
    released = std::move(*it);
    items_.erase(it);
  }

  void Clear() {
    while (T first = First()) Remove(first);
  }

  T Item(int index) {  // raises on an index out of range
    std::lock_guard guard(lock_);
    if (index < 0 || size_t(index) >= items_.size())
      throw Exception("List index out of bounds (" + std::to_string(index) + ")");
    return items_[size_t(index)];
  }

  int Count() {
    std::lock_guard guard(lock_);
    return int(items_.size());
  }

  T First() {
    std::lock_guard guard(lock_);
    return items_.empty() ? T() : items_.front();
  }

  // The first entry, in list order, for which `match` holds; empty when none.
  template <class Match>
  T FindIf(Match match) {
    std::lock_guard guard(lock_);
    for (const T& item : items_)
      if (match(item)) return item;
    return T();
  }

  // A copy of the entries, to walk without holding the lock.
  std::vector<T> Snapshot() {
    std::lock_guard guard(lock_);
    return items_;
  }

  void Lock() { lock_.lock(); }
  void Unlock() { lock_.unlock(); }

private:
  std::recursive_mutex lock_;
  std::vector<T> items_;
};

}  // namespace qv
