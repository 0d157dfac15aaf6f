// The widest vector set this processor runs.
#include "compare/compare_rows.h"

namespace duvo::compare_rows {

const Kernels* VectorKernels() {
    static const Kernels* best = Avx512VbmiKernels() ? Avx512VbmiKernels()
                                 : Avx2Kernels()     ? Avx2Kernels()
                                                     : Sse41Kernels();
    return best;
}

}  // namespace duvo::compare_rows
