"""DeepStateSpaceModel: construction, losses, training and generation, through EventSynthesizer."""

import abc
import collections
import inspect
import typing

import numpy as np
import pandas as pd
import pytest
import scipy.cluster.vq
import tensorflow as tf
from hypothesis import given, settings
from hypothesis import strategies as st

from velora.common.learning_manager import SimpleManager
from velora.common.transformations import DenseTransformation, GaussianEncoder, ResnetTransformation
from velora.complex import latent_dynamics
from velora.complex.episode_forge import EventSynthesizer
from velora.complex.latent_dynamics import Cluster, DeepStateSpaceModel
from velora.config import DeepStateConfig

L, H = 4, 8
kl = DeepStateSpaceModel.diagonal_normal_kl_divergence


def tiny_config(**changes) -> DeepStateConfig:
    settings_ = dict(capacity=H, latent_size=L, max_time_steps=5, batch_size=4, codes=2)
    return DeepStateConfig(**{**settings_, **changes})


def event_table(entities: int = 8, seed: int = 0) -> pd.DataFrame:
    """Entities of 2 to 4 events, so fewer than the configured 5 steps each."""
    rng = np.random.default_rng(seed)
    rows = []
    for entity in range(entities):
        time = float(entity)
        for _ in range(2 + entity % 3):
            time += float(rng.integers(1, 5))
            rows.append(
                {
                    "user": entity,
                    "t": time,
                    "kind": rng.choice(["a", "b"]),
                    "x": float(rng.normal()),
                    "group": ["g", "h"][entity % 2],
                    "temp": float(rng.normal()),
                }
            )
    return pd.DataFrame(rows)


ROLES = dict(event_cols=["kind", "x"], const_cols=["group"], exog_cols=["temp"])


def synthesizer(df: pd.DataFrame | None = None, config="tiny", **roles) -> EventSynthesizer:
    df = event_table() if df is None else df
    config = tiny_config() if config == "tiny" else config
    return EventSynthesizer(df, "user", "t", **{**ROLES, **roles}, config=config)


class Recorded:
    """The arguments `SimpleManager` was built with, and the callbacks built."""

    def __init__(self):
        self.calls, self.managers = [], []


@pytest.fixture(scope="module")
def trained():
    """One synthesizer trained for 2 epochs of 3 steps, with its callback's arguments."""
    df = event_table()
    model = synthesizer(df)
    recorded = Recorded()
    original = SimpleManager.__init__

    def recording_init(self, *args, **kwargs):
        recorded.calls.append((args, kwargs))
        recorded.managers.append(self)
        original(self, *args, **kwargs)

    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(SimpleManager, "__init__", recording_init)
        history = model.learn(df, epochs=2, steps_per_epoch=3)
    return model, df, history, recorded


def first_batch(model: EventSynthesizer, df: pd.DataFrame) -> dict:
    """The first `bs` entities as a training batch: per-step columns [bs, T], others [bs, 1]."""
    T = model.max_time_steps
    transformed = model.df_transformer.transform(model.preprocess_df(df, max_time_steps=T))
    per_step = set(
        model.df_transformer_time_series.out_columns + model.df_transformer_exog.out_columns
    )
    batch = {}
    for column in transformed.columns:
        rows = np.reshape(transformed[column].to_numpy(), (-1, T))[: model.bs]
        batch[column] = tf.constant(
            rows if column in per_step else np.nanmin(rows, axis=-1, keepdims=True)
        )
    return batch


def exogenous_rows(model: EventSynthesizer, n: int, seed: int = 0) -> tf.Tensor:
    frame = pd.DataFrame({"temp": np.random.default_rng(seed).normal(size=n)})
    return model.df_value_exog.unify_inputs(model.df_transformer_exog.transform(frame))


class DrawCounter:
    """Counts the model's standard normal draws made through `tf.random.normal`.

    Draws of rank 1 are the decoded numbers' own spread, not the model's latent draws.
    """

    def __init__(self, monkeypatch):
        self.shapes = []
        normal = tf.random.normal

        def counting(*args, **kwargs):
            result = normal(*args, **kwargs)
            if result.shape.rank != 1:
                self.shapes.append(tuple(result.shape))
            return result

        monkeypatch.setattr(tf.random, "normal", counting)


# --- module and class ---------------------------------------------------------------------


def test_module_binds_its_names_in_order():
    names = [name for name in vars(latent_dynamics) if not name.startswith("__")]
    assert names == [
        "ABC",
        "abstractmethod",
        "OrderedDict",
        "Any",
        "Dict",
        "List",
        "Optional",
        "Tuple",
        "np",
        "pd",
        "cluster",
        "tf",
        "SimpleManager",
        "Optimizers",
        "Association",
        "Expression",
        "DenseTransformation",
        "GaussianEncoder",
        "ResnetTransformation",
        "DataFrameValue",
        "ValueExtractor",
        "CategoricalValue",
        "DeepStateConfig",
        "MetaExtractor",
        "DataFrameModel",
        "ModelFactory",
        "DataFrameTransformer",
        "DeepStateSpaceModel",
        "Cluster",
    ]
    assert latent_dynamics.__test__ == {}


@pytest.mark.parametrize(
    "name, expected",
    [
        ("ABC", abc.ABC),
        ("abstractmethod", abc.abstractmethod),
        ("OrderedDict", collections.OrderedDict),
        ("Any", typing.Any),
        ("Tuple", typing.Tuple),  # noqa: UP006 - the module binds the typing name itself
        ("np", np),
        ("pd", pd),
        ("cluster", scipy.cluster.vq),
        ("tf", tf),
        ("SimpleManager", SimpleManager),
        ("GaussianEncoder", GaussianEncoder),
        ("DeepStateConfig", DeepStateConfig),
    ],
)
def test_module_names_are_the_imported_objects(name, expected):
    assert getattr(latent_dynamics, name) is expected


def test_the_model_is_an_abstract_keras_model():
    assert issubclass(DeepStateSpaceModel, tf.keras.Model)
    assert issubclass(DeepStateSpaceModel, abc.ABC)
    assert DeepStateSpaceModel.__abstractmethods__ == {
        "preprocess_df",
        "_split_df_model",
        "synthesize",
    }
    assert DeepStateSpaceModel.__doc__.startswith(
        "A Recurrent Deep State Space Model for Time Series Synthesis"
    )
    with pytest.raises(TypeError, match="abstract"):
        DeepStateSpaceModel(event_table(), "user", "t", ["kind"], [], [], [])


@pytest.mark.parametrize(
    "method, args",
    [
        ("preprocess_df", (pd.DataFrame(),)),
        ("_split_df_model", (None,)),
        ("synthesize", (3,)),
    ],
)
def test_abstract_bodies_raise_without_a_message(method, args):
    with pytest.raises(NotImplementedError) as info:
        getattr(DeepStateSpaceModel, method)(None, *args)
    assert info.value.args == ()


def hooks(missing: str) -> type:
    """A subclass that borrows EventSynthesizer's hooks, leaving `missing` out."""
    borrowed = {
        name: getattr(EventSynthesizer, name)
        for name in ("preprocess_df", "_split_df_model", "synthesize")
        if name != missing
    }
    return type("Partial", (DeepStateSpaceModel,), borrowed)


@pytest.mark.parametrize("missing", ["preprocess_df", "_split_df_model", "synthesize"])
def test_a_subclass_is_abstract_until_it_supplies_every_hook(missing):
    with pytest.raises(TypeError, match=missing):
        hooks(missing)(event_table(), "user", "t", ["kind", "x"], [], [], [], tiny_config())


def test_a_subclass_with_every_hook_is_constructed():
    model = hooks("")(event_table(), "user", "t", ["kind", "x"], [], [], [], tiny_config())
    assert isinstance(model, tf.keras.Model) and model.built is False
    assert list(model.df_model_time_series) == ["kind", "x", "t_diff"]


def test_static_method_and_read_only_property(trained):
    assert isinstance(
        inspect.getattr_static(DeepStateSpaceModel, "diagonal_normal_kl_divergence"),
        staticmethod,
    )
    model = trained[0]
    with pytest.raises(AttributeError):
        model.regularization_losses = []


# --- construction -------------------------------------------------------------------------


def test_construction_without_config_uses_the_defaults():
    model = synthesizer(config=None)
    defaults = DeepStateConfig()
    assert isinstance(model.config, DeepStateConfig)
    assert (model.capacity, model.latent_size, model.dropout_rate, model.bs) == (
        defaults.capacity,
        defaults.latent_size,
        defaults.dropout_rate,
        defaults.batch_size,
    )
    assert model.clusters == {} and model.built is False


def test_construction_keeps_the_arguments_and_changes_the_config_in_place():
    config, df = tiny_config(), event_table()
    assert not config.value_factory_config.dates_as_continuous
    assert not config.meta_transformer_config.continuous_only_dates
    events, consts, exogs, samples = ["kind", "x"], ["group"], ["temp"], ["kind"]
    model = EventSynthesizer(df, "user", "t", events, consts, exogs, samples, config)
    assert model.config is config
    assert config.value_factory_config.dates_as_continuous is True
    assert config.meta_transformer_config.continuous_only_dates is True
    assert model.event_cols is events and model.const_cols is consts
    assert model.exog_cols is exogs and model.sample_cols is samples
    assert (model.id_idx, model.time_idx) == ("user", "t")
    assert (model.capacity, model.latent_size, model.bs) == (H, L, 4)
    assert model.name == "latent_dynamics_model"


def test_max_time_steps_is_the_number_of_steps_preprocessing_gave():
    config = tiny_config(max_time_steps=5)
    model = synthesizer(config=config)  # the longest entity has 4 events
    assert (model.max_time_steps, config.max_time_steps) == (4, 5)
    longer = synthesizer(config=tiny_config(max_time_steps=3))
    assert longer.max_time_steps == 3


def test_clustering_features_are_the_complete_float64_columns():
    rng = np.random.default_rng(1)
    df = pd.DataFrame(
        {
            "user": np.repeat(np.arange(6), 2),
            "t": pd.date_range("2024-01-01", periods=12, freq="h"),
            "shop": [f"s{i % 4}" for i in range(12)],
            "price": rng.normal(size=12),
            "gappy": np.r_[np.nan, rng.normal(size=11)],
            "count": np.arange(12),
            "narrow": rng.normal(size=12).astype("float32"),
            "weight": rng.normal(size=12),
        }
    )
    columns = ["shop", "price", "gappy", "count", "narrow", "weight"]
    model = EventSynthesizer(
        df, "user", "t", columns, sample_cols=["shop", "price"], config=tiny_config()
    )
    assert list(model.clusters) == ["shop", "price"]
    assert all(isinstance(c, Cluster) and c.codes == 2 for c in model.clusters.values())
    assert model.clusters["shop"].features == ["price", "weight"]
    assert model.clusters["price"].features == ["weight"]  # its own column is left out
    assert model.clusters["shop"].idx == "shop" and model.clusters["shop"]._fitted


@pytest.mark.parametrize(
    "attribute, cls, name",
    [
        ("initial_network", DenseTransformation, "id_init"),
        ("initial_network2", DenseTransformation, "id_init2"),
        ("id_encoder", GaussianEncoder, "id_encoder"),
        ("id_emission", ResnetTransformation, "id_emission"),
        ("id_linear", DenseTransformation, "id_linear"),
        ("emission_network", GaussianEncoder, "emission"),
        ("transition_network", GaussianEncoder, "transition"),
        ("inference_network", GaussianEncoder, "inference"),
    ],
)
def test_networks_classes_and_names(attribute, cls, name):
    network = getattr(synthesizer(), attribute)
    assert type(network) is cls and network.name == name


def test_network_sizes_follow_the_value_groups():
    model = synthesizer()
    sizes = {
        part: (
            getattr(model, f"df_value_{part}").learned_input_size(),
            getattr(model, f"df_value_{part}").learned_output_size(),
        )
        for part in ("id", "const", "time_series", "exog")
    }
    assert model.id_encoder.input_size == sizes["id"][0] + sizes["const"][0]
    assert (model.id_encoder.output_size, model.id_encoder.capacity) == (L, H)
    assert model.id_linear.output_size == sizes["const"][1]
    assert model.emission_network.output_size == sizes["time_series"][1]
    assert (model.emission_network.input_size, model.transition_network.output_size) == (L, L)
    rnn = model.transition_rnn
    assert type(rnn) is tf.keras.layers.LSTM
    assert (rnn.units, rnn.return_sequences, rnn.return_state) == (H, True, True)
    inference = model.inference_rnn
    assert type(inference) is tf.keras.layers.Bidirectional and inference.merge_mode == "concat"
    assert (inference.forward_layer.units, inference.forward_layer.return_sequences) == (
        H // 2,
        True,
    )


def test_an_odd_capacity_sizes_the_inference_head_for_the_bidirectional_output():
    model = synthesizer(config=tiny_config(capacity=5))
    assert model.inference_rnn.forward_layer.units == 2
    assert model.inference_network.input_size == 4
    model.build([4, model.max_time_steps, None])
    width = (
        model.df_value_time_series.learned_input_size()
        + L
        + model.df_value_exog.learned_input_size()
        + 5
    )
    posterior = model.inference_rnn(tf.random.normal((2, 3, width)))
    mean, std = model.inference_network(posterior)
    assert posterior.shape == (2, 3, 4) and mean.shape == std.shape == (2, 3, L)


def test_build_sets_the_batch_size_and_builds_every_network():
    model = synthesizer()
    model.build([32, model.max_time_steps, None])
    assert model.bs == 32 and model.built is True
    networks = [
        "initial_network",
        "initial_network2",
        "id_encoder",
        "id_emission",
        "id_linear",
        "emission_network",
        "transition_rnn",
        "transition_network",
        "inference_rnn",
        "inference_network",
    ]
    assert [name for name in networks if not getattr(model, name).built] == []


# --- losses -------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "mu, std",
    [
        ([0.0], [1.0]),
        ([1.5, -2.0, 0.0], [0.1, 3.0, 1.0]),
        ([[1.0, 2.0], [3.0, 4.0]], [[2.0] * 2] * 2),
    ],
)
def test_kl_divergence_of_a_distribution_from_itself_is_zero(mu, std):
    result = kl(tf.constant(mu), tf.constant(std), tf.constant(mu), tf.constant(std))
    np.testing.assert_allclose(result.numpy(), np.zeros(np.shape(mu)[:-1]), atol=1e-6)


def test_kl_divergence_of_a_shifted_unit_normal_is_a_half():
    result = kl(tf.constant([1.0]), tf.constant([1.0]), tf.constant([0.0]), tf.constant([1.0]))
    assert float(result) == pytest.approx(0.5)


def test_kl_divergence_takes_plain_floats_for_the_second_distribution():
    mu, std = tf.constant([[0.5, -0.5]]), tf.constant([[2.0, 0.5]])
    expected = kl(mu, std, tf.zeros_like(mu), tf.ones_like(std))
    np.testing.assert_allclose(kl(mu, std, 0.0, 1.0).numpy(), expected.numpy())


finite = st.floats(-3, 3, allow_nan=False, width=32)
positive = st.floats(0.25, 4, allow_nan=False, width=32)


@settings(max_examples=40, deadline=None)
@given(
    st.integers(1, 5).flatmap(
        lambda k: st.lists(st.tuples(finite, positive, finite, positive), min_size=k, max_size=k)
    )
)
def test_kl_divergence_matches_the_closed_form(dims):
    columns = zip(*dims, strict=True)
    mu_1, s_1, mu_2, s_2 = (np.array(column, dtype=np.float64) for column in columns)
    expected = 0.5 * np.sum(
        np.log(s_2**2 / s_1**2) + ((mu_1 - mu_2) ** 2 + s_1**2 - s_2**2) / s_2**2
    )
    tensors = [tf.constant(v, dtype=tf.float32) for v in (mu_1, s_1, mu_2, s_2)]
    assert float(kl(*tensors)) == pytest.approx(expected, rel=1e-4, abs=1e-4)


def test_loss_dictionary_keys_and_shapes(trained):
    model, df = trained[0], trained[1]
    losses = model.loss_func(first_batch(model, df))
    assert isinstance(losses, collections.OrderedDict)
    keys = list(losses)
    assert keys[:3] == ["kl_loss", "id_kl_loss", "regularization_loss"]
    bs, T = model.bs, model.max_time_steps
    O_ts = model.df_value_time_series.learned_output_size()
    O_const = model.df_value_const.learned_output_size()
    batch = first_batch(model, df)
    series = list(model.df_value_time_series.loss(tf.zeros((bs, T, O_ts)), batch))
    constants = list(model.df_value_const.loss(tf.zeros((bs, 1, O_const)), batch))
    assert series and constants
    assert keys[3:] == series + constants
    assert {key: tuple(value.shape) for key, value in losses.items()} == {
        key: (bs, T) for key in keys
    }
    assert all(value.dtype == tf.float32 for value in losses.values())


def test_id_kl_is_constant_in_time_and_the_penalty_over_the_batch(trained):
    model, df = trained[0], trained[1]
    losses = model.loss_func(first_batch(model, df))
    id_kl = losses["id_kl_loss"].numpy()
    np.testing.assert_allclose(id_kl, np.repeat(id_kl[:, :1], id_kl.shape[1], axis=1))
    assert np.all(id_kl >= 0)
    penalty = losses["regularization_loss"].numpy()
    np.testing.assert_allclose(penalty, np.full_like(penalty, penalty[0, 0]))
    expected = sum(float(model.l2(weight)) for weight in model.regularization_losses)
    assert penalty[0, 0] == pytest.approx(expected, rel=1e-5) and expected > 0


def test_regularization_losses_cover_the_penalised_networks_only(trained):
    model = trained[0]
    weights = {id(w) for w in model.regularization_losses}
    assert weights
    for network in ("transition_network", "emission_network", "inference_network", "id_linear"):
        assert {id(w) for w in getattr(model, network).regularization_losses} <= weights
    for network in ("id_encoder", "initial_network"):
        assert not {id(w) for w in getattr(model, network).regularization_losses} & weights


def test_get_trainable_variables_is_the_keras_list(trained):
    model = trained[0]
    variables = model.get_trainable_variables()
    assert [id(v) for v in variables] == [id(v) for v in model.trainable_variables]
    encoder = {id(v) for v in model.id_encoder.trainable_variables}
    assert encoder and encoder <= {id(v) for v in variables}


# --- training -----------------------------------------------------------------------------


def test_learn_runs_the_asked_steps_and_returns_the_history(trained):
    model, _, history, recorded = trained
    assert isinstance(history, tf.keras.callbacks.History)
    assert recorded.calls == [(("total_loss",), {"steps": 6, "verbose": True})]
    assert len(recorded.managers[0].history) == 6  # one loss per step
    assert len(history.history["total_loss"]) == 2  # one entry per epoch
    assert np.all(np.isfinite(recorded.managers[0].history))
    assert model.built and model.bs == 4
    assert model.df_transformer_time_series._fitted and model.df_transformer_id._fitted


def test_train_step_adds_the_total_loss_last(trained):
    model, df = trained[0], trained[1]
    losses = model.train_step(first_batch(model, df))
    keys = list(losses)
    assert keys[-1] == "total_loss" and keys[:3] == ["kl_loss", "id_kl_loss", "regularization_loss"]
    others = sum(losses[key].numpy() for key in keys[:-1])
    np.testing.assert_allclose(losses["total_loss"].numpy(), others, rtol=1e-5, atol=1e-5)


# --- generation ---------------------------------------------------------------------------


@pytest.mark.parametrize("bs", [1, 4])
def test_sample_id_shape(trained, bs):
    code = trained[0].sample_id(bs=bs)
    assert code.shape == (bs, 1, L) and code.dtype == tf.float32


def test_sample_id_draws_afresh(trained):
    model = trained[0]
    assert not np.allclose(model.sample_id().numpy(), model.sample_id().numpy())


def test_transition_loop_shapes_and_fresh_draws(trained):
    model = trained[0]
    O_ts = model.df_value_time_series.learned_output_size()
    z_id, x_exog = model.sample_id(), exogenous_rows(model, 5)
    z, y = model.transition_loop(5, z_id, x_exog=x_exog)
    assert z.shape == (1, 5, L) and y.shape == (1, 5, O_ts)
    z_again, _ = model.transition_loop(5, z_id, x_exog=x_exog)
    assert not np.allclose(z.numpy(), z_again.numpy())


def test_transition_loop_with_no_steps_is_empty(trained):
    model = trained[0]
    O_ts = model.df_value_time_series.learned_output_size()
    z, y = model.transition_loop(0, model.sample_id(), x_exog=exogenous_rows(model, 1))
    assert z.shape == (1, 0, L) and y.shape == (1, 0, O_ts)


def overwrite_and_mask(model, n: int, imposed: list[bool]):
    O_ts = model.df_value_time_series.learned_output_size()
    x_overwrite = tf.constant(np.random.default_rng(3).normal(size=(n, O_ts)), tf.float32)
    return x_overwrite, tf.constant(imposed, dtype=tf.bool)


def test_a_full_mask_imposes_every_overwrite_row(trained):
    model = trained[0]
    O_ts = model.df_value_time_series.learned_output_size()
    x_overwrite, mask = overwrite_and_mask(model, 6, [True] * O_ts)
    _, y = model.transition_loop(
        4, model.sample_id(), x_exog=exogenous_rows(model, 4), x_overwrite=x_overwrite, mask=mask
    )
    np.testing.assert_allclose(y.numpy()[0], x_overwrite.numpy()[:4])


def test_a_partial_mask_imposes_only_its_positions(trained):
    model = trained[0]
    O_ts = model.df_value_time_series.learned_output_size()
    imposed = [i % 2 == 0 for i in range(O_ts)]
    x_overwrite, mask = overwrite_and_mask(model, 4, imposed)
    _, y = model.transition_loop(
        4, model.sample_id(), x_exog=exogenous_rows(model, 4), x_overwrite=x_overwrite, mask=mask
    )
    kept = np.array(imposed)
    np.testing.assert_allclose(y.numpy()[0][:, kept], x_overwrite.numpy()[:, kept])
    assert not np.any(np.isclose(y.numpy()[0][:, ~kept], x_overwrite.numpy()[:, ~kept]))


def test_an_empty_mask_leaves_the_samples_alone(trained, eager):
    model = trained[0]
    O_ts = model.df_value_time_series.learned_output_size()
    z_id, x_exog = model.sample_id(), exogenous_rows(model, 4)
    x_overwrite, mask = overwrite_and_mask(model, 4, [False] * O_ts)
    tf.random.set_seed(11)
    plain = model.transition_loop(4, z_id, x_exog=x_exog)
    tf.random.set_seed(11)
    masked = model.transition_loop(4, z_id, x_exog=x_exog, x_overwrite=x_overwrite, mask=mask)
    for a, b in zip(plain, masked, strict=True):
        np.testing.assert_array_equal(a.numpy(), b.numpy())


def test_a_history_replaces_the_first_draw(trained, eager, monkeypatch):
    model = trained[0]
    z_id, x_exog = model.sample_id(), exogenous_rows(model, 3)
    I_ts = model.df_value_time_series.learned_input_size()
    O_ts = model.df_value_time_series.learned_output_size()
    history = tf.random.normal((2, I_ts))
    counter = DrawCounter(monkeypatch)
    model.transition_loop(3, z_id, x_exog=x_exog)
    fresh, counter.shapes = counter.shapes, []
    z, y = model.transition_loop(3, z_id, x_exog=x_exog, x_time_series=history)
    # a fresh entity draws one warm-up output; then every step draws z and y
    assert fresh == [(1, 1, O_ts)] + [(1, 1, L), (1, 1, O_ts)] * 3
    assert counter.shapes == fresh[1:]
    assert z.shape == (1, 3, L) and y.shape == (1, 3, O_ts)


def test_the_history_conditions_the_generated_steps(trained, eager):
    model = trained[0]
    z_id, x_exog = model.sample_id(), exogenous_rows(model, 3)
    I_ts = model.df_value_time_series.learned_input_size()
    results = []
    for history in (tf.zeros((2, I_ts)), tf.fill((2, I_ts), 3.0)):
        tf.random.set_seed(5)
        results.append(model.transition_loop(3, z_id, x_exog=x_exog, x_time_series=history)[0])
    assert not np.allclose(results[0].numpy(), results[1].numpy())


def test_an_empty_history_is_refused(trained):
    model = trained[0]
    I_ts = model.df_value_time_series.learned_input_size()
    with pytest.raises(ValueError, match="at least one row of history"):
        model.transition_loop(
            2, model.sample_id(), x_exog=exogenous_rows(model, 2), x_time_series=tf.zeros((0, I_ts))
        )


def test_get_initial_state_applies_both_initial_networks_to_the_id_input():
    # the initial networks read L features, so the id input must be as wide as the latent
    model = synthesizer(config=tiny_config(latent_size=9))
    assert model.df_value_id.learned_input_size() == 9
    model.build([2, model.max_time_steps, None])
    batch = {"user": tf.constant([[1], [2]])}
    state = model.get_initial_state(batch)
    x_id = model.df_value_id.unify_inputs(batch)
    assert isinstance(state, list) and len(state) == 2
    np.testing.assert_allclose(state[0].numpy(), model.initial_network(x_id).numpy())
    np.testing.assert_allclose(state[1].numpy(), model.initial_network2(x_id).numpy())
    assert state[0].shape == (2, 1, H) and not np.allclose(state[0].numpy(), state[1].numpy())


def test_build_can_run_again():
    model = synthesizer()
    model.build([4, model.max_time_steps, None])
    weights = [id(v) for v in model.trainable_variables]
    model.build([2, model.max_time_steps, None])
    assert model.bs == 2 and [id(v) for v in model.trainable_variables] == weights


# Last in the file: a second training changes the shared model.
def test_learn_can_continue_training(trained):
    model, df = trained[0], trained[1]
    history = model.learn(df, epochs=1, steps_per_epoch=2)
    assert len(history.history["total_loss"]) == 1
