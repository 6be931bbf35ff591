// How many forks separate this process from the one that first used a random
// generator. A forked child continues its parent's generator states word for
// word; every generator remembers the count it was seeded under and seeds
// itself afresh when the count has moved on.
#pragma once

#include <cstdint>

namespace halvorn {

// 0 in the process that first called it, one more in each child forked after
// that. The first call registers the fork handler that counts, so a generator
// that asked before it was seeded never misses a fork.
std::uint64_t fork_count();

}  // namespace halvorn
