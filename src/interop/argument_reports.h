// The interception of pybind11's argument reports. When no argument list
// fits, pybind11 reports repr() of every argument, and a tensor's rendering
// can run to millions of lines (shape [10000000, 0]). halvorn's functions note
// on each thread where their calls stand, so that a tensor shown in such a
// report shows only its class and shape, while repr() everywhere else is the
// rendering. For that, every pybind11 function of the module is routed
// through stand-ins for pybind11's dispatcher and for each overload's
// implementation, which call pybind11's own; pybind11_internals_used.h lists
// what of pybind11 that takes.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <utility>

#include "interop/error_translation.h"
#include "interop/pybind11_internals_used.h"

namespace halvorn {

enum class CallStage {
  matching,    // pybind11 matches the argument count and keywords: runs no Python code
  converting,  // the arguments convert and the function runs, Python code included
  reporting,   // none of it fitted: pybind11 reports the arguments
};

struct CallInProgress {
  CallStage stage;
  CallInProgress* outer;
};

inline thread_local CallInProgress* innermost_call = nullptr;

// Whether a halvorn function called now (a __repr__) runs for the report of
// the call around it.
inline bool called_for_argument_report() noexcept {
  const CallInProgress* call = innermost_call;
  return call != nullptr && call->outer != nullptr && call->outer->stage != CallStage::converting;
}

using PybindImplementation = pybind11::handle (*)(pybind11::detail::function_call&);

// Each pybind11 function record's own implementation, for its stand-in.
// Written only while a module is set up and read on every call, so a flat
// table probed from the record's address: a hash map's division and node
// chase cost a tenth of a small call.
struct ImplementationTable {
  static constexpr std::size_t slot_count = 4096;  // a power of two
  std::pair<const pybind11::detail::function_record*, PybindImplementation> slots[slot_count]{};
  std::size_t used = 0;

  static std::size_t first_slot(const pybind11::detail::function_record* record) noexcept {
    return (reinterpret_cast<std::uintptr_t>(record) >> 4) & (slot_count - 1);
  }
  // False when the table is half full (many imports in sub-interpreters):
  // the record then keeps pybind11's own implementation. A record at the
  // address of one that died with its interpreter takes over its slot.
  bool insert(const pybind11::detail::function_record* record,
              PybindImplementation implementation) {
    std::size_t slot = first_slot(record);
    while (slots[slot].first != nullptr && slots[slot].first != record)
      slot = (slot + 1) & (slot_count - 1);
    if (slots[slot].first == nullptr) {
      if (2 * (used + 1) > slot_count) return false;
      ++used;
    }
    slots[slot] = {record, implementation};
    return true;
  }
  // `record` must have been inserted.
  PybindImplementation find(const pybind11::detail::function_record* record) const noexcept {
    std::size_t slot = first_slot(record);
    while (slots[slot].first != record) slot = (slot + 1) & (slot_count - 1);
    return slots[slot].second;
  }
};
inline ImplementationTable implementations;

// The stand-ins, which reach pybind11's dispatcher and function records as
// pybind11 reaches them.
struct CallTracking : pybind11::cpp_function {
  using pybind11::cpp_function::dispatcher;

  // A function's ml_meth: pybind11's dispatcher, with the call noted on its
  // thread while it runs.
  static PyObject* run(PyObject* self, PyObject* const* arguments, size_t count,
                       PyObject* keywords) {
    CallInProgress call{CallStage::matching, innermost_call};
    innermost_call = &call;
    struct Leave {
      CallInProgress* call;
      ~Leave() { innermost_call = call->outer; }
    } leave{&call};
    PyObject* result = dispatcher(self, arguments, count, keywords);
    if (result == nullptr) surface_memory_error();
    return result;
  }

  // Every overload's impl: pybind11's, with the call noted as converting, and
  // as reporting where the arguments did not fit (until another overload's
  // impl runs).
  static pybind11::handle implement(pybind11::detail::function_call& call) {
    CallInProgress* current = innermost_call;
    if (current != nullptr) current->stage = CallStage::converting;
    const pybind11::handle result = implementations.find(&call.func)(call);
    if (current != nullptr && result.ptr() == PYBIND11_TRY_NEXT_OVERLOAD) {
      current->stage = CallStage::reporting;
    }
    return result;
  }

  // Routes the pybind11 function `function` (a method or property getter
  // included) through run and implement; anything else is left alone.
  static void track(pybind11::handle function) {
    if (PyObject_TypeCheck(function.ptr(), &PyProperty_Type)) {
      for (const char* part : {"fget", "fset", "fdel"}) track(function.attr(part));
      return;
    }
    pybind11::handle plain = pybind11::detail::get_function(function);
    if (!plain || !PyCFunction_Check(plain.ptr())) return;
    pybind11::detail::function_record* record =
        pybind11::detail::function_record_ptr_from_PyObject(PyCFunction_GET_SELF(plain.ptr()));
    if (record == nullptr || record->def == nullptr) return;
    record->def->ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&run));
    for (; record != nullptr; record = record->next) {
      if (record->impl == &implement || !implementations.insert(record, record->impl)) continue;
      record->impl = &implement;
    }
  }
};

// Tracks every pybind11 function of `module` and of its classes.
inline void track_argument_reports(pybind11::module_& module) {
  for (const auto& item : pybind11::reinterpret_borrow<pybind11::dict>(module.attr("__dict__"))) {
    CallTracking::track(item.second);
    if (!PyType_Check(item.second.ptr())) continue;
    auto* type = reinterpret_cast<PyTypeObject*>(item.second.ptr());
    pybind11::dict members = pybind11::reinterpret_steal<pybind11::dict>(PyType_GetDict(type));
    for (const auto& member : members) CallTracking::track(member.second);
  }
}

}  // namespace halvorn
