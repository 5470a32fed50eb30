// `DeepStateSpaceModel`, the recurrent deep state-space model of whole entities, and `Cluster`,
// the value clustering of its sample columns.
#include "native.hpp"

#include <cstdint>
#include <string>

namespace {

using namespace velora::native;
using namespace pybind11::literals;

Globals global;
// The model class itself, for `super()`, which binds the defining class.
py::handle DeepStateSpaceModel;

py::object tf(const char* attribute) { return global("tf").attr(attribute); }
int size_of(py::handle value_group, const char* which) {
    return value_group.attr(which)().cast<int>();
}
// Plain data kept on the Keras model as it is: Keras would wrap lists and dicts in tracked
// copies, and only layers and variables need tracking.
void keep(py::handle self, const char* name, py::handle value) {
    builtin("object").attr("__setattr__")(self, name, value);
}

// --- construction ---------------------------------------------------------------------------

py::list clustering_features(py::object df) {
    py::object float_columns = df.attr("dtypes").attr("__eq__")("float64");
    py::object complete = df.attr("isna")().attr("any")().attr("__invert__")();
    return py::list(df.attr("columns")[float_columns.attr("__and__")(complete)]);
}

// Rows per entity of a preprocessed frame: every entity has the same number.
// Entities (or their windows) are counted by the levels of an (id, [window,] step) index
// before the step where there is one: the id column itself may hold cluster codes, which
// several entities share.
py::object steps_per_entity(py::object df_post, py::object id_idx) {
    py::object index = df_post.attr("index");
    py::object ids = index.attr("nlevels").cast<int>() > 1 ? index.attr("droplevel")(-1)
                                                           : py::object(df_post[id_idx]);
    py::object sizes = ids.attr("value_counts")();
    if (py::len(sizes) == 0) {
        raise(PyExc_ValueError, "The preprocessed frame holds no entity.");
    }
    return sizes.attr("max")();
}

void build_value_groups(py::object self, py::object config) {
    py::object factory_config = config.attr("value_factory_config");
    auto extract = [&](const char* part) {
        return global("ValueExtractor")
            .attr("extract")("df_meta"_a = self.attr(part), "config"_a = factory_config);
    };
    self.attr("df_value_id") = extract("df_model_id");
    self.attr("df_value_const") = extract("df_model_const");
    factory_config.attr("dates_as_continuous") = true;
    self.attr("df_value_time_series") = extract("df_model_time_series");
    if (truthy(config.attr("learn_entity_end"))) {
        self.attr("df_value_time_series").attr("track_entity_end")();
    }
    self.attr("df_value_exog") = extract("df_model_exog");
}

constexpr const char* transformer_parts[] = {"df_transformer_id", "df_transformer_const",
                                             "df_transformer_time_series", "df_transformer_exog"};

// The transformers of the four parts, built from their models, or the `fitted` ones of a
// saved model (a dict by attribute name).
void build_transformers(py::object self, py::object config, py::object fitted) {
    py::object transformer_config = config.attr("meta_transformer_config");
    auto from_meta = [&](const char* part) {
        return global("DataFrameTransformer")
            .attr("from_meta")(self.attr(part), "config"_a = transformer_config);
    };
    if (fitted.is_none()) {
        keep(self, "df_transformer_id", from_meta("df_model_id"));
        keep(self, "df_transformer_const", from_meta("df_model_const"));
        transformer_config.attr("continuous_only_dates") = true;
        keep(self, "df_transformer_time_series", from_meta("df_model_time_series"));
        keep(self, "df_transformer_exog", from_meta("df_model_exog"));
    } else {
        for (const char* part : transformer_parts) {
            keep(self, part, fitted[part]);
        }
    }
    py::object combined =
        self.attr("df_transformer_id").attr("__add__")(self.attr("df_transformer_const"));
    combined = combined.attr("__add__")(self.attr("df_transformer_time_series"));
    keep(self, "df_transformer", combined.attr("__add__")(self.attr("df_transformer_exog")));
}

// The bidirectional inference LSTM emits 2 * (H // 2) features, which its Gaussian head reads.
int inference_width(int capacity) { return 2 * (capacity / 2); }

bool emission_reads_state(py::handle self) {
    return truthy(self.attr("config").attr("emission_reads_state"));
}
// The emission reads the latent state, and the transition's recurrent state when configured.
int emission_width(py::handle self) {
    const int L = self.attr("latent_size").cast<int>();
    return emission_reads_state(self) ? L + self.attr("capacity").cast<int>() : L;
}

void build_networks(py::object self) {
    const py::object L = self.attr("latent_size");
    const int H = self.attr("capacity").cast<int>();
    py::handle dense = global("DenseTransformation"), gaussian = global("GaussianEncoder");
    self.attr("initial_network") =
        dense("name"_a = "id_init", "input_size"_a = L, "output_size"_a = H, "batch_norm"_a = false,
              "activation"_a = "none");
    self.attr("initial_network2") =
        dense("name"_a = "id_init2", "input_size"_a = L, "output_size"_a = H,
              "batch_norm"_a = false, "activation"_a = "none");
    const int id_inputs = size_of(self.attr("df_value_id"), "learned_input_size") +
                          size_of(self.attr("df_value_const"), "learned_input_size");
    self.attr("id_encoder") = gaussian("name"_a = "id_encoder", "input_size"_a = id_inputs,
                                       "output_size"_a = L, "capacity"_a = H, "num_layers"_a = 1);
    self.attr("id_emission") = global("ResnetTransformation")(
        "name"_a = "id_emission", "input_size"_a = L, "layer_sizes"_a = py::make_tuple(H, H),
        "batch_norm"_a = false, "depths"_a = 2, "activation"_a = "relu");
    self.attr("id_linear") =
        dense("name"_a = "id_linear", "input_size"_a = H,
              "output_size"_a = size_of(self.attr("df_value_const"), "learned_output_size"),
              "batch_norm"_a = false, "activation"_a = "none");
    self.attr("emission_network") = gaussian(
        "input_size"_a = emission_width(self),
        "output_size"_a = size_of(self.attr("df_value_time_series"), "learned_output_size"),
        "capacity"_a = H, "num_layers"_a = 1, "name"_a = "emission");
    py::object layers = tf("keras").attr("layers");
    self.attr("transition_rnn") =
        layers.attr("LSTM")("units"_a = H, "return_sequences"_a = true, "return_state"_a = true);
    self.attr("transition_network") =
        gaussian("input_size"_a = H, "output_size"_a = L, "capacity"_a = H, "num_layers"_a = 1,
                 "name"_a = "transition");
    self.attr("inference_rnn") = layers.attr("Bidirectional")(
        layers.attr("LSTM")("units"_a = H / 2, "return_sequences"_a = true));
    self.attr("inference_network") =
        gaussian("input_size"_a = inference_width(H), "output_size"_a = L, "capacity"_a = H,
                 "num_layers"_a = 1, "name"_a = "inference");
}

void configure(py::object self, py::object config) {
    self.attr("capacity") = config.attr("capacity");
    self.attr("dropout_rate") = config.attr("dropout_rate");
    self.attr("latent_size") = config.attr("latent_size");
    self.attr("bs") = config.attr("batch_size");
    keep(self, "l2",
         tf("keras").attr("regularizers").attr("l2")(config.attr("regularization_weight")));
}

// Everything built from the value models: the four parts, their value groups, transformers
// and networks, and the optimizer.
void assemble(py::object self, py::object config, py::object fitted_transformers) {
    auto parts = unpack(self.attr("_split_df_model")(self.attr("df_model")), 4);
    keep(self, "df_model_id", parts[0]);
    keep(self, "df_model_const", parts[1]);
    keep(self, "df_model_time_series", parts[2]);
    keep(self, "df_model_exog", parts[3]);
    build_value_groups(self, config);
    build_transformers(self, config, fitted_transformers);
    build_networks(self);
    self.attr("built") = false;
    self.attr("optimizer") =
        global("Optimizers")
            .attr("optimizer")("adam")("learning_rate"_a = config.attr("learning_rate"),
                                       "clipnorm"_a = config.attr("clipnorm"));
}

void init(py::object self, py::object df, py::object id_idx, py::object time_idx,
          py::object event_cols, py::object const_cols, py::object exog_cols,
          py::object sample_cols, py::object config) {
    super(DeepStateSpaceModel, self).attr("__init__")("name"_a = "latent_dynamics_model");
    if (!truthy(config)) {
        config = global("DeepStateConfig")();
    }
    keep(self, "config", config);
    keep(self, "sample_cols", sample_cols);
    py::list features = clustering_features(df);
    py::dict clusters;
    for (py::handle name : sample_cols) {
        clusters[name] =
            global("Cluster")(name, "features"_a = features, "codes"_a = config.attr("codes"));
    }
    keep(self, "clusters", clusters);
    configure(self, config);
    keep(self, "id_idx", id_idx);
    keep(self, "time_idx", time_idx);
    keep(self, "const_cols", const_cols);
    keep(self, "event_cols", event_cols);
    keep(self, "exog_cols", exog_cols);

    py::object df_post =
        self.attr("preprocess_df")(df, "max_time_steps"_a = config.attr("max_time_steps"));
    keep(self, "df_meta",
         global("MetaExtractor")
             .attr("extract")(df_post, "config"_a = config.attr("meta_factory_config")));
    py::object factory = global("ModelFactory")("config"_a = config.attr("model_builder_config"));
    keep(self, "df_model", factory(self.attr("df_meta")).attr("fit")(df_post));
    // Training cuts the transformed frame into rows of `max_time_steps`, so it must be the
    // number of steps preprocessing gave each entity (fewer when every entity is shorter).
    self.attr("max_time_steps") = steps_per_entity(df_post, id_idx);
    // Building sets two flags of the nested configurations in place; a saved model keeps
    // them as given, so that loading it builds the same parts again.
    keep(self, "nested_flags_as_given",
         py::make_tuple(config.attr("value_factory_config").attr("dates_as_continuous"),
                        config.attr("meta_transformer_config").attr("continuous_only_dates")));
    assemble(self, config, none());
}

// A saved model: its kept attributes (the configuration, the column roles, the metas and
// value models, the clusters) and its fitted transformers; the networks are built unfitted,
// for the caller to set their weights.
py::object restore(py::object cls, py::dict kept, py::dict fitted_transformers) {
    py::object self = cls.attr("__new__")(cls);
    super(DeepStateSpaceModel, self).attr("__init__")("name"_a = "latent_dynamics_model");
    for (auto [name, value] : kept) {
        keep(self, text(name).c_str(), value);
    }
    py::object config = self.attr("config");
    configure(self, config);
    assemble(self, config, fitted_transformers);
    return self;
}

// --- build ----------------------------------------------------------------------------------

// Keras 3 refuses to build a layer twice, and `learn` builds the model on every call: a layer
// built before keeps its weights.
void build_once(py::object layer, py::object shape) {
    if (!truthy(layer.attr("built"))) {
        layer.attr("build")(shape);
    }
}

void build(py::object self, py::object input_shape) {
    self.attr("bs") = input_shape[py::int_(0)];
    build_once(self.attr("df_value_time_series"), input_shape);
    py::object name_scope = tf("name_scope");
    const py::object L = self.attr("latent_size");
    const int H = self.attr("capacity").cast<int>();
    const int I_ts = size_of(self.attr("df_value_time_series"), "learned_input_size");
    const int I_ex = size_of(self.attr("df_value_exog"), "learned_input_size");
    const int transition_inputs = I_ts + L.cast<int>() + I_ex;
    auto scoped = [&](const char* scope, auto&& work) { with_context(name_scope(scope), work); };
    scoped("emission",
           [&] { build_once(self.attr("emission_network"), py::int_(emission_width(self))); });
    // Keras 3 recurrent layers name their shape argument `sequences_shape`: it goes by position.
    scoped("transition", [&] {
        build_once(self.attr("transition_rnn"), py::make_tuple(none(), none(), transition_inputs));
        build_once(self.attr("transition_network"), py::int_(H));
    });
    scoped("inference", [&] {
        build_once(self.attr("inference_rnn"),
                   py::make_tuple(none(), none(), transition_inputs + H));
        build_once(self.attr("inference_network"), py::int_(inference_width(H)));
    });
    scoped("init", [&] {
        build_once(self.attr("df_value_id"), none());
        build_once(self.attr("df_value_const"), none());
        build_once(self.attr("initial_network"), py::make_tuple(none(), L));
        build_once(self.attr("initial_network2"), py::make_tuple(none(), L));
        // Keras 3 builds a model with unbuilt layers by calling it, which this model cannot
        // be called for; so the id networks are built here rather than on first use.
        build_once(self.attr("id_encoder"),
                   py::int_(size_of(self.attr("df_value_id"), "learned_input_size") +
                            size_of(self.attr("df_value_const"), "learned_input_size")));
        build_once(self.attr("id_emission"), L);
        build_once(self.attr("id_linear"), py::int_(H));
    });
    // The exogenous values build on first use, but under a strategy Keras wants every layer
    // built before training; built any earlier, their weights would draw other initial values.
    if (I_ex == 0 || truthy(tf("distribute").attr("has_strategy")())) {
        build_once(self.attr("df_value_exog"), none());
    }
    self.attr("built") = true;
}

// --- generation -----------------------------------------------------------------------------

py::list get_initial_state(py::object self, py::object input_dict) {
    py::object x = self.attr("df_value_id").attr("unify_inputs")(input_dict);
    py::list state;
    state.append(self.attr("initial_network")(x));
    state.append(self.attr("initial_network2")(x));
    return state;
}

// Imported on first use: the module's own names are exactly those it was built with.
py::object randomness(const char* attribute) {
    return import_module("velora.common.randomness").attr(attribute);
}

py::object standard_normal(py::object shape) { return randomness("normal")(shape); }

// mean + noise * std, the reparameterised draw every sampling step uses.
py::object draw(py::object mean, py::object std) {
    return mean.attr("__add__")(standard_normal(tf("shape")(std)).attr("__mul__")(std));
}

// With the id codes of the training entities kept, a random code is drawn from the posterior
// of a training entity chosen at random, the distribution the id networks were trained on,
// rather than from the prior, which the id posteriors cover only roughly.
py::object sample_id(py::object self, py::object bs) {
    py::object codes = py::getattr(self, "training_id_codes", none());
    if (codes.is_none()) {
        return standard_normal(py::make_tuple(bs, 1, self.attr("latent_size")));
    }
    py::object mu = codes[py::int_(0)], sigma = codes[py::int_(1)];
    py::object rows = randomness("integers")(bs, py::len(mu));
    return draw(tf("gather")(mu, rows), tf("gather")(sigma, rows));
}

py::object draw_from(py::object network, py::object input) {
    auto moments = unpack(network(input), 2);
    return draw(moments[0], moments[1]);
}

py::object ones(py::object shape) { return tf("ones")("shape"_a = shape); }

py::object concat(py::list parts, int axis) { return tf("concat")(parts, "axis"_a = axis); }

// An output drawn from the emission at latent state z, beside recurrent state h when the
// emission reads it.
py::object emit(py::object self, py::object z, py::object h) {
    if (!emission_reads_state(self)) {
        return draw_from(self.attr("emission_network"), z);
    }
    py::list parts;
    parts.append(z);
    parts.append(h);
    return draw_from(self.attr("emission_network"), concat(parts, -1));
}

// Encoded output of one step, the id code and the exogenous row ([entities, steps, I]
// inputs): one step's recurrent input.
py::object step_input(py::object x_t, py::object z_id, py::object x_exog, py::object row) {
    py::list parts;
    parts.append(x_t);
    parts.append(z_id);
    if (!x_exog.is_none()) {
        py::slice all(none(), none(), none());
        parts.append(
            x_exog[py::make_tuple(all, py::slice(row, row.attr("__add__")(1), none()), all)]);
    }
    return concat(parts, -1);
}

// One generated step decoded: the recurrent input it feeds back, and the output it returns.
struct DecodedStep {
    py::object input, output;
};

// Decoding samples (categories, flags, numbers), so decoding a step's emission twice gives two
// different events. When configured, the step returns the very event it fed back, in output
// layout and certain, so that decoding the returned outputs again gives that event.
DecodedStep decode_step(py::object self, py::object y_t, py::object association_rules) {
    py::object group = self.attr("df_value_time_series");
    py::object decoded =
        group.attr("output_tensors")(y_t, "association_rules"_a = association_rules);
    py::object input = tf("expand_dims")(group.attr("unify_inputs")(decoded), 1);
    if (!truthy(self.attr("config").attr("outputs_as_fed_back"))) {
        return {input, y_t};
    }
    return {input, tf("reshape")(group.attr("pass_inputs_to_y")(decoded), tf("shape")(y_t))};
}

// One recurrent step: the LSTM's output and its two states.
struct Recurrence {
    py::object h_t, state1, state2;

    void advance(py::object rnn, py::object x_t) {
        auto out = unpack(rnn(x_t, "initial_state"_a = py::make_tuple(state1, state2)), 3);
        h_t = out[0], state1 = out[1], state2 = out[2];
    }
};

// The generation steps as one `tf.while_loop`, so that a compiled call runs them as a graph;
// called eagerly, the loop runs step by step in Python.
py::tuple generation_loop(py::object self, py::object n, py::object h_t, py::object state1,
                          py::object state2, py::object z_id, py::object x_exog,
                          py::object x_overwrite, py::object mask, py::object association_rules) {
    py::object tensor_array = tf("TensorArray");
    auto steps = [&] { return tensor_array(tf("float32"), "size"_a = n); };
    py::cpp_function body([=](py::object t, py::object h, py::object s1, py::object s2,
                              py::object z_steps, py::object y_steps) {
        py::object z_t;
        DecodedStep step;
        with_context(randomness("phase")(t.attr("__add__")(1)), [&] {
            z_t = draw_from(self.attr("transition_network"), h);
            py::object y_t = emit(self, z_t, h);
            if (!x_overwrite.is_none()) {
                py::object given = tf("expand_dims")(
                    x_overwrite[py::slice(t, t.attr("__add__")(1), py::none())], 1);
                y_t = tf("where")("condition"_a = mask, "x"_a = given, "y"_a = y_t);
            }
            step = decode_step(self, y_t, association_rules);
        });
        Recurrence state{h, s1, s2};
        state.advance(self.attr("transition_rnn"), step_input(step.input, z_id, x_exog, t));
        return py::make_tuple(t.attr("__add__")(1), state.h_t, state.state1, state.state2,
                              z_steps.attr("write")(t, z_t), y_steps.attr("write")(t, step.output));
    });
    py::cpp_function more([n](py::args loop_vars) { return loop_vars[0].attr("__lt__")(n); });
    py::tuple done = tf("while_loop")(
        more, body, py::make_tuple(tf("constant")(0), h_t, state1, state2, steps(), steps()));
    // Steps are [entities, 1, width] each; the result is [entities, steps, width].
    auto stacked = [&](py::object step_array, py::object width) {
        py::object steps = tf("reshape")(step_array.attr("stack")(), py::make_tuple(n, -1, width));
        return tf("transpose")(steps, py::make_tuple(1, 0, 2));
    };
    const int O = size_of(self.attr("df_value_time_series"), "learned_output_size");
    return py::make_tuple(stacked(done[4], self.attr("latent_size")),
                          stacked(done[5], py::int_(O)));
}

py::handle generation_function, fresh_generation_function;

Recurrence initial_recurrence(py::object self, py::object z_id) {
    py::object squeeze = tf("squeeze");
    return {py::object(), squeeze(self.attr("initial_network")(z_id), "axis"_a = 1),
            squeeze(self.attr("initial_network2")(z_id), "axis"_a = 1)};
}

// Without history, the first step's input is an output emitted from the id code itself.
py::tuple fresh_steps(py::object self, py::object n, py::object z_id, py::object x_exog,
                      py::object x_overwrite, py::object mask, py::object association_rules) {
    Recurrence state = initial_recurrence(self, z_id);
    // The first recurrent state is the initial network's output, which the emission reads.
    py::object first_input;
    with_context(randomness("phase")(0), [&] {
        py::object y_0 = emit(self, z_id, tf("expand_dims")(state.state1, 1));
        first_input = decode_step(self, y_0, association_rules).input;
    });
    state.advance(self.attr("transition_rnn"), step_input(first_input, z_id, x_exog, py::int_(0)));
    return generation_loop(self, n, state.h_t, state.state1, state.state2, z_id, x_exog,
                           x_overwrite, mask, association_rules);
}

// With `keys` ([entities, 2] uint32), every entity's draws are its own (see `randomness`).
py::tuple fresh_generation(py::object self, py::object n, py::object z_id, py::object x_exog,
                           py::object x_overwrite, py::object mask, py::object association_rules,
                           py::object keys) {
    if (keys.is_none()) {
        return fresh_steps(self, n, z_id, x_exog, x_overwrite, mask, association_rules);
    }
    py::tuple steps;
    with_context(randomness("keyed")(keys), [&] {
        steps = fresh_steps(self, n, z_id, x_exog, x_overwrite, mask, association_rules);
    });
    return steps;
}

// An exogenous frame of one entity ([steps, I]) as a batch of one ([1, steps, I]).
py::object as_batch(py::object x_exog) {
    if (x_exog.is_none() || py::len(tf("shape")(x_exog)) != 2) {
        return x_exog;
    }
    return tf("expand_dims")(x_exog, 0);
}

py::tuple transition_loop(py::object self, py::object n, py::object z_id, py::object x_exog,
                          py::object x_time_series, py::object association_rules,
                          py::object x_overwrite, py::object mask) {
    const py::object L = self.attr("latent_size");
    if (n.cast<int>() <= 0) {
        const int O = size_of(self.attr("df_value_time_series"), "learned_output_size");
        return py::make_tuple(tf("zeros")(py::make_tuple(1, 0, L)),
                              tf("zeros")(py::make_tuple(1, 0, O)));
    }
    py::object steps = tf("constant")(n, "dtype"_a = tf("int32"));
    // Association rules are plain Python objects a graph cannot take as inputs.
    const bool eager = truthy(association_rules);
    py::object rules = eager ? association_rules : none();
    x_exog = as_batch(x_exog);
    if (x_time_series.is_none()) {
        return compiled_method(self, fresh_generation_function, "_compiled_fresh_generation",
                               eager)(steps, z_id, x_exog, x_overwrite, mask, rules, none());
    }
    Recurrence state = initial_recurrence(self, z_id);
    const auto rows = static_cast<long>(py::len(x_time_series));
    for (long t = 0; t < rows; ++t) {
        py::object row = x_time_series[py::slice(t, t + 1, 1)];
        state.advance(self.attr("transition_rnn"),
                      step_input(tf("expand_dims")(row, 1), z_id, x_exog, py::int_(t)));
    }
    if (!state.h_t) {
        raise(PyExc_ValueError, "x_time_series must hold at least one row of history.");
    }
    return compiled_method(self, generation_function, "_compiled_generation", eager)(
        steps, state.h_t, state.state1, state.state2, z_id, x_exog, x_overwrite, mask, rules);
}

// Steps of many entities at once, each drawn from its own key.
py::tuple sample_steps(py::object self, py::object n, py::object z_id, py::object keys,
                       py::object x_exog, py::object association_rules) {
    const bool eager = truthy(association_rules);
    return compiled_method(self, fresh_generation_function, "_compiled_fresh_generation", eager)(
        tf("constant")(n, "dtype"_a = tf("int32")), z_id, x_exog, none(), none(),
        eager ? association_rules : none(), tf("constant")(keys, "dtype"_a = tf("uint32")));
}

// --- losses ---------------------------------------------------------------------------------

py::object diagonal_normal_kl_divergence(py::object mu_1, py::object stddev_1, py::object mu_2,
                                         py::object stddev_2) {
    py::object square = tf("square");
    py::object cov_1 = square(stddev_1), cov_2 = square(stddev_2);
    py::object difference = square(tf("subtract")(mu_1, mu_2));
    py::object term =
        tf("add")(tf("math").attr("log")(tf("divide")(cov_2, cov_1)),
                  tf("divide")(tf("subtract")(tf("add")(difference, cov_1), cov_2), cov_2));
    return tf("multiply")(0.5, tf("reduce_sum")(term, "axis"_a = -1));
}

py::object id_inputs(py::object self, py::object input_dict) {
    py::object x_id = self.attr("df_value_id").attr("unify_inputs")(input_dict);
    py::object const_group = self.attr("df_value_const");
    if (size_of(const_group, "learned_input_size") == 0) {
        return x_id;
    }
    py::list parts;
    parts.append(x_id);
    parts.append(const_group.attr("unify_inputs")(input_dict));
    return concat(parts, -1);
}

// The same value at every step of the batch: [bs, T] from a per-entity or a global loss.
py::object over_steps(py::object loss, py::object like) {
    return tf("reshape")(loss, py::make_tuple(-1, 1)).attr("__mul__")(ones(tf("shape")(like)));
}

// The time series reconstructed from latent states drawn from the prior, as generation draws
// them, when configured: it trains the path that generation takes, where the posterior's
// reconstruction alone lets the emission lean on what the posterior saw of the step itself.
void add_prior_reconstruction(py::object self, py::object losses, py::object mu_gamma,
                              py::object sigma_gamma, py::object prior_hs, py::object input_dict) {
    py::object weight = self.attr("config").attr("prior_reconstruction_weight");
    if (weight.cast<double>() <= 0.0) {
        return;
    }
    py::object y_prior = emit(self, draw(mu_gamma, sigma_gamma), prior_hs);
    py::object group_losses =
        self.attr("df_value_time_series").attr("loss")(y_prior, input_dict).attr("values")();
    losses["prior_reconstruction_loss"] =
        tf("multiply")(weight, tf("add_n")(py::list(group_losses)));
}

// A divergence counted as at least `free_bits` nats: below that it costs nothing more, so
// the posterior may carry that much information without being pulled onto the prior.
py::object at_least_free_bits(py::object divergence, py::object free_bits) {
    return free_bits.cast<double>() > 0.0 ? tf("maximum")(divergence, free_bits) : divergence;
}

long long replicas_in_sync() {
    return tf("distribute").attr("get_strategy")().attr("num_replicas_in_sync").cast<long long>();
}

// Under a distribution strategy each replica computes the losses of its share of the batch.
py::object replica_batch_size(py::object self) {
    return py::int_(self.attr("bs").cast<long long>() / replicas_in_sync());
}

// Inputs of a batch of windows beside the columns: which steps count in the losses and which
// windows are their entity's first.
constexpr const char* window_weights[] = {"_counted_steps", "_first_window"};
// With carried states: each window's row among the training windows (its predecessor's is
// the row before).
constexpr const char* window_row = "_window_row";

// A window's burn-in steps count in no loss, and an entity's id and constants count once,
// in its first window; the weight penalty counts everywhere.
void weigh_by_window(py::object losses, py::list entity_losses, py::object input_dict) {
    py::object counted = input_dict[window_weights[0]], first = input_dict[window_weights[1]];
    for (py::handle name : py::list(losses.attr("keys")())) {
        if (text(name) == "regularization_loss") {
            continue;
        }
        py::object weight = entity_losses.contains(name) ? first : counted;
        losses[name] = losses[name].attr("__mul__")(weight);
    }
}

// The recurrent state each window ended in when last trained ([windows, 2, H]: h and c) and
// whether it has been; kept out of the model's weights, for training only.
py::object window_memory(py::object self) {
    return builtin("getattr")(self, "_window_memory", none());
}

// Fresh for every `learn` whose examples carry window rows, none otherwise.
void keep_window_memory(py::object self, py::dict examples) {
    py::object memory = none();
    if (examples.contains(window_row)) {
        const py::object windows = py::int_(py::len(examples[window_row]));
        const py::object H = self.attr("capacity");
        py::dict fresh;
        fresh["states"] =
            tf("Variable")(tf("zeros")(py::make_tuple(windows, 2, H)), "trainable"_a = false);
        fresh["known"] = tf("Variable")(tf("zeros")(py::make_tuple(windows), "dtype"_a = "bool"),
                                        "trainable"_a = false);
        memory = fresh;
    }
    builtin("object").attr("__setattr__")(self, "_window_memory", memory);
}

// A window after its entity's first starts where its predecessor ended, once that is known.
py::list carried_state(py::object memory, py::object rows, py::object first, py::list h_0) {
    py::object previous = tf("maximum")(rows.attr("__sub__")(1), 0);
    py::object known = tf("logical_and")(
        tf("gather")(memory["known"], previous),
        tf("less")(first[py::make_tuple(py::slice(none(), none(), none()), 0)], 0.5));
    py::object stored = tf("gather")(memory["states"], previous);
    py::list state;
    for (int part = 0; part < 2; ++part) {
        py::object kept = stored[py::make_tuple(py::slice(none(), none(), none()), part)];
        state.append(tf("where")(tf("expand_dims")(known, -1), kept, h_0[part]));
    }
    return state;
}

void remember_states(py::object memory, py::object rows, py::object h, py::object c) {
    py::object at = tf("expand_dims")(rows, -1);
    py::list both;
    both.append(h);
    both.append(c);
    memory["states"].attr("scatter_nd_update")(at, tf("stack")(both, "axis"_a = 1));
    memory["known"].attr("scatter_nd_update")(at,
                                              tf("ones")(tf("shape")(rows), "dtype"_a = "bool"));
}

py::object loss_func(py::object self, py::object input_dict) {
    const py::object bs = replica_batch_size(self);
    py::object ts_group = self.attr("df_value_time_series");
    auto id_moments = unpack(self.attr("id_encoder")(id_inputs(self, input_dict)), 2);
    py::object id_mu = id_moments[0], id_sigma = id_moments[1];
    py::object z_id = id_mu.attr("__add__")(id_sigma.attr("__mul__")(
        standard_normal(py::make_tuple(bs, 1, id_sigma.attr("shape")[py::int_(-1)]))));

    py::object initial_output = self.attr("initial_network")(z_id);
    py::object y_0 = emit(self, z_id, initial_output);
    py::object x_0 =
        tf("expand_dims")(ts_group.attr("unify_inputs")(ts_group.attr("output_tensors")(y_0)), 1);
    py::list h_0;
    h_0.append(tf("squeeze")(initial_output, "axis"_a = 1));
    h_0.append(tf("squeeze")(self.attr("initial_network2")(z_id), "axis"_a = 1));

    py::object x = ts_group.attr("unify_inputs")(input_dict);
    py::object T = x.attr("shape")[py::int_(1)];
    py::list shifted;
    shifted.append(x_0);
    shifted.append(
        x[py::make_tuple(py::slice(none(), none(), none()), py::slice(none(), py::int_(-1), none()),
                         py::slice(none(), none(), none()))]);
    py::object u = concat(shifted, 1);
    py::object z_id_steps = z_id.attr("__mul__")(ones(py::make_tuple(bs, T, 1)));
    const bool exogenous = size_of(self.attr("df_value_exog"), "learned_input_size") > 0;
    py::object x_exog =
        exogenous ? py::object(self.attr("df_value_exog").attr("unify_inputs")(input_dict))
                  : none();
    py::list transition_parts;
    transition_parts.append(u);
    transition_parts.append(z_id_steps);
    if (exogenous) {
        transition_parts.append(x_exog);
    }
    py::object trn_x = concat(transition_parts, -1);
    py::object masked = tf("nn").attr("dropout")(trn_x, "rate"_a = self.attr("dropout_rate"),
                                                 "noise_shape"_a = py::make_tuple(bs, T, 1));
    // Keras 3 recurrent layers call their input `sequences`: it goes by position.
    py::object memory = window_memory(self);
    const bool carried = !memory.is_none() && input_dict.contains(window_row);
    py::object rows = none();
    if (carried) {
        rows = tf("cast")(
            input_dict[window_row][py::make_tuple(py::slice(none(), none(), none()), 0)], "int64");
        h_0 = carried_state(memory, rows, input_dict[window_weights[1]], h_0);
    }
    auto prior = unpack(self.attr("transition_rnn")(masked, "initial_state"_a = h_0), 3);
    py::object prior_hs = prior[0];
    if (carried) {
        remember_states(memory, rows, prior[1], prior[2]);
    }
    auto gamma = unpack(self.attr("transition_network")(prior_hs), 2);

    py::list inference_parts;
    inference_parts.append(x);
    inference_parts.append(z_id_steps);
    if (exogenous) {
        inference_parts.append(x_exog);
    }
    inference_parts.append(prior_hs);
    py::object inf_x = concat(inference_parts, 2);
    // Keras 3 LSTMs give their initial state from the batch size, not from an input tensor.
    py::object batch = tf("shape")(inf_x)[py::int_(0)];
    py::object inference_rnn = self.attr("inference_rnn");
    py::list initial_state;
    for (const char* direction : {"forward_layer", "backward_layer"}) {
        for (py::handle state : inference_rnn.attr(direction).attr("get_initial_state")(batch)) {
            initial_state.append(state);
        }
    }
    py::object posterior_hs = inference_rnn(inf_x, "initial_state"_a = initial_state);
    auto phi = unpack(self.attr("inference_network")(posterior_hs), 2);
    py::object z = draw(phi[0], phi[1]);
    py::object y = emit(self, z, prior_hs);
    py::object id_logits = self.attr("id_linear")(self.attr("id_emission")(z_id));

    py::object losses = global("OrderedDict")();
    py::object kl =
        tf("multiply")(1.0, diagonal_normal_kl_divergence(phi[0], phi[1], gamma[0], gamma[1]));
    py::object config = self.attr("config");
    losses["kl_loss"] = at_least_free_bits(kl, config.attr("kl_free_bits"));
    py::object id_kl =
        diagonal_normal_kl_divergence(id_mu, id_sigma, py::float_(0.0), py::float_(1.0));
    losses["id_kl_loss"] =
        over_steps(at_least_free_bits(id_kl, config.attr("id_kl_free_bits")), kl);
    py::list penalties;
    for (py::handle weight : self.attr("regularization_losses")) {
        penalties.append(self.attr("l2")(weight));
    }
    losses["regularization_loss"] = tf("add_n")(penalties, "name"_a = "regularization_loss")
                                        .attr("__mul__")(ones(tf("shape")(kl)));
    losses.attr("update")(ts_group.attr("loss")(y, input_dict));
    add_prior_reconstruction(self, losses, gamma[0], gamma[1], prior_hs, input_dict);
    py::object const_group = self.attr("df_value_const");
    py::list entity_losses;
    entity_losses.append("id_kl_loss");
    if (size_of(const_group, "learned_output_size") != 0) {
        for (py::handle item : const_group.attr("loss")(id_logits, input_dict).attr("items")()) {
            losses[item[py::int_(0)]] = over_steps(item[py::int_(1)], kl);
            entity_losses.append(item[py::int_(0)]);
        }
    }
    if (input_dict.contains(window_weights[0])) {
        weigh_by_window(losses, entity_losses, input_dict);
    }
    return losses;
}

py::list regularization_losses(py::object self) {
    py::list weights;
    auto add_from = [&](py::handle module) {
        for (py::handle weight : module.attr("regularization_losses")) {
            weights.append(weight);
        }
    };
    for (const char* network : {"transition_network", "emission_network", "inference_network",
                                "id_emission", "id_linear"}) {
        add_from(self.attr(network));
    }
    for (const char* group : {"df_value_time_series", "df_value_const", "df_value_exog"}) {
        for (py::handle value : self.attr(group).attr("values")()) {
            add_from(value);
        }
    }
    return weights;
}

// Keras 3 keeps a layer's own variables in `_trainable_variables`, so the model leaves that
// attribute to Keras and hands out the full list.
py::object get_trainable_variables(py::object self) { return self.attr("trainable_variables"); }

// --- training -------------------------------------------------------------------------------

// Keras clips each replica's gradients before it sums them, which would let a step grow with
// the replicas. The replicas sum theirs first and clip the whole batch's, as one process
// does, each applying an equal share of it.
void apply_whole_batch_gradients(py::object self, py::object tape, py::object total_loss,
                                 long long replicas) {
    py::object variables = self.attr("trainable_variables");
    py::list gradients, trained;
    py::object all_gradients = tape.attr("gradient")(total_loss, variables);
    for (py::size_t i = 0; i < py::len(variables); ++i) {
        if (!all_gradients[py::int_(i)].is_none()) {
            // Embeddings' sparse gradients are summed and clipped as the dense ones are.
            gradients.append(tf("convert_to_tensor")(all_gradients[py::int_(i)]));
            trained.append(variables[py::int_(i)]);
        }
    }
    py::object summed =
        tf("distribute").attr("get_replica_context")().attr("all_reduce")("sum", gradients);
    py::object clipnorm = self.attr("config").attr("clipnorm");
    py::list shares;
    for (py::handle gradient : summed) {
        py::object whole = clipnorm.is_none() ? py::reinterpret_borrow<py::object>(gradient)
                                              : tf("clip_by_norm")(gradient, clipnorm);
        shares.append(whole.attr("__truediv__")(static_cast<double>(replicas)));
    }
    self.attr("optimizer").attr("apply")(shares, trained);
}

py::object train_step(py::object self, py::object data) {
    py::object tape = tf("GradientTape")();
    py::object loss_dict, total_loss;
    with_context(tape, [&] {
        loss_dict = self.attr("loss_func")(data);
        total_loss = tf("add_n")(py::list(loss_dict.attr("values")()), "name"_a = "total_loss");
    });
    const long long replicas = replicas_in_sync();
    if (replicas > 1) {
        apply_whole_batch_gradients(self, tape, total_loss, replicas);
    } else {
        self.attr("optimizer")
            .attr("minimize")(total_loss, self.attr("trainable_variables"), "tape"_a = tape);
    }
    loss_dict["total_loss"] = total_loss;
    return loss_dict;
}

void refresh_category_frequencies(py::object self, py::object df_transformed) {
    for (py::handle value : self.attr("df_value_time_series").attr("values")()) {
        if (!py::isinstance(value, global("CategoricalValue"))) {
            continue;
        }
        py::object counts =
            df_transformed[value.attr("name")].attr("value_counts")("normalize"_a = true);
        py::object codes = global("pd").attr("RangeIndex")(value.attr("num_categories_with_nan"));
        py::object frequencies = counts.attr("reindex")(codes).attr("fillna")(0);
        value.attr("frequencies").attr("assign")(frequencies.attr("tolist")());
    }
}

// Columns of the frame in no part (the caller's other columns, still raw) are left out.
py::dict entity_examples(py::object self, py::object df_transformed, py::object T) {
    py::object by_step = self.attr("df_transformer_time_series").attr("out_columns");
    by_step = by_step.attr("__add__")(self.attr("df_transformer_exog").attr("out_columns"));
    py::object modelled = self.attr("df_transformer").attr("out_columns");
    py::dict examples;
    for (py::handle column : df_transformed.attr("columns")) {
        if (!modelled.contains(column)) {
            continue;
        }
        py::object rows = global("np").attr("reshape")(df_transformed[column].attr("values"),
                                                       py::make_tuple(-1, T));
        examples[column] = by_step.contains(column) ? rows
                                                    : global("np").attr("nanmin")(
                                                          rows, "axis"_a = -1, "keepdims"_a = true);
    }
    return examples;
}

// The id posterior (means and standard deviations, [entities, 1, L] each) of every training
// entity, which `sample_id` then draws from.
void keep_training_id_codes(py::object self, py::dict examples) {
    py::dict entities = examples;
    if (examples.contains(window_weights[1])) {
        // One code per entity, from its first window.
        py::object first =
            examples[window_weights[1]][py::make_tuple(py::slice(none(), none(), none()), 0)].attr(
                "__gt__")(0.5);
        entities = py::dict();
        for (auto [name, rows] : examples) {
            entities[name] = rows[first];
        }
    }
    keep(self, "training_id_codes", self.attr("id_encoder")(id_inputs(self, entities)));
}

void check_training_length(py::object epochs, py::object steps_per_epoch) {
    for (auto [name, count] :
         {std::pair{"epochs", epochs}, std::pair{"steps_per_epoch", steps_per_epoch}}) {
        if (!py::isinstance<py::int_>(count) || count.cast<long long>() < 0) {
            raise(PyExc_ValueError, std::string("learn: ") + name +
                                        " must be a whole number of at least 0, not " +
                                        text(py::repr(count)) + ".");
        }
    }
}

py::object run_training(py::object self, py::object data, py::object epochs,
                        py::object steps_per_epoch, py::object total_steps) {
    py::list callbacks;
    callbacks.append(
        global("SimpleManager")("total_loss", "steps"_a = total_steps, "verbose"_a = true));
    // The stream is shuffled already; telling Keras so keeps it from warning about it.
    return self.attr("fit")(data, "epochs"_a = epochs, "steps_per_epoch"_a = steps_per_epoch,
                            "verbose"_a = 0, "callbacks"_a = callbacks, "shuffle"_a = false);
}

py::object max_workers_of(py::object self) {
    return truthy(self.attr("config").attr("low_memory")) ? py::object(py::int_(1)) : none();
}

// Fits the transformers on a preprocessed frame and gives it encoded.
py::object fit_transformers(py::object self, py::object df_post) {
    py::object df_transformed =
        self.attr("df_transformer")
            .attr("fit_transform")(df_post, "max_workers"_a = max_workers_of(self),
                                   "inplace"_a = true);
    for (const char* part : transformer_parts) {
        self.attr(part).attr("_fitted") = true;
    }
    refresh_category_frequencies(self, df_transformed);
    return df_transformed;
}

// The examples of an encoded frame, and the weights of its windows when it has them.
// `first_row` is the first window's row among all the training windows.
py::dict frame_examples(py::object self, py::object df_transformed, py::object T,
                        py::object first_row) {
    py::dict examples = entity_examples(self, df_transformed, T);
    py::dict windows = builtin("getattr")(self, "training_windows", py::dict());
    if (py::len(windows) != 0) {
        examples[window_weights[0]] = windows["counted_steps"];
        examples[window_weights[1]] = windows["first_window"];
    }
    // Only windows that start where their predecessors ended need to know their rows.
    if (examples.contains(window_weights[1]) &&
        truthy(self.attr("config").attr("carry_window_state"))) {
        py::object count = py::int_(py::len(windows["first_window"]));
        examples[window_row] =
            global("np")
                .attr("arange")(first_row, first_row.attr("__add__")(count), "dtype"_a = "float32")
                .attr("reshape")(-1, 1);
    }
    return examples;
}

bool shuffled(py::object self, py::object rows) {
    return truthy(self.attr("config").attr("shuffle")) &&
           self.attr("bs").attr("__lt__")(rows).cast<bool>();
}

struct TrainingData {
    py::dict examples;
    py::object stream;
};

TrainingData in_memory_data(py::object self, py::object df, py::object T) {
    py::object df_transformed =
        fit_transformers(self, self.attr("preprocess_df")(df, "max_time_steps"_a = T));
    py::dict examples = frame_examples(self, df_transformed, T, py::int_(0));
    // Windows of one entity share its id: the stream shuffles windows, not ids.
    py::object rows = examples.contains(window_weights[1])
                          ? py::int_(py::len(examples[window_weights[1]]))
                          : df_transformed[self.attr("id_idx")].attr("nunique")();
    py::object buffer_size = shuffled(self, rows) ? rows : py::int_(1);
    py::object data = tf("data").attr("Dataset").attr("from_tensor_slices")(examples);
    data = data.attr("repeat")()
               .attr("shuffle")(buffer_size)
               .attr("batch")(self.attr("bs"))
               .attr("prefetch")(2);
    return {examples, data};
}

// A table read chunk by chunk: the encoders fitted on its sample, every chunk's examples
// kept in `store` on disk, and batches drawn from there.
TrainingData streamed_data(py::object self, py::object events, py::object T, py::object store) {
    fit_transformers(
        self, self.attr("preprocess_df")(events.attr("sample_frame")(), "max_time_steps"_a = T));
    py::list lengths;
    for (py::handle chunk : events.attr("entity_chunks")()) {
        py::object df_post = self.attr("preprocess_df")(chunk, T, "chunk"_a = true);
        py::object df_transformed =
            self.attr("df_transformer")
                .attr("transform")(df_post, "max_workers"_a = max_workers_of(self),
                                   "inplace"_a = true);
        store.attr("append")(frame_examples(self, df_transformed, T, store.attr("rows")));
        lengths.append(self.attr("entity_lengths"));
    }
    builtin("object").attr("__setattr__")(self, "entity_lengths",
                                          global("np").attr("concatenate")(lengths));
    py::dict examples = store.attr("arrays")();
    py::object data =
        import_module("velora.streaming")
            .attr("batches")(examples, self.attr("bs"), shuffled(self, store.attr("rows")));
    return {examples, data};
}

py::object train_on(py::object self, const TrainingData& training, py::object T, py::object epochs,
                    py::object steps_per_epoch) {
    py::list input_shape;
    input_shape.append(self.attr("bs"));
    input_shape.append(T);
    input_shape.append(none());
    self.attr("build")(input_shape);
    self.attr("compile")(self.attr("optimizer"));
    if (truthy(tf("distribute").attr("has_strategy")()) &&
        !truthy(self.attr("optimizer").attr("built"))) {
        self.attr("optimizer").attr("build")(self.attr("trainable_variables"));
    }
    keep_window_memory(self, training.examples);
    py::object total_steps = steps_per_epoch.attr("__mul__")(epochs);
    // Keras would wait forever for the end of an endless stream that no step reads.
    py::object history =
        total_steps.cast<long long>() == 0
            ? tf("keras").attr("callbacks").attr("History")()
            : run_training(self, training.stream, epochs, steps_per_epoch, total_steps);
    if (truthy(self.attr("config").attr("id_codes_from_training"))) {
        keep_training_id_codes(self, training.examples);
    }
    return history;
}

py::object learn_in_scope(py::object self, py::object df, py::object epochs,
                          py::object steps_per_epoch) {
    py::object T = self.attr("max_time_steps");
    py::object streaming = import_module("velora.streaming");
    if (!truthy(streaming.attr("is_stream")(df))) {
        return train_on(self, in_memory_data(self, df, T), T, epochs, steps_per_epoch);
    }
    py::object store = streaming.attr("ExampleStore")();
    py::object history;
    with_context(store, [&] {
        history = train_on(self, streamed_data(self, df, T, store), T, epochs, steps_per_epoch);
    });
    return history;
}

// Mirrored variables are created under the strategy's scope, which the model's own (its
// embeddings) are at construction; every replica gets an equal share of the batch.
void check_strategy(py::object self, py::object strategy) {
    const long long replicas = strategy.attr("num_replicas_in_sync").cast<long long>();
    if (self.attr("bs").cast<long long>() % replicas != 0) {
        raise(PyExc_ValueError, "learn: batch_size " + text(self.attr("bs")) +
                                    " must be a multiple of the strategy's " +
                                    std::to_string(replicas) +
                                    " replicas; change DeepStateConfig.batch_size.");
    }
    if (truthy(self.attr("config").attr("carry_window_state"))) {
        raise(PyExc_ValueError,
              "learn: DeepStateConfig.carry_window_state keeps one recurrent state per window "
              "in this process and cannot train under a distribution strategy; turn it off.");
    }
    for (py::handle variable : self.attr("variables")) {
        if (!truthy(strategy.attr("extended")
                        .attr("variable_created_in_scope")(variable.attr("value")))) {
            raise(PyExc_ValueError,
                  "learn: the model's variable " + text(variable.attr("path")) +
                      " was not created under the strategy's scope; build the model inside "
                      "`with strategy.scope():` and call learn(df, strategy=strategy).");
        }
    }
}

// The strategy given, else the one the model was built under (Keras records it), else none.
py::object training_strategy(py::object self, py::object strategy) {
    if (!strategy.is_none()) {
        return strategy;
    }
    py::object built_under = self.attr("distribute_strategy");
    const bool default_strategy = built_under.is(tf("distribute").attr("get_strategy")()) &&
                                  !truthy(tf("distribute").attr("has_strategy")());
    return default_strategy ? none() : built_under;
}

py::object learn(py::object self, py::object df, py::object epochs, py::object steps_per_epoch,
                 py::object strategy) {
    check_training_length(epochs, steps_per_epoch);
    strategy = training_strategy(self, strategy);
    if (strategy.is_none()) {
        return learn_in_scope(self, df, epochs, steps_per_epoch);
    }
    check_strategy(self, strategy);
    py::object history;
    with_context(strategy.attr("scope")(),
                 [&] { history = learn_in_scope(self, df, epochs, steps_per_epoch); });
    return history;
}

// Keras builds a model under a strategy by running it on a batch reduced over the replicas,
// which multi-worker strategies cannot do for a batch of named tensors. This model needs no
// such run: `build` creates every layer's weights and `learn` the optimizer's.
void skip_symbolic_build(py::object, py::object, py::object) {}

constexpr const char* model_doc = R"(A Recurrent Deep State Space Model for Time Series Synthesis.

It serves regular time series (for example stock prices) as well as event-based time series
(for example user journeys): every entity has an id, attributes constant for the entity and a
time series of `max_time_steps` steps, generated from a latent state that an LSTM carries
forward in time.
)";

constexpr const char* loss_doc = R"(The model's losses on one batch, per entity and step.

Uses the initial (Κ), transition (Γ), inference (ϕ) and emission (ϴ) networks to compute the
KL divergence of the posterior from the prior, the KL divergence of the id code from N(0, 1),
the L2 regularisation, and the reconstruction losses of the time series and of the id
constants.
)";

constexpr const char* learn_doc = R"(Fit the transformers on `df` and train the model on it.

Parameters
----------
df : pd.DataFrame or velora.streaming.ParquetEvents
    The training table, in the layout the model was built from; or Parquet files read a
    chunk of whole entities at a time, for tables larger than memory (the encoders are then
    fitted on the files' `sample_frame()`, the one to build the model from).
epochs : int
    Passes over `steps_per_epoch` batches. With no steps at all (either 0) the transformers
    are fitted and training returns at once.
steps_per_epoch : int
    Batches of `batch_size` entities in each epoch.
strategy : tf.distribute.Strategy, optional
    Trains on all the strategy's replicas, each taking an equal share of every batch of
    `batch_size` entities (a multiple of the replicas). The model must have been built inside
    `with strategy.scope():`; a model built there trains under it even without this argument.
    Without either, training runs in this process as it always has.

Returns
-------
tf.keras.callbacks.History
    The losses of every epoch; empty when no step was taken.
)";

constexpr const char* sample_steps_doc = R"(Generate n steps of many entities at once.

z_id holds the entities' id codes ([entities, 1, L]), keys their keys ([entities, 2] uint32,
see `velora.common.randomness.entity_keys`) and x_exog, when the model has exogenous columns,
their encoded rows ([entities, n, I]). Returns the latent states ([entities, n, L]) and the
outputs ([entities, n, O]); an entity's steps depend on its key alone, not on the others.
)";

void define_generation(py::module_& m) {
    generation_function =
        module_function(m, "DeepStateSpaceModel._generation_loop",
                        {self, arg("n"), arg("h_t"), arg("state1"), arg("state2"), arg("z_id"),
                         arg("x_exog"), arg("x_overwrite"), arg("mask"), arg("association_rules")},
                        "Tuple[tf.Tensor, tf.Tensor]", generation_loop)
            .release();
    fresh_generation_function =
        module_function(m, "DeepStateSpaceModel._fresh_generation",
                        {self, arg("n"), arg("z_id"), arg("x_exog"), arg("x_overwrite"),
                         arg("mask"), arg("association_rules"), arg("keys")},
                        "Tuple[tf.Tensor, tf.Tensor]", fresh_generation)
            .release();
}

void define_model(py::module_& m) {
    auto optional = [](const char* name, const char* annotation) {
        return arg(name, annotation) = none();
    };
    DeepStateSpaceModel =
        ClassBuilder(m, "DeepStateSpaceModel",
                     py::make_tuple(tf("keras").attr("Model"), m.attr("ABC")), model_doc)
            .method("__init__",
                    {self, arg("df"), arg("id_idx", "str"), arg("time_idx", "str"),
                     arg("event_cols", "List[str]"), arg("const_cols", "List[str]"),
                     arg("exog_cols", "List[str]"), arg("sample_cols", "List[str]"),
                     optional("config", "DeepStateConfig")},
                    "None", init)
            .abstractmethod(
                "preprocess_df",
                {self, arg("df", "pd.DataFrame"), optional("max_time_steps", "Optional[int]")},
                "pd.DataFrame",
                "Abstract method to convert a table in long format to one in wide format")
            .abstractmethod("_split_df_model", {self, arg("df_model", "DataFrameModel")},
                            "Tuple[DataFrameModel, DataFrameModel, DataFrameModel, DataFrameModel]",
                            "Abstract method to split DataFrameModel into separate types.")
            .classmethod("_restore",
                         {cls_param, arg("kept", "Dict[str, Any]"),
                          arg("fitted_transformers", "Dict[str, DataFrameTransformer]")},
                         "'DeepStateSpaceModel'", restore,
                         "A saved model rebuilt from its kept attributes and fitted "
                         "transformers, its networks not yet built.")
            .method("build", {self, arg("input_shape")}, "None", build)
            .method("get_initial_state", {self, arg("input_dict", "Dict[str, tf.Tensor]")},
                    "List[tf.Tensor]", get_initial_state)
            .method("sample_id", {self, arg("bs", "int") = py::int_(1)},
                    "Tuple[tf.Tensor, tf.Tensor]", sample_id)
            .method("loss_func", {self, arg("input_dict", "Dict[str, tf.Tensor]")},
                    "Dict[str, tf.Tensor]", loss_func, loss_doc)
            .method("transition_loop",
                    {self, arg("n", "int"), arg("z_id", "tf.Tensor"),
                     optional("x_exog", "tf.Tensor"), optional("x_time_series", "tf.Tensor"),
                     optional("association_rules", "Optional[List[Association]]"),
                     optional("x_overwrite", "Optional[tf.Tensor]"),
                     optional("mask", "Optional[tf.Tensor]")},
                    "Tuple[tf.Tensor, tf.Tensor]", transition_loop)
            .method("sample_steps",
                    {self, arg("n", "int"), arg("z_id", "tf.Tensor"), arg("keys", "np.ndarray"),
                     optional("x_exog", "Optional[tf.Tensor]"),
                     optional("association_rules", "Optional[List[Association]]")},
                    "Tuple[tf.Tensor, tf.Tensor]", sample_steps, sample_steps_doc)
            .method("train_step", {self, arg("data")}, "Dict[str, tf.Tensor]", train_step)
            .method("_maybe_symbolic_build",
                    {self, optional("iterator", "Any"), optional("data_batch", "Any")}, "None",
                    skip_symbolic_build)
            .method("learn",
                    {self, arg("df", "pd.DataFrame | ParquetEvents"),
                     arg("epochs", "int") = py::int_(10),
                     arg("steps_per_epoch", "int") = py::int_(1000),
                     optional("strategy", "Optional[tf.distribute.Strategy]")},
                    "tf.keras.callbacks.History", learn, learn_doc)
            .abstractmethod(
                "synthesize",
                {self, arg("n", "int"), arg("produce_nans", "bool") = py::bool_(true),
                 optional("id", "Optional[Any]"), optional("df_const", "Optional[pd.DataFrame]"),
                 optional("df_time_series", "Optional[pd.DataFrame]"),
                 optional("df_exogenous", "Optional[pd.DataFrame]"),
                 optional("association_rules", "Optional[List[Association]]"),
                 optional("expression_rules", "Optional[List[Expression]]")},
                "pd.DataFrame", "Abstract method for DataFrame synthesis")
            .staticmethod("diagonal_normal_kl_divergence",
                          {arg("mu_1", "tf.Tensor"), arg("stddev_1", "tf.Tensor"),
                           arg("mu_2", "tf.Tensor"), arg("stddev_2", "tf.Tensor")},
                          "tf.Tensor", diagonal_normal_kl_divergence)
            .method("get_trainable_variables", {self}, "List[tf.Variable]", get_trainable_variables)
            .property("regularization_losses", "List[tf.Tensor]", regularization_losses)
            .finish()
            .release();
}

// --- Cluster --------------------------------------------------------------------------------

void cluster_init(py::object self, py::object idx, py::object features, py::object codes) {
    self.attr("idx") = idx;
    py::list kept;
    for (py::handle feature : features) {
        if (!feature.equal(idx)) {
            kept.append(feature);
        }
    }
    self.attr("features") = kept;
    self.attr("codes") = codes;
    self.attr("book") = none();
    self.attr("catmap") = none();
    self.attr("_fitted") = false;
}

py::object cluster_fit(py::object self, py::object df) {
    if (truthy(self.attr("_fitted"))) {
        return self;
    }
    py::object idx = self.attr("idx");
    py::list columns;
    columns.append(idx);
    for (py::handle feature : self.attr("features")) {
        columns.append(feature);
    }
    py::object df_l = df[columns].attr("groupby")(idx).attr("mean")();
    py::object features = df_l.attr("fillna")(df_l.attr("dropna")().attr("mean")());
    py::object whitened = global("cluster").attr("whiten")(features);
    self.attr("book") = global("cluster").attr("kmeans")(whitened, self.attr("codes"))[py::int_(0)];
    py::object categories = global("cluster").attr("vq")(whitened, self.attr("book"))[py::int_(0)];
    py::object idmap = global("pd").attr("Series")(categories, "index"_a = features.attr("index"),
                                                   "name"_a = "categories");
    self.attr("custmap") = idmap.attr("to_dict")();
    self.attr("catmap") = idmap.attr("reset_index")("drop"_a = false)
                              .attr("groupby")("categories")
                              .attr("agg")(builtin("list"))[idx]
                              .attr("to_dict")();
    self.attr("_fitted") = true;
    return self;
}

py::object cluster_transform(py::object self, py::object df) {
    py::object idx = self.attr("idx");
    set_item(df, idx, df[idx].attr("map")(self.attr("custmap")));
    return df;
}

// FNV-1a over the id's bytes (text as UTF-8, numbers as their decimal text), tagged with
// its kind: unlike `hash`, the same in every process and never negative.
std::uint64_t stable_seed(py::handle seed) {
    std::string kind, bytes;
    if (PyBytes_Check(seed.ptr())) {
        kind = "bytes", bytes = std::string(py::reinterpret_borrow<py::bytes>(seed));
    } else if (PyUnicode_Check(seed.ptr())) {
        kind = "str", bytes = text(seed);
    } else if (PyLong_Check(seed.ptr())) {
        kind = "int", bytes = text(seed);
    } else {
        kind = text(py::type::of(seed).attr("__qualname__")), bytes = text(py::repr(seed));
    }
    std::uint64_t h = 14695981039346656037ULL;
    for (unsigned char c : kind + '\0' + bytes) {
        h = (h ^ c) * 1099511628211ULL;
    }
    return h;
}

// A seeded draw uses a generator of its own, so the caller's global NumPy state is left
// alone, and its seed is derived from the id's bytes, so it holds across processes.
py::object cluster_sample(py::object self, py::object x, py::object seed) {
    if (truthy(global("pd").attr("isna")(x))) {
        return x;
    }
    py::object members = self.attr("catmap")[x];
    if (seed.is_none()) {
        return global("np").attr("random").attr("choice")(members);
    }
    py::object generator =
        global("np").attr("random").attr("default_rng")(py::int_(stable_seed(seed)));
    return generator.attr("choice")(members);
}

void define_cluster(py::module_& m) {
    ClassBuilder(m, "Cluster", py::tuple(), "")
        .method("__init__", {self, arg("idx"), arg("features"), arg("codes") = py::int_(50)}, "",
                cluster_init)
        .method("fit", {self, arg("df")}, "", cluster_fit)
        .method("transform", {self, arg("df")}, "", cluster_transform)
        .method("sample", {self, arg("x"), arg("seed") = none()}, "", cluster_sample)
        .finish();
}

}  // namespace

VELORA_MODULE(latent_dynamics, m) {
    global.bind(m);
    m.attr("__doc__") = "The deep state-space model of whole entities, and value clustering.";
    from_import(m, "abc", {"ABC", "abstractmethod"});
    from_import(m, "collections", {"OrderedDict"});
    from_import(m, "typing", {"Any", "Dict", "List", "Optional", "Tuple"});
    import_as(m, "numpy", "np");
    import_as(m, "pandas", "pd");
    import_as(m, "scipy.cluster.vq", "cluster");
    import_as(m, "tensorflow", "tf");
    from_import(m, "..common.learning_manager", {"SimpleManager"});
    from_import(m, "..common.optimizers", {"Optimizers"});
    from_import(m, "..common.rules", {"Association", "Expression"});
    from_import(m, "..common.transformations",
                {"DenseTransformation", "GaussianEncoder", "ResnetTransformation"});
    from_import(m, "..common.values", {"DataFrameValue", "ValueExtractor"});
    from_import(m, "..common.values.categorical", {"CategoricalValue"});
    from_import(m, "..config", {"DeepStateConfig"});
    from_import(m, "..metadata.factory", {"MetaExtractor"});
    from_import(m, "..model", {"DataFrameModel"});
    from_import(m, "..model.factory", {"ModelFactory"});
    from_import(m, "..transformer", {"DataFrameTransformer"});
    define_model(m);
    define_generation(m);
    define_cluster(m);
    m.attr("__test__") = py::dict();
}
