#pragma once
#include "engine/core/TRefObject.h"

#include <string>

// A source as the piece map sees it: who delivered a piece's bytes, to be credited
// for it, or charged when the piece fails its check.
class TPieceSource : public TRefObject {
public:
    // A piece whose bytes all came from this source completed; verified tells whether
    // it passed its check.
    virtual void CreditPiece(bool verified) = 0;
    // Sends the corrupt-piece statistics record for a piece this source completed.
    virtual void ReportCorruptPiece(int piece, const std::string& targetFile) = 0;
};
