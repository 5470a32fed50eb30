"""EventSynthesizer: construction checks, the four model parts and synthesis of new entities."""

import inspect
import traceback

import numpy as np
import pandas as pd
import pytest
import tensorflow as tf

from velora.common.rules import Association, Expression
from velora.complex import episode_forge
from velora.complex.episode_forge import EventSynthesizer
from velora.complex.latent_dynamics import DeepStateSpaceModel
from velora.config import DeepStateConfig
from velora.metadata import DataFrameMeta
from velora.metadata.factory import MetaExtractor
from velora.transformer.exceptions import TransformerNotFitError

L = 4
ROLES = dict(
    event_cols=["page", "amount", "shop"],
    const_cols=["tier", "city"],
    exog_cols=["temp"],
    sample_cols=["shop", "city"],
)
CONSTANTS = ["tier", "city", "time_0"]


def tiny_config(**changes) -> DeepStateConfig:
    # a large step size teaches the model within a few dozen steps that entities have a start
    fields = dict(capacity=8, latent_size=L, max_time_steps=5, batch_size=4, codes=2)
    return DeepStateConfig(**{**fields, "learning_rate": 0.02, **changes})


def event_table(entities: int = 10, seed: int = 0) -> pd.DataFrame:
    """Entities of 3 to 6 events; the columns deliberately not in role order."""
    rng = np.random.default_rng(seed)
    rows = []
    for entity in range(entities):
        time = pd.Timestamp("2024-01-01") + pd.Timedelta(days=entity)
        for _ in range(3 + entity % 4):
            time += pd.Timedelta(minutes=int(rng.integers(30, 600)))
            rows.append(
                {
                    "tier": ["gold", "silver"][entity % 2],
                    "user": f"u{entity}",
                    "page": rng.choice(["home", "cart", "pay"]),
                    "time": time,
                    "amount": float(rng.normal(20, 5)),
                    "shop": f"s{rng.integers(8)}",
                    "city": f"c{entity % 6}",
                    "temp": float(rng.normal()),
                }
            )
    return pd.DataFrame(rows)


def synthesizer(df: pd.DataFrame, **changes) -> EventSynthesizer:
    arguments = {**ROLES, "config": tiny_config(), **changes}
    return EventSynthesizer(df, "user", "time", **arguments)


@pytest.fixture(scope="module")
def table() -> pd.DataFrame:
    return event_table()


@pytest.fixture(scope="module")
def trained(table) -> EventSynthesizer:
    # Seeded, so what it learns does not hang on the tests that ran before it.
    tf.keras.utils.set_random_seed(0)
    model = synthesizer(table)
    model.learn(table, epochs=1, steps_per_epoch=60)
    return model


def exogenous(n: int, seed: int = 0) -> pd.DataFrame:
    return pd.DataFrame({"temp": np.random.default_rng(seed).normal(size=n)})


def constants_of(model: EventSynthesizer, df: pd.DataFrame, entity: str) -> pd.DataFrame:
    """The entity's constant attributes as the model encodes them (city as its cluster code)."""
    steps = model.preprocess_df(df)
    return steps.loc[[(entity, 0)], CONSTANTS].reset_index(drop=True)


def seeded(model: EventSynthesizer, seed: int, *args, **kwargs) -> pd.DataFrame:
    tf.random.set_seed(seed)
    np.random.seed(seed)
    return model.synthesize(*args, **kwargs)


# --- module and class ---------------------------------------------------------------------


def test_module_binds_its_names_in_order():
    names = [name for name in vars(episode_forge) if not name.startswith("__")]
    assert names == [
        "Any",
        "List",
        "Optional",
        "np",
        "pd",
        "tf",
        "Association",
        "Expression",
        "DeepStateConfig",
        "DataFrameMeta",
        "DataFrameModel",
        "DeepStateSpaceModel",
        "EventSynthesizer",
    ]
    assert episode_forge.__test__ == {}
    assert episode_forge.DataFrameMeta is DataFrameMeta
    assert episode_forge.DeepStateSpaceModel is DeepStateSpaceModel
    assert episode_forge.Expression is Expression


def test_the_class_supplies_every_hook_of_the_model():
    assert EventSynthesizer.__bases__ == (DeepStateSpaceModel,)
    assert type(EventSynthesizer) is type(DeepStateSpaceModel)
    assert not EventSynthesizer.__abstractmethods__
    methods = [name for name, value in vars(EventSynthesizer).items() if callable(value)]
    assert methods == [
        "__init__",
        "preprocess_df",
        "_split_df_model",
        "synthesize",
        "sample",
        "sample_chunks",
        "save",
    ]
    assert isinstance(vars(EventSynthesizer)["load"], classmethod)
    assert EventSynthesizer.__doc__.startswith(
        "A Synthesizer for irregular time-series/event based data, utilising the "
        "DeepStateSpaceModel"
    )


# --- construction -------------------------------------------------------------------------


class Name(str):
    pass


@pytest.mark.parametrize(
    "id_idx, time_idx, message",
    [
        (1, "time", "Argument 'id_idx' has incorrect type (expected str, got int)"),
        ("user", 2.5, "Argument 'time_idx' has incorrect type (expected str, got float)"),
        (Name("user"), "time", "Argument 'id_idx' has incorrect type (expected str, got Name)"),
        ("user", b"time", "Argument 'time_idx' has incorrect type (expected str, got bytes)"),
        (1, 2, "Argument 'id_idx' has incorrect type (expected str, got int)"),
    ],
)
def test_the_column_names_must_be_exact_strings(table, id_idx, time_idx, message):
    with pytest.raises(TypeError) as info:
        EventSynthesizer(table, id_idx, time_idx, ["page"])
    assert str(info.value) == message


@pytest.mark.parametrize(
    "id_idx, time_idx, message",
    [
        (None, "time", "The id column None is not a column of the event table."),
        ("user", None, "The time column None is not a column of the event table."),
    ],
)
def test_none_passes_the_type_check_and_fails_as_a_missing_column(table, id_idx, time_idx, message):
    with pytest.raises(ValueError) as info:
        EventSynthesizer(table, id_idx, time_idx, ["page"])
    assert str(info.value) == message


@pytest.mark.parametrize(
    "change, roles, message",
    [
        ("empty", {}, "The event table is empty: there is nothing to learn from."),
        ("id", {}, "The id column 'client' is not a column of the event table."),
        ("time", {}, "The time column 'when' is not a column of the event table."),
        (
            None,
            {"event_cols": ["page", "clicks", "views"]},
            "Unknown event columns, not in the event table: ['clicks', 'views'].",
        ),
        (None, {"const_cols": ["age"]}, "Unknown constant columns, not in the event table"),
        (None, {"exog_cols": ["rain"]}, "Unknown exogenous columns, not in the event table"),
        (None, {"sample_cols": ["zone"]}, "Unknown sample columns, not in the event table"),
        ("text time", {}, "The time column 'time' must hold date-times or numbers, not str"),
        (None, {"event_cols": ["page", "time"]}, "The time column 'time' is also given among"),
        (None, {"const_cols": ["user"]}, "The id column 'user' is also given among the const"),
        ("derived", {}, "The column 'time_diff' clashes with a column derived from the time"),
        ("repeated", {}, "The event table has more than one column named ['page']"),
    ],
)
def test_unusable_tables_are_refused_before_anything_is_built(
    table, monkeypatch, change, roles, message
):
    extracted = []
    monkeypatch.setattr(MetaExtractor, "extract", lambda *a, **k: extracted.append(a))
    id_idx, time_idx = "user", "time"
    df = table.copy()
    if change == "empty":
        df = df.iloc[:0]
    elif change == "id":
        id_idx = "client"
    elif change == "time":
        time_idx = "when"
    elif change == "text time":
        df["time"] = df["time"].astype(str)
    elif change == "derived":
        df["time_diff"] = 1.0
    elif change == "repeated":
        df = pd.concat([df, df[["page"]]], axis=1)
    arguments = {**ROLES, **roles}
    with pytest.raises(ValueError) as info:
        EventSynthesizer(df, id_idx, time_idx, **arguments, config=tiny_config())
    assert str(info.value).startswith(message)
    assert extracted == []


def awkward_table(table: pd.DataFrame) -> pd.DataFrame:
    """Rows newest first, a zoned time, a column name Keras refuses, integers, a text column in
    no role, and one entity of a single event."""
    df = table.rename(columns={"page": "page, visited"}).iloc[::-1].reset_index(drop=True)
    df["note"] = "in no role"
    df["time"] = df["time"].dt.tz_localize("Europe/Paris")
    df["amount"] = df["amount"].round().astype("int32")
    single = df[df["user"] == "u0"].iloc[:1].assign(user="single")
    return pd.concat([df, single], ignore_index=True)


@pytest.mark.parametrize("sample_cols", [["shop", "city"], ["user", "shop"]])
def test_awkward_tables_train_and_come_back_in_their_own_types(table, sample_cols):
    df = awkward_table(table)
    model = synthesizer(df, event_cols=["page, visited", "amount", "shop"], sample_cols=sample_cols)
    # Entities are counted by their ids, not by the cluster codes of a clustered id column.
    assert model.max_time_steps == tiny_config().max_time_steps
    model.learn(df, epochs=1, steps_per_epoch=30)
    steps = model.preprocess_df(df)
    assert (steps["time_diff"].dropna() >= pd.Timedelta(0)).all()
    out = model.synthesize(5, df_exogenous=exogenous(5))
    assert list(out.columns) == [c for c in df.columns if c not in ("user", "note")]
    assert out["time"].dtype == df["time"].dtype
    assert out["amount"].dtype in (np.dtype("int32"), pd.Int32Dtype())
    assert out["amount"].dropna().between(df["amount"].min(), df["amount"].max()).all()


@pytest.mark.parametrize("steps, error", [(0, None), (-1, ValueError)])
def test_learning_length_is_checked_and_zero_steps_return_at_once(table, steps, error):
    model = synthesizer(table)
    if error:
        with pytest.raises(error, match="steps_per_epoch must be a whole number of at least 0"):
            model.learn(table, epochs=1, steps_per_epoch=steps)
        return
    assert model.learn(table, epochs=1, steps_per_epoch=steps).history == {}
    assert len(model.synthesize(3, df_exogenous=exogenous(3))) == 3


@pytest.mark.parametrize(
    "method, call",
    [("synthesize", lambda model: model.synthesize(3, df_exogenous=exogenous(3))),
     ("sample", lambda model: model.sample(2, df_exogenous=[exogenous(3)] * 2))],
)  # fmt: skip
def test_synthesis_before_learning_says_what_to_do(table, method, call):
    message = rf"EventSynthesizer.{method} needs a trained model: call learn\(df\) first"
    with pytest.raises(TransformerNotFitError, match=message):
        call(synthesizer(table))


def test_the_extractor_spy_sees_a_valid_construction(table, monkeypatch):
    # the check above means something only if construction reaches the extractor
    extracted = []
    monkeypatch.setattr(MetaExtractor, "extract", lambda *a, **k: extracted.append(a) or 1 / 0)
    with pytest.raises(ZeroDivisionError):
        synthesizer(table)
    assert len(extracted) == 1


def test_the_default_lists_are_shared_between_instances(table):
    first = EventSynthesizer(table, "user", "time", ["page"], config=tiny_config())
    second = EventSynthesizer(table, "user", "time", ["amount"], config=tiny_config())
    defaults = inspect.signature(EventSynthesizer.__init__).parameters
    for role in ("const_cols", "exog_cols", "sample_cols"):
        assert getattr(first, role) is getattr(second, role) is defaults[role].default
        assert getattr(first, role) == []
    assert first.clusters == {}


def test_the_callers_column_order_is_kept(table):
    model = synthesizer(table)
    assert list(model.columns) == [
        "tier",
        "user",
        "page",
        "time",
        "amount",
        "shop",
        "city",
        "temp",
    ]


def test_the_model_is_split_into_four_named_parts(trained):
    parts = [
        trained.df_model_id,
        trained.df_model_const,
        trained.df_model_time_series,
        trained.df_model_exog,
    ]
    assert [part.name for part in parts] == ["id", "const", "time_series", "exogenous"]
    assert [list(part) for part in parts] == [
        ["user"],
        CONSTANTS,
        ["page", "amount", "shop", "time_diff"],
        ["temp"],
    ]


def test_split_builds_fresh_parts_from_the_whole_model(trained):
    parts = trained._split_df_model(trained.df_model)
    stored = [
        trained.df_model_id,
        trained.df_model_const,
        trained.df_model_time_series,
        trained.df_model_exog,
    ]
    assert isinstance(parts, tuple) and len(parts) == 4
    for part, kept in zip(parts, stored, strict=True):
        assert part is not kept and part.meta is not kept.meta
        assert isinstance(part.meta, DataFrameMeta) and list(part.meta) == list(kept)
        assert part.children == [trained.df_model[name] for name in kept]


def test_a_column_in_no_role_is_in_no_part(table):
    model = synthesizer(table.assign(note=np.linspace(0, 1, len(table))))
    assert "note" in model.df_model
    parts = model._split_df_model(model.df_model)
    assert not any("note" in part for part in parts)


# --- synthesis ----------------------------------------------------------------------------


def test_a_random_entity_has_the_training_layout_without_the_id(trained):
    synthetic = trained.synthesize(10, df_exogenous=exogenous(10))
    assert len(synthetic) == 10 and list(synthetic.index) == list(range(10))
    assert list(synthetic.columns) == [c for c in trained.columns if c != "user"]
    assert synthetic["time"].dtype.kind == "M"


def test_entities_of_any_length_share_the_compiled_graphs(trained):
    for n in (3, 7, 12):
        trained.synthesize(n, df_exogenous=exogenous(n))
    # A retrace per length would cost seconds each: the graphs must take any length.
    compiled = [trained._compiled_fresh_generation, trained._compiled_decoding]
    counts = [function.experimental_get_tracing_count() for function in compiled]
    for n in (4, 9, 15):
        trained.synthesize(n, df_exogenous=exogenous(n))
    assert [function.experimental_get_tracing_count() for function in compiled] == counts
    assert all(count <= 2 for count in counts)


def test_a_given_entity_has_its_id_on_every_row(trained, table):
    synthetic = trained.synthesize(
        10, id="u3", df_const=constants_of(trained, table, "u3"), df_exogenous=exogenous(10)
    )
    assert list(synthetic.columns) == list(table.columns)
    assert synthetic["user"].tolist() == ["u3"] * 10


def test_a_given_id_needs_the_constant_attributes(trained):
    with pytest.raises(ValueError) as info:
        trained.synthesize(3, id="u3", df_exogenous=exogenous(3))
    assert str(info.value) == (
        "df_const is None but df_value_const.learned_input_size != 0. Ensure that df_const is "
        "suppliedwith the column names ['tier', 'city', 'time_0']"
    )
    assert info.value.__notes__ == [
        "Pass df_const: one row with the entity's constant columns ['tier', 'city'] and its "
        "first time ('time' of its first event) as 'time_0', in the layout preprocess_df(df) "
        "gives them."
    ]


def test_the_same_id_draws_a_new_code_on_every_call(trained, table):
    df_const, df_exog = constants_of(trained, table, "u1"), exogenous(6)
    runs = [trained.synthesize(6, id="u1", df_const=df_const, df_exogenous=df_exog) for _ in "ab"]
    assert not runs[0]["amount"].equals(runs[1]["amount"])


def test_the_id_noise_has_one_value_per_latent_dimension(trained, table, monkeypatch):
    shapes = []
    normal = tf.random.normal

    def recording(*args, **kwargs):
        result = normal(*args, **kwargs)
        shapes.append(tuple(result.shape))
        return result

    df_const = constants_of(trained, table, "u2")
    monkeypatch.setattr(tf.random, "normal", recording)
    trained.synthesize(3, id="u2", df_const=df_const, df_exogenous=exogenous(3))
    assert shapes[0] == (1, 1, L)  # the id code's draw comes first


def test_imposed_gaps_rebuild_the_times_from_the_start(trained):
    gap = pd.Timedelta(hours=1)
    for _ in range(5):
        synthetic = trained.synthesize(
            8, df_exogenous=exogenous(8), df_overwrite=pd.DataFrame({"time_diff": [gap] * 8})
        )
        times = synthetic["time"]
        assert times.dtype.kind == "M"
        if times.notna().all():
            steps = times.diff().iloc[1:]
            assert ((steps - gap).abs() < pd.Timedelta(seconds=1)).all()
            assert times.is_monotonic_increasing
            return
    pytest.fail("every synthetic entity lacked a start time")


def test_generated_times_follow_the_generated_gaps(trained):
    # missing gaps count as none, so times never fall when gaps are non-negative
    for _ in range(5):
        times = trained.synthesize(10, df_exogenous=exogenous(10))["time"]
        if times.notna().all():
            steps = times.diff().iloc[1:]
            assert steps.dtype.kind == "m" and steps.notna().all()
            return
    pytest.fail("every synthetic entity lacked a start time")


def test_constant_columns_hold_one_value(trained, table):
    for kwargs in ({}, {"id": "u4", "df_const": constants_of(trained, table, "u4")}):
        synthetic = trained.synthesize(7, produce_nans=False, df_exogenous=exogenous(7), **kwargs)
        for column in ("tier", "city"):
            assert synthetic[column].nunique(dropna=False) == 1, column
        assert synthetic["tier"].iloc[0] in {"gold", "silver"}


def test_a_clustered_constant_is_a_training_value_seeded_by_the_id(trained, table):
    cluster = trained.clusters["city"]
    seeded_choices = {cluster.sample(code, seed="u5") for code in cluster.catmap}
    df_const = constants_of(trained, table, "u5")
    for _ in range(4):
        synthetic = trained.synthesize(
            5, produce_nans=False, id="u5", df_const=df_const, df_exogenous=exogenous(5)
        )
        assert synthetic["city"].iloc[0] in seeded_choices


def test_clustered_event_values_are_training_values(trained, table):
    synthetic = trained.synthesize(20, df_exogenous=exogenous(20))
    drawn = set(synthetic["shop"].dropna())
    assert drawn and drawn <= set(table["shop"])


def test_an_overwrite_imposes_its_columns_and_completes_the_callers_frame(trained):
    # A value inside the training range: numbers decode within the range they were fitted on.
    overwrite = pd.DataFrame({"amount": [25.0] * 6, "page": ["pay"] * 6})
    synthetic = trained.synthesize(6, df_exogenous=exogenous(6), df_overwrite=overwrite)
    np.testing.assert_allclose(synthetic["amount"].to_numpy(dtype=float), 25.0, rtol=1e-4)
    assert synthetic["page"].tolist() == ["pay"] * 6
    assert list(overwrite.columns) == ["amount", "page", "shop", "time_diff"]
    assert overwrite[["shop", "time_diff"]].isna().all().all()
    assert overwrite["amount"].tolist() == [25.0] * 6


@pytest.mark.parametrize(
    "given, imposed",
    [
        (["amount"], {"amount", "amount_nan"}),
        (["page", "time_diff"], {"page", "page_nan", "time_diff", "time_diff_nan"}),
        ([], set()),
    ],
)
def test_the_overwrite_mask_covers_the_outputs_of_complete_transformers(
    trained, monkeypatch, given, imposed
):
    masks = []
    loop = trained.transition_loop

    def recording(**kwargs):
        masks.append(kwargs["mask"])
        return loop(**kwargs)

    monkeypatch.setattr(trained, "transition_loop", recording)
    values = {"amount": 1.0, "page": "home", "time_diff": pd.Timedelta(hours=2)}
    overwrite = pd.DataFrame({column: [values[column]] * 4 for column in given}, index=range(4))
    trained.synthesize(4, df_exogenous=exogenous(4), df_overwrite=overwrite)
    expected = [
        name in imposed
        for name, value in trained.df_value_time_series.items()
        for _ in range(value.learned_output_size())
    ]
    assert masks[0].dtype == tf.bool and masks[0].numpy().tolist() == expected


def test_without_an_overwrite_nothing_is_masked(trained, monkeypatch):
    calls = []
    loop = trained.transition_loop
    monkeypatch.setattr(trained, "transition_loop", lambda **kw: calls.append(kw) or loop(**kw))
    trained.synthesize(2, df_exogenous=exogenous(2))
    assert calls[0]["mask"] is None and calls[0]["x_overwrite"] is None
    assert calls[0]["x_time_series"] is None and calls[0]["n"] == 2


def test_exogenous_columns_are_required_and_copied(trained):
    with pytest.raises(ValueError) as info:
        trained.synthesize(4)
    assert str(info.value) == (
        "Exogenous variables used to train the model must also be provided during synthesis."
    )
    df_exog = exogenous(4, seed=9)
    synthetic = trained.synthesize(4, df_exogenous=df_exog)
    np.testing.assert_allclose(synthetic["temp"].to_numpy(), df_exog["temp"].to_numpy())


@pytest.mark.parametrize("argument", ["df_exogenous", "df_overwrite"])
def test_too_few_rows_per_step_are_refused(trained, argument):
    frames = {"df_exogenous": exogenous(10)}
    frames[argument] = exogenous(3) if argument == "df_exogenous" else exogenous(3)[[]]
    with pytest.raises(ValueError) as info:
        trained.synthesize(10, **frames)
    assert str(info.value) == (
        f"{argument} must hold one row per generated step: 10 rows are needed, 3 were given."
    )


@pytest.mark.parametrize("with_id", [False, True])
def test_no_steps_give_an_empty_frame_with_the_output_columns(trained, table, with_id):
    kwargs = {"id": "u3", "df_const": constants_of(trained, table, "u3")} if with_id else {}
    synthetic = trained.synthesize(0, df_exogenous=exogenous(1), **kwargs)
    expected = [c for c in table.columns if with_id or c != "user"]
    assert isinstance(synthetic, pd.DataFrame)
    assert list(synthetic.columns) == expected and len(synthetic) == 0


def test_the_time_series_argument_has_no_effect(trained, eager):
    df_exog = exogenous(5)
    plain = seeded(trained, 3, 5, df_exogenous=df_exog)
    history = pd.DataFrame({"page": ["pay"] * 5, "amount": [1e6] * 5})
    given = seeded(trained, 3, 5, df_exogenous=df_exog, df_time_series=history)
    pd.testing.assert_frame_equal(plain, given)


def test_expression_rules_apply_in_order(trained):
    rules = [Expression("doubled", "amount * 2"), Expression("tripled", "doubled * 1.5")]
    synthetic = trained.synthesize(5, df_exogenous=exogenous(5), expression_rules=rules)
    np.testing.assert_allclose(
        synthetic["tripled"].to_numpy(dtype=float), synthetic["amount"].to_numpy(dtype=float) * 3
    )
    with pytest.raises(ValueError, match="doubled"):
        trained.synthesize(5, df_exogenous=exogenous(5), expression_rules=rules[::-1])


def test_an_unknown_id_of_a_clustered_id_column_is_a_key_error(table):
    model = synthesizer(table, sample_cols=["user"])
    with pytest.raises(KeyError):
        model.synthesize(3, id="nobody", df_exogenous=exogenous(3))


@pytest.mark.parametrize(
    "method, call, error",
    [
        ("__init__", lambda m, df: EventSynthesizer(df, "user", "time", ["nope"]), ValueError),
        ("synthesize", lambda m, df: m.synthesize(3), ValueError),
        ("preprocess_df", lambda m, df: m.preprocess_df(df.drop(columns="time")), KeyError),
        ("_split_df_model", lambda m, df: m._split_df_model(m.df_model_exog), KeyError),
    ],
)
def test_errors_carry_a_traceback_entry_naming_the_method(trained, table, method, call, error):
    with pytest.raises(error) as info:
        call(trained, table)
    native = [
        f for f in traceback.extract_tb(info.value.__traceback__) if f.filename.endswith("cpp")
    ]
    assert native[0].name == f"velora.complex.episode_forge.EventSynthesizer.{method}"
    assert native[0].filename == "velora/complex/episode_forge.cpp" and native[0].lineno > 0


# --- numeric times ------------------------------------------------------------------------


@pytest.fixture(scope="module")
def numeric():
    rng = np.random.default_rng(4)
    sizes = [2, 3, 4, 3, 2, 4]
    df = pd.DataFrame(
        {
            "user": np.repeat(np.arange(len(sizes)), sizes),
            "t": np.concatenate([np.cumsum(rng.integers(1, 4, size)) for size in sizes]),
            "x": rng.normal(size=sum(sizes)),
        }
    ).astype({"t": "int64"})
    model = EventSynthesizer(df, "user", "t", ["x"], config=tiny_config(max_time_steps=4))
    model.learn(df, epochs=1, steps_per_epoch=40)
    return model


def test_numeric_times_are_rebuilt_as_numbers(numeric):
    for _ in range(5):
        synthetic = numeric.synthesize(6, df_overwrite=pd.DataFrame({"t_diff": [2.0] * 6}))
        assert list(synthetic.columns) == ["t", "x"]
        assert synthetic["t"].dtype.kind in "if"
        if synthetic["t"].notna().all():
            np.testing.assert_allclose(np.diff(synthetic["t"].to_numpy()), 2.0, rtol=1e-4)
            return
    pytest.fail("every synthetic entity lacked a start time")


# --- the bundled flights ------------------------------------------------------------------


def total_variation(p: pd.Series, q: pd.Series) -> float:
    support = p.index.union(q.index)
    return 0.5 * float(
        (p.reindex(support, fill_value=0) - q.reindex(support, fill_value=0)).abs().sum()
    )


@pytest.mark.slow
def test_flights_marginals_and_gaps():
    from velora.data import load_flights_sample

    tf.keras.utils.set_random_seed(0)
    flights = load_flights_sample()
    flights["time_hour"] = pd.to_datetime(flights["time_hour"])
    config = DeepStateConfig(capacity=32, latent_size=8, max_time_steps=15, batch_size=16)
    model = EventSynthesizer(
        flights,
        "tailnum",
        "time_hour",
        event_cols=["origin", "dest", "dep_delay", "air_time", "distance"],
        const_cols=["carrier"],
        config=config,
    )
    model.learn(flights, epochs=3, steps_per_epoch=100)
    entities = [model.synthesize(15, produce_nans=False) for _ in range(30)]
    synthetic = pd.concat(entities, ignore_index=True)
    real = flights["origin"].value_counts(normalize=True)
    drawn = synthetic["origin"].value_counts(normalize=True)
    uniform = pd.Series(1 / len(real), index=real.index)
    assert total_variation(drawn, real) < total_variation(uniform, real)
    gaps = pd.concat([entity["time_hour"].diff().iloc[1:] for entity in entities]).dropna()
    # every real gap is non-negative (each aircraft's departures come in time order)
    assert len(gaps) > 200 and (gaps >= pd.Timedelta(0)).mean() > 0.8


# --- sampling many entities -----------------------------------------------------------------


def exogenous_frames(count: int, rows: int = 5) -> list[pd.DataFrame]:
    return [exogenous(rows, seed=i) for i in range(count)]


def sampled(model: EventSynthesizer, count: int, **options) -> pd.DataFrame:
    return model.sample(count, df_exogenous=exogenous_frames(count), **options)


def test_an_entity_comes_out_the_same_whatever_the_chunk_size(trained):
    # Batches of other sizes may round the network's sums differently: times (in seconds)
    # agree to float32 precision (a few milliseconds here), everything else exactly.
    def comparable(frame: pd.DataFrame) -> pd.DataFrame:
        return frame.assign(time=(frame["time"] - pd.Timestamp("2024-01-01")).dt.total_seconds())

    by_chunk = [comparable(sampled(trained, 7, seed=11, chunk_size=size)) for size in (1, 3, 7)]
    for other in by_chunk[1:]:
        pd.testing.assert_frame_equal(by_chunk[0], other, rtol=1e-6, atol=1e-2)
    assert not sampled(trained, 7, seed=12).equals(by_chunk[0])
    # Shards of whole chunks, put together, are the table of one call.
    whole = comparable(sampled(trained, 7, seed=11, chunk_size=2))
    for shards, sizes in ((2, [4, 3]), (4, [2, 2, 2, 1]), (5, [0, 2, 2, 2, 1])):
        parts = [
            sampled(trained, 7, seed=11, chunk_size=2, shard=(i, shards)) for i in range(shards)
        ]
        assert [part["user"].nunique() for part in parts] == sizes
        together = comparable(pd.concat(parts, ignore_index=True))
        pd.testing.assert_frame_equal(together, whole, rtol=1e-6, atol=1e-2)


def test_sampled_entities_have_ids_layout_and_learned_lengths(trained, table):
    synthetic = sampled(trained, 12, seed=5)
    assert list(synthetic.columns) == list(table.columns)
    ids = synthetic["user"].unique().tolist()
    assert ids == [f"synthetic-{i:04d}" for i in range(1, 13)]
    lengths = synthetic.groupby("user").size()
    # Without an end flag, lengths are drawn from the training entities' (3 to 5 steps kept).
    assert lengths.between(3, 5).all() and lengths.nunique() > 1
    assert synthetic.groupby("user")["time"].apply(lambda t: t.is_monotonic_increasing).all()
    assert (synthetic.groupby("user")[["tier", "city"]].nunique() == 1).all().all()


def test_sampling_honours_given_lengths_and_constants(trained):
    given = pd.DataFrame({"tier": ["gold", "silver", "silver", "gold"]})
    synthetic = sampled(trained, 4, seed=2, lengths=[1, 2, 4, 5], df_const=given)
    by_entity = synthetic.groupby("user", sort=True)
    assert by_entity.size().tolist() == [1, 2, 4, 5]
    assert by_entity["tier"].unique().map(list).tolist() == [[t] for t in given["tier"]]


def test_rules_apply_to_sampled_entities(trained):
    only = Association(["page", "shop"], [("home", 0), ("cart", 1)])
    doubled = Expression("doubled", "amount * 2")
    synthetic = sampled(trained, 4, seed=1, association_rules=[only], expression_rules=[doubled])
    assert set(synthetic["page"].dropna()) <= {"home", "cart"}
    np.testing.assert_allclose(synthetic["doubled"], synthetic["amount"].astype(float) * 2)


def test_no_entities_give_an_empty_frame_with_the_output_columns(trained, table):
    empty = trained.sample(0, df_exogenous=[])
    assert empty.empty and list(empty.columns) == list(table.columns)


@pytest.mark.parametrize(
    "count, options, message",
    [
        (-1, {}, "count must be a whole number of at least 0, not -1"),
        (2.0, {}, "count must be a whole number"),
        (2, {"df_const": pd.DataFrame({"page": ["home"] * 2})}, "not one of the model's const"),
        (2, {"df_const": pd.DataFrame({"tier": ["gold", "bronze"]})}, r"never saw: \['bronze'\]"),
        (2, {"df_const": pd.DataFrame({"tier": ["gold"]})}, "one row per entity: 2 rows"),
        (2, {"lengths": [3]}, "one whole number of at least 1 per entity"),
        (2, {"lengths": [3, 0]}, "one whole number of at least 1 per entity"),
        (2, {"chunk_size": 0}, "chunk_size must be a whole number of at least 1"),
        (2, {"df_exogenous": None}, "give df_exogenous, one frame of them per entity"),
        (2, {"df_exogenous": exogenous_frames(2, rows=2)}, "rows are needed"),
        (2, {"shard": 1}, r"shard must be a pair \(index, shards\), not 1"),
        (2, {"shard": (0, 0)}, "the number of shards must be a whole number of at least 1"),
        (2, {"shard": (2, 2)}, "the shard's index must be below the number of shards 2, not 2"),
    ],
)
def test_unusable_sampling_requests_are_refused(trained, count, options, message):
    options = {"df_exogenous": exogenous_frames(2), **options}
    with pytest.raises(ValueError, match=message):
        trained.sample(count, **options)
