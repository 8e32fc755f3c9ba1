// A census of a dimension code column before anything is computed: how
// often each int8 code occurs, and the first row whose code lies outside
// int8. One pass on up to n_jobs threads.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "core/common/parallel.hpp"
#include "core/frame/prepare.hpp"

namespace dfbh {

struct CodeCensus {
    std::array<int64_t, 256> counts{};     // of code c at c + 128
    std::optional<int64_t> first_outside;  // none when every code fits int8
};

// `codes`: int8, int16, int32 or int64 of any stride. Progress counts rows.
// A cancelled census returns incomplete counts.
CodeCensus census_codes(const InputColumn& codes, int64_t n_rows, int n_jobs, const RunWorkers& run,
                        Progress& progress);

}  // namespace dfbh
