// The aggregate buffer of one scan: a cell of nine slots per (dimension
// index, horizon position), cumulative over horizons. Accumulation, the
// carry-forward of finished cells onto larger horizons, the time-since
// bounds of each dimension value, and the reset between entities.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "plan.hpp"

namespace dfbh {

class CellGrid {
public:
    CellGrid(const SplitPlan& plan)
        : plan_(plan),
          H_(plan.H),
          nan_(plan.constants->FLOAT32_NAN),
          buffer_(static_cast<size_t>(plan.D) * plan.H * SLOT_COUNT, nan_),
          dims_(plan.D) {
        seen_dims_.reserve(plan.D);
    }

    const float* data() const { return buffer_.data(); }
    float* cell(int32_t dim, int32_t position) {
        return buffer_.data() + (static_cast<size_t>(dim) * H_ + position) * SLOT_COUNT;
    }

    // Adds an accepted transaction of quantity q and age `span` to cell
    // (dim, p) of horizon h. The first transaction of a dimension value
    // starts its cells; later ones find, thanks to the carry-forward, the
    // cumulative values of the smaller horizons in place.
    void accumulate(int32_t dim, int32_t p, int32_t h, float q, float span) {
        DimState& state = dims_[dim];
        float* c = cell(dim, p);
        if (!state.seen) {
            state.seen = true;
            state.last_horizon = h;
            state.last_position = p;
            state.span_largest = span;
            state.span_smallest = span;
            seen_dims_.push_back(dim);
            c[DENSITY_SLOT] = q;
            c[MIN_SLOT] = q;
            c[MAX_SLOT] = q;
            c[SUM_SLOT] = q;
            c[FREQUENCY_SLOT] = 1.0f;
            return;
        }
        if (span > state.span_largest) state.span_largest = span;
        if (state.span_smallest > span) state.span_smallest = span;
        // NaN on either side leaves Min and Max as they are.
        if (c[MIN_SLOT] > q) c[MIN_SLOT] = q;
        if (q > c[MAX_SLOT]) c[MAX_SLOT] = q;
        const float sum = q + c[SUM_SLOT];
        c[SUM_SLOT] = sum;
        const float frequency = static_cast<float>(static_cast<double>(c[FREQUENCY_SLOT]) + 1.0);
        c[FREQUENCY_SLOT] = frequency;
        c[DENSITY_SLOT] = sum / frequency;
        if (h > state.last_horizon) {
            state.last_horizon = h;
            state.last_position = p;
        }
    }

    // The scan moves on to horizon h at position p: every dimension value
    // seen so far has its latest cell copied onto the horizons between its
    // last horizon and h, and onto h itself.
    void carry_forward(int32_t h, int32_t p) {
        for (int32_t dim : seen_dims_) {
            const DimState& state = dims_[dim];
            plan_.for_each_horizon_between(state.last_horizon, h, false,
                                           [&](int32_t to) { copy_cell(dim, state.last_position, to); });
            copy_cell(dim, state.last_position, p);
        }
    }

    // After the scan, the horizons above the last one it reached receive the
    // latest cell of every seen dimension value.
    void fill_tail(int32_t last_horizon) {
        for (int32_t dim : seen_dims_) {
            const DimState& state = dims_[dim];
            plan_.for_each_horizon_between(last_horizon, plan_.max_horizon, true,
                                           [&](int32_t to) { copy_cell(dim, state.last_position, to); });
        }
    }

    // TimeSinceFirst / TimeSinceLast of a dimension value are its largest and
    // smallest age over all its accepted transactions, written into every
    // horizon position of the list (and into position 0 when a horizon
    // outside the list was given one).
    void write_time_since(bool outside_position_used) {
        for (int32_t dim : seen_dims_) {
            const DimState& state = dims_[dim];
            for (int32_t position : plan_.distinct_position) write_spans(dim, position, state);
            if (outside_position_used) write_spans(dim, 0, state);
        }
    }

    // Sets every cell back to NaN. Only the dimension values the last
    // entity touched hold anything else, apart from CountDistinct and Mode,
    // which every entity that tracks them rewrites in full.
    void reset() {
        const size_t per_dim = static_cast<size_t>(H_) * SLOT_COUNT;
        for (int32_t dim : seen_dims_) {
            float* first = buffer_.data() + dim * per_dim;
            std::fill(first, first + per_dim, nan_);
            dims_[dim].seen = false;
        }
        seen_dims_.clear();
    }

private:
    struct DimState {
        bool seen = false;
        int32_t last_horizon = 0;  // largest horizon with a transaction so far
        int32_t last_position = 0;
        float span_largest = 0.0f;
        float span_smallest = 0.0f;
    };

    void copy_cell(int32_t dim, int32_t from, int32_t to) {
        if (from != to) std::memcpy(cell(dim, to), cell(dim, from), SLOT_COUNT * sizeof(float));
    }
    void write_spans(int32_t dim, int32_t position, const DimState& state) {
        float* c = cell(dim, position);
        c[TIME_SINCE_FIRST_SLOT] = state.span_largest;
        c[TIME_SINCE_LAST_SLOT] = state.span_smallest;
    }

    const SplitPlan& plan_;
    const int32_t H_;
    const float nan_;
    std::vector<float> buffer_;        // [D][H][SLOT_COUNT]
    std::vector<DimState> dims_;
    std::vector<int32_t> seen_dims_;   // dimension indices with a transaction, in order seen
};

}  // namespace dfbh
