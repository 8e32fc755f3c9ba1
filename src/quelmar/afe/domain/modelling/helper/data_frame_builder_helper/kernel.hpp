// The per-split working data shared by the split worker, the aggregation scan
// and the row writers. Every ordered-map lookup that the computation would
// make per transaction or per written cell is resolved here once per split
// into flat tables: dimension code -> value record, horizon value ->
// position, (dimension, operator, horizon) -> result column.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "core.hpp"

namespace dfbh {

// Routine names used in the context strings of unraisable reports.
namespace routine {
constexpr const char* exec_for_split = "exec_for_split";
constexpr const char* get_distinct_values = "get_distinct_values";
constexpr const char* get_resolution_in_seconds = "get_resolution_in_seconds";
constexpr const char* get_span = "get_span";
constexpr const char* get_horizon = "get_horizon";
constexpr const char* get_aggregates_and_fill_row = "get_aggregates_and_fill_row";
constexpr const char* fill_row = "fill_row";
constexpr const char* fill_row_for_ratio_column = "fill_row_for_ratio_column";
}  // namespace routine

// ---- time windows -------------------------------------------------------

// Length of one resolution unit in milliseconds, or 0 for an unknown code.
int64_t unit_ms_of(int32_t resolution);
std::string resolution_not_recognized(int32_t resolution);

// 64-bit time arithmetic saturates instead of wrapping: a window that would
// reach past the ends of the int64 time line is clipped to it.
inline int64_t sat_sub(int64_t a, int64_t b) {
    int64_t r;
    if (!__builtin_sub_overflow(a, b, &r)) return r;
    return b < 0 ? INT64_MAX : INT64_MIN;
}
inline int64_t sat_mul(int64_t a, int64_t b) {
    int64_t r;
    if (!__builtin_mul_overflow(a, b, &r)) return r;
    return ((a < 0) != (b < 0)) ? INT64_MIN : INT64_MAX;
}

// One entity's windows: `partitions` sorted by (bound, horizon), each entry
// also carrying the buffer position of its horizon.
struct Partitions {
    std::vector<int64_t> bound;
    std::vector<int32_t> horizon;
    std::vector<int32_t> position;
    int64_t upper_limit = 0;
    int64_t lower_limit = 0;
};

// ---- entities -------------------------------------------------------------

// entity -> the view of its transaction rows, or null. A dense table over
// the valid entity indices [0, n_entities) when that is not much larger than
// the map, so that a lookup is one load instead of a binary search; the
// map's own search otherwise. Built once per call.
class EntityRowsIndex {
public:
    EntityRowsIndex(const OrderedMap<int32_t, View1<int32_t>>& map, int64_t n_entities);
    const View1<int32_t>* find(int32_t entity) const {
        if (entity >= 0 && static_cast<uint64_t>(entity) < dense_.size()) return dense_[entity];
        return dense_.empty() ? map_.find(entity) : nullptr;
    }

private:
    const OrderedMap<int32_t, View1<int32_t>>& map_;
    std::vector<const View1<int32_t>*> dense_;
};

// ---- the split plan -----------------------------------------------------

// A value record stands for one dimension value a transaction can be
// aggregated under. Records 0..D-1 are the split's distinct dimension values
// in ascending order (record id == dimension index). A dimension code that
// is missing from index_map is aggregated under mapped value 0; when 0 is
// not one of the split's values, such a transaction has no cell in this
// split: record D, whose dim is -1. It still counts for everything that is
// kept per entity (CountDistinct, Mode, the horizon reached), but never
// lands in another value's cell.
struct ValueRecord {
    int32_t dim = 0;          // dimension index of its cells; -1: none
    bool in_group = false;    // value == dim_group_id
};

constexpr int32_t NO_COLUMN = -1;

// One result cell of a row: the aggregate at `from` (a float index into the
// aggregate buffer) stored at byte offset `to` within the result row.
struct CellWrite {
    int64_t to;
    int32_t from;
};

// One ratio cell: Sum at `from` divided by horizon_totals[total].
struct RatioWrite {
    int64_t to;
    int32_t from;
    int32_t total;
};

struct SplitPlan {
    const ExecuteArgs* args = nullptr;
    const ModuleConstants* constants = nullptr;

    // horizons
    std::vector<int32_t> horizon_list;
    int32_t H = 0;
    int32_t min_horizon = 0, max_horizon = 0;
    // Without a date column every transaction has horizon 1: its position,
    // and whether looking 1 up would have added it to index_by_horizon.
    int32_t no_date_position = 0;
    bool no_date_inserted = false;
    std::vector<int32_t> list_position;      // index_by_horizon[horizon_list[k]]
    std::vector<int32_t> distinct_horizons;  // keys of index_by_horizon, ascending
    std::vector<int32_t> distinct_position;  // their (last) positions
    std::vector<int32_t> distinct_of_position;  // position -> index into distinct_horizons

    // dimension values
    std::vector<int16_t> dim_values;  // ascending; D entries
    int32_t D = 0;
    std::vector<ValueRecord> records;      // D dimension values, then the one without a cell
    // Value record of each int8 code, by (uint8_t)code; ~record (negative)
    // for a code that index_map lacks, until the scan adds it there.
    std::array<int32_t, 256> record_of_code{};

    // flags
    bool ratio_requested = false;
    bool count_distinct_requested = false;
    bool mode_requested = false;
    bool group_only = false;
    bool restricted = false;  // fill_row's group restriction
    int64_t unit_ms = 0;
    std::vector<int64_t> bound_offset;  // (horizon + offset) * unit_ms per partition entry
    std::vector<int32_t> bound_horizon;
    std::vector<int32_t> bound_position;
    // The entries in the order of their bounds, which is the same for every
    // target date as long as no bound saturates; bound_offset[H] belongs to
    // lower_limit.
    std::vector<int32_t> bound_order;
    int64_t min_bound_offset = 0, max_bound_offset = 0;

    // row writing tables
    int32_t min_position = 0;  // index_by_horizon[min_horizon]
    int32_t last_horizon_value = 0;  // horizon_list[H - 1]
    // fill_row's set-one and set-two cells in write order (a later write to
    // the same column wins), keys without a column already dropped.
    std::vector<CellWrite> cell_writes;
    // Ratio cells outside feature-group mode, by (dimension, distinct horizon).
    std::vector<RatioWrite> ratio_writes;
    int32_t first_horizon = 0;
    int32_t group_record = -1;   // dimension index of dim_group_id, -1 if absent
    int32_t group_ratio_column = NO_COLUMN;
    int32_t first_horizon_position = -1;     // its last position
    std::vector<int32_t> first_horizon_positions;  // all of its positions

    // Returns index_by_horizon[h]; a value that is not in horizon_list has
    // position 0 and sets *inserted, since the lookup would have added it.
    int32_t position_of(int32_t h, bool* inserted) const;
};

// What the scan keeps per value record: whether it has an accepted
// transaction, its largest horizon so far with that horizon's position, and
// the largest and smallest span of its transactions.
struct RecordState {
    int32_t seen;
    int32_t last_horizon;
    int32_t last_position;
    float span_largest;
    float span_smallest;
};

// Per-split scratch reused by every entity of the split (allocated once).
struct EntityScratch {
    std::vector<float> buffer;  // aggregate_buffer, [D][H][9]; NaN between entities
    Partitions partitions;
    std::vector<RecordState> records;
    std::vector<int32_t> seen_dims;  // dimension indices with an accepted transaction, in order seen
    // CountDistinct / Mode: counts per int8 code, values per horizon position
    std::array<int32_t, 256> code_counts{};
    std::vector<int32_t> stat_present;
    std::vector<double> distinct_count_at, mode_at;
    std::array<int32_t, 256> record_of_code{};  // the plan's, as the split's scans update it
    std::vector<float> horizon_totals;
};

void build_row_tables(SplitPlan& plan);
void partition(const SplitPlan& plan, Partitions& out, int64_t target_date, Host& host);
float report_unknown_resolution_in_span(const SplitPlan& plan, Host& host);

// Age of a transaction in resolution units: the int64 difference divided in
// double precision, rounded to float32. 0.0 after reporting an unknown unit.
inline float get_span(const SplitPlan& plan, int64_t target_date, int64_t date, Host& host) {
    if (plan.unit_ms == 0) return report_unknown_resolution_in_span(plan, host);
    const double diff = static_cast<double>(sat_sub(target_date, date));
    return static_cast<float>(diff / static_cast<double>(plan.unit_ms));
}

// Scans one entity and writes its row; false when the entity was abandoned
// after a report (its row keeps what it held).
void get_aggregates_and_fill_row(const SplitPlan& plan, EntityScratch& scratch,
                                 int64_t row_index, int64_t target_date,
                                 const View1<int32_t>& entity_rows, ExecuteArgs& args,
                                 Host& host);

void fill_row(const SplitPlan& plan, EntityScratch& scratch, int64_t row_index);
void fill_row_for_ratio_column(const SplitPlan& plan, EntityScratch& scratch, int64_t row_index);

}  // namespace dfbh
