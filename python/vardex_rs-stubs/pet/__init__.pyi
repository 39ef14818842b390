from . import oudin as oudin
