// The split loop of `execute` and the split worker `exec_for_split`.
#include "core/split/split_loop.hpp"

#include <algorithm>
#include <string>
#include <vector>

#include "core/aggregation/scan.hpp"
#include "core/plan/plan.hpp"
#include "core/rows/row_plan.hpp"

namespace dfbh {
namespace {

bool has_operator(const std::vector<int32_t>& codes, int32_t code) {
    return std::find(codes.begin(), codes.end(), code) != codes.end();
}

// `execute`'s plan, once the buffer exists. Throws Failure for an empty
// horizon list.
void plan_split(SplitPlan& plan, const FeatureRequest& request, const CodeTable& codes,
                const ModuleConstants& constants, const ResultColumns& columns, bool has_date) {
    if (plan.H == 0) {
        throw Failure{ErrorKind::Value, routine::exec_for_split,
                      "horizons is empty: at least one horizon is needed to process a split"};
    }
    ScanSettings settings;
    settings.offset = request.offset;
    settings.resolution = request.resolution;
    settings.group = request.group;
    settings.ratio = has_operator(request.included_operators, constants.RATIO_CODE);
    settings.count_distinct = has_operator(request.included_operators, constants.COUNT_DISTINCT_CODE);
    settings.mode = has_operator(request.included_operators, constants.MODE_CODE);
    plan_scan(plan, settings, codes, constants, has_date);
    plan_row_writes(plan, request, columns);
}

// What the split loop needs of an entity: the view of its transaction rows
// (empty when it has none) and its target date, in one record, aligned to
// its size so that it never straddles two cache lines: one hint fetches it.
struct alignas(32) EntityRecord {
    View1<int32_t> rows;
    int64_t target_date;
};

// entity -> its record. A dense table of records over the entity indices
// [0, n_entities) when that is not much larger than the map, so that an
// entity costs one cache line instead of a lookup, a view and a date in
// three places; the map's own search and the target dates otherwise.
class EntityIndex {
public:
    EntityIndex(const OrderedMap<int32_t, View1<int32_t>>& map, const View1<int64_t>& target_dates)
        : map_(map), target_dates_(target_dates) {
        const int64_t n = target_dates.n;
        if (n <= 0 || static_cast<uint64_t>(n) > 4 * static_cast<uint64_t>(map.size()) + 4096) return;
        // One pass over the indices beside the map's entries, which are
        // sorted by key: each record is written once.
        dense_.reserve(static_cast<size_t>(n));
        const auto end = map.entries().end();
        auto entry = map.lower_bound(0);
        for (int64_t e = 0; e < n; ++e) {
            View1<int32_t> rows{};
            if (entry != end && entry->first == e) rows = (entry++)->second;
            dense_.push_back(EntityRecord{rows, target_dates.get(e)});
        }
    }
    void prefetch_record(int32_t entity) const {
        if (entity >= 0 && static_cast<uint64_t>(entity) < dense_.size()) prefetch(&dense_[static_cast<size_t>(entity)]);
    }
    // The record of a valid entity index (0 <= entity < target_dates.n);
    // `scratch` holds it when the table is not dense.
    const EntityRecord& record(int32_t entity, EntityRecord& scratch) const {
        if (!dense_.empty()) return dense_[static_cast<size_t>(entity)];
        const View1<int32_t>* rows = map_.find(entity);
        scratch = EntityRecord{rows ? *rows : View1<int32_t>{}, target_dates_.get(entity)};
        return scratch;
    }

private:
    const OrderedMap<int32_t, View1<int32_t>>& map_;
    const View1<int64_t>& target_dates_;
    std::vector<EntityRecord> dense_;
};

TransactionColumns transaction_columns(const ExecuteArgs& a) {
    TransactionColumns trx;
    if (a.date_col_index != -1) {
        trx.date = a.trx_dates.base + a.date_col_index * a.trx_dates.s1;
        trx.date_stride = a.trx_dates.s0;
    }
    trx.quantity = a.trx_q_arrays.base + a.q_index * a.trx_q_arrays.s1;
    trx.quantity_stride = a.trx_q_arrays.s0;
    trx.code = a.trx_d_arrays.base + a.d_index * a.trx_d_arrays.s1;
    trx.code_stride = a.trx_d_arrays.s0;
    trx.n_rows = std::min(a.trx_q_arrays.n0, a.trx_d_arrays.n0);
    if (trx.date) trx.n_rows = std::min(trx.n_rows, a.trx_dates.n0);
    return trx;
}

// Holds the split's unread NumPy array and drops it on every path.
struct UnreadSplitArrayHold {
    SplitHost& host;
    ~UnreadSplitArrayHold() { host.release_unread_split_array(); }
};

// Codes a scan looked up without finding them join index_map for the later
// splits, also when the split is abandoned half-way.
struct AddMissingCodes {
    CodeTable& codes;
    const EntityScanner& scanner;
    ~AddMissingCodes() { codes.add_missing(scanner.missing_codes()); }
};

void exec_for_split(const ExecuteArgs& args, CodeTable& codes, int32_t split_index, int32_t splits_size,
                    const EntityIndex& entities, const TransactionColumns& trx, SplitHost& host) {
    SplitPlan plan;
    plan_split_shape(plan, args.request.horizons, args.request.group.on, codes, host);
    if (!host.make_unread_split_array(plan.D, plan.H)) return;
    UnreadSplitArrayHold hold{host};
    const View2<float>& result = args.result_frame;
    const ResultColumns columns{result.s1, result.n1, result.n0 * (result.s0 < 0 ? -result.s0 : result.s0)};
    plan_split(plan, args.request, codes, *args.constants, columns, trx.date != nullptr);

    EntityScanner scanner(plan, trx, host);
    AddMissingCodes add_missing{codes, scanner};
    const View1<int32_t> split = args.splits.row(split_index);
    const int64_t n_targets = args.target_dates.n;
    int64_t n_positions = 0;
    while (n_positions < split.n && split.get(n_positions) != -1) ++n_positions;

    // The entity pipeline: the loads of a position start a few positions
    // ahead, each stage on data the one before brought in, so that their
    // cache misses overlap the scans in between (entities come in any order,
    // so each would miss): the entity's record 6 positions ahead, its row
    // numbers 4 ahead, its first rows and its result row 2 ahead.
    auto entity_at = [&](int64_t k) { return split.get(k); };
    auto valid = [&](int32_t e) { return e >= 0 && e < n_targets; };
    auto row_of = [&](int64_t k) { return result.base + (split_index + k * splits_size) * result.s0; };
    EntityRecord scratch;
    auto pipeline = [&](int64_t k) __attribute__((always_inline)) {
        if (k + 6 < n_positions) entities.prefetch_record(entity_at(k + 6));
        if (k + 4 < n_positions && valid(entity_at(k + 4))) {
            EntityScanner::prefetch_row_list(entities.record(entity_at(k + 4), scratch).rows);
        }
        if (k + 2 < n_positions && valid(entity_at(k + 2))) {
            const View1<int32_t>& rows = entities.record(entity_at(k + 2), scratch).rows;
            if (rows.n > 0) {
                scanner.prefetch_first_rows(rows);
                if (split_index + (k + 2) * splits_size < result.n0) scanner.prefetch_result_row(row_of(k + 2));
            }
        }
    };

    for (int64_t k = 0; k < n_positions; ++k) {
        pipeline(k);
        const int32_t entity = entity_at(k);
        const int64_t row = split_index + k * static_cast<int64_t>(splits_size);
        // The boundary checked every position; these guard the buffers all the same.
        if (!valid(entity) || row >= result.n0) {
            host.report(Failure{ErrorKind::Index, routine::exec_for_split,
                                "position " + std::to_string(k) + " of split " + std::to_string(split_index) +
                                    " is out of range for target_dates or result_frame"});
            continue;
        }
        const EntityRecord& record = entities.record(entity, scratch);
        if (record.rows.n == 0) continue;
        run_or_report(host, routine::get_aggregates_and_fill_row,
                      [&] { scanner.scan_and_write(row_of(k), record.target_date, record.rows); });
    }
}

}  // namespace

void run_splits(const ExecuteArgs& args, SplitHost& host) {
    // The number of rows of `splits`, taken as int32.
    const int32_t splits_size = static_cast<int32_t>(args.splits.n0);
    if (splits_size <= 0) return;
    run_or_report(host, routine::exec_for_split, [&] {
        CodeTable codes(args.request.index_map);
        const EntityIndex entities(args.entity_index_map, args.target_dates);
        const TransactionColumns trx = transaction_columns(args);
        for (int32_t i = 0; i < splits_size; ++i) {
            run_or_report(host, routine::exec_for_split,
                          [&] { exec_for_split(args, codes, i, splits_size, entities, trx, host); });
        }
    });
}

}  // namespace dfbh
