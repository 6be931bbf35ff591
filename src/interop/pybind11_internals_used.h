// Everything halvorn relies on of pybind11 beyond its documented interface:
// names from its `detail` namespace, protected members, and the order in which
// its dispatcher works. Written for pybind11 3.0 and 3.1. A move to a later
// release checks each item below against that release's headers, then widens
// the assertion at the end (and ./dev's check of the installed pybind11).
//
// Instances and their native objects (native_casters.h; interop_internal.h's
// brief_tensor_text; operators.cpp through exact_built_tensor):
// - detail::get_type_info(typeid) and detail::type_info's `type` and
//   `init_instance`: a class's record, looked up in the calling interpreter's
//   own records, and how a new instance gets its holder. A sub-interpreter's
//   records die with it.
// - detail::all_type_info(type): the native parts of a Python subclass, from
//   pybind11's per-type cache, which describes how its instances are laid out.
// - detail::instance's `owned` and get_value_and_holder(record, false), and
//   detail::value_and_holder's `inst`, value_ptr() and holder_constructed().
// - detail::make_new_instance(type): an instance allocated as pybind11
//   allocates a result.
// - detail::type_caster_generic (built from a type_info; `typeinfo`, `value`)
//   and type_caster_base<T>::cast, which the casters derive from and defer to;
//   cast_op_type, make_caster, cast_op, const_name and reference_cast_error.
//   type_caster is specialised in pybind11::detail, with PYBIND11_TYPE_CASTER
//   where pybind11 does the rest (generator_binding.cpp's seed too).
// - def_constructor's __init__: a first parameter of detail::value_and_holder&
//   with detail::is_new_style_constructor. The dispatcher then hands over the
//   instance's slot, ignores an __init__ on an instance already registered,
//   and calls init_instance once the body has set value_ptr().
// - An instance is sizeof(detail::instance) and nothing past it:
//   class_guards.h's give_own_layout adds an unused word there.
//
// The buffer slot (buffer_export.cpp):
// - class_::install_buffer_funcs (protected), reached through a derived class,
//   and detail::pybind11_getbuffer, the slot it installs, which the tensors'
//   own slot calls once the instance is known to be built.
//
// Calls (argument_reports.h, error_translation.h, operators.cpp):
// - cpp_function::dispatcher (protected), detail::function_record's `impl`,
//   `def` and `next`, detail::function_call's `func`, detail::get_function,
//   detail::function_record_ptr_from_PyObject and PYBIND11_TRY_NEXT_OVERLOAD:
//   each function's ml_meth and every overload's impl are replaced by
//   stand-ins that call pybind11's.
// - The dispatcher's order: it matches the argument count and keywords
//   without running Python code, then calls each overload's impl (the
//   arguments convert there), and only once every impl has returned
//   PYBIND11_TRY_NEXT_OVERLOAD reports the arguments with repr().
// - A result that fails to convert for want of memory becomes a TypeError
//   ("Unable to convert function return value ...") caused by the MemoryError.
// - detail::try_translate_exceptions: pybind11's translators, run for plain C
//   functions and for the buffer slot.
#pragma once

#include <pybind11/pybind11.h>

static_assert(PYBIND11_VERSION_MAJOR == 3 && PYBIND11_VERSION_MINOR <= 1,
              "halvorn uses pybind11 internals as they are in 3.0 and 3.1: check them "
              "(src/interop/pybind11_internals_used.h) before building with a later release");
