#pragma once
// The statistics client as the engine's upload thread sees it. The client lives
// outside the engine and registers a factory; without one, statistics records are
// neither built nor sent. Texts are GBK.
#include <cstddef>

class IDataStatisticsUser {
public:
    virtual ~IDataStatisticsUser() = default;
    // The path of the client's configuration file (addresses and keys).
    virtual int SetConfigFile(const char* path) = 0;
    // Queues one event for the next batch; flag is passed through.
    virtual int AddEvent(const char* code, const char* body, int* flag) = 0;
    // Posts every queued event as one batch; 1 when a server acknowledged it.
    virtual int SubmitEventDownloadSeveral() = 0;
    // The short session code: 0 when there is none, the code's length when *size is
    // too small (nothing copied), 1 after copying it with its terminator.
    virtual int GetSessionCode(char* buffer, size_t* size) = 0;
};

// The interface id the factory answers to.
inline constexpr char kDataStatisticsInterfaceId[] = "{91095A15-3C46-43b5-BA5F-462064037E59}";

// Creates a client for the interface id (compared ignoring case) into *out and leaves
// *out alone for any other id. Always returns 0.
using DataStatisticsFactory = int (*)(const char* interfaceId, IDataStatisticsUser** out);

// Installs the factory (null removes it). The engine calls it once, on first use, and
// keeps the client for the rest of the process.
void SetDataStatisticsFactory(DataStatisticsFactory factory);
