#pragma once
// Asks the home router to forward the chosen port to this computer. The chooser calls
// it only for a computer with a private address, after the port is chosen.
#include <string>

class IPortMapping {
public:
    virtual ~IPortMapping() = default;
    // Starts the mapping of port to localAddress (dotted text). The port to listen on
    // when the mapping was started (or nothing needed doing), 0 when it could not be
    // started; failures are reported here, not by the caller.
    virtual int StartMapping(int port, const std::string& localAddress) = 0;
};
