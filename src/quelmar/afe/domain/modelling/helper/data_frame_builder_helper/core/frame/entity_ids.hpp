// Dense entity codes from integer entity ids, for the preparation: ids in a
// range not much wider than the table map to id - smallest id, without
// hashing; other ids are numbered in order of first appearance, the
// targets' ids first: they form a table that every thread reads, and the
// ids a thread meets beyond them go to a table of its own, merged in row
// order.
#pragma once

#include <cstdint>

#include "core/common/parallel.hpp"
#include "core/frame/prepare.hpp"

namespace dfbh {

// The id columns: int32 or int64 (itemsize 4 or 8) of any stride.
struct EntityIds {
    InputColumn ids;  // one per transaction
    int64_t n_rows = 0;
    InputColumn target_ids;  // one per target
    int64_t n_targets = 0;
};

// Where the codes go, C-contiguous, allocated by the caller.
struct EntityCodes {
    int32_t* codes = nullptr;         // n_rows, 0 .. n_entities - 1
    int32_t* target_codes = nullptr;  // n_targets; -1 for an id outside the codes
    // Optional: set to true at every code that a transaction has; the
    // other entries stay as they were. Holds `n_present` entries: a
    // factorization into more codes throws Failure before writing any.
    bool* present = nullptr;
    int64_t n_present = 0;
};
// A code may have no transaction: an id of the range that no row has, or a
// target's id that no row has.

// How the ids were numbered.
struct Factorization {
    int64_t n_entities = 0;
    // Codes are id - `smallest`; otherwise codes number the distinct ids of
    // the targets in order of first appearance, then those of the
    // transactions that the targets lack.
    bool by_range = false;
    int64_t smallest = 0;
};

// The progress units a factorization counts up to.
int64_t factorization_units(const EntityIds& ids);

// Fills `out` (and marks out.present, when given); passes run on up to
// n_jobs threads through `run`. More than 2**31 - 1 rows and targets
// together throw Failure before anything is written. A cancelled call
// returns with `out` incomplete.
Factorization factorize_entities(const EntityIds& ids, const EntityCodes& out, int n_jobs, const RunWorkers& run,
                                 Progress& progress);

}  // namespace dfbh
