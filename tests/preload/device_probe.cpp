// An LD_PRELOAD library for the Python tests. It stands between the module and
// libstdc++'s std::random_device: it counts how often a device is opened, read
// and closed, and it can make the first opens or reads fail the way an
// unusable device does, so that the module's real generators can be watched
// from Python without any seed or hook in the module itself.
//
//   HALVORN_PROBE_FAIL_OPENS=N   the first N opens throw std::runtime_error
//   HALVORN_PROBE_FAIL_READS=N   the first N reads throw std::runtime_error
//
// The counts are read through the extern "C" functions below (ctypes).
#include <dlfcn.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <stdexcept>
#include <string>

namespace {

std::atomic<int> opens{0};
std::atomic<int> reads{0};
std::atomic<int> closes{0};

int budget_from(const char* variable) {
  const char* text = std::getenv(variable);
  return text == nullptr ? 0 : std::atoi(text);
}

// True while the budget lasts, using one unit of it.
bool take(std::atomic<int>& budget) {
  int left = budget.load();
  while (left > 0) {
    if (budget.compare_exchange_weak(left, left - 1)) return true;
  }
  return false;
}

std::atomic<int>& failing_opens() {
  static std::atomic<int> budget{budget_from("HALVORN_PROBE_FAIL_OPENS")};
  return budget;
}

std::atomic<int>& failing_reads() {
  static std::atomic<int> budget{budget_from("HALVORN_PROBE_FAIL_READS")};
  return budget;
}

// libstdc++'s own definition of a member this library replaces.
template <class Function>
Function next_definition(const char* symbol) {
  void* address = dlsym(RTLD_NEXT, symbol);
  if (address == nullptr) {
    std::fprintf(stderr, "device probe: %s not found\n", symbol);
    std::abort();
  }
  return reinterpret_cast<Function>(address);
}

}  // namespace

void std::random_device::_M_init(const std::string& token) {
  using Init = void (*)(std::random_device*, const std::string&);
  static const Init real = next_definition<Init>(
      "_ZNSt13random_device7_M_initERKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEE");
  if (take(failing_opens())) {
    throw std::runtime_error(
        "random_device::random_device(const std::string&): device not available");
  }
  real(this, token);
  ++opens;
}

std::random_device::result_type std::random_device::_M_getval() {
  using Read = result_type (*)(std::random_device*);
  static const Read real = next_definition<Read>("_ZNSt13random_device9_M_getvalEv");
  if (take(failing_reads())) throw std::runtime_error("random_device could not be read");
  ++reads;
  return real(this);
}

void std::random_device::_M_fini() {
  using Fini = void (*)(std::random_device*);
  static const Fini real = next_definition<Fini>("_ZNSt13random_device7_M_finiEv");
  real(this);
  ++closes;
}

extern "C" int halvorn_probe_opens() { return opens.load(); }
extern "C" int halvorn_probe_reads() { return reads.load(); }
extern "C" int halvorn_probe_closes() { return closes.load(); }
