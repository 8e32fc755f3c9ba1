// The row writers' tables: which aggregate goes to which column of a
// result row, as a write list in write order, as moves of adjacent runs,
// and as a row image for wide rows; the ratio cells.
#include <algorithm>
#include <optional>

#include "core/rows/row_plan.hpp"

namespace dfbh {
namespace {

// dimension value * E * E + operator code * E + horizon, in 32-bit
// two's-complement arithmetic (wrapping), then sign-extended to 64 bits.
int64_t get_column_key(int32_t nearest_exponent, int32_t dim_value, int32_t operator_code, int32_t horizon) {
    const uint32_t e = static_cast<uint32_t>(nearest_exponent);
    const uint32_t key = static_cast<uint32_t>(dim_value) * e * e + static_cast<uint32_t>(operator_code) * e +
                         static_cast<uint32_t>(horizon);
    return static_cast<int64_t>(static_cast<int32_t>(key));
}

// Byte offset within a result row (any sign: strides may be negative) of
// the column that a write of (dim_value, operator_code, horizon) lands in,
// or none: the unknown dimension value is never written, and neither is a
// key that column_name_map lacks or a column outside the result.
std::optional<int64_t> column_offset(const SplitPlan& plan, const FeatureRequest& request, const ResultColumns& columns,
                      int32_t dim_value, int32_t operator_code, int32_t horizon) {
    if (dim_value == plan.constants->UNKNOWN_DIMENSION_VALUE) return std::nullopt;
    const int32_t* column =
        request.column_name_map.find(get_column_key(request.nearest_exponent, dim_value, operator_code, horizon));
    if (column == nullptr || *column < 0 || *column >= columns.count) return std::nullopt;
    return *column * columns.stride;
}

// Runs of writes that continue each other on both sides (the next column
// from the next source byte), in the order given.
struct Run {
    int64_t to;
    int64_t from;
    int64_t bytes;
};

void add_to_runs(std::vector<Run>& runs, int64_t to, int64_t from) {
    if (!runs.empty() && to == runs.back().to + runs.back().bytes && from == runs.back().from + runs.back().bytes) {
        runs.back().bytes += sizeof(float);
    } else {
        runs.push_back({to, from, static_cast<int64_t>(sizeof(float))});
    }
}

void cut(const std::vector<Run>& runs, MoveSet& moves) {
    for (const Run& r : runs) {
        if (r.bytes >= 16) {
            int64_t i = 0;
            for (; i + 16 <= r.bytes; i += 16) moves.m16.push_back({r.to + i, r.from + i});
            if (i < r.bytes) moves.m16.push_back({r.to + r.bytes - 16, r.from + r.bytes - 16});
        } else if (r.bytes >= 8) {
            moves.m8.push_back({r.to, r.from});
            if (r.bytes > 8) moves.m8.push_back({r.to + r.bytes - 8, r.from + r.bytes - 8});
        } else {
            moves.m4.push_back({r.to, r.from});
        }
    }
}

// A result bigger than this is written past the caches where whole runs allow.
constexpr int64_t kStreamFromBytes = int64_t(64) << 20;

// The writes as moves, and the row image, when no column is written twice
// (then the order of the writes is free) and the columns are contiguous
// floats. Writes to one column twice keep the ordered list, where the later
// write wins.
void plan_moves(SplitPlan& plan, const ResultColumns& columns) {
    const auto& writes = plan.cell_writes;
    if (writes.empty() || columns.stride != static_cast<int64_t>(sizeof(float))) return;
    std::vector<CellWrite> by_column = writes;
    std::sort(by_column.begin(), by_column.end(), [](const CellWrite& a, const CellWrite& b) { return a.to < b.to; });
    if (std::adjacent_find(by_column.begin(), by_column.end(),
                           [](const CellWrite& a, const CellWrite& b) { return a.to == b.to; }) != by_column.end()) {
        return;
    }
    plan.distinct_columns = true;
    std::vector<Run> runs;
    for (const CellWrite& w : by_column) add_to_runs(runs, w.to, w.from * static_cast<int64_t>(sizeof(float)));
    cut(runs, plan.moves);
    plan.direct_cost = 3 * static_cast<int64_t>(plan.moves.m16.size() + plan.moves.m8.size() + plan.moves.m4.size());

    // The image spans the written columns; it pays only where they are not
    // much sparser than the range.
    const int64_t first = by_column.front().to;
    const int64_t width = (by_column.back().to - first) / static_cast<int64_t>(sizeof(float)) + 1;
    if (width > 2 * static_cast<int64_t>(by_column.size()) + 64) return;
    RowImage& image = plan.image;
    image.used = true;
    image.first = first;
    image.columns = static_cast<int32_t>(width);
    const int32_t cells_per_dim = plan.H * SLOT_COUNT;
    std::vector<std::vector<ImageWrite>> by_dim(plan.D);
    std::vector<Run> image_runs;
    for (const CellWrite& w : by_column) {
        const int64_t offset = w.to - first;
        const ImageWrite write{static_cast<int32_t>(offset / static_cast<int64_t>(sizeof(float))), w.from};
        const int32_t slot = w.from % SLOT_COUNT;
        if (slot == COUNT_DISTINCT_SLOT || slot == MODE_SLOT) {
            image.statistics_writes.push_back(write);
        } else {
            by_dim[w.from / cells_per_dim].push_back(write);
        }
        add_to_runs(image_runs, offset, offset);
    }
    image.dim_begin.push_back(0);
    for (const auto& dim_writes : by_dim) {
        image.dim_writes.insert(image.dim_writes.end(), dim_writes.begin(), dim_writes.end());
        image.dim_begin.push_back(static_cast<int32_t>(image.dim_writes.size()));
    }
    if (image_runs.size() <= 8) {
        for (const Run& r : image_runs) image.runs.emplace_back(r.to, r.bytes);
    } else {
        image.runs.emplace_back(0, width * static_cast<int64_t>(sizeof(float)));
        size_t next = 0;
        for (int32_t column = 0; column < width; ++column) {
            if (next < by_column.size() && by_column[next].to - first == column * static_cast<int64_t>(sizeof(float))) {
                ++next;
            } else {
                image.kept.push_back(column);
            }
        }
    }
    image.stream = streams_result(plan, columns.total_bytes);
}

// Rows with more dimension values than this are written in blocks (when
// their columns allow) and their ratio totals visit the touched values
// only (SplitPlan::ratio_by_seen): an entity then touches few of them.
// With fewer, the fixed loops over every value cost less.
constexpr int32_t kManyValues = 16;

// See RowBlocks. Needs writes to distinct columns (whose order is then
// free) of contiguous floats.
void plan_blocks(SplitPlan& plan) {
    if (!plan.distinct_columns || plan.D <= kManyValues) return;
    // Against the other writers' cost for an entity that touches no value
    // (the row writer's estimates), which also put CountDistinct and Mode
    // into the cells of every value; a block costs at least 4.
    const RowImage& image = plan.image;
    int64_t other = plan.direct_cost;
    if (image.used) {
        other = std::min<int64_t>(
            other, 2 * static_cast<int64_t>(image.statistics_writes.size() + image.kept.size()) + image.columns / 8);
    }
    if (plan.counts_codes()) other += 2 * static_cast<int64_t>(plan.D) * plan.H;
    if (4 * static_cast<int64_t>(plan.D) >= other) return;
    const int32_t per_dim = plan.H * SLOT_COUNT;
    std::vector<std::vector<CellWrite>> by_dim(static_cast<size_t>(plan.D));
    for (const CellWrite& w : plan.cell_writes) by_dim[static_cast<size_t>(w.from / per_dim)].push_back(w);
    RowBlocks blocks;
    blocks.block_of.assign(static_cast<size_t>(plan.D), -1);
    std::vector<int32_t> pattern;  // per block float: its float index within a value's cells
    for (int32_t i = 0; i < plan.D; ++i) {
        std::vector<CellWrite>& writes = by_dim[static_cast<size_t>(i)];
        if (writes.empty()) continue;
        std::sort(writes.begin(), writes.end(), [](const CellWrite& a, const CellWrite& b) { return a.to < b.to; });
        std::vector<int32_t> from;
        for (size_t k = 0; k < writes.size(); ++k) {
            if (writes[k].to != writes[0].to + static_cast<int64_t>(k * sizeof(float))) return;
            from.push_back(writes[k].from - i * per_dim);
        }
        if (blocks.to.empty()) {
            pattern = std::move(from);
        } else if (from != pattern) {
            return;
        }
        blocks.block_of[static_cast<size_t>(i)] = static_cast<int32_t>(blocks.to.size());
        blocks.to.push_back(writes[0].to);
    }
    blocks.width = static_cast<int32_t>(pattern.size());
    if (blocks.width < 4) return;
    std::vector<Run> runs;
    for (int32_t k = 0; k < blocks.width; ++k) {
        add_to_runs(runs, k * static_cast<int64_t>(sizeof(float)), pattern[k] * static_cast<int64_t>(sizeof(float)));
    }
    cut(runs, blocks.assembly);
    const int64_t assembly_moves = static_cast<int64_t>(
        blocks.assembly.m16.size() + blocks.assembly.m8.size() + blocks.assembly.m4.size());
    // Every block is written in 16-byte moves from registers, the last one
    // overlapping; the spare block is assembled for every row.
    const int64_t moves = (blocks.width + 3) / 4;
    const int64_t cost = static_cast<int64_t>(blocks.to.size()) * (moves + 3) + 3 * assembly_moves;
    if (cost >= other) return;
    blocks.used = true;
    plan.blocks = std::move(blocks);
}

// Offsets that touch every cache line of a row the writers store into
// through the caches (a write into a line reads it first): one per 64
// bytes of the written span, and its last byte. Streamed image rows are left
// out, and so is a span too wide to be worth the hints.
void plan_prefetch_lines(SplitPlan& plan) {
    std::vector<int64_t> offsets;
    if (!(plan.image.used && plan.image.stream)) {
        for (const CellWrite& w : plan.cell_writes) offsets.push_back(w.to);
    }
    for (const RatioWrite& w : plan.ratio_writes) offsets.push_back(w.to);
    if (plan.group_ratio_to) offsets.push_back(*plan.group_ratio_to);
    if (offsets.empty()) return;
    const int64_t lo = *std::min_element(offsets.begin(), offsets.end());
    const int64_t hi = *std::max_element(offsets.begin(), offsets.end()) + static_cast<int64_t>(sizeof(float));
    if (hi - lo > 64 * 64) return;
    for (int64_t at = lo; at < hi; at += 64) plan.prefetch_lines.push_back(at);
    plan.prefetch_lines.push_back(hi - 1);
}

}  // namespace

bool streams_result(const SplitPlan& plan, int64_t bytes) { return plan.image.used && bytes >= kStreamFromBytes; }

void set_streaming(SplitPlan& plan, bool stream) {
    plan.image.stream = stream;
    plan.prefetch_lines.clear();
    plan_prefetch_lines(plan);
}

void plan_row_writes(SplitPlan& plan, const FeatureRequest& request, const ResultColumns& columns) {
    const ModuleConstants& c = *plan.constants;
    const int32_t D = plan.D, H = plan.H;
    const auto& one = request.included_operator_set_one;
    const auto& two = request.included_operator_set_two;
    std::vector<int32_t> one_slot, two_slot;
    for (int32_t x : one) one_slot.push_back(c.slot_of(x));
    for (int32_t x : two) two_slot.push_back(c.slot_of(x));

    bool outside = false;
    const int32_t min_position = plan.position_of(plan.min_horizon, &outside);
    const int32_t last_horizon_value = plan.horizon_list[H - 1];
    auto cell_index = [H](int32_t dim, int32_t position, int32_t slot) {
        return (dim * H + position) * SLOT_COUNT + slot;
    };
    const bool ratio_columns = !request.group.on && plan.ratio_requested;
    for (int32_t i = 0; i < D; ++i) {
        const int32_t d = plan.dim_values[i];
        if (plan.restricted && d != request.group.value) continue;
        for (int32_t j = 0; j < H; ++j) {
            for (size_t k = 0; k < one.size(); ++k) {
                const auto to = column_offset(plan, request, columns, d, one[k], plan.horizon_list[j]);
                if (to) plan.cell_writes.push_back({*to, cell_index(i, j, one_slot[k])});
            }
        }
        // Set-two values are read at the smallest horizon and keyed with the
        // horizon at the last position of horizon_list.
        for (size_t k = 0; k < two.size(); ++k) {
            const auto to = column_offset(plan, request, columns, d, two[k], last_horizon_value);
            if (to) plan.cell_writes.push_back({*to, cell_index(i, min_position, two_slot[k])});
        }
        // A repeated horizon value takes the Sum at its last position.
        if (ratio_columns) {
            for (size_t u = 0; u < plan.distinct_horizons.size(); ++u) {
                const auto to = column_offset(plan, request, columns, d, c.RATIO_CODE, plan.distinct_horizons[u]);
                if (to) {
                    plan.ratio_writes.push_back(
                        {*to, cell_index(i, plan.distinct_position[u], SUM_SLOT), static_cast<int32_t>(u)});
                }
            }
        }
    }

    // The feature-group ratio: the share of the group value at the first
    // requested horizon (as given, not the first of the sorted list).
    plan.group_ratio_to =
        column_offset(plan, request, columns, request.group.value, c.RATIO_CODE, request.horizons[0]);
    finish_row_writes(plan, columns, request.group.value, request.horizons[0]);
}

void finish_row_writes(SplitPlan& plan, const ResultColumns& columns, int32_t group_value, int32_t first_horizon) {
    // Ratio writes grouped by dimension index, for the writer that visits
    // the touched values only (a stable sort: execute's come in that order
    // already, and where two write one column the later must stay later).
    const int32_t per_dim = plan.H * SLOT_COUNT;
    std::stable_sort(plan.ratio_writes.begin(), plan.ratio_writes.end(),
                     [per_dim](const RatioWrite& a, const RatioWrite& b) { return a.from / per_dim < b.from / per_dim; });
    plan.ratio_begin.assign(static_cast<size_t>(plan.D) + 1, 0);
    for (const RatioWrite& w : plan.ratio_writes) ++plan.ratio_begin[static_cast<size_t>(w.from / per_dim) + 1];
    for (size_t d = 1; d < plan.ratio_begin.size(); ++d) plan.ratio_begin[d] += plan.ratio_begin[d - 1];
    plan.ratio_by_seen = plan.D > kManyValues;

    // Ratio cells read the Sums, whatever the cell writes read.
    plan.slots_read = 1u << SUM_SLOT;
    for (const CellWrite& w : plan.cell_writes) plan.slots_read |= 1u << (w.from % SLOT_COUNT);
    plan_moves(plan, columns);
    plan_blocks(plan);

    plan.group_dim = plan.dim_index_of(group_value);
    for (size_t u = 0; u < plan.distinct_horizons.size(); ++u) {
        if (plan.distinct_horizons[u] == first_horizon) plan.first_horizon_position = plan.distinct_position[u];
    }
    for (int32_t j = 0; j < plan.H; ++j) {
        if (plan.horizon_list[j] == first_horizon) plan.first_horizon_positions.push_back(j);
    }
    plan_prefetch_lines(plan);
}

}  // namespace dfbh
