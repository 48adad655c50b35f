"""Attributes and filters over seismic cubes, computed chunk by chunk on memory maps:
`operations` names them, `runner` applies one to a property of a data object,
`dialogs` runs one in the main window and `cli` from the command line."""
