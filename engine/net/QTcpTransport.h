#pragma once
#include "engine/net/QTransport.h"

// A non-blocking IPv4 TCP socket.
class QTcpTransport : public QTransport {
public:
    QTcpTransport() = default;
    explicit QTcpTransport(int acceptedFd) : fd_(acceptedFd) {}
    ~QTcpTransport() override;
    QTcpTransport(const QTcpTransport&) = delete;
    QTcpTransport& operator=(const QTcpTransport&) = delete;

    bool Open(uint32_t localAddress) override;
    bool StartConnect(uint32_t address, uint16_t port) override;
    int PollConnected() override;
    bool Listen(uint32_t address, uint16_t port, int backlog) override;
    std::unique_ptr<QTransport> Accept(uint32_t& address, uint16_t& port) override;
    long Write(const char* data, size_t length) override;
    long Read(char* out, size_t length, bool& ended) override;
    int Wait(bool forWrite, int milliseconds) override;
    void Close() override;
    bool IsOpen() const override { return fd_ >= 0; }
    bool LocalEndpoint(uint32_t& address, uint16_t& port) const override;
    bool SetReceiveBufferSize(int bytes) override;
    int LastError() const override { return lastError_; }
    int Handle() const override { return fd_; }

private:
    bool Fail(int error);

    int fd_ = -1;
    int lastError_ = 0;
};
