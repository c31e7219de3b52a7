#pragma once

// The operations every connection fills in: what one scheduling pass asks of it. Each
// returns false when the connection cannot go on, and the task then drops it.
class TVirtualPeer {
public:
    virtual ~TVirtualPeer() = default;

    // Takes in what the remote side sent.
    virtual bool DoRead() = 0;
    // Pushes out what waits to be sent.
    virtual bool DoWrite() = 0;
    // Decides which blocks to ask for next.
    virtual bool DoRequest() = 0;
    // Serves what the remote side asked of us.
    virtual bool DoUpload() = 0;
    // Closes the connection and returns it to idle, ready to be used again.
    virtual void Reset() = 0;
};
