import os
import subprocess
import sys

import numpy as np

import model_inference as mi
from model_inference_tools.engine_io import quantize_input

DIGITS = os.path.join(os.path.dirname(__file__), os.pardir, "examples", "digits")


def predictions(name, images):
    model = mi.InferenceModel(os.path.join(DIGITS, f"digits_{name}.json"),
                              os.path.join(DIGITS, f"digits_{name}.bin"))
    spec = model.inputs[0]
    if spec.dtype == "int8":
        images = quantize_input(images, spec.scale, spec.zp)
    return np.stack([model.forward(img) for img in images])


def test_committed_digits_models_match_the_float_model():
    data = np.load(os.path.join(DIGITS, "digits_test.npz"))
    reference = data["float_logits"]
    fp32 = predictions("fp32", data["images"])
    np.testing.assert_allclose(fp32, reference, rtol=1e-4, atol=1e-4)
    int8 = predictions("int8", data["images"])
    assert np.mean(int8.argmax(1) == reference.argmax(1)) >= 0.99
    accuracy = np.mean(int8.argmax(1) == data["labels"])
    assert abs(accuracy - float(data["float_accuracy"])) <= 0.01


def test_main_job_prints_the_table():
    out = subprocess.run([sys.executable, os.path.join(DIGITS, "run_digits.py")], capture_output=True,
                         text=True, check=True).stdout
    assert "engine fp32" in out and "engine int8" in out and "PyTorch float" in out
