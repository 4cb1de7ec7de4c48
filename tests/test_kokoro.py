"""Kokoro import: the quantised-LSTM reading (gate order, per-direction dequantisation) and
the float rewrite against ONNX Runtime on a one-node file, and the prosody stage graph
against the model's formulas in PyTorch on small random weights."""
import numpy as np
import pytest
import torch
import torch.nn.functional as F

from harness import check, check_rejects, forward, load_model
from model_inference_tools import kokoro

onnx = pytest.importorskip("onnx")
ort = pytest.importorskip("onnxruntime")
from onnx import TensorProto, helper, numpy_helper  # noqa: E402

from model_inference_tools import kokoro_onnx  # noqa: E402


def quantised_lstm_model(rng, I, H, dirs, steps):
    """A file with one DynamicQuantizeLSTM node, as ONNX Runtime's dynamic quantisation
    writes it: int8 weights (dirs, in, 4H) with one scale and zero point per direction."""
    wq = rng.integers(-127, 128, (dirs, I, 4 * H), dtype=np.int8)
    rq = rng.integers(-127, 128, (dirs, H, 4 * H), dtype=np.int8)
    inits = [numpy_helper.from_array(a, n) for a, n in [
        (wq, "W_quantized"), (rq, "R_quantized"),
        (rng.normal(0, 1.0, (dirs, 8 * H)).astype(np.float32), "B"),
        (rng.uniform(0.002, 0.006, dirs).astype(np.float32), "W_scale"),
        (rng.integers(-3, 4, dirs).astype(np.int8), "W_zero_point"),
        (rng.uniform(0.002, 0.006, dirs).astype(np.float32), "R_scale"),
        (rng.integers(-3, 4, dirs).astype(np.int8), "R_zero_point")]]
    node = helper.make_node(
        "DynamicQuantizeLSTM",
        ["x", "W_quantized", "R_quantized", "B", "", "", "", "", "W_scale", "W_zero_point",
         "R_scale", "R_zero_point"], ["y"], name="/enc/lstm/LSTM_quant", domain="com.microsoft",
        hidden_size=H, direction="bidirectional" if dirs == 2 else "forward")
    graph = helper.make_graph(
        [node], "g", [helper.make_tensor_value_info("x", TensorProto.FLOAT, [steps, 1, I])],
        [helper.make_tensor_value_info("y", TensorProto.FLOAT, None)], inits)
    return helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17),
                                                    helper.make_opsetid("com.microsoft", 1)])


@pytest.mark.parametrize("I,H,dirs,steps", [(5, 3, 2, 7), (16, 8, 2, 1), (9, 4, 1, 12)])
def test_quantised_lstm_reads_as_onnxruntime_runs_it(rng, I, H, dirs, steps):
    model = quantised_lstm_model(rng, I, H, dirs, steps)
    x = rng.normal(0, 1, (steps, 1, I)).astype(np.float32)
    want = kokoro_onnx.session(model).run(None, {"x": x})[0]  # (steps, dirs, 1, H)

    lstm = torch.nn.LSTM(I, H, bidirectional=dirs == 2).eval()
    state = {k: torch.from_numpy(v) for k, v in
             kokoro_onnx.OnnxWeights(model).lstm("/enc/lstm").items()}
    lstm.load_state_dict(state)
    torch.set_num_threads(1)
    with torch.no_grad():
        got = lstm(torch.from_numpy(x))[0].numpy()  # (steps, 1, dirs * H)
    # ONNX Runtime also quantises the input to 8 bits per step: differences of a few
    # thousandths; a wrong gate order or scale gives tenths.
    check(got.reshape(steps, dirs, H), want[:, :, 0, :], atol=1e-2, rtol=0)

    float_out = kokoro_onnx.session(kokoro_onnx.float_model(model)).run(None, {"x": x})[0]
    check(float_out[:, :, 0, :], got.reshape(steps, dirs, H), atol=2e-6, rtol=0)


def small_prosody(seed, d_model, half, layers, max_dur):
    """Random weights in the PyTorch model's names and shapes (scaled down)."""
    torch.manual_seed(seed)
    mods = {}
    for i in range(layers):
        mods[f"predictor.text_encoder.lstms.{2 * i}"] = torch.nn.LSTM(
            d_model + half, d_model // 2, bidirectional=True)
        mods[f"predictor.text_encoder.lstms.{2 * i + 1}.fc"] = torch.nn.Linear(half, 2 * d_model)
    mods["predictor.lstm"] = torch.nn.LSTM(d_model + half, d_model // 2, bidirectional=True)
    mods["predictor.duration_proj.linear_layer"] = torch.nn.Linear(d_model, max_dur)
    sd = {f"{k}.{n}": v.detach().numpy().copy()
          for k, m in mods.items() for n, v in m.state_dict().items()}
    return {k: m.eval() for k, m in mods.items()}, sd


def prosody_reference(mods, layers, d_en, style, d_model, half):
    """The duration encoder and head, written from the model's equations: the style is
    appended to every step, each LSTM is followed by (1 + gamma) * layer_norm(x) + beta."""
    torch.set_num_threads(1)
    with torch.no_grad():
        s = torch.from_numpy(style[half:])[None]
        x = torch.from_numpy(d_en)
        steps = x.shape[0]
        x = torch.cat([x, s.expand(steps, -1)], 1)
        for i in range(layers):
            x = mods[f"predictor.text_encoder.lstms.{2 * i}"](x[:, None])[0][:, 0]
            gamma, beta = mods[f"predictor.text_encoder.lstms.{2 * i + 1}.fc"](s)[0].chunk(2)
            x = (1 + gamma) * F.layer_norm(x, (d_model,), eps=1e-5) + beta
            x = torch.cat([x, s.expand(steps, -1)], 1)
        h = mods["predictor.lstm"](x[:, None])[0][:, 0]
        dur = torch.sigmoid(mods["predictor.duration_proj.linear_layer"](h)).sum(1)
    return dur.numpy(), x.numpy()


@pytest.mark.parametrize("steps", [1, 2, 17])
@pytest.mark.parametrize("d_model,half,layers,max_dur", [(16, 8, 3, 50), (24, 4, 1, 7)])
def test_prosody_stage_matches_model_equations(tmp_path, rng, steps, d_model, half, layers,
                                               max_dur):
    mods, sd = small_prosody(steps + layers, d_model, half, layers, max_dur)
    doc, tensors = kokoro.prosody_graph(sd)
    model = load_model(tmp_path, doc, tensors)
    d_en = rng.normal(0, 1, (steps, d_model)).astype(np.float32)
    style = rng.normal(0, 0.5, 2 * half).astype(np.float32)
    want_dur, want_d = prosody_reference(mods, layers, d_en, style, d_model, half)
    out = model.forward({"d_en": d_en, "style": style})
    check(out["durations"], want_dur, atol=2e-5, rtol=1e-5)
    check(out[doc["outputs"][1]["name"]].reshape(steps, -1), want_d, atol=2e-5, rtol=0)


def test_prosody_stage_refuses_missing_weights():
    _, sd = small_prosody(0, 8, 4, 1, 5)
    del sd["predictor.lstm.weight_hh_l0_reverse"]
    with pytest.raises(RuntimeError, match="predictor.lstm.weight_hh_l0_reverse"):
        kokoro.prosody_graph(sd)


def test_onnx_weights_name_the_missing_node_or_initialiser(rng):
    w = kokoro_onnx.OnnxWeights(quantised_lstm_model(rng, 3, 2, 1, 2))
    with pytest.raises(RuntimeError, match="no node '/enc/other/LSTM_quant'"):
        w.lstm("/enc/other")
    with pytest.raises(RuntimeError, match="no initialiser 'nope_quantized'"):
        w.tensor("nope")


@pytest.mark.parametrize("path,name", [
    ("/encoder/F0.1/conv1", "predictor.F0.1.conv1"),
    ("/encoder/N_proj", "predictor.N_proj"),
    ("/encoder/shared", "predictor.shared"),
    ("/encoder/predictor/text_encoder/lstms.3/fc", "predictor.text_encoder.lstms.3.fc"),
    ("/encoder/text_encoder/cnn.2/cnn.2.0", "text_encoder.cnn.2.0"),
    ("/encoder/bert_encoder", "bert_encoder"),
    ("/decoder/decoder/asr_res/asr_res.0", "decoder.asr_res.0"),
    ("/decoder/decoder/generator/noise_res.1/convs2.0", "decoder.generator.noise_res.1.convs2.0"),
])
def test_node_paths_map_to_module_names(path, name):
    assert kokoro.torch_name(path) == name


def small_text_encoder(seed, vocab, channels, kernel, depth):
    torch.manual_seed(seed)
    mods = {"text_encoder.embedding": torch.nn.Embedding(vocab, channels),
            "text_encoder.lstm": torch.nn.LSTM(channels, channels // 2, bidirectional=True)}
    for i in range(depth):
        mods[f"text_encoder.cnn.{i}.0"] = torch.nn.Conv1d(channels, channels, kernel,
                                                          padding=(kernel - 1) // 2)
    sd = {f"{k}.{n}": v.detach().numpy().copy()
          for k, m in mods.items() for n, v in m.state_dict().items()}
    gen = np.random.default_rng(seed)
    for i in range(depth):
        sd[f"text_encoder.cnn.{i}.1.gamma"] = gen.uniform(0.5, 1.5, channels).astype(np.float32)
        sd[f"text_encoder.cnn.{i}.1.beta"] = gen.normal(0, 0.3, channels).astype(np.float32)
    # The graph builder reads the predictor's style width from here.
    sd["predictor.text_encoder.lstms.1.fc.weight"] = np.zeros((2 * channels, 4), np.float32)
    return mods, sd


@pytest.mark.parametrize("steps", [1, 3, 20])
@pytest.mark.parametrize("channels,kernel,depth", [(16, 5, 3), (8, 3, 1)])
def test_text_encoder_stage_matches_model_equations(tmp_path, rng, steps, channels, kernel,
                                                    depth):
    vocab = 11
    mods, sd = small_text_encoder(steps + depth, vocab, channels, kernel, depth)
    doc, tensors = kokoro.text_graph(sd)
    model = load_model(tmp_path, doc, tensors)
    ids = rng.integers(0, vocab, steps)
    torch.set_num_threads(1)
    with torch.no_grad():
        x = mods["text_encoder.embedding"](torch.from_numpy(ids)).T[None]
        for i in range(depth):
            x = mods[f"text_encoder.cnn.{i}.0"](x)[0].T
            x = F.layer_norm(x, (channels,), torch.from_numpy(sd[f"text_encoder.cnn.{i}.1.gamma"]),
                             torch.from_numpy(sd[f"text_encoder.cnn.{i}.1.beta"]), 1e-5)
            x = F.leaky_relu(x, 0.2).T[None]
        want = mods["text_encoder.lstm"](x[0].T[:, None])[0][:, 0].numpy()
    got = model.forward({"tokens": ids.astype(np.float32).reshape(-1, 1),
                         "style": np.ones(1, np.float32)})
    check(next(iter(got.values())).reshape(steps, channels), want, atol=2e-5, rtol=0)


def test_graph_refuses_a_tensor_name_over_63_bytes():
    _, sd = small_text_encoder(0, 5, 8, 3, 1)
    net = kokoro._Net(sd, "m")
    with pytest.raises(RuntimeError, match="exceeds 63 bytes"):
        net.put("n" * 60, ".weight", np.zeros(1, np.float32))
