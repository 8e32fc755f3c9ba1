// Exporting record values.
#include "module_engine/record_values.hpp"

#include <new>

#include "boundary/py_support.hpp"

namespace dfbh {

RecordValues::~RecordValues() {
    for (int64_t i = 0; i < n_views_; ++i) PyBuffer_Release(&views_[i]);
}

bool RecordValues::allocate(int64_t n_entities, int64_t k) {
    const int64_t slots = n_entities * k;
    if (slots > kInline) {
        heap_views_.reset(new (std::nothrow) Py_buffer[static_cast<size_t>(slots)]);
        heap_runs_.reset(new (std::nothrow) RecordRun[static_cast<size_t>(slots)]);
        if (!heap_views_ || !heap_runs_) {
            PyErr_NoMemory();
            return false;
        }
        views_ = heap_views_.get();
        runs_ = heap_runs_.get();
    }
    n_entities_ = n_entities;
    k_ = k;
    return true;
}

bool RecordValues::add(PyObject* value, int64_t e, int64_t j, const char* outer) {
    RecordRun& run = runs_[e * k_ + j];
    if (value == Py_None) {
        run = RecordRun{};
        return true;
    }
    Py_buffer& view = views_[n_views_];
    if (!PyObject_CheckBuffer(value) || PyObject_GetBuffer(value, &view, PyBUF_SIMPLE) < 0) {
        if (!PyErr_Occurred() || PyErr_ExceptionMatches(PyExc_BufferError)) {
            PyErr_Clear();
            if (outer) {
                PyErr_Format(PyExc_TypeError, "%s[%lld][%lld]: expected a bytes-like object or None, got %.200s",
                             outer, static_cast<long long>(j), static_cast<long long>(e), Py_TYPE(value)->tp_name);
            } else {
                PyErr_Format(PyExc_TypeError, "values[%lld]: expected a bytes-like object or None, got %.200s",
                             static_cast<long long>(j), Py_TYPE(value)->tp_name);
            }
        }
        return false;
    }
    ++n_views_;
    if (view.len % kRecordBytes != 0) {
        const long long bytes = static_cast<long long>(view.len);
        if (outer) {
            PyErr_Format(PyExc_ValueError, "%s[%lld][%lld]: %lld bytes are not a whole number of %d-byte records",
                         outer, static_cast<long long>(j), static_cast<long long>(e), bytes,
                         static_cast<int>(kRecordBytes));
        } else {
            PyErr_Format(PyExc_ValueError, "values[%lld]: %lld bytes are not a whole number of %d-byte records",
                         static_cast<long long>(j), bytes, static_cast<int>(kRecordBytes));
        }
        return false;
    }
    run = RecordRun{static_cast<const char*>(view.buf), view.len / kRecordBytes};
    n_records_ += run.n;
    return true;
}

bool RecordValues::check_apart_from(const ArrayArgument& output) const {
    if (!output.low) return true;
    for (int64_t slot = 0; slot < n_entities_ * k_; ++slot) {
        const RecordRun& run = runs_[slot];
        if (run.n == 0 || !(output.low < run.bytes + run.n * kRecordBytes && run.bytes < output.high)) continue;
        const long long e = static_cast<long long>(slot / k_), j = static_cast<long long>(slot % k_);
        if (from_sources_) {
            PyErr_Format(PyExc_ValueError, "%s: shares memory with sources[%lld][%lld]", output.name, j, e);
        } else {
            PyErr_Format(PyExc_ValueError, "%s: shares memory with values[%lld]", output.name, j);
        }
        return false;
    }
    return true;
}

bool RecordValues::set_entity(PyObject* const* values, Py_ssize_t n) {
    if (!allocate(1, n)) return false;
    for (Py_ssize_t j = 0; j < n; ++j) {
        if (!add(values[j], 0, j, nullptr)) return false;
    }
    return true;
}

bool RecordValues::set_sources(PyObject* sources) {
    OwnedRef outer(PySequence_Fast(sources, "sources: expected a sequence of sequences of values"));
    if (!outer) return false;
    const Py_ssize_t k = PySequence_Fast_GET_SIZE(outer.get());
    if (k < 1) {
        PyErr_SetString(PyExc_ValueError, "sources: expected at least one sequence of values");
        return false;
    }
    // Each source as a list or tuple of its own, held for the walk: an item
    // is read by index only after every source is known to be long enough.
    std::unique_ptr<OwnedRef[]> inner(new OwnedRef[static_cast<size_t>(k)]);
    Py_ssize_t n_entities = 0;
    for (Py_ssize_t j = 0; j < k; ++j) {
        PyObject* source = PySequence_Fast_GET_ITEM(outer.get(), j);  // borrowed from outer
        inner[j].reset(PySequence_Fast(source, "sources: expected a sequence of sequences of values"));
        if (!inner[j]) return false;
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(inner[j].get());
        if (j == 0) n_entities = n;
        if (n != n_entities) {
            PyErr_Format(PyExc_ValueError, "sources[%zd]: expected %zd values (one per entity, as sources[0]), got %zd",
                         j, n_entities, n);
            return false;
        }
    }
    if (!allocate(n_entities, k)) return false;
    from_sources_ = true;
    for (Py_ssize_t e = 0; e < n_entities; ++e) {
        for (Py_ssize_t j = 0; j < k; ++j) {
            // An exporter may run Python code that changes a list: its
            // length is read again, and the item is held while exported.
            PyObject* values = inner[j].get();
            if (e >= PySequence_Fast_GET_SIZE(values)) {
                PyErr_Format(PyExc_RuntimeError, "sources[%zd] changed size while it was read", j);
                return false;
            }
            PyObject* borrowed = PySequence_Fast_GET_ITEM(values, e);
            Py_INCREF(borrowed);
            OwnedRef value(borrowed);
            if (!add(value.get(), e, j, "sources")) return false;
        }
    }
    return true;
}

}  // namespace dfbh
