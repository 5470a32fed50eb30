"""Configuration fields that change the model: their defaults keep the model as it is built
without them, and each field, turned on, does what it says."""

import numpy as np
import pandas as pd
import pytest
import tensorflow as tf

from velora.common import randomness
from velora.common.values.entity_end import ENTITY_END
from velora.complex.episode_forge import EventSynthesizer
from velora.config import DeepStateConfig, MetaTransformerConfig, ValueFactoryConfig

L, H, T = 4, 8, 6
SHORT, LONG = 2, 6


def event_table(entities: int = 24, seed: int = 0) -> pd.DataFrame:
    """ "short" entities have 2 events, "long" ones 6; kinds alternate a, b, a, ..."""
    rng = np.random.default_rng(seed)
    rows = []
    for entity in range(entities):
        size = "short" if entity % 2 else "long"
        time = pd.Timestamp("2024-01-01") + pd.Timedelta(days=entity)
        for step in range(SHORT if size == "short" else LONG):
            time += pd.Timedelta(hours=int(rng.integers(1, 9)))
            rows.append({"user": f"u{entity}", "time": time, "kind": "ab"[step % 2], "size": size})
    return pd.DataFrame(rows)


def config(**fields) -> DeepStateConfig:
    tiny = dict(capacity=H, latent_size=L, max_time_steps=T, batch_size=8, learning_rate=0.02)
    return DeepStateConfig(**{**tiny, **fields})


def synthesizer(df: pd.DataFrame, **fields) -> EventSynthesizer:
    return EventSynthesizer(
        df, "user", "time", event_cols=["kind"], const_cols=["size"], config=config(**fields)
    )


@pytest.fixture(scope="module")
def table() -> pd.DataFrame:
    return event_table()


@pytest.fixture(scope="module")
def ending(table) -> EventSynthesizer:
    """Trained to learn where entities end, reading the recurrent state in its emission.
    Seeded, so what it learns does not hang on the tests that ran before it."""
    tf.keras.utils.set_random_seed(0)
    model = synthesizer(table, learn_entity_end=True, emission_reads_state=True)
    model.learn(table, epochs=1, steps_per_epoch=300)
    return model


def first_batch(model: EventSynthesizer, df: pd.DataFrame) -> dict[str, tf.Tensor]:
    steps = model.preprocess_df(df, max_time_steps=model.max_time_steps)
    transformed = model.df_transformer.fit_transform(steps)
    per_step = set(model.df_transformer_time_series.out_columns)
    batch = {}
    for column in transformed.columns:
        rows = np.reshape(transformed[column].to_numpy(), (-1, model.max_time_steps))[: model.bs]
        batch[column] = tf.constant(
            rows if column in per_step else np.nanmin(rows, axis=-1, keepdims=True)
        )
    return batch


def seeded_losses(model: EventSynthesizer, batch: dict, seed: int = 3) -> dict[str, np.ndarray]:
    tf.random.set_seed(seed)
    return {key: value.numpy() for key, value in model.loss_func(batch).items()}


# --- defaults ------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "fields, emission_inputs, end_flag",
    [
        ({}, L, False),
        ({"emission_reads_state": True}, L + H, False),
        ({"learn_entity_end": True}, L, True),
    ],
    ids=["defaults", "state", "end"],
)
def test_options_change_only_their_own_sizes_and_losses(table, fields, emission_inputs, end_flag):
    model = synthesizer(table, **fields)
    model.build([model.bs, model.max_time_steps, None])
    assert model.emission_network.input_size == emission_inputs
    series = ["kind", "kind_nan", "time_diff", "time_diff_nan", *[ENTITY_END] * end_flag]
    assert list(model.df_value_time_series) == series
    losses = model.loss_func(first_batch(model, table))
    constants = list(model.df_value_const)
    assert list(losses) == [
        "kl_loss",
        "id_kl_loss",
        "regularization_loss",
        *[f"{name}_reconstruction_loss" for name in series + constants],
    ]
    assert all(value.shape == (model.bs, model.max_time_steps) for value in losses.values())


@pytest.mark.parametrize("free_bits", [0.0, 0.5, 100.0])
@pytest.mark.parametrize(
    "field, key", [("kl_free_bits", "kl_loss"), ("id_kl_free_bits", "id_kl_loss")]
)
def test_free_bits_floor_their_divergence_and_nothing_else(table, eager, free_bits, field, key):
    model = synthesizer(table)
    model.build([model.bs, model.max_time_steps, None])
    batch = first_batch(model, table)
    plain = seeded_losses(model, batch)
    setattr(model.config, field, free_bits)
    floored = seeded_losses(model, batch)
    np.testing.assert_allclose(floored[key], np.maximum(plain[key], free_bits))
    for other in set(plain) - {key}:
        np.testing.assert_array_equal(floored[other], plain[other])


def test_the_prior_reconstruction_weighs_the_series_loss_of_prior_draws(table, eager):
    model = synthesizer(table, prior_reconstruction_weight=0.5)
    model.build([model.bs, model.max_time_steps, None])
    batch = first_batch(model, table)
    losses = seeded_losses(model, batch)
    assert "prior_reconstruction_loss" in losses
    model.config.prior_reconstruction_weight = 1.0
    doubled = seeded_losses(model, batch)["prior_reconstruction_loss"]
    np.testing.assert_allclose(doubled, 2 * losses["prior_reconstruction_loss"], rtol=1e-5)
    assert (doubled > 0).any()
    model.config.prior_reconstruction_weight = 0.0
    assert "prior_reconstruction_loss" not in seeded_losses(model, batch)


def test_mixture_outputs_over_spread_ties_train_and_sample(table):
    model = synthesizer(
        table,
        value_factory_config=ValueFactoryConfig(continuous_components=3),
        meta_transformer_config=MetaTransformerConfig(spread_ties=True),
    )
    assert model.df_value_time_series["time_diff"].learned_output_size() == 9
    model.learn(table, epochs=1, steps_per_epoch=5)
    synthetic = model.sample(6, seed=0)
    assert synthetic["user"].nunique() == 6
    in_order = synthetic.groupby("user")["time"].apply(lambda t: t.dropna().is_monotonic_increasing)
    assert in_order.all()


# --- the learned end of an entity ----------------------------------------------------------


def test_lengths_follow_the_training_entity_an_id_code_was_drawn_from(table, monkeypatch):
    tf.keras.utils.set_random_seed(0)
    model = synthesizer(table, id_codes_from_training=True, lengths_from_training=True)
    model.learn(table, epochs=1, steps_per_epoch=3)
    entities = len(model.entity_lengths)
    # Lengths that tell the training entities apart.
    object.__setattr__(model, "entity_lengths", np.arange(entities) % T + 1)
    apart = model.sample(30, seed=4)
    monkeypatch.setattr(model.config, "lengths_follow_id_codes", True)
    following = model.sample(30, seed=4)
    # The rows `sample_id` draws its codes from, under the same keys and phase.
    with randomness.keyed(randomness.entity_keys(4, np.arange(30))):
        with randomness.phase(randomness.ID_PHASE):
            rows = randomness.integers(30, entities).numpy()
    sizes = following.groupby("user", sort=False).size().to_numpy()
    np.testing.assert_array_equal(sizes, model.entity_lengths[rows])
    assert not np.array_equal(sizes, apart.groupby("user", sort=False).size().to_numpy())
    # The codes are those drawn without the option: each entity's first events agree.
    pairs = zip(following.groupby("user"), apart.groupby("user"), strict=True)
    for (_, ours), (_, theirs) in pairs:
        common = min(len(ours), len(theirs))
        pd.testing.assert_frame_equal(
            ours.iloc[:common].reset_index(drop=True), theirs.iloc[:common].reset_index(drop=True)
        )


def lengths(model: EventSynthesizer, count: int, **kwargs) -> np.ndarray:
    tf.random.set_seed(0)
    return np.array([len(model.synthesize(T, **kwargs)) for _ in range(count)])


def test_entities_end_where_the_model_draws_it_after_what_they_are(ending):
    tf.random.set_seed(0)
    entities = [ending.synthesize(T) for _ in range(40)]
    drawn = pd.DataFrame(
        {"size": [e["size"].iloc[0] for e in entities], "events": map(len, entities)}
    )
    assert drawn["events"].between(1, T).all()
    assert {SHORT, LONG} <= set(drawn["events"])
    typical = drawn.groupby("size")["events"].mean()
    assert typical["short"] < typical["long"] - 2


def test_a_callers_length_is_honoured(ending):
    ending.config.stop_at_entity_end = False
    try:
        assert set(lengths(ending, 10)) == {T}
        assert len(ending.synthesize(T + 3)) == T + 3
    finally:
        ending.config.stop_at_entity_end = True
    assert max(lengths(ending, 10)) <= T  # and n stays the most an entity may have


def test_lengths_from_training_override_the_learned_end(ending, monkeypatch):
    seen = ending.entity_lengths
    object.__setattr__(ending, "entity_lengths", np.array([3, 5]))
    try:
        monkeypatch.setattr(ending.config, "lengths_from_training", True)
        assert set(ending.sample(60, seed=1).groupby("user").size()) == {3, 5}
        monkeypatch.setattr(ending.config, "lengths_from_training", False)
        assert {SHORT, LONG} & set(ending.sample(60, seed=1).groupby("user").size())
    finally:
        object.__setattr__(ending, "entity_lengths", seen)


def test_an_entity_never_ends_before_its_first_event(ending, eager, monkeypatch):
    group = ending.df_value_time_series
    decode = type(group[ENTITY_END]).decode
    monkeypatch.setattr(
        type(group[ENTITY_END]), "decode", lambda self, y: tf.ones_like(decode(self, y))
    )
    assert set(lengths(ending, 5)) == {1}


def test_the_end_is_drawn_even_where_the_caller_imposes_values(ending):
    overwrite = pd.DataFrame({"kind": ["a", "b"] * 3})
    drawn = lengths(ending, 30, df_overwrite=overwrite)
    assert len(set(drawn)) > 1


# --- the events generation returns ---------------------------------------------------------


@pytest.fixture(scope="module")
def fed_back(table) -> EventSynthesizer:
    model = synthesizer(table, outputs_as_fed_back=True)
    model.learn(table, epochs=1, steps_per_epoch=5)
    return model


def test_returned_outputs_decode_to_the_events_fed_back(fed_back, eager, monkeypatch):
    group = fed_back.df_value_time_series
    fed, unify = [], type(group).unify_inputs

    def recording(self, inputs):
        if self is group and not isinstance(inputs, pd.DataFrame):
            fed.append({name: np.asarray(column) for name, column in inputs.items()})
        return unify(self, inputs)

    monkeypatch.setattr(type(group), "unify_inputs", recording)
    _, y = fed_back.transition_loop(4, fed_back.sample_id())
    generated = fed[1:]  # the first is the warm-up output, which is not returned
    assert len(generated) == 4
    decoded = {name: column.numpy() for name, column in group.output_tensors(y).items()}
    fed_back = {name: np.concatenate([step[name] for step in generated]) for name in decoded}
    # A value flagged missing is no value: decoding stands any category or number in for it.
    for name, flag in [("kind", "kind_nan"), ("time_diff", "time_diff_nan")]:
        np.testing.assert_array_equal(decoded[flag], fed_back[flag])
        present = fed_back[flag] == 0
        np.testing.assert_allclose(decoded[name][present], fed_back[name][present], rtol=1e-6)


@pytest.mark.parametrize("as_fed_back", [False, True])
def test_decoding_the_returned_outputs_twice_agrees_only_when_fed_back(table, as_fed_back):
    model = synthesizer(table, outputs_as_fed_back=as_fed_back)
    model.learn(table, epochs=1, steps_per_epoch=2)
    _, y = model.transition_loop(200, model.sample_id())
    first, second = (model.df_value_time_series.output_tensors(y) for _ in range(2))
    present = (first["kind_nan"].numpy() == 0) & (second["kind_nan"].numpy() == 0)
    assert present.sum() > 20
    same = np.array_equal(first["kind"].numpy()[present], second["kind"].numpy()[present])
    assert same == as_fed_back


# --- random id codes from the training entities ---------------------------------------------


def test_random_codes_are_drawn_from_a_training_entitys_posterior(table):
    model = synthesizer(table, id_codes_from_training=True)
    model.learn(table, epochs=1, steps_per_epoch=2)
    kept_mu, kept_sigma = model.training_id_codes
    assert kept_mu.shape == kept_sigma.shape == (table["user"].nunique(), 1, L)
    mu = tf.constant(np.arange(3 * L, dtype=np.float32).reshape(3, 1, L) * 100)
    object.__setattr__(model, "training_id_codes", (mu, tf.fill(mu.shape, 1e-3)))
    codes = model.sample_id(bs=60).numpy()
    assert codes.shape == (60, 1, L)
    nearest = np.abs(codes[:, None] - mu.numpy()[None]).max(axis=(2, 3)).min(axis=1)
    assert (nearest < 0.01).all()
    chosen = np.abs(codes[:, None] - mu.numpy()[None]).max(axis=(2, 3)).argmin(axis=1)
    assert set(chosen) == {0, 1, 2}


# --- windows over long entities ------------------------------------------------------------


def test_window_weights_drop_burn_in_steps_and_count_an_entity_once(table, eager):
    model = synthesizer(table)
    model.build([model.bs, model.max_time_steps, None])
    batch = first_batch(model, table)
    plain = seeded_losses(model, batch)
    counted = np.ones((model.bs, T), np.float32)
    counted[1::2, :2] = 0.0
    first = (np.arange(model.bs) % 3 == 0).astype(np.float32).reshape(-1, 1)
    weighted = seeded_losses(
        model, {**batch, "_counted_steps": tf.constant(counted), "_first_window": first}
    )
    per_entity = {"id_kl_loss", *(f"{name}_reconstruction_loss" for name in model.df_value_const)}
    assert "size_reconstruction_loss" in per_entity < set(plain)
    for key, value in plain.items():
        weight = 1.0 if key == "regularization_loss" else first if key in per_entity else counted
        np.testing.assert_allclose(weighted[key], value * weight, rtol=1e-6)


def test_windows_train_on_every_event_and_sample_entities_whole():
    lengths = [3, 9, 14, 20, 7, 16, 11, 5]
    df = pd.concat(
        [
            pd.DataFrame(
                {
                    "user": f"u{e}",
                    "size": "long" if n > T else "short",
                    "time": pd.Timestamp("2024-01-01")
                    + pd.to_timedelta(np.arange(n) + e, unit="h"),
                    "kind": np.array(list("ab"))[np.arange(n) % 2],
                }
            )  # fmt: skip
            for e, n in enumerate(lengths)
        ],
        ignore_index=True,
    )
    model = synthesizer(df, windows=True, window_burn_in=2, id_codes_from_training=True)
    model.learn(df, epochs=1, steps_per_epoch=2)
    np.testing.assert_array_equal(model.entity_lengths, lengths)
    assert model.training_id_codes[0].shape == (len(lengths), 1, L)
    sampled = model.sample(40, seed=0).groupby("user").size()
    assert sampled.max() > T and sampled.max() <= max(lengths)


def test_a_carried_window_starts_where_its_predecessor_ended(table, eager):
    model = synthesizer(table, windows=True, carry_window_state=True)
    model.learn(table, epochs=0, steps_per_epoch=0)
    memory = model._window_memory
    assert memory["states"].shape[0] == len(model.training_windows["first_window"])
    first = np.zeros((model.bs, 1), np.float32)
    first[0] = 1.0
    rows = np.arange(1, model.bs + 1, dtype=np.float32).reshape(-1, 1)
    batch = {
        **first_batch(model, table),
        "_counted_steps": np.ones((model.bs, T), np.float32),
        "_first_window": first,
        "_window_row": rows,
    }
    fresh = seeded_losses(model, batch)["kl_loss"].sum(axis=1)
    # The batch's end states are kept for its windows, and only for them.
    known = memory["known"].numpy()
    assert known[1 : model.bs + 1].all() and known.sum() == model.bs
    memory["states"].assign(tf.fill(memory["states"].shape, 5.0))
    carried = seeded_losses(model, batch)["kl_loss"].sum(axis=1)
    # Window 1's predecessor was never trained, and window 0 opens its entity.
    assert carried[0] == pytest.approx(fresh[0])
    assert (np.abs(carried[1:] - fresh[1:]) > 1e-3).all()
