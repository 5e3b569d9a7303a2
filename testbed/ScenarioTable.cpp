#include "ScenarioTable.h"

#include <algorithm>
#include <cstdio>

namespace testbed {

namespace {

// Left-aligned in `width` columns, as printf's %-Ns does: a longer text keeps its length.
std::string Padded(std::string text, std::size_t width) {
    text.resize(std::max(text.size(), width), ' ');
    return text;
}

std::string Failed(const std::string& failure) {
    return failure.empty() ? "" : "   <- " + failure;
}

}  // namespace

void RunTable::Row(const std::string& text) {
    if (!started_) {
        std::printf(
            "\nframe  what happens                       hook returned      handbrake game ran%s\n",
            otherColumn_ ? "  other ran" : "");
        started_ = true;
    }
    std::fputs(text.c_str(), stdout);
}

void RunTable::Frame(int frame, const std::string& label, const FrameRow& row) {
    const std::string number = std::to_string(frame);
    const std::string ran = row.gameRan ? "yes" : "no";
    Row(std::string(number.size() < 5 ? 5 - number.size() : 0, ' ') + number + "  " +
        Padded(label, 34) + " " + Padded(row.result, 18) + " " + Padded(row.handbrake, 9) + " " +
        (row.otherRan ? Padded(ran, 10) + (*row.otherRan ? "yes" : "no") : ran) +
        Failed(row.failure) + "\n");
}

void RunTable::Folded(int count) {
    char text[64];
    std::snprintf(text, sizeof text, "%5s  (%d more alike)\n", "...", count);
    Row(text);
}

void RunTable::Step(const std::string& text, const std::string& failure) {
    Row("       > " + text + Failed(failure) + "\n");
}

void RunTable::Note(const std::string& text) {
    Row("       -- " + text + "\n");
}

}  // namespace testbed
