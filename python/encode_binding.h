// Encoding from Python: encode and encode_batch (bind_encode), and what other
// binding files need to hand out batches of encodings of either dtype.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstddef>
#include <string>

#include "encoder/encoding.h"

namespace q4d_python {

void bind_encode(pybind11::module_& m);

// The dtype of a name the package gives ("float32" or "bfloat16"); raises
// ArgumentError for any other.
q4d::EncodingDtype dtype_named(const std::string& name);

// The numpy dtype that holds encodings of `dtype`: float32, or uint16 holding
// the bfloat16 bits (numpy has no bfloat16; torch.from_numpy(a).view(torch.bfloat16)
// reads them as such).
pybind11::dtype numpy_dtype(q4d::EncodingDtype dtype);

// A new (n, ENCODING_DIM) array of `dtype` in the process's recycled batch
// memory, where the memory goes back when the array is freed. Call it with
// the interpreter's lock held; it lets go of it while memory is faulted in.
pybind11::array new_batch_array(std::size_t n, q4d::EncodingDtype dtype);

// The memory of `out`, which must be a writable C-contiguous array of
// numpy_dtype(dtype) with n rows of ENCODING_DIM values; raises
// ArgumentError naming `out` otherwise.
void* batch_output(const pybind11::array& out, std::size_t n, q4d::EncodingDtype dtype);

// How a batch of n encodings of `dtype` is best written: streamed around the
// caches when it is larger than they are.
q4d::EncodingFormat batch_format(std::size_t n, q4d::EncodingDtype dtype);

}  // namespace q4d_python
