"""Deliberate mistakes that mypy catches, with halvorn's type stub.

Not meant to run. Each faulty line carries an ``expect-error`` comment naming
the mypy error code it must raise; tests/python/test_typing.py checks that mypy
reports exactly these, and nothing else.
"""

import halvorn

f64 = halvorn.quorva_ones_float64([2, 2])
f32 = halvorn.quorva_ones_float32([2, 2])
i16 = halvorn.quorva_ones_int16([2, 2])

# `/` is true division, which integer tensors do not have: use __divide__.
ratio = i16 / i16  # expect-error: operator

# No mixing of element types, and no scalars.
mixed = i16 + f64  # expect-error: operator
scaled = f64 * 2.0  # expect-error: operator
summed = halvorn.quorva_add_float32(f32, f64)  # expect-error: arg-type

# A shape is a sequence of ints; a string is not one.
text_shape = halvorn.quorva_zeros_float64("22")  # expect-error: arg-type
bare_extent = halvorn.quorva_zeros_float64(3)  # expect-error: arg-type

# Floating tensors list floats.
as_ints: list[int] = f64.to_list()  # expect-error: assignment

# There are no integer random tensors and no integer division function.
dice = halvorn.quorva_rand_int32([6])  # expect-error: attr-defined
halves = halvorn.quorva_div_int16(i16, i16)  # expect-error: attr-defined
seeded: halvorn.TensorFloat32 = halvorn.Generator(1).rand_float64([6])  # expect-error: assignment
unseeded = halvorn.Generator(0.5)  # expect-error: arg-type

# The shape is read-only.
f64.shape = [4]  # expect-error: misc
