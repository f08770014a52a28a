// Where the window and the channel between the two instances write what
// they hear: the run's log (RunLog). The Windows side knows the log only
// through this, so that the two do not call each other.
#pragma once

#include <string>

namespace tolvane {

class LogLines {
public:
    // A line stamped with the time since the start.
    virtual void add(const std::wstring& text) noexcept = 0;
    // Lines handed over by the elevated instance ("<tick>\t<text>\0" each).
    virtual void addHanded(const std::wstring& lines) noexcept = 0;
    // The lines said so far handed over, where they go to another instance.
    virtual void flush() noexcept = 0;

protected:
    ~LogLines() = default;
};

// What carries the elevated instance's lines to the first instance's log
// (InstanceChannel): false when they could not be handed yet.
class LineCarrier {
public:
    virtual bool handLines(const std::wstring& lines) noexcept = 0;

protected:
    ~LineCarrier() = default;
};

}  // namespace tolvane
