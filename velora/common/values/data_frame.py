"""Value groups: the child values of one part of a frame, laid side by side."""

from collections.abc import ItemsView, Iterable, Iterator, KeysView, Mapping, ValuesView
from typing import TYPE_CHECKING, Any

import keras
import numpy as np
import pandas as pd
import tensorflow as tf

from velora.common import randomness
from velora.common.values.base import Value, layer_name
from velora.common.values.categorical import CategoricalValue
from velora.common.values.entity_end import ENTITY_END, EntityEndValue
from velora.common.values.missing import MissingValue

if TYPE_CHECKING:
    from velora.common.rules import Association

Inputs = Mapping[str, Any] | pd.DataFrame


class DataFrameValue(keras.layers.Layer):
    """The child values of a group of transformed columns, in order, and their tensor layout.

    The group's input (`unify_inputs`) and output (`y`) are the children's encodings
    concatenated on the last axis, in child order. Inputs are any mapping from column name
    to values (the batch dictionary, what `output_tensors` returns) or a transformed frame:
    a column of shape S gives an input of shape S + [learned_input_size()], so [bs, T]
    columns give [bs, T, I], [bs, 1] columns [bs, 1, I] and frame columns [rows, I]. A column
    absent from the inputs counts as missing. `output_tensors` returns one 1-D tensor per
    column, one value per row of `y` reshaped to [-1, learned_output_size()]: y of shape
    [1, n, O] gives n values, y of shape [bs, 1, O] gives bs values.

    Every weight is created with its child, so the group is usable before `build`.
    """

    def __init__(self, name: str | None, values: Iterable[Value]):
        super().__init__(name=None if name is None else layer_name(name))
        self._values: dict[str, Value] = {value.name: value for value in values}

    def track_entity_end(self) -> None:
        """Add the flag of where an entity ends (`EntityEndValue`) as the group's last value.

        Call it before the group's output size is read: the flag adds one output.
        """
        if ENTITY_END not in self._values:
            self._values[ENTITY_END] = EntityEndValue()

    @property
    def entity_end(self) -> str | None:
        """The name of the end flag among the group's values and decoded columns, if tracked."""
        return ENTITY_END if ENTITY_END in self._values else None

    def build(self, input_shape=None) -> None:
        for value in self._values.values():
            value.build(input_shape)

    def learned_input_size(self) -> int:
        return sum(value.learned_input_size() for value in self._values.values())

    def learned_output_size(self) -> int:
        return sum(value.learned_output_size() for value in self._values.values())

    def unify_inputs(self, inputs: Inputs) -> tf.Tensor:
        """The group's input features, float32 of shape [..., learned_input_size()]."""
        columns = self._columns(inputs)
        return tf.concat([value.encode(columns) for value in self._values.values()], axis=-1)

    def pass_inputs_to_y(self, inputs: Inputs) -> tf.Tensor:
        """The inputs' values in the output layout, which `output_tensors` decodes back."""
        columns = self._columns(inputs)
        return tf.concat([value.as_output(columns) for value in self._values.values()], axis=-1)

    def loss(self, y: tf.Tensor, inputs: Inputs) -> dict[str, tf.Tensor]:
        """Each child's reconstruction loss of its columns in `inputs` from `y`.

        Keys are "<column>_reconstruction_loss"; each loss has the shape of the columns. A
        row in which every value (flags aside) is missing adds no loss: such rows are the
        filler after an entity's last event, and a model that learned them would emit
        missing events where a real entity goes on. The end flag, which learns exactly
        where the filler starts, masks its own loss.
        """
        columns = self._columns(inputs)
        filled = self._filled_rows(columns)
        return {
            f"{name}_reconstruction_loss": value.loss(y_part, columns)
            * (1.0 if isinstance(value, EntityEndValue) else filled)
            for (name, value), y_part in zip(self._values.items(), self._split(y), strict=True)
        }

    def _filled_rows(self, columns: dict[str, tf.Tensor]) -> tf.Tensor:
        """1.0 where a row holds at least one present value, else 0.0."""
        values = [
            column
            for name, column in columns.items()
            if not isinstance(self._values[name], MissingValue)
        ]
        if not values:
            return tf.ones_like(next(iter(columns.values())))
        present = tf.reduce_any(tf.stack([~tf.math.is_nan(v) for v in values]), axis=0)
        return tf.cast(present, tf.float32)

    def output_tensors(
        self, y: tf.Tensor, association_rules: "Iterable[Association] | None" = None
    ) -> dict[str, tf.Tensor]:
        """Sampled column values of `y`, in the transformed frame's encoding, as 1-D tensors.

        The columns of each association rule are sampled jointly from the rule's allowed
        combinations, with probabilities proportional to the product of the columns' own;
        a column in several rules takes its values from the last.
        """
        if not self._values:
            return {}
        rows = tf.reshape(y, [-1, self.learned_output_size()])
        outputs = dict(zip(self._values, self._split(rows), strict=True))
        decoded = {name: self._values[name].decode(part) for name, part in outputs.items()}
        for rule in association_rules or ():
            decoded.update(self._sample_jointly(rule, outputs))
        return decoded

    def _sample_jointly(
        self, rule: "Association", outputs: dict[str, tf.Tensor]
    ) -> dict[str, tf.Tensor]:
        allowed = tf.constant(rule.allowed_codes(self._code_of), dtype=tf.int32)
        log_probabilities = tf.add_n(
            [
                tf.gather(
                    tf.nn.log_softmax(self._values[column].sampling_logits(outputs[column])),
                    allowed[:, position],
                    axis=1,
                )
                for position, column in enumerate(rule.columns)
            ]
        )
        choice = randomness.categorical(log_probabilities)
        chosen = tf.cast(tf.gather(allowed, choice), tf.float32)
        return {column: chosen[:, position] for position, column in enumerate(rule.columns)}

    def _code_of(self, column: str, category: Any) -> int:
        value = self._values[column]
        if not isinstance(value, CategoricalValue):
            raise KeyError(
                f"The association rule's column {column!r} is not categorical in the value "
                f"group {self.name!r}: associate only columns of categories."
            )
        return value.code_of(category)

    def _split(self, y: tf.Tensor) -> list[tf.Tensor]:
        sizes = [value.learned_output_size() for value in self._values.values()]
        return tf.split(y, sizes, axis=-1)

    def _columns(self, inputs: Inputs) -> dict[str, tf.Tensor]:
        """The group's columns of `inputs` as float32 tensors, NaN-filled where absent."""
        if isinstance(inputs, pd.DataFrame):
            present = {
                name: tf.constant(inputs[name].to_numpy(dtype=np.float32, na_value=np.nan))
                for name in self._values
                if name in inputs.columns
            }
        else:
            present = {
                name: tf.cast(inputs[name], tf.float32) for name in self._values if name in inputs
            }
        if not present:
            raise KeyError(f"The inputs hold none of the columns {list(self._values)}")
        absent = tf.fill(tf.shape(next(iter(present.values()))), np.float32(np.nan))
        columns = {name: present.get(name, absent) for name in self._values}
        if ENTITY_END in self._values and ENTITY_END not in present:
            columns[ENTITY_END] = 1.0 - self._filled_rows(columns)
        return columns

    def __getitem__(self, name: str) -> Value:
        return self._values[name]

    def __iter__(self) -> Iterator[str]:
        return iter(self._values)

    def __len__(self) -> int:
        return len(self._values)

    def keys(self) -> KeysView[str]:
        return self._values.keys()

    def values(self) -> ValuesView[Value]:
        return self._values.values()

    def items(self) -> ItemsView[str, Value]:
        return self._values.items()
