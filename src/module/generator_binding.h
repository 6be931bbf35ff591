// The registration of halvorn.Generator.
#pragma once

#include <pybind11/pybind11.h>

namespace halvorn {

void bind_generator(pybind11::module_& module);

}  // namespace halvorn
