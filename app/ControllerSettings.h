#pragma once
// The three user settings that exist once per process: written by the settings dialog
// and the window, read by the controller. Each is one value written whole.
#include <atomic>

class ControllerSettings {
public:
    // KiB/s; 0 means none.
    static int SpeedLimit() { return speedLimit_.load(); }
    static void SetSpeedLimit(int kib) { speedLimit_.store(kib); }
    static int ShutdownWhenDone() { return shutdownWhenDone_.load(); }
    static void SetShutdownWhenDone(int on) { shutdownWhenDone_.store(on); }
    // Also set by the mirror refresh from the resource list.
    static int P2PEnabled() { return p2pEnabled_.load(); }
    static void SetP2PEnabled(int on) { p2pEnabled_.store(on); }
    // Back to the values at process start (tests).
    static void Reset();

private:
    static inline std::atomic<int> speedLimit_{0};
    static inline std::atomic<int> shutdownWhenDone_{0};
    static inline std::atomic<int> p2pEnabled_{1};
};
