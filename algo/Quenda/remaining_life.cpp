// quenda_calculation: health scores from T2, resampled daily or every five
// minutes, forecast with quenda_model, rated in a band, with the failure risk
// of the last forecast step.
#include <algorithm>
#include <string>

#include "../common/guard.h"
#include "../common/pyhelpers.h"
#include "forecast.h"

namespace quenda {
using namespace pybind11::literals;

namespace {

// The forecast result in its fixed key order.
py::dict make_result(const py::object& predict_D, const py::object& quenda_days,
                     const py::object& quenda_deadline, const py::object& signal,
                     const py::object& show, const py::object& unit, const py::object& death_pr,
                     const char* is_error, const py::object& error_code,
                     const py::object& error_stage, const py::object& error_message) {
    py::dict result;
    result["quenda_predict"] = predict_D;
    result["quenda_days"] = quenda_days;
    result["quenda_deadline"] = quenda_deadline;
    result["signal"] = signal;
    result["show"] = show;
    result["unit"] = unit;
    result["death_probability"] = death_pr;
    result["is_error"] = py::str(is_error);
    result["error_code"] = error_code;
    result["error_stage"] = error_stage;
    result["error_message"] = error_message;
    return result;
}

// `x.iloc[-1]`: the last value by position, whatever the labels.
py::object last_by_position(const py::object& x) {
    return algo::getitem(x.attr("iloc"), py::int_(-1));
}

// What both branches share after the bin rule is chosen.
struct Run {
    Run(const algo::Call& call, const py::object& time_column, algo::PipelineFlags& f)
        : c(call), datetime_name(time_column), flags(f) {}

    const algo::Call& c;
    const py::object& datetime_name;
    algo::PipelineFlags& flags;
    py::object quenda_deadline;
    py::object df_health_test_tmp, history_data, train;
    Py_ssize_t n = 0;

    void resample(const py::object& Talvo_Score, const char* rule) {
        df_health_test_tmp = Talvo_Score.attr("resample")(rule).attr("mean")();
        history_data = df_health_test_tmp.attr("reset_index")("drop"_a = false);
        train = algo::getitem(history_data, "Score");
        n = algo::py_len(train);
    }

    // quenda_model on the last (at most) 90 bins, unpacked into four items.
    std::vector<py::object> forecast(Py_ssize_t horizon) {
        py::object last_90 =
            py::reinterpret_steal<py::object>(PySlice_New(py::int_(-90).ptr(), Py_None, Py_None));
        if (!last_90) throw py::error_already_set();
        py::object recent = algo::getitem(train.attr("iloc"), last_90);
        return algo::unpack(c("quenda_model")(recent, py::int_(horizon), quenda_deadline), 4);
    }

    py::object future_dates(Py_ssize_t horizon, py::object step, const char* freq) {
        py::object last_date = last_by_position(algo::getitem(history_data, datetime_name));
        return c("pd").attr("date_range")("start"_a = last_date + step,
                                          "periods"_a = py::int_(horizon), "freq"_a = freq);
    }

    // History rows followed by forecast rows, numbered 0 .. n + horizon - 1.
    py::object forecast_table(const py::object& future, const py::object& predict,
                              const py::object& upper_CI, const py::object& lower_CI) {
        py::object pd = c("pd");
        py::object concat = pd.attr("concat");
        py::object Series = pd.attr("Series");
        py::object nan = c("np").attr("nan");
        py::list nans;
        for (Py_ssize_t i = 0, rows = algo::py_len(df_health_test_tmp); i < rows; ++i)
            nans.append(nan);
        auto join = [&](const py::object& history, const py::object& ahead) {
            py::list parts;
            parts.append(history);
            parts.append(Series(ahead));
            return concat(parts, "ignore_index"_a = true);
        };
        py::dict columns;
        columns[datetime_name] = join(algo::getitem(history_data, datetime_name), future);
        columns["Score"] = join(algo::getitem(df_health_test_tmp, "Score"), predict);
        columns["upper_CI"] = join(Series(nans), upper_CI);
        columns["lower_CI"] = join(Series(nans), lower_CI);
        return pd.attr("DataFrame")(columns);
    }

    py::object risk(const py::object& predict, const py::object& upper_CI,
                    const py::object& lower_CI) {
        return c("death_probability")(algo::getitem(predict, py::int_(-1)),
                                      last_by_position(upper_CI), last_by_position(lower_CI),
                                      quenda_deadline);
    }

    py::dict success(const py::object& predict_D, const py::object& quenda_days, const char* signal,
                     const char* show, const char* unit, const py::object& death_pr) {
        py::str none("None");
        return make_result(predict_D, quenda_days, quenda_deadline, py::str(signal), py::str(show),
                           py::str(unit), death_pr, "False", flags.code, none, none);
    }

    py::dict daily(const py::object& Talvo_Score) {
        resample(Talvo_Score, "D");

        flags.enter("Quenda_Error_03");
        if (n < 30) {
            py::object nan = c("np").attr("nan");
            py::str none("None");
            return make_result(nan, py::int_(-1), quenda_deadline, py::str("gray"), nan,
                               py::str("Quenda data is not enough"), py::int_(-1), "False",
                               flags.code, none, none);
        }
        const Py_ssize_t horizon = n >= 90 ? 90 : n >= 60 ? 30 : 15;

        flags.enter("Quenda_Error_04");
        std::vector<py::object> out = forecast(horizon);
        const py::object &predict = out[0], &upper_CI = out[1], &lower_CI = out[2];
        py::object quenda_days = out[3];
        py::object future = future_dates(horizon, c("pd").attr("Timedelta")("days"_a = 1), "D");

        flags.enter("Quenda_Error_05");
        const char *signal, *show;
        if (horizon == 90) {
            if (algo::py_lt(quenda_days, py::int_(30))) {
                signal = "red", show = "< 30";
            } else if (algo::py_lt(quenda_days, py::int_(90))) {
                signal = "yellow", show = "30 - 90";
            } else {
                signal = "green", show = "\u2265 90";
            }
        } else if (horizon == 30) {
            if (algo::py_lt(quenda_days, py::int_(30))) {
                signal = "red", show = "< 30";
            } else {
                signal = "green", show = "\u2265 30";
            }
        } else if (algo::py_lt(quenda_days, py::int_(horizon))) {
            signal = "red", show = "< 15";
        } else {
            signal = "green", show = "\u2265 15";
        }

        flags.enter("Quenda_Error_06");
        py::object predict_D = forecast_table(future, predict, upper_CI, lower_CI);

        flags.enter("Quenda_Error_07");
        py::object death_pr = risk(predict, upper_CI, lower_CI);
        return success(predict_D, quenda_days, signal, show, "days", death_pr);
    }

    py::dict five_minute(const py::object& Talvo_Score) {
        resample(Talvo_Score, "5min");

        flags.enter("Quenda_Error_03");
        // Half the history, at most 20 steps (100 minutes); 0 below two bins.
        const Py_ssize_t horizon = std::min<Py_ssize_t>(n / 2, 20);

        flags.enter("Quenda_Error_04");
        std::vector<py::object> out = forecast(horizon);
        const py::object &predict = out[0], &upper_CI = out[1], &lower_CI = out[2];
        py::object quenda_days = out[3];
        py::object future =
            future_dates(horizon, c("pd").attr("Timedelta")("minutes"_a = 5), "5min");

        flags.enter("Quenda_Error_05");
        const char *signal, *show;
        if (algo::py_ge(quenda_days, py::int_(20))) {
            signal = "green", show = "\u2265 100";
        } else if (algo::py_ge(quenda_days, py::int_(8))) {
            signal = "yellow", show = "40 - 100";
        } else {
            signal = "red", show = " < 40";
        }
        quenda_days = quenda_days * py::int_(5);  // steps to minutes

        flags.enter("Quenda_Error_06");
        py::object predict_D = forecast_table(future, predict, upper_CI, lower_CI);

        flags.enter("Quenda_Error_07");
        py::object death_pr = risk(predict, upper_CI, lower_CI);
        return success(predict_D, quenda_days, signal, show, "minutes", death_pr);
    }
};

}  // namespace

py::object quenda_calculation(const algo::Call& c) {
    const py::object &tsquare_df = c[0], &dictionary = c[1], &score_tightness = c[2];
    algo::PipelineFlags flags;  // its code stays "None" in every form

    // Read before the guard: a dictionary without it raises to the caller.
    py::object datetime_name = algo::getitem(dictionary, "datetime_name");

    Run run(c, datetime_name, flags);
    py::object result;
    py::object e = algo::run_guarded([&] {
        flags.enter("Quenda_Error_01");
        py::object health_index = c("Talvo").attr("Health_Index");
        py::object Talvo_Score =
            health_index(tsquare_df, algo::getitem(dictionary, "ucl"), score_tightness);
        run.quenda_deadline = algo::getitem(dictionary, "quenda_deadline");

        flags.enter("Quenda_Error_02");
        if (algo::eq_text(algo::getitem(dictionary, "time_scale"), "h"))
            result = run.daily(Talvo_Score);
        else
            result = run.five_minute(Talvo_Score);
    });

    if (e) {
        py::object nan = c("np").attr("nan");
        // The deadline is read again here, outside any guard: a dictionary
        // without it raises KeyError to the caller, chained to `e`.
        py::object quenda_deadline;
        try {
            quenda_deadline = algo::getitem(dictionary, "quenda_deadline");
        } catch (py::error_already_set& again) {
            PyException_SetContext(again.value().ptr(), e.release().ptr());
            throw;
        }
        result = make_result(nan, py::int_(-1), quenda_deadline, py::str("gray"), nan,
                             py::str("There\u2019s a problem with the data."), py::int_(-1), "True",
                             flags.code, flags.stage, py::str(e));
    }

    if (algo::py_contains(dictionary, py::str("quenda_warning_line")))
        algo::setitem(result, py::str("quenda_warning_line"),
                      algo::getitem(dictionary, "quenda_warning_line"));
    return result;
}

}  // namespace quenda
