// Feeds library files to the check that stands before the dynamic loader,
// so that a damaged or foreign file in the runtime's folder is refused
// without the check reading outside the file.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "iec/ext/q4bdll.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    int r = Q4Bdll_CheckImage(data, size);
    if (r < kBdllImageOk || r > kBdllDamaged) std::abort();
    return 0;
}
