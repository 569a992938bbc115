// rename_columns: raw instrument headers to the canonical column names.
#include "../../common/pyhelpers.h"
#include "preparation.h"

namespace talvo {

namespace {

// Input header (trimmed) -> canonical name, in the table's fixed order.
py::dict mapping_dict() {
    static const char* const kPairs[][2] = {
        {"Time", "_time"},
        {"RPM", "RPM"},
        {"X-Overall", "X_Overall"},
        {"Y-Overall", "Y_Overall"},
        {"Z-Overall", "Z_Overall"},
        {"X-Peak", "X_Peak"},
        {"Y-Peak", "Y_Peak"},
        {"Z-Peak", "Z_Peak"},
        {"X-Peak to Peak", "X_Peak_to_Peak"},
        {"Y-Peak to Peak", "Y_Peak_to_Peak"},
        {"Z-Peak to Peak", "Z_Peak_to_Peak"},
        {"X-Crest Factor", "X_Crest_Factor"},
        {"Y-Crest Factor", "Y_Crest_Factor"},
        {"Z-Crest Factor", "Z_Crest_Factor"},
        {"X-Power in Band 01", "X_Power_in_Band_01"},
        {"X-Power in Band 02", "X_Power_in_Band_02"},
        {"X-Power in Band 03", "X_Power_in_Band_03"},
        {"X-Power in Band 04", "X_Power_in_Band_04"},
        {"X-Power in Band 05", "X_Power_in_Band_05"},
        {"X-Power in Band 06", "X_Power_in_Band_06"},
        {"X-Power in Band 07", "X_Power_in_Band_07"},
        {"X-Power in Band 08", "X_Power_in_Band_08"},
        {"X-Power in Band 09", "X_Power_in_Band_09"},
        {"X-Power in Band 10", "X_Power_in_Band_10"},
        {"Y-Power in Band 01", "Y_Power_in_Band_01"},
        {"Y-Power in Band 02", "Y_Power_in_Band_02"},
        {"Y-Power in Band 03", "Y_Power_in_Band_03"},
        {"Y-Power in Band 04", "Y_Power_in_Band_04"},
        {"Y-Power in Band 05", "Y_Power_in_Band_05"},
        {"Y-Power in Band 06", "Y_Power_in_Band_06"},
        {"Y-Power in Band 07", "Y_Power_in_Band_07"},
        {"Y-Power in Band 08", "Y_Power_in_Band_08"},
        {"Y-Power in Band 09", "Y_Power_in_Band_09"},
        {"Y-Power in Band 10", "Y_Power_in_Band_10"},
        {"Z-Power in Band 01", "Z_Power_in_Band_01"},
        {"Z-Power in Band 02", "Z_Power_in_Band_02"},
        {"Z-Power in Band 03", "Z_Power_in_Band_03"},
        {"Z-Power in Band 04", "Z_Power_in_Band_04"},
        {"Z-Power in Band 05", "Z_Power_in_Band_05"},
        {"Z-Power in Band 06", "Z_Power_in_Band_06"},
        {"Z-Power in Band 07", "Z_Power_in_Band_07"},
        {"Z-Power in Band 08", "Z_Power_in_Band_08"},
        {"Z-Power in Band 09", "Z_Power_in_Band_09"},
        {"Z-Power in Band 10", "Z_Power_in_Band_10"},
        {"Bearing", "Bearing"},
        {"Looseness", "Looseness"},
        {"Misalignment", "Misalignment"},
        {"Imbalance", "Imbalance"},
        {"Gear_mesh", "Gear_mesh"},
        {"Van_Pass", "Van_Pass"},
        {"Bearing %", "Bearing_percentage"},
        {"Looseness %", "Looseness_percentage"},
        {"Misalignment %", "Misalignment_percentage"},
        {"Imbalance %", "Imbalance_percentage"},
        {"Gear_mesh %", "Gear_mesh_percentage"},
        {"Van_Pass %", "Van_Pass_percentage"},
        {"Temperature", "Temperature"},
        {"X-Overall QC", "X_Overall_QC"},
        {"Y-Overall QC", "Y_Overall_QC"},
        {"Z-Overall QC", "Z_Overall_QC"},
    };
    py::dict d;
    for (const auto& pair : kPairs) d[py::str(pair[0])] = py::str(pair[1]);
    return d;
}

}  // namespace

py::object rename_columns(const algo::Call& c) {
    const py::object& df = c[0];
    py::object columns = df.attr("columns");
    // The library's text accessor decides which headers can be trimmed at
    // all (a header of numbers only raises its AttributeError here).
    py::object accessor = columns.attr("str");
    (void)accessor;
    // Trim text labels in place on the caller's table; other labels keep
    // their value (the accessor would turn them into missing labels).
    py::list trimmed;
    for (py::handle label : columns) {
        if (PyUnicode_Check(label.ptr()))
            trimmed.append(label.attr("strip")());
        else
            trimmed.append(label);
    }
    df.attr("columns") =
        c("pd").attr("Index")(trimmed, "dtype"_a = "object", "name"_a = columns.attr("name"));
    return df.attr("rename")("columns"_a = mapping_dict(), "errors"_a = "ignore");
}

}  // namespace talvo

TALVO_IMPL(rename_columns,
           "Canonical column names for a table of raw instrument headers.\n\n"
           "Trims the text headers of df in place, then returns a new table in which every\n"
           "header of the fixed 60-entry vocabulary ('Time' -> '_time', 'X-Overall' ->\n"
           "'X_Overall', 'Bearing %' -> 'Bearing_percentage', ...) carries its canonical name.\n"
           "Other headers, the rows and the column order are unchanged.")
