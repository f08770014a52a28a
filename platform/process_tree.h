// The processes a program started, directly or through its children, found
// from the parent process ids Windows keeps: the way that needs no job
// object, which Windows XP to 7 cannot give a program that runs in a job
// already (started by the Task Scheduler, RunAs, a remote session).
#pragma once

#include <windows.h>

#include <cstdint>
#include <map>
#include <vector>

namespace tolvane {

struct ProcessEntry {
    std::uint32_t id;
    std::uint32_t parentId;
    ULONGLONG createdAt;  // FILETIME ticks; 0 when it cannot be read
};

// `family` maps the processes known to be the program's (the program
// itself first) to their creation times. Adds every entry of `running`
// whose parent is in the family and that was created no earlier than that
// parent. A process older than its parent id's owner is not its child: its
// real parent ended and Windows has given the id to another process since.
void addDescendants(std::map<std::uint32_t, ULONGLONG>& family, const std::vector<ProcessEntry>& running);

}  // namespace tolvane
