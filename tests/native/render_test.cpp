#include "core/text/render.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <iomanip>
#include <locale>
#include <sstream>
#include <string>

#include "factories/constant.h"
#include "lanes.h"

namespace halvorn {
namespace {

// A tensor whose element i holds i, so a rendering shows which packets it read.
template <class T>
Tensor<T> counting(const Shape& shape) {
  Tensor<T> tensor(shape);
  for (std::uint64_t i = 0; i < tensor.data.size(); ++i) tensor.data[i] = static_cast<T>(i);
  return tensor;
}

// "first, first+1, ..., last-1": a run of counting elements as a row shows it.
std::string run(std::uint64_t first, std::uint64_t last) {
  std::string text;
  for (std::uint64_t i = first; i < last; ++i) {
    if (i != first) text += ", ";
    text += std::to_string(i);
  }
  return text;
}

template <class T>
class RenderTypedTest : public ::testing::Test {};
TYPED_TEST_SUITE(RenderTypedTest, testing::ElementTypes);

TYPED_TEST(RenderTypedTest, ElementsFollowStorageOrder) {
  using T = TypeParam;
  EXPECT_EQ(repr(counting<T>(Shape{2, 3})), "tensor([2, 3]\n[\n  [0, 1, 2],\n  [3, 4, 5]\n]\n)");
  EXPECT_EQ(repr(counting<T>(Shape{2, 1, 2})),
            "tensor([2, 1, 2]\n[\n  [\n    [0, 1]\n  ],\n  [\n    [2, 3]\n  ]\n]\n)");
}

TYPED_TEST(RenderTypedTest, ShowsTheFirstHundredElements) {
  using T = TypeParam;
  EXPECT_EQ(repr(counting<T>(Shape{100})), "tensor([100]\n[" + run(0, 100) + "]\n)");
  EXPECT_EQ(repr(counting<T>(Shape{101})), "tensor([101]\n[" + run(0, 100) + ", ...]\n)");
  EXPECT_EQ(repr(counting<T>(Shape{2, 2, 60})), "tensor([2, 2, 60]\n[\n  [\n    [" + run(0, 60) +
                                                    "],\n    [" + run(60, 100) +
                                                    ", ...]\n  ],\n  ...\n]\n)");
}

// A locale that groups digits in threes, as some non-classic locales do.
struct ThousandsGrouping : std::numpunct<char> {
  char do_thousands_sep() const override { return ','; }
  std::string do_grouping() const override { return "\3"; }
};

TEST(RenderTest, UsesTheStreamsSettingsAndChangesNone) {
  std::ostringstream out;
  const std::locale grouped(std::locale::classic(), new ThousandsGrouping);
  out.imbue(grouped);
  out << std::hex << std::showbase << std::setprecision(3) << std::setfill('*');
  const auto flags = out.flags();

  out << full<int>(Shape{2}, 255) << '|';
  // With hex, a short is written as its unsigned 16-bit pattern, grouped by
  // the locale like any other integer.
  out << full<short>(Shape{1}, short{-1}) << '|';
  out << std::dec << std::fixed << std::showpos;
  const auto fixed_flags = out.flags();
  out << full<double>(Shape{}, 1234.5) << '|' << 2;

  EXPECT_EQ(out.str(),
            "tensor([0x2]\n[0xff, 0xff]\n)|"
            "tensor([0x1]\n[0xf,fff]\n)|"
            "tensor([]\n+1,234.500)|"
            "+2");
  EXPECT_NE(flags, fixed_flags);
  EXPECT_EQ(out.flags(), fixed_flags);
  EXPECT_EQ(out.precision(), 3);
  EXPECT_EQ(out.fill(), '*');
  EXPECT_EQ(out.width(), 0);
  EXPECT_TRUE(out.getloc() == grouped);
  EXPECT_TRUE(out.good());
}

TEST(RenderTest, ReprUsesAFreshDefaultStream) {
  const Tensor<float> tensor = full<float>(Shape{2}, 2.5f);
  std::ostringstream configured;
  configured << std::scientific << std::setprecision(2) << tensor;
  EXPECT_EQ(configured.str(), "tensor([2]\n[2.50e+00, 2.50e+00]\n)");
  EXPECT_EQ(repr(tensor), "tensor([2]\n[2.5, 2.5]\n)");
}

TEST(PrintNestedTest, AdvancesBothCountersAndIndentsFromItsWidth) {
  const Tensor<int> tensor = counting<int>(Shape{3, 2});
  std::ostringstream out;
  std::uint64_t cursor = 0;
  std::uint64_t printed = 0;
  print_nested(out, tensor, 0, cursor, 4, printed);
  EXPECT_EQ(out.str(), "[\n      [0, 1],\n      [2, 3],\n      [4, 5]\n    ]");
  EXPECT_EQ(cursor, 6u);
  EXPECT_EQ(printed, 6u);

  // One row on its own starts wherever the cursor points.
  std::ostringstream row;
  cursor = 2;
  print_nested(row, tensor, 1, cursor, 2, printed);
  EXPECT_EQ(row.str(), "[2, 3]");
  EXPECT_EQ(cursor, 4u);
  EXPECT_EQ(printed, 8u);
}

TEST(PrintNestedTest, LimitCountsWhatWasPrintedBefore) {
  const Tensor<short> tensor = counting<short>(Shape{2, 60});
  std::ostringstream out;
  std::uint64_t cursor = 0;
  std::uint64_t printed = 98;
  print_nested(out, tensor, 0, cursor, 0, printed);
  EXPECT_EQ(out.str(), "[\n  [0, 1, ...],\n  ...\n]");
  EXPECT_EQ(cursor, 2u);
  EXPECT_EQ(printed, 100u);

  // Already at the limit, a row writes no element at all.
  std::ostringstream row;
  print_nested(row, tensor, 1, cursor, 2, printed);
  EXPECT_EQ(row.str(), "[, ...]");
  EXPECT_EQ(cursor, 2u);
  EXPECT_EQ(printed, 100u);
}

}  // namespace
}  // namespace halvorn
