#include "app/ControllerSettings.h"

void ControllerSettings::Reset() {
    speedLimit_.store(0);
    shutdownWhenDone_.store(0);
    p2pEnabled_.store(1);
}
