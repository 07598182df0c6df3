#pragma once

#include "native_call.h"

namespace zelk::python {

// matrix_layout, crc32c, matrix_coefficient_count, matrix_forward, matrix_quantize, matrix_energy,
// matrix_inverse.
extern PyMethodDef MATRIX_FUNCTIONS[];

}  // namespace zelk::python
