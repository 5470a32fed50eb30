"""The end flag of a value group: derived from filler rows, learned as a hazard."""

import numpy as np
import pytest
import tensorflow as tf

from velora.common.values import CategoricalValue, ContinuousValue, DataFrameValue, MissingValue
from velora.common.values.entity_end import ENTITY_END

# Two entities of 4 steps: the first has 2 events and 2 filler rows, the second 4 events.
CODES = np.array([[1.0, 2.0, np.nan, np.nan], [2.0, 1.0, 1.0, 2.0]])
NUMBERS = np.array([[0.5, np.nan, np.nan, np.nan], [0.1, 0.2, np.nan, 0.4]])
ENDED = np.array([[0.0, 0.0, 1.0, 1.0], [0.0, 0.0, 0.0, 0.0]])


def tracking_group() -> DataFrameValue:
    group = DataFrameValue(
        "time_series",
        [
            CategoricalValue("c", ["a", "b"], missing_column="c_nan"),
            MissingValue("c_nan"),
            ContinuousValue("x", missing_column="x_nan"),
            MissingValue("x_nan"),
        ],
    )
    group.track_entity_end()
    return group


def inputs() -> dict[str, np.ndarray]:
    return {
        "c": CODES,
        "c_nan": np.isnan(CODES) * 1.0,
        "x": NUMBERS,
        "x_nan": np.isnan(NUMBERS) * 1.0,
    }


def test_the_flag_adds_one_output_and_no_input():
    group = tracking_group()
    plain_inputs, plain_outputs = group.learned_input_size(), group.learned_output_size() - 1
    assert list(group)[-1] == ENTITY_END
    assert group.learned_input_size() == plain_inputs == 3 + 1 + 1 + 1
    assert plain_outputs == 3 + 1 + 2 + 1
    assert group.unify_inputs(inputs()).shape == (2, 4, plain_inputs)
    group.track_entity_end()  # a second call adds nothing
    assert len(group) == 5


def test_the_flag_is_derived_from_rows_whose_every_value_is_missing():
    columns = tracking_group()._columns(inputs())
    np.testing.assert_array_equal(columns[ENTITY_END].numpy(), ENDED)


def end_loss(group: DataFrameValue, end_logit: float) -> np.ndarray:
    y = np.zeros((2, 4, group.learned_output_size()), dtype=np.float32)
    y[..., -1] = end_logit
    return group.loss(tf.constant(y), inputs())[f"{ENTITY_END}_reconstruction_loss"].numpy()


@pytest.mark.parametrize("end_logit", [-3.0, 0.0, 3.0])
def test_the_end_counts_up_to_the_first_filler_step_and_not_after(end_logit):
    loss = end_loss(tracking_group(), end_logit)
    counted = np.array([[1, 1, 1, 0], [1, 1, 1, 1]], dtype=bool)
    assert (loss[~counted] == 0).all()
    assert (loss[counted] > 0).all()
    # The first filler step costs what a step that goes on would cost with the opposite logit.
    np.testing.assert_allclose(loss[0, 2], end_loss(tracking_group(), -end_logit)[0, 1], rtol=1e-5)


def test_the_other_values_still_skip_filler_rows():
    group = tracking_group()
    y = tf.random.normal((2, 4, group.learned_output_size()))
    losses = group.loss(y, inputs())
    for name in ["c_nan", "x_nan"]:
        assert (losses[f"{name}_reconstruction_loss"].numpy()[0, 2:] == 0).all()


def test_decoding_draws_the_flag_from_its_logit():
    group = tracking_group()
    y = np.zeros((2000, group.learned_output_size()), dtype=np.float32)
    y[:1000, -1], y[1000:, -1] = -20.0, 20.0
    ended = group.output_tensors(tf.constant(y))[ENTITY_END].numpy()
    assert ended[:1000].sum() == 0 and ended[1000:].sum() == 1000


def test_given_rows_keep_the_flag_they_imply_in_the_output_layout():
    group = tracking_group()
    y = group.pass_inputs_to_y(inputs())
    assert y.shape == (2, 4, group.learned_output_size())
    decoded = group.output_tensors(y)[ENTITY_END].numpy()
    np.testing.assert_array_equal(decoded, ENDED.ravel())
