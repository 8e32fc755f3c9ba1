// Record values as the core's runs (core/frame/record_merge.hpp): each
// bytes-like value exported for the whole call, so that no value is
// released, resized or freed under a computation that runs without the
// interpreter lock; None is an empty run.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <memory>

#include "boundary/py_buffers.hpp"
#include "core/frame/record_merge.hpp"

namespace dfbh {

class RecordValues {
public:
    RecordValues() = default;
    // Releases every exported value: one owner for all of them, in place of
    // a PyBuffer_Release per buffer on each exit path.
    ~RecordValues();
    RecordValues(const RecordValues&) = delete;
    RecordValues& operator=(const RecordValues&) = delete;

    // One entity's values, one per argument, named "values[i]" in messages.
    // False with TypeError (not bytes-like) or ValueError (not a whole
    // number of records) set. Once per object.
    bool set_entity(PyObject* const* values, Py_ssize_t n);
    // `sources`: k >= 1 sequences of one length (the entities), items
    // bytes-like or None, named "sources[j][e]"; entity e's values are
    // sources[0][e], ..., sources[k - 1][e]. Once per object.
    bool set_sources(PyObject* sources);

    // ValueError naming the value when `output` shares memory with one.
    bool check_apart_from(const ArrayArgument& output) const;

    // Entity e's runs: runs()[e * k()] to runs()[e * k() + k() - 1].
    const RecordRun* runs() const { return runs_; }
    RecordSet set() const { return RecordSet{runs_, n_entities_, k_}; }
    int64_t n_entities() const { return n_entities_; }
    int64_t k() const { return k_; }
    int64_t n_records() const { return n_records_; }

private:
    bool allocate(int64_t n_entities, int64_t k);
    // Exports `value` as the run of entity e, value j; `outer` (or none)
    // names it in a message with j and e.
    bool add(PyObject* value, int64_t e, int64_t j, const char* outer);

    // A call of one entity of a few values keeps them here: the quick path
    // of one target allocates nothing.
    static constexpr int64_t kInline = 4;
    Py_buffer inline_views_[kInline];
    RecordRun inline_runs_[kInline];
    std::unique_ptr<Py_buffer[]> heap_views_;
    std::unique_ptr<RecordRun[]> heap_runs_;
    Py_buffer* views_ = inline_views_;
    RecordRun* runs_ = inline_runs_;
    int64_t n_views_ = 0;  // exported, in views_[0 .. n_views_)
    int64_t n_entities_ = 0, k_ = 0, n_records_ = 0;
    bool from_sources_ = false;  // how messages name a value
};

}  // namespace dfbh
