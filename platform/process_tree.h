// The processes a program started, directly or through its children, found
// from the parent process ids Windows keeps: the way that needs no job
// object, which Windows XP to 7 cannot give a program that runs in a job
// already (started by the Task Scheduler, RunAs, a remote session).
#pragma once

#include <windows.h>

#include <cstdint>
#include "platform/small_map.h"
#include <vector>

namespace tolvane {

struct ProcessEntry {
    std::uint32_t id;
    std::uint32_t parentId;
    ULONGLONG createdAt;  // FILETIME ticks; 0 when it cannot be read
};

// `family` maps the processes known to be the program's (the program
// itself first) to their creation times. Adds every entry of `running`
// whose parent is in the family, still holds its id, and was created no
// earlier than the child. Returns the ids in `running` that are the
// family's: held by the process recorded, with the creation time recorded.
// Windows gives the id of a process that ended to the next one it starts:
// a process older than its parent id's owner is not its child, and a
// process that now holds a family member's id is not the family's, nor are
// its children.
// The processes found to be the tracked program's so far: id -> creation time.
using ProcessFamily = SmallMap<std::uint32_t, ULONGLONG>;

std::vector<std::uint32_t> familyRunning(ProcessFamily& family,
                                         const std::vector<ProcessEntry>& running);

}  // namespace tolvane
