#include "dfh.h"

#include "pelko_assert.h"

DFH_ARRAY::DFH_ARRAY(size_t n, int64_t value) : m_size(0) { assign(n, value); }

DFH_ARRAY::DFH_ARRAY(std::initializer_list<int64_t> values) : m_size(0) {
  assign(values.size(), 0);
  size_t k = 0;
  for (int64_t v : values) add(k++, v);
}

void DFH_ARRAY::assign(size_t n, int64_t value) {
  PELKO_ASSERT(value == 0);
  m_size = n;
  m_dense.assign(n < DENSE ? n : DENSE, 0);
  m_sparse.clear();
}

void DFH_ARRAY::resize(size_t n, int64_t value) {
  PELKO_ASSERT(value == 0);
  m_size = n;
  m_dense.resize(n < DENSE ? n : DENSE, 0);
  m_sparse.erase(m_sparse.lower_bound(n), m_sparse.end());
}

int64_t DFH_ARRAY::get(size_t k) const {
  PELKO_ASSERT(k < m_size);
  if (k < DENSE) return m_dense[k];
  auto it = m_sparse.find(k);
  return it == m_sparse.end() ? 0 : it->second;
}

void DFH_ARRAY::add(size_t k, int64_t delta) {
  PELKO_ASSERT(k < m_size);
  if (k < DENSE) {
    m_dense[k] += delta;
    PELKO_ASSERT(m_dense[k] >= 0);
    return;
  }
  if (delta == 0) return;
  int64_t& v = m_sparse[k];
  v += delta;
  PELKO_ASSERT(v >= 0);
  if (v == 0) m_sparse.erase(k);
}
