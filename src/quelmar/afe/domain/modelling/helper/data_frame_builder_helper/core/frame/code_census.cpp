// The census pass: each thread counts a chunk of rows into a table of its
// own, read in blocks converted to int64 first, so that the counting loop
// carries no test on the column's type.
#include "core/frame/code_census.hpp"

#include <algorithm>
#include <vector>

#include "core/common/views.hpp"

namespace dfbh {
namespace {

constexpr int64_t kBlock = 1024;            // rows converted at a time: a few kB, stays in L1
constexpr int64_t kRowsPerThread = 65536;  // fewer rows are not worth a thread of their own

CodeCensus census_chunk(const InputColumn& column, int64_t first_row, int64_t last_row, Progress& progress) {
    CodeCensus census;
    // Consecutive rows count into different tables: a column of few codes
    // would otherwise wait on the increment of the same counter row after row.
    constexpr int kTables = 4;
    std::vector<std::array<int64_t, 256>> tables(kTables, std::array<int64_t, 256>{});
    std::vector<int64_t> codes(kBlock);
    for (int64_t first = first_row; first < last_row; first += kBlock) {
        if (progress.is_cancelled()) break;
        const int64_t n = std::min(kBlock, last_row - first);
        read_integers(column, first, n, codes.data());
        for (int64_t k = 0; k < n; ++k) {
            // Codes outside int8 land beyond 255 as unsigned numbers.
            const uint64_t slot = static_cast<uint64_t>(codes[k]) + 128u;
            if (slot < 256) {
                ++tables[static_cast<size_t>(k % kTables)][slot];
            } else if (!census.first_outside) {
                census.first_outside = first + k;
            }
        }
        progress.add(n);
    }
    for (const auto& table : tables) {
        for (size_t c = 0; c < 256; ++c) census.counts[c] += table[c];
    }
    return census;
}

}  // namespace

CodeCensus census_codes(const InputColumn& codes, int64_t n_rows, int n_jobs, const RunWorkers& run,
                        Progress& progress) {
    const int threads = static_cast<int>(std::max<int64_t>(
        1, std::min<int64_t>(usable_threads(n_jobs), (n_rows + kRowsPerThread - 1) / kRowsPerThread)));
    std::vector<CodeCensus> parts(static_cast<size_t>(threads));
    if (n_rows > 0) {
        run(threads, [&](int t) {
            const Chunk chunk = chunk_of(n_rows, threads, t);
            parts[t] = census_chunk(codes, chunk.first, chunk.last, progress);
        });
    }
    CodeCensus census;
    for (const CodeCensus& part : parts) {
        for (size_t c = 0; c < 256; ++c) census.counts[c] += part.counts[c];
        // Chunks are in row order: the first chunk with such a row has the first one.
        if (!census.first_outside) census.first_outside = part.first_outside;
    }
    return census;
}

}  // namespace dfbh
