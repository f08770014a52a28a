// Where the window writes what it hears: the run's log (RunLog). The
// Windows side knows the log only through this, so that the two do not
// call each other.
#pragma once

#include <string>

namespace tolvane {

class LogLines {
public:
    // A line stamped with the time since the start.
    virtual void add(const std::wstring& text) noexcept = 0;
    // Lines handed over by the elevated instance (see InstanceChannel).
    virtual void addHanded(const std::wstring& lines) noexcept = 0;

protected:
    ~LogLines() = default;
};

}  // namespace tolvane
