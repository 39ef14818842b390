"""Lumped conceptual hydrological modelling at a daily time step."""
from . import calibration as calibration, hydro as hydro, metrics as metrics, pet as pet, snow as snow

__version__: str

class VardexError(Exception):
    """Base of the module's own errors."""

class VardexNumericalError(VardexError):
    """A degenerate or non-finite result."""

class VardexValidationError(VardexError):
    """Bad input: counts, bounds, lengths, non-finite or negative values."""
