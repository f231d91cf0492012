"""Commands, their history and the mementos that undo them."""
