// Forecast model of the health score and failure risk of one forecast step.
#include "forecast.h"

#include "../common/pyhelpers.h"

namespace quenda {
using namespace pybind11::literals;

py::object quenda_model(const algo::Call& c) {
    const py::object &train = c[0], &max_Quenda = c[1], &deadline = c[2];

    // Differenced AR(1) with trend "t": after one difference the trend acts as
    // a constant drift per step.
    py::object model = c("ARIMA")(train, "order"_a = py::make_tuple(1, 1, 0), "trend"_a = "t");
    py::object fitted = model.attr("fit")();
    py::object fcast_result = fitted.attr("get_forecast")("steps"_a = max_Quenda);
    py::object summary = fcast_result.attr("summary_frame")("alpha"_a = 0.1);  // 90% band

    py::object np = c("np");
    py::object predict = np.attr("array")(
        algo::getitem(summary, "mean").attr("clip")("lower"_a = 0, "upper"_a = 100));
    // The bands stay Series: they keep the forecast's own row labels.
    py::object upper_CI =
        algo::getitem(summary, "mean_ci_upper").attr("clip")("lower"_a = 0, "upper"_a = 100);
    py::object lower_CI =
        algo::getitem(summary, "mean_ci_lower").attr("clip")("lower"_a = 0, "upper"_a = 100);

    // Steps above the deadline, counted on the unclipped mean wherever they
    // lie (not the position of the first crossing).
    const py::object& failure_threshold = deadline;
    py::object above =
        c("np").attr("where")(algo::gt(fcast_result.attr("predicted_mean"), failure_threshold));
    py::int_ quenda_days(algo::py_len(algo::getitem(above, py::int_(0))));

    return py::make_tuple(predict, upper_CI, lower_CI, quenda_days);
}

const char* const death_probability_doc =
    "根據預測值 predict 與 deadline 之間的距離計算死亡（故障）風險，\n"
    "並以 UCL - LCL 作為不確定性的寬度。\n"
    "\n"
    "前提：\n"
    "1. 健康分數越低越差。\n"
    "2. 分數小於或等於 deadline 即視為死亡或故障。\n"
    "3. UCL 與 LCL 已限制在 0 到 100 之間。\n"
    "\n"
    "回傳 0 到 100 的風險百分比：LCL 高於 deadline 時為 0，\n"
    "否則為 100 - (predict - deadline) / 寬度，再限制在 0 到 100 之間。";

py::object death_probability(const algo::Call& c) {
    const py::object& deadline = c[3];
    py::object np = c("np");
    py::object array = np.attr("array");
    py::object float_type =
        py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyFloat_Type));
    py::object predict = array(c[0], "dtype"_a = float_type);
    py::object UCL = array(c[1], "dtype"_a = float_type);
    py::object LCL = array(c[2], "dtype"_a = float_type);

    py::object width = UCL - LCL;
    // A band of zero or negative width would divide by zero or flip the sign.
    width = c("np").attr("where")(algo::le(width, py::int_(0)), py::float_(1e-06), width);

    py::object risk;
    if (algo::py_gt(LCL, deadline)) {
        risk = py::int_(0);  // the whole band lies above the deadline
    } else {
        risk = py::int_(100) - (predict - deadline) / width;
    }
    return c("np").attr("clip")(risk, py::int_(0), py::int_(100));
}

}  // namespace quenda
