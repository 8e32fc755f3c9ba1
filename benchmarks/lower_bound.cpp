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

// Everything one run needs; strides are in bytes. Filled by run.py.
struct LbArgs {
    // result matrix
    char* result;
    int64_t result_s0, result_s1;
    // transactions
    const char* dates;
    int64_t dates_s0;
    const char* qs;
    int64_t qs_s0;
    const char* ds;
    int64_t ds_s0;
    // entities: rows newest first, dense offsets per entity (length 0: no entry)
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
    // dimensions: code (as uint8) -> dense dimension index; dimension values
    const int32_t* code_to_dim;
    int32_t n_dims;
    const int32_t* dim_values;
    // requested work
    int32_t inclusive_upper;  // feature-group mode: a row at the window end is kept
    int32_t nan_skips;        // feature-group mode: NaN quantities are skipped
    int32_t group_only;       // only rows of group_dim are aggregated
    int32_t group_dim;        // dense index of dim_group_id, -1 if none
    int32_t want_distinct;
    int32_t want_mode;
    // set one: n1 slots, columns [dim][op][horizon], -1 = no cell
    int32_t n1;
    const int32_t* set1_slots;
    const int32_t* set1_cols;
    // set two: read at horizon position 0, columns [dim][op]
    int32_t n2;
    const int32_t* set2_slots;
    const int32_t* set2_cols;
    // ratio: 0 none, 1 every (dim, horizon) cell, 2 only group_dim at ratio_pos
    int32_t ratio_mode;
    int32_t ratio_pos;
    const int32_t* ratio_cols;  // [dim][horizon]
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

    // Per-split dense scratch, allocated once for the whole run.
    // Cell (d, p): running aggregates of d as they stood after its last row
    // at horizon position p; cnt 0 = no row at p.
    std::vector<float> cell_sum(size_t(D) * H), cell_min(size_t(D) * H), cell_max(size_t(D) * H),
        cell_cnt(size_t(D) * H);
    std::vector<float> run_sum(D), run_min(D), run_max(D), run_cnt(D), span_max(D), span_min(D);
    std::vector<uint8_t> touched(D, 0);
    std::vector<int32_t> touched_list;
    touched_list.reserve(D);
    std::vector<int32_t> code_count(256, 0);
    std::vector<int32_t> codes_seen;
    codes_seen.reserve(256);
    std::vector<double> distinct_at(H), mode_at(H);
    std::vector<uint8_t> stat_at(H);
    std::vector<int64_t> bound(H);
    // Final per-dimension slot values at each horizon, for writing.
    std::vector<float> slot(size_t(H) * 9);
    std::vector<float> totals(H);
    std::vector<float> sums(size_t(D) * H);

    LbCounters c{0, 0, 0, 0};

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
            for (int32_t d : touched_list) touched[d] = 0;
            touched_list.clear();
            for (int32_t code : codes_seen) code_count[code] = 0;
            codes_seen.clear();
            std::fill(stat_at.begin(), stat_at.end(), 0);
            int32_t n_distinct = 0, best_code = 0, best_count = 0;
            int p = 0;

            const int32_t* r = a->rows + a->row_offsets[e];
            const int32_t* r_end = a->rows + a->row_offsets[e + 1];
            for (; r != r_end; ++r) {
                const int64_t t = ld<int64_t>(a->dates + int64_t(*r) * a->dates_s0);
                ++c.rows_scanned;
                if (a->inclusive_upper ? t > upper : t >= upper) continue;
                if (t < lower) break;
                const float q = ld<float>(a->qs + int64_t(*r) * a->qs_s0);
                if (a->nan_skips && std::isnan(q)) continue;
                if (q <= 0.0f) continue;
                const int32_t code = int32_t(ld<int8_t>(a->ds + int64_t(*r) * a->ds_s0));
                if (a->want_distinct | a->want_mode) {
                    const int32_t ci = code + 128;
                    const int32_t n = ++code_count[ci];
                    if (n == 1) {
                        codes_seen.push_back(ci);
                        ++n_distinct;
                    }
                    if (n > best_count || (n == best_count && code < best_code)) {
                        best_count = n;
                        best_code = code;
                    }
                }
                const int32_t d = a->code_to_dim[uint8_t(code)];
                while (t < bound[p]) ++p;  // rows come newest first: p only grows
                if (a->group_only && d != a->group_dim) continue;
                ++c.rows_accepted;
                const float span = float(double(T - t) / double(unit));
                if (!touched[d]) {
                    touched[d] = 1;
                    touched_list.push_back(d);
                    for (int j = 0; j < H; ++j) cell_cnt[size_t(d) * H + j] = 0.0f;
                    run_sum[d] = q;
                    run_min[d] = q;
                    run_max[d] = q;
                    run_cnt[d] = 1.0f;
                    span_max[d] = span;
                    span_min[d] = span;
                } else {
                    if (run_min[d] > q) run_min[d] = q;
                    if (q > run_max[d]) run_max[d] = q;
                    run_sum[d] = q + run_sum[d];
                    run_cnt[d] = float(double(run_cnt[d]) + 1.0);
                    if (span > span_max[d]) span_max[d] = span;
                    if (span_min[d] > span) span_min[d] = span;
                }
                const size_t ci = size_t(d) * H + p;
                cell_sum[ci] = run_sum[d];
                cell_min[ci] = run_min[d];
                cell_max[ci] = run_max[d];
                cell_cnt[ci] = run_cnt[d];
                if (a->want_distinct) distinct_at[p] = double(n_distinct);
                if (a->want_mode) mode_at[p] = double(best_code);
                stat_at[p] = 1;
            }
            // Entity-wide statistics: positions without a row carry the
            // value of the position before; none before gives 0.
            {
                double dv = 0.0, mv = 0.0;
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

            // Write the row.
            char* out = a->result + row * a->result_s0;
            const int64_t cs = a->result_s1;
            auto put = [&](int32_t col, float v) {
                if (col < 0) return;
                std::memcpy(out + col * cs, &v, sizeof(float));
                ++c.cells_written;
            };
            if (a->ratio_mode) std::fill(totals.begin(), totals.end(), 0.0f);
            for (int d = 0; d < D; ++d) {
                // Slot values of d at each horizon position: cumulative cells
                // carried forward over positions without a row of d.
                const bool has = touched[d];
                float sum = NaN, mn = NaN, mx = NaN, cnt = NaN;
                for (int j = 0; j < H; ++j) {
                    float* sl = &slot[size_t(j) * 9];
                    const size_t ci = size_t(d) * H + j;
                    if (has && cell_cnt[ci] != 0.0f) {
                        sum = cell_sum[ci];
                        mn = cell_min[ci];
                        mx = cell_max[ci];
                        cnt = cell_cnt[ci];
                    }
                    sl[0] = sum / cnt;
                    sl[1] = mn;
                    sl[2] = mx;
                    sl[3] = sum;
                    sl[4] = cnt;
                    sl[5] = a->want_distinct ? float(distinct_at[j]) : NaN;
                    sl[6] = a->want_mode ? float(mode_at[j]) : NaN;
                    sl[7] = has ? span_max[d] : NaN;
                    sl[8] = has ? span_min[d] : NaN;
                    if (a->ratio_mode) {
                        sums[size_t(d) * H + j] = sum;
                        if (!std::isnan(sum)) totals[j] = totals[j] + sum;
                    }
                }
                const int32_t* c1 = a->set1_cols + size_t(d) * a->n1 * H;
                for (int j = 0; j < H; ++j)
                    for (int x = 0; x < a->n1; ++x) put(c1[x * H + j], slot[size_t(j) * 9 + a->set1_slots[x]]);
                const int32_t* c2 = a->set2_cols + size_t(d) * a->n2;
                for (int x = 0; x < a->n2; ++x) put(c2[x], slot[a->set2_slots[x]]);
            }
            if (a->ratio_mode == 1) {
                for (int d = 0; d < D; ++d)
                    for (int j = 0; j < H; ++j) {
                        const float s_ = sums[size_t(d) * H + j];
                        if (!std::isnan(s_) && totals[j] > 0.0f) put(a->ratio_cols[size_t(d) * H + j], s_ / totals[j]);
                    }
            } else if (a->ratio_mode == 2 && a->group_dim >= 0) {
                const int j = a->ratio_pos;
                const float s_ = sums[size_t(a->group_dim) * H + j];
                if (!std::isnan(s_) && totals[j] > 0.0f) put(a->ratio_cols[size_t(a->group_dim) * H + j], s_ / totals[j]);
            }
        }
    }
    *out = c;
    return 0;
}

}  // extern "C"
