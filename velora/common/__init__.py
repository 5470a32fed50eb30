"""Modelling components: value groups, network layers, optimisers, training callbacks, rules."""
