// The plan of a split: everything the scan and the row writers need that
// does not depend on the entity, worked out once. Every ordered-map lookup
// the computation would make per transaction or per written cell is
// resolved here into flat tables: int8 code -> cell row, horizon value ->
// buffer position, (dimension, operator, horizon) -> result column.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/common/failure.hpp"
#include "core/common/request.hpp"
#include "core/plan/windows.hpp"

namespace dfbh {

// What the scan does with a transaction of one int8 code.
struct CodeEntry {
    // Dimension index of the code's cells. A code that index_map lacks is
    // aggregated under mapped value 0; when 0 is not a dimension value of
    // the split, such a transaction has no cell (-1): it still counts for
    // what is kept per entity (CountDistinct, Mode, the horizon reached).
    int32_t dim = -1;
    int32_t group_dim = -1;  // dim when in_group, else -1
    bool in_group = false;   // its mapped value is the group value
    bool missing = false;   // index_map lacks the code
};

// One result cell of a row: the aggregate at float index `from` of the
// aggregate buffer, stored at byte offset `to` of the result row.
struct CellWrite {
    int64_t to;
    int32_t from;
};

// One ratio cell outside feature-group mode: the Sum at `from` divided by
// the total of distinct horizon `total`.
struct RatioWrite {
    int64_t to;
    int32_t from;
    int32_t total;
};

// Byte moves of one size into a result row: `to` in the row, `from` in the
// source (the aggregate buffer, or the row image).
struct Move {
    int64_t to;
    int64_t from;
};

// Runs of adjacent columns fed by adjacent sources, cut into 16-, 8- and
// 4-byte moves (the last move of a run may overlap the one before it: a
// 28-byte run is two 16-byte moves). The moves of a set go to distinct
// bytes, so their order is free.
struct MoveSet {
    std::vector<Move> m16, m8, m4;
};

// A result row written through an image: when the cells of a row go to
// distinct columns, the row's column range is kept as an image whose cells
// hold what an entity without transactions gets (NaN). Per entity only the
// cells of the dimension values it has transactions for, and the
// entity-wide CountDistinct / Mode cells, are set in the image; the written
// columns are then copied into the result row in runs and the image set
// back. Wide rows of which an entity touches a few dimension values cost a
// block copy instead of a store per cell.
struct ImageWrite {
    int32_t column;  // index within the image
    int32_t from;    // float index in the aggregate buffer
};
struct RowImage {
    bool used = false;
    int64_t first = 0;  // byte offset in the row of the image's first column
    int32_t columns = 0;
    std::vector<int32_t> dim_begin;  // writes of dimension index d: [dim_begin[d], dim_begin[d + 1])
    std::vector<ImageWrite> dim_writes;
    std::vector<ImageWrite> statistics_writes;  // CountDistinct / Mode cells of every dimension value
    // What is copied from the image to the row (offset from `first`,
    // bytes): the runs of written columns, or, when they are many, the whole
    // range, with the columns no write reaches (`kept`) first read from the
    // row into the image. On a result far larger than the caches the copy
    // uses stores that bypass them (the lines are then never read).
    std::vector<std::pair<int64_t, int64_t>> runs;
    std::vector<int32_t> kept;
    bool stream = false;
};

// A result row written as one block per dimension value: when the cells
// of every dimension value go to a contiguous run of columns, the same
// cells in the same order for each, a value's block is assembled from its
// cells and copied as one run. A value without transactions gets the same
// block as every other such value (NaN apart from CountDistinct and
// Mode), assembled once per row from the grid's spare dimension index D:
// the work per row is one copy per value plus what the values with
// transactions add.
struct RowBlocks {
    bool used = false;
    int32_t width = 0;               // floats per block, at least 4
    std::vector<int64_t> to;         // byte offset of each block in the row
    std::vector<int32_t> block_of;   // per dimension index: its block, -1 for none
    // A block from its value's cells: runs of adjacent cells as moves,
    // `from` a byte offset in the cells, `to` one in the block.
    MoveSet assembly;
};

// Where result rows are written: the byte stride between columns and their
// number (keys of columns outside it are never written), and the bytes the
// rows of the call span.
struct ResultColumns {
    int64_t stride = 0;
    int64_t count = 0;
    int64_t total_bytes = 0;
};

struct SplitPlan {
    const ModuleConstants* constants = nullptr;
    int32_t resolution = 0;
    FeatureGroup group;
    bool has_date = false;  // a date column is read

    // CountDistinct and Mode of a horizon whose window holds no accepted
    // transaction: 0 for execute; a driver may ask for NaN instead.
    float empty_statistic = 0.0f;

    // Operator flags.
    bool ratio_requested = false;
    bool count_distinct_requested = false;
    bool mode_requested = false;
    // Whether a scan counts the codes (for CountDistinct or Mode).
    bool counts_codes() const { return count_distinct_requested || mode_requested; }
    bool group_only = false;  // the scan keeps the group value's transactions only
    bool restricted = false;  // fill_row writes the group value's cells only

    // Horizons. `horizon_list` is the working list; the position of a
    // horizon value is its last position in that list.
    std::vector<int32_t> horizon_list;
    int32_t H = 0;
    int32_t min_horizon = 0, max_horizon = 0;
    std::vector<int32_t> list_position;         // position of horizon_list[k]
    std::vector<int32_t> distinct_horizons;     // ascending
    std::vector<int32_t> distinct_position;     // position of distinct_horizons[u]
    std::vector<int32_t> distinct_of_position;  // position -> its u
    // Without a date column every transaction has horizon 1: its position,
    // and whether 1 is outside horizon_list (it then has position 0, and the
    // time-since values also go to position 0).
    int32_t no_date_position = 0;
    bool no_date_outside_list = false;

    // Dimensions: the split's distinct dimension values, ascending (their
    // index is the first index of the aggregate buffer), and the entry of
    // every int8 code.
    std::vector<int16_t> dim_values;
    int32_t D = 0;
    std::array<CodeEntry, 256> code_entries{};

    WindowPlan windows;
    // For horizon lists in strictly ascending order (what the front end and
    // feature-group mode give) whose window starts ascend in milliseconds as
    // well: position j's window starts window_start_offset[j] before the
    // target date, and a date belongs to the first position whose start is
    // not after it. Scans of rows in newest-first order use this instead of
    // the general window lookup (see EntityScanner::scan_ordered).
    bool ordered_windows = false;
    int64_t window_end_offset = 0;  // offset * unit: the common window end
    std::vector<int64_t> window_start_offset;

    // Row writing. fill_row's set-one and set-two cells in write order (a
    // later write to the same column wins), keys without a column dropped.
    std::vector<CellWrite> cell_writes;
    bool distinct_columns = false;  // no column is written twice: the writes' order is free
    MoveSet moves;                  // cell_writes as moves, when the columns are distinct and contiguous
    int64_t direct_cost = 0;        // rough instructions of writing a row with the moves
    RowImage image;
    RowBlocks blocks;
    std::vector<RatioWrite> ratio_writes;
    // Ratio writes of dimension index d: [ratio_begin[d], ratio_begin[d + 1]).
    // With many dimension values the totals and the writes visit only the
    // values an entity touched (the others' Sum is NaN: they add nothing
    // and get no ratio cell); with few, fixed loops over every value
    // predict better.
    std::vector<int32_t> ratio_begin;
    bool ratio_by_seen = false;
    std::vector<int64_t> prefetch_lines;  // row offsets that cover the lines the writers read
    // The aggregate slots some write reads (bit s for slot s); a scanner may
    // leave the others unset.
    uint32_t slots_read = 0;
    bool reads(int32_t slot) const { return (slots_read >> slot) & 1u; }
    // The feature-group ratio: the group value's share at the first
    // requested horizon.
    int32_t group_dim = -1;                   // dimension index of the group value, -1 if absent
    std::optional<int64_t> group_ratio_to;   // byte offset of its column
    int32_t first_horizon_position = -1;      // last position of the first horizon, -1 if absent
    std::vector<int32_t> first_horizon_positions;  // all of its positions

    // Position of horizon value h: its last position in horizon_list, or 0
    // with *outside set for a value that is not in the list.
    int32_t position_of(int32_t h, bool* outside) const;
    // Dimension index of a dimension value, -1 for one the split lacks.
    int32_t dim_index_of(int32_t value) const;

    // Calls visit(position) for every element g of horizon_list, in list
    // order, with above < g and g < below (g <= below when `inclusive`): the
    // horizons a cumulative value is carried over.
    template <typename Visit>
    void for_each_horizon_between(int32_t above, int32_t below, bool inclusive, Visit&& visit) const {
        for (int32_t k = 0; k < H; ++k) {
            const int32_t g = horizon_list[k];
            if (g > above && (inclusive ? g <= below : g < below)) visit(list_position[k]);
        }
    }
};

// What the scan needs of a request besides its columns: the windows, the
// feature-group mode and which code statistics and ratios are asked for.
struct ScanSettings {
    int32_t offset = 0;
    int32_t resolution = 0;
    FeatureGroup group;
    bool ratio = false;
    bool count_distinct = false;
    bool mode = false;
};

// The first half of a split's plan: its distinct dimension values and its
// horizon list (`horizons`, sorted and without repeats when `sorted`),
// which size the aggregate buffer.
void plan_split_shape(SplitPlan& plan, const std::vector<int32_t>& horizons, bool sorted, const CodeTable& codes,
                      Reporter& reporter);

// Everything but the row writers' tables, once the buffer exists: horizon
// positions, code entries, operator flags and windows.
void plan_scan(SplitPlan& plan, const ScanSettings& settings, const CodeTable& codes,
               const ModuleConstants& constants, bool has_date);

// Whether the ordered windows serve this target: the plan has them, and
// none of their starts (nor the common end) leaves the int64 time line, so
// they are exact. Other targets take the general window lookup.
inline bool ordered_windows_fit(const SplitPlan& plan, int64_t target_date) {
    if (!plan.ordered_windows) return false;
    int64_t unused;
    return !__builtin_sub_overflow(target_date, plan.window_end_offset, &unused) &&
           !__builtin_sub_overflow(target_date, plan.window_start_offset.back(), &unused);
}

}  // namespace dfbh
