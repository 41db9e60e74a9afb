// encode and encode_batch: FEN4 texts to encodings, one at a time or many on
// the process's pool, without holding the interpreter's lock while encoding.
#include "encode_binding.h"

#include <unistd.h>

#include <memory>
#include <mutex>
#include <vector>

#include "base/batch_memory.h"
#include "base/processors.h"
#include "encoder/encoder_pool.h"
#include "encoder/fen4_batch.h"
#include "errors.h"
#include "position/fen4.h"

namespace py = pybind11;
using namespace q4d;

namespace q4d_python {
namespace {

// Outputs of at least this many bytes are streamed around the caches: more
// than a core's share of the last-level cache, so they would not stay there.
constexpr std::size_t STREAMING_FROM = std::size_t{4} << 20;

// Given-back batch arrays kept for the next call: two, so that a loop that
// holds the last batch while it asks for the next reuses memory in turn.
constexpr std::size_t KEPT_BATCHES = 2;
constexpr std::size_t KEPT_BYTES = std::size_t{256} << 20;

[[noreturn]] void raise_argument(const std::string& message) {
  py::object error = py::module_::import("quorvane4d.errors")
                         .attr("ArgumentError")(static_cast<int>(ERR_ARGUMENT), py::arg("message") = message);
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
  throw py::error_already_set();
}

// The bytes of a str (as UTF-8) or of a bytes object; false for other types.
bool text_of(py::handle object, const char** text, std::size_t* length) {
  Py_ssize_t n = 0;
  if (PyUnicode_Check(object.ptr())) {
    *text = PyUnicode_AsUTF8AndSize(object.ptr(), &n);
    if (*text == nullptr) throw py::error_already_set();  // a lone surrogate
  } else if (PyBytes_Check(object.ptr())) {
    char* bytes = nullptr;
    if (PyBytes_AsStringAndSize(object.ptr(), &bytes, &n) != 0) throw py::error_already_set();
    *text = bytes;
  } else {
    return false;
  }
  *length = static_cast<std::size_t>(n);
  return true;
}

// The memory behind the arrays encode_batch makes: one per process (a child
// after fork makes its own; arrays it inherited go back to the parent's copy).
BatchMemory* batch_memory() {
  static BatchMemory* memory = nullptr;
  static pid_t owner = 0;
  // Called with the interpreter's lock held, which guards the two above.
  if (memory == nullptr || owner != getpid()) {
    if (batch_memory_create(KEPT_BATCHES, KEPT_BYTES, &memory) != OK) raise_result(ERR_ALLOC);
    owner = getpid();
  }
  return memory;
}

// The encoding of one FEN4 text: a new (45056,) float32 array.
py::array_t<float> encode(py::handle text) {
  const char* bytes = nullptr;
  std::size_t length = 0;
  if (!text_of(text, &bytes, &length)) {
    throw py::type_error("a FEN4 text is a str or bytes, not " + std::string(py::str(py::type::of(text).attr("__name__"))));
  }
  auto board = std::make_unique<Board4D>();
  py::array_t<float> out(ENCODING_DIM);
  float* values = out.mutable_data();
  Result parsed = OK;
  {
    py::gil_scoped_release unlocked;
    thread_local std::unique_ptr<EncoderWorkspace> workspace(new EncoderWorkspace);
    parsed = parse_fen4_text(bytes, length, board.get());
    if (parsed == OK) (void)encode_positions(board.get(), 1, values, workspace.get());
  }
  if (parsed != OK) {
    Failure failure;
    (void)fail(&failure, parsed);
    failure.fen4_error = parsed;
    raise_failure(failure);
  }
  return out;
}

// Encodes the texts of `fen4s` into `out` (a new array when None) on
// `threads` threads; returns the array written.
py::object encode_batch(py::handle fen4s, int threads, py::object out, const std::string& dtype_name) {
  // A tuple of the texts: nobody can drop one while the lock is let go.
  const py::tuple texts = py::tuple(py::reinterpret_borrow<py::object>(fen4s));
  const EncodingDtype dtype = dtype_named(dtype_name);
  const std::size_t n = texts.size();
  std::vector<const char*> bytes(n);
  std::vector<std::size_t> lengths(n);
  for (std::size_t k = 0; k < n; ++k) {
    if (!text_of(texts[k], &bytes[k], &lengths[k])) {
      throw py::type_error("fen4s[" + std::to_string(k) + "] is " +
                           std::string(py::str(py::type::of(texts[k]).attr("__name__"))) + ", not str or bytes");
    }
  }
  if (threads < 0 || threads > shared_pool_thread_limit()) {
    raise_argument("threads must be 0 to " + std::to_string(shared_pool_thread_limit()) + ", not " +
                   std::to_string(threads));
  }
  if (!out.is_none() && !py::isinstance<py::array>(out)) {
    throw py::type_error("out must be a numpy array, not " + std::string(py::str(py::type::of(out).attr("__name__"))));
  }
  py::array array = out.is_none() ? new_batch_array(n, dtype) : py::reinterpret_borrow<py::array>(out);
  void* values = batch_output(array, n, dtype);
  Failure failure;
  Result result = OK;
  {
    py::gil_scoped_release unlocked;
    EncoderPool* pool = nullptr;
    result = shared_encoder_pool(threads, &pool);
    if (result != OK) {
      (void)fail(&failure, result);
    } else {
      result = encode_fen4_batch(pool, bytes.data(), lengths.data(), n, values, batch_format(n, dtype), &failure);
    }
  }
  if (result != OK) raise_failure(failure);
  return array;
}

}  // namespace

EncodingDtype dtype_named(const std::string& name) {
  if (name == "float32") return DTYPE_FLOAT32;
  if (name == "bfloat16") return DTYPE_BFLOAT16;
  raise_argument("dtype must be float32 or bfloat16, not " + name);
}

py::dtype numpy_dtype(EncodingDtype dtype) {
  return dtype == DTYPE_BFLOAT16 ? py::dtype::of<std::uint16_t>() : py::dtype::of<float>();
}

py::array new_batch_array(std::size_t n, EncodingDtype dtype) {
  struct Lease {
    BatchMemory* memory;
    void* block;
  };
  if (n == 0) return py::array(numpy_dtype(dtype), {py::ssize_t{0}, static_cast<py::ssize_t>(ENCODING_DIM)});
  BatchMemory* memory = batch_memory();
  void* block = nullptr;
  {
    py::gil_scoped_release unlocked;
    block = batch_memory_take(memory, n * encoding_bytes(dtype));
  }
  if (block == nullptr) raise_result(ERR_ALLOC);
  py::capsule owner(new Lease{memory, block}, [](void* p) {
    auto* lease = static_cast<Lease*>(p);
    batch_memory_give(lease->memory, lease->block);
    delete lease;
  });
  const auto element = static_cast<py::ssize_t>(encoding_bytes(dtype) / ENCODING_DIM);
  return py::array(numpy_dtype(dtype), {static_cast<py::ssize_t>(n), static_cast<py::ssize_t>(ENCODING_DIM)},
                   {static_cast<py::ssize_t>(ENCODING_DIM) * element, element}, block, owner);
}

void* batch_output(const py::array& out, std::size_t n, EncodingDtype dtype) {
  // Checked here, whatever the caller checked: a wrong array must never be written.
  if (!out.dtype().equal(numpy_dtype(dtype)) || !(out.flags() & py::array::c_style) || !out.writeable() ||
      static_cast<std::size_t>(out.size()) != n * ENCODING_DIM || out.ndim() < 1 ||
      static_cast<std::size_t>(out.shape(0)) != n) {
    raise_argument("out must be a writable C-contiguous " + std::string(py::str(numpy_dtype(dtype))) +
                   " array of shape (" + std::to_string(n) + ", " + std::to_string(ENCODING_DIM) + ")");
  }
  return out.request(true).ptr;
}

EncodingFormat batch_format(std::size_t n, EncodingDtype dtype) {
  EncodingFormat format;
  format.dtype = dtype;
  format.streaming = n * encoding_bytes(dtype) >= STREAMING_FROM;
  return format;
}

void bind_encode(py::module_& m) {
  m.def("available_processors", &available_processors);
  m.def("shared_pool_thread_limit", &shared_pool_thread_limit);
  m.def("encode", &encode, py::arg("text"));
  m.def("encode_batch", &encode_batch, py::arg("fen4s"), py::arg("threads"), py::arg("out"), py::arg("dtype"));
}

}  // namespace q4d_python
