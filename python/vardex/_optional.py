"""Optional dependencies: imported when a feature needs them, with the install command when they are missing."""
from __future__ import annotations

import importlib
from typing import Any


def optional_import(name: str, feature: str, install: str) -> Any:
    """The module ``name``; an ImportError saying that ``feature`` needs it and how to install it."""
    try:
        return importlib.import_module(name)
    except ImportError as err:
        raise ImportError(f"{feature} needs {name}: pip install {install}") from err
