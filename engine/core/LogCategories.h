#pragma once
// Categories of the engine log. A line's category picks its file and, passed as its
// debug level too, whether it reaches the debugger output (see CBrisklaneLogApi).
enum LogCategory : int {
    kLogRestart = 2,           // a task's thread started again
    kLogPortMapping = 3,       // port choice and mapping
    kLogRequest = 4,           // requests sent to sources (".req.log")
    kLogResources = 7,         // resource extraction, UDP bind errors
    kLogCheckPeer = 9,         // ".checkpeer.log"
    kLogConnection = 13,       // invalid hosts and addresses, proxies, resolution
    kLogPeerPrefer = 18,       // ".peerprefer.log"
    kLogServiceStopped = 22,   // engine service threads that ended
    kLogTaskLifecycle = 23,    // task creation, recovery and completion
    kLogHttpTrace = 25,        // ".httptrace.log"
    kLogStatisticsUpload = 28, // ".dataupload.log"
    kLogWritten = 29,          // ".written.log"
    kLogSha1Check = 30,        // ".sha1check.log"
    kLogPeerInfo = 31,         // ".peerinfo.log"
    kLogController = 34,       // the controller's progress and state lines
    kLogCheckTask = 37,        // ".checktask.log"
    kLogSerious = 38,          // serious failures (".dump.log")
    kLogOff = 39,              // as both thresholds: the log writes nothing
};
