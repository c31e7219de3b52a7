#pragma once

// Kind of a connection and of a source. Kinds are tested as bits: HTTP or FTP is
// kind & (kPeerHttp | kPeerFtp).
enum TPeerKind : int {
    kPeerNone = 0,
    kPeerBitTorrent = 1,
    kPeerHttp = 2,
    kPeerFtp = 4,
    kPeerTracker = 8,
};
