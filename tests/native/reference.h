// Scalar references for the element-wise operations, written independently of
// the SIMD code: integers are computed in 64 bits and wrapped to T in two's
// complement, floating point is one IEEE operation in T.
#pragma once

#include <cstdint>
#include <type_traits>

namespace halvorn::testing {

template <class T>
T wrap(std::int64_t value) {
  using Unsigned = std::make_unsigned_t<T>;
  return static_cast<T>(static_cast<Unsigned>(static_cast<std::uint64_t>(value)));
}

template <class T>
T reference_add(T a, T b) {
  if constexpr (std::is_integral_v<T>)
    return wrap<T>(std::int64_t{a} + b);
  else
    return a + b;
}
template <class T>
T reference_sub(T a, T b) {
  if constexpr (std::is_integral_v<T>)
    return wrap<T>(std::int64_t{a} - b);
  else
    return a - b;
}
template <class T>
T reference_mul(T a, T b) {
  if constexpr (std::is_integral_v<T>)
    return wrap<T>(std::int64_t{a} * b);
  else
    return a * b;
}
// Integer quotients truncate toward zero; INT_MIN / -1 wraps back to INT_MIN.
template <class T>
T reference_div(T a, T b) {
  if constexpr (std::is_integral_v<T>)
    return wrap<T>(std::int64_t{a} / b);
  else
    return a / b;
}

// One term of a dot product's sequential sum: integers summed in 64 bits and
// wrapped to T after every term; floating point one multiply, then one add,
// each rounded to T.
template <class T>
T add_term(T acc, T x, T y) {
  if constexpr (std::is_integral_v<T>) {
    return wrap<T>(std::int64_t{acc} + std::int64_t{x} * std::int64_t{y});
  } else {
    const T product = x * y;
    return acc + product;
  }
}

}  // namespace halvorn::testing
