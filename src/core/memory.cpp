#include "core/memory.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>

#include "core/fatal.h"

namespace halvorn {
namespace {

constexpr std::uintptr_t huge_page = std::uintptr_t{2} << 20;

// A large block comes fresh from mmap, and touching it page by page costs a
// fault every 4 KiB; asking for transparent huge pages on its aligned
// interior cuts that 512-fold. It is advice only: where the kernel declines,
// nothing changes.
void advise_huge_pages(void* block, std::size_t bytes) noexcept {
  const auto begin = reinterpret_cast<std::uintptr_t>(block);
  const std::uintptr_t first = (begin + huge_page - 1) & ~(huge_page - 1);
  const std::uintptr_t last = (begin + bytes) & ~(huge_page - 1);
  if (last > first) {
    madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
  }
}

}  // namespace

void* allocate_packets(std::uint64_t n, bool zeroed) noexcept {
  // n * 16 must fit in a size_t: a block smaller than its count would be
  // written past its end.
  if (n > SIZE_MAX / 16) fail_allocation();
  const std::size_t bytes = static_cast<std::size_t>(n) * 16;
  // calloc hands out fresh mappings without writing them, so a large zero
  // tensor costs no pass over its memory until it is read.
  void* block = zeroed ? std::calloc(static_cast<std::size_t>(n), 16) : std::malloc(bytes);
  if (block == nullptr) fail_allocation();
  if (bytes >= 2 * huge_page) advise_huge_pages(block, bytes);
  return block;
}

}  // namespace halvorn
