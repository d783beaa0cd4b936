// A thread's message queue: what hidden windows and posted messages were on the
// original platform. Any thread may Post; the owning thread waits with Wait(),
// which poll()s the queue's wake-up descriptor together with the thread's own
// sockets, and then takes messages with Get() in posting order.
//
// One class serves the transport, capture, playback and ring threads, and the
// component's event queue (drained on the consumer's thread).
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/interface.h"

namespace qv {

// Message numbers of the threads' own loops. The engine's events to its
// consumer have their numbers in engine/sipevents.h.
enum : uint32_t {
  MsgWakeUp = 1024,         // first user message: "wake up and look at the terminate flag"
  MsgSipReadable = 1025,    // the SIP socket is readable
  MsgWaveOutDone = 957,     // a wave-out buffer has been played
  MsgWaveInData = 958,      // a wave-in buffer has been filled
  MsgRtpReadable = 4157,    // the call's RTP socket is readable
};

struct TMessage {
  uint32_t Msg = 0;
  uintptr_t WParam = 0;
  intptr_t LParam = 0;
  IInterfacePtr Obj;  // the counted reference the message carries, if any
};

class TMessageQueue {
public:
  TMessageQueue();
  ~TMessageQueue();
  TMessageQueue(const TMessageQueue&) = delete;
  TMessageQueue& operator=(const TMessageQueue&) = delete;

  // Any thread. Never blocks on the consumer.
  void Post(uint32_t msg, uintptr_t wParam = 0, intptr_t lParam = 0, IInterfacePtr obj = nullptr);
  // The same for messages a slow consumer may lose: when `most` of them (same
  // message number) are already waiting, the oldest of them is dropped and
  // counted. A flood of log lines then costs bounded memory.
  void PostBounded(uint32_t msg, size_t most, uintptr_t wParam = 0, IInterfacePtr obj = nullptr);
  // How many messages of number `msg` PostBounded has dropped so far.
  size_t Dropped(uint32_t msg);

  // Owning thread: takes the oldest message; false when the queue is empty.
  bool Get(TMessage& out);

  // Owning thread: returns when a message is queued, when one of `fds` is
  // readable (reported in `readable`, one flag per fd) or after `timeoutMs`
  // (-1 waits without limit). Returns false on time-out.
  bool Wait(int timeoutMs, const std::vector<int>& fds = {}, std::vector<bool>* readable = nullptr);

  // "Something is waiting": called on the posting thread after each Post.
  // It must only schedule the drain elsewhere (a queued call into a GUI loop),
  // never handle messages itself. Set before any thread posts.
  void SetNotify(std::function<void()> notify);

  size_t Size();
  void Clear();  // drops queued messages and their references

private:
  int eventFd_ = -1;
  std::mutex mutex_;
  std::deque<TMessage> queue_;
  std::map<uint32_t, size_t> waiting_;  // per message number, for PostBounded
  std::map<uint32_t, size_t> dropped_;
  std::function<void()> notify_;
};

using TMessageQueuePtr = std::shared_ptr<TMessageQueue>;

}  // namespace qv
