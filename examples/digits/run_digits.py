"""Run the committed digits models through the engine: accuracy of float32 and int8 beside
the float PyTorch model's recorded accuracy, agreement with it, and latency.

    python examples/digits/run_digits.py

Needs only NumPy and the installed engine.
"""

from __future__ import annotations

import os
import time

import numpy as np

import model_inference as mi
from model_inference_tools.engine_io import quantize_input

HERE = os.path.dirname(os.path.abspath(__file__))


def evaluate(name: str, images: np.ndarray) -> tuple:
    model = mi.InferenceModel(os.path.join(HERE, f"digits_{name}.json"),
                              os.path.join(HERE, f"digits_{name}.bin"))
    spec = model.inputs[0]
    if spec.dtype == "int8":
        images = quantize_input(images, spec.scale, spec.zp)
    logits = np.stack([model.forward(img) for img in images])
    times = []
    for img in images[:200]:
        t0 = time.perf_counter()
        model.forward(img)
        times.append((time.perf_counter() - t0) * 1e3)
    return logits, float(np.median(times))


def main() -> int:
    data = np.load(os.path.join(HERE, "digits_test.npz"))
    images, labels, reference = data["images"], data["labels"], data["float_logits"]
    print(f"digits test split: {len(labels)} images of 8x8, backend {mi.active_backend()!r}")
    print(f"{'model':<18}{'accuracy':>10}{'top-1 agreement':>18}{'median latency':>17}")
    print(f"{'PyTorch float':<18}{float(data['float_accuracy']):>10.4f}{'':>18}{'(recorded)':>17}")
    for name in ("fp32", "int8"):
        logits, latency = evaluate(name, images)
        accuracy = np.mean(logits.argmax(1) == labels)
        agreement = np.mean(logits.argmax(1) == reference.argmax(1))
        print(f"{'engine ' + name:<18}{accuracy:>10.4f}{agreement:>18.4f}{latency:>14.4f} ms")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
