#pragma once
// The statistics client's configuration file as the program carries it: the server
// addresses of the two submit sections, the key lists every event must hold, and the
// operating-system code table.
#include <string>
#include <vector>

class StatisticsIni {
public:
    // Addresses are written as SubmitUrl, SubmitUrl1, SubmitUrl2, ... in this order.
    static std::string Build(const std::vector<std::string>& submitUrls,
                             const std::vector<std::string>& batchSubmitUrls);
};
