// The per-thread generator behind one random operation: a random device, an
// MT19937 engine seeded once from it and a distribution, all created the first
// time the operation runs in a thread and kept until that thread ends. The
// engine is std::mt19937 state for state and the distributions give the
// standard library's values (mersenne_twister.h, distributions.h).
#pragma once

#include <cstdint>
#include <optional>

#include "factories/distributions.h"
#include "factories/fork_count.h"
#include "factories/mersenne_twister.h"

namespace halvorn {

// A copy of one generator: what its next draws will be.
template <class Distribution>
struct GeneratorState {
  MersenneTwister engine;
  Distribution distribution;
};

// Every <Device, Distribution> pair is a generator of its own, and every
// random operation draws from a distribution type of its own, so no two
// operations ever share an engine or a cached normal value. The device is a
// parameter only so that tests can put a failing one in its place.
template <class Device, class Distribution>
class ThreadGenerator {
 public:
  using Engine = MersenneTwister;

  struct Parts {
    Engine& engine;
    Distribution& distribution;
  };

  // This thread's engine and distribution. Each object is a function-scope
  // thread_local, so the first call in a thread creates them in declaration
  // order (device, engine, distribution), and one whose initialiser throws (a
  // device that cannot be opened or read) stays uncreated, together with
  // those after it: the exception reaches the caller and the next call tries
  // again from that object on.
  //
  // A forked child inherits this state from its parent; the first call after a
  // fork seeds the engine again from the device and drops any cached normal
  // value, so parent and children draw apart. A read that throws leaves the
  // engine marked as seeded before the fork, and the next call tries again.
  static Parts get() {
    thread_local Device device;
    const std::uint64_t forks = fork_count();
    thread_local Seeded seeded{Engine(seed_from(device)), forks};
    thread_local Distribution distribution;
    if (seeded.forks != forks) {
      seeded.engine.seed(seed_from(device));
      distribution.reset();
      seeded.forks = forks;
    }
    engine_ = &seeded.engine;
    distribution_ = &distribution;
    return {seeded.engine, distribution};
  }

  // For tests: a copy of this thread's engine and distribution, or nothing
  // before the first get() in this thread. Creates and advances nothing.
  static std::optional<GeneratorState<Distribution>> snapshot() {
    if (engine_ == nullptr) return std::nullopt;
    return GeneratorState<Distribution>{*engine_, *distribution_};
  }

 private:
  // The engine and the fork count it was seeded under.
  struct Seeded {
    Engine engine;
    std::uint64_t forks;
  };

  // The standard MT19937 initialisation from one 32-bit value.
  static typename Engine::result_type seed_from(Device& device) {
    return static_cast<typename Engine::result_type>(device());
  }

  // Where get() found this thread's objects; null until they all exist.
  static thread_local Engine* engine_;
  static thread_local Distribution* distribution_;
};

template <class Device, class Distribution>
thread_local MersenneTwister* ThreadGenerator<Device, Distribution>::engine_ = nullptr;

template <class Device, class Distribution>
thread_local Distribution* ThreadGenerator<Device, Distribution>::distribution_ = nullptr;

}  // namespace halvorn
