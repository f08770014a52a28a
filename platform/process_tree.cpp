#include "platform/process_tree.h"

namespace tolvane {

std::vector<std::uint32_t> familyRunning(ProcessFamily& family,
                                         const std::vector<ProcessEntry>& running) {
    ProcessFamily holders;  // id -> creation time of the process holding it now
    for (const ProcessEntry& entry : running) holders[entry.id] = entry.createdAt;
    const auto stillHeld = [&](ProcessFamily::const_iterator member) {
        const auto holder = holders.find(member->first);
        return holder == holders.end() || holder->second == member->second;
    };
    for (bool added = true; added;) {
        added = false;
        for (const ProcessEntry& entry : running) {
            if (entry.createdAt == 0 || family.count(entry.id) != 0) continue;
            const auto parent = family.find(entry.parentId);
            if (parent == family.end() || !stillHeld(parent) || entry.createdAt < parent->second) continue;
            family[entry.id] = entry.createdAt;
            added = true;
        }
    }
    std::vector<std::uint32_t> ids;
    for (const ProcessEntry& entry : running) {
        const auto member = family.find(entry.id);
        if (member != family.end() && member->second == entry.createdAt) ids.push_back(entry.id);
    }
    return ids;
}

}  // namespace tolvane
