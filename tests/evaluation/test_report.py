"""The report's figures on small tables whose right answers are known, and its files."""

import json
import math

import numpy as np
import pandas as pd
import pytest

from velora.evaluation import evaluate, plots

ROLES = dict(id_col="id", time_col="t", event_cols=["kind", "amount"], const_cols=["group"])


def event_table(entities: int, seed: int, prefix: str = "e") -> pd.DataFrame:
    """Entities of 3 to 9 events: a Markov chain of kinds, normal amounts, dated times."""
    rng = np.random.default_rng(seed)
    following = {"a": ["b", "c"], "b": ["c", "a"], "c": ["a", "a"]}
    rows = []
    for entity in range(entities):
        kind, time = "a", pd.Timestamp("2024-01-01") + pd.Timedelta(hours=rng.integers(100))
        group = rng.choice(["x", "y"])
        for _ in range(rng.integers(3, 10)):
            rows.append(
                dict(id=f"{prefix}{entity}", t=time, kind=kind, amount=rng.normal(), group=group)
            )
            kind = rng.choice(following[kind])
            time += pd.Timedelta(hours=rng.exponential(5))
    table = pd.DataFrame(rows)
    table["t"] = table["t"].dt.strftime("%Y-%m-%d %H:%M:%S")
    return table


@pytest.fixture(scope="module")
def real() -> pd.DataFrame:
    return event_table(80, seed=1)


def test_identical_tables_score_perfectly(real):
    figures = evaluate(real, real.copy(), **ROLES).figures
    distances = [v for k, v in figures.items() if k.split("/")[0].endswith(("ks", "tvd"))]
    assert len(distances) == 7 and all(v == 0 for v in distances)
    assert figures["constant_within_entity/group"] == 1.0
    assert figures["time_non_decreasing"] == 1.0
    assert figures["time_outside_range"] == 0 and figures["time_overshoot"] == 0
    assert figures["discriminator_auc"] == pytest.approx(0.5, abs=0.05)


def test_times_beyond_the_real_range_are_counted_in_largest_gaps(real):
    times = pd.to_datetime(real["t"])
    largest_gap = times.groupby(real["id"]).diff().max()
    # One event a day after the last real time, one two largest gaps before the first.
    synthetic = real.copy()
    synthetic.loc[0, "t"] = str(times.max() + pd.Timedelta(days=1))
    synthetic.loc[len(real) - 1, "t"] = str(times.min() - 2 * largest_gap)
    figures = evaluate(real, synthetic, **ROLES).figures
    assert figures["time_outside_range"] == pytest.approx(2 / len(real))
    assert figures["time_overshoot"] == pytest.approx(2.0)
    # The training entities' times are real times too.
    figures = evaluate(real, real, **ROLES, training=synthetic).figures
    assert figures["time_outside_range"] == 0 and figures["time_overshoot"] == 0


def test_figure_names_are_stable(real):
    assert set(evaluate(real, real, **ROLES).figures) == {
        "marginal_ks/t", "marginal_tvd/kind", "marginal_ks/amount", "marginal_tvd/group",
        "events_per_entity_ks", "gap_ks", "transition_tvd/kind",
        "constant_within_entity/group", "time_non_decreasing", "time_outside_range",
        "time_overshoot", "discriminator_auc",
    }  # fmt: skip


def test_shuffled_order_within_entities_changes_transitions_only(real):
    rng = np.random.default_rng(0)
    shuffled = real.assign(
        kind=real.groupby("id")["kind"].transform(lambda s: rng.permutation(s.to_numpy()))
    )
    figures = evaluate(real, shuffled, **ROLES).figures
    assert figures["transition_tvd/kind"] > 0.15
    assert figures["marginal_tvd/kind"] == 0 and figures["gap_ks"] == 0
    assert figures["events_per_entity_ks"] == 0


@pytest.mark.parametrize("seed", [2, 3, 4])
def test_discriminator_is_near_chance_for_draws_of_one_distribution(real, seed):
    other = event_table(80, seed=seed, prefix="s")
    assert evaluate(real, other, **ROLES, seed=seed).figures["discriminator_auc"] == (
        pytest.approx(0.5, abs=0.15)
    )


def test_discriminator_tells_a_different_distribution(real):
    shifted = real.assign(amount=real["amount"] + 2.0, id="s" + real["id"])
    assert evaluate(real, shifted, **ROLES).figures["discriminator_auc"] > 0.9


def test_broken_entities_lower_the_consistency_shares(real):
    synthetic = real.copy()
    first_two = synthetic["id"].isin(["e0", "e1"])
    synthetic.loc[first_two, "group"] = np.where(
        synthetic.loc[first_two].groupby("id").cumcount() == 0, "x", "y"
    )
    reversed_times = synthetic.loc[synthetic["id"] == "e2", "t"].to_numpy()[::-1]
    synthetic.loc[synthetic["id"] == "e2", "t"] = reversed_times
    figures = evaluate(real, synthetic, **ROLES).figures
    assert figures["constant_within_entity/group"] == pytest.approx(78 / 80)
    assert figures["time_non_decreasing"] == pytest.approx(79 / 80)


def test_numeric_times_and_missing_values_are_compared(real):
    numeric = real.assign(t=pd.to_datetime(real["t"]).astype("int64") / 1e9)
    with_gaps = numeric.assign(kind=numeric["kind"].where(numeric.index % 4 > 0))
    figures = evaluate(numeric, with_gaps, **ROLES).figures
    # a quarter of the kinds become a category of their own
    assert figures["marginal_tvd/kind"] == pytest.approx(0.25, abs=0.01)
    assert figures["marginal_ks/t"] == 0


def test_write_produces_the_page_json_and_plots(real, tmp_path):
    report = evaluate(real, event_table(20, seed=9, prefix="s"), **ROLES)
    page = report.write(tmp_path / "report")
    assert page == tmp_path / "report" / "report.md"
    written = json.loads((tmp_path / "report" / "report.json").read_text())
    assert written.keys() == report.figures.keys()
    assert all(math.isclose(written[k], v) for k, v in report.figures.items())
    text = page.read_text()
    images = sorted(p.name for p in (tmp_path / "report").glob("*.png"))
    assert images == [
        "gaps.png",
        "marginal_amount.png",
        "marginal_group.png",
        "marginal_kind.png",
        "marginal_t.png",
        "transitions_kind.png",
    ]
    assert all(f"]({name})" in text for name in images)
    assert "`discriminator_auc`" in text


def resampled_training(training: pd.DataFrame, held_out: pd.DataFrame) -> pd.DataFrame:
    """A copier: training entities drawn with replacement, under new ids.

    About 63 % of the training entities get copied, so membership is told for those only.
    """
    entities = dict(list(training.groupby("id")))
    picks = np.random.default_rng(0).choice(sorted(entities), size=len(entities))
    return pd.concat(entities[e].assign(id=f"c{i}") for i, e in enumerate(picks))


def fresh_draw(training: pd.DataFrame, held_out: pd.DataFrame) -> pd.DataFrame:
    return event_table(held_out["id"].nunique(), seed=7, prefix="s")


@pytest.mark.parametrize(
    "generate, expected",
    [
        (
            resampled_training,
            dict(dcr_ratio=(0, 0.05), dcr_below_held_out_p5=(0.9, 1), identical_share=(0.95, 1),
                 membership_auc=(0.7, 1)),
        ),
        (
            fresh_draw,
            dict(dcr_ratio=(0.8, 1.25), dcr_below_held_out_p5=(0, 0.15), identical_share=(0, 0),
                 membership_auc=(0.4, 0.6)),
        ),
    ],
    ids=["copies training entities", "draws new entities"],
)  # fmt: skip
def test_privacy_figures_flag_a_generator_that_copies(generate, expected):
    real = event_table(300, seed=5)
    is_training = real["id"].isin({f"e{i}" for i in range(150)})
    training, held_out = real[is_training], real[~is_training]
    report = evaluate(held_out, generate(training, held_out), training=training, **ROLES)
    outside = {
        name: report.figures[name]
        for name, (low, high) in expected.items()
        if not low <= report.figures[name] <= high
    }
    assert outside == {}
    assert [line.split()[0] for line in report.summary().splitlines()[-2:]] == [
        "dcr_ratio",
        "membership_auc",
    ]


def test_missing_column_is_named(real):
    with pytest.raises(KeyError, match="synthetic table lacks the columns \\['amount'\\]"):
        evaluate(real, real.drop(columns="amount"), **ROLES)


@pytest.mark.parametrize("as_dates", [True, False])
def test_time_axes_show_dates_when_asked(tmp_path, monkeypatch, as_dates):
    drawn = []
    monkeypatch.setattr(plots.plt, "close", drawn.append)
    seconds = pd.Series(pd.Timestamp("2024-01-01").timestamp() + np.arange(0, 9 * 86400, 3600))
    plots.plot_numeric(seconds, seconds, "t", tmp_path / "t.png", as_dates=as_dates)
    figure = drawn[0]
    figure.canvas.draw()
    texts = [tick.get_text() for tick in figure.axes[0].get_xticklabels()]
    assert any("2024-01-" in text for text in texts) == as_dates, texts
