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

bool TMessageQueue::Get(TMessage& out) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (queue_.empty()) return false;
  out = std::move(queue_.front());
  queue_.pop_front();
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
  }
  // References are released here, outside the lock.
}

}  // namespace qv
