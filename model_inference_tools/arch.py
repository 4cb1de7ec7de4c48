"""Writer for architecture files (the JSON graph description)."""

from __future__ import annotations

import json
import os
from dataclasses import dataclass, field
from typing import Any, Iterable, Sequence

from model_inference_tools.weights import _atomic_write


def input_spec(name: str, shape: Sequence[int], dtype: str = "float32",
               scale: float = 1.0, zp: int = 0) -> dict:
    """One declared input. ``shape`` is [H, W, C], [H, C] or [C]; 0 marks a dim supplied
    at run time. It is written in the file's [N, H, W, C] form."""
    dims = list(shape)
    if not 1 <= len(dims) <= 3:
        raise ValueError(f"input {name!r}: shape must have 1 to 3 dims, got {dims}")
    h, w, c = {1: lambda: (1, 1, dims[0]), 2: lambda: (dims[0], 1, dims[1]),
               3: lambda: tuple(dims)}[len(dims)]()
    return {"name": name, "shape": [1, h, w, c], "dtype": dtype, "scale": scale, "zp": zp}


def node(name: str, op: str, inputs: Iterable[str], outputs: Iterable[str] | str,
         relu: bool | None = None, **args: Any) -> dict:
    """One graph node; keyword arguments become its "args" object."""
    out = [outputs] if isinstance(outputs, str) else list(outputs)
    n: dict = {"name": name, "op": op, "inputs": list(inputs), "outputs": out}
    if relu is not None:
        args["relu"] = relu
    if args:
        n["args"] = args
    return n


@dataclass
class Arch:
    """A model graph under construction; ``write`` saves it as an architecture file."""

    model: str = ""
    inputs: list = field(default_factory=list)
    outputs: list = field(default_factory=list)
    nodes: list = field(default_factory=list)

    def add_input(self, name: str, shape: Sequence[int], dtype: str = "float32",
                  scale: float = 1.0, zp: int = 0) -> "Arch":
        self.inputs.append(input_spec(name, shape, dtype, scale, zp))
        return self

    def add(self, name: str, op: str, inputs: Iterable[str], outputs: Iterable[str] | str,
            relu: bool | None = None, **args: Any) -> "Arch":
        self.nodes.append(node(name, op, inputs, outputs, relu, **args))
        return self

    def to_json(self) -> dict:
        doc: dict = {"model": self.model, "inputs": self.inputs, "nodes": self.nodes}
        if self.outputs:
            doc["outputs"] = [{"name": n} for n in self.outputs]
        return doc

    def write(self, path: str | os.PathLike) -> None:
        write_arch(path, self.to_json())


def write_arch(path: str | os.PathLike, doc: dict) -> None:
    """Write an architecture document (a dict) as JSON, atomically."""
    _atomic_write(path, json.dumps(doc, indent=1).encode("utf-8"))
