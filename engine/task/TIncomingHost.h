#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>

class QSocket;

// What the incoming-connection router asks of the task that runs it.
class TIncomingHost {
public:
    // True when received starts with a complete BitTorrent handshake for this task.
    virtual bool MatchHandshake(const uint8_t* received, size_t length) const = 0;
    // Offered a connection that carries this task's handshake: the task takes the socket
    // out of connection and returns true, or leaves it there to be closed.
    virtual bool AcceptIncoming(std::unique_ptr<QSocket>& connection) = 0;

protected:
    ~TIncomingHost() = default;
};
