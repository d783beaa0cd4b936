#include "platform/messagequeue.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>

#include "platform/errors.h"

namespace qv {

TMessageQueue::TMessageQueue() {
  eventFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (eventFd_ < 0) throw Exception("eventfd failed");
}

TMessageQueue::~TMessageQueue() {
  if (eventFd_ >= 0) close(eventFd_);
}

void TMessageQueue::Post(uint32_t msg, uintptr_t wParam, intptr_t lParam, IInterfacePtr obj) {
  std::function<void()> notify;
  bool wasEmpty;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    wasEmpty = queue_.empty();
    queue_.push_back(TMessage{msg, wParam, lParam, std::move(obj)});
    ++waiting_[msg];
    notify = notify_;
  }
  // The owner drains until the queue is empty, so only the first message of a
  // batch needs to wake it; this spares a system call per message in bursts.
  if (wasEmpty) {
    uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(eventFd_, &one, sizeof one);
  }
  if (notify) notify();
}

void TMessageQueue::PostBounded(uint32_t msg, size_t most, uintptr_t wParam, IInterfacePtr obj) {
  TMessage dropped;  // released outside the lock
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (most == 0) {
      ++dropped_[msg];
      return;
    }
    if (waiting_[msg] >= most) {
      for (auto it = queue_.begin(); it != queue_.end(); ++it) {
        if (it->Msg != msg) continue;
        dropped = std::move(*it);
        queue_.erase(it);
        --waiting_[msg];
        ++dropped_[msg];
        break;
      }
    }
  }
  Post(msg, wParam, 0, std::move(obj));
}

size_t TMessageQueue::Dropped(uint32_t msg) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = dropped_.find(msg);
  return it == dropped_.end() ? 0 : it->second;
}

bool TMessageQueue::Get(TMessage& out) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (queue_.empty()) return false;
  out = std::move(queue_.front());
  queue_.pop_front();
  --waiting_[out.Msg];
  return true;
}

bool TMessageQueue::Wait(int timeoutMs, const std::vector<int>& fds, std::vector<bool>* readable) {
  if (readable) readable->assign(fds.size(), false);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!queue_.empty()) return true;
  }
  std::vector<pollfd> pfds;
  pfds.reserve(fds.size() + 1);
  pfds.push_back(pollfd{eventFd_, POLLIN, 0});
  for (int fd : fds) pfds.push_back(pollfd{fd, POLLIN, 0});
  int rc;
  do {
    rc = poll(pfds.data(), pfds.size(), timeoutMs);
  } while (rc < 0 && errno == EINTR);
  if (rc <= 0) return false;
  if (pfds[0].revents & POLLIN) {
    uint64_t count;
    [[maybe_unused]] ssize_t n = read(eventFd_, &count, sizeof count);
  }
  if (readable) {
    for (size_t i = 0; i < fds.size(); ++i)
      (*readable)[i] = (pfds[i + 1].revents & (POLLIN | POLLERR | POLLHUP)) != 0;
  }
  return true;
}

void TMessageQueue::SetNotify(std::function<void()> notify) {
  std::lock_guard<std::mutex> lock(mutex_);
  notify_ = std::move(notify);
}

size_t TMessageQueue::Size() {
  std::lock_guard<std::mutex> lock(mutex_);
  return queue_.size();
}

void TMessageQueue::Clear() {
  std::deque<TMessage> dropped;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    dropped.swap(queue_);
    waiting_.clear();
  }
  // References are released here, outside the lock.
}

}  // namespace qv
