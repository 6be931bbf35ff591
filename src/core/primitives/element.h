// The one table of facts about the four element types: the word Python names
// them by, the packet's register and lanes, the types the kernels compute a
// lane in, and how an element is stored when it leaves or enters as a plain
// number. Everything else reads these. The only other lists of the four are
// below, in the table's order: the ways to do something once per type
// (for_each_element_type, HALVORN_FOR_EACH_ELEMENT_TYPE, ForEachElementType).
#pragma once

#include <immintrin.h>

#include <cstdint>

namespace halvorn {

// How one number is stored in a block of someone else's (or in an export).
enum class SourceType : std::uint8_t {
  boolean,  // one byte, zero is false
  int8,
  int16,
  int32,
  int64,
  uint8,
  uint16,
  uint32,
  uint64,
  float16,   // IEEE binary16
  bfloat16,  // the upper half of a binary32
  float32,
  float64,
  extended,  // the platform's long double
};

// Register: the 16-byte packet's SSE register. lanes: how many copies of the
// value it holds. Lane: the type a kernel computes a lane in; unsigned for the
// integers, so that sums and products wrap without undefined behaviour.
// LaneIndex: a signed integer as wide as a lane, for gathers and masks.
// source: the element as a plain number. floating: IEEE rather than two's
// complement.
template <class T>
struct ElementTraits;

template <>
struct ElementTraits<short> {
  static constexpr const char* word = "int16";
  using Register = __m128i;
  static constexpr int lanes = 8;
  using Lane = unsigned short;
  using LaneIndex = short;
  static constexpr SourceType source = SourceType::int16;
  static constexpr bool floating = false;
};

template <>
struct ElementTraits<int> {
  static constexpr const char* word = "int32";
  using Register = __m128i;
  static constexpr int lanes = 4;
  using Lane = unsigned int;
  using LaneIndex = int;
  static constexpr SourceType source = SourceType::int32;
  static constexpr bool floating = false;
};

template <>
struct ElementTraits<float> {
  static constexpr const char* word = "float32";
  using Register = __m128;
  static constexpr int lanes = 4;
  using Lane = float;
  using LaneIndex = int;
  static constexpr SourceType source = SourceType::float32;
  static constexpr bool floating = true;
};

template <>
struct ElementTraits<double> {
  static constexpr const char* word = "float64";
  using Register = __m128d;
  static constexpr int lanes = 2;
  using Lane = double;
  using LaneIndex = long long;
  static constexpr SourceType source = SourceType::float64;
  static constexpr bool floating = true;
};

// Calls visit.template operator()<T>() for T = short, int, float, double, in
// that order: one registration or instantiation written once for the four.
template <class Visit>
void for_each_element_type(Visit&& visit) {
  visit.template operator()<short>();
  visit.template operator()<int>();
  visit.template operator()<float>();
  visit.template operator()<double>();
}

// The same for explicit instantiations, which must stand at namespace scope:
// each unit instantiates its templates for the four element types with this.
#define HALVORN_FOR_EACH_ELEMENT_TYPE(X) X(short) X(int) X(float) X(double)

// One Entry<T> for each element type, reached by the type: a kernel family's
// entry points, which differ in signature from type to type.
template <template <class> class Entry>
struct ForEachElementType {
  Entry<short> int16;
  Entry<int> int32;
  Entry<float> float32;
  Entry<double> float64;

  template <class T>
  constexpr const Entry<T>& of() const noexcept {
    if constexpr (sizeof(T) == 2) {
      return int16;
    } else if constexpr (sizeof(T) == 8) {
      return float64;
    } else if constexpr (ElementTraits<T>::floating) {
      return float32;
    } else {
      return int32;
    }
  }
};

// A GCC vector of `bytes` bytes of Scalar, for kernels built per instruction
// set (16, 32 or 64 bytes).
template <class Scalar, std::uint64_t bytes>
struct VectorOf {
  typedef Scalar type __attribute__((vector_size(bytes)));
};

}  // namespace halvorn
