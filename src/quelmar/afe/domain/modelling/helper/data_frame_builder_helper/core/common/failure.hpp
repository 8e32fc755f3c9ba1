// How the core says that something failed. A failure is a `Failure` value:
// the Python exception it stands for and the routine whose name a report
// carries. There are three ways it travels, one per kind of caller:
// - thrown, where nothing can go on: the unit of work around it (an
//   entity, a split, an engine call) is abandoned by `run_or_report`, the
//   one place inside the core where failures (std::bad_alloc included) are
//   caught, or it reaches the boundary, whose raise_from_cpp_exception
//   turns it into the Python exception (boundary/py_support.hpp);
// - handed to a `Reporter` by a routine that goes on with its neutral
//   result: `execute` reports it as unraisable, the engine keeps the first
//   and throws it once its workers stop;
// - as a cancellation of `Progress` (parallel.hpp), by which the engine's
//   watching thread stops the workers after an interrupt or a failing
//   progress callback, whose Python exception it keeps until then.
// The boundaries' own conversions fail the CPython way instead: false (or
// null) with the Python error set.
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
