#pragma once

#include "native_call.h"

namespace zelk::python {

// matrix_layout, crc32c, matrix_coefficient_count, matrix_forward, matrix_threshold,
// matrix_inverse, matrix_cdf97, matrix_wavelet_quantise, matrix_wavelet_restore, matrix_wavelet_estimate,
// matrix_grid, matrix_grid_restore, matrix_feedback, matrix_feedback_restore, matrix_visit_order,
// matrix_encode_band, matrix_error_figures, matrix_header, matrix_band, matrix_decode.
extern PyMethodDef MATRIX_FUNCTIONS[];

}  // namespace zelk::python
