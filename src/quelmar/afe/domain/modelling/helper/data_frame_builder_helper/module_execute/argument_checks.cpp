// The up-front checks of `execute`'s converted arguments.
#include "module_execute/argument_checks.hpp"

#include <string>

namespace dfbh {
namespace {

[[noreturn]] void refuse(ErrorKind kind, std::string message) {
    throw Failure{kind, "execute", std::move(message)};
}

}  // namespace

void check_execute_args(const ExecuteArgs& a) {
    const int32_t splits_size = static_cast<int32_t>(a.splits.n0);
    if (splits_size <= 0) return;  // no split runs, nothing is read
    if (a.request.horizons.empty()) refuse(ErrorKind::Value, "horizons must not be empty when splits has rows");

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
            auto where = [i, k] { return "splits[" + std::to_string(i) + ", " + std::to_string(k) + "]"; };
            if (entity < 0 || entity >= n_targets) {
                refuse(ErrorKind::Index, where() + " = " + std::to_string(entity) +
                                             " is out of range for target_dates of length " + std::to_string(n_targets));
            }
            const int64_t row = i + k * static_cast<int64_t>(splits_size);
            if (row >= n_rows) {
                refuse(ErrorKind::Index, where() + " fills result row " + std::to_string(row) +
                                             ", out of range for result_frame with " + std::to_string(n_rows) + " rows");
            }
        }
    }
    if (!any_position) return;

    for (const auto& entry : a.request.column_name_map.entries()) {
        if (entry.second < 0 || entry.second >= a.result_frame.n1) {
            refuse(ErrorKind::Index, "column_name_map[" + std::to_string(entry.first) + "] = " +
                                         std::to_string(entry.second) + " is out of range for result_frame with " +
                                         std::to_string(a.result_frame.n1) + " columns");
        }
    }

    bool any_transactions = false;
    for (const auto& entry : a.entity_index_map.entries()) any_transactions |= entry.second.n > 0;
    if (!any_transactions) return;
    struct Column {
        bool read;
        const char* index_name;
        int32_t index;
        const char* array_name;
        const void* base;
        int64_t columns;
    };
    const Column columns[] = {
        {a.date_col_index != -1, "date_col_index", a.date_col_index, "trx_dates", a.trx_dates.base, a.trx_dates.n1},
        {true, "d_index", a.d_index, "trx_d_arrays", a.trx_d_arrays.base, a.trx_d_arrays.n1},
        {true, "q_index", a.q_index, "trx_q_arrays", a.trx_q_arrays.base, a.trx_q_arrays.n1},
    };
    for (const Column& c : columns) {
        if (!c.read) continue;
        if (c.base == nullptr) {
            refuse(ErrorKind::Value,
                   std::string(c.array_name) + " is None but entity_index_map lists transactions to read");
        }
        if (c.index < 0 || c.index >= c.columns) {
            refuse(ErrorKind::Index, std::string(c.index_name) + " = " + std::to_string(c.index) +
                                         " is out of range for " + c.array_name + " with " +
                                         std::to_string(c.columns) + " columns");
        }
    }
}

}  // namespace dfbh
