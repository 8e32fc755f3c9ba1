// The engine's driver: every target of a call computed with one plan
// (engine_plan.hpp), from transaction columns grouped by entity (see
// prepare.hpp), spread over worker threads. Each target writes only its own
// result row, so the result does not depend on the number of threads.
#pragma once

#include <cstdint>

#include "core/common/parallel.hpp"
#include "core/common/views.hpp"
#include "core/frame/engine_plan.hpp"
#include "core/frame/prepare.hpp"

namespace dfbh {

// The arrays of a call.
struct TargetCall {
    // The transaction columns, one element per row; entity e owns rows
    // offsets[e] to offsets[e + 1] - 1, newest first.
    View1<int64_t> dates;
    View1<float> quantities;
    View1<int8_t> codes;
    View1<int64_t> offsets;  // n_entities + 1 entries
    // Target i: its entity (int32 or int64 code; negative: no transactions)
    // and its date; its result row is row i of `out`.
    InputColumn target_entities;
    View1<int64_t> target_dates;
    int64_t n_targets = 0;
    float* out = nullptr;  // n_targets x n_columns, C-contiguous
    int64_t n_columns = 0;
    // Whether every cell that the computation leaves alone becomes NaN (the
    // rows of targets without transactions among them), so that `out` may
    // start uninitialised; otherwise such cells keep what they hold.
    bool fill_nan = true;
};

// Checks `call` against `plan` (throwing Failure, before anything is
// written: offsets that are not monotone or leave the columns, columns of
// unequal length, a target entity beyond the offsets, not one plan column
// per column of `out`), then computes every target's row on up to n_jobs
// threads through `run`. Progress counts finished targets. A failure
// inside the computation (none is expected after the checks) is thrown once
// every thread has finished: that of the lowest target. A cancelled call
// returns with `out` incomplete.
void compute_targets(const EnginePlan& plan, const TargetCall& call, int n_jobs, const RunWorkers& run,
                     Progress& progress);

}  // namespace dfbh
