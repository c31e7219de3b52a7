#pragma once
#include "engine/net/QProxyHandshake.h"
#include "engine/net/QProxyInfo.h"
#include "engine/net/QSocketBuffer.h"
#include "engine/net/QTransport.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

// One connection's socket: a send queue and a receive buffer over a transport (TCP, or
// a UDP stream where a maker for them is installed), and the proxy negotiation in front
// of the tunnel. The owning task thread polls it once per pass; nothing here waits
// unless blocking mode was asked for or a Wait call is made.
//
// Addresses are IPv4 in network byte order, ports in host byte order. Both buffers stay
// NUL-terminated one byte past their length, so protocol code may search them as text.
//
// A socket whose system handle failed (an error, the remote side closing) keeps what it had
// buffered: Receive and Send report -1 from then on, but the data already received can
// still be read and consumed. A proxy that refuses or breaks off its handshake leaves
// nothing behind: its words are not the caller's data.
class QSocket {
public:
    static constexpr int kDefaultReceiveChunk = 16384;
    static constexpr int kListenBacklog = 32;
    // Either buffer growing past this fails the connection rather than the process.
    static constexpr size_t kMaxBuffered = QSocketBuffer::kMaxBuffered;
    // Length of the key that names a UDP-stream peer.
    static constexpr size_t kUdpKeyLength = QTransport::kStreamKeyLength;

    QSocket();
    ~QSocket();
    QSocket(const QSocket&) = delete;
    QSocket& operator=(const QSocket&) = delete;

    // Starts a connection to address:port, through proxy (the process-wide settings when
    // null; pass a QProxyInfo of kind kNone for a direct connection). host, when given, is
    // the name the address belongs to: it decides whether the proxy is bypassed and is
    // sent to proxies that resolve names themselves, in which case address may be 0.
    // udpKey names a UDP-stream peer (kUdpKeyLength bytes); such a connect fails unless a
    // maker of UDP streams is installed. localAddress, when not 0, is bound first.
    // True when the connection is established or under way.
    bool Connect(uint32_t address, uint16_t port, const QProxyInfo* proxy = nullptr,
                 const char* host = nullptr, const uint8_t* udpKey = nullptr, uint32_t localAddress = 0,
                 bool blocking = false);
    // Connect by name: a dotted address is used as it is; a name is resolved here (within
    // the resolver's time limit) unless the proxy in use resolves names itself.
    bool ConnectToHost(const char* host, uint16_t port, const QProxyInfo* proxy = nullptr,
                       bool blocking = false);

    // Listens on address:port (0 for any address; port 0 picks a free port, see LocalPort).
    bool Listen(uint32_t address, uint16_t port, const uint8_t* udpKey = nullptr,
                int backlog = kListenBacklog);
    // A connection waiting on a listening socket, owned by the caller; null when none.
    QSocket* Accept();

    // Queues or writes length bytes; returns length, or -1 when the connection is broken.
    // Data sent before the proxy handshake is done waits in the queue behind it.
    int Send(const void* data, int length);
    // Writes up to maxBytes of the queue (all of it when negative); returns the bytes
    // written, or -1 when the connection is broken.
    int Flush(int maxBytes = -1);
    // Reads at most maxBytes more into the receive buffer; returns how many bytes became
    // readable (0 when none, including while the proxy handshake goes on), or -1 when the
    // connection is broken or closed by the remote side.
    int Receive(int maxBytes = kDefaultReceiveChunk);
    // Drops bytes from the front of the receive buffer.
    void Consume(int bytes);
    bool SetReceiveBufferSize(int bytes);

    // The TCP connection is established (to the target, or to the proxy while its
    // handshake goes on); a pending connect is looked at without waiting.
    bool IsConnected();
    // Closes the handle and forgets buffers, addresses and the proxy state. The byte
    // counters keep counting across connections, so per-tick differences stay positive.
    void Close();

    // 1 when the socket became readable (writable) within milliseconds (negative: no
    // limit), 0 on time-out, -1 when there is no usable handle.
    int WaitReadable(int milliseconds);
    int WaitWritable(int milliseconds);

    const char* ReceiveData() const { return recv_.Data(); }
    size_t ReceiveLength() const { return recv_.Length(); }
    size_t ReceiveCapacity() const { return recv_.Capacity(); }
    size_t SendLength() const { return send_.Length(); }
    size_t SendCapacity() const { return send_.Capacity(); }

    bool IsOpen() const { return transport_ && transport_->IsOpen(); }
    bool IsListening() const { return IsOpen() && listening_; }
    bool IsNegotiated() const { return negotiated_; }
    bool IsBlocking() const { return blocking_; }
    bool IsUdpStream() const { return transport_ && transport_->IsUdpStream(); }
    // The system handle of a TCP transport; -1 otherwise.
    int Handle() const { return transport_ ? transport_->Handle() : -1; }
    int LastError() const { return lastError_; }

    // The target (not the proxy): its address, port and dotted address or name.
    uint32_t RemoteAddress() const { return remoteAddress_; }
    uint16_t RemotePort() const { return remotePort_; }
    const std::string& RemoteText() const { return remoteText_; }
    uint32_t LocalAddress() const { return localAddress_; }
    uint16_t LocalPort() const { return localPort_; }

    uint64_t BytesSent() const { return bytesSent_; }
    uint64_t BytesReceived() const { return bytesReceived_; }
    // Engine wall-clock seconds.
    uint64_t ConnectTime() const { return connectTime_; }
    uint64_t LastActivity() const { return lastActivity_; }

    // Consumed or sent data is moved down in place; the buffers never shrink or go away.
    void SetKeepBuffer(bool keep) { keepBuffer_ = keep; }
    bool KeepBuffer() const { return keepBuffer_; }

private:
    // A fresh transport: a UDP stream to udpKey, else TCP bound to localAddress.
    bool OpenTransport(uint32_t localAddress, const uint8_t* udpKey);
    // Closes the system handle only; buffers stay readable.
    void CloseHandle();
    bool Broken(int error);
    // The same, as the -1 of the counting operations.
    int BrokenCount(int error);
    // Finishes a pending connect without waiting; false while pending or after a failure.
    bool CheckConnected();
    // Advances the proxy handshake as far as the socket allows; false when it failed.
    bool Negotiate();
    bool NegotiateStep();
    bool NegotiateBlocking();
    // One non-blocking write; -1 on a real error (the handle is then closed).
    long WriteSome(const char* data, size_t length);
    // Reads until maxBytes arrived or nothing more is waiting; eof tells the remote side
    // closed. -1 on an error.
    long ReadSome(size_t maxBytes, bool& eof);
    int FlushQueue(size_t maxBytes);
    void StartStep();
    void Touch();

    QProxyInfo proxy_;
    QProxyHandshake handshake_;
    bool negotiated_ = true;
    std::string remoteText_;
    uint32_t remoteAddress_ = 0;
    uint32_t localAddress_ = 0;
    std::unique_ptr<QTransport> transport_;
    QSocketBuffer send_;
    QSocketBuffer recv_;
    uint16_t remotePort_ = 0;
    uint16_t localPort_ = 0;
    bool connected_ = false;
    bool listening_ = false;
    bool blocking_ = false;
    bool keepBuffer_ = false;
    uint64_t bytesSent_ = 0;
    uint64_t bytesReceived_ = 0;
    int lastError_ = 0;
    uint64_t connectTime_ = 0;
    uint64_t lastActivity_ = 0;
    uint64_t stepStartMs_ = 0; // when the proxy's current step began (engine milliseconds)
};
