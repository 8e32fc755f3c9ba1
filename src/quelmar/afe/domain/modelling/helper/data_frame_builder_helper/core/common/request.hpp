// What one computation asks for, independent of where its transactions and
// results live: the module constants read at load, the request (windows,
// dimension map, operators, result columns) and the call's dimension-code
// table. `execute` and the front end's engine each convert their arguments
// into these.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "core/common/views.hpp"

namespace dfbh {

// Aggregate slots: positions on the last axis of the aggregate buffer.
constexpr int32_t DENSITY_SLOT = 0;
constexpr int32_t MIN_SLOT = 1;
constexpr int32_t MAX_SLOT = 2;
constexpr int32_t SUM_SLOT = 3;
constexpr int32_t FREQUENCY_SLOT = 4;
constexpr int32_t COUNT_DISTINCT_SLOT = 5;
constexpr int32_t MODE_SLOT = 6;
constexpr int32_t TIME_SINCE_FIRST_SLOT = 7;
constexpr int32_t TIME_SINCE_LAST_SLOT = 8;
constexpr int32_t SLOT_COUNT = 9;

// Values read once at module load from AfeOperator and
// TransactionFileRecordReader; read-only afterwards.
struct ModuleConstants {
    float FLOAT32_NAN = 0.0f;
    OrderedMap<int32_t, int32_t> OPERATOR_SLOT_MAP;
    int32_t RATIO_CODE = 0;
    int32_t COUNT_DISTINCT_CODE = 0;
    int32_t MODE_CODE = 0;
    int32_t UNKNOWN_DIMENSION_VALUE = 0;

    // Slot of an operator code; a code without an entry uses DENSITY_SLOT.
    // (Looking it up would add it with that slot: no entry ever changes, so
    // answering without the insert is the same to every later reader.)
    int32_t slot_of(int32_t code) const {
        const int32_t* s = OPERATOR_SLOT_MAP.find(code);
        return s ? *s : DENSITY_SLOT;
    }
};

// Feature-group mode: the window end is inclusive and a NaN quantity is
// refused; unless `all_values` is set (or CountDistinct or Mode is asked
// for) only the transactions and cells of dimension value `value` count,
// and a Ratio is that value's share of all values, a row's only cell.
// `execute` takes it as for_afe_columns, dim_group_id and is_no_dim_col,
// the engine's entry as feature_group, group_value and all_values.
struct FeatureGroup {
    bool on = false;
    int32_t value = -1;
    bool all_values = false;
};

// The features asked for and where each lands: everything of a call except
// the transaction, target and result arrays.
struct FeatureRequest {
    std::vector<int32_t> horizons;
    int32_t offset = 0;
    int32_t resolution = 0;
    OrderedMap<int16_t, int16_t> index_map;
    std::vector<int32_t> included_operators;
    std::vector<int32_t> included_operator_set_one;
    std::vector<int32_t> included_operator_set_two;
    OrderedMap<int64_t, int32_t> column_name_map;
    int32_t nearest_exponent = 0;
    FeatureGroup group;
};

// Codes that a scan looked up without finding them in the code table.
using MissingCodes = std::array<bool, 256>;

inline uint8_t code_slot(int8_t code) { return static_cast<uint8_t>(code); }

// index_map as the int8 dimension codes of the transactions see it, for the
// whole call. Looking up a code that index_map lacks gives mapped value 0
// and adds the entry code -> 0, which every later split sees (its distinct
// dimension values then include 0). The splits record such lookups; the
// split loop adds them here between splits, so that the request itself
// stays unchanged.
class CodeTable {
public:
    explicit CodeTable(const OrderedMap<int16_t, int16_t>& index_map);

    bool known(int8_t code) const { return known_[code_slot(code)]; }
    int16_t mapped_value(int8_t code) const { return mapped_[code_slot(code)]; }

    // The distinct mapped values, ascending: those of index_map and 0 once
    // an entry code -> 0 has been added.
    std::vector<int16_t> distinct_values() const;

    void add_missing(const MissingCodes& looked_up);

private:
    std::array<bool, 256> known_{};
    std::array<int16_t, 256> mapped_{};
    std::vector<int16_t> index_map_values_;  // ascending, distinct
    bool zero_added_ = false;
};

}  // namespace dfbh
