// Tensor storage: the shape, the owning packet block and the tensor itself.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/misuse/misuse.h"
#include "core/primitives/fill.h"
#include "core/primitives/packet.h"
#include "core/primitives/shape.h"
#include "core/storage/memory.h"

namespace halvorn {

// Which constant factory filled a tensor. Recorded, carried by moves, read by nothing.
enum class FillKind : std::int32_t { none = 0, full = 1, zeros = 2, ones = 3 };

// The number of elements a shape holds. A product that does not fit in 64
// bits cannot be stored: it is reported like any other storage that cannot be
// had.
inline std::uint64_t element_count(const Shape& shape) {
  std::uint64_t count = 0;
  if (!checked_element_count(shape, count)) tensor_storage_unavailable(shape);
  return count;
}

// One block of `count` packets, null exactly when `count` is 0. Movable,
// never copied.
template <class T>
struct PacketBuffer {
  std::uint64_t count = 0;
  Packet<T>* packets = nullptr;

  PacketBuffer() noexcept = default;
  PacketBuffer(PacketBuffer&& other) noexcept
      : count(other.count), packets(other.packets), mapped_(other.mapped_) {
    other.count = 0;
    other.packets = nullptr;
    other.mapped_ = false;
  }
  PacketBuffer(const PacketBuffer&) = delete;
  PacketBuffer& operator=(const PacketBuffer&) = delete;
  PacketBuffer& operator=(PacketBuffer&&) = delete;
  ~PacketBuffer() { release(); }

  // Room for exactly n packets; the old contents are discarded unless n is the
  // current count. The old block goes before the new one is asked for, so a
  // buffer never holds two. With `zeroed`, every byte of a new block is zero.
  // False, with the buffer left empty, when the block cannot be had.
  [[nodiscard]] bool resize(std::uint64_t n, bool zeroed = false) noexcept {
    if (n == count) return true;
    release();
    if (n == 0) return true;
    const PacketBlock block = allocate_packets(n, zeroed);
    if (block.address == nullptr) return false;
    packets = static_cast<Packet<T>*>(block.address);
    mapped_ = block.mapped;
    count = n;
    return true;
  }

  std::uint64_t size() const noexcept { return count; }
  // Mapped straight from the kernel for zeros and never written: its pages
  // are not there yet, so writing it costs what a new block costs.
  bool lazily_mapped() const noexcept { return mapped_; }
  Packet<T>& operator[](std::uint64_t i) noexcept { return packets[i]; }
  const Packet<T>& operator[](std::uint64_t i) const noexcept { return packets[i]; }

 private:
  void release() noexcept {
    if (packets != nullptr) release_packets(PacketBlock{packets, mapped_}, count);
    packets = nullptr;
    count = 0;
    mapped_ = false;
  }

  bool mapped_ = false;
};

// Room in `data` for every element of `shape`; storage that cannot be had is
// misuse, reported with the shape.
template <class T>
void reserve_elements(PacketBuffer<T>& data, const Shape& shape, bool zeroed) {
  if (!data.resize(element_count(shape), zeroed)) tensor_storage_unavailable(shape);
}

// An n-dimensional array of T, one packet per element in row-major order.
// Built, moved and destroyed; never copied, never resized after construction.
template <class T>
struct Tensor {
  Shape shape;
  PacketBuffer<T> data;
  FillKind fill_kind = FillKind::none;
  T fill_value = T(0);

  // Leaves every packet uninitialised: for callers that write every element.
  explicit Tensor(const Shape& extents) : shape(extents) { reserve_elements(data, shape, false); }

  // Every element equal to value, broadcast into all lanes.
  Tensor(const Shape& extents, T value) : shape(extents) {
    // A value whose bits are all zero (0, or +0.0 but not -0.0) needs no
    // writing at all: the heap hands out zeroed blocks.
    const T zero = T(0);
    if (std::memcmp(&value, &zero, sizeof(T)) == 0) {
      reserve_elements(data, shape, true);
    } else {
      reserve_elements(data, shape, false);
      fill_packets(data.packets, data.size(), value);
    }
  }

  // Takes the shape and the block; the source is left empty. Member order
  // makes destruction free the block before the shape.
  Tensor(Tensor&& other) noexcept = default;
  Tensor(const Tensor&) = delete;
  Tensor& operator=(const Tensor&) = delete;
  Tensor& operator=(Tensor&&) = delete;
  ~Tensor() = default;
};

}  // namespace halvorn
