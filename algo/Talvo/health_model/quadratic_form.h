// Per-row quadratic forms (x_i - mu)^T P (x_i - mu) over a row-major matrix.
#pragma once

#include <cstddef>
#include <type_traits>
#include <vector>

namespace talvo {

// rows: n x p row-major of X, mu: p of M, P: p x p row-major, out: n.
// The difference x - mu is taken in NumPy's result type of X and M (float32
// only when both are), then v = (x - mu) P and sum_k v_k (x - mu)_k in
// float64, the order in which the library's `bias.dot(P).dot(bias.T)`
// evaluates it.
template <class X, class M>
void row_quadratic_forms(const X* rows, std::size_t n, std::size_t p, const M* mu, const double* P,
                         double* out) {
    using B =
        std::conditional_t<std::is_same_v<X, float> && std::is_same_v<M, float>, float, double>;
    std::vector<double> bias(p), v(p);
    for (std::size_t i = 0; i < n; ++i) {
        const X* x = rows + i * p;
        for (std::size_t j = 0; j < p; ++j)
            bias[j] = static_cast<B>(static_cast<B>(x[j]) - static_cast<B>(mu[j]));
        for (std::size_t k = 0; k < p; ++k) v[k] = 0.0;
        for (std::size_t j = 0; j < p; ++j) {
            const double b = bias[j];
            const double* Pj = P + j * p;
            for (std::size_t k = 0; k < p; ++k) v[k] += b * Pj[k];
        }
        double t = 0.0;
        for (std::size_t k = 0; k < p; ++k) t += v[k] * bias[k];
        out[i] = t;
    }
}

}  // namespace talvo
