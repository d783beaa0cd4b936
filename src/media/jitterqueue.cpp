#include "media/jitterqueue.h"

#include <algorithm>
#include <cstring>

namespace qv {

void TJitterQueue::Insert(uint16_t sequence, const uint8_t* pcm, int length) {
  // The free record is whichever of the pool the ordered list does not use.
  TRecord* free = nullptr;
  for (TRecord& r : records_) {
    if (std::find(order_.begin(), order_.begin() + count_, &r) == order_.begin() + count_) {
      free = &r;
      break;
    }
  }
  length = std::clamp(length, 0, kRecordBytes);
  free->Sequence = sequence;
  free->Length = length;
  if (length > 0) std::memcpy(free->Pcm, pcm, size_t(length));
  // Insertion from the back: a packet that arrives in order costs one compare.
  int at = count_;
  while (at > 0 && SequenceBefore(sequence, order_[at - 1]->Sequence)) {
    order_[at] = order_[at - 1];
    --at;
  }
  order_[at] = free;
  ++count_;
}

void TJitterQueue::PopFront() {
  if (count_ == 0) return;
  for (int i = 1; i < count_; ++i) order_[i - 1] = order_[i];
  --count_;
}

void TPcmFifo::Append(const uint8_t* bytes, int length) {
  if (length <= 0) return;
  if (length > kCapacity) {
    bytes += length - kCapacity;
    length = kCapacity;
  }
  const int overflow = size_ + length - kCapacity;
  if (overflow > 0) {
    start_ = (start_ + overflow) % kCapacity;
    size_ -= overflow;
  }
  int end = (start_ + size_) % kCapacity;
  const int first = std::min(length, kCapacity - end);
  std::memcpy(ring_.data() + end, bytes, size_t(first));
  std::memcpy(ring_.data(), bytes + first, size_t(length - first));
  size_ += length;
}

void TPcmFifo::Take(uint8_t* out, int length) {
  length = std::clamp(length, 0, size_);
  const int first = std::min(length, kCapacity - start_);
  std::memcpy(out, ring_.data() + start_, size_t(first));
  std::memcpy(out + first, ring_.data(), size_t(length - first));
  start_ = (start_ + length) % kCapacity;
  size_ -= length;
}

}  // namespace qv
