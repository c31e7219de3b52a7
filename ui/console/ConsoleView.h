#pragma once
// What the console shows, read from the controller the way the window reads it: the
// quick values every 100 ms (state and the percentages behind the bar), the texts once
// a second (the speed query among them moves the state machine and paces the mirror
// refresh, so it must not run more often than the window runs it). All texts GBK.
#include <array>
#include <cstdint>
#include <string>

class DownloadController;

class ConsoleView {
public:
    static constexpr int kRows = 4;

    struct Row {
        std::string name;
        std::string status;
    };

    // Every 100 ms.
    void ReadQuick(DownloadController& controller);
    // Every second.
    void ReadTexts(DownloadController& controller);
    // The texts that follow from the values by the window's rules; run after either read.
    void Compose();

    // Read.
    uint32_t state = 1;
    unsigned downloadProgress = 0; // 1/10000
    unsigned checkProgress = 0;
    unsigned repairProgress = 0;
    bool wasRepaired = false;
    unsigned repairRepaints = 0; // status texts drawn while repairing
    std::string speedText;       // the speed query's text
    std::string repairSpeedText;
    std::string sizeText;
    std::string versionText;
    std::string saveFolder;
    std::array<Row, kRows> rows;

    // Composed.
    std::string label;       // "当前进度:" and its kin
    std::string percentText; // "45.20%", or "准备中"
    unsigned barProgress = 0;
    std::string statusText;     // speed, or what verification is doing
    std::string completionText; // in the states that show it instead of the status

    // The save folder the controller reports (file-system bytes); empty when none.
    static std::string SaveFolderOf(DownloadController& controller);
    // The window's percentage: the value in 1/10000 as "%3.2f%%".
    static std::string FormatPercent(unsigned p);
};
