#include "quadratic_form.h"

#include <vector>

namespace talvo {

void row_quadratic_forms(const double* rows, std::size_t n, std::size_t p, const double* mu,
                         const double* P, double* out) {
    std::vector<double> bias(p), v(p);
    for (std::size_t i = 0; i < n; ++i) {
        const double* x = rows + i * p;
        for (std::size_t j = 0; j < p; ++j) bias[j] = x[j] - mu[j];
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
