// Channel 10: the sum over all pieces of their kind's diagonal deviation row,
// scaled by the piece's signed value, in ascending order of the squares.
#include "encoder/diagonal_deviation_kernels.h"
#include "encoder/occupied_squares.h"
#include "encoder/stages.h"
#include "encoder/tables/diagonal_deviation_table.h"

namespace q4d {

void encode_diagonal_deviation(const Board4D& board, const ValueField& field, ChannelSlice<1> out,
                               DiagonalTerm* terms) {
  const DiagonalDeviationTable& table = diagonal_deviation_table();
  int n_terms = 0;
  for_each_occupied(board.pieces, [&](int s) {
    const int kind = piece_type_of(board.pieces[s]);
    if (kind >= 0) terms[n_terms++] = {table[kind].data(), field[s]};
  });
  // Accumulating piece by piece matters: summing the values of each kind
  // first would round differently.
  selected_diagonal_kernel()(terms, n_terms, out.data());
}

}  // namespace q4d
