// The reordering stage of the playback path: decoded packets wait here,
// ordered by their RTP sequence number, until four newer ones are in hand;
// then the oldest moves on to the PCM waiting for a play buffer.
//
// Sequence numbers are compared in 16-bit serial-number arithmetic (RFC 1982),
// so the packets that follow a wrap from 65535 to 0 still sort after the ones
// before it. Both classes work in fixed storage: nothing is allocated per
// packet. Single thread (the call's playback thread).
#pragma once

#include <array>
#include <cstdint>

namespace qv {

// True when sequence number `a` comes before `b`.
inline bool SequenceBefore(uint16_t a, uint16_t b) { return int16_t(uint16_t(a - b)) < 0; }

class TJitterQueue {
public:
  static constexpr int kCapacity = 5;      // four held plus the one just added
  static constexpr int kRecordBytes = 1024;

  struct TRecord {
    uint16_t Sequence = 0;
    int Length = 0;  // bytes of PCM
    alignas(int16_t) uint8_t Pcm[kRecordBytes];
  };

  // Adds a record in order (after any with an equal number). A full queue
  // first hands its oldest record to `overflow`, which the caller passes as
  // the PCM sink (never happens when the caller keeps to kCapacity).
  template <typename TOverflow>
  void Add(uint16_t sequence, const uint8_t* pcm, int length, TOverflow&& overflow) {
    if (count_ == kCapacity) {
      const TRecord& oldest = Front();
      overflow(oldest.Pcm, oldest.Length);
      PopFront();
    }
    Insert(sequence, pcm, length);
  }

  int Count() const { return count_; }
  const TRecord& Front() const { return *order_[0]; }
  void PopFront();
  void Clear() { count_ = 0; }

private:
  void Insert(uint16_t sequence, const uint8_t* pcm, int length);

  std::array<TRecord, kCapacity> records_;
  std::array<TRecord*, kCapacity> order_{};  // ascending; the first count_ are used
  int count_ = 0;
};

// Decoded PCM waiting for a free play buffer: a byte ring of fixed size.
// Appending more than it holds drops the oldest bytes, which only a peer
// sending far faster than real time can cause.
class TPcmFifo {
public:
  static constexpr int kCapacity = 16384;  // about half a second of audio

  void Append(const uint8_t* bytes, int length);
  // Copies the first `length` bytes out (length <= Size()) and drops them.
  void Take(uint8_t* out, int length);
  int Size() const { return size_; }
  void Clear() { size_ = 0; }

private:
  std::array<uint8_t, kCapacity> ring_;
  int start_ = 0;
  int size_ = 0;
};

}  // namespace qv
