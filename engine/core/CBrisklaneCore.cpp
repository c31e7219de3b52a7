#include "engine/core/CBrisklaneCore.h"

#include "engine/core/BrisklaneEngine.h"

CBrisklaneCore::~CBrisklaneCore() {
    EngineCleanup();
}
