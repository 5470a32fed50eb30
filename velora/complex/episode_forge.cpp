// `EventSynthesizer`: event tables to fixed time steps per entity, and synthetic entities back
// in the caller's layout.
#include "native.hpp"

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include <pybind11/numpy.h>

#include "entity_steps.hpp"

namespace {

using namespace velora::native;
using namespace pybind11::literals;

Globals global;
// The class itself, for `super()`, which binds the defining class.
py::handle EventSynthesizer;

py::str start_column(py::handle time_idx) { return py::str(text(time_idx) + "_0"); }
py::str gap_column(py::handle time_idx) { return py::str(text(time_idx) + "_diff"); }
py::object max_workers_of(py::object self) {
    return truthy(self.attr("config").attr("low_memory")) ? py::object(py::int_(1)) : none();
}

// --- construction ---------------------------------------------------------------------------

// Everything the model needs from the table is checked before anything is built.
void check_table(py::object df, py::object id_idx, py::object time_idx,
                 std::initializer_list<std::pair<const char*, py::object>> roles) {
    py::object columns = df.attr("columns");
    if (py::len(df) == 0) {
        raise(PyExc_ValueError, "The event table is empty: there is nothing to learn from.");
    }
    for (auto [role, name] : {std::pair{"id", id_idx}, std::pair{"time", time_idx}}) {
        if (name.is_none() || !columns.contains(name)) {
            raise(PyExc_ValueError, std::string("The ") + role + " column " + text(py::repr(name)) +
                                        " is not a column of the event table.");
        }
    }
    for (const auto& [role, listed] : roles) {
        py::list unknown;
        for (py::handle name : listed) {
            if (!columns.contains(name)) {
                unknown.append(name);
            }
        }
        if (py::len(unknown) > 0) {
            raise(PyExc_ValueError, std::string("Unknown ") + role +
                                        " columns, not in the event table: " + text(unknown) + ".");
        }
    }
    if (!truthy(columns.attr("is_unique"))) {
        raise(PyExc_ValueError, "The event table has more than one column named " +
                                    text(columns[columns.attr("duplicated")()].attr("tolist")()) +
                                    "; give every column its own name.");
    }
    for (const auto& [role, listed] : roles) {
        if (std::string(role) == "sample") {
            continue;  // clustering the id's values is how an id column is sampled
        }
        for (auto [special, name] : {std::pair{"id", id_idx}, std::pair{"time", time_idx}}) {
            if (listed.contains(name)) {
                raise(PyExc_ValueError, std::string("The ") + special + " column " +
                                            text(py::repr(name)) + " is also given among the " +
                                            role + " columns; leave it out of them.");
            }
        }
    }
    for (py::str derived : {start_column(time_idx), gap_column(time_idx)}) {
        if (columns.contains(derived)) {
            raise(PyExc_ValueError, "The column " + text(py::repr(derived)) +
                                        " clashes with a column derived from the time column " +
                                        text(py::repr(time_idx)) + "; rename it.");
        }
    }
    const std::string kind = text(df[time_idx].attr("dtype").attr("kind"));
    if (kind.find_first_of("iufMm") == std::string::npos) {
        raise(PyExc_ValueError, "The time column " + text(py::repr(time_idx)) +
                                    " must hold date-times or numbers, not " +
                                    text(df[time_idx].attr("dtype")) +
                                    "; convert it with pd.to_datetime first.");
    }
}

void init(py::object self, py::object df, py::object id_idx, py::object time_idx,
          py::object event_cols, py::object const_cols, py::object exog_cols,
          py::object sample_cols, py::object config) {
    check_table(df, id_idx, time_idx,
                {{"event", event_cols},
                 {"constant", const_cols},
                 {"exogenous", exog_cols},
                 {"sample", sample_cols}});
    builtin("object").attr("__setattr__")(self, "columns", df.attr("columns"));
    // What the output gives back: integer dtypes that filler rows turn into floats, and the
    // zone of times that are modelled in UTC.
    builtin("object").attr("__setattr__")(self, "_column_dtypes", df.attr("dtypes"));
    super(EventSynthesizer, self)
        .attr("__init__")(df, id_idx, time_idx, event_cols, const_cols, exog_cols, sample_cols,
                          config);
}

// --- preprocessing --------------------------------------------------------------------------

// Kernels read buffers as contiguous: a strided view (a reversed frame's column) is copied.
template <typename T>
using Contiguous = py::array_t<T, py::array::c_style | py::array::forcecast>;

template <typename T>
py::array_t<T> to_array(const std::vector<T>& values) {
    py::array_t<T> out(static_cast<py::ssize_t>(values.size()));
    std::copy(values.begin(), values.end(), out.mutable_data());
    return out;
}

// A column of the step frame from per-row values, their missing flags and the time dtype:
// starts and gaps of date-times are date-times and time deltas of the same unit.
struct StepColumns {
    py::object start, gap;
};

template <typename Value, typename IsMissing>
StepColumns step_columns(const std::vector<std::int64_t>& codes, Contiguous<Value> time,
                         const velora::kernels::EntitySteps& layout, std::int64_t entities,
                         IsMissing missing, Value missing_value) {
    std::vector<Value> start, gap;
    std::vector<char> start_missing, gap_missing;
    velora::kernels::starts_and_gaps(codes.data(), time.data(), time.size(), entities, missing,
                                     start, start_missing, gap, gap_missing);
    const std::size_t rows = layout.row.size();
    std::vector<Value> start_out(rows), gap_out(rows);
    for (std::size_t o = 0; o < rows; ++o) {
        const std::int64_t row = layout.row[o];
        const std::int64_t entity = layout.entity[o];
        start_out[o] = row >= 0 && !start_missing[entity] ? start[entity] : missing_value;
        gap_out[o] = row >= 0 && !gap_missing[row] ? gap[row] : missing_value;
    }
    return {to_array(start_out), to_array(gap_out)};
}

StepColumns time_step_columns(py::object time, const std::vector<std::int64_t>& codes,
                              const velora::kernels::EntitySteps& layout, std::int64_t entities) {
    const std::string kind = text(time.attr("dtype").attr("kind"));
    if (kind == "M" || kind == "m") {
        // Date-times and deltas as their int64 ticks, NaT being the smallest int64.
        const std::int64_t nat = std::numeric_limits<std::int64_t>::min();
        Contiguous<std::int64_t> ticks = time.attr("to_numpy")().attr("view")("int64");
        auto columns = step_columns<std::int64_t>(
            codes, ticks, layout, entities, [nat](std::int64_t v) { return v == nat; }, nat);
        std::string unit =
            text(global("np").attr("datetime_data")(time.attr("dtype"))[py::int_(0)]);
        columns.start = columns.start.attr("view")(kind == "M" ? "datetime64[" + unit + "]"
                                                               : "timedelta64[" + unit + "]");
        columns.gap = columns.gap.attr("view")("timedelta64[" + unit + "]");
        return columns;
    }
    Contiguous<double> values = time.attr("to_numpy")("dtype"_a = "float64", "na_value"_a = NAN);
    auto columns =
        step_columns<double>(codes, values, layout, entities, [](double v) { return v != v; }, NAN);
    // Whole-number times keep their dtype for the start unless filler rows need NaN.
    if (kind != "f" && !layout.has_filler) {
        columns.start = columns.start.attr("astype")(time.attr("dtype"));
    }
    return columns;
}

// Times with a zone as the UTC times they stand for, without the zone, as every reader of
// times converts them.
py::object utc_wall_times(py::object times) {
    return import_module("velora.metadata.value.datetime").attr("utc_wall_times")(times);
}

// The events of each entity within the steps kept, from which `sample` draws lengths when
// the model has no end flag. The last frame preprocessed is the one `learn` trained on.
void keep_entity_lengths(py::object self, const velora::kernels::EntitySteps& layout,
                         std::int64_t entities) {
    std::vector<std::int64_t> lengths(static_cast<std::size_t>(entities), 0);
    const bool windows = !layout.counted.empty();
    for (std::size_t o = 0; o < layout.row.size(); ++o) {
        const bool counted = !windows || layout.counted[o];
        lengths[static_cast<std::size_t>(layout.entity[o])] += layout.row[o] >= 0 && counted;
    }
    builtin("object").attr("__setattr__")(self, "entity_lengths", to_array(lengths));
}

// Which steps of each window count in the losses ([windows, steps]) and which windows are
// their entity's first ([windows, 1]), for `learn` to weigh the losses by.
void keep_training_windows(py::object self, const velora::kernels::EntitySteps& layout) {
    py::dict weights;
    if (!layout.counted.empty()) {
        const auto T = static_cast<py::ssize_t>(layout.steps);
        const auto windows = static_cast<py::ssize_t>(layout.row.size()) / T;
        py::array_t<float> counted({windows, T}), first({windows, py::ssize_t{1}});
        for (py::ssize_t o = 0; o < windows * T; ++o) {
            counted.mutable_data()[o] = layout.counted[o] ? 1.0f : 0.0f;
        }
        for (py::ssize_t w = 0; w < windows; ++w) {
            first.mutable_data()[w] = layout.window[w * T] == 0 ? 1.0f : 0.0f;
        }
        weights["counted_steps"] = counted;
        weights["first_window"] = first;
    }
    builtin("object").attr("__setattr__")(self, "training_windows", weights);
}

velora::kernels::EntitySteps steps_layout(py::object self, const std::vector<std::int64_t>& codes,
                                          std::int64_t entities, py::object max_time_steps,
                                          bool exact) {
    py::object config = self.attr("config");
    const auto rows = static_cast<std::int64_t>(codes.size());
    const auto T = max_time_steps.cast<std::int64_t>();
    if (!truthy(config.attr("windows"))) {
        return velora::kernels::entity_steps(codes.data(), rows, entities, T, exact);
    }
    // Windows that start where their predecessors ended abut.
    py::object burn_in = truthy(config.attr("carry_window_state"))
                             ? py::object(py::int_(0))
                             : py::object(config.attr("window_burn_in"));
    if (!py::isinstance<py::int_>(burn_in) || burn_in.cast<std::int64_t>() < 0) {
        raise(PyExc_ValueError,
              "DeepStateConfig.window_burn_in must be a whole number of at "
              "least 0, not " +
                  text(py::repr(burn_in)) + ".");
    }
    return velora::kernels::entity_windows(codes.data(), rows, entities, T,
                                           burn_in.cast<std::int64_t>(), exact);
}

py::object step_index(py::object id_idx, py::object entity_ids,
                      const velora::kernels::EntitySteps& layout) {
    py::list levels, names;
    levels.append(entity_ids);
    names.append(id_idx);
    if (!layout.window.empty()) {
        levels.append(to_array(layout.window));
        names.append("_window");
    }
    levels.append(to_array(layout.step));
    names.append("_step");
    return global("pd").attr("MultiIndex").attr("from_arrays")(levels, "names"_a = names);
}

py::object preprocess_df(py::object self, py::object df, py::object max_time_steps,
                         py::object chunk) {
    // A chunk of a table keeps the clusters fitted on the whole table's sample.
    const bool part = truthy(chunk);
    if (!part) {
        for (py::handle cluster : self.attr("clusters").attr("values")()) {
            cluster.attr("fit")(df);
        }
    }
    if (!truthy(max_time_steps)) {
        max_time_steps = self.attr("max_time_steps");
    }
    py::object id_idx = self.attr("id_idx"), time_idx = self.attr("time_idx");
    // Gaps are taken in time order, however the rows arrived; events of one time keep theirs.
    py::dict times;
    times[time_idx] = utc_wall_times(df[time_idx]);
    py::object work =
        df.attr("assign")(**times)
            .attr("sort_values")(time_idx, "kind"_a = "stable", "na_position"_a = "last")
            .attr("reset_index")("drop"_a = true);
    auto factorized = unpack(global("pd").attr("factorize")(work[id_idx], "sort"_a = true), 2);
    Contiguous<std::int64_t> code_array = factorized[0].attr("astype")("int64");
    py::object ids = factorized[1];
    const std::vector<std::int64_t> codes(code_array.data(), code_array.data() + code_array.size());
    const auto entities = static_cast<std::int64_t>(py::len(ids));
    if (entities == 0) {
        raise(PyExc_ValueError, "No row of the event table has an id.");
    }
    const auto layout = steps_layout(self, codes, entities, max_time_steps, part);
    StepColumns time_columns = time_step_columns(work[time_idx], codes, layout, entities);
    keep_entity_lengths(self, layout, entities);
    keep_training_windows(self, layout);

    py::list time_column;
    time_column.append(time_idx);
    py::object body = work.attr("drop")("columns"_a = time_column);
    std::vector<std::int64_t> rows = layout.row;
    if (layout.has_filler) {
        // One all-missing row past the end serves every filler row, typed as reindexing types
        // missing values (integers become floats, text stays text).
        const auto filler = static_cast<std::int64_t>(py::len(work));
        body = body.attr("reindex")(global("pd").attr("RangeIndex")(filler + 1));
        for (auto& row : rows) {
            row = row < 0 ? filler : row;
        }
    }
    py::object steps = body.attr("take")(to_array(rows)).attr("reset_index")("drop"_a = true);
    py::object entity_ids = ids.attr("take")(to_array(layout.entity));
    set_item(steps, id_idx, entity_ids);
    set_item(steps, start_column(time_idx), time_columns.start);
    set_item(steps, gap_column(time_idx), time_columns.gap);
    steps.attr("index") = step_index(id_idx, entity_ids, layout);
    for (py::handle cluster : self.attr("clusters").attr("values")()) {
        steps = cluster.attr("transform")(steps);
    }
    return steps;
}

// --- the four model parts -------------------------------------------------------------------

py::object part_model(const char* name) {
    return global("DataFrameModel")(global("DataFrameMeta")("name"_a = name));
}

void add_children(py::object part, py::object df_model, py::object columns) {
    py::dict children;
    for (py::handle column : columns) {
        children[column] = df_model[column];
    }
    part.attr("update")(children);
}

py::tuple split_df_model(py::object self, py::object df_model) {
    py::object id_model = part_model("id"), const_model = part_model("const"),
               time_series_model = part_model("time_series"),
               exogenous_model = part_model("exogenous");
    py::object time_idx = self.attr("time_idx");
    add_children(id_model, df_model, py::make_tuple(self.attr("id_idx")));
    add_children(exogenous_model, df_model, self.attr("exog_cols"));
    add_children(const_model, df_model, self.attr("const_cols"));
    add_children(time_series_model, df_model, self.attr("event_cols"));
    add_children(const_model, df_model, py::make_tuple(start_column(time_idx)));
    add_children(time_series_model, df_model, py::make_tuple(gap_column(time_idx)));
    return py::make_tuple(id_model, const_model, time_series_model, exogenous_model);
}

// --- synthesis ------------------------------------------------------------------------------

py::object tf(const char* attribute) { return global("tf").attr(attribute); }
// Imported on first use: the module's own names are exactly those it was built with.
py::object randomness(const char* attribute) {
    return import_module("velora.common.randomness").attr(attribute);
}

void require_rows(py::object frame, const char* argument, py::object n) {
    if (py::len(frame) < n.cast<std::size_t>()) {
        raise(PyExc_ValueError,
              std::string(argument) + " must hold one row per generated step: " + text(n) +
                  " rows are needed, " + std::to_string(py::len(frame)) + " were given.");
    }
}

void require_trained(py::object self, const char* method) {
    import_module("velora.transformer.exceptions")
        .attr("check_is_fitted")(self, method, self.attr("df_transformer_time_series"));
}

// mean + noise * std: one draw per latent dimension, as the training losses and `sample_id`
// draw.
py::object posterior_draw(py::object mean, py::object std) {
    return mean.attr("__add__")(std.attr("__mul__")(randomness("normal")(tf("shape")(std))));
}

// An id code drawn from the id encoder given its inputs, the id's encoding and the
// constants' ([entities, I] each).
py::object encoded_id_code(py::object self, py::list inputs) {
    py::object x = tf("expand_dims")(tf("concat")(inputs, "axis"_a = -1), 1);
    auto moments = unpack(self.attr("id_encoder")(x), 2);
    return posterior_draw(moments[0], moments[1]);
}

py::object id_code(py::object self, py::object id, py::object df_const, py::object max_workers) {
    if (id.is_none()) {
        require_trained(self, "synthesize");
        return self.attr("sample_id")("bs"_a = 1);
    }
    py::object id_idx = self.attr("id_idx");
    py::object code = id;
    if (self.attr("sample_cols").contains(id_idx)) {
        code = self.attr("clusters")[id_idx].attr("custmap")[id];
    }
    require_trained(self, "synthesize");
    py::dict column;
    column[id_idx] = py::make_tuple(code);
    py::object id_frame =
        self.attr("df_transformer_id").attr("transform")(global("pd").attr("DataFrame")(column));
    py::list inputs;
    inputs.append(self.attr("df_value_id").attr("unify_inputs")(id_frame));
    py::object const_group = self.attr("df_value_const");
    if (const_group.attr("learned_input_size")().cast<int>() != 0) {
        if (df_const.is_none()) {
            py::list expected;
            for (py::handle child : self.attr("df_model_const").attr("children")) {
                expected.append(child.attr("name"));
            }
            // The message is the established one; the note says it in the caller's terms.
            raise_with_note(PyExc_ValueError,
                            "df_const is None but df_value_const.learned_input_size != 0. "
                            "Ensure that df_const is suppliedwith the column names " +
                                text(expected),
                            "Pass df_const: one row with the entity's constant columns " +
                                text(self.attr("const_cols")) + " and its first time (" +
                                text(py::repr(self.attr("time_idx"))) + " of its first event) as " +
                                text(py::repr(start_column(self.attr("time_idx")))) +
                                ", in the layout preprocess_df(df) gives them.");
        }
        inputs.append(const_group.attr("unify_inputs")(
            self.attr("df_transformer_const")
                .attr("transform")(df_const, "max_workers"_a = max_workers)));
    }
    return encoded_id_code(self, inputs);
}

py::object exogenous_inputs(py::object self, py::object df_exogenous, py::object n,
                            py::object max_workers) {
    if (df_exogenous.is_none()) {
        if (py::len(self.attr("exog_cols")) != 0) {
            raise(PyExc_ValueError,
                  "Exogenous variables used to train the model must also be provided during "
                  "synthesis.");
        }
        return none();
    }
    require_rows(df_exogenous, "df_exogenous", n);
    return self.attr("df_value_exog")
        .attr("unify_inputs")(self.attr("df_transformer_exog")
                                  .attr("transform")(df_exogenous, "max_workers"_a = max_workers));
}

// The caller's known values in output layout, and where they replace the generated ones.
std::pair<py::object, py::object> overwrite_inputs(py::object self, py::object df_overwrite,
                                                   py::object n, py::object max_workers) {
    if (df_overwrite.is_none()) {
        return {none(), none()};
    }
    require_rows(df_overwrite, "df_overwrite", n);
    py::object transformer = self.attr("df_transformer_time_series");
    py::list given(df_overwrite.attr("columns"));
    for (py::handle column : transformer.attr("in_columns")) {
        if (!given.contains(column)) {
            set_item(df_overwrite, column, global("np").attr("nan"));
        }
    }
    py::object group = self.attr("df_value_time_series");
    py::object x_overwrite = group.attr("pass_inputs_to_y")(
        transformer.attr("transform")(df_overwrite, "max_workers"_a = max_workers));
    // Where an entity ends is the model's to draw, whatever the caller imposes.
    py::list generated;
    generated.append(self.attr("df_value_time_series").attr("entity_end"));
    for (py::handle component : transformer) {
        bool complete = true;
        for (py::handle column : component.attr("in_columns")) {
            complete = complete && given.contains(column);
        }
        if (!complete) {
            for (py::handle column : component.attr("out_columns")) {
                generated.append(column);
            }
        }
    }
    py::list mask;
    for (py::handle item : group.attr("items")()) {
        const bool imposed = !generated.contains(item[py::int_(0)]);
        const int width = item[py::int_(1)].attr("learned_output_size")().cast<int>();
        for (int i = 0; i < width; ++i) {
            mask.append(py::bool_(imposed));
        }
    }
    return {x_overwrite, tf("constant")(mask, "dtype"_a = tf("bool"))};
}

py::handle decoding_function;

// Sampled columns of the generated outputs and of the id code's constants, in the encodings
// of the transformed frames.
py::dict decoded(py::object self, py::object y, py::object z_id, py::object association_rules) {
    py::object id_y = self.attr("id_linear")(self.attr("id_emission")(z_id));
    py::dict data = self.attr("df_value_time_series")
                        .attr("output_tensors")(y, "association_rules"_a = association_rules);
    data.attr("update")(self.attr("df_value_const").attr("output_tensors")(id_y));
    return data;
}

// With `keys`, each entity's draws are its own (see `velora.common.randomness`).
py::dict decoded_outputs(py::object self, py::object y, py::object z_id,
                         py::object association_rules, py::object keys) {
    if (keys.is_none()) {
        return decoded(self, y, z_id, association_rules);
    }
    py::dict data;
    with_context(randomness("keyed")(keys), [&] {
        with_context(randomness("phase")(randomness("DECODING_PHASE")),
                     [&] { data = decoded(self, y, z_id, association_rules); });
    });
    return data;
}

py::object column_values(py::object tensor) {
    return global("np").attr("ravel")(tensor.attr("numpy")());
}

// The first `rows` decoded values of each column (all of them when `rows` is None).
py::object decoded_frame(py::dict data, py::object columns, py::object rows = none()) {
    py::dict frame;
    for (py::handle column : columns) {
        frame[column] = column_values(data[column])[py::slice(none(), rows, none())];
    }
    return global("pd").attr("DataFrame")(frame);
}

// Steps before the entity's first drawn end flag, or all `n`: the flag of step 0 is never
// read, since an entity ends only after an event.
long generated_length(py::object self, py::dict data, long n) {
    py::object end = self.attr("df_value_time_series").attr("entity_end");
    if (end.is_none() || !truthy(self.attr("config").attr("stop_at_entity_end"))) {
        return n;
    }
    Contiguous<float> flags = column_values(data[end]);
    const float* ended = flags.data();
    const long steps = std::min<long>(n, static_cast<long>(flags.size()));
    for (long t = 1; t < steps; ++t) {
        if (ended[t] > 0.5f) {
            return t;
        }
    }
    return n;
}

// Event times from each entity's start (its first given one) and its gaps (missing gaps
// count as none); `entity_of_row` tells the entities of the rows apart.
void rebuild_times(py::object self, py::object& df_synth, py::object entity_of_row) {
    py::object time_idx = self.attr("time_idx");
    py::object starts =
        df_synth[start_column(time_idx)].attr("groupby")(entity_of_row).attr("transform")("first");
    py::object gaps = df_synth[gap_column(time_idx)];
    const bool as_deltas = text(gaps.attr("dtype").attr("kind")) == "m";
    py::object elapsed =
        gaps.attr("fillna")(as_deltas ? global("pd").attr("Timedelta")(0) : py::object(py::int_(0)))
            .attr("groupby")(entity_of_row)
            .attr("cumsum")();
    // `to_datetime`, so that entities without a start still give a date-time column.
    set_item(
        df_synth, time_idx,
        elapsed.attr("__add__")(as_deltas ? global("pd").attr("to_datetime")(starts) : starts));
    py::list derived;
    derived.append(start_column(time_idx));
    derived.append(gap_column(time_idx));
    df_synth = df_synth.attr("drop")("columns"_a = derived);
}

// Values rounded into the range of an integer dtype, in that dtype, or in its nullable form
// ("Int64" for int64) when a value is missing.
py::object whole_numbers(py::object values, py::object dtype) {
    py::object numpy_dtype =
        global("np").attr("dtype")(builtin("getattr")(dtype, "numpy_dtype", dtype));
    py::object limits = global("np").attr("iinfo")(numpy_dtype);
    py::object numbers =
        values.attr("round")().attr("clip")(limits.attr("min"), limits.attr("max"));
    if (truthy(numbers.attr("isna")().attr("any")())) {
        const std::string name = text(numpy_dtype);  // "int64", "uint8", ...
        const bool is_unsigned = name[0] == 'u';
        dtype = py::str((is_unsigned ? "UInt" : "Int") + name.substr(is_unsigned ? 4 : 3));
    }
    return numbers.attr("astype")(dtype);
}

// Rebuilt times are naive (zoned times are modelled in UTC) and their unit follows pandas'
// arithmetic; they come back in the caller's dtype, zone and unit.
void restore_time_dtype(py::object self, py::object& df_synth) {
    py::object time_idx = self.attr("time_idx");
    py::object dtype = self.attr("_column_dtypes")[time_idx];
    py::object times = df_synth[time_idx];
    if (text(dtype.attr("kind")) != "M" || text(times.attr("dtype").attr("kind")) != "M") {
        return;
    }
    if (!builtin("getattr")(dtype, "tz", none()).is_none()) {
        times = times.attr("dt").attr("tz_localize")("UTC");
    }
    set_item(df_synth, time_idx, times.attr("astype")(dtype));
}

// Filler rows make the caller's integer columns floats before their kind is read; they come
// back as whole numbers in the caller's dtype, or its nullable form where values are missing.
void restore_integer_dtypes(py::object self, py::object& df_synth) {
    py::object types = global("pd").attr("api").attr("types");
    py::object caller_dtypes = self.attr("_column_dtypes");
    for (py::handle column : df_synth.attr("columns")) {
        py::object dtype = caller_dtypes[column];
        py::object values = df_synth[column];
        if (!truthy(types.attr("is_integer_dtype")(dtype)) ||
            truthy(types.attr("is_integer_dtype")(values.attr("dtype"))) ||
            !truthy(types.attr("is_numeric_dtype")(values.attr("dtype")))) {
            continue;
        }
        set_item(df_synth, column, whole_numbers(values, dtype));
    }
}

void fill_constants(py::object self, py::object& df_synth) {
    py::dict first_values;
    for (py::handle column : self.attr("const_cols")) {
        py::object first = df_synth[column].attr("iloc")[py::int_(0)];
        if (!truthy(global("pd").attr("isna")(first))) {
            first_values[column] = first;
        }
    }
    if (py::len(first_values) > 0) {
        df_synth = df_synth.attr("fillna")(first_values);
    }
}

// A constant sample column is drawn once for the entity (seeded by the caller's id when
// given), so it holds one value on every row.
void decode_clusters(py::object self, py::object id, py::object& df_synth) {
    py::object id_idx = self.attr("id_idx");
    for (py::handle column : self.attr("sample_cols")) {
        if (column.equal(id_idx)) {
            continue;
        }
        py::object cluster = self.attr("clusters")[column];
        if (self.attr("const_cols").contains(column)) {
            py::object code = df_synth[column].attr("iloc")[py::int_(0)];
            set_item(df_synth, column, cluster.attr("sample")(code, "seed"_a = id));
        } else {
            set_item(df_synth, column, df_synth[column].attr("apply")(cluster.attr("sample")));
        }
    }
}

// The caller's columns in their order; the id only when it was given, and columns in no role
// (which nothing generates) never.
py::list output_columns(py::object self, py::object id) {
    py::list generated;
    generated.append(self.attr("time_idx"));
    for (const char* role : {"event_cols", "const_cols", "exog_cols"}) {
        for (py::handle column : self.attr(role)) {
            generated.append(column);
        }
    }
    py::list columns;
    for (py::handle column : self.attr("columns")) {
        const bool is_id = column.equal(self.attr("id_idx"));
        if (is_id ? !id.is_none() : generated.contains(column)) {
            columns.append(column);
        }
    }
    return columns;
}

py::object synthesize(py::object self, py::object n, py::object produce_nans, py::object id,
                      py::object df_const, py::object df_time_series, py::object df_exogenous,
                      py::object association_rules, py::object expression_rules,
                      py::object df_overwrite) {
    (void)df_time_series;  // accepted for the common interface; events are generated afresh
    py::object max_workers = max_workers_of(self);
    py::object z_id = id_code(self, id, df_const, max_workers);
    py::object x_exog = exogenous_inputs(self, df_exogenous, n, max_workers);
    auto [x_overwrite, mask] = overwrite_inputs(self, df_overwrite, n, max_workers);
    if (n.cast<long>() <= 0) {
        return global("pd").attr("DataFrame")("columns"_a = output_columns(self, id));
    }
    auto generated =
        unpack(self.attr("transition_loop")("n"_a = n, "z_id"_a = z_id, "x_exog"_a = x_exog,
                                            "x_time_series"_a = none(),
                                            "association_rules"_a = association_rules,
                                            "x_overwrite"_a = x_overwrite, "mask"_a = mask),
               2);
    // Association rules are plain Python objects a graph cannot take as inputs.
    const bool eager = truthy(association_rules);
    py::dict data = compiled_method(self, decoding_function, "_compiled_decoding", eager)(
        generated[1], z_id, eager ? association_rules : none(), none());

    py::object rows = py::int_(generated_length(self, data, n.cast<long>()));
    py::object ts_transformer = self.attr("df_transformer_time_series");
    py::object df_synth = ts_transformer.attr("inverse_transform")(
        decoded_frame(data, ts_transformer.attr("out_columns"), rows),
        "produce_nans"_a = produce_nans, "max_workers"_a = max_workers);
    py::object constants = self.attr("df_transformer_const")
                               .attr("inverse_transform")(
                                   decoded_frame(data, self.attr("df_value_const").attr("_values")),
                                   "max_workers"_a = max_workers);
    // `**frame` in Python unpacks a frame as a mapping of its columns; pybind11 needs a dict.
    df_synth = df_synth.attr("assign")(**py::dict(constants));
    if (!df_exogenous.is_none()) {
        df_synth = df_synth.attr("assign")(**py::dict(df_exogenous));
    }
    rebuild_times(self, df_synth, global("np").attr("zeros")(py::len(df_synth), "int64"));
    restore_time_dtype(self, df_synth);
    fill_constants(self, df_synth);
    if (self.attr("df_meta").attr("columns").is_none()) {
        raise(PyExc_AssertionError);
    }
    decode_clusters(self, id, df_synth);
    if (!id.is_none()) {
        set_item(df_synth, self.attr("id_idx"), id);
    }
    df_synth = df_synth[output_columns(self, id)];
    restore_integer_dtypes(self, df_synth);
    if (!expression_rules.is_none()) {
        for (py::handle rule : expression_rules) {
            df_synth = rule.attr("apply")(df_synth);
        }
    }
    return df_synth;
}

// --- sampling many entities -----------------------------------------------------------------

// What one `sample` call asks for, checked once and shared by its chunks.
struct SampleRequest {
    long long count = 0;
    // Entities generated together, and those drawn: all `count`, or one shard's share.
    long long chunk = 1, begin = 0, end = 0;
    py::object seed, df_const, lengths, exogenous, association_rules, expression_rules,
        produce_nans;
};

[[noreturn]] void refuse(const std::string& message) {
    raise(PyExc_ValueError, "EventSynthesizer.sample: " + message);
}

// Any integer (NumPy's too), but not a bool.
long long whole_number(py::handle value, const char* name, long long least) {
    const bool integer = PyIndex_Check(value.ptr()) && !PyBool_Check(value.ptr());
    if (!integer || py::int_(py::reinterpret_borrow<py::object>(value)).cast<long long>() < least) {
        refuse(std::string(name) + " must be a whole number of at least " + std::to_string(least) +
               ", not " + text(py::repr(value)) + ".");
    }
    return py::int_(py::reinterpret_borrow<py::object>(value)).cast<long long>();
}

// Given constants must be the model's own constant columns, with values it has seen.
void check_given_constants(py::object self, py::object df_const, long long count) {
    if (!py::isinstance(df_const, global("pd").attr("DataFrame")) ||
        static_cast<long long>(py::len(df_const)) != count) {
        refuse("df_const must be a frame of one row per entity: " + std::to_string(count) +
               " rows.");
    }
    py::object const_cols = self.attr("const_cols");
    for (py::handle column : df_const.attr("columns")) {
        if (!const_cols.contains(column) || self.attr("sample_cols").contains(column)) {
            refuse("df_const column " + text(py::repr(column)) +
                   " is not one of the model's constant columns " + text(const_cols) +
                   " (columns given to sample are clustered and cannot be given).");
        }
        py::object model = self.attr("df_model")[column];
        if (!py::isinstance(model,
                            import_module("velora.model.categorical").attr("CategoricalModel"))) {
            continue;
        }
        py::object values = df_const[column].attr("dropna")();
        py::object unseen =
            values[values.attr("isin")(model.attr("categories")).attr("__invert__")()];
        if (py::len(unseen) > 0) {
            refuse("df_const column " + text(py::repr(column)) + " holds values the model never " +
                   "saw: " + text(unseen.attr("unique")().attr("tolist")()) +
                   "; give values seen in training.");
        }
    }
}

// A shard holds whole chunks, as equal a share of them as whole chunks allow, so that every
// chunk, and so every batch the network sums over, is the same whatever the shards.
void take_shard(SampleRequest& request, py::object shard) {
    request.begin = 0;
    request.end = request.count;
    if (shard.is_none()) {
        return;
    }
    if (!py::isinstance<py::tuple>(shard) || py::len(shard) != 2) {
        refuse("shard must be a pair (index, shards), not " + text(py::repr(shard)) + ".");
    }
    const long long shards = whole_number(shard[py::int_(1)], "the number of shards", 1);
    const long long index = whole_number(shard[py::int_(0)], "the shard's index", 0);
    if (index >= shards) {
        refuse("the shard's index must be below the number of shards " + std::to_string(shards) +
               ", not " + std::to_string(index) + ".");
    }
    const long long chunks = (request.count + request.chunk - 1) / request.chunk;
    request.begin = std::min(request.count, chunks * index / shards * request.chunk);
    request.end = std::min(request.count, chunks * (index + 1) / shards * request.chunk);
}

SampleRequest sample_request(py::object self, py::object count, py::object seed,
                             py::object df_const, py::object lengths, py::object df_exogenous,
                             py::object association_rules, py::object expression_rules,
                             py::object produce_nans, py::object chunk_size, py::object shard) {
    require_trained(self, "sample");
    SampleRequest request;
    request.count = whole_number(count, "count", 0);
    request.chunk = whole_number(chunk_size, "chunk_size", 1);
    take_shard(request, shard);
    request.seed = seed.is_none() ? global("np").attr("random").attr("default_rng")().attr(
                                        "integers")(py::int_(1LL << 32))
                                  : py::int_(whole_number(seed, "seed", 0));
    if (!df_const.is_none()) {
        check_given_constants(self, df_const, request.count);
        df_const = df_const.attr("reset_index")("drop"_a = true);
    }
    if (!lengths.is_none()) {
        py::object array = global("np").attr("asarray")(lengths);
        if (static_cast<long long>(py::len(array)) != request.count ||
            (request.count > 0 && (text(array.attr("dtype").attr("kind")) != "i" ||
                                   array.attr("min")().cast<long long>() < 1))) {
            refuse("lengths must hold one whole number of at least 1 per entity: " +
                   std::to_string(request.count) + " numbers.");
        }
        lengths = array.attr("astype")("int64");
    }
    const bool exogenous = py::len(self.attr("exog_cols")) != 0;
    if (exogenous != !df_exogenous.is_none()) {
        refuse(exogenous ? "the model has exogenous columns " + text(self.attr("exog_cols")) +
                               ": give df_exogenous, one frame of them per entity."
                         : "the model has no exogenous columns: leave df_exogenous out.");
    }
    if (exogenous && static_cast<long long>(py::len(df_exogenous)) != request.count) {
        refuse("df_exogenous must hold one frame per entity: " + std::to_string(request.count) +
               " frames.");
    }
    request.df_const = df_const;
    request.lengths = lengths;
    request.exogenous = df_exogenous;
    request.association_rules = association_rules;
    request.expression_rules = expression_rules;
    request.produce_nans = produce_nans;
    return request;
}

py::object rows_of(py::object frame, long long first, long long count) {
    return frame.attr("iloc")[py::slice(first, first + count, 1)].attr("reset_index")("drop"_a =
                                                                                          true);
}

// The caller's constants in the encodings of the transformed constant columns (float32
// arrays by column name), for every column whose transformer it gives all inputs of.
py::dict encoded_constants(py::object self, py::object given) {
    py::dict inputs;
    for (py::handle component : self.attr("df_transformer_const")) {
        bool complete = true;
        for (py::handle column : component.attr("in_columns")) {
            complete = complete && given.attr("columns").contains(column);
        }
        if (!complete) {
            continue;
        }
        py::object encoded = component.attr("transform")(given.attr("copy")());
        for (py::handle column : component.attr("out_columns")) {
            inputs[column] = encoded[column].attr("to_numpy")(
                "dtype"_a = "float32", "na_value"_a = global("np").attr("nan"));
        }
    }
    return inputs;
}

// Rows of given constants scored against every training entity at once: memory grows with
// rows x entities x outputs.
constexpr long long rows_per_pass = 64;

// A training entity's id code for each row of constants, drawn with probability proportional
// to the likelihood its decoded constants give that row (every training entity equally likely
// beforehand), then a draw from its posterior.
// A chunk's id codes and, where each was drawn from a training entity's posterior and lengths
// are to follow it, that entity's row (None otherwise).
struct IdCodes {
    py::object codes;
    py::object rows;
};

bool lengths_follow_id_codes(py::object self) {
    return truthy(self.attr("config").attr("lengths_follow_id_codes"));
}

// As `sample_id` draws them from the training entities' posteriors, keeping which entity.
IdCodes training_entity_codes(py::object codes, long long count) {
    py::object mu = codes[py::int_(0)], sigma = codes[py::int_(1)];
    py::object rows = randomness("integers")(count, py::len(mu));
    return {posterior_draw(tf("gather")(mu, rows), tf("gather")(sigma, rows)), rows};
}

IdCodes matching_id_codes(py::object self, py::object codes, py::dict inputs, long long count) {
    py::object mu = codes[py::int_(0)], sigma = codes[py::int_(1)];
    py::object y =
        tf("squeeze")(self.attr("id_linear")(self.attr("id_emission")(mu)), "axis"_a = 1);
    py::object entities = tf("shape")(y)[py::int_(0)], width = tf("shape")(y)[py::int_(1)];
    py::object group = self.attr("df_value_const");
    py::list logits;
    for (long long first = 0; first < count; first += rows_per_pass) {
        const long long rows = std::min(rows_per_pass, count - first);
        py::dict columns;
        for (auto [name, values] : inputs) {
            py::object part = tf("constant")(values[py::slice(first, first + rows, 1)]);
            columns[name] = tf("broadcast_to")(tf("reshape")(part, py::make_tuple(rows, 1)),
                                               py::make_tuple(rows, entities));
        }
        py::object y_rows =
            tf("broadcast_to")(tf("expand_dims")(y, 0), py::make_tuple(rows, entities, width));
        py::dict losses = group.attr("loss")(y_rows, columns);
        py::list terms;
        for (auto item : inputs) {
            terms.append(losses[py::str(text(item.first) + "_reconstruction_loss")]);
        }
        logits.append(tf("negative")(tf("add_n")(terms)));
    }
    py::object chosen = randomness("categorical")(tf("concat")(logits, "axis"_a = 0));
    return {posterior_draw(tf("gather")(mu, chosen), tf("gather")(sigma, chosen)), chosen};
}

// Without the training entities' codes: the id encoder's code given the constants, the id and
// the constants not given unknown.
py::object encoder_id_codes(py::object self, py::dict inputs, long long count) {
    py::object unknown = global("np").attr("full")(count, global("np").attr("nan"), "float32");
    py::dict id_inputs;
    for (py::handle name : self.attr("df_value_id")) {
        id_inputs[name] = unknown;
    }
    py::list parts;
    parts.append(self.attr("df_value_id").attr("unify_inputs")(id_inputs));
    parts.append(self.attr("df_value_const").attr("unify_inputs")(inputs));
    return encoded_id_code(self, parts);
}

// Id codes of a chunk's entities: drawn as `synthesize` draws them, or given the caller's
// constants.
IdCodes chunk_id_codes(py::object self, long long count, py::object given) {
    py::dict inputs = given.is_none() ? py::dict() : encoded_constants(self, given);
    py::object codes = py::getattr(self, "training_id_codes", none());
    const bool follow = lengths_follow_id_codes(self);
    if (py::len(inputs) == 0) {
        if (follow && !codes.is_none()) {
            return training_entity_codes(codes, count);
        }
        return {self.attr("sample_id")("bs"_a = count), none()};
    }
    if (codes.is_none()) {
        return {encoder_id_codes(self, inputs, count), none()};
    }
    IdCodes matched = matching_id_codes(self, codes, inputs, count);
    return {matched.codes, follow ? matched.rows : none()};
}

// Encoded exogenous rows of a chunk's entities, [entities, n, I].
py::object chunk_exogenous(py::object self, py::list frames, long long n) {
    py::list encoded;
    for (py::handle frame : frames) {
        py::object rows = py::reinterpret_borrow<py::object>(frame);
        require_rows(rows, "every frame of df_exogenous", py::int_(n));
        encoded.append(
            exogenous_inputs(self, rows_of(rows, 0, n), py::int_(n), max_workers_of(self)));
    }
    return tf("stack")(encoded);
}

// Each entity's number of events: the caller's, where the model draws its end flag (never
// before the first event), or drawn from the training entities' lengths: that of the training
// entity its id code came from where `id_rows` says which.
py::object chunk_lengths(py::object self, const SampleRequest& request, py::dict data,
                         py::object numbers, py::object id_rows, long long first, long long count,
                         long long n) {
    py::object np = global("np");
    if (!request.lengths.is_none()) {
        return request.lengths[py::slice(first, first + count, 1)];
    }
    py::object end = self.attr("df_value_time_series").attr("entity_end");
    if (!end.is_none() && !truthy(self.attr("config").attr("lengths_from_training"))) {
        py::object flags = data[end].attr("numpy")().attr("reshape")(count, n);
        py::object ended = flags.attr("__gt__")(0.5);
        set_item(ended, py::make_tuple(py::slice(none(), none(), none()), 0), py::bool_(false));
        py::object any = ended.attr("any")("axis"_a = 1);
        return np.attr("where")(any, ended.attr("argmax")("axis"_a = 1), n);
    }
    py::object seen = self.attr("entity_lengths");
    if (!id_rows.is_none()) {
        // One length per training entity, in the order of their kept id codes.
        return np.attr("minimum")(seen.attr("take")(id_rows.attr("numpy")()), n);
    }
    py::object share = np.attr("sort")(seen).attr("astype")("int64");
    // One uniform number per entity from its key, so that lengths too are the entity's own.
    py::object keys = randomness("entity_keys")(request.seed, numbers).attr("astype")("float64");
    py::object u = keys[py::make_tuple(py::slice(none(), none(), none()), 1)].attr("__truediv__")(
        4294967296.0);
    py::object at = u.attr("__mul__")(py::len(share)).attr("astype")("int64");
    return np.attr("minimum")(share[at], n);
}

// Sample columns drawn from their clusters, each draw seeded by the entity's number (and, for
// event columns, the event's): a constant column keeps one value through its entity.
void decode_entity_clusters(py::object self, py::object& df_synth, const SampleRequest& request,
                            py::object entity_numbers) {
    py::object id_idx = self.attr("id_idx");
    py::list steps = df_synth.attr("groupby")(entity_numbers).attr("cumcount")().attr("tolist")();
    py::list numbers = entity_numbers.attr("tolist")();
    for (py::handle column : self.attr("sample_cols")) {
        if (column.equal(id_idx)) {
            continue;
        }
        py::object cluster = self.attr("clusters")[column];
        const bool constant = self.attr("const_cols").contains(column);
        py::list codes = df_synth[column].attr("tolist")(), drawn;
        for (std::size_t row = 0; row < py::len(codes); ++row) {
            py::object seed =
                constant ? py::object(py::make_tuple(request.seed, numbers[row]))
                         : py::object(py::make_tuple(request.seed, numbers[row], steps[row]));
            drawn.append(cluster.attr("sample")(codes[row], "seed"_a = seed));
        }
        set_item(df_synth, column, drawn);
    }
}

py::object synthetic_ids(py::object numbers, long long count) {
    const int width = std::max<int>(4, static_cast<int>(std::to_string(count).size()));
    py::list ids;
    for (py::handle number : numbers) {
        std::string digits = std::to_string(number.cast<long long>() + 1);
        ids.append(py::str("synthetic-" +
                           std::string(width - std::min<int>(width, digits.size()), '0') + digits));
    }
    return ids;
}

// Trained on windows, the model generates entities as long as the longest it saw.
long long longest_generated(py::object self) {
    return truthy(self.attr("config").attr("windows"))
               ? self.attr("entity_lengths").attr("max")().cast<long long>()
               : self.attr("max_time_steps").cast<long long>();
}

// Entities `first` .. `first + count - 1` of a request, in the caller's layout with their ids.
py::object sample_chunk(py::object self, const SampleRequest& request, long long first,
                        long long count) {
    py::object np = global("np"), pd = global("pd");
    py::object numbers = np.attr("arange")(first, first + count);
    py::object keys =
        tf("constant")(randomness("entity_keys")(request.seed, numbers), "dtype"_a = tf("uint32"));
    py::object given =
        request.df_const.is_none() ? none() : rows_of(request.df_const, first, count);
    const long long n =
        request.lengths.is_none()
            ? longest_generated(self)
            : request.lengths[py::slice(first, first + count, 1)].attr("max")().cast<long long>();
    IdCodes id_codes;
    with_context(randomness("keyed")(keys), [&] {
        with_context(randomness("phase")(randomness("ID_PHASE")),
                     [&] { id_codes = chunk_id_codes(self, count, given); });
    });
    py::object z_id = id_codes.codes;
    py::object frames = request.exogenous.is_none()
                            ? none()
                            : py::object(request.exogenous[py::slice(first, first + count, 1)]);
    py::object x_exog = frames.is_none() ? none() : chunk_exogenous(self, py::list(frames), n);
    py::object rules = request.association_rules;
    auto generated = unpack(self.attr("sample_steps")(n, z_id, keys, x_exog, rules), 2);
    const bool eager = truthy(rules);
    py::dict data = compiled_method(self, decoding_function, "_compiled_decoding", eager)(
        generated[1], z_id, eager ? rules : none(), keys);

    py::object lengths =
        chunk_lengths(self, request, data, numbers, id_codes.rows, first, count, n);
    py::object entity_of_row = np.attr("repeat")(np.attr("arange")(count), lengths);
    py::object kept = np.attr("less")(np.attr("arange")(n).attr("reshape")(1, n),
                                      lengths.attr("reshape")(count, 1))
                          .attr("ravel")();
    py::object max_workers = max_workers_of(self);
    py::object ts_transformer = self.attr("df_transformer_time_series");
    py::object steps = decoded_frame(data, ts_transformer.attr("out_columns"));
    py::object df_synth = ts_transformer.attr("inverse_transform")(
        steps[kept].attr("reset_index")("drop"_a = true), "produce_nans"_a = request.produce_nans,
        "max_workers"_a = max_workers);
    py::object constants = self.attr("df_transformer_const")
                               .attr("inverse_transform")(
                                   decoded_frame(data, self.attr("df_value_const").attr("_values")),
                                   "max_workers"_a = max_workers);
    if (!given.is_none()) {
        for (py::handle column : given.attr("columns")) {
            set_item(constants, column, given[column].attr("to_numpy")());
        }
    }
    df_synth = df_synth.attr("assign")(
        **py::dict(constants.attr("take")(entity_of_row).attr("reset_index")("drop"_a = true)));
    if (!frames.is_none()) {
        py::list rows, entity_frames(frames);
        py::list length_list = lengths.attr("tolist")();
        for (std::size_t i = 0; i < py::len(length_list); ++i) {
            rows.append(rows_of(entity_frames[i], 0, length_list[i].cast<long long>()));
        }
        df_synth =
            df_synth.attr("assign")(**py::dict(pd.attr("concat")(rows, "ignore_index"_a = true)));
    }
    rebuild_times(self, df_synth, entity_of_row);
    restore_time_dtype(self, df_synth);
    py::object entity_numbers = numbers.attr("take")(entity_of_row);
    decode_entity_clusters(self, df_synth, request, entity_numbers);
    set_item(df_synth, self.attr("id_idx"),
             pd.attr("Series")(synthetic_ids(numbers, request.count))
                 .attr("take")(entity_of_row)
                 .attr("to_numpy")());
    df_synth = df_synth[output_columns(self, py::str("synthetic"))];
    restore_integer_dtypes(self, df_synth);
    if (!request.expression_rules.is_none()) {
        for (py::handle rule : request.expression_rules) {
            df_synth = rule.attr("apply")(df_synth);
        }
    }
    return df_synth;
}

// The request's entities, drawn chunk by chunk as they are asked for.
py::object chunks_of(py::object self, const SampleRequest& request) {
    py::cpp_function draw_chunk([self, request](long long first) {
        return sample_chunk(self, request, first, std::min(request.chunk, request.end - first));
    });
    return builtin("map")(draw_chunk, builtin("range")(request.begin, request.end, request.chunk));
}

py::object sample_chunks(py::object self, py::object count, py::object seed, py::object df_const,
                         py::object lengths, py::object df_exogenous, py::object association_rules,
                         py::object expression_rules, py::object produce_nans,
                         py::object chunk_size, py::object shard) {
    return chunks_of(
        self, sample_request(self, count, seed, df_const, lengths, df_exogenous, association_rules,
                             expression_rules, produce_nans, chunk_size, shard));
}

// An empty frame in the output layout, each column of the dtype a sampled one has: the
// caller's, but text for the synthetic ids; so that it joins other samples unchanged.
py::object no_entities(py::object self) {
    py::object pd = global("pd");
    py::object dtypes = self.attr("_column_dtypes");
    py::dict columns;
    for (py::handle column : output_columns(self, py::str("synthetic"))) {
        py::object dtype = column.equal(self.attr("id_idx")) ? py::object(py::str("str"))
                                                             : py::object(dtypes[column]);
        columns[column] = pd.attr("Series")("dtype"_a = dtype);
    }
    return pd.attr("DataFrame")(columns);
}

py::object sample(py::object self, py::object count, py::object seed, py::object df_const,
                  py::object lengths, py::object df_exogenous, py::object association_rules,
                  py::object expression_rules, py::object produce_nans, py::object chunk_size,
                  py::object shard, py::object progress) {
    SampleRequest request =
        sample_request(self, count, seed, df_const, lengths, df_exogenous, association_rules,
                       expression_rules, produce_nans, chunk_size, shard);
    py::object chunks = chunks_of(self, request);
    py::object bar = import_module("tqdm").attr("tqdm")(
        "total"_a = request.end - request.begin, "unit"_a = "entities", "desc"_a = "Sampling",
        "disable"_a = !truthy(progress));
    py::list frames;
    for (py::handle frame : chunks) {
        frames.append(frame);
        bar.attr("update")(frame[self.attr("id_idx")].attr("nunique")());
    }
    bar.attr("close")();
    if (py::len(frames) == 0) {
        return no_entities(self);
    }
    return global("pd").attr("concat")(frames, "ignore_index"_a = true);
}

void save(py::object self, py::object path) {
    import_module("velora.saving.model_file").attr("save")(self, path);
}

py::object load(py::object cls, py::object path) {
    return import_module("velora.saving.model_file").attr("load")(cls, path);
}

constexpr const char* preprocess_doc = R"(The event table as `max_time_steps` rows per entity.

Parameters
----------
df : pd.DataFrame
    The events, one row each, in the layout the model was built from.
max_time_steps : int, optional
    Steps per entity (per window with `config.windows`), fewer when every entity is shorter;
    the model's own when None.
chunk : bool
    `df` holds whole entities of a larger table, whose sample fitted the clusters: they are
    kept, and every entity gets exactly `max_time_steps` steps, so that chunks line up.

Returns
-------
pd.DataFrame
    Indexed by id and step (id, window and step with `config.windows`), with the start time
    and the gaps between events in place of the time column.
)";

constexpr const char* synthesizer_doc =
    R"(A Synthesizer for irregular time-series/event based data, utilising the DeepStateSpaceModel

Args:
    df: the data frame with the time-series data.
    id_idx: the column or index that tells entities apart (at least a nominal type).
    time_idx: the column or index with the time steps (at least an affine type).
    event_cols: the columns of the events.
    const_cols: the columns constant within an entity.
    exog_cols: the exogenous columns; all of them must be supplied during training and
        synthesis.
    config: the model configuration.

`synthesize(n)` generates at most `n` events: with `config.learn_entity_end` the entity ends
where the model draws its end, unless `config.stop_at_entity_end` is False, which gives
exactly `n`.
)";

constexpr const char* synthesize_doc = R"(Generate one entity of at most `n` events.

Parameters
----------
n : int
    Events to generate. With `config.learn_entity_end` the entity ends where the model draws
    its end (at least one event), unless `config.stop_at_entity_end` is False.
produce_nans : bool
    Decode values the model marks missing as missing; False gives every value.
id : optional
    The id the entity gets; drawn when None. A given id needs `df_const`.
df_const : pd.DataFrame, optional
    One row of the entity's constants and its first time as `<time>_0`, in the layout
    `preprocess_df` gives.
df_time_series : pd.DataFrame, optional
    Events the entity has had so far, which the model reads before generating.
df_exogenous : pd.DataFrame, optional
    The exogenous columns, one row per event at least; required when the model has them.
association_rules : list of Association, optional
    Columns whose values are drawn jointly from the combinations a rule allows.
expression_rules : list of Expression, optional
    Columns computed from others after generation.
df_overwrite : pd.DataFrame, optional
    Values imposed on the generated events, one row per event at least.

Returns
-------
pd.DataFrame
    The entity's events in the training table's columns and order.
)";

constexpr const char* sample_doc = R"(Draw `count` whole entities, chunk by chunk, as one frame.

Parameters
----------
count : int
    Entities to draw, at least 0 (0 gives an empty frame with the output columns).
seed : int, optional
    Each entity's draws derive from the seed and its number alone, so the same seed gives the
    same table whatever the chunk size. Drawn at random when None.
df_const : pd.DataFrame, optional
    One row per entity of constant columns; each entity is drawn given its row, and keeps it.
lengths : sequence of int, optional
    Events of each entity. By default the model's end flag ends an entity where it has one;
    otherwise lengths are drawn from those of the training entities.
df_exogenous : sequence of pd.DataFrame, optional
    One frame per entity of the exogenous columns, one row per event at least.
association_rules, expression_rules : optional
    As for `synthesize`.
chunk_size : int
    Entities generated together; it bounds the memory a chunk takes.
shard : (int, int), optional
    `(index, shards)`: draw only shard `index` of `shards` shares of the `count` entities,
    each share whole chunks, each entity with the id and the draws it has in the whole, so
    that the shards together make the table of one call with the same chunk size
    (`velora.distributed.sample` runs them on Ray). A shard beyond the chunks is empty.
    Per-entity arguments (`df_const`, `lengths`, `df_exogenous`) still cover all `count`
    entities.
progress : bool
    Show a progress bar.

Returns
-------
pd.DataFrame
    The entities in the training table's layout, ids "synthetic-0001", "synthetic-0002", ...
)";

constexpr const char* sample_chunks_doc =
    R"(The entities `sample` draws, one frame per chunk, for tables too large to hold at once.

Takes the parameters of `sample` but `progress`.

Returns
-------
Iterator[pd.DataFrame]
    One frame per chunk of `chunk_size` entities, their ids numbered across the chunks.
)";

constexpr const char* save_doc = R"(Save the trained model to one file, written atomically.

Parameters
----------
path : str or os.PathLike
    The file; its format is described under "Saved models" in the documentation.

Raises
------
TransformerNotFitError
    Before `learn`.
)";

constexpr const char* load_doc = R"(The synthesizer saved to a file by `save`.

Parameters
----------
path : str or os.PathLike
    The model file.

Returns
-------
EventSynthesizer
    The model, ready to sample exactly what the saved one did with the same seed.

Raises
------
ModelFileError
    A ValueError naming the file and the problem, when it cannot be read.
)";

// Everything after `count` is keyword-only: the options are many and all optional.
std::vector<Param> sample_parameters(bool with_progress) {
    auto optional = [](const char* name, const char* annotation) {
        return kwonly(name, annotation) = none();
    };
    std::vector<Param> parameters{self,
                                  arg("count", "int"),
                                  optional("seed", "Optional[int]"),
                                  optional("df_const", "Optional[pd.DataFrame]"),
                                  optional("lengths", "Optional[Sequence[int]]"),
                                  optional("df_exogenous", "Optional[Sequence[pd.DataFrame]]"),
                                  optional("association_rules", "Optional[List[Association]]"),
                                  optional("expression_rules", "Optional[List[Expression]]"),
                                  kwonly("produce_nans", "bool") = py::bool_(true),
                                  kwonly("chunk_size", "int") = py::int_(1024),
                                  optional("shard", "Optional[Tuple[int, int]]")};
    if (with_progress) {
        parameters.push_back(kwonly("progress", "bool") = py::bool_(false));
    }
    return parameters;
}

void define_event_synthesizer(py::module_& m) {
    decoding_function =
        module_function(m, "EventSynthesizer._decoded_outputs",
                        {self, arg("y"), arg("z_id"), arg("association_rules"), arg("keys")},
                        "Dict[str, tf.Tensor]", decoded_outputs)
            .release();
    auto optional = [](const char* name, const char* annotation) {
        return arg(name, annotation) = none();
    };
    EventSynthesizer =
        ClassBuilder(m, "EventSynthesizer", py::make_tuple(global("DeepStateSpaceModel")),
                     synthesizer_doc)
            .method("__init__",
                    {self, arg("df"), str_arg("id_idx"), str_arg("time_idx"),
                     arg("event_cols", "List[str]"), arg("const_cols", "List[str]") = py::list(),
                     arg("exog_cols", "List[str]") = py::list(),
                     arg("sample_cols", "List[str]") = py::list(),
                     optional("config", "DeepStateConfig")},
                    "None", init)
            .method("preprocess_df",
                    {self, arg("df", "pd.DataFrame"), optional("max_time_steps", "Optional[int]"),
                     arg("chunk", "bool") = py::bool_(false)},
                    "pd.DataFrame", preprocess_df, preprocess_doc)
            .method("_split_df_model", {self, arg("df_model", "DataFrameModel")}, "",
                    split_df_model)
            .method(
                "synthesize",
                {self, arg("n", "int"), arg("produce_nans", "bool") = py::bool_(true),
                 optional("id", "Optional[Any]"), optional("df_const", "Optional[pd.DataFrame]"),
                 optional("df_time_series", "Optional[pd.DataFrame]"),
                 optional("df_exogenous", "Optional[pd.DataFrame]"),
                 optional("association_rules", "Optional[List[Association]]"),
                 optional("expression_rules", "Optional[List[Expression]]"),
                 optional("df_overwrite", "Optional[pd.DataFrame]")},
                "", synthesize, synthesize_doc)
            .method("sample", sample_parameters(true), "pd.DataFrame", sample, sample_doc)
            .method("sample_chunks", sample_parameters(false), "Iterator[pd.DataFrame]",
                    sample_chunks, sample_chunks_doc)
            .method("save", {self, arg("path", "str | os.PathLike")}, "None", save, save_doc)
            .classmethod("load", {cls_param, arg("path", "str | os.PathLike")},
                         "'EventSynthesizer'", load, load_doc)
            .finish()
            .release();
}

}  // namespace

VELORA_MODULE(episode_forge, m) {
    global.bind(m);
    m.attr("__doc__") = "Synthesis of irregular event sequences: `EventSynthesizer`.";
    from_import(m, "typing", {"Any", "List", "Optional"});
    import_as(m, "numpy", "np");
    import_as(m, "pandas", "pd");
    import_as(m, "tensorflow", "tf");
    from_import(m, "..common.rules", {"Association", "Expression"});
    from_import(m, "..config", {"DeepStateConfig"});
    from_import(m, "..metadata", {"DataFrameMeta"});
    from_import(m, "..model", {"DataFrameModel"});
    from_import(m, ".latent_dynamics", {"DeepStateSpaceModel"});
    define_event_synthesizer(m);
    m.attr("__test__") = py::dict();
}
