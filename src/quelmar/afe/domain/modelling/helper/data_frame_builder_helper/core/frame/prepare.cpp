// The passes of a preparation: count the rows of every entity (and check
// every row); deal the rows out to buckets of neighbouring entities, each a
// megabyte or so, so that the writes of that pass stay in cache; then, a
// bucket at a time and in cache, place every row in its entity's run and put
// each run in order. The row passes read the input in blocks converted to one
// type first, so that the per-row loops carry no test on the input's types.
#include "core/frame/prepare.hpp"

#include <algorithm>
#include <atomic>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "core/common/failure.hpp"
#include "core/common/views.hpp"
#include "core/frame/row_order.hpp"
#include "core/frame/row_reading.hpp"

namespace dfbh {
namespace {

constexpr const char* kRoutine = "prepare_transactions";
constexpr int64_t kBlock = 1024;            // rows converted at a time: a few kB, stays in L1
constexpr int64_t kRowsPerThread = 4096;    // fewer rows are not worth a thread of their own
constexpr int64_t kNone = std::numeric_limits<int64_t>::max();
// Rows of a bucket: few enough that its rows, their keys and its entities'
// cursors (about 2 MB) stay in cache while the bucket is put in order, many
// enough that dealing writes to few buckets at once (measured: 65,536 rows
// prepare up to a fifth faster than 16,384 or 32,768).
constexpr int64_t kBucketRows = 65536;
// Entities of a bucket, so that an entity's place in its bucket fits 16 bits.
constexpr int64_t kBucketEntities = 65536;

// ---------------------------------------------------------------------------
// The passes

// First rows at which a check failed, per check.
struct BadRows {
    int64_t entity = kNone;
    int64_t timestamp = kNone;
    int64_t code = kNone;

    void note(int64_t* field, int64_t first, int64_t bad) {
        if (bad >= 0) *field = std::min(*field, first + bad);
    }
    void merge(const BadRows& other) {
        entity = std::min(entity, other.entity);
        timestamp = std::min(timestamp, other.timestamp);
        code = std::min(code, other.code);
    }
};

// The kept dates as bounds on the input's own counts, so that the passes
// compare the counts as they are read: a count c is floor(c * m / d)
// milliseconds, which is at least `from` exactly when c >= ceil(from * d / m)
// and at most `until` exactly when c < ceil((until + 1) * d / m). Both
// passes decide by these bounds, so they agree on every row, even one whose
// milliseconds would leave int64.
struct CountWindow {
    int64_t low = std::numeric_limits<int64_t>::min();
    int64_t high = std::numeric_limits<int64_t>::max();

    bool holds(int64_t count) const { return count >= low && count <= high; }
};

__int128 ceil_div(__int128 a, __int128 b) {  // b > 0
    const __int128 q = a / b;
    return q + (a % b > 0 ? 1 : 0);
}

CountWindow count_window(const TransactionTable& table) {
    if (!table.windowed()) return CountWindow{};  // every count, even one that leaves int64 as milliseconds
    constexpr __int128 kMin = std::numeric_limits<int64_t>::min(), kMax = std::numeric_limits<int64_t>::max();
    const __int128 m = table.ms_multiplier, d = table.ms_divisor;
    const __int128 low = ceil_div(static_cast<__int128>(table.keep_from) * d, m);
    const __int128 high = ceil_div((static_cast<__int128>(table.keep_until) + 1) * d, m) - 1;
    CountWindow window;
    if (low > kMax || high < kMin || low > high) {  // no count is kept
        window.low = std::numeric_limits<int64_t>::max();
        window.high = std::numeric_limits<int64_t>::min();
        return window;
    }
    window.low = static_cast<int64_t>(std::max(low, kMin));
    window.high = static_cast<int64_t>(std::min(high, kMax));
    return window;
}

// Counts the rows of every entity in rows [first, last) that are to be
// prepared, and checks them all.
void count_rows(const TransactionTable& table, Chunk chunk, const CountWindow& window,
                std::vector<int32_t>& counts, BadRows& bad, Progress& progress) {
    const uint64_t n_entities = static_cast<uint64_t>(table.n_entities);
    const bool check_timestamps = !table.rows_checked && (table.nat_is_missing || table.ms_multiplier != 1);
    const bool check_codes = !table.rows_checked && table.code.itemsize > 1;
    // the loop that compares every row's count also marks the entities present
    const bool per_row = table.windowed() || table.present != nullptr;
    bool* const present = table.present;
    std::vector<int64_t> entities(kBlock), dates(check_timestamps ? kBlock : 0), counts_read(per_row ? kBlock : 0);
    std::vector<int8_t> codes(check_codes ? kBlock : 0);
    for (int64_t first = chunk.first; first < chunk.last; first += kBlock) {
        if (progress.is_cancelled()) return;
        const int64_t n = std::min(kBlock, chunk.last - first);
        read_integers(table.entity, first, n, entities.data());
        if (check_timestamps) {
            int64_t bad_timestamp = -1;
            read_timestamps(table, first, n, dates.data(), &bad_timestamp);
            bad.note(&bad.timestamp, first, bad_timestamp);
        }
        int64_t bad_entity = -1;
        if (per_row) {
            read_integers(table.timestamp, first, n, counts_read.data());
            for (int64_t k = 0; k < n; ++k) {
                const uint64_t e = static_cast<uint64_t>(entities[k]);
                if (e < n_entities) {
                    counts[e] += window.holds(counts_read[k]);
                    // threads may mark one entity at once, all with true
                    if (present != nullptr) __atomic_store_n(present + e, true, __ATOMIC_RELAXED);
                } else if (bad_entity < 0) {
                    bad_entity = k;
                }
            }
        } else {
            for (int64_t k = 0; k < n; ++k) {
                const uint64_t e = static_cast<uint64_t>(entities[k]);
                if (e < n_entities) {
                    ++counts[e];
                } else if (bad_entity < 0) {
                    bad_entity = k;
                }
            }
        }
        bad.note(&bad.entity, first, bad_entity);
        if (check_codes) {
            int64_t bad_code = -1;
            read_codes(table.code, first, n, codes.data(), &bad_code);
            bad.note(&bad.code, first, bad_code);
        }
        progress.add(n);
    }
}

[[noreturn]] void refuse_row(const TransactionTable& table, const BadRows& bad) {
    auto row_text = [](int64_t row) { return " at row " + std::to_string(row); };
    if (bad.entity != kNone) {
        int64_t code = 0;
        read_integers(table.entity, bad.entity, 1, &code);
        throw Failure{ErrorKind::Value, kRoutine,
                      "entity code " + std::to_string(code) + row_text(bad.entity) + " is outside 0.." +
                          std::to_string(table.n_entities - 1)};
    }
    if (bad.timestamp != kNone) {
        const int64_t count = load<int64_t>(table.timestamp.base + bad.timestamp * table.timestamp.stride);
        if (table.nat_is_missing && count == std::numeric_limits<int64_t>::min()) {
            throw Failure{ErrorKind::Value, kRoutine, "timestamp" + row_text(bad.timestamp) + " is missing (NaT)"};
        }
        throw Failure{ErrorKind::Value, kRoutine,
                      "timestamp" + row_text(bad.timestamp) + " (" + std::to_string(count) +
                          " units) is outside the int64 millisecond range"};
    }
    const char* p = table.code.base + bad.code * table.code.stride;
    const int64_t code = table.code.itemsize == 2   ? load<int16_t>(p)
                         : table.code.itemsize == 4 ? load<int32_t>(p)
                                                    : load<int64_t>(p);
    throw Failure{ErrorKind::Value, kRoutine,
                  "dimension code " + std::to_string(code) + row_text(bad.code) + " is outside int8 (-128..127)"};
}

[[noreturn]] void input_changed() {
    throw Failure{ErrorKind::Runtime, kRoutine, "the transaction columns changed while they were prepared"};
}

// Prefetches for writing the element 16 places after `p`. The address is
// formed as an integer: it may lie past the end of the array, which a
// prefetch never faults on.
template <typename T>
inline void touch_ahead(T* p) {
    __builtin_prefetch(reinterpret_cast<const void*>(reinterpret_cast<uintptr_t>(p) + 16 * sizeof(T)), 1);
}

// Deals every row of the chunk that is to be prepared out to its bucket:
// `cursor` starts at this chunk's first position in every bucket. Besides
// the row, the entity's place within its bucket is kept in `place`. The
// rows to be prepared number n_kept.
template <bool kWindowed>
void deal_rows(const TransactionTable& table, Chunk chunk, const CountWindow& window,
               const std::vector<int32_t>& bucket_of, const std::vector<int64_t>& first_entity,
               std::vector<int64_t>& cursor, const PreparedTable& out, uint16_t* place, int64_t n_kept,
               Progress& progress) {
    const uint64_t n_entities = static_cast<uint64_t>(table.n_entities);
    const uint64_t n_rows = static_cast<uint64_t>(n_kept);
    std::vector<int64_t> entities(kBlock), dates(kBlock), counts_read(kWindowed ? kBlock : 0);
    std::vector<float> quantities(kBlock);
    std::vector<int8_t> codes(kBlock);
    int64_t* const next = cursor.data();
    // Locals, so that the stores below are not taken to change them.
    int64_t* __restrict const dates_out = out.dates;
    float* __restrict const quantities_out = out.quantities;
    int8_t* __restrict const codes_out = out.codes;
    uint16_t* __restrict const place_out = place;
    const int32_t* const bucket = bucket_of.data();
    const int64_t* const bucket_first = first_entity.data();
    for (int64_t first = chunk.first; first < chunk.last; first += kBlock) {
        if (progress.is_cancelled()) return;
        const int64_t n = std::min(kBlock, chunk.last - first);
        int64_t unused = -1;
        read_integers(table.entity, first, n, entities.data());
        read_timestamps(table, first, n, dates.data(), &unused);
        if (kWindowed) read_integers(table.timestamp, first, n, counts_read.data());
        read_quantities(table.quantity, first, n, quantities.data());
        read_codes(table.code, first, n, codes.data(), &unused);
        for (int64_t k = 0; k < n; ++k) {
            // Both checks hold unless another thread rewrote the input since
            // it was counted; they keep every store inside the output.
            const uint64_t e = static_cast<uint64_t>(entities[k]);
            if (e >= n_entities) input_changed();
            if (kWindowed && !window.holds(counts_read[k])) continue;
            const int32_t b = bucket[e];
            const int64_t p = next[b]++;
            if (static_cast<uint64_t>(p) >= n_rows) input_changed();
            // Each bucket fills its run front to back, too many runs at once
            // for the hardware prefetcher to follow: claim the lines a few
            // rows ahead, so that stores do not wait for them.
            touch_ahead(dates_out + p);
            touch_ahead(quantities_out + p);
            touch_ahead(codes_out + p);
            touch_ahead(place_out + p);
            dates_out[p] = dates[k];
            quantities_out[p] = quantities[k];
            codes_out[p] = codes[k];
            place_out[p] = static_cast<uint16_t>(static_cast<int64_t>(e) - bucket_first[b]);
        }
        progress.add(n);
    }
}

// Places the rows of bucket b in their entities' runs and orders each run.
// The rows go through their keys: built from the dealt rows, counted out to
// the runs, ordered, and written back over the bucket.
void order_bucket(const PreparedTable& out, const std::vector<int64_t>& offsets,
                  const std::vector<int64_t>& first_entity, int64_t b, const uint16_t* place,
                  std::vector<RowKey>& keys, std::vector<int64_t>& run_cursor, SortScratch& scratch) {
    const int64_t e0 = first_entity[b], e1 = first_entity[b + 1];
    const int64_t first = offsets[e0], last = offsets[e1];
    const int64_t n = last - first;
    keys.resize(static_cast<size_t>(n));
    run_cursor.resize(static_cast<size_t>(e1 - e0));
    for (int64_t j = 0; j < e1 - e0; ++j) run_cursor[j] = offsets[e0 + j] - first;
    const int64_t n_places = e1 - e0;
    for (int64_t r = first; r < last; ++r) {
        // The checks fail only for rows dealt from an input rewritten since
        // it was counted; they keep every access inside the bucket. A run
        // that got more rows than it counted overflows into the next one,
        // or past the bucket: the bucket's row count is fixed, so some run
        // then ends short, which the check after the loop finds.
        const int64_t j = place[r];
        if (j >= n_places) input_changed();
        const int64_t k = run_cursor[static_cast<size_t>(j)]++;
        if (k >= n) input_changed();
        keys[static_cast<size_t>(k)] = key_of(out.dates[r], out.quantities[r], out.codes[r]);
    }
    for (int64_t j = 0; j < n_places; ++j) {
        if (run_cursor[static_cast<size_t>(j)] != offsets[e0 + j + 1] - first) input_changed();
    }
    for (int64_t e = e0; e < e1; ++e) {
        order_keys(keys.data() + (offsets[e] - first), offsets[e + 1] - offsets[e], scratch);
    }
    for (int64_t r = first; r < last; ++r) {
        store_key(keys[static_cast<size_t>(r - first)], &out.dates[r], &out.quantities[r], &out.codes[r]);
    }
}

}  // namespace

int64_t preparation_units(const TransactionTable& table) { return 3 * table.n_rows; }

void prepare_transactions(const TransactionTable& table, const PreparedTable& out, int n_jobs,
                          const RunWorkers& run, Progress& progress) {
    n_jobs = usable_threads(n_jobs);
    const int64_t n_rows = table.n_rows;
    const int64_t n_entities = table.n_entities;
    if (n_rows > std::numeric_limits<int32_t>::max()) {
        throw Failure{ErrorKind::Value, kRoutine,
                      "more than 2**31 - 1 transactions (" + std::to_string(n_rows) + ") cannot be addressed"};
    }
    if (n_rows == 0) {
        std::fill(out.offsets, out.offsets + n_entities + 1, int64_t{0});
        return;
    }

    // Each thread of the row passes counts into a table of its own, one
    // int32 per entity: no more threads than keep those tables below about
    // one int32 per row.
    const int64_t by_rows = (n_rows + kRowsPerThread - 1) / kRowsPerThread;
    const int64_t by_memory = 1 + n_rows / std::max<int64_t>(n_entities, 1);
    const int threads =
        static_cast<int>(std::max<int64_t>(1, std::min<int64_t>({static_cast<int64_t>(n_jobs), by_rows, by_memory})));

    const CountWindow window = count_window(table);

    // 1. Count and check.
    std::vector<std::vector<int32_t>> counts(static_cast<size_t>(threads));
    std::vector<BadRows> bad(static_cast<size_t>(threads));
    run(threads, [&](int t) {
        counts[t].assign(static_cast<size_t>(n_entities), 0);
        count_rows(table, chunk_of(n_rows, threads, t), window, counts[t], bad[t], progress);
    });
    if (progress.is_cancelled()) return;
    for (int t = 1; t < threads; ++t) bad[0].merge(bad[t]);
    if (bad[0].entity != kNone || bad[0].timestamp != kNone || bad[0].code != kNone) refuse_row(table, bad[0]);

    // 2. Entity runs, and buckets of neighbouring entities: a new bucket
    // starts where the rows would pass kBucketRows (an entity longer than
    // that has a bucket of its own) or the entities kBucketEntities.
    std::vector<int64_t> offsets(static_cast<size_t>(n_entities) + 1);
    std::vector<int32_t> bucket_of(static_cast<size_t>(n_entities));
    std::vector<int64_t> first_entity{0};  // of every bucket, then n_entities
    offsets[0] = 0;
    for (int64_t e = 0; e < n_entities; ++e) {
        int64_t count = 0;
        for (int t = 0; t < threads; ++t) count += counts[t][e];
        const int64_t bucket_first = offsets[first_entity.back()];
        if (e > first_entity.back() &&
            (offsets[e] + count - bucket_first > kBucketRows || e - first_entity.back() >= kBucketEntities)) {
            first_entity.push_back(e);
        }
        bucket_of[e] = static_cast<int32_t>(first_entity.size() - 1);
        offsets[e + 1] = offsets[e] + count;
    }
    first_entity.push_back(n_entities);
    const int64_t n_buckets = static_cast<int64_t>(first_entity.size()) - 1;
    // Every thread's first position in each bucket: the chunks are dealt in
    // row order, each after those of the threads before it.
    std::vector<std::vector<int64_t>> cursors(static_cast<size_t>(threads),
                                              std::vector<int64_t>(static_cast<size_t>(n_buckets)));
    for (int64_t b = 0; b < n_buckets; ++b) {
        int64_t position = offsets[first_entity[b]];
        for (int t = 0; t < threads; ++t) {
            cursors[t][b] = position;
            for (int64_t e = first_entity[b]; e < first_entity[b + 1]; ++e) position += counts[t][e];
        }
    }
    std::vector<std::vector<int32_t>>().swap(counts);
    const int64_t n_kept = offsets[n_entities];

    // 3. Deal.
    // Every element is dealt before it is read, so it starts uninitialised.
    std::unique_ptr<uint16_t[]> place(new uint16_t[static_cast<size_t>(std::max<int64_t>(n_kept, 1))]);
    const std::vector<std::vector<int64_t>> starts = cursors;
    run(threads, [&](int t) {
        if (table.windowed()) {
            deal_rows<true>(table, chunk_of(n_rows, threads, t), window, bucket_of, first_entity, cursors[t], out,
                            place.get(), n_kept, progress);
        } else {
            deal_rows<false>(table, chunk_of(n_rows, threads, t), window, bucket_of, first_entity, cursors[t],
                             out, place.get(), n_kept, progress);
        }
    });
    if (progress.is_cancelled()) return;
    // Every thread dealt to each bucket the rows it counted for it, unless
    // the input was rewritten meanwhile: then some position would be left
    // unwritten.
    for (int64_t b = 0; b < n_buckets; ++b) {
        for (int t = 0; t < threads; ++t) {
            const int64_t end = t + 1 < threads ? starts[t + 1][b] : offsets[first_entity[b + 1]];
            if (cursors[t][b] != end) input_changed();
        }
    }
    std::vector<std::vector<int64_t>>().swap(cursors);
    std::vector<int32_t>().swap(bucket_of);

    // 4. Order, a bucket at a time, the buckets taken by the threads in turn.
    std::atomic<int64_t> next_bucket{0};
    run(static_cast<int>(std::min<int64_t>(n_jobs, n_buckets)), [&](int) {
        std::vector<RowKey> keys;
        std::vector<int64_t> run_cursor;
        SortScratch scratch;
        for (;;) {
            if (progress.is_cancelled()) return;
            const int64_t b = next_bucket.fetch_add(1, std::memory_order_relaxed);
            if (b >= n_buckets) return;
            order_bucket(out, offsets, first_entity, b, place.get(), keys, run_cursor, scratch);
            progress.add(offsets[first_entity[b + 1]] - offsets[first_entity[b]]);
        }
    });
    if (progress.is_cancelled()) return;
    progress.add(n_rows - n_kept);  // the rows left out skip the ordering
    std::copy(offsets.begin(), offsets.end(), out.offsets);
}

}  // namespace dfbh
