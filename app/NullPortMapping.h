#pragma once
// The mapping used while the router is not asked: the port is used as chosen.
#include "app/IPortMapping.h"

class NullPortMapping final : public IPortMapping {
public:
    int StartMapping(int port, const std::string&) override { return port; }
};
