#include "core/memory.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>

namespace halvorn {
namespace {

constexpr std::uintptr_t huge_page = std::uintptr_t{2} << 20;

// Zero blocks from this size on are mapped directly. The heap would hand them
// out from reused memory that calloc must clear first; fresh pages are zero
// already and cost nothing until they are touched.
constexpr std::size_t mapping_threshold = std::size_t{1} << 20;

// A large block is touched page by page, a fault every 4 KiB; transparent
// huge pages on its aligned interior cut that 512-fold. Advice only: where
// the kernel declines, nothing changes.
void advise_huge_pages(void* address, std::size_t bytes) noexcept {
  const auto begin = reinterpret_cast<std::uintptr_t>(address);
  const std::uintptr_t first = (begin + huge_page - 1) & ~(huge_page - 1);
  const std::uintptr_t last = (begin + bytes) & ~(huge_page - 1);
  if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

}  // namespace

PacketBlock allocate_packets(std::uint64_t n, bool zeroed) noexcept {
  // n * 16 must fit in a size_t: a block smaller than its count would be
  // written past its end.
  if (n > SIZE_MAX / 16) return {nullptr, false};
  const std::size_t bytes = static_cast<std::size_t>(n) * 16;
  PacketBlock block{nullptr, false};
  if (zeroed && bytes >= mapping_threshold) {
    void* address = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (address == MAP_FAILED) return {nullptr, false};
    block = {address, true};
  } else {
    block.address = zeroed ? std::calloc(static_cast<std::size_t>(n), 16) : std::malloc(bytes);
    if (block.address == nullptr) return block;
  }
  if (bytes >= 2 * huge_page) advise_huge_pages(block.address, bytes);
  return block;
}

void release_packets(PacketBlock block, std::uint64_t n) noexcept {
  if (block.mapped) {
    munmap(block.address, static_cast<std::size_t>(n) * 16);
  } else {
    std::free(block.address);
  }
}

}  // namespace halvorn
