"""Train, export and quantise the digits CNN whose files sit beside this script.

Needs PyTorch and scikit-learn (for its bundled 8x8 digits data, no download):

    pip install scikit-learn && python examples/digits/train_digits.py

Writes digits_fp32.json/.bin, digits_int8.json/.bin and digits_test.npz (the held-out
split in the engine's (H, W, C) layout, its labels, and the float model's logits and
accuracy). ``run_digits.py`` then needs neither PyTorch nor scikit-learn.
"""

from __future__ import annotations

import os

import numpy as np
import torch
from sklearn.datasets import load_digits
from sklearn.model_selection import train_test_split
from torch import nn

from model_inference_tools.export import export
from model_inference_tools.quantize import quantize

HERE = os.path.dirname(os.path.abspath(__file__))


def digits_cnn() -> nn.Module:
    return nn.Sequential(
        nn.Conv2d(1, 16, 3, padding=1), nn.BatchNorm2d(16), nn.ReLU(),
        nn.Conv2d(16, 32, 3, padding=1), nn.BatchNorm2d(32), nn.ReLU(),
        nn.MaxPool2d(2),
        nn.Conv2d(32, 32, 3, stride=2, padding=1), nn.BatchNorm2d(32), nn.ReLU(),
        nn.Flatten(), nn.Linear(32 * 2 * 2, 10))


def main() -> None:
    torch.manual_seed(0)
    torch.set_num_threads(1)
    digits = load_digits()
    x = (digits.images / 16.0).astype(np.float32)[:, None]  # (N, 1, 8, 8)
    x_train, x_test, y_train, y_test = train_test_split(
        x, digits.target, test_size=0.25, random_state=0, stratify=digits.target)
    model = digits_cnn()
    opt = torch.optim.Adam(model.parameters(), lr=3e-3)
    xt, yt = torch.from_numpy(x_train), torch.from_numpy(y_train)
    for epoch in range(30):
        model.train()
        for idx in torch.randperm(len(xt)).split(64):
            opt.zero_grad()
            nn.functional.cross_entropy(model(xt[idx]), yt[idx]).backward()
            opt.step()
    model.eval()
    with torch.no_grad():
        logits = model(torch.from_numpy(x_test)).numpy()
    accuracy = float(np.mean(logits.argmax(1) == y_test))
    print(f"float model: test accuracy {accuracy:.4f} on {len(y_test)} digits")

    export(model, torch.from_numpy(x_test[:1]), os.path.join(HERE, "digits_fp32.json"),
           os.path.join(HERE, "digits_fp32.bin"), "digits-cnn-fp32")
    calibration = [xt[i:i + 64] for i in range(0, 512, 64)]
    quantize(model, calibration, os.path.join(HERE, "digits_int8.json"),
             os.path.join(HERE, "digits_int8.bin"), model_name="digits-cnn-int8",
             progress=lambda done, total: print(f"calibrating: batch {done}/{total}"))
    np.savez_compressed(os.path.join(HERE, "digits_test.npz"),
                        images=np.ascontiguousarray(x_test.transpose(0, 2, 3, 1)),
                        labels=y_test.astype(np.int64), float_logits=logits.astype(np.float32),
                        float_accuracy=np.float64(accuracy))


if __name__ == "__main__":
    main()
