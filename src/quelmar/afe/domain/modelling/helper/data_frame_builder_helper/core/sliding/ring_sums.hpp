// Window sums kept in rings: per dimension value and position, the sum of
// the value's rows between that position's window start and the next
// smaller horizon's. A row enters the ring of the smallest window it lies
// in, moves to the next ring as windows start after it, and a window's Sum
// adds up the rings up to its own. Two kinds of ring, chosen per entity:
// ExactSum for any quantities, int64 for an entity whose sums fit the
// fixed point (entity_rows.hpp).
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "core/common/exact_sum.hpp"
#include "core/plan/plan.hpp"
#include "core/plan/windows.hpp"
#include "core/sliding/entity_rows.hpp"
#include "core/sliding/sliding_windows.hpp"

namespace dfbh {

// Rings of ExactSum: a row adds its quantity.
struct ExactAddends {
    using Sum = ExactSum;
    float of(const EntityRows& rows, int32_t i) const { return rows.quantity(i); }
    static void add(Sum& sum, float q) { sum.add(q); }
    static void remove(Sum& sum, float q) { sum.remove(q); }
    static void merge(Sum& running, const Sum& ring) { running.add(ring); }
    float rounded(const Sum& sum, float nan) const { return sum.rounded(nan); }
};

// Rings of int64: a row adds its quantity on the entity's fixed point,
// converted once per entity.
struct FixedAddends {
    using Sum = int64_t;
    void convert(const EntityRows& rows, const FixedPoint& point) {
        fixed = point;
        of_row.resize(static_cast<size_t>(rows.size()));
        for (int32_t i = rows.first(); i < rows.end(); ++i) {
            if (rows.dim(i) >= 0) of_row[static_cast<size_t>(i)] = point.of(rows.quantity(i));
        }
    }
    int64_t of(const EntityRows&, int32_t i) const { return of_row[static_cast<size_t>(i)]; }
    static void add(Sum& sum, int64_t v) { sum += v; }
    static void remove(Sum& sum, int64_t v) { sum -= v; }
    static void merge(Sum& running, const Sum& ring) { running += ring; }
    float rounded(const Sum& sum, float) const { return fixed.sum(sum); }

    FixedPoint fixed;
    std::vector<int64_t> of_row;  // per row with a cell, oldest first
};

template <class Addends>
class RingSums {
public:
    using Sum = typename Addends::Sum;

    explicit RingSums(const SplitPlan& plan)
        : plan_(plan),
          H_(plan.H),
          ring_(static_cast<size_t>(plan.D) * plan.H),
          first_(static_cast<size_t>(plan.D) * plan.H, 0) {}

    Addends& addends() { return addends_; }

    // A row enters the ring of the smallest window it lies in.
    static constexpr bool kRings = true;

    // Rows [from, to) enter the window of position `ring` (and so of every
    // larger horizon).
    void enter(SlidingWindows& w, const EntityRows& rows, int32_t from, int32_t to, int32_t ring) {
        ValueRows* const values = w.values.data();
        Sum* const rings = ring_.data();
        int64_t* const firsts = first_.data();
        for (int32_t i = from; i < to; ++i) {
            const int32_t d = rows.dim(i);
            if (d == kRefused) continue;
            if (w.counts_codes) w.codes.enter(rows.code(i), ring);
            if (d < 0) continue;
            const float q = rows.quantity(i);
            ValueRows& s = values[d];
            if (!s.touched) w.touch(d);
            Addends::add(rings[at(d, ring)], addends_.of(rows, i));
            // Positions whose windows start after the row keep it out.
            const int64_t index = static_cast<int64_t>(s.rows.size);
            for (int32_t j = 0; j < ring; ++j) firsts[at(d, j)] = index + 1;
            s.rows.push(i, q);
            w.push_extremes(s, i, q);
        }
    }

    // Row i leaves the window of position j: it moves into position j + 1's
    // ring, or out of every window when j is the largest horizon.
    void cross(SlidingWindows& w, const EntityRows& rows, int32_t i, int32_t j) {
        const int32_t d = rows.dim(i);
        if (d == kRefused) return;
        if (w.counts_codes) w.codes.leave(rows.code(i), j);
        if (d < 0) return;
        ++first_[at(d, j)];
        const auto v = addends_.of(rows, i);
        Addends::remove(ring_[at(d, j)], v);
        if (j + 1 < H_) {
            Addends::add(ring_[at(d, j + 1)], v);
            return;
        }
        w.leave(w.values[static_cast<size_t>(d)], i);
    }

    // The cells of every value with rows since the last reset.
    void fill(SlidingWindows& w, const EntityRows& rows, int64_t target_date) {
        const int64_t unit = plan_.windows.unit_ms;
        for (int32_t d : w.touched) {
            ValueRows& s = w.values[static_cast<size_t>(d)];
            const int64_t count_all = static_cast<int64_t>(s.rows.size);
            if (count_all - static_cast<int64_t>(s.rows.head) == 0) {
                w.clear_cells(d);
                continue;
            }
            w.seen.push_back(d);
            w.settle(s);
            const QueueEntry& newest = s.rows.back();
            const float span_first =
                w.spans_read ? span_in_units(unit, target_date, rows.date(s.rows.items[s.rows.head].row)) : w.nan;
            const float span_last = w.spans_read ? span_in_units(unit, target_date, rows.date(newest.row)) : w.nan;
            Sum running{};
            float* const cells = w.cells(d);
            for (int32_t j = 0; j < H_; ++j) {
                float* c = cells + static_cast<size_t>(j) * SLOT_COUNT;
                Addends::merge(running, ring_[at(d, j)]);
                const int64_t first = first_[at(d, j)];
                const int64_t count = count_all - first;
                if (count == 0) {
                    w.write_window(c, s, j, 0, 0, w.nan, newest.q, span_first, span_last);
                    continue;
                }
                w.write_window(c, s, j, s.rows.items[static_cast<size_t>(first)].row, count,
                               addends_.rounded(running, w.nan), newest.q, span_first, span_last);
            }
        }
    }

    // Forgets the rings of every value with rows since the last reset.
    void clear(const SlidingWindows& w) {
        for (int32_t d : w.touched) {
            std::fill(ring_.begin() + at(d, 0), ring_.begin() + at(d, H_), Sum{});
            std::fill(first_.begin() + at(d, 0), first_.begin() + at(d, H_), 0);
        }
    }

private:
    size_t at(int32_t d, int32_t j) const { return static_cast<size_t>(d) * H_ + j; }

    const SplitPlan& plan_;
    const int32_t H_;
    Addends addends_;
    std::vector<Sum> ring_;        // [D][H]
    std::vector<int64_t> first_;   // [D][H]: index in the value's row queue of the position's oldest row
};

}  // namespace dfbh
