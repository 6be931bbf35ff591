#include "core/operations/lane_copy.h"

#include "core/operations/lane_copy_kernels.h"
#include "core/primitives/streaming.h"

namespace halvorn {

template <class T>
void copy_lane0(const Packet<T>* packets, std::uint64_t n, void* out) noexcept {
  lane_copy_kernels_builds.chosen().of<T>().copy_lane0(packets, n, out);
}

template <class T>
void broadcast_values(const void* values, std::uint64_t n, Packet<T>* out,
                      bool read_soon) noexcept {
  // One read of n values, one write of n packets; packets not read soon count
  // twice. (A pickle round trip of 2^20 int16 or int32 ran 15-25% faster
  // streamed: the tensor pickled and pickle's buffers stayed in cache.)
  const bool streaming = worth_streaming(out, (read_soon ? sizeof(T) + 16 : 32) * n);
  lane_copy_kernels_builds.chosen().of<T>().broadcast(values, n, out, streaming);
}

#define HALVORN_INSTANTIATE(T)                                                  \
  template void copy_lane0<T>(const Packet<T>*, std::uint64_t, void*) noexcept; \
  template void broadcast_values<T>(const void*, std::uint64_t, Packet<T>*, bool) noexcept;
HALVORN_FOR_EACH_ELEMENT_TYPE(HALVORN_INSTANTIATE)
#undef HALVORN_INSTANTIATE

}  // namespace halvorn
