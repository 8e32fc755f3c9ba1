// How a failure travels. Inside the core it is a `Failure` value: the Python
// exception it stands for and the routine whose name a report carries.
// Every way one travels, and where each ends:
// 1. Thrown, where nothing can go on. The unit of work around it (an
//    entity, a split, an engine target) is abandoned by `run_or_report`,
//    the one place inside the core where failures (std::bad_alloc
//    included) are caught, which hands it on as in 2; or it reaches the
//    boundary, whose raise_from_cpp_exception turns it into the Python
//    exception (boundary/py_support.hpp).
// 2. Handed to a `Reporter` by a routine that goes on with its neutral
//    result: `execute` reports it as unraisable and returns normally; the
//    engine keeps the failure of the lowest target and throws it (as in 1)
//    once its workers stop.
// 3. A cancellation of `Progress` (parallel.hpp): a worker that throws
//    cancels the others and run_threads rethrows the exception of the
//    lowest worker once all have stopped; the engine's watching thread
//    cancels after an interrupt or a failing progress callback and keeps
//    that Python exception until it raises it.
// 4. At the boundaries, the CPython way: a conversion or check that fails
//    returns false (or null) with the Python error set, and the entry
//    returns null.
// 5. Not a failure of the routine but a finding its caller judges: returned
//    as a std::optional, None at the boundary, never as a sentinel value.
//    The code census's first row outside int8 (core/frame/code_census.hpp)
//    travels this way; the front end refuses the column.
#pragma once

#include <new>
#include <stdexcept>
#include <string>
#include <utility>

namespace dfbh {

// Python exception classes a failure maps onto at the boundary.
enum class ErrorKind { NotImplemented, Value, Index, Memory, Name, Type, Runtime };

// Routine names: the boundary reports a failure under the context string
// "quelmar.afe.domain.modelling.helper.data_frame_builder_helper.<routine>".
namespace routine {
constexpr const char* exec_for_split = "exec_for_split";
constexpr const char* get_distinct_values = "get_distinct_values";
constexpr const char* get_resolution_in_seconds = "get_resolution_in_seconds";
constexpr const char* get_span = "get_span";
constexpr const char* get_horizon = "get_horizon";
constexpr const char* get_aggregates_and_fill_row = "get_aggregates_and_fill_row";
}  // namespace routine

struct Failure {
    ErrorKind kind;
    const char* routine;
    std::string message;  // empty for MemoryError
};

// Where reported failures go: `execute` prints the traceback and calls
// sys.unraisablehook (nothing reaches its caller); the engine keeps the
// failure of the lowest target and raises it.
class Reporter {
public:
    virtual ~Reporter() = default;
    virtual void report(const Failure& failure) = 0;
};

// Runs `work`. A Failure it throws is reported as it is; running out of
// memory is reported as MemoryError under `routine`. Returns whether `work`
// completed.
template <typename Work>
bool run_or_report(Reporter& reporter, const char* routine, Work&& work) {
    try {
        std::forward<Work>(work)();
        return true;
    } catch (const Failure& failure) {
        reporter.report(failure);
    } catch (const std::bad_alloc&) {
        reporter.report(Failure{ErrorKind::Memory, routine, std::string()});
    } catch (const std::length_error&) {  // a container asked for more than it can hold
        reporter.report(Failure{ErrorKind::Memory, routine, std::string()});
    }
    return false;
}

}  // namespace dfbh
