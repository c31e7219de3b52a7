#include "ui/console/ConsoleDisplay.h"

#include "app/ControllerState.h"
#include "app/ControllerTexts.h"
#include "platform/TextEncoding.h"
#include "platform/WriteAll.h"
#include "ui/console/ConsoleTexts.h"

namespace {

constexpr char kEraseLine[] = "\x1b[2K";
constexpr char kWrapOff[] = "\x1b[?7l"; // long lines are cut, so the block keeps its height
constexpr char kWrapOn[] = "\x1b[?7h";

std::string Utf8(const std::string& gbk) {
    return platform::GbkToUtf8(gbk);
}

// Message texts may carry line breaks (the session code, the repair failure text).
std::string OneLine(std::string text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c == '\r')
            continue;
        if (c == '\n') {
            if (!out.empty() && out.back() != ' ')
                out.push_back(' ');
            continue;
        }
        out.push_back(c);
    }
    while (!out.empty() && out.back() == ' ')
        out.pop_back();
    return out;
}

std::string TrimRight(std::string s) {
    while (!s.empty() && s.back() == ' ')
        s.pop_back();
    return s;
}

std::string Bar(unsigned progress) {
    const unsigned filled = progress * ConsoleDisplay::kBarWidth / 10000;
    std::string bar = "[";
    bar.append(filled, '#');
    bar.append(ConsoleDisplay::kBarWidth - filled, '-');
    bar.push_back(']');
    return bar;
}

} // namespace

ConsoleDisplay::ConsoleDisplay(int fd, bool live) : fd_(fd), live_(live) {}

ConsoleDisplay::~ConsoleDisplay() {
    Finish();
}

std::string ConsoleDisplay::StateName(uint32_t state) {
    switch (state) {
    case ControllerState::kBack:
        return "back";
    case ControllerState::kReady:
        return "ready";
    case ControllerState::kPreparing:
        return "preparing";
    case ControllerState::kDownloading:
        return "downloading";
    case ControllerState::kPause:
        return "pause";
    case ControllerState::kResume:
        return "resume";
    case ControllerState::kFailed:
        return "failed";
    case ControllerState::kFinished:
        return "finished";
    case ControllerState::kRetry:
        return "retry";
    case ControllerState::kMd5Checking:
        return "md5checking";
    case ControllerState::kCheckRecover:
        return "checkrecover";
    case ControllerState::kCheckFinished:
        return "checkfinished";
    case ControllerState::kInstalling:
        return "installing";
    case ControllerState::kRecover:
        return "recover";
    case ControllerState::kReload:
        return "reload";
    case ControllerState::kClosedWithoutExit:
        return "closed";
    default:
        return "state" + std::to_string(state);
    }
}

std::string ConsoleDisplay::StatusLine(const ConsoleView& v) {
    std::string line = StateName(v.shown.state);
    line += "  " + Utf8(v.percentText);
    line += "  " + Utf8(v.statusText.empty() ? std::string("-") : v.statusText);
    line += "  " + Utf8(v.shown.sizeText);
    if (!v.completionText.empty())
        line += "  " + Utf8(v.completionText);
    return line;
}

std::vector<std::string> ConsoleDisplay::Frame(const ConsoleView& v) {
    std::vector<std::string> lines;
    lines.push_back(Utf8(texts::kCaption) + "  " + Utf8(v.shown.versionText));
    lines.push_back(Utf8(texts::kCliSaveFolderLabel) + " " + v.shown.savePath); // file-system bytes
    lines.push_back(Bar(v.barProgress) + "  " + Utf8(v.label) + " " + Utf8(v.percentText));
    const std::string middle = v.completionText.empty() ? v.statusText : v.completionText;
    lines.push_back(Utf8(middle) + "    " + Utf8(v.shown.sizeText) + "    " + StateName(v.shown.state));
    for (const ControllerView::FileRow& row : v.shown.files) {
        std::string name = Utf8(row.name);
        if (name.size() < 40)
            name.append(40 - name.size(), ' ');
        lines.push_back("  " + name + " " + TrimRight(Utf8(row.status)));
    }
    return lines;
}

void ConsoleDisplay::WriteLocked(const std::string& bytes) {
    platform::WriteAll(fd_, bytes);
}

std::string ConsoleDisplay::EraseLocked() const {
    if (frame_.empty())
        return {};
    return "\x1b[" + std::to_string(frame_.size()) + "A\r\x1b[J";
}

std::string ConsoleDisplay::DrawLocked() const {
    std::string out;
    for (const std::string& line : frame_)
        out += kEraseLine + line + "\n";
    return out;
}

void ConsoleDisplay::ShowFrame(const ConsoleView& view) {
    if (!live_)
        return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (prompting_)
        return;
    std::string out;
    if (!wrapOff_) {
        out += kWrapOff;
        wrapOff_ = true;
    }
    out += EraseLocked();
    frame_ = Frame(view);
    out += DrawLocked();
    WriteLocked(out);
}

void ConsoleDisplay::ShowStatusLine(const ConsoleView& view) {
    if (live_)
        return;
    std::lock_guard<std::mutex> lock(mutex_);
    WriteLocked(StatusLine(view) + "\n");
}

void ConsoleDisplay::ShowMessage(const std::string& text, const std::string& caption) {
    ShowLine("[" + caption + "] " + OneLine(text));
}

void ConsoleDisplay::ShowLine(const std::string& text, const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string out;
    if (live_ && !prompting_)
        out += EraseLocked();
    out += Utf8(text) + path + "\n";
    if (live_ && !prompting_)
        out += DrawLocked();
    WriteLocked(out);
}

void ConsoleDisplay::BeginPrompt(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string out;
    if (live_) {
        out += EraseLocked();
        if (wrapOff_) {
            out += kWrapOn;
            wrapOff_ = false;
        }
    }
    frame_.clear();
    prompting_ = true;
    out += Utf8(text);
    WriteLocked(out);
}

void ConsoleDisplay::EndPrompt(const std::string& echo) {
    std::lock_guard<std::mutex> lock(mutex_);
    prompting_ = false;
    // On a terminal the user's own line end stands already.
    WriteLocked(live_ ? std::string() : Utf8(echo) + "\n");
}

void ConsoleDisplay::Finish() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (wrapOff_) {
        WriteLocked(kWrapOn);
        wrapOff_ = false;
    }
    frame_.clear();
    prompting_ = true; // nothing redraws after the end
}
