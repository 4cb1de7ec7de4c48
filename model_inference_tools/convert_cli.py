"""The ``export`` and ``quantize`` commands: PyTorch module in, engine model files out."""

from __future__ import annotations

import importlib
import importlib.util
import sys


def _load_module(spec: str, state_dict: str | None):
    """``package.module:factory`` or ``path/to/file.py:factory``; the factory (or the
    attribute itself, when it already is a module) gives the torch.nn.Module."""
    import torch

    where, _, attr = spec.partition(":")
    if not attr:
        raise SystemExit(f"--model {spec!r}: expected MODULE:FACTORY or FILE.py:FACTORY")
    if where.endswith(".py"):
        loader = importlib.util.spec_from_file_location("_exported_model", where)
        if loader is None:
            raise SystemExit(f"--model: cannot load {where!r}")
        source = importlib.util.module_from_spec(loader)
        loader.loader.exec_module(source)
    else:
        source = importlib.import_module(where)
    obj = getattr(source, attr)
    module = obj if isinstance(obj, torch.nn.Module) else obj()
    if state_dict:
        module.load_state_dict(torch.load(state_dict, map_location="cpu", weights_only=True))
    return module.eval()


def _shape(text: str) -> tuple:
    return tuple(int(d) for d in text.split(","))


def run_export(args) -> int:
    import torch

    from model_inference_tools.export import export

    module = _load_module(args.model, args.state_dict)
    doc = export(module, torch.zeros(_shape(args.input_shape)), args.arch, args.weights, args.name)
    print(f"wrote {args.arch} and {args.weights}: {len(doc['nodes'])} nodes, float32")
    return 0


def run_quantize(args) -> int:
    import numpy as np

    from model_inference_tools.quantize import quantize

    module = _load_module(args.model, args.state_dict)
    data = np.load(args.calibration).astype(np.float32)
    batches = [data[i:i + args.batch_size] for i in range(0, len(data), args.batch_size)]
    batches = batches[:args.max_batches] if args.max_batches else batches

    def progress(done: int, total: int) -> None:
        print(f"\rcalibrating: batch {done}/{total}", end="\n" if done == total else "",
              file=sys.stderr, flush=True)

    doc, _ = quantize(module, batches, args.arch, args.weights, method=args.method,
                      percentile=args.percentile, progress=progress, model_name=args.name,
                      weight_bits=args.weight_bits, winograd=args.winograd)
    spec = doc["inputs"][0]
    print(f"wrote {args.arch} and {args.weights}: {len(doc['nodes'])} nodes, int8; "
          f"input scale {spec['scale']:.6g}, zero point {spec['zp']}")
    return 0


def _common(p) -> None:
    p.add_argument("--model", required=True,
                   help="MODULE:FACTORY or FILE.py:FACTORY returning the torch.nn.Module")
    p.add_argument("--state-dict", help="a torch.save'd state dict to load into the module")
    p.add_argument("--arch", required=True, help="architecture file to write (JSON)")
    p.add_argument("--weights", required=True, help="weights file to write (W1X1)")
    p.add_argument("--name", help="model name stored in the architecture file")


def add_parsers(commands) -> None:
    p = commands.add_parser("export", help="export a PyTorch module as a float32 model")
    _common(p)
    p.add_argument("--input-shape", required=True,
                   help="example input shape in PyTorch order, e.g. 1,3,224,224 or 1,64")
    p.set_defaults(run=run_export)
    p = commands.add_parser("quantize", help="quantise a PyTorch module to an int8 model")
    _common(p)
    p.add_argument("--calibration", required=True,
                   help=".npy array of calibration inputs, (N, C, H, W) or (N, K)")
    p.add_argument("--batch-size", type=int, default=32)
    p.add_argument("--max-batches", type=int, default=0, help="use at most this many batches")
    p.add_argument("--method", choices=("minmax", "percentile"), default="minmax",
                   help="activation range: observed min/max, or percentiles of the values")
    p.add_argument("--percentile", type=float, default=99.99,
                   help="upper percentile for --method percentile (the lower one is 100 - p)")
    p.add_argument("--weight-bits", type=int, choices=(7, 8), default=7,
                   help="weights in [-63, 63] (7, for the faster kernel) or [-127, 127] (8)")
    p.add_argument("--winograd", action="store_true",
                   help="let 3x3 stride-1 convolutions run on the faster, less accurate int8 "
                        "Winograd path")
    p.set_defaults(run=run_quantize)
