#pragma once

// Makes the recurrent runs inside its scope go through the kernel in pieces
// of `elements` (steps x rows x layer width), so that tests on small fixture
// models split them; the default comes back at the end of the scope.

#include <cstdint>

#include "encoders/lstm.hpp"

namespace velmora::test {

class LstmPieces {
public:
  explicit LstmPieces(std::int64_t elements) : before_(detail::lstm_pieced_runs()) {
    detail::set_lstm_piece_elements(elements);
  }
  ~LstmPieces() { detail::set_lstm_piece_elements(0); }
  LstmPieces(const LstmPieces&) = delete;
  LstmPieces& operator=(const LstmPieces&) = delete;

  // Whether some run went through the kernel in more than one piece.
  bool split() const { return detail::lstm_pieced_runs() > before_; }

private:
  std::int64_t before_;
};

} // namespace velmora::test
