"""Data access for ornivell: the model-driven extension and its host layer."""
