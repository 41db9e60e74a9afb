// Numpy columns of the labels a position carries: the fields of its trailer
// (the move that led to it) and the move played from it. Packs and the
// loader's batches both give them, under the same names and shapes.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <cstring>

#include "dataset/pack_reader.h"
#include "position/ply_trailer.h"

namespace q4d_python {

template <class T>
pybind11::array_t<T> column(std::size_t n) {
  return pybind11::array_t<T>(static_cast<pybind11::ssize_t>(n));
}

// n rows of `width` (none when width is 0: still two dimensions).
template <class T>
pybind11::array_t<T> matrix(std::size_t n, std::size_t width) {
  return pybind11::array_t<T>({static_cast<pybind11::ssize_t>(n), static_cast<pybind11::ssize_t>(width)});
}

struct MoveColumns {
  pybind11::array_t<std::uint32_t> ply;
  pybind11::array_t<std::uint8_t> move_from, move_to, promo, flags, next_move_from, next_move_to, next_promo;

  // Made under the interpreter's lock; set() may then run without it.
  explicit MoveColumns(std::size_t n)
      : ply(column<std::uint32_t>(n)),
        move_from(matrix<std::uint8_t>(n, 4)),
        move_to(matrix<std::uint8_t>(n, 4)),
        promo(column<std::uint8_t>(n)),
        flags(column<std::uint8_t>(n)),
        next_move_from(matrix<std::uint8_t>(n, 4)),
        next_move_to(matrix<std::uint8_t>(n, 4)),
        next_promo(column<std::uint8_t>(n)),
        p{ply.mutable_data(),   move_from.mutable_data(),      move_to.mutable_data(),
          promo.mutable_data(), flags.mutable_data(),          next_move_from.mutable_data(),
          next_move_to.mutable_data(), next_promo.mutable_data()} {}

  void set(std::size_t i, const q4d::PlyTrailer& t, const q4d::PackMove& next) {
    p.ply[i] = t.ply;
    std::memcpy(p.from + 4 * i, t.move_from, 4);
    std::memcpy(p.to + 4 * i, t.move_to, 4);
    p.promo[i] = t.promo;
    p.flags[i] = t.flags;
    std::memcpy(p.next_from + 4 * i, next.from, 4);
    std::memcpy(p.next_to + 4 * i, next.to, 4);
    p.next_promo[i] = next.promo;
  }

  void add_to(pybind11::dict& d) const {
    d["ply"] = ply;
    d["move_from"] = move_from;
    d["move_to"] = move_to;
    d["promo"] = promo;
    d["flags"] = flags;
    d["next_move_from"] = next_move_from;
    d["next_move_to"] = next_move_to;
    d["next_promo"] = next_promo;
  }

 private:
  struct {
    std::uint32_t* ply;
    std::uint8_t *from, *to, *promo, *flags, *next_from, *next_to, *next_promo;
  } p;
};

}  // namespace q4d_python
