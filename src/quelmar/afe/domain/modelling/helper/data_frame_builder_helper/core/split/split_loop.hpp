// The computation of one `execute` call: its converted arguments and the
// loop over the rows of `splits`, each split prepared once (`exec_for_split`)
// and its entities scanned in order.
#pragma once

#include <cstdint>

#include "core/common/failure.hpp"
#include "core/common/request.hpp"
#include "core/common/views.hpp"

namespace dfbh {

// The converted arguments of one `execute` call. The views borrow the
// caller's buffers, which the boundary keeps exported for the whole call.
struct ExecuteArgs {
    const ModuleConstants* constants = nullptr;
    View2<float> result_frame;
    int32_t c_num_threads = 0;
    int32_t date_col_index = 0;
    int32_t d_index = 0;
    int32_t q_index = 0;
    View2<int32_t> splits;
    View2<int64_t> trx_dates;
    View2<float> trx_q_arrays;
    View2<int8_t> trx_d_arrays;
    OrderedMap<int32_t, View1<int32_t>> entity_index_map;
    View1<int64_t> target_dates;
    FeatureRequest request;  // horizons, offset, resolution, index_map, operators, columns, flags
};

// What the split loop needs of its caller besides reporting. Each split
// starts with np.full((D, H, 9), FLOAT32_NAN, dtype=np.float32), a NumPy
// array that nothing reads: the scan keeps its aggregates in its own
// cells. The call stays because its effects are part of `execute`: a
// replaced or failing numpy abandons the split.
class SplitHost : public Reporter {
public:
    // Makes the split's NumPy array and holds it until
    // release_unread_split_array(). On failure the error is reported under
    // "exec_for_split" and false is returned.
    virtual bool make_unread_split_array(int64_t D, int64_t H) = 0;
    virtual void release_unread_split_array() = 0;
};

// Runs every split of a call whose arguments passed the boundary's checks.
// Never throws: every failure inside is reported through `host`.
void run_splits(const ExecuteArgs& args, SplitHost& host);

}  // namespace dfbh
