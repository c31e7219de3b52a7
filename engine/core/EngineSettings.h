#pragma once
// The process-wide switches the flat interface sets and connection code reads: the
// peer-to-peer switch, the HTTP disguise of BitTorrent connections, the listen port,
// the data folder and whether the engine is initialised. Each is read and written
// whole, without a lock.
#include <string>

namespace EngineSettings {

bool P2PEnabled();
void SetP2PEnabled(bool on);

bool HttpDisguise();
void SetHttpDisguise(bool on);

// 0 until set; the listener then takes its default port.
int ListenPort();
void SetListenPort(int port);

bool Initialized();
void SetInitialized(bool on);

// The data folder given at initialisation; empty until then.
std::string DataPath();
void SetDataPath(const std::string& path);

} // namespace EngineSettings
