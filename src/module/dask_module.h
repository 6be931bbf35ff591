// halvorn.dask: halvorn's operations on Dask arrays, Python in dask_arrays.py,
// compiled in as text. Dask is imported only when one of its functions runs.
#pragma once

#include <pybind11/pybind11.h>

namespace halvorn {

// Builds the module halvorn.dask, an attribute of `module` and an entry of
// sys.modules, so that `import halvorn.dask` finds it in the one module file.
void bind_dask_module(pybind11::module_& module);

}  // namespace halvorn
