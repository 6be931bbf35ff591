"""A short walk through halvorn."""

import halvorn

print("halvorn:", halvorn.__doc__)
for cls in (halvorn.TensorInt16, halvorn.TensorInt32, halvorn.TensorFloat32, halvorn.TensorFloat64):
    tensor = cls([2, 3])
    print(f"{cls.__name__}([2, 3]) -> {tensor!r}")
