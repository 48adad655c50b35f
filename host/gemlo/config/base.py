"""Configuration helpers shared by the whole application."""

import gettext

# Identity unless a catalogue for the user's language is installed.
_translation = gettext.translation("gemlo", fallback=True)


def _(text):
    """Return the display string for `text`."""
    return _translation.gettext(text)
