// The split loop of `execute` and the split worker `exec_for_split`.
#include "split_loop.hpp"

#include <string>
#include <vector>

#include "plan.hpp"
#include "scan.hpp"

namespace dfbh {
namespace {

// entity -> the view of its transaction rows, or null. A dense table over
// the valid entity indices [0, n_entities) when that is not much larger than
// the map, so that a lookup is one load instead of a binary search; the
// map's own search otherwise.
class EntityRowsIndex {
public:
    EntityRowsIndex(const OrderedMap<int32_t, View1<int32_t>>& map, int64_t n_entities) : map_(map) {
        if (n_entities <= 0 || static_cast<uint64_t>(n_entities) > 4 * static_cast<uint64_t>(map.size()) + 4096) {
            return;
        }
        dense_.assign(static_cast<size_t>(n_entities), nullptr);
        for (const auto& entry : map.entries()) {
            if (entry.first >= 0 && entry.first < n_entities) dense_[entry.first] = &entry.second;
        }
    }
    const View1<int32_t>* find(int32_t entity) const {
        if (entity >= 0 && static_cast<uint64_t>(entity) < dense_.size()) return dense_[entity];
        return dense_.empty() ? map_.find(entity) : nullptr;
    }

private:
    const OrderedMap<int32_t, View1<int32_t>>& map_;
    std::vector<const View1<int32_t>*> dense_;
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

// Holds the split's NumPy scratch array and drops it on every path.
struct AggregateBufferHold {
    SplitHost& host;
    ~AggregateBufferHold() { host.release_aggregate_buffer(); }
};

// Codes a scan looked up without finding them join index_map for the later
// splits, also when the split is abandoned half-way.
struct AddMissingCodes {
    CodeTable& codes;
    const EntityScanner& scanner;
    ~AddMissingCodes() { codes.add_missing(scanner.missing_codes()); }
};

void exec_for_split(const ExecuteArgs& args, CodeTable& codes, int32_t split_index, int32_t splits_size,
                    const EntityRowsIndex& entity_rows, const TransactionColumns& trx, SplitHost& host) {
    SplitPlan plan;
    plan_split_shape(plan, args.request, codes, host);
    if (!host.acquire_aggregate_buffer(plan.D, plan.H)) return;
    AggregateBufferHold hold{host};
    const View2<float>& result = args.result_frame;
    plan_split(plan, args.request, codes, *args.constants, ResultColumns{result.s1, result.n1}, trx.date != nullptr);

    EntityScanner scanner(plan, trx, host);
    AddMissingCodes add_missing{codes, scanner};
    const View1<int32_t> split = args.splits.row(split_index);
    const int64_t n_targets = args.target_dates.n;
    // The rows of the entity at position k, or null (no entry, or the end).
    auto rows_at = [&](int64_t k) -> const View1<int32_t>* {
        if (k >= split.n) return nullptr;
        const int32_t entity = split.get(k);
        return entity == -1 ? nullptr : entity_rows.find(entity);
    };
    const View1<int32_t>* next_rows = rows_at(0);
    if (next_rows) scanner.prefetch_first_rows(*next_rows);
    int64_t row = split_index;
    for (int64_t k = 0; k < split.n; ++k, row += splits_size) {
        const int32_t entity = split.get(k);
        if (entity == -1) break;
        const View1<int32_t>* rows = next_rows;
        // One position ahead the first rows, two ahead the row list.
        next_rows = rows_at(k + 1);
        if (next_rows) {
            scanner.prefetch_first_rows(*next_rows);
            if (const View1<int32_t>* later = rows_at(k + 2)) EntityScanner::prefetch_row_list(*later);
        }
        // The boundary checked every position; these guard the buffers all the same.
        if (entity < 0 || entity >= n_targets || row >= result.n0) {
            host.report(Failure{ErrorKind::Index, routine::exec_for_split,
                                "position " + std::to_string(k) + " of split " + std::to_string(split_index) +
                                    " is out of range for target_dates or result_frame"});
            continue;
        }
        const int64_t target_date = args.target_dates.get(entity);
        if (rows == nullptr) continue;
        run_or_report(host, routine::get_aggregates_and_fill_row,
                      [&] { scanner.scan_and_write(result.base + row * result.s0, target_date, *rows); });
    }
}

}  // namespace

void run_splits(const ExecuteArgs& args, SplitHost& host) {
    // The number of rows of `splits`, taken as int32.
    const int32_t splits_size = static_cast<int32_t>(args.splits.n0);
    if (splits_size <= 0) return;
    run_or_report(host, routine::exec_for_split, [&] {
        CodeTable codes(args.request.index_map);
        const EntityRowsIndex entity_rows(args.entity_index_map, args.target_dates.n);
        const TransactionColumns trx = transaction_columns(args);
        for (int32_t i = 0; i < splits_size; ++i) {
            run_or_report(host, routine::exec_for_split,
                          [&] { exec_for_split(args, codes, i, splits_size, entity_rows, trx, host); });
        }
    });
}

}  // namespace dfbh
