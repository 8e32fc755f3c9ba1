// A minimal loop that does the work of one `execute` call and nothing else:
// it reads the same transaction rows in the same order (each entity's rows
// newest first, stopping at the first row older than the largest window),
// keeps the same per-(dimension, horizon) aggregates in dense arrays, and
// writes the same result cells through a dense column table. It ignores every
// rule that does not change the amount of work (ordered maps, find-or-insert,
// error reporting, unsorted horizon lists), so its time is what the hardware
// allows for this job. It produces the same numbers as the module, which lets
// the benchmark check that it does the same work.
//
// Built by benchmarks/run.py with the module's flags and loaded via ctypes.

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#if defined(__has_include)
#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#define LB_HAVE_CALLGRIND 1
#endif
#endif

namespace {

template <typename T>
inline T ld(const char* p) {
    T v;
    std::memcpy(&v, p, sizeof(T));
    return v;
}

}  // namespace

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
    // sources are the cells [dim][position][9 slots], then the distinct
    // counts [H], then the modes [H].
    int64_t n_writes;
    const int64_t* write_to;
    const int32_t* write_from;
    // Ratio writes: offset <- Sum cell / total of the position; ratio_all
    // adds the totals of every position, otherwise only of the one written.
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

int lb_run(const LbArgs* a, LbCounters* out) {
    const float NaN = std::numeric_limits<float>::quiet_NaN();
    const int D = a->n_dims;
    const int H = a->n_horizons;
    const int64_t unit = a->unit_ms;
    const int32_t max_h = a->horizons[H - 1];
    const bool stats = a->want_distinct || a->want_mode;
    constexpr int S = 9;

    // Scratch, allocated once: cells, then the per-position statistics.
    std::vector<float> src(size_t(D) * H * S + 2 * size_t(H), NaN);
    float* const cells = src.data();
    float* const distinct_at = cells + size_t(D) * H * S;
    float* const mode_at = distinct_at + H;
    std::vector<float> run_sum(D), run_min(D), run_max(D), run_cnt(D), span_max(D), span_min(D);
    std::vector<int32_t> last_p(D);
    std::vector<uint8_t> touched(D, 0);
    std::vector<int32_t> touched_list;
    touched_list.reserve(D);
    std::vector<int32_t> code_count(256, 0);
    std::vector<int32_t> codes_seen;
    codes_seen.reserve(256);
    std::vector<uint8_t> stat_at(H);
    std::vector<int64_t> bound(H);
    std::vector<float> totals(H);

    LbCounters c{0, 0, 0, 0};
    constexpr int64_t kAhead = 8;

    for (int64_t s = 0; s < a->n_splits; ++s) {
        int64_t row = s;
        for (int64_t k = 0; k < a->split_len; ++k, row += a->n_splits) {
            const int32_t e = a->splits[s * a->split_len + k];
            if (e == -1) break;
            if (!a->has_rows[e]) continue;
            ++c.entities;
            const int64_t T = a->target_dates[e];
            const int64_t upper = T - int64_t(a->offset) * unit;
            const int64_t lower = T - int64_t(max_h + a->offset) * unit;
            for (int p = 0; p < H; ++p) bound[p] = T - int64_t(a->horizons[p] + a->offset) * unit;
            // Reset only what the previous entity touched.
            for (int32_t d : touched_list) {
                touched[d] = 0;
                std::fill(cells + size_t(d) * H * S, cells + size_t(d + 1) * H * S, NaN);
            }
            touched_list.clear();
            if (stats) {
                for (int32_t code : codes_seen) code_count[code] = 0;
                codes_seen.clear();
                std::fill(stat_at.begin(), stat_at.end(), 0);
            }
            int32_t n_distinct = 0, best_code = 0, best_count = 0;
            int p = 0;

            const int32_t* const r0 = a->rows + a->row_offsets[e];
            const int64_t count = a->row_offsets[e + 1] - a->row_offsets[e];
            auto prefetch = [&](int64_t m) {
                const int64_t r = r0[m];
                __builtin_prefetch(a->dates + r * a->dates_s0);
                __builtin_prefetch(a->qs + r * a->qs_s0);
                __builtin_prefetch(a->ds + r * a->ds_s0);
            };
            for (int64_t m = 0; m < std::min(kAhead, count); ++m) prefetch(m);
            for (int64_t n = 0; n < count; ++n) {
                if (n + kAhead < count) prefetch(n + kAhead);
                const int64_t r = r0[n];
                const int64_t t = ld<int64_t>(a->dates + r * a->dates_s0);
                ++c.rows_scanned;
                if (a->inclusive_upper ? t > upper : t >= upper) continue;
                if (t < lower) break;
                const float q = ld<float>(a->qs + r * a->qs_s0);
                if (a->nan_skips && std::isnan(q)) continue;
                if (q <= 0.0f) continue;
                const int32_t code = int32_t(ld<int8_t>(a->ds + r * a->ds_s0));
                if (stats) {
                    const int32_t ci = code + 128;
                    const int32_t cnt = ++code_count[ci];
                    if (cnt == 1) {
                        codes_seen.push_back(ci);
                        ++n_distinct;
                    }
                    if (cnt > best_count || (cnt == best_count && code < best_code)) {
                        best_count = cnt;
                        best_code = code;
                    }
                }
                const int32_t d = a->code_to_dim[uint8_t(code)];
                while (t < bound[p]) ++p;  // rows come newest first: p only grows
                if (a->group_only && d != a->group_dim) continue;
                ++c.rows_accepted;
                const float span = float(double(T - t) / double(unit));
                float* cell = cells + (size_t(d) * H + p) * S;
                if (!touched[d]) {
                    touched[d] = 1;
                    touched_list.push_back(d);
                    run_sum[d] = q;
                    run_min[d] = q;
                    run_max[d] = q;
                    run_cnt[d] = 1.0f;
                    span_max[d] = span;
                    span_min[d] = span;
                    last_p[d] = p;
                } else {
                    if (run_min[d] > q) run_min[d] = q;
                    if (q > run_max[d]) run_max[d] = q;
                    run_sum[d] = q + run_sum[d];
                    run_cnt[d] = float(double(run_cnt[d]) + 1.0);
                    if (span > span_max[d]) span_max[d] = span;
                    if (span_min[d] > span) span_min[d] = span;
                    if (last_p[d] != p) {
                        // Cumulative cells: positions skipped by d carry its
                        // last cell.
                        const float* from = cells + (size_t(d) * H + last_p[d]) * S;
                        for (int j = last_p[d] + 1; j < p; ++j) std::memcpy(cells + (size_t(d) * H + j) * S, from, 5 * sizeof(float));
                        last_p[d] = p;
                    }
                }
                cell[1] = run_min[d];
                cell[2] = run_max[d];
                cell[3] = run_sum[d];
                cell[4] = run_cnt[d];
                if (stats) {
                    distinct_at[p] = float(n_distinct);
                    mode_at[p] = float(best_code);
                    stat_at[p] = 1;
                }
            }
            // Finish the cells of every touched dimension value: carry its
            // last cell to the larger horizons, mean, time since first/last.
            for (int32_t d : touched_list) {
                float* base = cells + size_t(d) * H * S;
                for (int j = last_p[d] + 1; j < H; ++j) std::memcpy(base + j * S, base + last_p[d] * S, 5 * sizeof(float));
                for (int j = 0; j < H; ++j) {
                    float* cl = base + j * S;
                    cl[0] = cl[3] / cl[4];
                    cl[7] = span_max[d];
                    cl[8] = span_min[d];
                }
            }
            if (stats) {
                float dv = 0.0f, mv = 0.0f;
                for (int j = 0; j < H; ++j) {
                    if (stat_at[j]) {
                        dv = distinct_at[j];
                        mv = mode_at[j];
                    } else {
                        distinct_at[j] = dv;
                        mode_at[j] = mv;
                    }
                }
            }

            // Write the row through the flat write list.
            char* const out_row = a->result + row * a->result_s0;
            for (int64_t w = 0; w < a->n_writes; ++w) std::memcpy(out_row + a->write_to[w], &src[a->write_from[w]], sizeof(float));
            c.cells_written += a->n_writes;
            if (a->n_ratio) {
                std::fill(totals.begin(), totals.end(), 0.0f);
                for (int d = 0; d < D; ++d)
                    for (int j = 0; j < H; ++j) {
                        const float v = cells[(size_t(d) * H + j) * S + 3];
                        if (!std::isnan(v)) totals[j] = totals[j] + v;
                    }
                for (int64_t w = 0; w < a->n_ratio; ++w) {
                    const int j = a->ratio_pos[w];
                    const float v = cells[(size_t(a->ratio_dim[w]) * H + j) * S + 3];
                    if (!std::isnan(v) && totals[j] > 0.0f) {
                        const float x = v / totals[j];
                        std::memcpy(out_row + a->ratio_to[w], &x, sizeof(float));
                        ++c.cells_written;
                    }
                }
            }
        }
    }
    *out = c;
    return 0;
}

}  // extern "C"
