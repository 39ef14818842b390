from . import dds as dds, sce as sce
