#include "platform/byte_queue.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace qmx {

int32_t ByteQueue::Allocate(int32_t capacity) {
  MutexLock lock(mutex);
  if (!buffer_) {
    if (capacity <= 0) return 0;
    std::unique_ptr<uint8_t[]> storage(new (std::nothrow) uint8_t[capacity]);
    if (!storage) return 0;
    buffer_ = std::move(storage);
    capacity_ = capacity;
  }
  ResetLocked();
  return 1;
}

int32_t ByteQueue::Reset() {
  MutexLock lock(mutex);
  ResetLocked();
  return 1;
}

void ByteQueue::ResetLocked() {
  writeIndex_ = 0;
  readIndex_ = 0;
  hasData_ = 0;
  hasRoom_ = buffer_ ? 1 : 0;
  ++generation_;
  if (waiters_ > 0) roomAvailable_.SignalAll();
}

void ByteQueue::Free() {
  MutexLock lock(mutex);
  buffer_.reset();
  capacity_ = 0;
  ResetLocked();
}

int32_t ByteQueue::Put(uint8_t byte) {
  MutexLock lock(mutex);
  return PutLocked(std::span<const uint8_t>(&byte, 1)) == 1 ? 1 : 0;
}

size_t ByteQueue::PutSome(std::span<const uint8_t> data) {
  MutexLock lock(mutex);
  return PutLocked(data);
}

size_t ByteQueue::PutLocked(std::span<const uint8_t> data) {
  size_t stored = 0;
  while (stored < data.size() && hasRoom_ && buffer_) {
    // Contiguous free run starting at writeIndex.
    int32_t end = readIndex_ > writeIndex_ ? readIndex_ : capacity_;
    size_t run = static_cast<size_t>(end - writeIndex_);
    size_t n = std::min(run, data.size() - stored);
    std::memcpy(buffer_.get() + writeIndex_, data.data() + stored, n);
    stored += n;
    writeIndex_ += static_cast<int32_t>(n);
    hasData_ = 1;
    if (writeIndex_ == capacity_) writeIndex_ = 0;
    if (writeIndex_ == readIndex_) hasRoom_ = 0;
  }
  return stored;
}

int32_t ByteQueue::Get(uint8_t* byte) {
  return GetSome(std::span<uint8_t>(byte, 1)) == 1 ? 1 : 0;
}

std::span<const uint8_t> ByteQueue::FrontRunLocked(size_t limit) const {
  if (!hasData_) return {};
  const int32_t end = writeIndex_ > readIndex_ ? writeIndex_ : capacity_;
  const size_t run = static_cast<size_t>(end - readIndex_);
  return {buffer_.get() + readIndex_, std::min(run, limit)};
}

void ByteQueue::DropFrontLocked(size_t count) {
  if (count == 0) return;
  readIndex_ += static_cast<int32_t>(count);
  hasRoom_ = 1;
  if (readIndex_ == capacity_) readIndex_ = 0;
  if (readIndex_ == writeIndex_) hasData_ = 0;
}

size_t ByteQueue::GetSome(std::span<uint8_t> out) {
  return TakeRuns(out.size(),
                  [&, taken = size_t{0}](std::span<const uint8_t> run) mutable {
                    std::memcpy(out.data() + taken, run.data(), run.size());
                    taken += run.size();
                  });
}

int32_t ByteQueue::Peek(uint8_t* byte) {
  MutexLock lock(mutex);
  if (!hasData_) return 0;
  *byte = buffer_[readIndex_];
  return 1;
}

int32_t ByteQueue::PeekLast(uint8_t* byte) {
  MutexLock lock(mutex);
  if (!hasData_) return 0;
  int32_t last = writeIndex_ == 0 ? capacity_ - 1 : writeIndex_ - 1;
  *byte = buffer_[last];
  return 1;
}

int32_t ByteQueue::Count() {
  MutexLock lock(mutex);
  if (!hasData_) return 0;
  if (writeIndex_ > readIndex_) return writeIndex_ - readIndex_;
  return capacity_ - readIndex_ + writeIndex_;
}

int32_t ByteQueue::Capacity() {
  MutexLock lock(mutex);
  return capacity_;
}

size_t ByteQueue::PutWait(std::span<const uint8_t> data, const std::atomic<bool>& stop) {
  MutexLock lock(mutex);
  const uint64_t generation = generation_;
  size_t stored = 0;
  for (;;) {
    if (!buffer_ || generation_ != generation || stop.load(std::memory_order_acquire)) {
      return stored;
    }
    stored += PutLocked(data.subspan(stored));
    if (stored == data.size()) return stored;
    ++waiters_;
    while (!hasRoom_ && buffer_ && generation_ == generation &&
           !stop.load(std::memory_order_acquire)) {
      roomAvailable_.Wait(mutex);
    }
    --waiters_;
  }
}

int32_t ByteQueue::WaitingProducers() {
  MutexLock lock(mutex);
  return waiters_;
}

void ByteQueue::WakeWaiters() {
  { MutexLock lock(mutex); }
  roomAvailable_.SignalAll();
}

void ByteQueue::SetDrainer(Drainer drainer, void* context, int index) {
  drainIndex_.store(index);
  drainContext_.store(context);
  drainer_.store(drainer);
}

bool ByteQueue::Drain() {
  const Drainer drainer = drainer_.load();
  return drainer != nullptr && drainer(drainContext_.load(), drainIndex_.load());
}

}  // namespace qmx
