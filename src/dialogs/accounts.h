// TSipAccounts: the engine's account list, one counted reference per entry.
//
// Threads: every operation takes the list lock, which is re-entrant so that the
// engine can walk the list (Lock, Count, Item, Unlock) and still call the
// lookups. Lock order: list lock before any account lock.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "sip/sipints.h"

namespace qv {

class TSipAccounts {
public:
  void Add(const ISipAccountPtr& account);
  void Remove(const ISipAccountPtr& account);  // an absent account is ignored
  void Clear();
  ISipAccountPtr Item(int index);  // raises on an index out of range
  int Count();

  // What the engine gets when it looks an account up by user and host: the
  // first entry whatever it asks for, or none when the list is empty.
  ISipAccountPtr FirstAccount();

  // The first account, in list order, whose Call-ID equals `key`, or whose
  // Call-ID characters 16 to 31 (counting from 1) do: the STUN transaction
  // identifier of its binding request is cut from there.
  ISipAccountPtr FindByCallId(const std::string& key);

  void Lock() { lock_.lock(); }
  void Unlock() { lock_.unlock(); }

private:
  std::recursive_mutex lock_;
  std::vector<ISipAccountPtr> items_;
};

// The 16 characters of a Call-ID that serve as a STUN transaction identifier.
std::string StunTransactionId(const std::string& callId);

}  // namespace qv
