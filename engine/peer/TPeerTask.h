#pragma once
// What a connection needs of the task it works for. The task implements it; the
// connections know nothing else of the task, so protocol code can be tested against
// a small fake.
#include "engine/core/TPeerKind.h"
#include "engine/peer/TBlockRequest.h"

#include <cstdint>
#include <string>
#include <vector>

class TPieces;
class TPieceRanges;
class TPieceWork;
class TPeerId;
class TRangeClient;

class TPeerTask {
public:
    virtual ~TPeerTask() = default;

    // The piece map (null until the layout is known) and the work distribution.
    virtual TPieces* PieceMap() = 0;
    virtual TPieceRanges* Ranges() = 0;
    virtual TPieceWork* Work() = 0;
    // Builds the initial ranges from the task's HTTP and FTP sources when there are none.
    virtual void BuildRanges() = 0;

    // Missing in the piece map, and either in end-game or not being finished elsewhere.
    virtual bool PieceWanted(int piece) = 0;
    // Stores a block (see TPieces::WriteBlock) and keeps the task's piece state in step.
    virtual int WriteBlock(uint32_t block, const uint8_t* data, int32_t length, TPeerId* source,
                           bool& completed) = 0;
    // Requests a connection no longer wants, handed back for others to take.
    virtual void ReturnRequests(const std::vector<TBlockRequest>& requests) = 0;
    virtual int PriorityPiece() = 0;
    virtual bool HasAllPieces() = 0;
    // The task's total size; 0 while unknown.
    virtual uint64_t TotalSize() = 0;
    // A plain task learns its layout from its first source's size.
    virtual void LearnSize(uint64_t size, const std::string& name) = 0;

    // Payload accepted from a kind of source, bytes discarded by a failed check, and
    // socket-level traffic of this tick.
    virtual void AddPayload(TPeerKind kind, uint64_t bytes) = 0;
    virtual void AddWasted(uint64_t bytes) = 0;
    virtual void AddTraffic(uint64_t received, uint64_t sent) = 0;
    // Bytes that may still be read in the current second.
    virtual uint64_t ReceiveAllowanceLeft() = 0;

    virtual bool SourceFailed(TPeerId* source, bool retry, int backoffSeconds) = 0;
    virtual void AddSource(TPeerId* source) = 0;
    // Engine wall-clock seconds and uptime, as cached by the task for this tick.
    virtual uint64_t Now() = 0;
    virtual uint32_t Uptime() = 0;
    virtual bool Stopping() = 0;
    virtual void SetStateCode(int code) = 0;
    // Whether the source a connection tried last could not be resolved; the controller
    // reads it through the task.
    virtual void SetDnsFailed(bool failed) = 0;
    // A whole-body fetch of a document (fetch purpose 1) is under way: state 2.
    virtual void SetFetchState(int state) = 0;
};
