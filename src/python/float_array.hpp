// Per-node and per-edge values handed to an algorithm as float64: a buffer of
// float64 or float32 (a NumPy array, array.array('d')), or any sequence of
// real numbers. Copied whole, so later changes to the caller's object do not
// matter.
#pragma once

#include <Python.h>

#include <optional>
#include <string_view>
#include <vector>

namespace vorlan::python {

// None gives an empty vector (the algorithm's default). A buffer of any other
// element type, or of more than one dimension, raises ValueError naming the
// parameter; a sequence whose items are not real numbers, TypeError.
std::optional<std::vector<double>> convert_f64_array(PyObject* object, std::string_view parameter);

}  // namespace vorlan::python
