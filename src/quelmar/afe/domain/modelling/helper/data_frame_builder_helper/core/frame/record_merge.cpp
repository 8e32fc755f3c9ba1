// Merging an entity's record values, one entity or many.
#include "core/frame/record_merge.hpp"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>

#include "core/common/failure.hpp"

namespace dfbh {

// A record is read with plain loads.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "store records are little-endian");

namespace {

constexpr const char* kRoutine = "gather_records";
// Entities a worker takes at a time: a few hundred kilobytes of records.
constexpr int64_t kMorselEntities = 512;
// Fewer entities are not worth a thread of their own.
constexpr int64_t kEntitiesPerThread = 4096;

[[noreturn]] void values_changed() {
    throw Failure{ErrorKind::Runtime, kRoutine, "the values changed while they were gathered"};
}

inline int64_t date_at(const char* record) { return load<int64_t>(record); }

inline RowKey key_at(const char* record) {
    return key_of(load<int64_t>(record), load<float>(record + 8), load<int8_t>(record + 12));
}

// The quantity's bits as they are (a float load and store could quiet a
// signalling NaN).
inline void write_row(const char* record, const RowColumns& out, int64_t i) {
    out.dates[i] = load<int64_t>(record);
    std::memcpy(out.quantities + i, record + 8, sizeof(float));
    out.codes[i] = load<int8_t>(record + 12);
}

// The records of a run in the prepared order dated at or after `since`
// stand first: their number, or -1 when a later record is dated so too
// (the run is out of order).
int64_t kept_prefix(const RecordRun& run, int64_t since) {
    int64_t i = 0;
    while (i < run.n && date_at(run.bytes + i * kRecordBytes) >= since) ++i;
    for (int64_t j = i + 1; j < run.n; ++j) {
        if (date_at(run.bytes + j * kRecordBytes) >= since) return -1;
    }
    return i;
}

// The records of one run as they stand, the common case (an entity with
// one value); false for a run out of order. Its keys are compared only
// where dates tie: a date that rises is out of order, one that falls in it.
bool copy_run(const MergeScratch::Head& run, const RowColumns& out) {
    int64_t previous = date_at(run.at);
    int64_t i = 0;
    for (const char* record = run.at; record != run.end; record += kRecordBytes, ++i) {
        const int64_t date = date_at(record);
        if (date > previous) return false;
        if (date == previous && i > 0 && key_at(record) < key_at(record - kRecordBytes)) return false;
        previous = date;
        write_row(record, out, i);
    }
    return true;
}

// The kept records of every run, sorted as the preparation sorts.
int64_t sort_records(const RecordRun* runs, int64_t k, int64_t since, const RowColumns& out,
                     MergeScratch& scratch) {
    std::vector<RowKey>& keys = scratch.keys;
    keys.clear();
    for (int64_t j = 0; j < k; ++j) {
        for (int64_t i = 0; i < runs[j].n; ++i) {
            const char* record = runs[j].bytes + i * kRecordBytes;
            if (date_at(record) >= since) keys.push_back(key_at(record));
        }
    }
    const int64_t n = static_cast<int64_t>(keys.size());
    if (n > out.capacity) values_changed();
    order_keys(keys.data(), n, scratch.sort);
    for (int64_t i = 0; i < n; ++i) store_key(keys[static_cast<size_t>(i)], out.dates + i, out.quantities + i, out.codes + i);
    return n;
}

}  // namespace

int64_t count_kept(const RecordRun* runs, int64_t k, int64_t since) {
    int64_t n = 0;
    for (int64_t j = 0; j < k; ++j) {
        for (int64_t i = 0; i < runs[j].n; ++i) n += date_at(runs[j].bytes + i * kRecordBytes) >= since;
    }
    return n;
}

int64_t merge_records(const RecordRun* runs, int64_t k, int64_t since, const RowColumns& out,
                      MergeScratch& scratch) {
    using Head = MergeScratch::Head;
    std::vector<Head>& heads = scratch.heads;
    heads.clear();
    int64_t total = 0;
    for (int64_t j = 0; j < k; ++j) {
        const int64_t kept = kept_prefix(runs[j], since);
        if (kept < 0) return sort_records(runs, k, since, out, scratch);
        if (kept == 0) continue;
        heads.push_back(Head{key_at(runs[j].bytes), runs[j].bytes, runs[j].bytes + kept * kRecordBytes});
        total += kept;
    }
    if (total > out.capacity) values_changed();
    if (heads.size() == 1) return copy_run(heads[0], out) ? total : sort_records(runs, k, since, out, scratch);
    // The smallest head's record next; a run whose next key is smaller than
    // the one it gave is out of order, and the rows are sorted instead.
    int64_t written = 0;
    while (!heads.empty()) {
        size_t m = 0;
        for (size_t h = 1; h < heads.size(); ++h) {
            if (heads[h].key < heads[m].key) m = h;
        }
        Head& head = heads[m];
        write_row(head.at, out, written++);
        head.at += kRecordBytes;
        if (head.at == head.end) {
            heads[m] = heads.back();
            heads.pop_back();
            continue;
        }
        const RowKey next = key_at(head.at);
        if (next < head.key) return sort_records(runs, k, since, out, scratch);
        head.key = next;
    }
    return written;
}

int64_t gather_records(const RecordSet& set, int64_t since, const PreparedTable& out, int64_t capacity, int n_jobs,
                       const RunWorkers& run, Progress& progress) {
    const int64_t n_entities = set.n_entities;
    const int threads = static_cast<int>(std::max<int64_t>(
        1, std::min<int64_t>(usable_threads(n_jobs), n_entities / kEntitiesPerThread)));
    auto runs_of = [&](int64_t e) { return set.runs + e * set.k; };

    // 1. Count each entity's rows, so that each is merged straight into place.
    std::vector<int64_t> offsets(static_cast<size_t>(n_entities) + 1, 0);
    run(threads, [&](int t) {
        const Chunk chunk = chunk_of(n_entities, threads, t);
        for (int64_t e = chunk.first; e < chunk.last; ++e) {
            if ((e & 1023) == 0 && progress.is_cancelled()) return;
            offsets[static_cast<size_t>(e) + 1] = count_kept(runs_of(e), set.k, since);
        }
        progress.add(chunk.last - chunk.first);
    });
    if (progress.is_cancelled()) return 0;
    for (int64_t e = 0; e < n_entities; ++e) offsets[static_cast<size_t>(e) + 1] += offsets[static_cast<size_t>(e)];
    const int64_t n_rows = offsets.back();
    if (n_rows > capacity) values_changed();

    // 2. Merge, morsels of entities taken by the threads in turn.
    std::atomic<int64_t> next{0};
    run(threads, [&](int) {
        MergeScratch scratch;
        for (;;) {
            if (progress.is_cancelled()) return;
            const int64_t first = next.fetch_add(kMorselEntities, std::memory_order_relaxed);
            if (first >= n_entities) return;
            const int64_t last = std::min(n_entities, first + kMorselEntities);
            for (int64_t e = first; e < last; ++e) {
                const int64_t at = offsets[static_cast<size_t>(e)];
                const int64_t n = offsets[static_cast<size_t>(e) + 1] - at;
                const RowColumns rows{out.dates + at, out.quantities + at, out.codes + at, n};
                if (merge_records(runs_of(e), set.k, since, rows, scratch) != n) values_changed();
            }
            progress.add(last - first);
        }
    });
    if (progress.is_cancelled()) return 0;
    std::copy(offsets.begin(), offsets.end(), out.offsets);
    return n_rows;
}

}  // namespace dfbh
