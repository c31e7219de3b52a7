#pragma once
#include "engine/core/QBaseMutex.h"

// Plain, non-recursive lock for short critical sections.
class QSMutex : public QBaseMutex {
public:
    QSMutex();
    ~QSMutex() override;

    bool Create() override;
    void Destroy() override;
    bool Lock() override;
    bool TryLock() override;
    bool Unlock() override;
};
