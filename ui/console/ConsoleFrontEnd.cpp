#include "ui/console/ConsoleFrontEnd.h"

#include "platform/AsciiText.h"
#include "ui/console/ConsoleDisplay.h"
#include "ui/console/ConsoleTexts.h"

#include <cerrno>
#include <poll.h>
#include <unistd.h>

ConsoleFrontEnd::ConsoleFrontEnd(ConsoleDisplay& display, CliOptions::Verify answer, int inputFd, Hooks hooks)
    : display_(display), answer_(answer), inputFd_(inputFd), hooks_(std::move(hooks)) {}

void ConsoleFrontEnd::ShowModalMessage(const std::string& text, const std::string& caption) {
    display_.ShowMessage(text, caption);
}

int ConsoleFrontEnd::ParseAnswer(const std::string& line) {
    std::string word;
    for (char c : line) {
        if (c != ' ' && c != '\t' && c != '\r' && c != '\n')
            word.push_back(platform::AsciiLower(c));
    }
    if (word.empty() || word == "y" || word == "yes" || word == "\xe6\x98\xaf") // UTF-8 "是"
        return 1;
    if (word == "n" || word == "no" || word == "\xe5\x90\xa6") // UTF-8 "否"
        return 0;
    return -1;
}

bool ConsoleFrontEnd::ReadLine(std::string& line) {
    line.clear();
    for (;;) {
        if (hooks_.interrupted && hooks_.interrupted())
            return false;
        if (hooks_.whileAsking)
            hooks_.whileAsking();
        pollfd p{inputFd_, POLLIN, 0};
        const int r = ::poll(&p, 1, 100);
        if (r < 0 && errno != EINTR)
            return false;
        if (r <= 0)
            continue;
        char c = 0;
        const ssize_t n = ::read(inputFd_, &c, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return !line.empty();
        if (c == '\n')
            return true;
        line.push_back(c);
    }
}

bool ConsoleFrontEnd::AskYesNo(const std::string& text, const std::string& caption) {
    bool yes = true;
    const CliOptions::Verify answer = answer_.load();
    if (answer != CliOptions::Verify::Ask) {
        yes = answer == CliOptions::Verify::Yes;
        display_.ShowMessage(text + " " + (yes ? "\xca\xc7" : "\xb7\xf1"), caption); // GBK 是 / 否
    } else {
        // The end of the input or an interrupt takes the default: verifying is the
        // answer that starts nothing that cannot be stopped.
        for (;;) {
            display_.BeginPrompt("[" + caption + "] " + text + texts::kCliYesNo);
            std::string line;
            const bool got = ReadLine(line);
            display_.EndPrompt(line);
            if (!got)
                break;
            const int parsed = ParseAnswer(line);
            if (parsed >= 0) {
                yes = parsed == 1;
                break;
            }
        }
    }
    lastAnswer_.store(yes ? 1 : 0);
    return yes;
}

void ConsoleFrontEnd::PostPrimaryAction() {
    if (hooks_.postPrimaryAction)
        hooks_.postPrimaryAction();
}

void ConsoleFrontEnd::CloseMainWindow() {
    closeRequested_.store(true);
    if (hooks_.closeMainWindow)
        hooks_.closeMainWindow();
}
