#pragma once

// The engine log as its writers see it.
class CBrisklaneLog {
public:
    virtual ~CBrisklaneLog() = default;
    virtual void SetLevels(int fileThreshold, int debugThreshold) = 0;
    virtual void SetBasePath(const char* base) = 0;
    virtual void Write(const char* message, int category, int debugLevel) = 0;
    virtual void Printf(const char* format, ...) __attribute__((format(printf, 2, 3))) = 0;
};
