#include "core/storage/block_cache.h"

namespace halvorn {

void BlockCache::drop_front(std::size_t how_many, Released& released) noexcept {
  for (std::size_t i = 0; i < how_many; ++i) {
    released.add(entries_[i]);
    bytes_ -= entries_[i].bytes;
  }
  for (std::size_t i = how_many; i < count_; ++i) entries_[i - how_many] = entries_[i];
  count_ -= how_many;
}

void BlockCache::trim(std::uint64_t now_ns, Released& released) noexcept {
  std::size_t idle = 0;
  while (idle < count_ && now_ns - entries_[idle].kept_ns >= limits_.idle_ns) ++idle;
  drop_front(idle, released);
}

void BlockCache::drain(Released& released) noexcept { drop_front(count_, released); }

PacketBlock BlockCache::take(std::size_t bytes, std::uint64_t now_ns, Released& released) noexcept {
  trim(now_ns, released);
  for (std::size_t i = count_; i-- > 0;) {
    if (entries_[i].bytes != bytes) continue;
    const PacketBlock block = entries_[i].block;
    for (std::size_t j = i + 1; j < count_; ++j) entries_[j - 1] = entries_[j];
    --count_;
    bytes_ -= bytes;
    return block;
  }
  return {nullptr, false};
}

void BlockCache::keep(PacketBlock block, std::size_t bytes, std::uint64_t now_ns,
                      Released& released) noexcept {
  trim(now_ns, released);
  if (!limits_.admit(bytes)) {
    released.add({block, bytes, now_ns});
    return;
  }
  std::size_t oldest = 0;
  std::size_t freed = 0;
  while (count_ - oldest == slots || bytes_ - freed + bytes > limits_.capacity) {
    freed += entries_[oldest].bytes;
    ++oldest;
  }
  drop_front(oldest, released);
  entries_[count_++] = {block, bytes, now_ns};
  bytes_ += bytes;
}

}  // namespace halvorn
