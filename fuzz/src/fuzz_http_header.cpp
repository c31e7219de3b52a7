// Response headers come from any server on the way; parsing them must never read past
// the input, and a parsed block must lie within it.
#include "engine/peer/THttpHeader.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    THttpHeader header;
    const size_t used = header.Parse(reinterpret_cast<const char*>(data), size);
    if (used > size)
        std::abort();
    if (used > 0) {
        (void)header.GetField("Content-Range");
        (void)header.GetField("Content-Length");
        (void)header.GetField("Location");
        (void)header.GetField("Content-Disposition");
        (void)header.Status();
    }
    return 0;
}
