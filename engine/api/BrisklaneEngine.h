#pragma once
// The flat call interface through which the controller drives the download engine.
// The controller never sees an engine object: it fills a descriptor, gets an opaque
// handle, polls a fixed status record and sends commands by handle. Every task call
// is serialised by one engine-wide lock and turns any engine failure into a code.
// Strings are zero-terminated GBK.
//
// Code outside the engine includes this header and no other engine header: it brings
// the shared records and codes, the engine log (EngineLog, LogLine, LogFormat) and the
// engine's MD5 (QMd5) with it.
#include "engine/core/EngineLog.h"
#include "engine/core/EngineTypes.h"
#include "engine/core/LogCategories.h"
#include "engine/core/QMd5.h"

#include <cstdint>

// Engine set-up and shut-down.
void EngineOpenLog();
// Starts the statistics upload thread: statsInit goes to the statistics client, the
// four strings name the download in every record. Records reported before this call
// are dropped.
void CollectDataUpload(const char* statsInit, const char* gameId, const char* appVersion,
                       const char* gameVersion, const char* channel);
int EngineSetListenPort(int port);
int EngineInitialize(const char* dataPath);
int EngineSetP2PEnabled(int on);
void EngineSetHttpDisguise(int on);
void EngineCloseServices();
int EngineCleanup();

// Task calls.
int EngineCreateTask(TaskDescriptor* d);
int EngineRecoverTask(TaskDescriptor* d, bool skipDuplicateTest);
int EngineStopTask(EngineTask task, int release);
int EngineStopTasks(const EngineTask* tasks, unsigned count, int release, int* results);
int EngineRestartTask(EngineTask task);
int EngineGetTaskStatus(EngineTask task, TaskStatus* out);
int EngineIsTaskComplete(EngineTask task, int* out);
int EngineSetTaskSpeedLimit(EngineTask task, int kind, int value);
int EngineSetTaskPeerLimits(EngineTask task, int maxSourceConnections, int maxPeerConnections);
int EngineClearTaskMirrors(EngineTask task);
int EngineAddTaskMirror(EngineTask task, const char* urls, const char* hosts);
int EngineGetTaskBitfieldSize(EngineTask task);
int EngineGetTaskBitfield(EngineTask task, unsigned char* buf, int len);

// Utility calls (no task, no lock).
// Shows a message on a thread of its own so the caller never waits for the user;
// 1 when the message was handed over, 0 when that did not happen within 2 s.
int EngineMessageBox(void* owner, const char* text, const char* caption, unsigned type);
// Bytes free to the caller on the file system that holds path; 0 when that fails.
uint64_t EngineGetFreeDiskSpace(const char* path);
// Bytes allocated for the file, or for path + ".qvtmp" when only that exists; 0 for a
// missing file, -1 when it exists but cannot be opened, -2 when it cannot be queried.
int64_t EngineGetAllocatedSize(const char* path);

// Statistics records for the upload thread, from any thread. Without a running upload
// thread, or without a statistics client, they are dropped.
void EngineReportTransfer(const char* code, const char* serverIp, const char* httpResult, uint32_t totalTime,
                          uint64_t totalBytes, uint64_t averageSpeed, const char* progress,
                          uint64_t httpTotalBytes, uint64_t httpAverageSpeed, uint64_t p2pTotalBytes,
                          uint64_t p2pAverageSpeed, uint32_t corruptPakId, const char* fileName,
                          const char* url, const char* errorMsg, int32_t flag);
void EngineReportEvent(const char* code, const char* errorMsg, int32_t flag);
void EngineReportFileEvent(const char* code, const char* fileName, const char* errorMsg);

// Whether EngineInitialize has run and EngineCleanup has not run since.
bool EngineInitialized();
