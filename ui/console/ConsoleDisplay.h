#pragma once
// The console's output. On a terminal a live block (progress bar, speed, size, status
// and the four file rows) is redrawn in place every 100 ms; elsewhere one plain line
// a second. Message lines go above the live block. Everything arrives GBK and leaves
// as UTF-8. Safe to call from any thread.
#include "ui/console/ConsoleView.h"

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

class ConsoleDisplay {
public:
    static constexpr int kBarWidth = 40;

    ConsoleDisplay(int fd, bool live);
    ~ConsoleDisplay();
    ConsoleDisplay(const ConsoleDisplay&) = delete;
    ConsoleDisplay& operator=(const ConsoleDisplay&) = delete;

    bool live() const { return live_; }
    // Live mode: draws the block anew. Plain mode: nothing.
    void ShowFrame(const ConsoleView& view);
    // Plain mode: one status line. Live mode: nothing.
    void ShowStatusLine(const ConsoleView& view);
    // "[caption] text", on one line.
    void ShowMessage(const std::string& text, const std::string& caption);
    // A line of the console's own; path (file-system bytes, shown as they are) follows
    // the text.
    void ShowLine(const std::string& text, const std::string& path = {});
    // Writes text with no line end and keeps the live block away until EndPrompt.
    void BeginPrompt(const std::string& text);
    void EndPrompt(const std::string& echo);
    // Leaves the last block standing and the terminal as it was found.
    void Finish();

    // The state's name as the controller's log calls it.
    static std::string StateName(uint32_t state);
    // The plain line, UTF-8: name, percentage, status (the speed while downloading),
    // size text and, where the window shows one, the completion mark; two blanks apart.
    static std::string StatusLine(const ConsoleView& view);
    // The live block's lines, UTF-8.
    static std::vector<std::string> Frame(const ConsoleView& view);

private:
    void WriteLocked(const std::string& bytes);
    std::string EraseLocked() const;
    std::string DrawLocked() const;

    std::mutex mutex_;
    int fd_;
    bool live_;
    bool prompting_ = false;
    bool wrapOff_ = false;
    std::vector<std::string> frame_; // the block last drawn; empty when none stands
};
