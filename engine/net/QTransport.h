#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>

// The byte stream under a QSocket: a TCP socket, or a reliable stream carried in UDP
// datagrams. The socket keeps the buffers, the counters and the proxy negotiation; the
// transport only moves bytes. Nothing here waits unless Wait is called. Addresses are
// IPv4 in network byte order, ports in host byte order; errors are errno values.
class QTransport {
public:
    // Length of the key that names a UDP-stream peer.
    static constexpr size_t kStreamKeyLength = 13;
    // Makes the transport of a UDP stream to the peer the key names; null when none can
    // be made. Installed by the UDP server while it runs.
    using StreamMaker = std::unique_ptr<QTransport> (*)(const uint8_t* key);

    virtual ~QTransport() = default;

    // A fresh endpoint, bound to localAddress when that is not 0.
    virtual bool Open(uint32_t localAddress) = 0;
    // Starts a connection; false when it failed at once.
    virtual bool StartConnect(uint32_t address, uint16_t port) = 0;
    // Whether a connection under way is established, without waiting: 1 yes, 0 not
    // yet, -1 it failed (LastError tells why).
    virtual int PollConnected() = 0;
    virtual bool Listen(uint32_t address, uint16_t port, int backlog) = 0;
    // A connection waiting on a listening transport with the address it came from; null
    // when none waits.
    virtual std::unique_ptr<QTransport> Accept(uint32_t& address, uint16_t& port) = 0;
    // Bytes written, 0 when the transport would block, -1 on an error.
    virtual long Write(const char* data, size_t length) = 0;
    // Bytes read into out (0 when nothing waits); ended is set when the remote side
    // closed. -1 on an error.
    virtual long Read(char* out, size_t length, bool& ended) = 0;
    // 1 when the transport became writable (forWrite) or readable within milliseconds
    // (negative: no limit), 0 on time-out, -1 on a failure.
    virtual int Wait(bool forWrite, int milliseconds) = 0;
    virtual void Close() = 0;
    virtual bool IsOpen() const = 0;
    virtual bool LocalEndpoint(uint32_t& address, uint16_t& port) const = 0;
    virtual bool SetReceiveBufferSize(int bytes) = 0;
    virtual int LastError() const = 0;
    virtual bool IsUdpStream() const { return false; }
    // The system handle, -1 when there is none (a UDP stream has none of its own).
    virtual int Handle() const { return -1; }

    // The maker of UDP-stream transports (null: none); returns the previous one.
    static StreamMaker SetStreamMaker(StreamMaker maker);
    static std::unique_ptr<QTransport> MakeStream(const uint8_t* key);
};
