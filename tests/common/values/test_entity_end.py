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
    plain = DataFrameValue("plain", [value for name, value in group.items() if name != ENTITY_END])
    assert list(group)[-1] == ENTITY_END
    assert group.learned_input_size() == plain.learned_input_size()
    assert group.learned_output_size() == plain.learned_output_size() + 1
    group.track_entity_end()  # a second call adds nothing
    assert len(group) == len(plain) + 1


def test_the_flag_is_derived_from_filler_rows_and_kept_through_the_output_layout():
    group = tracking_group()
    np.testing.assert_array_equal(group._columns(inputs())[ENTITY_END].numpy(), ENDED)
    decoded = group.output_tensors(group.pass_inputs_to_y(inputs()))[ENTITY_END].numpy()
    np.testing.assert_array_equal(decoded, ENDED.ravel())


def losses(end_logit: float) -> dict[str, np.ndarray]:
    group = tracking_group()
    y = np.zeros((2, 4, group.learned_output_size()), dtype=np.float32)
    y[..., -1] = end_logit
    return {key: loss.numpy() for key, loss in group.loss(tf.constant(y), inputs()).items()}


@pytest.mark.parametrize("end_logit", [-3.0, 0.0, 3.0])
def test_the_end_counts_up_to_the_first_filler_step_and_the_rest_skip_filler(end_logit):
    loss = losses(end_logit)
    end = loss[f"{ENTITY_END}_reconstruction_loss"]
    counted = np.array([[1, 1, 1, 0], [1, 1, 1, 1]], dtype=bool)
    assert (end[~counted] == 0).all() and (end[counted] > 0).all()
    # The first filler step costs what a step that goes on would cost with the opposite logit.
    opposite = losses(-end_logit)[f"{ENTITY_END}_reconstruction_loss"]
    np.testing.assert_allclose(end[0, 2], opposite[0, 1], rtol=1e-5)
    for name in ["c_nan", "x_nan"]:
        assert (loss[f"{name}_reconstruction_loss"][0, 2:] == 0).all()
