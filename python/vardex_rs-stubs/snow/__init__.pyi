from . import cemaneige as cemaneige
