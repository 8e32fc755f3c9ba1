// The passes of an entity factorization: the range of the ids; then either
// the codes id - smallest, or per thread a hash table of the ids of its
// chunk, merged in chunk order into the first one and the chunk's codes
// translated; last the targets' codes.
#include "core/frame/entity_ids.hpp"

#include <algorithm>
#include <limits>
#include <string>
#include <vector>

#include "core/common/failure.hpp"
#include "core/common/views.hpp"

namespace dfbh {
namespace {

constexpr const char* kRoutine = "factorize_entities";
constexpr int64_t kBlock = 1024;            // ids read at a time: a few kB, stays in L1
constexpr int64_t kRowsPerThread = 16384;  // fewer rows are not worth a thread of their own
constexpr int64_t kIdsAhead = 32;            // hash slots touched ahead of their lookup

[[noreturn]] void input_changed() {
    throw Failure{ErrorKind::Runtime, kRoutine, "the entity ids changed while they were numbered"};
}

// Open addressing with linear probing, at most half full: id -> code, codes
// given in order of insertion. Fibonacci hashing spreads sequential ids
// and random ones alike. The tables of the threads lie side by side in one
// vector: each on cache lines of its own, so that one thread's inserts do
// not evict the fields another reads on every row.
class alignas(64) IdTable {
public:
    IdTable() { rebuild(1024); }

    // The code of `id`, which a missing id gets as the next code.
    int32_t code_of(int64_t id) {
        for (uint64_t s = slot_of(id);; s = (s + 1) & mask_) {
            Slot& slot = slots_[s];
            if (slot.code < 0) {
                const int32_t code = static_cast<int32_t>(ids_.size());
                slot.id = id;
                slot.code = code;
                ids_.push_back(id);
                if (2 * ids_.size() > slots_.size()) rebuild(2 * slots_.size());
                return code;
            }
            if (slot.id == id) return slot.code;
        }
    }

    // The code of `id`, -1 when it has none.
    int32_t find(int64_t id) const {
        for (uint64_t s = slot_of(id);; s = (s + 1) & mask_) {
            const Slot& slot = slots_[s];
            if (slot.code < 0) return -1;
            if (slot.id == id) return slot.code;
        }
    }

    void prefetch(int64_t id) const { __builtin_prefetch(&slots_[slot_of(id)]); }

    const std::vector<int64_t>& ids() const { return ids_; }  // by code

private:
    struct Slot {
        int64_t id;
        int32_t code;  // -1: empty
    };

    uint64_t slot_of(int64_t id) const {
        return (static_cast<uint64_t>(id) * 0x9E3779B97F4A7C15ull) >> shift_;
    }

    void rebuild(size_t n_slots) {
        slots_.assign(n_slots, Slot{0, -1});
        mask_ = n_slots - 1;
        shift_ = 64;
        for (size_t n = n_slots; n > 1; n >>= 1) --shift_;
        for (size_t code = 0; code < ids_.size(); ++code) {
            uint64_t s = slot_of(ids_[code]);
            while (slots_[s].code >= 0) s = (s + 1) & mask_;
            slots_[s] = Slot{ids_[code], static_cast<int32_t>(code)};
        }
    }

    std::vector<Slot> slots_;
    std::vector<int64_t> ids_;
    uint64_t mask_ = 0;
    int shift_ = 64;
};

struct Range {
    int64_t low = std::numeric_limits<int64_t>::max();
    int64_t high = std::numeric_limits<int64_t>::min();
};

Range range_of(const InputColumn& column, Chunk chunk, Progress& progress) {
    Range range;
    std::vector<int64_t> ids(kBlock);
    for (int64_t first = chunk.first; first < chunk.last; first += kBlock) {
        if (progress.is_cancelled()) break;
        const int64_t n = std::min(kBlock, chunk.last - first);
        read_integers(column, first, n, ids.data());
        int64_t low = range.low, high = range.high;
        for (int64_t k = 0; k < n; ++k) {
            low = std::min(low, ids[k]);
            high = std::max(high, ids[k]);
        }
        range.low = low;
        range.high = high;
        progress.add(n);
    }
    return range;
}

// Codes id - low of a chunk; ids outside [low, low + span) were not there
// when the range was taken.
void code_by_range(const InputColumn& column, Chunk chunk, int64_t low, uint64_t span, int32_t* codes,
                   Progress& progress) {
    std::vector<int64_t> ids(kBlock);
    for (int64_t first = chunk.first; first < chunk.last; first += kBlock) {
        if (progress.is_cancelled()) return;
        const int64_t n = std::min(kBlock, chunk.last - first);
        read_integers(column, first, n, ids.data());
        for (int64_t k = 0; k < n; ++k) {
            const uint64_t code = static_cast<uint64_t>(ids[k]) - static_cast<uint64_t>(low);
            if (code >= span) input_changed();
            codes[first + k] = static_cast<int32_t>(code);
        }
        progress.add(n);
    }
}

// A chunk's codes: an id of the shared, read-only table of the targets'
// ids has its code there; any other id gets n_seeded + its code in the
// chunk's own table of added ids.
void code_by_tables(const InputColumn& column, Chunk chunk, const IdTable& seed, IdTable& added, int32_t* codes,
                    Progress& progress) {
    const int32_t n_seeded = static_cast<int32_t>(seed.ids().size());
    std::vector<int64_t> ids(kBlock);
    for (int64_t first = chunk.first; first < chunk.last; first += kBlock) {
        if (progress.is_cancelled()) return;
        const int64_t n = std::min(kBlock, chunk.last - first);
        read_integers(column, first, n, ids.data());
        for (int64_t k = 0; k < std::min(kIdsAhead, n); ++k) seed.prefetch(ids[k]);
        for (int64_t k = 0; k < n; ++k) {
            if (k + kIdsAhead < n) seed.prefetch(ids[k + kIdsAhead]);
            const int32_t code = seed.find(ids[k]);
            codes[first + k] = code >= 0 ? code : n_seeded + added.code_of(ids[k]);
        }
        progress.add(n);
    }
}

// Refuses tables whose codes would not fit int32.
void check_sizes(const EntityIds& ids) {
    const int64_t n_rows = ids.n_rows;
    if (n_rows > std::numeric_limits<int32_t>::max()) {
        throw Failure{ErrorKind::Value, kRoutine,
                      "more than 2**31 - 1 transactions (" + std::to_string(n_rows) + ") cannot be numbered"};
    }
    // Codes are int32 and the targets' ids may come first: together they
    // must fit.
    if (ids.n_targets > std::numeric_limits<int32_t>::max() - n_rows) {
        throw Failure{ErrorKind::Value, kRoutine,
                      "more than 2**31 - 1 transactions and targets together (" + std::to_string(n_rows) + " and " +
                          std::to_string(ids.n_targets) + ") cannot be numbered"};
    }
}

int threads_for(int n_jobs, int64_t n) {
    return static_cast<int>(
        std::max<int64_t>(1, std::min<int64_t>(usable_threads(n_jobs), (n + kRowsPerThread - 1) / kRowsPerThread)));
}

// The smallest and largest transaction id.
Range id_range(const EntityIds& ids, int threads, const RunWorkers& run, Progress& progress) {
    std::vector<Range> ranges(static_cast<size_t>(threads));
    if (ids.n_rows > 0) {
        run(threads, [&](int t) { ranges[t] = range_of(ids.ids, chunk_of(ids.n_rows, threads, t), progress); });
    }
    Range range;
    for (const Range& r : ranges) {
        range.low = std::min(range.low, r.low);
        range.high = std::max(range.high, r.high);
    }
    return range;
}

// The targets' codes where the ids are their own codes: -1 outside the range.
void code_targets_by_range(const EntityIds& ids, const EntityCodes& out, int64_t low, uint64_t span, int threads,
                           const RunWorkers& run, Progress& progress) {
    const int64_t n_targets = ids.n_targets;
    run(threads, [&](int t) {
        const Chunk chunk = chunk_of(n_targets, threads, t);
        std::vector<int64_t> target_ids(kBlock);
        for (int64_t first = chunk.first; first < chunk.last; first += kBlock) {
            if (progress.is_cancelled()) return;
            const int64_t n = std::min(kBlock, chunk.last - first);
            read_integers(ids.target_ids, first, n, target_ids.data());
            for (int64_t k = 0; k < n; ++k) {
                const uint64_t offset = static_cast<uint64_t>(target_ids[k]) - static_cast<uint64_t>(low);
                out.target_codes[first + k] = offset < span ? static_cast<int32_t>(offset) : -1;
            }
            progress.add(n);
        }
    });
}

// The targets' ids numbered first, in the targets' order: the engine
// computes targets grouped by entity code, and codes in the targets' order
// let it write the result rows front to back instead of all over the matrix.
bool seed_with_targets(const EntityIds& ids, const EntityCodes& out, IdTable& seed, Progress& progress) {
    std::vector<int64_t> target_ids(kBlock);
    for (int64_t first = 0; first < ids.n_targets; first += kBlock) {
        if (progress.is_cancelled()) return false;
        const int64_t n = std::min(kBlock, ids.n_targets - first);
        read_integers(ids.target_ids, first, n, target_ids.data());
        for (int64_t k = 0; k < n; ++k) out.target_codes[first + k] = seed.code_of(target_ids[k]);
        progress.add(n);
    }
    return true;
}

// Chunk 0's codes stand; the ids every later chunk adds join in order of
// their first appearance, so codes follow the first appearance in the
// targets and then in the whole table, whatever the number of threads.
// Returns, per chunk, the final code of each id it added, and the number of
// ids all chunks added.
size_t merge_added(std::vector<IdTable>& added, size_t n_seeded, std::vector<std::vector<int32_t>>& translations) {
    IdTable table = std::move(added[0]);
    for (size_t t = 1; t < added.size(); ++t) {
        std::vector<int32_t>& translation = translations[t];
        translation.reserve(added[t].ids().size());
        for (int64_t id : added[t].ids()) translation.push_back(static_cast<int32_t>(n_seeded) + table.code_of(id));
        added[t] = IdTable();  // its memory is not needed any more
    }
    return table.ids().size();
}

// Rewrites a chunk's codes of the ids it added into their final codes.
void translate_chunk(const std::vector<int32_t>& translation, Chunk chunk, int64_t n_seeded, int32_t* codes,
                     Progress& progress) {
    if (translation.empty()) {  // chunk 0, or no id the targets lack
        progress.add(chunk.last - chunk.first);
        return;
    }
    const uint32_t n_added = static_cast<uint32_t>(translation.size());
    for (int64_t first = chunk.first; first < chunk.last; first += kBlock) {
        if (progress.is_cancelled()) return;
        const int64_t last = std::min(chunk.last, first + kBlock);
        for (int64_t r = first; r < last; ++r) {
            const int64_t code = codes[r];
            if (code < n_seeded) continue;
            const uint32_t local = static_cast<uint32_t>(code - n_seeded);
            if (local >= n_added) input_changed();
            codes[r] = translation[local];
        }
        progress.add(last - first);
    }
}

// Numbers ids through tables: the targets' first, then each chunk's own,
// merged. Returns the number of entities (0 when cancelled).
int64_t number_by_tables(const EntityIds& ids, const EntityCodes& out, int threads, const RunWorkers& run,
                         Progress& progress) {
    IdTable seed;
    if (!seed_with_targets(ids, out, seed, progress)) return 0;
    const size_t n_seeded = seed.ids().size();
    std::vector<IdTable> added(static_cast<size_t>(threads));
    run(threads, [&](int t) {
        code_by_tables(ids.ids, chunk_of(ids.n_rows, threads, t), seed, added[t], out.codes, progress);
    });
    if (progress.is_cancelled()) return 0;
    std::vector<std::vector<int32_t>> translations(static_cast<size_t>(threads));
    const size_t n_added = merge_added(added, n_seeded, translations);
    run(threads, [&](int t) {
        translate_chunk(translations[t], chunk_of(ids.n_rows, threads, t), static_cast<int64_t>(n_seeded), out.codes,
                        progress);
    });
    return static_cast<int64_t>(n_seeded + n_added);
}

// The codes, without the marks of presence.
Factorization assign_codes(const EntityIds& ids, const EntityCodes& out, int n_jobs, const RunWorkers& run,
                           Progress& progress) {
    check_sizes(ids);
    const int64_t n_rows = ids.n_rows;
    const int threads = threads_for(n_jobs, n_rows);
    Factorization result;
    const Range range = id_range(ids, threads, run, progress);
    if (progress.is_cancelled()) return result;

    // Ids that fill at least every second place of their range (or a range
    // of 65,536) are their own codes: the per-entity arrays of the
    // preparation stay below a few bytes per row.
    const uint64_t span = n_rows > 0 ? static_cast<uint64_t>(range.high) - static_cast<uint64_t>(range.low) + 1 : 0;
    const uint64_t dense_enough = static_cast<uint64_t>(std::max<int64_t>(n_rows / 2, 65536));
    if (n_rows > 0 && (span == 0 || span > dense_enough)) {
        result.n_entities = number_by_tables(ids, out, threads, run, progress);
        return result;
    }
    if (n_rows > 0) {
        result.by_range = true;
        result.smallest = range.low;
        result.n_entities = static_cast<int64_t>(span);
        run(threads, [&](int t) {
            code_by_range(ids.ids, chunk_of(n_rows, threads, t), range.low, span, out.codes, progress);
        });
        if (progress.is_cancelled()) return result;
        progress.add(n_rows);  // nothing to translate
    }
    code_targets_by_range(ids, out, range.low, result.by_range ? span : 0, threads_for(n_jobs, ids.n_targets), run,
                          progress);
    return result;
}

// Marks the codes of the transactions in `out.present`. Threads may store
// to the same entry, the same value: relaxed atomic stores.
void mark_present(const EntityIds& ids, const EntityCodes& out, int64_t n_entities, int threads,
                  const RunWorkers& run) {
    if (out.present == nullptr) return;
    if (n_entities > out.n_present) {
        throw Failure{ErrorKind::Value, "factorize_entities",
                      "present_out: holds " + std::to_string(out.n_present) + " entries, the ids have " +
                          std::to_string(n_entities) + " codes"};
    }
    run(threads, [&](int t) {
        const Chunk chunk = chunk_of(ids.n_rows, threads, t);
        bool* const present = out.present;
        const int32_t* const codes = out.codes;
        for (int64_t i = chunk.first; i < chunk.last; ++i) __atomic_store_n(present + codes[i], true, __ATOMIC_RELAXED);
    });
}

}  // namespace

int64_t factorization_units(const EntityIds& ids) { return 3 * ids.n_rows + ids.n_targets; }

Factorization factorize_entities(const EntityIds& ids, const EntityCodes& out, int n_jobs, const RunWorkers& run,
                                 Progress& progress) {
    Factorization result = assign_codes(ids, out, n_jobs, run, progress);
    if (!progress.is_cancelled()) mark_present(ids, out, result.n_entities, threads_for(n_jobs, ids.n_rows), run);
    return result;
}

}  // namespace dfbh
