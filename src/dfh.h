// The duplicate-frequency histogram.
#ifndef PELKO_DFH_H_
#define PELKO_DFH_H_

#include <stddef.h>
#include <stdint.h>

#include <initializer_list>
#include <map>
#include <vector>

// Duplicate-frequency histogram: entry k counts the distinct checksums seen
// exactly k times; entry 0 is always 0. It has a nominal length, like a
// vector: entries 0 .. size() - 1 exist, all 0 at first.
//
// Entries below DENSE, where the estimator models the histogram, are held in
// an array; higher ones only where they are not 0, in an ordered map. Memory,
// copies and walks over the non-zero entries therefore cost with the number
// of distinct counts seen, not with the highest count: one content seen 2^26
// times (a tebibyte of zero chunks) is one map entry, not an array of 2^27.
//
// Not thread-safe; a plain value type (copies are deep).
class DFH_ARRAY {
 public:
  static const size_t DENSE = 256;

  DFH_ARRAY() : m_size(0) {}
  // n entries; value must be 0.
  DFH_ARRAY(size_t n, int64_t value);
  DFH_ARRAY(std::initializer_list<int64_t> values);

  // Nominal length.
  size_t size() const { return m_size; }
  bool empty() const { return m_size == 0; }
  // n entries, all 0 (value must be 0).
  void assign(size_t n, int64_t value);
  // Changes the length to n; entries from n on are dropped, new ones are 0
  // (value must be 0).
  void resize(size_t n, int64_t value = 0);

  // Entry k, k < size().
  int64_t get(size_t k) const;
  int64_t operator[](size_t k) const { return get(k); }
  // Entry k += delta; k < size(), the result never below 0.
  void add(size_t k, int64_t delta);

  // Assignable reference to entry k (tests and benchmarks build histograms
  // with it); the estimator uses add().
  class reference {
   public:
    operator int64_t() const { return m_h->get(m_k); }
    reference& operator=(int64_t v) {
      m_h->add(m_k, v - m_h->get(m_k));
      return *this;
    }
    reference& operator++() {
      m_h->add(m_k, 1);
      return *this;
    }
    int64_t operator++(int) {
      const int64_t old = *this;
      m_h->add(m_k, 1);
      return old;
    }
    reference& operator--() {
      m_h->add(m_k, -1);
      return *this;
    }
    int64_t operator--(int) {
      const int64_t old = *this;
      m_h->add(m_k, -1);
      return old;
    }
    reference& operator+=(int64_t d) {
      m_h->add(m_k, d);
      return *this;
    }

   private:
    friend class DFH_ARRAY;
    reference(DFH_ARRAY* h, size_t k) : m_h(h), m_k(k) {}
    DFH_ARRAY* m_h;
    size_t m_k;
  };
  reference operator[](size_t k) { return reference(this, k); }

  // Calls f(k, entry k) for every non-zero entry with from <= k < to, in
  // ascending order of k; descending: in descending order.
  template <typename F>
  void for_each(size_t from, size_t to, F f) const {
    if (to > m_size) to = m_size;
    for (size_t k = from; k < to && k < m_dense.size(); k++)
      if (m_dense[k] != 0) f(k, m_dense[k]);
    for (auto it = m_sparse.lower_bound(from); it != m_sparse.end() && it->first < to; ++it)
      f(it->first, it->second);
  }
  template <typename F>
  void for_each_descending(size_t from, size_t to, F f) const {
    if (to > m_size) to = m_size;
    for (auto it = m_sparse.lower_bound(to); it != m_sparse.begin();) {
      --it;
      if (it->first < from) break;
      f(it->first, it->second);
    }
    for (size_t k = to < m_dense.size() ? to : m_dense.size(); k-- > from;)
      if (m_dense[k] != 0) f(k, m_dense[k]);
  }

  // Entries held in the map (those from DENSE on that are not 0).
  size_t sparse_entries() const { return m_sparse.size(); }

  friend bool operator==(const DFH_ARRAY& a, const DFH_ARRAY& b) {
    return a.m_size == b.m_size && a.m_dense == b.m_dense &&
           a.m_sparse == b.m_sparse;
  }

 private:
  size_t m_size;
  std::vector<int64_t> m_dense;          // entries 0 .. min(size, DENSE) - 1
  std::map<size_t, int64_t> m_sparse;  // entries from DENSE on, never 0
};

#endif  // PELKO_DFH_H_
