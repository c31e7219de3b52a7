// Feeds arbitrary source lines to the URL splitter. Whatever it accepts must be safe to
// put into a request line, an FTP command or a file name, and the normalised URL of an
// accepted HTTP line must read back to the very same fields.
#include "engine/net/QHostResolver.h"
#include "engine/net/TSourceUrl.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "fuzz_source_url: %s\n", what);
    std::abort();
}

bool HasByte(std::string_view text, bool (*bad)(unsigned char)) {
    for (char c : text)
        if (bad(static_cast<unsigned char>(c)))
            return true;
    return false;
}

bool ControlByte(unsigned char u) {
    return u < 0x20 || u == 0x7f;
}

bool BlankOrControl(unsigned char u) {
    return u <= 0x20 || u == 0x7f;
}

bool NotOnTheWire(unsigned char u) {
    return u <= 0x20 || u >= 0x80;
}

bool NotHostByte(unsigned char u) {
    return !((u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') || u == '-' ||
             u == '.' || u == '_');
}

void CheckFields(const TSourceUrl& u) {
    if (u.host.empty() || u.host.size() > TSourceUrl::kMaxHost || HasByte(u.host, &NotHostByte))
        Fail("an accepted host is not a plain host name");
    if (u.port == 0)
        Fail("an accepted line has port 0");
    if (u.url.empty() || u.url.size() > TSourceUrl::kMaxUrl)
        Fail("the normalised URL is empty or overlong");
    if (u.fileName.find_first_of("/\\") != std::string::npos || HasByte(u.fileName, &ControlByte) ||
        u.fileName == "." || u.fileName == "..")
        Fail("the file name is not safe to save under");
    switch (u.kind) {
    case kPeerHttp:
        if (HasByte(u.url, &NotOnTheWire) || u.path.empty() || u.path[0] != '/' ||
            HasByte(u.path, &NotOnTheWire))
            Fail("an HTTP URL or path carries bytes that break a request line");
        break;
    case kPeerFtp:
        if (u.path.empty() || u.path[0] != '/' || HasByte(u.path, &ControlByte) ||
            HasByte(u.ftpUser, &ControlByte) || HasByte(u.ftpPassword, &ControlByte) || u.ftpUser.empty())
            Fail("an FTP field would break a command line");
        break;
    case kPeerTracker:
        if (u.path.empty() || u.path[0] != '/' || HasByte(u.path, &BlankOrControl) ||
            HasByte(u.query, &BlankOrControl))
            Fail("a tracker path or query would break a request line");
        if (u.trackerHttp != 0 && u.trackerHttp != 1)
            Fail("bad tracker scheme flag");
        break;
    case kPeerBitTorrent:
        if (!u.parsed || u.address == 0 || u.address == kAddressNone || u.host != DottedText(u.address))
            Fail("a peer line without a usable address");
        break;
    default:
        Fail("an accepted line has no kind");
    }
    if (u.kind != kPeerBitTorrent && (u.parsed || u.address != 0))
        Fail("fields say resolved although nothing was resolved");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // An exact-size copy, so that reading past the end of the line is caught.
    const std::string line(reinterpret_cast<const char*>(data), size);
    TSourceUrl u;
    if (!ParseSourceFields(line, u)) {
        if (u.kind != kPeerNone || !u.host.empty() || !u.url.empty())
            Fail("a refused line left fields behind");
        return 0;
    }
    CheckFields(u);

    TSourceUrl again;
    if (!ParseSourceFields(line, again) || again.url != u.url || again.host != u.host || again.path != u.path)
        Fail("parsing is not repeatable");

    if (u.kind == kPeerHttp) {
        // The normalised form is what goes on the wire and what sources are compared by:
        // it must parse to itself.
        TSourceUrl normal;
        if (!ParseSourceFields(u.url, normal))
            Fail("the normalised HTTP URL does not parse");
        if (normal.url != u.url || normal.host != u.host || normal.port != u.port || normal.path != u.path)
            Fail("the normalised HTTP URL reads back differently");
    }
    return 0;
}
