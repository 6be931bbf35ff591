"""A short walk through halvorn."""

import halvorn

print("halvorn:", halvorn.__doc__)
for cls in (halvorn.TensorInt16, halvorn.TensorInt32, halvorn.TensorFloat32, halvorn.TensorFloat64):
    tensor = cls([2, 3])
    print(f"{cls.__name__}([2, 3]) -> {tensor!r}")

# Constant tensors: full takes the value, zeros and ones need only the shape.
sevens = halvorn.quorva_full_int32([2, 2, 2], 7)
print("quorva_full_int32([2, 2, 2], 7) ->", sevens)
print("quorva_ones_float64([]) ->", halvorn.quorva_ones_float64([]))
print("quorva_zeros_int16([2, 0]) ->", halvorn.quorva_zeros_int16([2, 0]))

# Elements print with six significant digits; to_list gives the stored values.
tenth = halvorn.quorva_full_float32([3], 0.1)
print("quorva_full_float32([3], 0.1) ->", tenth)
print("  shape:", tenth.shape, " to_list():", tenth.to_list())

# At most 100 elements are shown; "..." marks what was left out.
print("quorva_ones_int16([2, 6, 10]) ->", halvorn.quorva_ones_int16([2, 6, 10]))
