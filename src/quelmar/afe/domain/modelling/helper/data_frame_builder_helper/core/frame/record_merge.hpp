// The store's records and their merge. A store keeps an entity's rows as
// values of 13-byte records (a little-endian int64 date in milliseconds,
// the float32 quantity, the int8 dimension code, packed), each value in the
// prepared order (row_order.hpp). An entity's rows are the merge of its
// values from a date on: what prepare_transactions gives for the same rows,
// without sorting them again.
#pragma once

#include <cstdint>
#include <vector>

#include "core/common/parallel.hpp"
#include "core/frame/prepare.hpp"
#include "core/frame/row_order.hpp"

namespace dfbh {

constexpr int64_t kRecordBytes = 13;

// One value: `n` records from `bytes`, at any alignment.
struct RecordRun {
    const char* bytes = nullptr;
    int64_t n = 0;
};

// Where one entity's merged rows go: `capacity` elements each.
struct RowColumns {
    int64_t* dates = nullptr;
    float* quantities = nullptr;
    int8_t* codes = nullptr;
    int64_t capacity = 0;
};

// One thread's scratch for merge_records, kept between calls.
struct MergeScratch {
    struct Head {
        RowKey key;       // of the record at `at`
        const char* at;   // the next record
        const char* end;  // past the run's last kept record
    };
    std::vector<Head> heads;
    std::vector<RowKey> keys;
    SortScratch sort;
};

// The number of records of `runs` dated at or after `since`.
int64_t count_kept(const RecordRun* runs, int64_t k, int64_t since);

// Writes the records of the k `runs` dated at or after `since` to `out` in
// the prepared order and returns their number. Runs in that order are
// merged; runs out of it (not a store's) are sorted as the preparation
// sorts, so the rows are the preparation's either way. More rows than
// out.capacity throw Failure (RuntimeError): the runs changed since the
// caller counted them.
int64_t merge_records(const RecordRun* runs, int64_t k, int64_t since, const RowColumns& out,
                      MergeScratch& scratch);

// The values of many entities: entity e's at runs[e * k] to runs[e * k + k - 1].
struct RecordSet {
    const RecordRun* runs = nullptr;
    int64_t n_entities = 0;
    int64_t k = 0;
};

// The progress units gather_records counts up to.
inline int64_t gathering_units(const RecordSet& set) { return 2 * set.n_entities; }

// Every entity's merged rows (merge_records) into `out` as a preparation
// writes them: entity e's at offsets[e] to offsets[e + 1] - 1, its rows
// counted first (so `capacity`, the elements of each row column, need only
// hold the records of `set`) and then merged on up to n_jobs threads
// through `run`. Returns the rows written. A cancelled gathering returns
// with `out` incomplete.
int64_t gather_records(const RecordSet& set, int64_t since, const PreparedTable& out, int64_t capacity, int n_jobs,
                       const RunWorkers& run, Progress& progress);

}  // namespace dfbh
