// The module functions of algo.Quenda.Quenda.
#pragma once

#include "../common/function.h"

namespace quenda {
namespace py = pybind11;

// ARIMA(1, 1, 0) with a linear trend fitted to a score series, forecast
// `max_Quenda` steps with a 90% band; returns (predict, upper_CI, lower_CI,
// quenda_days).
py::object quenda_model(const algo::Call& c);

// Failure risk (0..100) of one forecast step against the deadline.
py::object death_probability(const algo::Call& c);
extern const char* const death_probability_doc;

// The remaining-life pipeline: T2 table + trained-model dictionary to the
// forecast result dictionary.
py::object quenda_calculation(const algo::Call& c);

}  // namespace quenda
