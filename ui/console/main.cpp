// brisklane-cli: the downloader without a window. See README.md, "Console front end".
#include "platform/Paths.h"
#include "platform/TextEncoding.h"
#include "ui/console/CliOptions.h"
#include "ui/console/ConsoleApp.h"
#include "ui/console/ConsoleTexts.h"
#include "ui/console/SignalWatch.h"

#include <atomic>
#include <cstdio>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

void Print(FILE* to, const std::string& gbk) {
    const std::string text = platform::GbkToUtf8(gbk) + "\n";
    std::fwrite(text.data(), 1, text.size(), to);
    std::fflush(to);
}

std::string CurrentFolder() {
    std::vector<char> buffer(4096);
    return ::getcwd(buffer.data(), buffer.size()) ? std::string(buffer.data()) : std::string();
}

} // namespace

int main(int argc, char** argv) {
    // Before any other thread exists, so that every thread inherits the blocked signals.
    SignalWatch signals;
    std::atomic<ConsoleApp*> target{nullptr};
    signals.Start([&target](int) {
        if (ConsoleApp* app = target.load())
            app->Interrupt();
    });

    std::vector<std::string> args(argv + 1, argv + argc);
    CliOptions options = CliOptions::Parse(args, CurrentFolder());
    if (options.outcome == CliOptions::Outcome::Help) {
        Print(stdout, texts::kCliUsage);
        return ConsoleApp::kExitDone;
    }
    if (options.outcome == CliOptions::Outcome::UsageError) {
        Print(stderr, options.errorCaption.empty() ? "brisklane-cli: " + options.error
                                                   : "[" + options.errorCaption + "] " + options.error);
        if (options.errorCaption.empty())
            Print(stderr, texts::kCliUsage);
        return ConsoleApp::kExitUsage;
    }
    if (!options.saveDir.empty() && !platform::IsDirectory(options.saveDir)) {
        // The folder is file-system bytes; only the text before it is GBK.
        const std::string line = platform::GbkToUtf8(texts::kCliBadSaveDir) + options.saveDir + "\n";
        std::fwrite(line.data(), 1, line.size(), stderr);
        return ConsoleApp::kExitUsage;
    }

    ConsoleApp::Io io;
    io.in = STDIN_FILENO;
    io.out = STDOUT_FILENO;
    io.inTerminal = ::isatty(STDIN_FILENO) == 1;
    io.outTerminal = ::isatty(STDOUT_FILENO) == 1;
    ConsoleApp app(std::move(options), io);
    target.store(&app);
    // A signal before this point left its mark in the watch.
    if (signals.Signalled())
        app.Interrupt();
    const int code = app.Run();
    target.store(nullptr);
    signals.Stop();
    return code;
}
