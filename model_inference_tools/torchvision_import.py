"""Imports torchvision beside a CPU-only torch whose operator registry lacks torchvision's
compiled operators.

torchvision registers fake (meta) kernels for its compiled operators at import time; when
its compiled library does not match the installed torch, those registrations raise and
the import fails, and with it every `transformers` model class that imports torchvision
lazily. The model definitions do not need those operators, so the registrations that fail
are skipped.
"""

import importlib
import sys


def import_torchvision():
    """Returns the torchvision module, imported with failing fake-kernel registrations skipped."""
    if "torchvision" in sys.modules:
        return sys.modules["torchvision"]
    import torch.library

    original = torch.library.register_fake

    def tolerant(op, *args, **kwargs):
        try:
            decorator = original(op, *args, **kwargs)
        except RuntimeError:
            decorator = None

        def register(fn=None):
            if decorator is None:
                return fn
            try:
                return decorator(fn)
            except RuntimeError:
                return fn

        return register

    torch.library.register_fake = tolerant
    try:
        return importlib.import_module("torchvision")
    finally:
        torch.library.register_fake = original
