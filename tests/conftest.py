import numpy as np
import pytest

import model_inference_tools as mt


@pytest.fixture
def write_model(tmp_path):
    """Writes an architecture document and weights; returns the two paths."""
    counter = [0]

    def write(arch, tensors=None):
        counter[0] += 1
        a = tmp_path / f"arch{counter[0]}.json"
        w = tmp_path / f"weights{counter[0]}.bin"
        doc = arch.to_json() if isinstance(arch, mt.Arch) else arch
        mt.write_arch(a, doc)
        mt.write_weights(w, tensors or {})
        return str(a), str(w)

    return write


@pytest.fixture
def rng():
    return np.random.default_rng(1234)
