#include "engine/net/QTransport.h"

#include <atomic>

namespace {
std::atomic<QTransport::StreamMaker> g_streamMaker{nullptr};
} // namespace

QTransport::StreamMaker QTransport::SetStreamMaker(StreamMaker maker) {
    return g_streamMaker.exchange(maker);
}

std::unique_ptr<QTransport> QTransport::MakeStream(const uint8_t* key) {
    const StreamMaker maker = g_streamMaker.load();
    return maker && key ? maker(key) : nullptr;
}
