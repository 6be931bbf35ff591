#include "core/operations/strided_conversion.h"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <type_traits>
#include <utility>

#include "core/operations/lane_copy.h"

namespace halvorn {
namespace {

static_assert(std::endian::native == std::endian::little, "byte order is decided for x86-64");

// binary16 to binary32, exactly (every binary16 value is a binary32 value).
float half_to_float(std::uint16_t bits) noexcept {
  const std::uint32_t sign = static_cast<std::uint32_t>(bits & 0x8000u) << 16;
  const std::uint32_t exponent = (bits >> 10) & 0x1Fu;
  const std::uint32_t mantissa = bits & 0x3FFu;
  if (exponent == 0) {
    // Zero or subnormal: mantissa * 2^-24, exact in binary32.
    const float magnitude = static_cast<float>(mantissa) * 0x1p-24f;
    return sign != 0 ? -magnitude : magnitude;
  }
  // Infinities and NaNs keep their payload in the top mantissa bits.
  const std::uint32_t widened = exponent == 0x1F ? 0xFFu : exponent + 112;
  return std::bit_cast<float>(sign | (widened << 23) | (mantissa << 13));
}

template <class Unsigned>
Unsigned swap_bytes(Unsigned bits) noexcept {
  if constexpr (sizeof(Unsigned) == 1) {
    return bits;
  } else if constexpr (sizeof(Unsigned) == 2) {
    return __builtin_bswap16(bits);
  } else if constexpr (sizeof(Unsigned) == 4) {
    return __builtin_bswap32(bits);
  } else {
    return __builtin_bswap64(bits);
  }
}

// One source type: how its bytes are read and what number they hold.
template <class Stored, class Value, Value (*decode)(Stored)>
struct Reader {
  using ValueType = Value;
  using StoredType = Stored;
  static Value read(const std::byte* at, bool swapped) noexcept {
    Stored bits;
    std::memcpy(&bits, at, sizeof(Stored));
    if constexpr (std::is_unsigned_v<Stored>) {
      if (swapped) bits = swap_bytes(bits);
    }
    return decode(bits);
  }
};

template <class From, class To>
To same_bits(From bits) noexcept {
  return std::bit_cast<To>(bits);
}
bool nonzero(std::uint8_t bits) noexcept { return bits != 0; }
float brain_to_float(std::uint16_t bits) noexcept {
  return std::bit_cast<float>(static_cast<std::uint32_t>(bits) << 16);
}
long double extended_value(long double value) noexcept { return value; }

using BooleanReader = Reader<std::uint8_t, bool, nonzero>;
using Int8Reader = Reader<std::uint8_t, std::int8_t, same_bits<std::uint8_t, std::int8_t>>;
using Int16Reader = Reader<std::uint16_t, std::int16_t, same_bits<std::uint16_t, std::int16_t>>;
using Int32Reader = Reader<std::uint32_t, std::int32_t, same_bits<std::uint32_t, std::int32_t>>;
using Int64Reader = Reader<std::uint64_t, std::int64_t, same_bits<std::uint64_t, std::int64_t>>;
using Uint8Reader = Reader<std::uint8_t, std::uint8_t, same_bits<std::uint8_t, std::uint8_t>>;
using Uint16Reader = Reader<std::uint16_t, std::uint16_t, same_bits<std::uint16_t, std::uint16_t>>;
using Uint32Reader = Reader<std::uint32_t, std::uint32_t, same_bits<std::uint32_t, std::uint32_t>>;
using Uint64Reader = Reader<std::uint64_t, std::uint64_t, same_bits<std::uint64_t, std::uint64_t>>;
using Float16Reader = Reader<std::uint16_t, float, half_to_float>;
using Bfloat16Reader = Reader<std::uint16_t, float, brain_to_float>;
using Float32Reader = Reader<std::uint32_t, float, same_bits<std::uint32_t, float>>;
using Float64Reader = Reader<std::uint64_t, double, same_bits<std::uint64_t, double>>;
// Never byte-swapped: the format parser refuses a foreign-order long double.
using ExtendedReader = Reader<long double, long double, extended_value>;

template <class Value>
std::string value_text(Value value) {
  if constexpr (std::is_same_v<Value, bool>) {
    return value ? "1" : "0";
  } else if constexpr (std::is_signed_v<Value>) {
    return std::to_string(static_cast<long long>(value));
  } else {
    return std::to_string(static_cast<unsigned long long>(value));
  }
}

template <class T, class Value>
constexpr bool floating_into_integer = std::is_integral_v<T> && !std::is_integral_v<Value>;

// Converts n elements `stride` bytes apart into out[0..n). Returns the
// position of the first element T cannot hold, or n.
template <class T, class Source>
std::uint64_t convert_run(const std::byte* from, std::int64_t stride, std::uint64_t n, bool swapped,
                          Packet<T>* out) noexcept {
  using Value = typename Source::ValueType;
  for (std::uint64_t i = 0; i < n; ++i, from += stride) {
    const Value value = Source::read(from, swapped);
    if constexpr (std::is_integral_v<T> && !std::is_same_v<Value, bool>) {
      if (!std::in_range<T>(value)) return i;
    }
    out[i] = static_cast<T>(value);
  }
  return n;
}

// Elements of each run converted at a time where runs share cache lines.
constexpr std::uint64_t import_segment = 256;
// Rows of a transposed matrix written a column at a time: two cache lines of
// each column of float64, and as many output streams as the prefetchers follow.
constexpr std::uint64_t transposed_band_rows = 16;

template <class T, class Source>
ImportResult<T> import_as(const StridedBlock& block) {
  using Value = typename Source::ValueType;
  ImportResult<T> result;
  if constexpr (floating_into_integer<T, Value>) {
    result.refusal = ImportRefusal::floating_into_integer;
    return result;
  } else {
    Tensor<T> tensor(block.shape);
    const std::uint64_t count = tensor.data.size();
    const std::size_t rank = block.shape.size();
    Packet<T>* out = tensor.data.packets;
    // Rank 0 is one run of one element; otherwise runs along the last
    // dimension, or a single run when the whole block is C-ordered.
    std::uint64_t run = rank == 0 ? 1 : block.shape[rank - 1];
    std::int64_t step = rank == 0 ? 0 : block.byte_strides[rank - 1];
    std::size_t outer = rank == 0 ? 0 : rank - 1;
    bool ordered = count > 0;
    std::int64_t expected = static_cast<std::int64_t>(sizeof(Value));
    for (std::size_t d = rank; d-- > 0 && ordered;) {
      if (block.shape[d] != 1 && block.byte_strides[d] != expected) ordered = false;
      expected *= static_cast<std::int64_t>(block.shape[d]);
    }
    if (ordered) {
      run = count;
      step = static_cast<std::int64_t>(sizeof(Value));
      outer = 0;
    }
    const bool swapped = block.format.byte_swapped;
    // `width` elements of every run from its element `column0` on, until one
    // holds a value T cannot: returns whether all converted, and leaves the
    // run (`row`, `done`) and the count converted in it where it stopped.
    std::vector<std::uint64_t> index(outer, 0);
    const auto convert_runs = [&](std::uint64_t column0, std::uint64_t width, std::uint64_t& done,
                                  std::uint64_t& converted, const std::byte*& row) {
      std::fill(index.begin(), index.end(), 0);
      row = block.first;
      for (done = 0; done < count; done += run) {
        const std::byte* from = row + step * static_cast<std::int64_t>(column0);
        Packet<T>* to = out + done + column0;
        // Only a source whose bytes are already T's can skip the conversion.
        if constexpr (std::is_same_v<Value, T> &&
                      sizeof(typename Source::StoredType) == sizeof(T)) {
          if (!swapped && step == static_cast<std::int64_t>(sizeof(T))) {
            broadcast_values(from, width, to);
            converted = width;
          } else {
            converted = convert_run<T, Source>(from, step, width, swapped, to);
          }
        } else {
          converted = convert_run<T, Source>(from, step, width, swapped, to);
        }
        if (converted != width) return false;
        for (std::size_t d = outer; d-- > 0;) {
          if (++index[d] < block.shape[d]) {
            row += block.byte_strides[d];
            break;
          }
          index[d] = 0;
          row -= block.byte_strides[d] * static_cast<std::int64_t>(block.shape[d] - 1);
        }
      }
      return true;
    };
    std::uint64_t done = 0, converted = 0;
    const std::byte* row = block.first;
    // Elements far apart along the last dimension, and nearer along another
    // (a transposed array): each run reads a cache line an element, and the
    // next runs read the same lines again, long after they left the cache.
    // A segment of every run at a time lets each line serve every run while it
    // is cached: [8, 250000] float64 from a C-ordered [250000, 8] took half
    // the time. A refused value is reported by the plain walk, which finds the
    // first in row-major order.
    bool nearer_elsewhere = false;
    for (std::size_t d = 0; d < outer; ++d) {
      nearer_elsewhere |= block.shape[d] > 1 && std::abs(block.byte_strides[d]) < std::abs(step);
    }
    bool converted_all = false;
    // A transposed matrix of the tensor's own type (a C-ordered array's .T),
    // whose columns lie contiguous, goes a column at a time for a band of
    // rows: the column's values are read together, and each row of the band
    // takes its packets one after the other. [8, 250000] float64 from a
    // C-ordered [250000, 8] took 2.4 ms against 3.5 a segment of every row at
    // a time; nothing can be refused there.
    if constexpr (std::is_same_v<Value, T> && sizeof(typename Source::StoredType) == sizeof(T)) {
      if (outer == 1 && !swapped && block.byte_strides[0] == static_cast<std::int64_t>(sizeof(T)) &&
          std::abs(step) > static_cast<std::int64_t>(sizeof(T))) {
        for (std::uint64_t band = 0; band < block.shape[0]; band += transposed_band_rows) {
          const std::uint64_t rows = std::min(block.shape[0] - band, transposed_band_rows);
          const std::byte* column = block.first + static_cast<std::int64_t>(band * sizeof(T));
          for (std::uint64_t c = 0; c < run; ++c, column += step) {
            for (std::uint64_t r = 0; r < rows; ++r) {
              T value;
              std::memcpy(&value, column + r * sizeof(T), sizeof(T));
              out[(band + r) * run + c].store(broadcast(value));
            }
          }
        }
        result.tensor.emplace(std::move(tensor));
        return result;
      }
    }
    if (nearer_elsewhere && std::abs(step) > static_cast<std::int64_t>(sizeof(Value))) {
      converted_all = true;
      for (std::uint64_t column0 = 0; column0 < run && converted_all; column0 += import_segment) {
        const std::uint64_t width = run - column0 < import_segment ? run - column0 : import_segment;
        converted_all = convert_runs(column0, width, done, converted, row);
      }
    }
    if (!converted_all && !convert_runs(0, run, done, converted, row)) {
      // The tensor goes with this scope: nothing half-filled survives.
      result.refusal = ImportRefusal::out_of_range;
      result.element = done + converted;
      const std::byte* refused = row + step * static_cast<std::int64_t>(converted);
      result.value = value_text(Source::read(refused, swapped));
      return result;
    }
    result.tensor.emplace(std::move(tensor));
    return result;
  }
}

}  // namespace

template <class T>
ImportResult<T> import_block(const StridedBlock& block) {
  switch (block.format.type) {
    case SourceType::boolean: return import_as<T, BooleanReader>(block);
    case SourceType::int8: return import_as<T, Int8Reader>(block);
    case SourceType::int16: return import_as<T, Int16Reader>(block);
    case SourceType::int32: return import_as<T, Int32Reader>(block);
    case SourceType::int64: return import_as<T, Int64Reader>(block);
    case SourceType::uint8: return import_as<T, Uint8Reader>(block);
    case SourceType::uint16: return import_as<T, Uint16Reader>(block);
    case SourceType::uint32: return import_as<T, Uint32Reader>(block);
    case SourceType::uint64: return import_as<T, Uint64Reader>(block);
    case SourceType::float16: return import_as<T, Float16Reader>(block);
    case SourceType::bfloat16: return import_as<T, Bfloat16Reader>(block);
    case SourceType::float32: return import_as<T, Float32Reader>(block);
    case SourceType::float64: return import_as<T, Float64Reader>(block);
    case SourceType::extended: return import_as<T, ExtendedReader>(block);
  }
  return {};
}

template ImportResult<short> import_block<short>(const StridedBlock&);
template ImportResult<int> import_block<int>(const StridedBlock&);
template ImportResult<float> import_block<float>(const StridedBlock&);
template ImportResult<double> import_block<double>(const StridedBlock&);

}  // namespace halvorn
