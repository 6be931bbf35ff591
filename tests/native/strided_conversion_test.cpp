#include "core/operations/strided_conversion.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "lanes.h"
#include "tensors.h"

namespace halvorn {
namespace {

template <class T>
class ImportTest : public ::testing::Test {};
TYPED_TEST_SUITE(ImportTest, testing::ElementTypes);

template <class T>
constexpr SourceType own_type() {
  if constexpr (std::is_same_v<T, short>) return SourceType::int16;
  if constexpr (std::is_same_v<T, int>) return SourceType::int32;
  if constexpr (std::is_same_v<T, float>) return SourceType::float32;
  return SourceType::float64;
}

// Every packet of the result holds its element in every lane.
template <class T>
void expect_elements(const Tensor<T>& tensor, const std::vector<T>& expected) {
  ASSERT_EQ(tensor.data.size(), expected.size());
  for (std::uint64_t i = 0; i < expected.size(); ++i) {
    T lanes[16 / sizeof(T)];
    std::memcpy(lanes, &tensor.data[i], 16);
    for (const T lane : lanes) EXPECT_EQ(std::memcmp(&lane, &expected[i], sizeof(T)), 0) << i;
  }
}

TYPED_TEST(ImportTest, ContiguousAndReversedRunsKeepEveryBit) {
  using T = TypeParam;
  std::mt19937_64 generator(7);
  // Long enough for the vector loops and their tails.
  const std::vector<T> values = testing::random_bits<T>(37, generator);
  StridedBlock block{reinterpret_cast<const std::byte*>(values.data()),
                     {own_type<T>()},
                     {37},
                     {static_cast<std::int64_t>(sizeof(T))}};
  expect_elements(*import_block<T>(block).tensor, values);
  // The same memory backwards, from its last element.
  block.first = reinterpret_cast<const std::byte*>(values.data() + 36);
  block.byte_strides = {-static_cast<std::int64_t>(sizeof(T))};
  const std::vector<T> reversed(values.rbegin(), values.rend());
  expect_elements(*import_block<T>(block).tensor, reversed);
}

TYPED_TEST(ImportTest, ColumnOrderAndWiderSourcesAgainstTheScalarReference) {
  using T = TypeParam;
  // A 2 x 3 matrix stored column by column, as 64-bit integers.
  const std::vector<std::int64_t> columns = {1, -4, 2, -5, 3, -6};
  const StridedBlock block{
      reinterpret_cast<const std::byte*>(columns.data()), {SourceType::int64}, {2, 3}, {8, 16}};
  expect_elements(*import_block<T>(block).tensor, std::vector<T>{1, 2, 3, -4, -5, -6});
  // 3 x 600 column by column: the runs go a segment of every row at a time,
  // and a refused value is still the first in row-major order.
  std::vector<std::int64_t> long_columns(1800);
  std::vector<T> expected(1800);
  for (std::int64_t i = 0; i < 1800; ++i) {
    long_columns[static_cast<std::size_t>(i)] = i % 3 * 1000 + i / 3 - 700;
    expected[static_cast<std::size_t>(i % 3 * 600 + i / 3)] =
        static_cast<T>(i % 3 * 1000 + i / 3 - 700);
  }
  const StridedBlock long_block{reinterpret_cast<const std::byte*>(long_columns.data()),
                                {SourceType::int64},
                                {3, 600},
                                {8, 24}};
  expect_elements(*import_block<T>(long_block).tensor, expected);
  // 20 x 7 of the tensor's own type, column by column: two bands of rows.
  std::mt19937_64 generator(3);
  const std::vector<T> own = testing::random_bits<T>(140, generator);
  std::vector<T> own_rows(140);
  for (std::size_t i = 0; i < 140; ++i) own_rows[i % 20 * 7 + i / 20] = own[i];
  const StridedBlock own_block{
      reinterpret_cast<const std::byte*>(own.data()),
      {own_type<T>()},
      {20, 7},
      {static_cast<std::int64_t>(sizeof(T)), 20 * static_cast<std::int64_t>(sizeof(T))}};
  expect_elements(*import_block<T>(own_block).tensor, own_rows);
  long_columns[10 * 3 + 2] = long_columns[500 * 3] = std::int64_t{1} << 40;
  if constexpr (std::is_integral_v<T>) {
    EXPECT_EQ(import_block<T>(long_block).element, 500u);
  }
}

TYPED_TEST(ImportTest, IntegersOutOfRangeAndFloatsIntoIntegersAreRefused) {
  using T = TypeParam;
  std::int64_t beyond = (std::int64_t{1} << 53) + 1;  // rounds in either float type
  if constexpr (std::is_integral_v<T>) beyond = std::int64_t{std::numeric_limits<T>::max()} + 1;
  const std::vector<std::int64_t> wide = {0, beyond};
  const StridedBlock integers{
      reinterpret_cast<const std::byte*>(wide.data()), {SourceType::int64}, {2}, {8}};
  const std::vector<double> halves = {0.5};
  const StridedBlock floats{
      reinterpret_cast<const std::byte*>(halves.data()), {SourceType::float64}, {1}, {8}};
  const auto from_integers = import_block<T>(integers);
  const auto from_floats = import_block<T>(floats);
  if constexpr (std::is_integral_v<T>) {
    EXPECT_EQ(from_integers.refusal, ImportRefusal::out_of_range);
    EXPECT_FALSE(from_integers.tensor.has_value());
    EXPECT_EQ(from_integers.element, 1u);
    EXPECT_EQ(from_integers.value, std::to_string(wide[1]));
    EXPECT_EQ(from_floats.refusal, ImportRefusal::floating_into_integer);
  } else {
    expect_elements(*from_integers.tensor, std::vector<T>{0, static_cast<T>(wide[1])});
    expect_elements(*from_floats.tensor, std::vector<T>{0.5});
  }
}

TYPED_TEST(ImportTest, ByteSwappedHalvesAndEmptyBlocks) {
  using T = TypeParam;
  // 1.5 and -2 as big-endian binary16: 0x3E00 and 0xC000.
  const unsigned char big_endian_halves[] = {0x3E, 0x00, 0xC0, 0x00};
  const StridedBlock halves{
      reinterpret_cast<const std::byte*>(big_endian_halves), {SourceType::float16, true}, {2}, {2}};
  if constexpr (std::is_floating_point_v<T>)
    expect_elements(*import_block<T>(halves).tensor, std::vector<T>{1.5, -2});
  const StridedBlock empty{nullptr, {SourceType::uint8}, {3, 0}, {0, 1}};
  EXPECT_EQ(import_block<T>(empty).tensor->data.size(), 0u);
}

TEST(BufferFormat, NamesEveryNumberAndRefusesTheRest) {
  using Verdict = ParsedFormat::Verdict;
  EXPECT_EQ(parse_buffer_format("d", 8).format.type, SourceType::float64);
  EXPECT_EQ(parse_buffer_format("<l", 4).format.type, SourceType::int32);  // standard size
  EXPECT_EQ(parse_buffer_format("l", 8).format.type, SourceType::int64);   // native size
  EXPECT_TRUE(parse_buffer_format(">h", 2).format.byte_swapped);
  EXPECT_FALSE(parse_buffer_format(">b", 1).format.byte_swapped);
  EXPECT_EQ(parse_buffer_format("Zd", 16).verdict, Verdict::complex_number);
  for (const char* refused : {"", "2d", "s", "T{d:x:}", "P", ">g", "xd"}) {
    EXPECT_EQ(parse_buffer_format(refused, 8).verdict, Verdict::unsupported) << refused;
  }
  EXPECT_EQ(parse_buffer_format("i", 8).verdict, Verdict::unsupported);  // item size disagrees
}

}  // namespace
}  // namespace halvorn
