"""Configuration fields that change the model: their defaults keep the model as it is built
without them, and each field, turned on, does what it says."""

import numpy as np
import pandas as pd
import pytest
import tensorflow as tf

from velora.common.values.entity_end import ENTITY_END
from velora.complex.episode_forge import EventSynthesizer
from velora.config import DeepStateConfig

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
    """Trained to learn where entities end, reading the recurrent state in its emission."""
    model = synthesizer(table, learn_entity_end=True, emission_reads_state=True)
    model.learn(table, epochs=1, steps_per_epoch=300)
    return model


@pytest.fixture
def eager():
    tf.config.run_functions_eagerly(True)
    yield
    tf.config.run_functions_eagerly(False)


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


def test_defaults_leave_every_option_off():
    defaults = DeepStateConfig()
    assert (defaults.learn_entity_end, defaults.emission_reads_state) == (False, False)
    assert defaults.kl_free_bits == 0.0


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
def test_free_bits_floor_the_kl_loss_and_nothing_else(table, eager, free_bits):
    model = synthesizer(table)
    model.build([model.bs, model.max_time_steps, None])
    batch = first_batch(model, table)
    plain = seeded_losses(model, batch)
    model.config.kl_free_bits = free_bits
    floored = seeded_losses(model, batch)
    np.testing.assert_allclose(floored["kl_loss"], np.maximum(plain["kl_loss"], free_bits))
    for key in set(plain) - {"kl_loss"}:
        np.testing.assert_array_equal(floored[key], plain[key])


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


# --- the learned end of an entity ----------------------------------------------------------


def lengths(model: EventSynthesizer, count: int, **kwargs) -> np.ndarray:
    tf.random.set_seed(0)
    return np.array([len(model.synthesize(T, **kwargs)) for _ in range(count)])


def test_entities_end_where_the_model_draws_their_end(ending):
    drawn = lengths(ending, 40)
    assert drawn.min() >= 1 and drawn.max() <= T
    assert len(set(drawn)) > 1, "every entity came out with the same length"
    assert {SHORT, LONG} <= set(drawn)


def test_the_length_depends_on_what_the_entity_is(ending):
    tf.random.set_seed(0)
    entities = [ending.synthesize(T) for _ in range(40)]
    drawn = pd.DataFrame(
        {"size": [e["size"].iloc[0] for e in entities], "events": map(len, entities)}
    )
    typical = drawn.groupby("size")["events"].mean()
    assert typical["short"] < typical["long"] - 2


def test_a_callers_length_is_honoured(ending):
    assert set(lengths(ending, 10, stop_at_end=False)) == {T}
    assert len(ending.synthesize(T + 3, stop_at_end=False)) == T + 3


def test_an_entity_never_ends_before_its_first_event(ending, monkeypatch):
    group = ending.df_value_time_series
    decode = type(group[ENTITY_END]).decode
    monkeypatch.setattr(
        type(group[ENTITY_END]), "decode", lambda self, y: tf.ones_like(decode(self, y))
    )
    tf.config.run_functions_eagerly(True)
    try:
        assert set(lengths(ending, 5)) == {1}
    finally:
        tf.config.run_functions_eagerly(False)


def test_the_end_is_drawn_even_where_the_caller_imposes_values(ending):
    overwrite = pd.DataFrame({"kind": ["a", "b"] * 3})
    drawn = lengths(ending, 30, df_overwrite=overwrite)
    assert len(set(drawn)) > 1
