#pragma once
#include "engine/core/TPeerKind.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// What a source line says about a source: the URL fields of a source identity. Lines
// look like
//   http://host[:port]/path
//   ftp://[user[:password]@]host[:port]/path
//   tracker://(http|tcp|udp)://host[:port][/path[?query]]
//   btnode://a.b.c.d:port
// Texts are in the program's code page; addresses are IPv4 in network byte order.
struct TSourceUrl {
    // Longer source lines are refused, as is a line whose normalised URL grows past the
    // same limit: a normalised URL is always a line that can be read again.
    static constexpr size_t kMaxUrl = 8192;
    static constexpr size_t kMaxLine = kMaxUrl;
    static constexpr size_t kMaxHost = 255;
    static constexpr const char* kGuestUser = "anonymous";
    static constexpr const char* kGuestPassword = "guest@brisklane.example";

    TPeerKind kind = kPeerNone;
    // http: the line with non-ASCII bytes (as UTF-8), blanks and control bytes written as
    // %xx; other kinds: the line percent-decoded.
    std::string url;
    std::string host;
    uint16_t port = 0;
    uint32_t address = 0;                // first address; kAddressNone after a DNS failure
    std::vector<uint32_t> moreAddresses; // the host's further addresses
    // http: the request target, from the first "/" after the host on (query included);
    // ftp and tracker: the decoded path without the query. "/" when the line has none.
    std::string path;
    std::string query;    // tracker only: what follows the "?"
    std::string fileName; // http and ftp: the last path segment, decoded, safe as a file name
    std::string ftpUser;
    std::string ftpPassword;
    int trackerHttp = 0; // tracker: 1 HTTP (http, tcp), 0 UDP
    bool parsed = false; // the fields are complete and the address is known
    bool dnsFailed = false;
};

// Splits a source line into its fields without resolving anything (the address is only
// filled for btnode lines). False for anything malformed or unsafe.
bool ParseSourceFields(std::string_view line, TSourceUrl& out);

// ParseSourceFields, then resolves the host of every kind but BitTorrent. A host that
// does not resolve marks the source DNS-failed with address kAddressNone.
bool ParseSourceUrl(std::string_view line, TSourceUrl& out);

// A decimal port 1..65535 with nothing else around it.
bool ParseSourcePort(std::string_view text, uint16_t& port);
// A received or path-given name made fit to save under: no separators, no control
// bytes, and never "." or "..".
std::string SafeFileName(std::string name);
