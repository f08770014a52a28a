#include "platform/process_tree.h"

namespace tolvane {

void addDescendants(std::map<std::uint32_t, ULONGLONG>& family, const std::vector<ProcessEntry>& running) {
    for (bool added = true; added;) {
        added = false;
        for (const ProcessEntry& entry : running) {
            if (entry.createdAt == 0 || family.count(entry.id) != 0) continue;
            const auto parent = family.find(entry.parentId);
            if (parent == family.end() || entry.createdAt < parent->second) continue;
            family[entry.id] = entry.createdAt;
            added = true;
        }
    }
}

}  // namespace tolvane
