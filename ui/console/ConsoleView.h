#pragma once
// What the console shows: one controller snapshot and the texts that follow from it by
// the window's rules (the progress label and percentage, the status text that turns
// to what verification is doing, the completion mark). All texts GBK.
#include "app/ControllerView.h"

#include <string>

class ConsoleView {
public:
    // The snapshot; repaints counts the status texts drawn while repairing, which
    // alternate between the word and the speed.
    static ConsoleView Of(const ControllerView& snapshot, unsigned repaints);

    // The texts that follow from the snapshot; Of runs it, a test may again after
    // changing the snapshot.
    void Compose();

    ControllerView shown;
    unsigned repairRepaints = 0;

    // Composed.
    std::string label;       // "当前进度:" and its kin
    std::string percentText; // "45.20%", or "准备中"
    unsigned barProgress = 0;
    std::string statusText;     // speed, or what verification is doing
    std::string completionText; // in the states that show it instead of the status

    // The window's percentage: the value in 1/10000 as "%3.2f%%".
    static std::string FormatPercent(unsigned p);
};
