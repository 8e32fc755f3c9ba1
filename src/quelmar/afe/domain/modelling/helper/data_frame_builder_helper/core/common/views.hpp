// Non-owning strided views of a caller's buffers and the sorted-vector
// ordered map that stands in for the ordered maps of the interface. Shared by
// every unit of the core; nothing here knows about Python.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
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

// A hint that `p` is read soon. Into L2: where the reads are random the
// scan is bound by the misses in flight, and L1 tracks fewer of them. Always
// inlined: GCC takes a function that only prefetches for one without
// effect and drops calls to it (check with objdump -d | grep prefetch).
[[gnu::always_inline]] inline void prefetch(const void* p) { __builtin_prefetch(p, 0, 2); }

// Strides are in bytes, any sign. A default-constructed view is empty (every
// extent 0), which is what `None` converts to.
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
    // Column j as a one-axis view down the rows.
    View1<T> column(int64_t j) const { return View1<T>{base + j * s1, n0, s0}; }
};

// The three transaction columns a scan reads, as base pointers of the
// column and byte strides between rows. `date` is null when no date column
// is used. Row numbers at or above `n_rows` are refused.
struct TransactionColumns {
    const char* date = nullptr;
    int64_t date_stride = 0;
    const char* quantity = nullptr;
    int64_t quantity_stride = 0;
    const char* code = nullptr;
    int64_t code_stride = 0;
    int64_t n_rows = 0;
};

// An ordered map kept as a vector sorted ascending by key. Built once from a
// dict walk in which the first occurrence of a key wins; searched, never
// grown, by the computation.
template <typename K, typename V>
class OrderedMap {
public:
    using Entry = std::pair<K, V>;

    // Appends in the caller's iteration order; finish() sorts and drops later
    // duplicates so that the first entry of each key is the one kept.
    void reserve(size_t n) { entries_.reserve(n); }
    void append(K key, V value) { entries_.emplace_back(key, std::move(value)); }
    void finish() {
        auto out_of_order = [](const Entry& a, const Entry& b) { return !(a.first < b.first); };
        // Dicts built in key order, the common case, need no sort.
        if (std::adjacent_find(entries_.begin(), entries_.end(), out_of_order) == entries_.end()) return;
        std::stable_sort(entries_.begin(), entries_.end(),
                         [](const Entry& a, const Entry& b) { return a.first < b.first; });
        auto last = std::unique(entries_.begin(), entries_.end(),
                                [](const Entry& a, const Entry& b) { return a.first == b.first; });
        entries_.erase(last, entries_.end());
    }

    // The first entry whose key is not below `key` (entries are in key order).
    typename std::vector<Entry>::const_iterator lower_bound(K key) const {
        return std::lower_bound(entries_.begin(), entries_.end(), key,
                                [](const Entry& e, K k) { return e.first < k; });
    }
    const V* find(K key) const {
        auto it = lower_bound(key);
        return (it != entries_.end() && it->first == key) ? &it->second : nullptr;
    }
    bool contains(K key) const { return find(key) != nullptr; }

    size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }
    const std::vector<Entry>& entries() const { return entries_; }

private:
    std::vector<Entry> entries_;
};

}  // namespace dfbh
