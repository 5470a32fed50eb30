"""The training settings of the command line: the model options on, sized to the table."""

from typing import TYPE_CHECKING

import pandas as pd

from velora.tables.roles import TableRoles

if TYPE_CHECKING:
    from velora.complex.episode_forge import EventSynthesizer


DEFAULT_STEPS = 2500

# The training step size, and the share of it that is left at the last step.
LEARNING_RATE = 3e-3

FINAL_LEARNING_RATE_SHARE = 0.05

# Nats of the id code's divergence from its prior that cost nothing.
ID_KL_FREE_BITS = 3.0

# Clusters of a sample column's values, fewer where the column has fewer distinct values.
SAMPLE_CLUSTERS = 50

# Longer entities are cut when training; this bounds the model's unrolled length.
MAX_TIME_STEPS = 100

# Gaussians in the output of each continuous column, and whether a point mass spreads over
# its share of the scaled column.
CONTINUOUS_COMPONENTS = 3
SPREAD_TIES = True


def trains_on_windows(longest: int) -> bool:
    """Whether a table whose longest entity has `longest` events trains in windows: where it is
    longer than the unrolled length, so that every event teaches the model, not only each
    entity's first `MAX_TIME_STEPS`."""
    return bool(longest > MAX_TIME_STEPS)


def train_synthesizer(
    table: pd.DataFrame, roles: TableRoles, *, steps: int, seed: int
) -> "EventSynthesizer":
    """An `EventSynthesizer` trained on a table whose time column holds date-times.

    It learns where entities end, which is where `sample` ends them unless told their lengths
    (for tables of entities longer than `MAX_TIME_STEPS`, which train in windows, `sample`
    draws the real entities' lengths instead).
    """
    import tensorflow as tf  # loaded only when training: it takes seconds

    from velora.complex.episode_forge import EventSynthesizer
    from velora.config import (
        DateTransformerConfig,
        DeepStateConfig,
        MetaTransformerConfig,
        ModelBuilderConfig,
        ValueFactoryConfig,
    )

    tf.keras.utils.set_random_seed(seed)
    longest = table.groupby(roles.id_col, sort=False).size().max()
    long_entities = trains_on_windows(longest)
    config = DeepStateConfig(
        max_time_steps=int(min(longest, MAX_TIME_STEPS)),
        batch_size=16,
        capacity=128,
        # Every input step counts when the emission reads the recurrent state. The step size
        # falls from a large one, which learns a table of a few thousand entities in as many
        # steps, to a small one, which settles its distributions.
        dropout_rate=0.0,
        learning_rate=tf.keras.optimizers.schedules.CosineDecay(
            LEARNING_RATE, decay_steps=max(1, steps), alpha=FINAL_LEARNING_RATE_SHARE
        ),
        learn_entity_end=True,
        # Entities longer than the unrolled length train on every event, and their lengths
        # come from the real ones, which the end flag would have to count up to.
        windows=long_entities,
        lengths_from_training=long_entities,
        # A length drawn with the entity: a late start in a table cut at its last date
        # comes with the short length of the training entity it was drawn from.
        lengths_follow_id_codes=True,
        emission_reads_state=True,
        outputs_as_fed_back=True,
        # Room for the id code to carry an entity's constants, and random codes drawn like
        # the training entities' own.
        id_kl_free_bits=ID_KL_FREE_BITS,
        id_codes_from_training=True,
        # Whole numbers (wind in knots, minutes of delay) come back whole and in range.
        model_builder_config=ModelBuilderConfig(integer_counts=True),
        # A mixture per number holds a point mass (zero gaps) beside a spread, and the tails.
        value_factory_config=ValueFactoryConfig(continuous_components=CONTINUOUS_COMPONENTS),
        # Start dates stay within the real range, and gaps of a few distinct lengths (yearly
        # panels) keep them; a point mass (zero gaps) spreads over its share of the normal
        # scale, so that the scaled column is Gaussian and its tails where they belong.
        meta_transformer_config=MetaTransformerConfig(
            max_levels=32,
            spread_ties=SPREAD_TIES,
            date_transformer_config=DateTransformerConfig(quantile=True),
        ),
        # k-means needs as many distinct values as clusters.
        codes=min([SAMPLE_CLUSTERS, *(table[col].nunique() for col in roles.sample_cols)]),
    )
    synthesizer = EventSynthesizer(
        table,
        id_idx=roles.id_col,
        time_idx=roles.time_col,
        event_cols=roles.event_cols,
        const_cols=roles.const_cols,
        exog_cols=roles.exog_cols,
        sample_cols=roles.sample_cols,
        config=config,
    )
    synthesizer.learn(table, epochs=1, steps_per_epoch=steps)
    return synthesizer
