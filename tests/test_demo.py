"""The main job's demo runs end to end on the bundled table."""

from velora import demo
from velora.data import load_flights_sample


def test_bundled_sample_is_the_documented_table():
    flights = load_flights_sample()
    assert len(flights) == 930 and flights["tailnum"].nunique() == 60
    assert flights.groupby("tailnum").size().between(3, 30).all()


def test_demo_prints_the_meta_and_a_faithful_round_trip(capsys):
    demo.main()
    out = capsys.readouterr().out
    assert "DataFrameMeta(name='df', num_columns=8, num_rows=930, annotations=[])" in out
    assert "children['time_hour']" in out and "'%Y-%m-%d %H:%M:%S'" in out
    assert out.rstrip().endswith("-> identical")
