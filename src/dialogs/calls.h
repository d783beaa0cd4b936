// TSipCalls: the engine's call list, one counted reference per entry.
//
// Threads: Add, Remove, Item and Count take the list lock. It is re-entrant:
// the engine walks the list under Lock/Unlock and removes calls while it holds
// it. Lock order: list lock before any call lock. There is no lookup here; the
// engine walks the list itself.
#pragma once

#include <mutex>
#include <vector>

#include "sip/sipints.h"

namespace qv {

class TSipCalls {
public:
  void Add(const ISipCallPtr& call);
  // Drops one entry of `call` and with it one reference; an absent call is ignored.
  void Remove(const ISipCallPtr& call);
  void Clear();
  ISipCallPtr Item(int index);  // raises on an index out of range
  int Count();

  void Lock() { lock_.lock(); }
  void Unlock() { lock_.unlock(); }

private:
  std::recursive_mutex lock_;
  std::vector<ISipCallPtr> items_;
};

}  // namespace qv
