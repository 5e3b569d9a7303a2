// The table a run prints as it plays: a row for every frame (runs of alike frames folded), for
// every step between frames as the scenario wrote it, and for every note, in the file's order.
#pragma once

#include <optional>
#include <string>

namespace testbed {

class RunTable {
public:
    explicit RunTable(bool otherColumn) : otherColumn_(otherColumn) {}

    // What a frame gave, as the table shows it.
    struct FrameRow {
        std::string result;
        std::string handbrake;
        bool gameRan;
        std::optional<bool> otherRan;  // with another plugin loaded
        std::string failure;
        bool operator==(const FrameRow&) const = default;
    };

    void Frame(int frame, const std::string& label, const FrameRow& row);
    // Frames alike to the row before and the row after, left out.
    void Folded(int count);
    // A step of the scenario other than frames, as written; with what failed in it, if anything.
    void Step(const std::string& text, const std::string& failure = {});
    // The author's note, or what the host or the testbed has to say.
    void Note(const std::string& text);

private:
    void Row(const std::string& text);

    bool otherColumn_;
    bool started_ = false;
};

}  // namespace testbed
