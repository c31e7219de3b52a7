#include "engine/task/TWorkWithTransStatis.h"

#include "engine/core/QScopedLock.h"

TWorkWithTransStatis::TWorkWithTransStatis() = default;

TWorkWithTransStatis::~TWorkWithTransStatis() {
    Stop();
}

bool TWorkWithTransStatis::SetSpeedLimit(int kind, int value) {
    if (kind != 0 && kind != 1)
        return false;
    QScopedLock guard(ObjectLock());
    if (kind == 1)
        settings_.downloadLimit = value;
    else
        settings_.uploadLimit = value;
    settings_.Clamp();
    return true;
}
