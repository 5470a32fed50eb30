"""The deep state-space model and the event synthesizer built on it."""
