#include "engine/log_ring.h"

namespace qmx {

void LogRing::Size(int32_t size) {
  MutexLock lock(mutex);
  slots_.assign(static_cast<size_t>(size > 0 ? size : 0), std::string());
  size_ = size > 0 ? size : 0;
  index_ = 0;
  wrapped_ = 0;
}

void LogRing::Append(const std::string& text) {
  MutexLock lock(mutex);
  AppendLocked(text);
}

void LogRing::AppendLocked(const std::string& text) {
  if (size_ <= 0) {
    slots_.assign(kLogSize, std::string());
    size_ = kLogSize;
    index_ = 0;
    wrapped_ = 0;
  }
  // The entry goes in as a fresh string that takes the slot's place; the
  // old one is freed with its storage. An assignment (even a move from a
  // short string) would keep the slot's old storage whenever it is large
  // enough, so every slot would keep the longest entry it ever held, and a
  // full ring's memory would creep up for hours towards a thousand times
  // the longest entry.
  std::string entry(text);
  slots_[static_cast<size_t>(index_)].swap(entry);
  index_ = (index_ + 1) % size_;
  if (wrapped_ == 0 && index_ >= size_ - 1) wrapped_ = 1;
}

void LogRing::Clear() {
  MutexLock lock(mutex);
  slots_.clear();
  size_ = 0;
  index_ = 0;
  wrapped_ = 0;
}

std::vector<std::string> LogRing::Listing() const {
  MutexLock lock(mutex);
  std::vector<std::string> out;
  if (size_ <= 0) return out;
  if (wrapped_ == 0) {
    for (int32_t i = 0; i < index_; ++i) out.push_back(slots_[static_cast<size_t>(i)]);
  } else {
    for (int32_t k = 0; k < size_; ++k) {
      const std::string& entry = slots_[static_cast<size_t>((index_ + k) % size_)];
      if (!entry.empty()) out.push_back(entry);
    }
  }
  return out;
}

int32_t LogRing::Index() const {
  MutexLock lock(mutex);
  return index_;
}

int32_t LogRing::Wrapped() const {
  MutexLock lock(mutex);
  return wrapped_;
}

}  // namespace qmx
