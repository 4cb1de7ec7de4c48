import model_inference as mi

M = mi.InferenceModel

DOCS = [
    (mi, "Python bindings for the Quillon inference engine.\n\nQuick start::\n\n    import numpy as np, model_inference as mi\n    model = mi.InferenceModel('model_defs/resnet50_fp32_arch.json',\n                              'weights/resnet50_fp32.bin')\n    logits = model.forward(np.zeros((224, 224, 3), dtype=np.float32))\n"),
    (mi.InputSpec, "Descriptor for one model input (shape, dtype, and quantization params)."),
    (mi.InputSpec.name, "ModelIOTensor name in the arch graph."),
    (mi.InputSpec.shape, "Input shape in NHWC order, e.g. [224,224,3] or [80] for flat. 0 in a dimension means variable (supplied at runtime)."),
    (mi.InputSpec.scale, "INT8 quantization scale."),
    (mi.InputSpec.zp, "INT8 zero point."),
    (mi.InputSpec.dtype, "'int8' or 'float32'."),
    (M, "Generic graph-based inference model.\n\nLoads a JSON architecture file and a W1X1 binary weights file,\nthen exposes a ``forward()`` method for running inference.\n\nExample (single input, float32 model)::\n\n    import numpy as np, model_inference as mi\n    model = mi.InferenceModel('model_defs/resnet50_fp32_arch.json',\n                              'weights/resnet50_fp32.bin')\n    x = np.zeros((224, 224, 3), dtype=np.float32)\n    logits = model.forward(x)\n\nExample (multi-input)::\n\n    outputs = model.forward({'x1': arr1, 'x2': arr2})\n    y1 = outputs['y1']\n"),
    (M.model_name, "Model name string from the arch JSON."),
    (M.input_count, "Number of declared model inputs."),
    (M.inputs, "List of InputSpec descriptors (one per model input)."),
    (M.output_names, "List of declared output tensor names."),
    (M.is_fp32, "True when the first declared input is float32."),
    (M.input_h, "First input height in NHWC layout."),
    (M.input_w, "First input width in NHWC layout."),
    (M.input_c, "First input channel count in NHWC layout."),
    (M.num_classes, "Classifier class-count hint. Returns 1000 for ImageNet classifier models, otherwise 0."),
    (M.profile_enabled, "True when profiling is enabled."),
    (M.speed, "Current TTS duration speed."),
    (M.is_stateful, "True when the model keeps a key/value cache between forward passes\n(decoder graphs), so that ``forward(..., seq_pos=P)`` can continue a sequence."),
]

METHOD_DOCS = [
    (mi.set_backend, "Select the active backend.\n\nArgs:\n    name: 'cpu' (default), 'cuda', or 'metal'\n\nReturns:\n    True if the backend was found and activated."),
    (mi.active_backend, "Return the name of the currently active backend ('cpu', 'cuda', or 'metal')."),
    (M.__init__, "Load model from a JSON arch file and a W1X1 binary weights file.\n\nRaises RuntimeError if either file cannot be opened."),
    (M.op_profile, "Return per-op accumulated timing as dict[str, float] (milliseconds)."),
    (M.layer_profile, "Return per-layer accumulated timing as dict[str, float] (milliseconds)."),
    (M.set_profile_enabled, "Enable or disable per-op and per-layer profiling."),
    (M.set_speed, "Set TTS duration speed. 1.0 is normal, larger is faster, smaller is slower."),
    (M.reset_profile, "Clear accumulated profiling timings."),
    (M.reset_state, "Clear the key/value caches of a stateful model.\n\nArgs:\n    capacity: positions to reserve in each cache (None reserves none;\n              the caches grow as runs need).\n\nRaises RuntimeError for a negative capacity or one beyond 2^31 - 1."),
]

FORWARD_DOCS = [
    "Run a single-input forward pass.\n\nArgs:\n    input: numpy array (float32 for FP32 models, int8 for INT8 models).\n           Shape is inferred from the arch spec; flat 1-D arrays are accepted.\n\nReturns:\n    1-D float32 numpy array (e.g. class logits).",
    "Run a multi-input / multi-output forward pass.\n\nArgs:\n    inputs: dict mapping tensor name \u2192 numpy array (float32).\n\nReturns:\n    dict mapping output tensor name \u2192 1-D float32 numpy array.",
]


def test_docstrings_exact():
    for obj, doc in DOCS:
        assert obj.__doc__ == doc, obj
    # pybind11 prefixes a function's docstring with its signature line(s).
    for fn, doc in METHOD_DOCS:
        assert fn.__doc__.rstrip("\n").endswith("\n" + doc), fn
    for doc in FORWARD_DOCS:
        assert doc in M.forward.__doc__


def test_member_order():
    names = [n for n in vars(M) if not n.startswith("_") or n in ("__init__", "__repr__")]
    assert names == ["__init__", "forward", "model_name", "input_count", "inputs", "output_names",
                     "is_fp32", "input_h", "input_w", "input_c", "num_classes", "op_profile",
                     "layer_profile", "set_profile_enabled", "profile_enabled", "set_speed",
                     "speed", "reset_profile", "reset_state", "is_stateful", "__repr__"]
