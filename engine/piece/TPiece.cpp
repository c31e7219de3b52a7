#include "engine/piece/TPiece.h"

int32_t TPiece::ContiguousEnd() const {
    int32_t end = storedBytes;
    for (auto it = buffer.lower_bound(end); it != buffer.end() && it->first == end;
         it = buffer.lower_bound(end))
        end += static_cast<int32_t>(it->second.size());
    return end;
}

size_t TPiece::BufferedBytes() const {
    size_t n = 0;
    for (const auto& [offset, data] : buffer)
        n += data.size();
    return n;
}

void TPiece::Clear() {
    buffer.clear();
    hashState.Reset();
    storedBytes = 0;
    inMemoryComplete = false;
    verified = false;
    creditSource.reset();
    creditBytes = 0;
}
