#pragma once
// Picks the port the engine listens on: a free port in 40000..50000 starting from a
// random point, skipping the excluded ports. Port mapping on the home router joins
// later through IPortMapping.
#include "app/EventReporter.h"
#include "app/IPortMapping.h"

#include <cstdint>
#include <functional>
#include <string>

class PortChooser {
public:
    // What the choice asks of the machine; tests replace them.
    struct Probes {
        std::function<bool(int port)> portInUse;               // default: platform::IsLocalPortInUse
        std::function<bool(std::string& address)> hostAddress; // default: platform::HostAddress
        // The draw the start is taken from (start = 40000 + seed() % 10000); default:
        // a generator seeded with the current time.
        std::function<unsigned()> seed;
    };
    PortChooser();
    explicit PortChooser(Probes probes);

    // The chosen port, or 0 when none could be offered. Reports failures and the
    // "no mapping needed" case as statistics events and log lines.
    int ChoosePortAndForward();

    // The router mapping asked for a private address; until set, none is asked and
    // the chosen port is used as it is. Not owned; must outlive the chooser's use.
    void SetPortMapping(IPortMapping& mapping) { mapping_ = &mapping; }
    // Where the events go; until set, to the engine's statistics upload. Not owned.
    void SetEventReporter(EventReporter& reporter) { events_ = &reporter; }

    static bool IsExcludedPort(int port);
    static bool IsLocalNetworkAddress(const std::string& address);

private:
    Probes probes_;
    IPortMapping* mapping_;
    EventReporter* events_;
};
