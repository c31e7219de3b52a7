#pragma once
// What the engine knows of its place in the network, shared by the listener, the UDP
// streams and the tasks' connection passes.
namespace QNetworkState {

// The most half-open outgoing connections the engine allows at once.
int HalfOpenConnectionLimit();

// Whether connections over UDP streams are switched off (no task runs, or this machine
// proved reachable directly), and whether an incoming connection proved this machine
// reachable from outside.
bool UdpStreamsOff();
void SetUdpStreamsOff(bool off);
bool DirectlyReachable();
void SetDirectlyReachable(bool on);

} // namespace QNetworkState
