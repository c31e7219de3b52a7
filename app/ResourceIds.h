#pragma once
// The program's own resources that the controller releases to disk: where a deployment
// puts them and where the controller looks for them.
struct ResourceIds {
    // The statistics configuration, an INI text stored Base64-encoded.
    static constexpr const char* kStatisticsType = "DUCONF";
    static constexpr int kStatistics = 181;
    // The torrent of package file i, stored as it is, under kFirstTorrent + i.
    static constexpr const char* kTorrentType = "TORRENT";
    static constexpr int kFirstTorrent = 301;

    static constexpr int Torrent(int file) { return kFirstTorrent + file; }
};
