// Per-row quadratic forms (x_i - mu)^T P (x_i - mu) over a row-major matrix.
#pragma once

#include <cstddef>

namespace talvo {

// rows: n x p row-major, mu: p, P: p x p row-major, out: n.
// Each value is v = (x - mu) P, then sum_k v_k (x - mu)_k, the order in which
// the library's `bias.dot(P).dot(bias.T)` evaluates it.
void row_quadratic_forms(const double* rows, std::size_t n, std::size_t p, const double* mu,
                         const double* P, double* out);

}  // namespace talvo
