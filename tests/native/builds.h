// The builds of the kernel families that the tests run: every instruction set
// this CPU runs, each one instance of a suite's tests, named by its set
// (Builds/Suite.Test/avx2), as Highway names its per-target tests. A failure
// names its build, and --gtest_filter='*/avx2' runs one build alone.
#pragma once

#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "core/primitives/element.h"
#include "core/primitives/kernel_builds.h"

namespace halvorn {

// The set's name where gtest prints a parameter.
inline void PrintTo(InstructionSet set, std::ostream* out) { *out << instruction_set_name(set); }

}  // namespace halvorn

namespace halvorn::testing {

// A suite of tests of one build, whose instruction set is GetParam().
using BuildTest = ::testing::TestWithParam<InstructionSet>;

// "sse41", "avx2", "avx512": the set's name as a test's name may hold it.
inline std::string build_name(const ::testing::TestParamInfo<InstructionSet>& info) {
  std::string name = instruction_set_name(info.param);
  std::erase(name, '.');
  return name;
}

// f.template operator()<T>() for each T of Types, its failures traced with
// the type's name.
template <class... Types, class Function>
void for_types_traced(Function&& f) {
  (
      [&] {
        SCOPED_TRACE(ElementTraits<Types>::word);
        f.template operator()<Types>();
      }(),
      ...);
}

// The same for every element type.
template <class Function>
void for_each_type_traced(Function&& f) {
  for_each_element_type([&]<class T>() { for_types_traced<T>(f); });
}

}  // namespace halvorn::testing

// The tests of Suite (a BuildTest), once for each build this CPU runs.
#define HALVORN_TEST_EVERY_BUILD(Suite)                                               \
  INSTANTIATE_TEST_SUITE_P(Builds, Suite,                                             \
                           ::testing::ValuesIn(::halvorn::usable_instruction_sets()), \
                           ::halvorn::testing::build_name)
