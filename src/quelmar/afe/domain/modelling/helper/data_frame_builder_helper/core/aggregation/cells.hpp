// The aggregate buffer of one scan: a cell of nine slots per (dimension
// index, horizon position), cumulative over horizons. Accumulation, the
// carry-forward of finished cells onto larger horizons, the time-since
// bounds of each dimension value, and the reset between entities.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "core/plan/plan.hpp"
#include "core/plan/windows.hpp"
#include "core/rules/scan_rules.hpp"

namespace dfbh {

class CellGrid {
public:
    CellGrid(const SplitPlan& plan)
        : plan_(plan),
          H_(plan.H),
          nan_(plan.constants->FLOAT32_NAN),
          // Dimension index D is spare: the cells of a value without
          // transactions, which only CountDistinct and Mode ever change.
          buffer_(static_cast<size_t>(plan.D + 1) * plan.H * SLOT_COUNT, nan_),
          dims_(plan.D),
          seen_dims_(plan.D) {}

    const float* data() const { return buffer_.data(); }
    float* data() { return buffer_.data(); }
    // Dimension indices with an accepted transaction; every cell of the
    // others is NaN, apart from CountDistinct and Mode.
    const int32_t* seen_dims() const { return seen_dims_.data(); }
    int32_t n_seen() const { return n_seen_; }
    float* cell(int32_t dim, int32_t position) {
        return buffer_.data() + (static_cast<size_t>(dim) * H_ + position) * SLOT_COUNT;
    }

    // Adds an accepted transaction of quantity q, dated t, to cell (dim, p)
    // of horizon h. The first transaction of a dimension value starts its
    // cells; later ones find, thanks to the carry-forward, the cumulative
    // values of the smaller horizons in place. Density is left to
    // finish_density(): it depends on the cell's Sum and Frequency only.
    void accumulate(int32_t dim, int32_t p, int32_t h, float q, int64_t t) {
        DimState& state = dims_[dim];
        float* c = cell(dim, p);
        if (!state.seen) {
            state.seen = true;
            state.last_horizon = h;
            state.last_position = p;
            state.oldest = t;
            state.newest = t;
            seen_dims_[n_seen_++] = dim;
            c[MIN_SLOT] = q;
            c[MAX_SLOT] = q;
            c[SUM_SLOT] = q;
            c[FREQUENCY_SLOT] = 1.0f;
            return;
        }
        if (t < state.oldest) state.oldest = t;
        if (t > state.newest) state.newest = t;
        // NaN on either side leaves Min and Max as they are.
        c[MIN_SLOT] = c[MIN_SLOT] > q ? q : c[MIN_SLOT];
        c[MAX_SLOT] = q > c[MAX_SLOT] ? q : c[MAX_SLOT];
        c[SUM_SLOT] = q + c[SUM_SLOT];
        c[FREQUENCY_SLOT] = rules::frequency_after(c[FREQUENCY_SLOT]);
        if (h > state.last_horizon) {
            state.last_horizon = h;
            state.last_position = p;
        }
    }

    // The same for a scan whose rows come newest first (see
    // EntityScanner::scan_ordered): a value's Min, Max, Sum and Frequency
    // run on in its state, with the same float operations in the same
    // order, and reach its cells only when the scan leaves a position
    // (snapshot). Dates only fall, so the newest date is the first one.
    void add(int32_t dim, float q, int64_t t) {
        DimState& state = dims_[dim];
        float* running = state.running;
        if (!state.seen) {
            state.seen = true;
            state.oldest = t;
            state.newest = t;
            seen_dims_[n_seen_++] = dim;
            running[0] = q;
            running[1] = q;
            running[2] = q;
            running[3] = 1.0f;
            return;
        }
        state.oldest = t;
        // Selects rather than branches (minss / maxss keep the stored value
        // on a NaN, as the comparisons do).
        running[0] = running[0] > q ? q : running[0];
        running[1] = q > running[1] ? q : running[1];
        running[2] = q + running[2];
        running[3] = rules::frequency_after(running[3]);
    }

    // Cells at `position` of every value seen so far take its running
    // values: the cell covers every transaction up to the position's horizon.
    // (Copied value by value: add() stores them one by one, and one wide
    // load of four narrow stores just made would stall on store forwarding.)
    void snapshot(int32_t position) {
        for (int32_t dim : seen()) {
            const float* running = dims_[dim].running;
            float* c = cell(dim, position);
            c[MIN_SLOT] = running[0];
            c[MAX_SLOT] = running[1];
            c[SUM_SLOT] = running[2];
            c[FREQUENCY_SLOT] = running[3];
        }
    }

    // Density of every cell of a value with a transaction, from its Sum and
    // Frequency as stored, which are what they were after the cell's last
    // transaction (the cells no transaction reached come out NaN).
    void finish_density() {
        for (int32_t dim : seen()) {
            for (int32_t p = 0; p < H_; ++p) {
                float* c = cell(dim, p);
                c[DENSITY_SLOT] = rules::density(c[SUM_SLOT], c[FREQUENCY_SLOT]);
            }
        }
    }

    // The scan moves on to horizon h at position p: every dimension value
    // seen so far has its latest cell copied onto the horizons between its
    // last horizon and h, and onto h itself.
    void carry_forward(int32_t h, int32_t p) {
        for (int32_t dim : seen()) {
            const DimState& state = dims_[dim];
            plan_.for_each_horizon_between(state.last_horizon, h, false,
                                           [&](int32_t to) { copy_cell(dim, state.last_position, to); });
            copy_cell(dim, state.last_position, p);
        }
    }

    // After the scan, the horizons above the last one it reached receive the
    // latest cell of every seen dimension value.
    void fill_tail(int32_t last_horizon) {
        for (int32_t dim : seen()) {
            const DimState& state = dims_[dim];
            plan_.for_each_horizon_between(last_horizon, plan_.max_horizon, true,
                                           [&](int32_t to) { copy_cell(dim, state.last_position, to); });
        }
    }

    // TimeSinceFirst / TimeSinceLast of a dimension value are the ages of
    // its oldest and newest accepted transactions (the age falls as the
    // date grows, so these are its largest and smallest age), written into
    // every horizon position of the list (and into position 0 when a
    // horizon outside the list was given one). An unknown unit gives 0.
    void write_time_since(int64_t target_date, int64_t unit_ms, bool outside_position_used) {
        for (int32_t dim : seen()) {
            const DimState& state = dims_[dim];
            const float first = unit_ms ? span_in_units(unit_ms, target_date, state.oldest) : 0.0f;
            const float last = unit_ms ? span_in_units(unit_ms, target_date, state.newest) : 0.0f;
            for (int32_t position : plan_.distinct_position) write_spans(dim, position, first, last);
            if (outside_position_used) write_spans(dim, 0, first, last);
        }
    }

    // Sets every cell back to NaN. Only the dimension values the last
    // entity touched hold anything else, apart from CountDistinct and Mode,
    // which every entity that tracks them rewrites in full.
    void reset() {
        const size_t per_dim = static_cast<size_t>(H_) * SLOT_COUNT;
        for (int32_t dim : seen()) {
            float* first = buffer_.data() + dim * per_dim;
            std::fill(first, first + per_dim, nan_);
            dims_[dim].seen = false;
        }
        n_seen_ = 0;
    }

private:
    struct DimState {
        bool seen = false;
        int32_t last_horizon = 0;  // largest horizon with a transaction so far
        int32_t last_position = 0;
        int64_t oldest = 0;  // dates of its accepted transactions
        int64_t newest = 0;
        float running[4] = {0.0f, 0.0f, 0.0f, 0.0f};  // Min, Max, Sum, Frequency (newest-first scans)
    };

    struct SeenDims {
        const int32_t* first;
        const int32_t* last;
        const int32_t* begin() const { return first; }
        const int32_t* end() const { return last; }
    };
    SeenDims seen() const { return SeenDims{seen_dims_.data(), seen_dims_.data() + n_seen_}; }

    void copy_cell(int32_t dim, int32_t from, int32_t to) {
        if (from != to) std::memcpy(cell(dim, to), cell(dim, from), SLOT_COUNT * sizeof(float));
    }
    void write_spans(int32_t dim, int32_t position, float first, float last) {
        float* c = cell(dim, position);
        c[TIME_SINCE_FIRST_SLOT] = first;
        c[TIME_SINCE_LAST_SLOT] = last;
    }

    const SplitPlan& plan_;
    const int32_t H_;
    const float nan_;
    std::vector<float> buffer_;        // [D][H][SLOT_COUNT]
    std::vector<DimState> dims_;
    // Dimension indices with a transaction, in order seen: the first
    // n_seen_ entries (a fixed array, so that the row loop makes no call).
    std::vector<int32_t> seen_dims_;
    int32_t n_seen_ = 0;
};

}  // namespace dfbh
