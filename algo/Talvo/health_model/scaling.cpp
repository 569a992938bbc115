// Column scaling with scikit-learn's own scalers, fitted or applied.
#include "../../common/pyhelpers.h"
#include "health_model.h"

namespace talvo {

namespace {

// DataFrame of scaler.transform(df) under the input's index and columns,
// read in that order (the order of the arguments of the Python call).
py::object transformed(const algo::Call& c, const py::object& df, const py::object& scaler) {
    py::object frame = c("pd").attr("DataFrame");
    py::object values = scaler.attr("transform")(df);
    py::object index = df.attr("index");
    py::object columns = df.attr("columns");
    return frame(values, "index"_a = index, "columns"_a = columns);
}

py::object fit_new(const algo::Call& c, const char* scaler_class) {
    const py::object& df = c[0];
    py::object scaler = c(scaler_class)();
    scaler.attr("fit")(df);
    return py::make_tuple(transformed(c, df, scaler), scaler);
}

}  // namespace

py::object standardize(const algo::Call& c) { return fit_new(c, "StandardScaler"); }
py::object minmax_scale(const algo::Call& c) { return fit_new(c, "MinMaxScaler"); }
py::object testing_scaler(const algo::Call& c) { return transformed(c, c[0], c[1]); }
py::object testing_minmax(const algo::Call& c) { return transformed(c, c[0], c[1]); }

}  // namespace talvo

TALVO_IMPL(standardize,
           "Fit a new StandardScaler on df and scale it.\n\n"
           "Returns (scaled table, fitted scaler); the scaled table keeps df's index and "
           "columns.")
TALVO_IMPL(minmax_scale,
           "Fit a new MinMaxScaler (range 0 to 1) on df and scale it.\n\n"
           "Returns (scaled table, fitted scaler); the scaled table keeps df's index and "
           "columns.")
TALVO_IMPL(testing_scaler,
           "Scale df with an already fitted scaler (scaler.transform), keeping df's index and "
           "columns.")
TALVO_IMPL(testing_minmax,
           "Scale df with an already fitted min-max scaler (scaler.transform), keeping df's "
           "index and columns.")
