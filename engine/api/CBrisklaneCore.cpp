#include "engine/api/CBrisklaneCore.h"

#include "engine/api/BrisklaneEngine.h"

CBrisklaneCore::~CBrisklaneCore() {
    EngineCleanup();
}
