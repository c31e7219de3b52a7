#include "app/ControllerTimers.h"

#include "app/DownloadController.h"

bool ControllerTimers::Start(Callback afterPoll, Callback afterTick) {
    if (status_.Running() || refresh_.Running())
        return false;
    if (!status_.Start(100, [this, afterPoll] {
            const int state = controller_.PollState();
            lastState_.store(state);
            if (afterPoll)
                afterPoll(state);
        }))
        return false;
    if (!refresh_.Start(1000, [this, afterTick] {
            const int state = lastState_.load();
            if (state != static_cast<int>(DownloadController::kFinished) &&
                state != static_cast<int>(DownloadController::kCheckFinished))
                controller_.Tick();
            if (afterTick)
                afterTick(state);
        })) {
        status_.Stop();
        return false;
    }
    return true;
}

void ControllerTimers::Stop() {
    status_.Stop();
    refresh_.Stop();
}
