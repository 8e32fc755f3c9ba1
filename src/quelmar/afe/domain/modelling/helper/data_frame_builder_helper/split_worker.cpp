// The split loop of `execute`, the per-split worker `exec_for_split` with the
// plan it builds once per split, and the millisecond arithmetic of the time
// windows (`partition`, `get_span`, the unit table).
#include <algorithm>
#include <new>
#include <string>

#include "kernel.hpp"

namespace dfbh {

// ---- time windows -------------------------------------------------------

int64_t unit_ms_of(int32_t resolution) {
    switch (resolution) {
        case 0: return 31536000000LL;  // year: 365 days, no calendar
        case 1: return 2592000000LL;   // month: 30 days
        case 2: return 86400000LL;
        case 3: return 3600000LL;
        case 4: return 60000LL;
        case 5: return 1000LL;
        default: return 0;
    }
}

std::string resolution_not_recognized(int32_t resolution) {
    return "Resolution not recognized: " + std::to_string(resolution);
}

// 32-bit sum that wraps on overflow, as the window bounds are computed.
static int32_t wrap_add32(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}

void partition(const SplitPlan& plan, Partitions& out, int64_t target_date, Host& host) {
    if (plan.unit_ms == 0) {
        host.report(ErrorKind::NotImplemented, routine::get_resolution_in_seconds,
                    resolution_not_recognized(plan.args->resolution));
    }
    const int32_t H = plan.H;
    out.upper_limit = sat_sub(target_date, plan.bound_offset[0]);
    out.lower_limit = sat_sub(target_date, plan.bound_offset[H]);
    int64_t unused;
    if (!__builtin_sub_overflow(target_date, plan.min_bound_offset, &unused) &&
        !__builtin_sub_overflow(target_date, plan.max_bound_offset, &unused)) {
        // No bound saturates: target_date - offset keeps the order of the plan.
        for (int32_t k = 0; k < H; ++k) {
            const int32_t e = plan.bound_order[k];
            out.bound[k] = target_date - plan.bound_offset[e];
            out.horizon[k] = plan.bound_horizon[e];
            out.position[k] = plan.bound_position[e];
        }
        return;
    }
    // Clipped bounds may tie where their offsets differ: sort these by
    // (bound, horizon) here, a handful of entries.
    for (int32_t e = 0; e < H; ++e) {
        out.bound[e] = sat_sub(target_date, plan.bound_offset[e]);
        out.horizon[e] = plan.bound_horizon[e];
        out.position[e] = plan.bound_position[e];
    }
    for (int32_t e = 1; e < H; ++e) {
        const int64_t b = out.bound[e];
        const int32_t h = out.horizon[e];
        const int32_t p = out.position[e];
        int32_t k = e - 1;
        while (k >= 0 && (out.bound[k] > b || (out.bound[k] == b && out.horizon[k] > h))) {
            out.bound[k + 1] = out.bound[k];
            out.horizon[k + 1] = out.horizon[k];
            out.position[k + 1] = out.position[k];
            --k;
        }
        out.bound[k + 1] = b;
        out.horizon[k + 1] = h;
        out.position[k + 1] = p;
    }
}

float report_unknown_resolution_in_span(const SplitPlan& plan, Host& host) {
    host.report(ErrorKind::NotImplemented, routine::get_span, resolution_not_recognized(plan.args->resolution));
    return 0.0f;
}

// ---- the split plan -----------------------------------------------------

static bool has_operator(const std::vector<int32_t>& codes, int32_t code) {
    return std::find(codes.begin(), codes.end(), code) != codes.end();
}

int32_t SplitPlan::position_of(int32_t h, bool* inserted) const {
    auto it = std::lower_bound(distinct_horizons.begin(), distinct_horizons.end(), h);
    if (it != distinct_horizons.end() && *it == h) {
        return distinct_position[static_cast<size_t>(it - distinct_horizons.begin())];
    }
    *inserted = true;
    return 0;
}

// Collects the distinct mapped values of index_map in ascending order.
static void get_distinct_values(std::vector<int16_t>& values, const OrderedMap<int16_t, int16_t>& index_map,
                                Host& host) {
    try {
        values.reserve(index_map.size());
        for (const auto& entry : index_map.entries()) values.push_back(entry.second);
    } catch (const std::bad_alloc&) {
        host.report(ErrorKind::Memory, routine::get_distinct_values, "");
    }
    std::sort(values.begin(), values.end());
    values.erase(std::unique(values.begin(), values.end()), values.end());
}

// The part of the plan that comes before the aggregate buffer is created.
static void build_split_plan(SplitPlan& plan, const ExecuteArgs& args, Host& host) {
    plan.args = &args;
    plan.constants = args.constants;

    get_distinct_values(plan.dim_values, args.index_map, host);
    plan.D = static_cast<int32_t>(plan.dim_values.size());

    plan.horizon_list = args.horizons;
    if (args.for_afe_columns) {
        std::sort(plan.horizon_list.begin(), plan.horizon_list.end());
        plan.horizon_list.erase(std::unique(plan.horizon_list.begin(), plan.horizon_list.end()),
                                plan.horizon_list.end());
    }
    plan.H = static_cast<int32_t>(plan.horizon_list.size());
}

// Everything else of the plan; runs once the aggregate buffer exists.
static bool finish_split_plan(SplitPlan& plan, Host& host) {
    const ExecuteArgs& args = *plan.args;
    const ModuleConstants& c = *plan.constants;
    const int32_t H = plan.H;
    const int32_t D = plan.D;
    if (H == 0) {
        host.report(ErrorKind::Value, routine::exec_for_split,
                    "horizons is empty: at least one horizon is needed to process a split");
        return false;
    }
    const auto& hl = plan.horizon_list;
    plan.min_horizon = *std::min_element(hl.begin(), hl.end());
    plan.max_horizon = *std::max_element(hl.begin(), hl.end());

    // index_by_horizon: a value repeated in horizon_list keeps its last position.
    plan.distinct_horizons = hl;
    std::sort(plan.distinct_horizons.begin(), plan.distinct_horizons.end());
    plan.distinct_horizons.erase(std::unique(plan.distinct_horizons.begin(), plan.distinct_horizons.end()),
                                 plan.distinct_horizons.end());
    const size_t U = plan.distinct_horizons.size();
    plan.distinct_position.assign(U, 0);
    plan.distinct_of_position.assign(H, 0);
    for (int32_t k = 0; k < H; ++k) {
        size_t u = static_cast<size_t>(
            std::lower_bound(plan.distinct_horizons.begin(), plan.distinct_horizons.end(), hl[k]) -
            plan.distinct_horizons.begin());
        plan.distinct_position[u] = k;
        plan.distinct_of_position[k] = static_cast<int32_t>(u);
    }
    plan.no_date_position = plan.position_of(1, &plan.no_date_inserted);
    plan.list_position.resize(H);
    for (int32_t k = 0; k < H; ++k) {
        plan.list_position[k] = plan.distinct_position[plan.distinct_of_position[k]];
    }

    plan.ratio_requested = has_operator(args.included_operators, c.RATIO_CODE);
    plan.count_distinct_requested = has_operator(args.included_operators, c.COUNT_DISTINCT_CODE);
    plan.mode_requested = has_operator(args.included_operators, c.MODE_CODE);
    plan.group_only = args.for_afe_columns && !plan.ratio_requested && !args.is_no_dim_col &&
                      !plan.count_distinct_requested && !plan.mode_requested;
    plan.restricted = args.for_afe_columns && !args.is_no_dim_col &&
                      !plan.count_distinct_requested && !plan.mode_requested;

    // Value records: the D dimension values, then the record without a cell
    // that codes missing from index_map use when 0 is not a dimension value.
    plan.records.resize(D);
    for (int32_t i = 0; i < D; ++i) {
        plan.records[i].dim = i;
        plan.records[i].in_group = static_cast<int32_t>(plan.dim_values[i]) == args.dim_group_id;
    }
    auto zero_it = std::lower_bound(plan.dim_values.begin(), plan.dim_values.end(), int16_t{0});
    const bool zero_is_value = zero_it != plan.dim_values.end() && *zero_it == 0;
    ValueRecord no_cell;
    no_cell.dim = -1;
    no_cell.in_group = args.dim_group_id == 0;
    plan.records.push_back(no_cell);
    const int32_t zero_record = zero_is_value ? static_cast<int32_t>(zero_it - plan.dim_values.begin()) : D;

    for (int code = -128; code < 128; ++code) {
        const uint8_t slot = static_cast<uint8_t>(static_cast<int8_t>(code));
        const int16_t* mapped = args.index_map.find(static_cast<int16_t>(code));
        if (mapped) {
            auto it = std::lower_bound(plan.dim_values.begin(), plan.dim_values.end(), *mapped);
            plan.record_of_code[slot] = static_cast<int32_t>(it - plan.dim_values.begin());
        } else {
            plan.record_of_code[slot] = ~zero_record;
        }
    }

    // Window bounds relative to the target date (see partition()).
    plan.unit_ms = unit_ms_of(args.resolution);
    plan.bound_offset.assign(H + 1, 0);
    plan.bound_horizon.assign(H, 0);
    plan.bound_position.assign(H, 0);
    plan.bound_offset[0] = sat_mul(static_cast<int64_t>(args.offset), plan.unit_ms);
    plan.bound_horizon[0] = hl[0];
    plan.bound_position[0] = plan.list_position[0];
    int32_t e = 1;
    for (int32_t j = H - 1; j >= 1; --j, ++e) {
        plan.bound_offset[e] = sat_mul(static_cast<int64_t>(wrap_add32(hl[j - 1], args.offset)), plan.unit_ms);
        plan.bound_horizon[e] = hl[j];
        plan.bound_position[e] = plan.list_position[j];
    }
    plan.bound_offset[H] = sat_mul(static_cast<int64_t>(wrap_add32(plan.max_horizon, args.offset)), plan.unit_ms);
    // Ascending bound is descending offset; equal bounds go by horizon.
    plan.bound_order.resize(H);
    for (int32_t k = 0; k < H; ++k) plan.bound_order[k] = k;
    std::stable_sort(plan.bound_order.begin(), plan.bound_order.end(), [&](int32_t x, int32_t y) {
        if (plan.bound_offset[x] != plan.bound_offset[y]) return plan.bound_offset[x] > plan.bound_offset[y];
        return plan.bound_horizon[x] < plan.bound_horizon[y];
    });
    plan.min_bound_offset = *std::min_element(plan.bound_offset.begin(), plan.bound_offset.begin() + H);
    plan.max_bound_offset = *std::max_element(plan.bound_offset.begin(), plan.bound_offset.begin() + H);

    build_row_tables(plan);
    return true;
}

// ---- the split worker ---------------------------------------------------

EntityRowsIndex::EntityRowsIndex(const OrderedMap<int32_t, View1<int32_t>>& map, int64_t n_entities)
    : map_(map) {
    if (n_entities <= 0 || static_cast<uint64_t>(n_entities) > 4 * static_cast<uint64_t>(map.size()) + 4096) return;
    dense_.assign(static_cast<size_t>(n_entities), nullptr);
    for (const auto& entry : map.entries()) {
        if (entry.first >= 0 && entry.first < n_entities) dense_[entry.first] = &entry.second;
    }
}

static void exec_for_split(ExecuteArgs& args, int32_t split_index, int32_t splits_size,
                           const View1<int32_t>& split, const EntityRowsIndex& entity_rows, Host& host) {
    try {
        SplitPlan plan;
        build_split_plan(plan, args, host);
        if (!host.acquire_aggregate_buffer(plan.D, plan.H)) return;
        // Holds the numpy scratch array for the split and drops it on every path.
        struct BufferRelease {
            Host& host;
            ~BufferRelease() { host.release_aggregate_buffer(); }
        } release{host};
        if (!finish_split_plan(plan, host)) return;

        EntityScratch scratch;
        const size_t R = plan.records.size();
        scratch.buffer.assign(static_cast<size_t>(plan.D) * plan.H * SLOT_COUNT, plan.constants->FLOAT32_NAN);
        scratch.seen_dims.reserve(plan.D);
        scratch.partitions.bound.assign(plan.H, 0);
        scratch.partitions.horizon.assign(plan.H, 0);
        scratch.partitions.position.assign(plan.H, 0);
        scratch.records.assign(R, RecordState{});
        scratch.stat_present.assign(plan.H, 0);
        scratch.distinct_count_at.assign(plan.H, 0.0);
        scratch.mode_at.assign(plan.H, 0.0);
        scratch.horizon_totals.assign(plan.distinct_horizons.size(), 0.0f);
        scratch.record_of_code = plan.record_of_code;

        const int64_t n_targets = args.target_dates.n;
        const int64_t n_rows = args.result_frame.n0;
        int64_t row = split_index;
        for (int64_t k = 0; k < split.n; ++k, row += splits_size) {
            const int32_t entity = split.get(k);
            if (entity == -1) break;
            if (entity < 0 || entity >= n_targets) {
                host.report(ErrorKind::Index, routine::exec_for_split,
                            "entity index " + std::to_string(entity) + " at position " + std::to_string(k) +
                                " of split " + std::to_string(split_index) + " is out of range for target_dates of length " +
                                std::to_string(n_targets));
                continue;
            }
            const int64_t target_date = args.target_dates.get(entity);
            const View1<int32_t>* rows = entity_rows.find(entity);
            if (rows == nullptr || rows->n == 0) continue;
            if (row >= n_rows) {
                host.report(ErrorKind::Index, routine::exec_for_split,
                            "result row " + std::to_string(row) + " of split " + std::to_string(split_index) +
                                " is out of range for result_frame with " + std::to_string(n_rows) + " rows");
                continue;
            }
            get_aggregates_and_fill_row(plan, scratch, row, target_date, *rows, args, host);
        }
    } catch (const std::bad_alloc&) {
        host.report(ErrorKind::Memory, routine::exec_for_split, "");
    }
}

void run_splits(ExecuteArgs& args, Host& host) {
    // The number of rows of `splits`, taken as int32.
    const int32_t splits_size = static_cast<int32_t>(args.splits.n0);
    if (splits_size <= 0) return;
    try {
        const EntityRowsIndex entity_rows(args.entity_index_map, args.target_dates.n);
        for (int32_t i = 0; i < splits_size; ++i) {
            exec_for_split(args, i, splits_size, args.splits.row(i), entity_rows, host);
        }
    } catch (const std::bad_alloc&) {
        host.report(ErrorKind::Memory, routine::exec_for_split, "");
    }
}

}  // namespace dfbh

// ---- checks before the split loop ---------------------------------------

namespace dfbh {

static bool fail(ErrorKind* kind, std::string* message, ErrorKind k, std::string text) {
    *kind = k;
    *message = std::move(text);
    return false;
}

bool validate_execute_args(const ExecuteArgs& a, ErrorKind* kind, std::string* message) {
    const int32_t splits_size = static_cast<int32_t>(a.splits.n0);
    if (splits_size <= 0) return true;  // no split runs, nothing is read
    if (a.horizons.empty()) {
        return fail(kind, message, ErrorKind::Value, "horizons must not be empty when splits has rows");
    }
    // Every position before a row's -1 reads target_dates[entity] and owns
    // result row split_index + k * splits_size.
    bool any_position = false;
    const int64_t n_targets = a.target_dates.n;
    const int64_t n_rows = a.result_frame.n0;
    for (int32_t i = 0; i < splits_size; ++i) {
        const View1<int32_t> split = a.splits.row(i);
        for (int64_t k = 0; k < split.n; ++k) {
            const int32_t entity = split.get(k);
            if (entity == -1) break;
            any_position = true;
            if (entity < 0 || entity >= n_targets) {
                return fail(kind, message, ErrorKind::Index,
                            "splits[" + std::to_string(i) + ", " + std::to_string(k) + "] = " + std::to_string(entity) +
                                " is out of range for target_dates of length " + std::to_string(n_targets));
            }
            const int64_t row = i + k * static_cast<int64_t>(splits_size);
            if (row >= n_rows) {
                return fail(kind, message, ErrorKind::Index,
                            "splits[" + std::to_string(i) + ", " + std::to_string(k) + "] fills result row " +
                                std::to_string(row) + ", out of range for result_frame with " + std::to_string(n_rows) +
                                " rows");
            }
        }
    }
    if (!any_position) return true;
    for (const auto& entry : a.column_name_map.entries()) {
        if (entry.second < 0 || entry.second >= a.result_frame.n1) {
            return fail(kind, message, ErrorKind::Index,
                        "column_name_map[" + std::to_string(entry.first) + "] = " + std::to_string(entry.second) +
                            " is out of range for result_frame with " + std::to_string(a.result_frame.n1) + " columns");
        }
    }
    bool any_transactions = false;
    for (const auto& entry : a.entity_index_map.entries()) {
        if (entry.second.n > 0) {
            any_transactions = true;
            break;
        }
    }
    if (!any_transactions) return true;
    struct Column {
        bool unused;  // date_col_index -1: no date column is read
        const char* index_name;
        int32_t index;
        const char* array_name;
        const void* base;
        int64_t columns;
    };
    const Column columns[] = {
        {a.date_col_index == -1, "date_col_index", a.date_col_index, "trx_dates", a.trx_dates.base, a.trx_dates.n1},
        {false, "d_index", a.d_index, "trx_d_arrays", a.trx_d_arrays.base, a.trx_d_arrays.n1},
        {false, "q_index", a.q_index, "trx_q_arrays", a.trx_q_arrays.base, a.trx_q_arrays.n1},
    };
    for (const Column& c : columns) {
        if (c.unused) continue;
        if (c.base == nullptr) {
            return fail(kind, message, ErrorKind::Value,
                        std::string(c.array_name) + " is None but entity_index_map lists transactions to read");
        }
        if (c.index < 0 || c.index >= c.columns) {
            return fail(kind, message, ErrorKind::Index,
                        std::string(c.index_name) + " = " + std::to_string(c.index) + " is out of range for " +
                            c.array_name + " with " + std::to_string(c.columns) + " columns");
        }
    }
    return true;
}

}  // namespace dfbh
