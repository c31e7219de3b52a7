#pragma once

// Cleans the engine up at process exit even when the front end did not: the one
// static instance's destructor calls EngineCleanup.
class CBrisklaneCore {
public:
    CBrisklaneCore() = default;
    ~CBrisklaneCore();
    CBrisklaneCore(const CBrisklaneCore&) = delete;
    CBrisklaneCore& operator=(const CBrisklaneCore&) = delete;
};
