import numpy as np
import pytest

import harness
import model_inference_tools as mt
from model_inference_tools.torchvision_import import import_torchvision

# transformers imports torchvision lazily; it must come in through the tolerant import.
try:
    import_torchvision()
except ImportError:
    pass


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
def make_model(tmp_path):
    """make_model(arch, tensors=None) -> InferenceModel, its files written in tmp_path."""
    return lambda arch, tensors=None: harness.load_model(tmp_path, arch, tensors)


@pytest.fixture
def case(request):
    """A harness.Case seeded from the test's name and parameters."""
    params = getattr(request.node, "callspec", None)
    return harness.Case(test=request.node.originalname, **(params.params if params else {}))


@pytest.fixture(autouse=True)
def _restore_thread_count():
    """Every test leaves the engine's thread count as it found it."""
    saved = harness.get_num_threads()
    yield
    harness.set_num_threads(saved)


@pytest.fixture
def rng():
    return np.random.default_rng(1234)
