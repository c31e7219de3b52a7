#pragma once
#include "engine/core/TPeerKind.h"
#include "engine/core/TRefObject.h"

class TPeerObject;
class TPeerTask;

// Makes the connection object for a kind of source. Each protocol registers its maker
// for its kind; a task asks for a kind and never names a protocol class.
class TPeerFactory {
public:
    using Maker = TPeerObject* (*)(TPeerTask* task);

    // A fresh connection of the kind, working for task; null when no protocol speaks it.
    static TRef<TPeerObject> Create(TPeerKind kind, TPeerTask* task);
    // Registers (or, with null, removes) the maker of a kind; returns the previous one.
    static Maker Register(TPeerKind kind, Maker maker);
};
