// The transformers of one date-time column: (business) days after a start date, calendar
// categories, and the pipeline that chains them with a scaler.
#include <pybind11/numpy.h>

#include <array>
#include <string_view>

#include "date_kernels.hpp"
#include "native.hpp"

namespace {

using namespace velora::native;
using namespace pybind11::literals;
namespace kernels = velora::date_kernels;

Globals global;
// The classes themselves, for `super()`, which binds the defining class.
py::handle DateTransformer, DateToNumericTransformer, BusDateToNumericTransformer,
    DateCategoricalTransformer;

bool is_none(py::handle obj) { return obj.is_none(); }

// Python's `assert` is compiled out under -O; this module honours the same switch.
bool assertions_enabled() { return !truthy(import_module("sys").attr("flags").attr("optimize")); }

bool is_datetime(py::handle column) {
    return py::str(column.attr("dtype").attr("kind")).equal(py::str("M"));
}

py::object to_datetime(py::handle column, py::handle date_format) {
    return global("pd").attr("to_datetime")(column, "format"_a = date_format);
}

// Text that does not read in the format becomes NaT.
py::object to_datetime_coerced(py::handle column, py::handle date_format) {
    return global("pd").attr("to_datetime")(column, "format"_a = date_format,
                                            "errors"_a = "coerce");
}

// The column `name` as date-times, written back into the frame when it was text.
py::object parsed_column(py::handle self, py::handle df) {
    py::object name = self.attr("name");
    py::object column = df[name];
    if (!is_datetime(column)) {
        column = to_datetime_coerced(column, self.attr("date_format"));
        set_item(df, name, column);
    }
    return column;
}

// --- datetime64 buffers ---------------------------------------------------------------------

struct Resolution {
    std::string_view unit;
    std::int64_t ticks_per_second;
};
// pandas' datetime64 resolutions, coarsest first.
constexpr std::array<Resolution, 4> resolutions{{{"s", 1},
                                                 {"ms", 1000},
                                                 {"us", kernels::microseconds_per_second},
                                                 {"ns", kernels::nanoseconds_per_second}}};

std::size_t resolution_index(py::handle unit) {
    const std::string name = text(unit);
    for (std::size_t i = 0; i < resolutions.size(); ++i) {
        if (resolutions[i].unit == name) {
            return i;
        }
    }
    raise(PyExc_ValueError, "Unsupported datetime64 unit: " + name);
}

std::size_t column_resolution(py::handle column) {
    return resolution_index(column.attr("dt").attr("unit"));
}

py::object unit_text(const Resolution& resolution) {
    return py::str(resolution.unit.data(), resolution.unit.size());
}

using Int64Array = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;
using FloatArray = py::array_t<double, py::array::c_style | py::array::forcecast>;

// A date-time column's int64 ticks at the given resolution (NaT as the int64 minimum).
Int64Array column_ticks(py::handle column, const Resolution& resolution) {
    py::object dtype = py::str("datetime64[") + unit_text(resolution) + py::str("]");
    return Int64Array(column.attr("to_numpy")("dtype"_a = dtype).attr("view")("i8"));
}

// A timestamp as int64 ticks of the given unit.
std::int64_t timestamp_ticks(py::handle timestamp, py::handle unit) {
    return timestamp.attr("as_unit")(unit).attr("asm8").attr("view")("i8").cast<std::int64_t>();
}

// A column and a start as ticks of one resolution, the finer of theirs, as pandas subtracts.
struct Ticks {
    Int64Array values;
    std::int64_t start;
    std::int64_t ticks_per_second;
};

Ticks common_ticks(py::handle column, py::handle start) {
    std::size_t finest = column_resolution(column);
    if (!start.is(global("pd").attr("NaT"))) {
        finest = std::max(finest, resolution_index(start.attr("unit")));
    }
    const Resolution& resolution = resolutions[finest];
    return {column_ticks(column, resolution), timestamp_ticks(start, unit_text(resolution)),
            resolution.ticks_per_second};
}

// The column as floats, missing values as NaN.
FloatArray numbers_of(py::handle column) {
    return FloatArray(
        column.attr("to_numpy")("dtype"_a = "float64", "na_value"_a = global("np").attr("nan")));
}

// Writes a freshly computed array as the frame's column; wrapped in a Series without a copy
// so that pandas takes the buffer over instead of copying it.
void assign_column(py::handle df, py::handle name, py::handle values) {
    set_item(df, name,
             global("pd").attr("Series")(values, "index"_a = df.attr("index"), "copy"_a = false));
}

[[noreturn]] void raise_out_of_range(const FloatArray& numbers, std::size_t at,
                                     const std::string& what) {
    raise(global("pd").attr("errors").attr("OutOfBoundsDatetime"),
          "Cannot decode " + text(py::float_(numbers.at(static_cast<py::ssize_t>(at)))) + " " +
              what + " as a date: out of range");
}

// --- DateToNumericTransformer ---------------------------------------------------------------

void numeric_init(py::object self, py::object name, py::object unit, py::object start_date,
                  py::object date_format) {
    super(DateToNumericTransformer, self).attr("__init__")(name);
    self.attr("date_format") = date_format;
    self.attr("unit") = unit;
    self.attr("start_date") = start_date;
}

py::str numeric_repr(py::object self) {
    return py::str(text(self.attr("__class__").attr("__name__")) + "(name=\"" +
                   text(self.attr("name")) + "\", date_format=\"" + text(self.attr("date_format")) +
                   "\", unit=\"" + text(self.attr("unit")) +
                   "\", start_date=" + text(self.attr("start_date")) + ")");
}

py::object numeric_fit(py::object self, py::object df) {
    py::object sr = df[self.attr("name")];
    if (is_none(self.attr("date_format"))) {
        self.attr("date_format") = global("get_date_format")(sr);
    }
    if (!is_datetime(sr)) {
        if (is_none(self.attr("date_format")) && assertions_enabled()) {
            raise(PyExc_AssertionError);
        }
        sr = to_datetime_coerced(sr, self.attr("date_format"));
    }
    if (is_none(self.attr("start_date"))) {
        self.attr("start_date") = sr.attr("min")();
    }
    return super(DateToNumericTransformer, self).attr("fit")(df);
}

// The start as a Timestamp. Without one the arithmetic is pandas' own, and so is its error.
py::object start_timestamp(py::handle self, py::handle operand) {
    py::object start = self.attr("start_date");
    if (is_none(start)) {
        py::object raises_type_error = py::reinterpret_borrow<py::object>(operand) - start;
    }
    return global("pd").attr("Timestamp")(start);
}

py::object numeric_transform(py::object self, py::object df, py::object /*kwargs*/) {
    py::object column = parsed_column(self, df);
    Ticks ticks = common_ticks(column, start_timestamp(self, column));
    const auto n = ticks.values.size();
    py::array_t<double> days(n);
    kernels::encode_days(ticks.values.data(), static_cast<std::size_t>(n), ticks.start,
                         ticks.ticks_per_second, days.mutable_data());
    assign_column(df, self.attr("name"), days);
    return df;
}

py::object numeric_inverse_transform(py::object self, py::object df, py::object /*kwargs*/) {
    py::object name = self.attr("name");
    FloatArray numbers = numbers_of(df[name]);
    py::object start = start_timestamp(self, df[name]);
    py::object unit = self.attr("unit");
    // pandas validates the unit (and reads None as nanoseconds) exactly as to_timedelta does.
    const auto ns_per_unit =
        global("pd").attr("Timedelta")(1, "unit"_a = unit).attr("value").cast<std::int64_t>();
    const auto n = numbers.size();
    Int64Array dates(n);
    const std::size_t decoded = kernels::decode_days(numbers.data(), static_cast<std::size_t>(n),
                                                     timestamp_ticks(start, py::str("ns")),
                                                     ns_per_unit, dates.mutable_data());
    if (decoded != static_cast<std::size_t>(n)) {
        raise_out_of_range(numbers, decoded, text(unit) + " after " + text(start));
    }
    assign_column(df, name, dates.attr("view")("M8[ns]"));
    return df;
}

py::object numeric_from_meta(py::object cls, py::object meta) {
    py::object min = meta.attr("min");
    py::object start_date =
        is_none(min) ? none() : global("pd").attr("Timestamp")(min.attr("item")());
    py::object date_format = builtin("getattr")(meta, "date_format", none());
    return cls(meta.attr("name"), "start_date"_a = start_date, "date_format"_a = date_format);
}

// --- BusDateToNumericTransformer ------------------------------------------------------------

void check_business_hours(py::handle hours_min, py::handle hours_max) {
    py::object lowest = py::int_(0), highest = py::int_(24);
    py::object min = py::reinterpret_borrow<py::object>(hours_min);
    py::object max = py::reinterpret_borrow<py::object>(hours_max);
    if (!(lowest <= min && min < max && max <= highest)) {
        raise(PyExc_ValueError,
              "Business hours must satisfy 0 <= hours_min < hours_max <= 24, got hours_min=" +
                  text(min) + " and hours_max=" + text(max) + ".");
    }
}

void business_init(py::object self, py::object name, py::object unit, py::object start_date,
                   py::object hours_min, py::object hours_max, py::object date_format) {
    // An empty or reversed window has no room for a day's times; refused before anything is set.
    check_business_hours(hours_min, hours_max);
    super(BusDateToNumericTransformer, self)
        .attr("__init__")(name, "unit"_a = unit, "start_date"_a = start_date);
    self.attr("hours_min") = hours_min;
    self.attr("hours_max") = hours_max;
    self.attr("date_format") = date_format;
}

std::int64_t hours_in_seconds(py::handle hours) {
    return static_cast<std::int64_t>(std::llround(hours.cast<double>() * 3600.0));
}

// The fitted start's place in the business window; requires a start date.
kernels::BusinessWindow business_window(py::handle self) {
    py::object start = self.attr("start_date");
    if (is_none(start)) {
        raise(global("TransformerNotFitError"));
    }
    py::object start_t = start.attr("time")();
    const std::int64_t opening = hours_in_seconds(self.attr("hours_min"));
    const std::int64_t time_of_day = start_t.attr("hour").cast<std::int64_t>() * 3600 +
                                     start_t.attr("minute").cast<std::int64_t>() * 60 +
                                     start_t.attr("second").cast<std::int64_t>();
    py::object start_day = global("np").attr("datetime64")(start.attr("date")(), "D");
    return {start_day.attr("view")("i8").cast<std::int64_t>(), opening,
            hours_in_seconds(self.attr("hours_max")) - opening, time_of_day - opening};
}

py::object business_transform(py::object self, py::object df, py::object /*kwargs*/) {
    py::object column = parsed_column(self, df);
    const kernels::BusinessWindow window = business_window(self);
    const Resolution& resolution = resolutions[column_resolution(column)];
    Int64Array ticks = column_ticks(column, resolution);
    const auto n = ticks.size();
    py::array_t<double> days(n);
    kernels::encode_business_days(ticks.data(), static_cast<std::size_t>(n),
                                  resolution.ticks_per_second, window, days.mutable_data());
    assign_column(df, self.attr("name"), days);
    return df;
}

py::object business_inverse_transform(py::object self, py::object df, py::object /*kwargs*/) {
    const kernels::BusinessWindow window = business_window(self);
    py::object name = self.attr("name");
    FloatArray numbers = numbers_of(df[name]);
    const auto n = numbers.size();
    Int64Array dates(n);
    const std::size_t decoded = kernels::decode_business_days(
        numbers.data(), static_cast<std::size_t>(n), window, dates.mutable_data());
    if (decoded != static_cast<std::size_t>(n)) {
        raise_out_of_range(numbers, decoded,
                           "business days after " + text(self.attr("start_date")));
    }
    assign_column(df, name, dates.attr("view")("M8[s]"));
    return df;
}

// --- DateCategoricalTransformer -------------------------------------------------------------

constexpr std::array<const char*, 4> calendar_suffixes{"_hour", "_dow", "_day", "_month"};

// The derived columns of a date column, in the order hour, weekday, day, month.
py::list calendar_columns(py::handle date_column) {
    py::list columns;
    for (const char* suffix : calendar_suffixes) {
        columns.append(py::str(text(date_column) + suffix));
    }
    return columns;
}

void categorical_init(py::object self, py::object name, py::object date_format) {
    super(DateCategoricalTransformer, self).attr("__init__")("name"_a = name);
    self.attr("date_format") = date_format;
    py::list transformers;
    for (py::handle column : calendar_columns(self.attr("name"))) {
        transformers.append(global("CategoricalTransformer")(column));
    }
    self.attr("_transformer") =
        global("SequentialTransformer")("name"_a = "date", "transformers"_a = transformers);
}

py::str categorical_repr(py::object self) {
    return py::str(text(self.attr("__class__").attr("__name__")) + "(name=\"" +
                   text(self.attr("name")) + "\", date_format=\"" + text(self.attr("date_format")) +
                   "\")");
}

py::object categorical_fit(py::object self, py::object df) {
    py::object sr = df[self.attr("name")];
    if (is_none(self.attr("date_format"))) {
        self.attr("date_format") = global("get_date_format")(sr);
    }
    py::object features = self.attr("split_datetime")(sr);
    self.attr("_transformer").attr("fit")(features);
    return super(DateCategoricalTransformer, self).attr("fit")(features);
}

py::object categorical_transform(py::object self, py::object df, py::object /*kwargs*/) {
    py::object categorical_dates = self.attr("split_datetime")(parsed_column(self, df));
    set_item(df, categorical_dates.attr("columns"), categorical_dates);
    return self.attr("_transformer").attr("transform")(df);
}

py::object categorical_inverse_transform(py::object self, py::object df, py::object /*kwargs*/) {
    df.attr("drop")("columns"_a = calendar_columns(self.attr("name")), "errors"_a = "ignore",
                    "inplace"_a = true);
    return df;
}

py::object categorical_from_meta(py::object cls, py::object meta) {
    return cls(meta.attr("name"), builtin("getattr")(meta, "date_format", none()));
}

py::object split_datetime(py::object self, py::object col) {
    if (!is_datetime(col)) {
        col = to_datetime(col, self.attr("date_format"));
    }
    py::object dt = col.attr("dt");
    py::list columns = calendar_columns(col.attr("name"));
    py::dict features;
    set_item(features, columns[0], dt.attr("hour"));
    set_item(features, columns[1], dt.attr("weekday"));
    set_item(features, columns[2], dt.attr("day"));
    set_item(features, columns[3], dt.attr("month"));
    return global("pd").attr("DataFrame")(features, "index"_a = col.attr("index"));
}

py::list categorical_out_columns(py::object self) {
    py::list columns;
    columns.append(self.attr("name"));
    for (py::handle column : calendar_columns(self.attr("name"))) {
        columns.append(column);
    }
    return columns;
}

// --- DateTransformer ------------------------------------------------------------------------

void pipeline_init(py::object self, py::object name, py::object start_date, py::object config,
                   py::object business_dates_only, py::object hours_min, py::object hours_max,
                   py::object date_format) {
    if (is_none(config)) {
        config = global("DateTransformerConfig")();
    }
    py::list transformers;
    if (!truthy(config.attr("continuous_only_dates"))) {
        transformers.append(
            global("DateCategoricalTransformer")("name"_a = name, "date_format"_a = date_format));
    }
    if (truthy(business_dates_only)) {
        transformers.append(global("BusDateToNumericTransformer")(
            "name"_a = name, "unit"_a = config.attr("unit"), "start_date"_a = start_date,
            "hours_min"_a = hours_min, "hours_max"_a = hours_max, "date_format"_a = date_format));
    } else {
        transformers.append(global("DateToNumericTransformer")(
            "name"_a = name, "unit"_a = config.attr("unit"), "start_date"_a = start_date,
            "date_format"_a = date_format));
    }
    if (truthy(config.attr("quantile"))) {
        transformers.append(global("QuantileTransformer")(
            "name"_a = name, "config"_a = config.attr("quantile_transformer_config")));
    } else {
        transformers.append(global("StandardScaler")(
            "name"_a = name, "config"_a = config.attr("standard_scaler_transformer_config")));
    }
    super(DateTransformer, self).attr("__init__")(name, "transformers"_a = transformers);
}

py::object pipeline_inverse_transform(py::object self, py::object df, py::object /*kwargs*/) {
    df = super(DateTransformer, self).attr("inverse_transform")(df);
    py::object name = self.attr("name");
    py::object date_format = self[py::int_(0)].attr("date_format");
    set_item(df, name,
             global("pd").attr("to_datetime")(df[name]).attr("dt").attr("strftime")(date_format));
    return df;
}

py::object pipeline_from_meta(py::object cls, py::object meta, py::object config) {
    py::object min = meta.attr("min");
    py::object start_date =
        is_none(min) ? none() : global("pd").attr("Timestamp")(min.attr("item")());
    py::object date_format = builtin("getattr")(meta, "date_format", none());
    if (py::isinstance(meta, global("BusDateTime"))) {
        py::object hours_min = meta.attr("hours_min");
        py::object hours_max = meta.attr("hours_max");
        return cls(meta.attr("name"), "start_date"_a = start_date, "config"_a = config,
                   "business_dates_only"_a = true,
                   "hours_min"_a = truthy(hours_min) ? hours_min : py::object(py::int_(0)),
                   "hours_max"_a = truthy(hours_max) ? hours_max : py::object(py::int_(24)),
                   "date_format"_a = date_format);
    }
    return cls(meta.attr("name"), "start_date"_a = start_date, "config"_a = config);
}

// --- the class statements -------------------------------------------------------------------

// The numeric encoders share their attribute list.
#define VELORA_NUMERIC_DATE_ATTRIBUTES                                                       \
    "\nAttributes:\n"                                                                        \
    "    name: The data frame column to transform.\n"                                        \
    "    date_format: Optional string representation of the date format, e.g. '%d/%m/%Y'.\n" \
    "    unit: Optional unit for the timedelta.\n"                                           \
    "    start_date: Optional start date; dates are normalised relative to it.\n"

constexpr const char* numeric_doc = R"(Transform datetime64 field to a continuous representation.

Values are normalised to a timedelta relative to the earliest datetime in the data.
)" VELORA_NUMERIC_DATE_ATTRIBUTES;

constexpr const char* business_doc =
    R"(Transform datetime64 field to a continuous representation of business dates.

Values are normalised to a number of business dates relative to the earliest datetime in
the data.
)" VELORA_NUMERIC_DATE_ATTRIBUTES;

constexpr const char* categorical_doc =
    R"(Creates hour, day-of-week, day and month values from a datetime, and transforms using CategoricalTransformer.

Attributes:
    name: The data frame column to transform.
    date_format: Optional string representation of the date format, e.g. '%d/%m/%Y'.
)";

Param optional(const char* name, const char* annotation) { return arg(name, annotation) = none(); }
Param frame_param() { return arg("df", "pd.DataFrame"); }
Param meta_param() { return arg("meta", "Affine[np.datetime64]"); }

// An empty docstring leaves the class without one.
void define_date_transformer(py::module_& m) {
    DateTransformer =
        ClassBuilder(m, "DateTransformer", py::make_tuple(m.attr("SequentialTransformer")), "")
            .method("__init__",
                    {self, str_arg("name"), optional("start_date", "Optional[pd.Timestamp]"),
                     optional("config", "Optional[DateTransformerConfig]"),
                     arg("business_dates_only", "bool") = py::bool_(false),
                     arg("hours_min", "int") = py::int_(0), arg("hours_max", "int") = py::int_(24),
                     optional("date_format", "Optional[str]")},
                    "", pipeline_init)
            .method("inverse_transform", {self, frame_param(), star_kwargs()}, "pd.DataFrame",
                    pipeline_inverse_transform)
            .classmethod(
                "from_meta",
                {cls_param, meta_param(), optional("config", "Optional[DateTransformerConfig]")},
                "'DateTransformer'", pipeline_from_meta)
            .finish()
            .release();
}

void define_date_to_numeric_transformer(py::module_& m) {
    DateToNumericTransformer =
        ClassBuilder(m, "DateToNumericTransformer", py::make_tuple(m.attr("Transformer")),
                     numeric_doc)
            .method("__init__",
                    {self, str_arg("name"), arg("unit", "Optional[str]") = py::str("days"),
                     optional("start_date", "Optional[pd.Timestamp]"),
                     optional("date_format", "Optional[str]")},
                    "", numeric_init)
            .method("__repr__", {self}, "str", numeric_repr)
            .method("fit", {arg("self", "DateToNumericType"), frame_param()}, "DateToNumericType",
                    numeric_fit)
            .method("transform", {self, frame_param(), star_kwargs()}, "pd.DataFrame",
                    numeric_transform)
            .method("inverse_transform", {self, frame_param(), star_kwargs()}, "pd.DataFrame",
                    numeric_inverse_transform)
            .classmethod("from_meta", {arg("cls", "Type[DateToNumericType]"), meta_param()},
                         "DateToNumericType", numeric_from_meta)
            .finish()
            .release();
}

void define_bus_date_to_numeric_transformer(py::module_& m) {
    BusDateToNumericTransformer =
        ClassBuilder(m, "BusDateToNumericTransformer", py::make_tuple(DateToNumericTransformer),
                     business_doc)
            .method("__init__",
                    {self, str_arg("name"), arg("unit", "Optional[str]") = py::str("days"),
                     optional("start_date", "Optional[pd.Timestamp]"),
                     arg("hours_min", "int") = py::int_(0), arg("hours_max", "int") = py::int_(24),
                     optional("date_format", "Optional[str]")},
                    "", business_init)
            .method("transform", {self, frame_param(), star_kwargs()}, "pd.DataFrame",
                    business_transform)
            .method("inverse_transform", {self, frame_param(), star_kwargs()}, "pd.DataFrame",
                    business_inverse_transform)
            .finish()
            .release();
}

void define_date_categorical_transformer(py::module_& m) {
    DateCategoricalTransformer =
        ClassBuilder(m, "DateCategoricalTransformer", py::make_tuple(m.attr("Transformer")),
                     categorical_doc)
            .method("__init__", {self, str_arg("name"), optional("date_format", "Optional[str]")},
                    "", categorical_init)
            .method("__repr__", {self}, "str", categorical_repr)
            .method("fit", {self, frame_param()}, "'DateCategoricalTransformer'", categorical_fit)
            .method("transform", {self, frame_param(), star_kwargs()}, "pd.DataFrame",
                    categorical_transform)
            .method("inverse_transform", {self, frame_param(), star_kwargs()}, "pd.DataFrame",
                    categorical_inverse_transform)
            .classmethod("from_meta", {cls_param, meta_param()}, "'DateCategoricalTransformer'",
                         categorical_from_meta)
            .method("split_datetime", {self, arg("col", "pd.Series")}, "pd.DataFrame",
                    split_datetime,
                    "Split datetime column into separate hour, dow, day and month fields.")
            .property("out_columns", "List[str]", categorical_out_columns)
            .finish()
            .release();
}

void define_type_variable(py::module_& m) {
    py::object type_variable =
        m.attr("TypeVar")("DateToNumericType", "bound"_a = "DateToNumericTransformer");
    // Created from native code, it cannot find its module from the calling frame.
    type_variable.attr("__module__") = m.attr("__name__");
    m.attr("DateToNumericType") = type_variable;
}

}  // namespace

VELORA_MODULE(date, m) {
    m.attr("__doc__") =
        "Transformers of one date-time column: day numbers and calendar categories.";
    global.bind(m);
    from_import(m, "typing", {"List", "Optional", "Type", "TypeVar"});
    import_as(m, "numpy", "np");
    import_as(m, "pandas", "pd");
    from_import(m, "...config", {"DateTransformerConfig"});
    from_import(m, "...metadata.value.datetime", {"Affine", "BusDateTime", "get_date_format"});
    from_import(m, "..base", {"SequentialTransformer", "Transformer"});
    from_import(m, "..exceptions", {"TransformerNotFitError"});
    from_import(m, ".categorical", {"CategoricalTransformer"});
    from_import(m, ".quantile", {"QuantileTransformer"});
    from_import(m, ".standard_scaler", {"StandardScaler"});
    define_date_transformer(m);
    define_type_variable(m);
    define_date_to_numeric_transformer(m);
    define_bus_date_to_numeric_transformer(m);
    define_date_categorical_transformer(m);
}
