// Row writers over the plan's write tables.
#include "core/rows/row_writer.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace dfbh {
namespace {

[[gnu::always_inline]] inline void apply(const MoveSet& moves, char* to, const char* from) {
    for (const Move& m : moves.m16) std::memcpy(to + m.to, from + m.from, 16);
    for (const Move& m : moves.m8) std::memcpy(to + m.to, from + m.from, 8);
    for (const Move& m : moves.m4) std::memcpy(to + m.to, from + m.from, 4);
}

// Copies `bytes` (a multiple of 4) with stores that bypass the caches, so
// that the destination lines are not read first.
void stream(char* to, const char* from, int64_t bytes) {
#if defined(__SSE2__)
    int64_t i = 0;
    for (; i < bytes && (reinterpret_cast<uintptr_t>(to + i) & 15); i += 4)
        _mm_stream_si32(reinterpret_cast<int*>(to + i), load<int32_t>(from + i));
    for (; i + 16 <= bytes; i += 16)
        _mm_stream_si128(reinterpret_cast<__m128i*>(to + i), _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + i)));
    for (; i < bytes; i += 4) _mm_stream_si32(reinterpret_cast<int*>(to + i), load<int32_t>(from + i));
#else
    std::memcpy(to, from, static_cast<size_t>(bytes));
#endif
}

// Copies the spare block into every block of a row, as kMoves 16-byte
// moves each, the last one ending at `bytes` (it overlaps the one before);
// the block is held in registers.
template <int kMoves>
void copy_spare(char* row, const RowBlocks& plan, const char* spare, int64_t bytes) {
    auto at = [bytes](int m) { return m + 1 < kMoves ? 16 * static_cast<int64_t>(m) : bytes - 16; };
    const int64_t* const to = plan.to.data();
    const size_t n = plan.to.size();
#if defined(__SSE2__)
    __m128i held[kMoves];
#pragma GCC unroll 16
    for (int m = 0; m < kMoves; ++m) held[m] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(spare + at(m)));
    for (size_t k = 0; k < n; ++k) {
        char* const out = row + to[k];
#pragma GCC unroll 16
        for (int m = 0; m < kMoves; ++m) _mm_storeu_si128(reinterpret_cast<__m128i*>(out + at(m)), held[m]);
    }
#else
    for (size_t k = 0; k < n; ++k) {
        for (int m = 0; m < kMoves; ++m) std::memcpy(row + to[k] + at(m), spare + at(m), 16);
    }
#endif
}

// copy_spare<1> ... copy_spare<kHeldMoves>, by their move count minus 1:
// wider blocks than these are not held in registers.
constexpr int kHeldMoves = 12;
using CopySpare = void (*)(char*, const RowBlocks&, const char*, int64_t);
template <size_t... K>
constexpr std::array<CopySpare, sizeof...(K)> held_copies(std::index_sequence<K...>) {
    return {&copy_spare<static_cast<int>(K) + 1>...};
}
constexpr std::array<CopySpare, kHeldMoves> kHeldCopies = held_copies(std::make_index_sequence<kHeldMoves>());

// The same for blocks of any width of 16 bytes or more.
void copy_spare(char* row, const RowBlocks& plan, const char* spare, int64_t bytes) {
    const int64_t moves = (bytes + 15) / 16;
    if (moves >= 1 && moves <= kHeldMoves) return kHeldCopies[static_cast<size_t>(moves) - 1](row, plan, spare, bytes);
    for (const int64_t to : plan.to) {
        int64_t i = 0;
        for (; i + 16 < bytes; i += 16) std::memcpy(row + to + i, spare + i, 16);
        std::memcpy(row + to + bytes - 16, spare + bytes - 16, 16);
    }
}

}  // namespace

RowWriter::RowWriter(const SplitPlan& plan)
    : plan_(plan),
      image_(plan.image.columns, plan.constants->FLOAT32_NAN),
      horizon_totals_(plan.distinct_horizons.size(), 0.0f) {
    if (plan.blocks.used) spare_.assign(static_cast<size_t>(plan.blocks.width), 0.0f);
    if (plan.ratio_by_seen) sorted_dims_.assign(static_cast<size_t>(plan.D), 0);
}

RowWriter::~RowWriter() {
#if defined(__SSE2__)
    if (streamed_) _mm_sfence();
#endif
}

void RowWriter::fill_row(const float* buffer, char* row, const int32_t* seen_dims, int32_t n_seen) {
    if (plan_.blocks.used) {
        write_blocks(buffer, row, seen_dims, n_seen);
        finish_row(buffer, row, seen_dims, n_seen);
        return;
    }
    // The image pays where the entity touched few of the row's cells: its
    // cost (the cells put in and taken out again, and the block copy) is
    // weighed against the direct moves, in rough instructions.
    const RowImage& image = plan_.image;
    bool through_image = false;
    if (image.used) {
        int64_t touched = static_cast<int64_t>(image.statistics_writes.size()) + image.kept.size();
        for (int32_t k = 0; k < n_seen; ++k) touched += image.dim_begin[seen_dims[k] + 1] - image.dim_begin[seen_dims[k]];
        through_image = 2 * touched + image.columns / 8 < plan_.direct_cost;
    }
    if (through_image) {
        write_image(buffer, row, seen_dims, n_seen);
    } else if (plan_.distinct_columns) {
        apply(plan_.moves, row, reinterpret_cast<const char*>(buffer));
    } else {
        for (const CellWrite& w : plan_.cell_writes) store<float>(row + w.to, buffer[w.from]);
    }
    finish_row(buffer, row, seen_dims, n_seen);
}

void RowWriter::finish_row(const float* buffer, char* row, const int32_t* seen_dims, int32_t n_seen) {
    if (plan_.ratio_writes.empty()) return;
    if (plan_.ratio_by_seen) {
        write_touched_ratios(buffer, row, seen_dims, n_seen);
    } else {
        write_ratios(buffer, row);
    }
}

// Every value gets the spare block; then the touched values' blocks are
// put over theirs, assembled from their cells in place (a move of the
// assembly stays within its block).
void RowWriter::write_blocks(const float* buffer, char* row, const int32_t* seen_dims, int32_t n_seen) {
    const RowBlocks& plan = plan_.blocks;
    const size_t per_dim = static_cast<size_t>(plan_.H) * SLOT_COUNT;
    char* const spare = reinterpret_cast<char*>(spare_.data());
    apply(plan.assembly, spare, reinterpret_cast<const char*>(buffer + plan_.D * per_dim));
    copy_spare(row, plan, spare, static_cast<int64_t>(plan.width) * static_cast<int64_t>(sizeof(float)));
    const int32_t* const block_of = plan.block_of.data();
    for (int32_t k = 0; k < n_seen; ++k) {
        const int32_t dim = seen_dims[k];
        const int32_t block = block_of[dim];
        if (block >= 0) apply(plan.assembly, row + plan.to[block], reinterpret_cast<const char*>(buffer + dim * per_dim));
    }
}

void RowWriter::write_image(const float* buffer, char* row, const int32_t* seen_dims, int32_t n_seen) {
    const RowImage& plan = plan_.image;
    float* const image = image_.data();
    const ImageWrite* const writes = plan.dim_writes.data();
    const int32_t* const begin = plan.dim_begin.data();
    for (int32_t k = 0; k < n_seen; ++k) {
        const int32_t dim = seen_dims[k];
        for (int32_t w = begin[dim]; w < begin[dim + 1]; ++w) image[writes[w].column] = buffer[writes[w].from];
    }
    for (const ImageWrite& w : plan.statistics_writes) image[w.column] = buffer[w.from];

    char* const to = row + plan.first;
    const char* const from = reinterpret_cast<const char*>(image);
    for (int32_t column : plan.kept) image[column] = load<float>(to + column * sizeof(float));
    if (plan.stream) {
        for (const auto& run : plan.runs) stream(to + run.first, from + run.first, run.second);
        streamed_ = true;
    } else {
        for (const auto& run : plan.runs) std::memcpy(to + run.first, from + run.first, static_cast<size_t>(run.second));
    }

    // Back to what an entity without transactions writes.
    const float nan = plan_.constants->FLOAT32_NAN;
    for (int32_t k = 0; k < n_seen; ++k) {
        const int32_t dim = seen_dims[k];
        for (int32_t w = begin[dim]; w < begin[dim + 1]; ++w) image[writes[w].column] = nan;
    }
    for (const ImageWrite& w : plan.statistics_writes) image[w.column] = nan;
}

// Each dimension value's share of the horizon's total Sum. The totals add
// every non-NaN Sum of a horizon in float32, dimension by dimension, in the
// order the cells are laid out. A NaN Sum adds +0 instead of a branch: a
// total starts at +0 and only ever adds positive quantities or +0, so it is
// never -0, and adding +0 then changes no bit.
void RowWriter::write_ratios(const float* buffer, char* row) {
    float* const totals = horizon_totals_.data();
    std::fill(horizon_totals_.begin(), horizon_totals_.end(), 0.0f);
    // The Sum's bits, or those of +0 for a NaN, by a mask (a conditional
    // here compiles to a branch that mispredicts).
    auto sum_or_zero = [](const float* sum) {
        const uint32_t bits = load<uint32_t>(reinterpret_cast<const char*>(sum)) &
                              (0u - static_cast<uint32_t>(*sum == *sum));
        return load<float>(reinterpret_cast<const char*>(&bits));
    };
    const int32_t D = plan_.D, H = plan_.H;
    const size_t per_dim = static_cast<size_t>(H) * SLOT_COUNT;
    if (static_cast<size_t>(H) == plan_.distinct_horizons.size()) {
        // Every position its own horizon: each total in a register.
        for (int32_t p = 0; p < H; ++p) {
            const float* sum = buffer + static_cast<size_t>(p) * SLOT_COUNT + SUM_SLOT;
            float total = 0.0f;
            for (int32_t d = 0; d < D; ++d, sum += per_dim) total = total + sum_or_zero(sum);
            totals[plan_.distinct_of_position[p]] = total;
        }
    } else {
        // A horizon at several positions adds them in cell order.
        const int32_t* const total_of = plan_.distinct_of_position.data();
        const float* sum = buffer + SUM_SLOT;
        for (int32_t d = 0; d < D; ++d) {
            for (int32_t p = 0; p < H; ++p, sum += SLOT_COUNT) {
                float& total = totals[total_of[p]];
                total = total + sum_or_zero(sum);
            }
        }
    }
    for (const RatioWrite& w : plan_.ratio_writes) {
        const float s = buffer[w.from];
        const float t = totals[w.total];
        if (!std::isnan(s) && t > 0.0f) store<float>(row + w.to, s / t);
    }
}

// write_ratios for rows with many dimension values, of which an entity
// touches few: the others' Sum is NaN at every position, so they add
// nothing to a total (as +0, which changes no bit of it) and get no ratio
// cell. The touched values are visited in ascending order, the order in
// which write_ratios adds and writes.
void RowWriter::write_touched_ratios(const float* buffer, char* row, const int32_t* seen_dims, int32_t n_seen) {
    int32_t* const sorted = sorted_dims_.data();
    for (int32_t k = 0; k < n_seen; ++k) {
        const int32_t dim = seen_dims[k];
        int32_t at = k;
        for (; at > 0 && sorted[at - 1] > dim; --at) sorted[at] = sorted[at - 1];
        sorted[at] = dim;
    }
    float* const totals = horizon_totals_.data();
    std::fill(horizon_totals_.begin(), horizon_totals_.end(), 0.0f);
    const int32_t* const total_of = plan_.distinct_of_position.data();
    const size_t per_dim = static_cast<size_t>(plan_.H) * SLOT_COUNT;
    for (int32_t k = 0; k < n_seen; ++k) {
        const float* sum = buffer + sorted[k] * per_dim + SUM_SLOT;
        for (int32_t p = 0; p < plan_.H; ++p, sum += SLOT_COUNT) {
            if (!std::isnan(*sum)) totals[total_of[p]] = totals[total_of[p]] + *sum;
        }
    }
    const RatioWrite* const writes = plan_.ratio_writes.data();
    const int32_t* const begin = plan_.ratio_begin.data();
    for (int32_t k = 0; k < n_seen; ++k) {
        for (int32_t w = begin[sorted[k]]; w < begin[sorted[k] + 1]; ++w) {
            const float s = buffer[writes[w].from];
            const float t = totals[writes[w].total];
            if (!std::isnan(s) && t > 0.0f) store<float>(row + writes[w].to, s / t);
        }
    }
}

void RowWriter::fill_row_for_ratio_column(const float* buffer, char* row) const {
    const SplitPlan& plan = plan_;
    if (plan.group_dim < 0 || plan.first_horizon_position < 0 || !plan.group_ratio_to) return;
    // The total at the first requested horizon, added in dimension order;
    // a horizon listed twice adds the Sum of each of its positions.
    float total = 0.0f;
    for (int32_t i = 0; i < plan.D; ++i) {
        for (int32_t j : plan.first_horizon_positions) {
            const float s = buffer[(i * plan.H + j) * SLOT_COUNT + SUM_SLOT];
            if (!std::isnan(s)) total = total + s;
        }
    }
    const float s = buffer[(plan.group_dim * plan.H + plan.first_horizon_position) * SLOT_COUNT + SUM_SLOT];
    if (!std::isnan(s) && total > 0.0f) store<float>(row + *plan.group_ratio_to, s / total);
}

}  // namespace dfbh
