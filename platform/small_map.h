// A map for the handful of entries the program keeps (processes, handles):
// a vector searched in order. The standard map's tree code would weigh
// kilobytes in the image for a dozen entries.
#pragma once

#include <algorithm>
#include <initializer_list>
#include <utility>
#include <vector>

namespace tolvane {

template <typename Key, typename Value>
class SmallMap {
public:
    using Entry = std::pair<Key, Value>;
    using iterator = typename std::vector<Entry>::iterator;
    using const_iterator = typename std::vector<Entry>::const_iterator;

    SmallMap() = default;
    SmallMap(std::initializer_list<Entry> entries) : entries_(entries) {}

    iterator begin() { return entries_.begin(); }
    iterator end() { return entries_.end(); }
    const_iterator begin() const { return entries_.begin(); }
    const_iterator end() const { return entries_.end(); }

    iterator find(const Key& key) {
        return std::find_if(entries_.begin(), entries_.end(), [&](const Entry& entry) { return entry.first == key; });
    }
    const_iterator find(const Key& key) const {
        return std::find_if(entries_.begin(), entries_.end(), [&](const Entry& entry) { return entry.first == key; });
    }
    std::size_t count(const Key& key) const { return find(key) == end() ? 0 : 1; }
    // Adds the key with a value-initialised value when it is not there.
    // Iterators and references taken before may no longer be valid.
    Value& operator[](const Key& key) {
        const auto found = find(key);
        if (found != end()) return found->second;
        entries_.emplace_back(key, Value());
        return entries_.back().second;
    }
    void erase(const Key& key) {
        const auto found = find(key);
        if (found != end()) entries_.erase(found);
    }
    void clear() { entries_.clear(); }

private:
    std::vector<Entry> entries_;
};

}  // namespace tolvane
