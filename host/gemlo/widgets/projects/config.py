"""Defaults of the project settings."""

# External modules a project may use, "group/module": "True" or "False".
# Values are texts, as they come from the settings file.
EXTMODULES_DEFAULTS_DICT = {
    "Import/segy": "True",
    "Import/las": "True",
    "Import/horizons": "True",
    "Export/las": "True",
    "Export/horizons": "True",
    "Viewers/vispy": "True",
    "Viewers/volume": "True",
    "Processing/attributes": "True",
    "Processing/filters": "True",
}
