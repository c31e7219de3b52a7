// Runs a controller as a front end would: the start-up sequence (with the start button
// when there is nothing to resume), then the two timers until the process is ended from
// outside; later starts of the same package are answered meanwhile.
// Its surroundings (data root, save place, working folder) stand in one INI file,
// section "driver", named by argv[1]. The package stands there too, with a stand-in
// resource file; or, with "embedded=1", it is this program's own as a deployment packed
// it: its configuration block and the resources appended to it. It reports its
// start-up result and its progress on standard output.
#include "app/ControllerConfig.h"
#include "app/ControllerEnvironment.h"
#include "app/ControllerStartup.h"
#include "app/ControllerTimers.h"
#include "app/DownloadController.h"
#include "app/FolderChain.h"
#include "app/IControllerFrontEnd.h"
#include "platform/Paths.h"
#include "platform/ProfileFile.h"
#include "platform/SingleInstance.h"

#include <cstdio>
#include <cstdlib>
#include <poll.h>
#include <string>

namespace {

std::string Value(const std::string& file, const std::string& key) {
    char buf[4096];
    platform::GetProfileString("driver", key.c_str(), "", buf, sizeof buf, file.c_str());
    return buf;
}

class PrintingFrontEnd : public IControllerFrontEnd {
public:
    void ShowModalMessage(const std::string& text, const std::string&) override {
        std::printf("modal %s\n", text.c_str());
        std::fflush(stdout);
    }
    bool AskYesNo(const std::string& text, const std::string&) override {
        std::printf("question %s\n", text.c_str());
        std::fflush(stdout);
        return false;
    }
};

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s driver.ini\n", argv[0]);
        return 2;
    }
    const std::string ini = argv[1];
    PrintingFrontEnd front;
    ControllerEnvironment env;
    env.dataRoot = Value(ini, "dataRoot");
    env.workingDirectory = Value(ini, "workDir");
    const bool embedded = Value(ini, "embedded") == "1";
    // Left empty, both mean this program's own.
    if (!embedded) {
        env.resourceFile = Value(ini, "resourceFile");
        env.programVersion = "1.0.0.1";
    }
    const std::string place = Value(ini, "place");
    env.defaultSavePlace = [place] { return place; };
    env.choosePort = [] { return 0; };
    env.frontEnd = &front;

    DownloadController controller(env);
    ControllerStartup::Options start;
    if (!embedded) {
        ControllerConfig config;
        config.productKey = Value(ini, "productKey");
        for (int i = 0; i < kPackageFileCount; ++i) {
            const std::string n = std::to_string(i);
            config.packageUrls[i] = Value(ini, "url" + n);
            config.fileNames[i] = Value(ini, "name" + n);
            config.expectedSizes[i] = std::strtoull(Value(ini, "size" + n).c_str(), nullptr, 10);
            config.expectedMd5[i] = Value(ini, "md5" + n);
        }
        start.config = config;
    }
    // The instance objects lie with the driver's data, so that drivers of other tests
    // (which may share a package) never meet.
    if (!env.dataRoot.empty()) {
        start.instanceFolder = platform::JoinPath(env.dataRoot, "instance");
        CreateFolderChain(start.instanceFolder);
    }
    auto reportStart = [&controller](int result) {
        std::printf("initialized %d state %u\n", result, controller.State());
        std::fflush(stdout);
    };
    // Before the start button is pressed: the state the start found.
    start.beforeStart = [&](ControllerStartup::Outcome outcome) {
        reportStart(outcome == ControllerStartup::Outcome::Resumed ? 1 : 0);
    };
    start.pressStart = true;
    ControllerStartup startup(controller, std::move(start));
    switch (startup.Start()) {
    case ControllerStartup::Outcome::AlreadyRunning:
        std::printf("already running\n");
        return 3;
    case ControllerStartup::Outcome::Failed:
    case ControllerStartup::Outcome::Expired:
        reportStart(startup.InitResult());
        return 1;
    default:
        break;
    }

    ControllerTimers timers(controller);
    unsigned reported = 0;
    int shown = static_cast<int>(controller.State());
    timers.Start([&](int state) {
        if (state != shown) {
            shown = state;
            std::printf("state %d\n", state);
            std::fflush(stdout);
        }
        const unsigned p = controller.Progress();
        if (p >= reported + 100 || (p == 10000 && reported != 10000)) {
            reported = p;
            std::printf("progress %u state %d\n", p, state);
            std::fflush(stdout);
        }
    });
    platform::SingleInstance* instance = startup.Instance();
    for (;;) {
        pollfd p{instance ? instance->activationFd() : -1, POLLIN, 0};
        if (::poll(&p, 1, 1000) > 0 && (p.revents & POLLIN))
            instance->HandlePending();
    }
}
