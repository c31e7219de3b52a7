#include "platform/ConnectionTable.h"

#include <arpa/inet.h>
#include <array>
#include <cctype>
#include <fstream>
#include <netdb.h>
#include <netinet/in.h>
#include <sstream>
#include <string_view>
#include <sys/socket.h>
#include <unistd.h>

namespace platform {

namespace {

bool AllHex(std::string_view text) {
    if (text.empty())
        return false;
    for (char c : text)
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return false;
    return true;
}

// A table line reads "sl: local_address rem_address st ...", with the addresses as
// hexadecimal "ADDRESS:PORT" (8 or 32 digits for the address, 4 for the port). False
// for the heading and for anything that does not have that shape.
bool LocalPortOf(const std::string& line, uint16_t& port) {
    std::istringstream fields(line);
    std::string slot, local;
    if (!(fields >> slot >> local))
        return false;
    if (slot.size() < 2 || slot.back() != ':')
        return false;
    for (size_t i = 0; i + 1 < slot.size(); ++i)
        if (!std::isdigit(static_cast<unsigned char>(slot[i])))
            return false;
    const size_t colon = local.find(':');
    if (colon == std::string::npos)
        return false;
    const std::string_view address(local.data(), colon);
    const std::string_view hexPort(local.data() + colon + 1, local.size() - colon - 1);
    if ((address.size() != 8 && address.size() != 32) || !AllHex(address) || hexPort.size() != 4 ||
        !AllHex(hexPort))
        return false;
    port = static_cast<uint16_t>(std::stoul(std::string(hexPort), nullptr, 16));
    return true;
}

} // namespace

bool IsLocalPortInUse(uint16_t port, const std::vector<std::string>& tables) {
    for (const std::string& table : tables) {
        std::ifstream in(table);
        std::string line;
        while (std::getline(in, line)) {
            uint16_t local = 0;
            if (LocalPortOf(line, local) && local == port)
                return true;
        }
    }
    return false;
}

bool HostAddress(std::string& address) {
    std::array<char, 256> name{};
    if (::gethostname(name.data(), name.size() - 1) != 0)
        return false;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(name.data(), nullptr, &hints, &found) != 0 || !found)
        return false;
    bool ok = false;
    for (const addrinfo* a = found; a; a = a->ai_next) {
        if (a->ai_family != AF_INET || !a->ai_addr)
            continue;
        char text[INET_ADDRSTRLEN] = {};
        const auto* in = reinterpret_cast<const sockaddr_in*>(a->ai_addr);
        if (::inet_ntop(AF_INET, &in->sin_addr, text, sizeof text)) {
            address = text;
            ok = true;
        }
        break;
    }
    ::freeaddrinfo(found);
    return ok;
}

} // namespace platform
