// Native types shared by every unit of the module: strided views of the
// caller's buffers, the sorted-vector ordered map, the converted arguments of
// one `execute` call and the small interface through which the pure C++ core
// reaches back into Python (error reports, the per-split numpy scratch array).
// Nothing in this header includes Python.h.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace dfbh {

// Loads and stores go through memcpy: buffers may be unaligned (views into
// record arrays, odd byte strides) and memcpy is the defined way to touch
// them; compilers turn it into a single move.
template <typename T>
inline T load(const char* p) {
    T v;
    std::memcpy(&v, p, sizeof(T));
    return v;
}
template <typename T>
inline void store(char* p, T v) {
    std::memcpy(p, &v, sizeof(T));
}

// Non-owning windows on a caller's buffer; strides are in bytes, any sign.
// A default-constructed view is empty (every extent 0), which is what `None`
// converts to.
template <typename T>
struct View1 {
    char* base = nullptr;
    int64_t n = 0;
    int64_t stride = 0;
    T get(int64_t i) const { return load<T>(base + i * stride); }
};

template <typename T>
struct View2 {
    char* base = nullptr;
    int64_t n0 = 0, n1 = 0;
    int64_t s0 = 0, s1 = 0;
    T get(int64_t i, int64_t j) const { return load<T>(base + i * s0 + j * s1); }
    void set(int64_t i, int64_t j, T v) const { store<T>(base + i * s0 + j * s1, v); }
    View1<T> row(int64_t i) const { return View1<T>{base + i * s0, n1, s1}; }
};

// An ordered map kept as a vector sorted ascending by key. Built once per
// call from a dict walk where the first occurrence of a key wins.
template <typename K, typename V>
class OrderedMap {
public:
    using Entry = std::pair<K, V>;

    // Appends in the caller's iteration order; finish() sorts and drops later
    // duplicates so that the first entry of each key is the one kept.
    void append(K key, V value) { entries_.emplace_back(key, std::move(value)); }
    void finish() {
        // Dicts built in key order, the common case, need no sort.
        auto strictly_ascending = [](const Entry& a, const Entry& b) { return !(a.first < b.first); };
        if (std::adjacent_find(entries_.begin(), entries_.end(), strictly_ascending) == entries_.end()) return;
        std::stable_sort(entries_.begin(), entries_.end(),
                         [](const Entry& a, const Entry& b) { return a.first < b.first; });
        auto last = std::unique(entries_.begin(), entries_.end(),
                                [](const Entry& a, const Entry& b) { return a.first == b.first; });
        entries_.erase(last, entries_.end());
    }

    const V* find(K key) const {
        auto it = lower(key);
        return (it != entries_.end() && it->first == key) ? &it->second : nullptr;
    }
    // Find-or-insert with the value type's zero; returns the stored value.
    V& at_or_insert(K key) {
        auto it = lower(key);
        if (it == entries_.end() || it->first != key) it = entries_.insert(it, Entry(key, V()));
        return it->second;
    }
    bool contains(K key) const { return find(key) != nullptr; }

    size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }
    const std::vector<Entry>& entries() const { return entries_; }
    void clear() { entries_.clear(); }

private:
    typename std::vector<Entry>::iterator lower(K key) {
        return std::lower_bound(entries_.begin(), entries_.end(), key,
                                [](const Entry& e, K k) { return e.first < k; });
    }
    typename std::vector<Entry>::const_iterator lower(K key) const {
        return std::lower_bound(entries_.begin(), entries_.end(), key,
                                [](const Entry& e, K k) { return e.first < k; });
    }
    std::vector<Entry> entries_;
};

// Aggregate slots: positions on the last axis of the aggregate buffer.
constexpr int32_t DENSITY_SLOT = 0;
constexpr int32_t MIN_SLOT = 1;
constexpr int32_t MAX_SLOT = 2;
constexpr int32_t SUM_SLOT = 3;
constexpr int32_t FREQUENCY_SLOT = 4;
constexpr int32_t COUNT_DISTINCT_SLOT = 5;
constexpr int32_t MODE_SLOT = 6;
constexpr int32_t TIME_SINCE_FIRST_SLOT = 7;
constexpr int32_t TIME_SINCE_LAST_SLOT = 8;
constexpr int32_t SLOT_COUNT = 9;

// Values read once at module load from AfeOperator and
// TransactionFileRecordReader; read-only afterwards.
struct ModuleConstants {
    float FLOAT32_NAN = 0.0f;
    OrderedMap<int32_t, int32_t> OPERATOR_SLOT_MAP;
    int32_t RATIO_CODE = 0;
    int32_t COUNT_DISTINCT_CODE = 0;
    int32_t MODE_CODE = 0;
    int32_t UNKNOWN_DIMENSION_VALUE = 0;

    // Slot of an operator code; a code without an entry uses DENSITY_SLOT.
    int32_t slot_of(int32_t code) const {
        const int32_t* s = OPERATOR_SLOT_MAP.find(code);
        return s ? *s : DENSITY_SLOT;
    }
};

// The converted arguments of one `execute` call. The views borrow the
// caller's buffers, which the boundary layer keeps exported for the whole
// call. `index_map` is the call's own copy: lookups of missing dimension
// codes add entries to it that later splits see.
struct ExecuteArgs {
    const ModuleConstants* constants = nullptr;
    View2<float> result_frame;
    int32_t c_num_threads = 0;
    int32_t date_col_index = 0;
    int32_t d_index = 0;
    int32_t q_index = 0;
    View2<int32_t> splits;
    std::vector<int32_t> horizons;
    int32_t offset = 0;
    int32_t resolution = 0;
    OrderedMap<int16_t, int16_t> index_map;
    View2<int64_t> trx_dates;
    View2<float> trx_q_arrays;
    View2<int8_t> trx_d_arrays;
    OrderedMap<int32_t, View1<int32_t>> entity_index_map;
    View1<int64_t> target_dates;
    std::vector<int32_t> included_operators;
    std::vector<int32_t> included_operator_set_one;
    std::vector<int32_t> included_operator_set_two;
    OrderedMap<int64_t, int32_t> column_name_map;
    int32_t nearest_exponent = 0;
    int32_t dim_group_id = -1;
    bool for_afe_columns = false;
    bool is_no_dim_col = false;
};

// Exception types the core raises; the host maps them onto Python's.
enum class ErrorKind { NotImplemented, Value, Index, Memory, Name, Type, Runtime };

// What the core needs of Python. Every report follows the module's rule for
// its native routines: print the traceback to stderr, pass the exception to
// sys.unraisablehook with the context string
// "quelmar.afe.domain.modelling.helper.data_frame_builder_helper.<routine>",
// clear the error state. Nothing is ever raised to the core's caller.
class Host {
public:
    virtual ~Host() = default;
    // Raises `kind` with `message` and reports it under `routine`.
    virtual void report(ErrorKind kind, const char* routine, const std::string& message) = 0;
    // Creates the split's aggregate buffer through the module's numpy:
    // np.full((D, H, 9), FLOAT32_NAN, dtype=np.float32). On failure the
    // error is reported under "exec_for_split" and false is returned. The
    // array is held until release_aggregate_buffer().
    virtual bool acquire_aggregate_buffer(int64_t D, int64_t H) = 0;
    virtual void release_aggregate_buffer() = 0;
};

// Checks, before anything is written, every index the split loop would
// follow that can be checked without scanning transactions: entity indices
// against target_dates, result rows against result_frame, column indices of
// column_name_map against its columns, the transaction columns against their
// arrays, `None` arrays that would be read, empty horizons. Returns false
// with the exception kind and message to raise; the caller raises it.
bool validate_execute_args(const ExecuteArgs& args, ErrorKind* kind, std::string* message);

// Runs the split loop of one `execute` call on already converted arguments.
// Never throws; every failure inside is reported through `host`.
void run_splits(ExecuteArgs& args, Host& host);

}  // namespace dfbh
