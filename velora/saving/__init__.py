"""Saving what a model learned: plain JSON data that comes back exactly."""
