"""Helpers around PyTorch's own utilities."""
from . import data

__all__ = ["data"]
