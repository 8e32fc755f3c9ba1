// The call's dimension-code table.
#include "core/common/request.hpp"

#include <algorithm>

namespace dfbh {

CodeTable::CodeTable(const OrderedMap<int16_t, int16_t>& index_map) {
    index_map_values_.reserve(index_map.size());
    for (const auto& entry : index_map.entries()) {
        index_map_values_.push_back(entry.second);
        // Keys outside int8 are never looked up, but their values still
        // count among the distinct dimension values.
        if (entry.first >= -128 && entry.first <= 127) {
            const uint8_t slot = code_slot(static_cast<int8_t>(entry.first));
            known_[slot] = true;
            mapped_[slot] = entry.second;
        }
    }
    std::sort(index_map_values_.begin(), index_map_values_.end());
    index_map_values_.erase(std::unique(index_map_values_.begin(), index_map_values_.end()), index_map_values_.end());
}

std::vector<int16_t> CodeTable::distinct_values() const {
    std::vector<int16_t> values;
    values.reserve(index_map_values_.size() + 1);
    values.assign(index_map_values_.begin(), index_map_values_.end());
    if (zero_added_) {
        auto it = std::lower_bound(values.begin(), values.end(), int16_t{0});
        if (it == values.end() || *it != 0) values.insert(it, int16_t{0});
    }
    return values;
}

void CodeTable::add_missing(const MissingCodes& looked_up) {
    for (size_t slot = 0; slot < looked_up.size(); ++slot) {
        if (looked_up[slot] && !known_[slot]) {
            known_[slot] = true;
            mapped_[slot] = 0;
            zero_added_ = true;
        }
    }
}

}  // namespace dfbh
