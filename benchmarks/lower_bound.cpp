// The fastest loop we can write for the work of one `execute` call: the same
// transaction rows read in the same order (each entity's rows newest first,
// stopping at the first row older than the largest window), the same result
// cells written with the same float32 bits, and nothing else. It ignores
// every rule that does not change the amount of work (ordered maps,
// find-or-insert, error reporting, unsorted horizon lists) and leans on what
// the benchmark data guarantee: an entity's rows come newest first.
//
// Built by benchmarks/run.py with the module's flags and loaded via ctypes;
// the runner checks its output against the module's, cell for cell.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#if defined(__has_include)
#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#define LB_HAVE_CALLGRIND 1
#endif
#endif

extern "C" {

// Switches callgrind's event collection on or off (run.py calls it around the
// measured call under --collect-atstart=no); a no-op outside valgrind.
int lb_collect_toggle(void) {
#ifdef LB_HAVE_CALLGRIND
    CALLGRIND_TOGGLE_COLLECT;
    return 1;
#else
    return 0;
#endif
}

// Everything one run needs; strides are in bytes. Filled by lowerbound.py.
struct LbArgs {
    // result matrix: base and row stride (column offsets are in the write lists)
    char* result;
    int64_t result_s0;
    // transactions
    const char* dates;
    int64_t dates_s0;
    const char* qs;
    int64_t qs_s0;
    const char* ds;
    int64_t ds_s0;
    // entities: rows newest first, dense offsets per entity
    const int32_t* rows;
    const int64_t* row_offsets;
    const uint8_t* has_rows;
    const int64_t* target_dates;
    // splits
    const int32_t* splits;
    int64_t n_splits, split_len;
    // time windows: ascending distinct horizons
    int64_t unit_ms;
    int32_t offset;
    int32_t n_horizons;
    const int32_t* horizons;
    // dimensions: code (as uint8) -> dense dimension index
    const int32_t* code_to_dim;
    int32_t n_dims;
    // requested work
    int32_t inclusive_upper;  // feature-group mode: a row at the window end is kept
    int32_t nan_skips;        // feature-group mode: NaN quantities are skipped
    int32_t group_only;       // only rows of group_dim are aggregated
    int32_t group_dim;        // dense index of dim_group_id, -1 if none
    int32_t want_distinct;
    int32_t want_mode;
    // Cell writes: result byte offset within the row <- source index. The
    // sources are the cells [dim][position][9 slots]; the CountDistinct and
    // Mode slots of every cell hold the entity's values of the position.
    int64_t n_writes;
    const int64_t* write_to;
    const int32_t* write_from;
    // Ratio writes: offset <- Sum cell of (dim, position) / the total of the
    // position's Sum cells over every dimension value.
    int64_t n_ratio;
    const int64_t* ratio_to;
    const int32_t* ratio_dim;
    const int32_t* ratio_pos;
    // Rows are streamed past the caches when the result rows the call
    // writes span at least this many bytes; 0: 64 MiB.
    int64_t stream_from_bytes;
};

struct LbCounters {
    int64_t rows_scanned;
    int64_t rows_accepted;
    int64_t cells_written;
    int64_t entities;        // entities with rows
    int64_t bytes_streamed;  // result bytes written with non-temporal stores
};

}  // extern "C"

namespace {

template <typename T>
inline T ld(const char* p) {
    T v;
    std::memcpy(&v, p, sizeof(T));
    return v;
}

// Prefetches go to L2: measured faster on the time-sorted layout than
// prefetching into L1, which holds fewer lines in flight. Always inlined:
// GCC takes a function that only prefetches for one without effects and
// drops the calls to it.
#define LB_INLINE inline __attribute__((always_inline))
#define LB_INLINE_LAMBDA __attribute__((always_inline))
LB_INLINE void prefetch(const void* p) { __builtin_prefetch(p, 0, 2); }

constexpr int S = 9;  // slots per cell: Density Min Max Sum Frequency CountDistinct Mode TSF TSL
constexpr int kMinSlot = 1, kMaxSlot = 2, kSumSlot = 3, kCountSlot = 4;
constexpr int kDistinctSlot = 5, kModeSlot = 6;
constexpr int kSinceFirstSlot = 7, kSinceLastSlot = 8;
static_assert(kModeSlot == kDistinctSlot + 1, "the two statistics are copied as one pair");
static_assert(kMaxSlot == kMinSlot + 1 && kSumSlot == kMinSlot + 2 && kCountSlot == kMinSlot + 3,
              "the running values are copied as one block");

// How far ahead the loads run. Within an entity: rows kAhead steps ahead.
// Across entities, in the order of the split: the entity table entries
// kEntityAhead entities ahead, their row lists kListAhead ahead, and the
// first kAhead rows plus the result row kRowsAhead ahead, so that a new
// entity starts on rows already in cache.
constexpr int64_t kAhead = 16;
constexpr int64_t kEntityAhead = 6;
constexpr int64_t kListAhead = 4;
constexpr int64_t kRowsAhead = 2;

// Running aggregates of one dimension value within the current entity, in
// slot order. Rows come newest first, so the smallest span is that of the
// first row seen and the largest that of the last one: only their dates
// are kept.
struct Running {
    float mn, mx, sum, cnt;
    int64_t t_first, t_last;
};

inline void fill_nan(float* p, int n) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float q[4] = {nan, nan, nan, nan};
    int i = 0;
    for (; i + 4 <= n; i += 4) std::memcpy(p + i, q, sizeof(q));
    for (; i < n; ++i) p[i] = nan;
}

// ---- the row writer ---------------------------------------------------------

int64_t stream_from_bytes(const LbArgs& a) {
    return a.stream_from_bytes > 0 ? a.stream_from_bytes : int64_t(64) << 20;
}

// Byte moves of one size; `to` in the result row, `from` in the source.
struct Move {
    int64_t to;
    int64_t from;
};

// Stores with non-temporal hints: the cache lines of a large result are
// written without being read first. Sizes and offsets are multiples of 4.
inline void stream_run(char* dst, const char* src, int64_t bytes) {
#if defined(__SSE2__)
    int64_t i = 0;
    for (; i < bytes && (reinterpret_cast<uintptr_t>(dst + i) & 15); i += 4)
        _mm_stream_si32(reinterpret_cast<int*>(dst + i), ld<int32_t>(src + i));
    auto move16 = [&](int64_t at) LB_INLINE_LAMBDA {
        _mm_stream_si128(reinterpret_cast<__m128i*>(dst + at),
                         _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + at)));
    };
    for (; i + 64 <= bytes; i += 64) {
        move16(i);
        move16(i + 16);
        move16(i + 32);
        move16(i + 48);
    }
    for (; i + 16 <= bytes; i += 16) move16(i);
    for (; i < bytes; i += 4) _mm_stream_si32(reinterpret_cast<int*>(dst + i), ld<int32_t>(src + i));
#else
    std::memcpy(dst, src, size_t(bytes));
#endif
}

// Writes a row's cells. Two plans, picked per call by an estimate of their
// cost:
// - direct: the write list merged into runs of adjacent columns fed by
//   adjacent sources, each run cut into 16-, 8- and 4-byte moves (the last
//   move of a run overlaps the one before), copied from the cells; on a
//   large result the cache lines that hold only such cells are streamed;
// - image: a row image in column order, which holds NaN wherever a value
//   has no cell this entity; only the cells of the values the entity
//   touched are put in (and taken out again afterwards), and the image is
//   copied to the row in contiguous runs, streamed past the caches when the
//   result is large. Pays when most of a wide row is NaN.
class RowWriter {
public:
    // False when a column is written twice.
    bool plan(const LbArgs& a);
    bool image() const { return image_; }
    bool blocks() const { return blocks_; }
    bool streams() const { return stream_; }
    int64_t lo() const { return lo_; }
    int64_t hi() const { return hi_; }
    int64_t cells() const { return n_writes_; }
    // Bytes of a row written with non-temporal stores.
    int64_t streamed_bytes() const {
        if (!stream_) return 0;
        if (!image_) return 64 * int64_t(lines_.size());
        int64_t n = 0;
        for (const Move& r : img_runs_) n += r.from;
        return n;
    }
    // Row offsets of the written cells that go through the caches.
    std::vector<int64_t> cached_cells() const {
        std::vector<int64_t> at;
        if (blocks_) return at;  // a row too wide for hints
        if (image_ && stream_) return at;
        for (const auto* list : {&move16_, &move8_, &move4_})
            for (const Move& m : *list) at.push_back((image_ ? lo_ : 0) + m.to);
        for (const Move& m : move16_) at.push_back((image_ ? lo_ : 0) + m.to + 15);
        for (const Move& m : move8_) at.push_back((image_ ? lo_ : 0) + m.to + 7);
        return at;
    }

    // Direct plan: copies the cells to the row. Cache lines that hold only
    // cells written for every entity are assembled in a staging row first
    // and streamed whole, so that they are never read.
    void write(char* row, const float* cells) {
        const char* src = reinterpret_cast<const char*>(cells);
        if (!lines_.empty()) {
            char* const stage = stage_.data();
            for (const Move& m : stage16_) std::memcpy(stage + m.to, src + m.from, 16);
            for (const Move& m : stage8_) std::memcpy(stage + m.to, src + m.from, 8);
            for (const Move& m : stage4_) std::memcpy(stage + m.to, src + m.from, 4);
            for (const int64_t at : lines_) stream_run(row + at, stage + at, 64);
        }
        for (const Move& m : move16_) std::memcpy(row + m.to, src + m.from, 16);
        for (const Move& m : move8_) std::memcpy(row + m.to, src + m.from, 8);
        for (const Move& m : move4_) std::memcpy(row + m.to, src + m.from, 4);
    }

    // Image plan: puts in the cells of the touched values, writes the image
    // and takes the cells out again.
    void write_image(char* row, const float* cells, const int32_t* touched, int32_t n_touched, int cell_floats) {
        char* const img = img_.data();
        const char* src = reinterpret_cast<const char*>(cells);
        const int32_t* const begin = emit_begin_.data();
        const Move* const emits = emits_.data();
        for (int32_t i = 0; i < n_touched; ++i) {
            const int32_t d = touched[i];
            const char* block = src + 4 * int64_t(d) * cell_floats;
            for (int32_t k = begin[d], end = begin[d + 1]; k < end; ++k)
                std::memcpy(img + emits[k].to, block + emits[k].from, 4);
        }
        for (const Move& m : stat_emits_) std::memcpy(img + m.to, src + m.from, 4);
        char* const out = row + lo_;
        if (stream_) {
            for (const Move& r : img_runs_) stream_run(out + r.to, img + r.to, r.from);
        } else {
            for (const Move& m : move16_) std::memcpy(out + m.to, img + m.from, 16);
            for (const Move& m : move8_) std::memcpy(out + m.to, img + m.from, 8);
            for (const Move& m : move4_) std::memcpy(out + m.to, img + m.from, 4);
        }
        const float nan = std::numeric_limits<float>::quiet_NaN();
        for (int32_t i = 0; i < n_touched; ++i) {
            const int32_t d = touched[i];
            for (int32_t k = begin[d], end = begin[d + 1]; k < end; ++k) std::memcpy(img + emits[k].to, &nan, 4);
        }
    }

    // Blocks plan: every value's cells go to a contiguous run of columns,
    // the same cells in the same order for each. Every block is written
    // from the spare block (the cells of a value without transactions,
    // held in registers), then the blocks of the touched values are
    // assembled in place from their cells.
    void write_blocks(char* row, const float* cells, const int32_t* touched, int32_t n_touched, int cell_floats,
                      const float* spare_cells) {
        char* const spare = spare_.data();
        assemble(spare, spare_cells);
        switch (block_moves_) {
            case 1: spread<1>(row, spare); break;
            case 2: spread<2>(row, spare); break;
            case 3: spread<3>(row, spare); break;
            case 4: spread<4>(row, spare); break;
            case 5: spread<5>(row, spare); break;
            case 6: spread<6>(row, spare); break;
            case 7: spread<7>(row, spare); break;
            case 8: spread<8>(row, spare); break;
            case 9: spread<9>(row, spare); break;
            case 10: spread<10>(row, spare); break;
            case 11: spread<11>(row, spare); break;
            case 12: spread<12>(row, spare); break;
        }
        for (int32_t i = 0; i < n_touched; ++i) {
            const int32_t d = touched[i];
            const int32_t b = block_of_[size_t(d)];
            if (b >= 0) assemble(row + block_to_[size_t(b)], cells + int64_t(d) * cell_floats);
        }
    }

private:
    LB_INLINE void assemble(char* to, const float* cells) const {
        const char* src = reinterpret_cast<const char*>(cells);
        for (const Move& m : asm16_) std::memcpy(to + m.to, src + m.from, 16);
        for (const Move& m : asm8_) std::memcpy(to + m.to, src + m.from, 8);
        for (const Move& m : asm4_) std::memcpy(to + m.to, src + m.from, 4);
    }
    template <int kMoves>
    void spread(char* row, const char* spare) const {
        const int64_t bytes = 4 * int64_t(block_width_);
        auto at = [bytes](int m) { return m + 1 < kMoves ? 16 * int64_t(m) : bytes - 16; };
#if defined(__SSE2__)
        __m128i held[kMoves];
#pragma GCC unroll 16
        for (int m = 0; m < kMoves; ++m) held[m] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(spare + at(m)));
        for (const int64_t to : block_to_) {
#pragma GCC unroll 16
            for (int m = 0; m < kMoves; ++m)
                _mm_storeu_si128(reinterpret_cast<__m128i*>(row + to + at(m)), held[m]);
        }
#else
        for (const int64_t to : block_to_)
            for (int m = 0; m < kMoves; ++m) std::memcpy(row + to + at(m), spare + at(m), 16);
#endif
    }
    // The blocks of the write list, or false.
    bool plan_blocks(const LbArgs& a);

    struct Run {
        int64_t to;
        int64_t from;
        int64_t bytes;
    };
    static void cut(const std::vector<Run>& runs, std::vector<Move>& m16, std::vector<Move>& m8,
                    std::vector<Move>& m4);
    void plan_direct(const LbArgs& a);
    static double sampled_rows_per_entity(const LbArgs& a);

    bool image_ = false;
    bool stream_ = false;
    int64_t lo_ = 0, hi_ = 0;
    int64_t n_writes_ = 0;
    std::vector<Move> move16_, move8_, move4_;
    // streamed lines of the direct plan
    std::vector<int64_t> lines_;  // row offsets of the lines streamed whole
    std::vector<char> stage_;
    std::vector<Move> stage16_, stage8_, stage4_;
    // image plan
    std::vector<char> img_;
    std::vector<Move> img_runs_;      // (image offset, -, bytes) as (to, from = bytes)
    std::vector<int32_t> emit_begin_;  // per dimension index, into emits_
    std::vector<Move> emits_;          // (image offset, byte offset in the value's cells)
    std::vector<Move> stat_emits_;     // (image offset, byte offset in the cells), every entity
    // blocks plan
    bool blocks_ = false;
    int32_t block_width_ = 0, block_moves_ = 0;
    std::vector<int64_t> block_to_;   // row offset of each block
    std::vector<int32_t> block_of_;   // per dimension index: its block, -1 for none
    std::vector<Move> asm16_, asm8_, asm4_;  // a block from its value's cells
    std::vector<char> spare_;
};

// Blocks pay only with many values: an entity then touches few of them.
constexpr int kManyValues = 16;

bool RowWriter::plan_blocks(const LbArgs& a) {
    const int32_t cell_floats = a.n_horizons * S;
    std::vector<std::vector<std::pair<int64_t, int32_t>>> per_dim(static_cast<size_t>(a.n_dims));
    for (int64_t w = 0; w < n_writes_; ++w)
        per_dim[size_t(a.write_from[w] / cell_floats)].push_back({a.write_to[w], a.write_from[w] % cell_floats});
    std::vector<int32_t> pattern;
    block_of_.assign(size_t(a.n_dims), -1);
    for (int d = 0; d < a.n_dims; ++d) {
        auto& w = per_dim[size_t(d)];
        if (w.empty()) continue;
        std::sort(w.begin(), w.end());
        std::vector<int32_t> from;
        for (size_t k = 0; k < w.size(); ++k) {
            if (w[k].first != w[0].first + 4 * int64_t(k)) return false;
            from.push_back(w[k].second);
        }
        if (block_to_.empty())
            pattern = from;
        else if (from != pattern)
            return false;
        block_of_[size_t(d)] = int32_t(block_to_.size());
        block_to_.push_back(w[0].first);
    }
    block_width_ = int32_t(pattern.size());
    block_moves_ = (block_width_ + 3) / 4;
    if (block_width_ < 4 || block_moves_ > 12 || a.n_dims <= kManyValues) return false;
    std::vector<Run> runs;
    for (int32_t k = 0; k < block_width_; ++k) {
        if (!runs.empty() && runs.back().to + runs.back().bytes == 4 * k &&
            runs.back().from + runs.back().bytes == 4 * int64_t(pattern[size_t(k)]))
            runs.back().bytes += 4;
        else
            runs.push_back({4 * int64_t(k), 4 * int64_t(pattern[size_t(k)]), 4});
    }
    cut(runs, asm16_, asm8_, asm4_);
    spare_.assign(size_t(block_width_) * 4, 0);
    return true;
}

void RowWriter::cut(const std::vector<Run>& runs, std::vector<Move>& m16, std::vector<Move>& m8,
                    std::vector<Move>& m4) {
    for (const Run& r : runs) {
        if (r.bytes >= 16) {
            int64_t i = 0;
            for (; i + 16 <= r.bytes; i += 16) m16.push_back({r.to + i, r.from + i});
            if (i < r.bytes) m16.push_back({r.to + r.bytes - 16, r.from + r.bytes - 16});
        } else if (r.bytes >= 8) {
            m8.push_back({r.to, r.from});
            if (r.bytes > 8) m8.push_back({r.to + r.bytes - 8, r.from + r.bytes - 8});
        } else {
            m4.push_back({r.to, r.from});
        }
    }
}

// The direct plan: runs of adjacent columns fed by adjacent sources. When
// the result is far larger than the caches and every row starts at the same
// offset within a cache line, the lines that hold only cells of the write
// list (never a cell the row keeps, a Ratio cell, or a neighbouring row's
// cell) are streamed.
void RowWriter::plan_direct(const LbArgs& a) {
    std::vector<uint8_t> full_line;  // per line of the row span
    int64_t first_line = 0;          // row offset of the first line
    const bool large = double(a.result_s0) * double(a.n_splits * a.split_len) >= double(stream_from_bytes(a));
    if (large && a.result_s0 % 64 == 0 && hi_ - lo_ <= a.result_s0) {
        const int64_t mis = int64_t(reinterpret_cast<uintptr_t>(a.result) & 63);
        first_line = lo_ - ((lo_ + mis) & 63);
        const int64_t n_lines = (hi_ - first_line + 63) / 64;
        std::vector<uint8_t> written(size_t(n_lines) * 16, 0);
        bool aligned = true;
        for (int64_t w = 0; w < n_writes_; ++w) {
            aligned &= (a.write_to[w] - first_line) % 4 == 0;
            written[size_t((a.write_to[w] - first_line) / 4)] = 1;
        }
        full_line.assign(size_t(n_lines), 0);
        for (int64_t k = 0; aligned && k < n_lines; ++k) {
            full_line[size_t(k)] = std::all_of(written.begin() + 16 * k, written.begin() + 16 * (k + 1),
                                               [](uint8_t x) { return x != 0; });
            if (full_line[size_t(k)]) lines_.push_back(first_line + 64 * k);
        }
    }
    std::vector<Run> row_runs, stage_runs;
    for (int64_t w = 0; w < n_writes_; ++w) {
        const int64_t to = a.write_to[w];
        const int64_t from = 4 * int64_t(a.write_from[w]);
        const bool staged = !lines_.empty() && full_line[size_t((to - first_line) / 64)];
        std::vector<Run>& runs = staged ? stage_runs : row_runs;
        if (!runs.empty() && to == runs.back().to + runs.back().bytes && from == runs.back().from + runs.back().bytes)
            runs.back().bytes += 4;
        else
            runs.push_back({to, from, 4});
    }
    cut(row_runs, move16_, move8_, move4_);
    cut(stage_runs, stage16_, stage8_, stage4_);
    if (!lines_.empty()) {
        stage_.assign(size_t(hi_), 0);
        stream_ = true;
    }
}

// Listed rows per entity over the first entities of the first split.
double RowWriter::sampled_rows_per_entity(const LbArgs& a) {
    int64_t n = 0, rows = 0;
    for (int64_t k = 0; k < std::min<int64_t>(a.split_len, 256); ++k) {
        const int32_t e = a.splits[k];
        if (e == -1) break;
        ++n;
        rows += a.row_offsets[e + 1] - a.row_offsets[e];
    }
    return n ? double(rows) / double(n) : 0.0;
}

bool RowWriter::plan(const LbArgs& a) {
    const int D = a.n_dims, H = a.n_horizons;
    const int32_t cell_floats = H * S;
    n_writes_ = a.n_writes;
    if (n_writes_ == 0) return true;
    lo_ = *std::min_element(a.write_to, a.write_to + n_writes_);
    hi_ = *std::max_element(a.write_to, a.write_to + n_writes_) + 4;

    // Direct runs in list order.
    std::vector<Run> runs;
    for (int64_t w = 0; w < n_writes_; ++w) {
        const int64_t from = 4 * int64_t(a.write_from[w]);
        if (!runs.empty() && a.write_to[w] == runs.back().to + runs.back().bytes &&
            from == runs.back().from + runs.back().bytes) {
            runs.back().bytes += 4;
            continue;
        }
        runs.push_back({a.write_to[w], from, 4});
    }

    // The image, in column order. Every column is written once (the write
    // list comes from a column table), so the order of the moves is free.
    std::vector<int64_t> order(static_cast<size_t>(n_writes_));
    for (int64_t w = 0; w < n_writes_; ++w) order[size_t(w)] = w;
    std::sort(order.begin(), order.end(), [&](int64_t x, int64_t y) { return a.write_to[x] < a.write_to[y]; });
    if (std::adjacent_find(order.begin(), order.end(), [&](int64_t x, int64_t y) {
            return a.write_to[x] == a.write_to[y];
        }) != order.end())
        return false;
    std::vector<Run> img_runs;
    std::vector<std::vector<Move>> per_dim(static_cast<size_t>(D));
    std::vector<Move> stats;
    size_t n_emits = 0;
    for (size_t k = 0; k < order.size(); ++k) {
        const int64_t w = order[k];
        const int64_t off = a.write_to[w] - lo_;
        const int32_t from = a.write_from[w];
        const int32_t slot = from % S;
        if (slot == kDistinctSlot || slot == kModeSlot) {
            stats.push_back({off, 4 * int64_t(from)});
        } else {
            const int32_t d = from / cell_floats;
            per_dim[size_t(d)].push_back({off, 4 * int64_t(from - d * cell_floats)});
            ++n_emits;
        }
        if (!img_runs.empty() && img_runs.back().to + img_runs.back().bytes == off)
            img_runs.back().bytes += 4;
        else
            img_runs.push_back({off, off, 4});
    }

    // Cost estimate in instructions per entity: the image touches the
    // cells of the values an entity has (at most its row count), twice,
    // plus one 16-byte move per 16 bytes of image; the direct plan pays per
    // move.
    const double touched = std::min<double>(D, sampled_rows_per_entity(a));
    const double direct_cost = 6.0 * double(runs.size()) + double(n_writes_) / 2.0;
    const double image_cost = 4.0 * touched * double(n_emits) / double(D) + 2.0 * double(stats.size()) +
                              double(hi_ - lo_) / 8.0 + 6.0 * double(img_runs.size());
    image_ = image_cost < direct_cost;
    if (plan_blocks(a)) {
        const double blocks_cost =
            double(block_to_.size()) * (block_moves_ + 3) +
            (touched + 1) * 3.0 * double(asm16_.size() + asm8_.size() + asm4_.size());
        if (blocks_cost < std::min(image_cost, direct_cost)) {
            blocks_ = true;
            image_ = false;
            return true;
        }
    }
    block_to_.clear();
    if (!image_) {
        plan_direct(a);
        return true;
    }
    cut(img_runs, move16_, move8_, move4_);
    for (const Run& r : img_runs) img_runs_.push_back({r.to, r.bytes});
    img_.assign(size_t(hi_ - lo_), 0);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    emit_begin_.assign(size_t(D) + 1, 0);
    for (int d = 0; d < D; ++d) {
        emit_begin_[size_t(d)] = int32_t(emits_.size());
        for (const Move& x : per_dim[size_t(d)]) {
            emits_.push_back(x);
            std::memcpy(img_.data() + x.to, &nan, 4);
        }
    }
    emit_begin_[size_t(D)] = int32_t(emits_.size());
    stat_emits_ = stats;
    // Stream the rows when the result is far larger than the caches.
    stream_ = double(hi_ - lo_) * double(a.n_splits * a.split_len) >= double(stream_from_bytes(a));
    return true;
}

// ---- the scan -------------------------------------------------------------

struct RatioWrite {
    int64_t to;   // byte offset in the result row
    int32_t sum;  // float index of the Sum slot
    int32_t pos;  // position whose total divides it
};

// What the row loop looks up by code and by dimension index, behind one
// pointer (the loop is short of registers).
struct CodeTable {
    int32_t dim[256];      // code (as uint8) -> dimension index
    int32_t count[256];    // rows per code (+128) in this entity
    int32_t seen[256];     // codes (+128) counted so far, in order
    uint8_t touched[256];  // dimension index -> has an accepted row
};

class Scan {
public:
    explicit Scan(const LbArgs& args);

    template <bool kAfe, bool kGroupOnly, bool kStats, bool kRatio>
    void run_split(int64_t s);

    const LbCounters& counters() const { return c_; }
    bool valid() const { return valid_; }
    bool streams() const { return writer_.streams(); }

private:
    template <bool kAfe, bool kGroupOnly, bool kStats, bool kRatio>
    void scan_entity(int32_t e, char* out_row);
    void finish_cells(int64_t T, bool stats);
    template <bool kRatio>
    void write_row(char* out_row);

    const char* date_at(int64_t r) const { return a_.dates + r * a_.dates_s0; }
    const char* q_at(int64_t r) const { return a_.qs + r * a_.qs_s0; }
    const char* code_at(int64_t r) const { return a_.ds + r * a_.ds_s0; }
    LB_INLINE void prefetch_row(int64_t r) const {
        prefetch(date_at(r));
        prefetch(q_at(r));
        prefetch(code_at(r));
    }

    const LbArgs& a_;
    const int D_, H_;
    std::vector<float> cells_;  // [D][H][S], NaN where the entity has no value
    std::vector<float> stat_at_;  // [H][2]: CountDistinct and Mode per position
    std::vector<Running> run_;
    std::vector<CodeTable> codes_;  // one
    std::vector<int32_t> touched_list_;
    int32_t n_touched_ = 0;
    std::vector<int64_t> horizon_ms_;  // (horizon + offset) * unit per position
    std::vector<int64_t> bound_;
    int64_t upper_ms_;                 // offset * unit
    RowWriter writer_;
    std::vector<RatioWrite> ratios_;
    std::vector<int32_t> ratio_begin_;  // per dimension index, into ratios_
    std::vector<int32_t> sorted_;       // the touched values, ascending
    // Row offsets of the result-row cache lines that are read before they
    // are written (every line the writes touch, except the streamed ones).
    std::vector<int64_t> out_lines_;
    bool valid_ = true;
    LbCounters c_{0, 0, 0, 0, 0};
};

Scan::Scan(const LbArgs& args)
    : a_(args), D_(args.n_dims), H_(args.n_horizons),
      cells_(size_t(D_ + 1) * H_ * S, std::numeric_limits<float>::quiet_NaN()), stat_at_(2 * size_t(H_)), run_(D_),
      codes_(1), touched_list_(D_), horizon_ms_(H_), bound_(H_) {
    CodeTable& ct = codes_[0];
    std::memset(&ct, 0, sizeof(ct));
    for (int c = 0; c < 256; ++c) ct.dim[c] = a_.code_to_dim[c];
    for (int j = 0; j < H_; ++j) horizon_ms_[j] = int64_t(a_.horizons[j] + a_.offset) * a_.unit_ms;
    upper_ms_ = int64_t(a_.offset) * a_.unit_ms;
    valid_ = writer_.plan(a_);
    ratio_begin_.assign(size_t(D_) + 1, 0);
    for (int64_t w = 0; w < a_.n_ratio; ++w) ++ratio_begin_[size_t(a_.ratio_dim[w]) + 1];
    for (int d = 0; d < D_; ++d) ratio_begin_[size_t(d) + 1] += ratio_begin_[size_t(d)];
    sorted_.assign(size_t(D_), 0);
    std::vector<int64_t> at = writer_.cached_cells();
    for (int64_t w = 0; w < a_.n_ratio; ++w) {
        at.push_back(a_.ratio_to[w]);
        ratios_.push_back({a_.ratio_to[w], int32_t((int64_t(a_.ratio_dim[w]) * H_ + a_.ratio_pos[w]) * S + kSumSlot),
                           a_.ratio_pos[w]});
    }
    // Rows written in blocks span too many lines for hints; the hardware
    // follows their stores.
    if (writer_.blocks()) at.clear();
    if (a_.result_s0 % 64 == 0) {
        // Every row starts at the same offset within a line: one prefetch
        // per line.
        const int64_t mis = int64_t(reinterpret_cast<uintptr_t>(a_.result) & 63);
        for (int64_t x : at) out_lines_.push_back(((x + mis) & ~int64_t(63)) - mis);
        std::sort(out_lines_.begin(), out_lines_.end());
        out_lines_.erase(std::unique(out_lines_.begin(), out_lines_.end()), out_lines_.end());
    } else if (!at.empty()) {
        const int64_t lo = *std::min_element(at.begin(), at.end());
        const int64_t hi = *std::max_element(at.begin(), at.end()) + 4;
        for (int64_t b = lo; b < hi; b += 64) out_lines_.push_back(b);
        out_lines_.push_back(hi - 1);
    }
}

// The entities of a split, with the loads of the entities ahead in flight.
template <bool kAfe, bool kGroupOnly, bool kStats, bool kRatio>
void Scan::run_split(int64_t s) {
    const int32_t* const ents = a_.splits + s * a_.split_len;
    int64_t n_ent = 0;
    while (n_ent < a_.split_len && ents[n_ent] != -1) ++n_ent;
    const int64_t* const offsets = a_.row_offsets;

    for (int64_t k = 0; k < n_ent; ++k) {
        if (k + kEntityAhead < n_ent) {
            const int32_t e = ents[k + kEntityAhead];
            prefetch(offsets + e);
            prefetch(a_.target_dates + e);
        }
        if (k + kListAhead < n_ent) prefetch(a_.rows + offsets[ents[k + kListAhead]]);
        if (k + kRowsAhead < n_ent) {
            const int32_t e = ents[k + kRowsAhead];
            const int32_t* r0 = a_.rows + offsets[e];
            const int64_t m = std::min(kAhead, offsets[e + 1] - offsets[e]);
            for (int64_t i = 0; i < m; ++i) prefetch_row(r0[i]);
            const char* out = a_.result + (s + (k + kRowsAhead) * a_.n_splits) * a_.result_s0;
            for (const int64_t b : out_lines_) prefetch(out + b);
        }
        // An entity without rows (listed or not) writes nothing: its row
        // range is empty, so has_rows is never read.
        const int32_t e = ents[k];
        scan_entity<kAfe, kGroupOnly, kStats, kRatio>(e, a_.result + (s + k * a_.n_splits) * a_.result_s0);
    }
}

template <bool kAfe, bool kGroupOnly, bool kStats, bool kRatio>
void Scan::scan_entity(int32_t e, char* const out_row) {
    const int64_t first = a_.row_offsets[e];
    const int64_t count = a_.row_offsets[e + 1] - first;
    if (count == 0) return;
    ++c_.entities;

    // Everything the row loop reads, in locals: the loop stores through
    // pointers, which would otherwise make the compiler reload each field.
    const int32_t* const r0 = a_.rows + first;
    const char* const dates = a_.dates;
    const char* const qs = a_.qs;
    const char* const ds = a_.ds;
    const int64_t dates_s0 = a_.dates_s0, qs_s0 = a_.qs_s0, ds_s0 = a_.ds_s0;
    const int32_t group_dim = a_.group_dim;
    const int H = H_;
    const int64_t T = a_.target_dates[e];
    const int64_t upper = T - upper_ms_;
    int64_t* const bound = bound_.data();
    for (int j = 0; j < H; ++j) bound[j] = T - horizon_ms_[j];
    const int64_t lower = bound[H - 1];  // rows in the window never pass it
    const int64_t last = count - 1;
    float* const cells = cells_.data();
    float* const stat_at = stat_at_.data();
    Running* const run = run_.data();
    CodeTable& ct = codes_[0];
    int32_t* const touched_list = touched_list_.data();
    int32_t n_touched = 0;
    int32_t n_distinct = 0;
    // Mode: the largest key (count << 8) | (127 - code), i.e. the greatest
    // count, ties to the smallest code; 127 stands for code 0 before any row.
    int32_t best_key = 127;
    int p = 0;
    int64_t next_bound = bound[0];  // rows older than this move the position

    auto fetch_ahead = [&](int64_t n) LB_INLINE_LAMBDA {
        const int64_t r = r0[std::min(n + kAhead, last)];
        prefetch(dates + r * dates_s0);
        prefetch(qs + r * qs_s0);
        prefetch(ds + r * ds_s0);
    };
    // Cells of position j take the running values of every value seen so
    // far; cells are cumulative, so a value's cells are written only when
    // the position moves on, not for every row.
    auto snapshot = [&](int j) {
        for (int32_t i = 0; i < n_touched; ++i) {
            const int32_t d = touched_list[i];
            std::memcpy(cells + (size_t(d) * H + j) * S + kMinSlot, &run[d], 4 * sizeof(float));
        }
        if (kStats) {
            stat_at[2 * j] = float(n_distinct);
            stat_at[2 * j + 1] = float(127 - (best_key & 255));
        }
    };

    // Rows after the window end are passed over; the first row older than
    // the largest window ends the scan.
    int64_t n = 0;
    int64_t r = 0, t = 0;
    bool in_window = false;
    while (n < count) {
        fetch_ahead(n);
        r = r0[n++];
        t = ld<int64_t>(dates + r * dates_s0);
        if (kAfe ? t <= upper : t < upper) {
            in_window = true;
            break;
        }
    }
    while (in_window && t >= lower) {
        if (t < next_bound) {
            // Rows come newest first: the position only moves outward.
            do {
                snapshot(p);
                ++p;
            } while (t < bound[p]);
            next_bound = bound[p];
        }
        // A NaN quantity passes outside feature-group mode (it does not
        // compare <= 0).
        const float q = ld<float>(qs + r * qs_s0);
        if (kAfe ? q > 0.0f : !(q <= 0.0f)) {
            const int32_t code = int32_t(ld<int8_t>(ds + r * ds_s0));
            if (kStats) {
                const int32_t ci = code + 128;
                const int32_t cnt = ++ct.count[ci];
                ct.seen[n_distinct] = ci;  // kept only when the code is new
                n_distinct += cnt == 1;
                const int32_t key = (cnt << 8) | (127 - code);
                best_key = key > best_key ? key : best_key;
            }
            const int32_t d = ct.dim[uint8_t(code)];
            if (!kGroupOnly || d == group_dim) {
                Running& R = run[d];
                if (ct.touched[d]) {
                    // As the module: a NaN on either side leaves Min and Max
                    // as they are, Sum adds q first, and Frequency + 1 in
                    // float32 rounds the exact sum once, as the module's
                    // double round trip does.
                    R.mn = R.mn > q ? q : R.mn;
                    R.mx = q > R.mx ? q : R.mx;
                    R.sum = q + R.sum;
                    R.cnt = R.cnt + 1.0f;
                    R.t_last = t;
                } else {
                    ct.touched[d] = 1;
                    touched_list[n_touched++] = d;
                    R = Running{q, q, q, 1.0f, t, t};
                }
            }
        }
        if (n == count) break;
        fetch_ahead(n);
        r = r0[n++];
        t = ld<int64_t>(dates + r * dates_s0);
    }
    for (int j = p; j < H; ++j) snapshot(j);
    c_.rows_scanned += n;
    // Accepted rows: the counts of the touched values (exact in float32 up
    // to 2^24 rows per value and entity).
    for (int32_t i = 0; i < n_touched; ++i) c_.rows_accepted += int64_t(run[touched_list[i]].cnt);
    n_touched_ = n_touched;

    finish_cells(T, kStats);
    write_row<kRatio>(out_row);

    // Reset what this entity touched.
    for (int32_t i = 0; i < n_touched; ++i) {
        const int32_t d = touched_list[i];
        ct.touched[d] = 0;
        fill_nan(cells + size_t(d) * H * S, H * S);
    }
    if (kStats)
        for (int32_t i = 0; i < n_distinct; ++i) ct.count[ct.seen[i]] = 0;
}

// Density, the time since first / last transaction of every touched value,
// and CountDistinct / Mode in the cells of every value.
void Scan::finish_cells(int64_t T, bool stats) {
    const int H = H_;
    float* const cells = cells_.data();
    if (stats) {
        auto put = [&](int32_t d) LB_INLINE_LAMBDA {
            float* base = cells + size_t(d) * H * S;
            for (int j = 0; j < H; ++j) std::memcpy(base + j * S + kDistinctSlot, &stat_at_[2 * j], 2 * sizeof(float));
        };
        if (writer_.blocks()) {
            // Blocks read the statistics of the touched values and of the
            // spare index D only.
            for (int32_t i = 0; i < n_touched_; ++i) put(touched_list_[i]);
            put(D_);
        } else {
            for (int d = 0; d < D_; ++d) put(d);
        }
    }
    const double unit = double(a_.unit_ms);
    for (int32_t i = 0; i < n_touched_; ++i) {
        const int32_t d = touched_list_[i];
        const Running& R = run_[d];
        const float since_first = float(double(T - R.t_last) / unit);
        const float since_last = float(double(T - R.t_first) / unit);
        float* base = cells + size_t(d) * H * S;
        for (int j = 0; j < H; ++j) {
            float* cl = base + j * S;
            cl[0] = cl[kSumSlot] / cl[kCountSlot];
            cl[kSinceFirstSlot] = since_first;
            cl[kSinceLastSlot] = since_last;
        }
    }
}

template <bool kRatio>
void Scan::write_row(char* const out_row) {
    const float* const cells = cells_.data();
    if (writer_.blocks())
        writer_.write_blocks(out_row, cells, touched_list_.data(), n_touched_, H_ * S, cells + size_t(D_) * H_ * S);
    else if (writer_.image())
        writer_.write_image(out_row, cells, touched_list_.data(), n_touched_, H_ * S);
    else
        writer_.write(out_row, cells);
    c_.cells_written += writer_.cells();
    c_.bytes_streamed += writer_.streamed_bytes();
    if (!kRatio) return;

    // Each value's share of the position's total Sum. The totals add the
    // Sum cells in dimension order, as the module does; a NaN Sum adds
    // nothing (a total is never -0, so adding +0 changes no bit). With many
    // values only the touched ones are visited, in ascending order: the
    // others' Sum is NaN everywhere and they get no ratio cell.
    const int H = H_;
    float totals[64];
    for (int j = 0; j < H; ++j) totals[j] = 0.0f;
    auto add = [&](int d) LB_INLINE_LAMBDA {
        const float* sum = cells + size_t(d) * H * S + kSumSlot;
        for (int j = 0; j < H; ++j) {
            const float v = sum[j * S];
            totals[j] = totals[j] + (v == v ? v : 0.0f);
        }
    };
    int64_t written = 0;
    auto write = [&](const RatioWrite& w) LB_INLINE_LAMBDA {
        const float v = cells[w.sum];
        const float total = totals[w.pos];
        if (!std::isnan(v) && total > 0.0f) {
            const float x = v / total;
            std::memcpy(out_row + w.to, &x, sizeof(float));
            ++written;
        }
    };
    if (D_ > kManyValues) {
        int32_t* const sorted = sorted_.data();
        for (int32_t i = 0; i < n_touched_; ++i) {
            const int32_t d = touched_list_[i];
            int32_t at = i;
            for (; at > 0 && sorted[at - 1] > d; --at) sorted[at] = sorted[at - 1];
            sorted[at] = d;
        }
        for (int32_t i = 0; i < n_touched_; ++i) add(sorted[i]);
        for (int32_t i = 0; i < n_touched_; ++i)
            for (int32_t w = ratio_begin_[size_t(sorted[i])]; w < ratio_begin_[size_t(sorted[i]) + 1]; ++w)
                write(ratios_[size_t(w)]);
    } else {
        for (int d = 0; d < D_; ++d)
            if (codes_[0].touched[d]) add(d);
        for (const RatioWrite& w : ratios_) write(w);
    }
    c_.cells_written += written;
}

template <bool kAfe, bool kGroupOnly, bool kStats>
void run_all(Scan& scan, const LbArgs& a) {
    for (int64_t s = 0; s < a.n_splits; ++s) {
        if (a.n_ratio > 0)
            scan.run_split<kAfe, kGroupOnly, kStats, true>(s);
        else
            scan.run_split<kAfe, kGroupOnly, kStats, false>(s);
    }
}

}  // namespace

extern "C" int lb_run(const LbArgs* a, LbCounters* out) {
    if (a->n_horizons < 1 || a->n_horizons > 64) return -1;
    const bool afe = a->inclusive_upper != 0;
    const bool stats = a->want_distinct || a->want_mode;
    if (afe != (a->nan_skips != 0)) return -1;  // both follow feature-group mode
    if (a->group_only && stats) return -1;      // the group filter never goes with the statistics
    Scan scan(*a);
    if (!scan.valid()) return -1;  // a column written twice
    if (a->group_only) {
        afe ? run_all<true, true, false>(scan, *a) : run_all<false, true, false>(scan, *a);
    } else if (stats) {
        afe ? run_all<true, false, true>(scan, *a) : run_all<false, false, true>(scan, *a);
    } else {
        afe ? run_all<true, false, false>(scan, *a) : run_all<false, false, false>(scan, *a);
    }
#if defined(__SSE2__)
    if (scan.streams()) _mm_sfence();
#endif
    *out = scan.counters();
    return 0;
}
