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
};

struct LbCounters {
    int64_t rows_scanned;
    int64_t rows_accepted;
    int64_t cells_written;
    int64_t entities;
};

}  // extern "C"

namespace {

template <typename T>
inline T ld(const char* p) {
    T v;
    std::memcpy(&v, p, sizeof(T));
    return v;
}

inline void prefetch(const void* p) { __builtin_prefetch(p, 0, 2); }

constexpr int S = 9;  // slots per cell: Density Min Max Sum Frequency CountDistinct Mode TSF TSL
constexpr int kDistinctSlot = 5;
constexpr int kModeSlot = 6;
static_assert(kModeSlot == kDistinctSlot + 1, "the two statistics are copied as one pair");

// How far ahead the loads run. Within an entity: rows kAhead steps ahead.
// Across entities, in the order of the split: the entity table entries
// kEntityAhead entities ahead, their row lists kListAhead ahead, and the
// first kAhead rows plus the result row kRowsAhead ahead, so that a new
// entity starts on rows already in cache.
constexpr int64_t kAhead = 16;
constexpr int64_t kEntityAhead = 6;
constexpr int64_t kListAhead = 4;
constexpr int64_t kRowsAhead = 2;

// Running aggregates of one dimension value within the current entity.
// Rows come newest first, so the smallest span is that of the first row
// seen and the largest that of the last one: only their dates are kept.
struct Running {
    float sum, mn, mx, cnt;
    int64_t t_first, t_last;
};


// Small copies of whole runs of result cells: 16-byte moves, the last one
// overlapping the one before, instead of a call into memcpy per run.
inline void copy_run(char* dst, const char* src, int64_t bytes) {
    if (bytes >= 16) {
        int64_t i = 0;
        for (; i + 16 <= bytes; i += 16) std::memcpy(dst + i, src + i, 16);
        if (i < bytes) std::memcpy(dst + bytes - 16, src + bytes - 16, 16);
    } else if (bytes >= 8) {
        std::memcpy(dst, src, 8);
        std::memcpy(dst + bytes - 8, src + bytes - 8, 8);
    } else {
        std::memcpy(dst, src, 4);
    }
}

// The same with non-temporal stores: the cache lines of a large result are
// written without being read first. Sizes and offsets are multiples of 4.
inline void stream_run(char* dst, const char* src, int64_t bytes) {
#if defined(__SSE2__)
    int64_t i = 0;
    for (; i < bytes && (reinterpret_cast<uintptr_t>(dst + i) & 15); i += 4) {
        int32_t v;
        std::memcpy(&v, src + i, 4);
        _mm_stream_si32(reinterpret_cast<int*>(dst + i), v);
    }
    for (; i + 16 <= bytes; i += 16) {
        _mm_stream_si128(reinterpret_cast<__m128i*>(dst + i), _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i)));
    }
    for (; i < bytes; i += 4) {
        int32_t v;
        std::memcpy(&v, src + i, 4);
        _mm_stream_si32(reinterpret_cast<int*>(dst + i), v);
    }
#else
    std::memcpy(dst, src, size_t(bytes));
#endif
}

inline void fill_nan(float* p, int n) {
    const float q[4] = {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::quiet_NaN(),
                        std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::quiet_NaN()};
    int i = 0;
    for (; i + 4 <= n; i += 4) std::memcpy(p + i, q, sizeof(q));
    for (; i < n; ++i) p[i] = q[0];
}

// Writes a row's cells. Two plans, picked per call by an estimate of their
// cost:
// - runs: the write list merged into runs of adjacent columns fed by
//   adjacent sources, copied straight from the cells;
// - image: a row image in column order, which keeps NaN where a value has
//   no cell this entity; only the cells of the values the entity touched
//   are put in (and taken out again afterwards), and the image is copied
//   to the row in contiguous runs. Pays when most of a wide row is NaN.
struct RowWriter {
    struct Run {
        int64_t to;    // byte offset in the result row (runs) or the image (image runs)
        int32_t from;  // source float index (runs) / image byte offset (image runs)
        int32_t bytes;
    };
    struct Emit {
        int32_t img;   // byte offset in the image
        int32_t from;  // source float index
    };
    struct Move {
        int64_t to;    // byte offset in the result row
        int64_t from;  // byte offset in the sources
    };

    bool image = false;
    bool stream = false;
    std::vector<Run> runs;
    int64_t row_lo = 0, row_hi = 0;
    std::vector<char> img;
    std::vector<int32_t> emit_begin;  // per dimension index, into emits
    std::vector<Emit> emits;          // cell sources, grouped by dimension
    std::vector<Emit> stat_emits;     // CountDistinct / Mode sources, every entity
    int64_t n_writes = 0;
    // The runs cut into 16-, 8- and 4-byte moves (the last move of a run
    // overlaps the one before); used when no column is written twice, so
    // that the order of the writes does not matter.
    bool moves = false;
    std::vector<Move> move16, move8, move4;

    void plan(const LbArgs& a, int S, int64_t result_rows_written) {
        const int D = a.n_dims, H = a.n_horizons;
        const int64_t cell_sources = int64_t(D) * H * S;
        n_writes = a.n_writes;
        if (n_writes == 0) return;
        row_lo = *std::min_element(a.write_to, a.write_to + n_writes);
        row_hi = *std::max_element(a.write_to, a.write_to + n_writes) + 4;

        // Runs in list order (a later write to the same column still wins).
        for (int64_t w = 0; w < n_writes; ++w) {
            if (!runs.empty()) {
                Run& r = runs.back();
                if (a.write_to[w] == r.to + r.bytes && a.write_from[w] == r.from + r.bytes / 4) {
                    r.bytes += 4;
                    continue;
                }
            }
            runs.push_back({a.write_to[w], a.write_from[w], 4});
        }

        // The image: the last write of each column feeds it.
        std::vector<int64_t> order(static_cast<size_t>(n_writes));
        for (int64_t w = 0; w < n_writes; ++w) order[size_t(w)] = w;
        std::stable_sort(order.begin(), order.end(),
                         [&](int64_t x, int64_t y) { return a.write_to[x] < a.write_to[y]; });
        std::vector<Run> img_runs;
        std::vector<std::vector<Emit>> per_dim(static_cast<size_t>(D));
        std::vector<Emit> stats;
        for (size_t k = 0; k < order.size(); ++k) {
            const int64_t w = order[k];
            if (k + 1 < order.size() && a.write_to[order[k + 1]] == a.write_to[w]) continue;
            const int32_t off = int32_t(a.write_to[w] - row_lo);
            const int32_t from = a.write_from[w];
            const int32_t slot = from % S;
            if (from < cell_sources && slot != kDistinctSlot && slot != kModeSlot)
                per_dim[size_t(from / (H * S))].push_back({off, from});
            else
                stats.push_back({off, from});
            if (!img_runs.empty() && img_runs.back().to + img_runs.back().bytes == off)
                img_runs.back().bytes += 4;
            else
                img_runs.push_back({off, off, 4});
        }

        // Cost estimate in instructions per entity: the image touches the
        // cells of the values an entity has (at most its row count), twice,
        // plus one 16-byte move per 16 bytes of image.
        const double rows_per_entity = sampled_rows_per_entity(a);
        const double touched = std::min<double>(D, rows_per_entity);
        const double runs_cost = 6.0 * double(runs.size()) + double(n_writes) / 2.0;
        const double image_cost = 4.0 * touched * double(emits_total(per_dim)) / double(D) +
                                  2.0 * double(stats.size()) + double(row_hi - row_lo) / 8.0 +
                                  6.0 * double(img_runs.size());
        image = image_cost < runs_cost;
        if (!image) {
            std::vector<int64_t> to(a.write_to, a.write_to + n_writes);
            std::sort(to.begin(), to.end());
            moves = std::adjacent_find(to.begin(), to.end()) == to.end();
            for (const Run& r : runs) {
                const int64_t from = 4 * int64_t(r.from);
                if (r.bytes >= 16) {
                    int64_t i = 0;
                    for (; i + 16 <= r.bytes; i += 16) move16.push_back({r.to + i, from + i});
                    if (i < r.bytes) move16.push_back({r.to + r.bytes - 16, from + r.bytes - 16});
                } else if (r.bytes >= 8) {
                    move8.push_back({r.to, from});
                    if (r.bytes > 8) move8.push_back({r.to + r.bytes - 8, from + r.bytes - 8});
                } else {
                    move4.push_back({r.to, from});
                }
            }
            return;
        }
        runs = img_runs;
        img.assign(size_t(row_hi - row_lo), 0);
        const float nan = std::numeric_limits<float>::quiet_NaN();
        emit_begin.assign(size_t(D) + 1, 0);
        for (int d = 0; d < D; ++d) {
            emit_begin[size_t(d)] = int32_t(emits.size());
            for (const Emit& x : per_dim[size_t(d)]) {
                emits.push_back({x.img, int32_t(x.from - d * H * S)});
                std::memcpy(img.data() + x.img, &nan, 4);
            }
        }
        emit_begin[size_t(D)] = int32_t(emits.size());
        stat_emits = stats;
        // Stream the rows when the result is far larger than the caches.
        stream = double(row_hi - row_lo) * double(result_rows_written) > 64.0 * (1 << 20);
    }

    // Listed rows per entity over the first entities of the first split.
    static double sampled_rows_per_entity(const LbArgs& a) {
        int64_t n = 0, rows = 0;
        for (int64_t k = 0; k < std::min<int64_t>(a.split_len, 256); ++k) {
            const int32_t e = a.splits[k];
            if (e == -1) break;
            ++n;
            rows += a.row_offsets[e + 1] - a.row_offsets[e];
        }
        return n ? double(rows) / double(n) : 0.0;
    }

    static size_t emits_total(const std::vector<std::vector<Emit>>& per_dim) {
        size_t n = 0;
        for (const auto& v : per_dim) n += v.size();
        return n;
    }
};

struct Scan {
    const LbArgs& a;
    int D, H;
    float nan;
    std::vector<float> src;  // cells [D][H][S], distinct counts [H], modes [H]
    float* cells;
    float* stat_at;  // [H][2]: CountDistinct and Mode per position
    std::vector<Running> run;
    std::vector<uint8_t> touched;
    std::vector<int32_t> touched_list;
    std::vector<int32_t> code_count;
    std::vector<int32_t> codes_seen;
    std::vector<int64_t> horizon_ms;  // (horizon + offset) * unit per position
    std::vector<int64_t> bound;
    int64_t upper_ms;                 // offset * unit
    RowWriter writer;
    struct RatioWrite {
        int64_t to;   // byte offset in the result row
        int32_t sum;  // float index of the Sum slot
        int32_t pos;  // position whose total divides it
    };
    std::vector<RatioWrite> ratios;
    int64_t row_lo, row_hi;           // result-row bytes the writes touch
    bool prefetch_out;                // the result rows are read before written
    LbCounters c{0, 0, 0, 0};

    explicit Scan(const LbArgs& args)
        : a(args), D(args.n_dims), H(args.n_horizons), nan(std::numeric_limits<float>::quiet_NaN()),
          src(size_t(D) * H * S + 2 * size_t(H), nan), run(D), touched(D, 0), code_count(256, 0),
          horizon_ms(H), bound(H + 1) {
        cells = src.data();
        stat_at = cells + size_t(D) * H * S;
        touched_list.reserve(D);
        codes_seen.resize(257);
        for (int j = 0; j < H; ++j) horizon_ms[j] = int64_t(a.horizons[j] + a.offset) * a.unit_ms;
        upper_ms = int64_t(a.offset) * a.unit_ms;
        writer.plan(a, S, a.n_splits * a.split_len);
        row_lo = writer.row_lo;
        row_hi = writer.row_hi;
        if (!a.n_writes && a.n_ratio) row_lo = row_hi = a.ratio_to[0];
        for (int64_t w = 0; w < a.n_ratio; ++w) {
            row_lo = std::min(row_lo, a.ratio_to[w]);
            row_hi = std::max(row_hi, a.ratio_to[w] + 4);
        }
        prefetch_out = !writer.stream;
        for (int64_t w = 0; w < a.n_ratio; ++w)
            ratios.push_back({a.ratio_to[w], int32_t((int64_t(a.ratio_dim[w]) * H + a.ratio_pos[w]) * S + 3),
                              a.ratio_pos[w]});
    }

    const char* date_at(int64_t r) const { return a.dates + r * a.dates_s0; }
    const char* q_at(int64_t r) const { return a.qs + r * a.qs_s0; }
    const char* code_at(int64_t r) const { return a.ds + r * a.ds_s0; }

    void prefetch_row(int64_t r) const {
        prefetch(date_at(r));
        prefetch(q_at(r));
        prefetch(code_at(r));
    }

    template <bool kAfe, bool kGroupOnly, bool kStats, bool kRatio>
    void run_split(int64_t s);

    template <bool kAfe, bool kGroupOnly, bool kStats, bool kRatio>
    void scan_entity(int32_t e, char* out_row);

    void write_row(char* out_row);
};

void Scan::write_row(char* const out_row) {
    const char* const from = reinterpret_cast<const char*>(src.data());
    c.cells_written += writer.n_writes;
    if (writer.moves) {
        for (const RowWriter::Move& m : writer.move16) std::memcpy(out_row + m.to, from + m.from, 16);
        for (const RowWriter::Move& m : writer.move8) std::memcpy(out_row + m.to, from + m.from, 8);
        for (const RowWriter::Move& m : writer.move4) std::memcpy(out_row + m.to, from + m.from, 4);
        return;
    }
    if (!writer.image) {
        for (const RowWriter::Run& r : writer.runs) copy_run(out_row + r.to, from + 4 * int64_t(r.from), r.bytes);
        return;
    }
    char* const img = writer.img.data();
    for (int32_t d : touched_list) {
        const char* cell = from + 4 * (int64_t(d) * H * S);
        for (int32_t i = writer.emit_begin[d]; i < writer.emit_begin[d + 1]; ++i)
            std::memcpy(img + writer.emits[i].img, cell + 4 * int64_t(writer.emits[i].from), 4);
    }
    for (const RowWriter::Emit& x : writer.stat_emits) std::memcpy(img + x.img, from + 4 * int64_t(x.from), 4);
    char* const out = out_row + writer.row_lo;
    if (writer.stream) {
        for (const RowWriter::Run& r : writer.runs) stream_run(out + r.to, img + r.to, r.bytes);
    } else {
        for (const RowWriter::Run& r : writer.runs) copy_run(out + r.to, img + r.to, r.bytes);
    }
}

template <bool kAfe, bool kGroupOnly, bool kStats, bool kRatio>
void Scan::run_split(int64_t s) {
    const int32_t* const ents = a.splits + s * a.split_len;
    int64_t n_ent = 0;
    while (n_ent < a.split_len && ents[n_ent] != -1) ++n_ent;

    for (int64_t k = 0; k < n_ent; ++k) {
        if (k + kEntityAhead < n_ent) {
            const int32_t e = ents[k + kEntityAhead];
            prefetch(a.row_offsets + e);
            prefetch(a.has_rows + e);
            prefetch(a.target_dates + e);
        }
        if (k + kListAhead < n_ent) {
            const int32_t e = ents[k + kListAhead];
            prefetch(a.rows + a.row_offsets[e]);
        }
        if (k + kRowsAhead < n_ent) {
            const int32_t e = ents[k + kRowsAhead];
            const int32_t* r0 = a.rows + a.row_offsets[e];
            const int64_t m = std::min(kAhead, a.row_offsets[e + 1] - a.row_offsets[e]);
            for (int64_t i = 0; i < m; ++i) prefetch_row(r0[i]);
            const char* out = a.result + (s + (k + kRowsAhead) * a.n_splits) * a.result_s0;
            if (prefetch_out)
                for (int64_t b = row_lo; b < row_hi; b += 64) prefetch(out + b);
        }
        const int32_t e = ents[k];
        if (!a.has_rows[e]) continue;
        scan_entity<kAfe, kGroupOnly, kStats, kRatio>(e, a.result + (s + k * a.n_splits) * a.result_s0);
    }
}

template <bool kAfe, bool kGroupOnly, bool kStats, bool kRatio>
void Scan::scan_entity(int32_t e, char* const out_row) {
    const int32_t* const r0 = a.rows + a.row_offsets[e];
    const int64_t count = a.row_offsets[e + 1] - a.row_offsets[e];
    ++c.entities;
    if (count == 0) return;

    const int64_t T = a.target_dates[e];
    const int64_t upper = T - upper_ms;
    for (int j = 0; j < H; ++j) bound[j] = T - horizon_ms[j];
    const int64_t lower = bound[H - 1];
    const int32_t* const code_to_dim = a.code_to_dim;
    const int64_t last = count - 1;

    int32_t n_distinct = 0;
    // Mode: the largest key (count << 8) | (127 - code), i.e. the greatest
    // count, ties to the smallest code; 127 stands for code 0 before any row.
    int32_t best_key = 127;
    int p = 0;

    // Cells of position j take the running values of every value seen so far.
    auto snapshot = [&](int j) {
        for (int32_t d : touched_list) {
            float* cl = cells + (size_t(d) * H + j) * S;
            const Running& R = run[d];
            cl[1] = R.mn;
            cl[2] = R.mx;
            cl[3] = R.sum;
            cl[4] = R.cnt;
        }
        if (kStats) {
            stat_at[2 * j] = float(n_distinct);
            stat_at[2 * j + 1] = float(127 - (best_key & 255));
        }
    };

    auto accept = [&](int64_t r, int64_t t) {
        if (t < bound[p]) {
            do {
                snapshot(p);
                ++p;
            } while (t < bound[p]);
        }
        const float q = ld<float>(q_at(r));
        if (kAfe ? !(q > 0.0f) : q <= 0.0f) return;
        const int32_t code = int32_t(ld<int8_t>(code_at(r)));
        if (kStats) {
            const int32_t ci = code + 128;
            const int32_t cnt = ++code_count[ci];
            codes_seen[n_distinct] = ci;  // kept only when the code is new
            n_distinct += cnt == 1;
            const int32_t key = (cnt << 8) | (127 - code);
            best_key = key > best_key ? key : best_key;
        }
        const int32_t d = code_to_dim[uint8_t(code)];
        if (kGroupOnly && d != a.group_dim) return;
        ++c.rows_accepted;
        Running& R = run[d];
        if (!touched[d]) {
            touched[d] = 1;
            touched_list.push_back(d);
            R.sum = q;
            R.mn = q;
            R.mx = q;
            R.cnt = 1.0f;
            R.t_first = t;
            R.t_last = t;
            return;
        }
        R.mn = R.mn > q ? q : R.mn;
        R.mx = q > R.mx ? q : R.mx;
        R.sum = q + R.sum;
        R.cnt = R.cnt + 1.0f;
        R.t_last = t;
    };

    // Rows after the window end are passed over; the first row older than
    // the largest window ends the scan.
    int64_t n = 0;
    bool in_window = false;
    int64_t r = 0, t = 0;
    while (n < count) {
        prefetch_row(r0[std::min(n + kAhead, last)]);
        r = r0[n++];
        t = ld<int64_t>(date_at(r));
        if (kAfe ? t <= upper : t < upper) {
            in_window = true;
            break;
        }
    }
    if (in_window) {
        for (;;) {
            if (t < lower) break;
            accept(r, t);
            if (n == count) break;
            prefetch_row(r0[std::min(n + kAhead, last)]);
            r = r0[n++];
            t = ld<int64_t>(date_at(r));
        }
    }
    c.rows_scanned += n;
    for (int j = p; j < H; ++j) snapshot(j);

    // CountDistinct and Mode of each position go into the cells of every
    // value, where the row writer finds them next to the other slots.
    if (kStats) {
        for (int d = 0; d < D; ++d) {
            float* base = cells + size_t(d) * H * S;
            for (int j = 0; j < H; ++j) {
                std::memcpy(base + j * S + kDistinctSlot, stat_at + 2 * j, 2 * sizeof(float));
            }
        }
    }

    // Density and the time since first / last transaction of every value.
    const double unit = double(a.unit_ms);
    for (int32_t d : touched_list) {
        const Running& R = run[d];
        const float since_first = float(double(T - R.t_last) / unit);
        const float since_last = float(double(T - R.t_first) / unit);
        float* base = cells + size_t(d) * H * S;
        for (int j = 0; j < H; ++j) {
            float* cl = base + j * S;
            cl[0] = cl[3] / cl[4];
            cl[7] = since_first;
            cl[8] = since_last;
        }
    }

    write_row(out_row);
    if (kRatio) {
        // Totals per position over the values in dimension order; a NaN Sum
        // adds nothing (a total is never -0, so adding +0 changes no bit).
        float totals[64];
        for (int j = 0; j < H; ++j) totals[j] = 0.0f;
        for (int d = 0; d < D; ++d) {
            if (!touched[d]) continue;
            const float* base = cells + size_t(d) * H * S + 3;
            for (int j = 0; j < H; ++j) {
                const float v = base[j * S];
                totals[j] = totals[j] + (v == v ? v : 0.0f);
            }
        }
        int64_t written = 0;
        for (const RatioWrite& w : ratios) {
            const float v = cells[w.sum];
            const float total = totals[w.pos];
            if (!std::isnan(v) && total > 0.0f) {
                const float x = v / total;
                std::memcpy(out_row + w.to, &x, sizeof(float));
                ++written;
            }
        }
        c.cells_written += written;
    }

    // Reset what this entity touched.
    if (writer.image) {
        char* const img = writer.img.data();
        for (int32_t d : touched_list) {
            for (int32_t i = writer.emit_begin[d]; i < writer.emit_begin[d + 1]; ++i)
                std::memcpy(img + writer.emits[i].img, &nan, 4);
        }
    }
    for (int32_t d : touched_list) {
        touched[d] = 0;
        fill_nan(cells + size_t(d) * H * S, H * S);
    }
    touched_list.clear();
    if (kStats) {
        for (int32_t i = 0; i < n_distinct; ++i) code_count[codes_seen[i]] = 0;
    }
}

template <bool kAfe, bool kGroupOnly, bool kStats>
void run_all(Scan& scan, bool ratio) {
    for (int64_t s = 0; s < scan.a.n_splits; ++s) {
        if (ratio)
            scan.run_split<kAfe, kGroupOnly, kStats, true>(s);
        else
            scan.run_split<kAfe, kGroupOnly, kStats, false>(s);
    }
}

}  // namespace

extern "C" int lb_run(const LbArgs* a, LbCounters* out) {
    if (a->n_horizons < 1 || a->n_horizons > 64) return -1;
    Scan scan(*a);
    const bool afe = a->inclusive_upper != 0;
    const bool stats = a->want_distinct || a->want_mode;
    const bool ratio = a->n_ratio > 0;
    if (afe && !a->nan_skips) return -1;  // both follow feature-group mode
    if (a->group_only) {
        if (stats) return -1;  // the group filter is never combined with the statistics
        afe ? run_all<true, true, false>(scan, ratio) : run_all<false, true, false>(scan, ratio);
    } else if (stats) {
        afe ? run_all<true, false, true>(scan, ratio) : run_all<false, false, true>(scan, ratio);
    } else {
        afe ? run_all<true, false, false>(scan, ratio) : run_all<false, false, false>(scan, ratio);
    }
#if defined(__SSE2__)
    if (scan.writer.stream) _mm_sfence();
#endif
    *out = scan.c;
    return 0;
}
