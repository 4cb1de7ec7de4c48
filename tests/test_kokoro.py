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


def block_model(tmp_path, sd, build, inputs):
    """A graph of one builder block: ``build(net, *input names)`` returns its output."""
    net = kokoro._Net(sd, "block")
    for name, shape in inputs:
        net.arch.add_input(name, shape)
    net.arch.outputs = [build(net, *(n for n, _ in inputs))]
    return load_model(tmp_path, net.arch.to_json(), net.tensors)


def adain_torch(x, s, fc_w, fc_b):
    """(1 + gamma) * instance_norm(x) + beta on a (C, T) tensor, gamma and beta from fc."""
    gamma, beta = (fc_w @ s + fc_b).chunk(2)
    return (1 + gamma[:, None]) * F.instance_norm(x[None], eps=1e-5)[0] + beta[:, None]


def rand_sd(rng, shapes):
    return {k: rng.normal(0, 0.3, v).astype(np.float32) for k, v in shapes.items()}


@pytest.mark.parametrize("steps", [2, 9])
@pytest.mark.parametrize("c_in,c_out,upsample", [(8, 8, False), (12, 8, False), (8, 4, True)])
def test_style_residual_block_matches_its_equations(tmp_path, rng, steps, c_in, c_out,
                                                    upsample):
    sty = 6
    shapes = {"b.norm1.fc.weight": (2 * c_in, sty), "b.norm1.fc.bias": (2 * c_in,),
              "b.norm2.fc.weight": (2 * c_out, sty), "b.norm2.fc.bias": (2 * c_out,),
              "b.conv1.weight": (c_out, c_in, 3), "b.conv1.bias": (c_out,),
              "b.conv2.weight": (c_out, c_out, 3), "b.conv2.bias": (c_out,)}
    if c_in != c_out:
        shapes["b.conv1x1.weight"] = (c_out, c_in, 1)
    if upsample:
        shapes.update({"b.pool.weight": (c_in, 1, 3), "b.pool.bias": (c_in,)})
    sd = rand_sd(rng, shapes)
    model = block_model(tmp_path, sd, lambda net, x, s: net.adain_resblk("blk", "b", x, s,
                                                                         upsample),
                        [("x", [0, c_in]), ("s", [sty])])
    x = rng.normal(0, 1, (steps, c_in)).astype(np.float32)
    s = rng.normal(0, 1, sty).astype(np.float32)
    t = {k: torch.from_numpy(v) for k, v in sd.items()}
    torch.set_num_threads(1)
    with torch.no_grad():
        xt, st = torch.from_numpy(x).T, torch.from_numpy(s)
        h = F.leaky_relu(adain_torch(xt, st, t["b.norm1.fc.weight"], t["b.norm1.fc.bias"]), 0.2)
        if upsample:
            h = F.conv_transpose1d(h[None], t["b.pool.weight"], t["b.pool.bias"], stride=2,
                                   padding=1, output_padding=1, groups=c_in)[0]
        h = F.conv1d(h[None], t["b.conv1.weight"], t["b.conv1.bias"], padding=1)[0]
        h = F.leaky_relu(adain_torch(h, st, t["b.norm2.fc.weight"], t["b.norm2.fc.bias"]), 0.2)
        h = F.conv1d(h[None], t["b.conv2.weight"], t["b.conv2.bias"], padding=1)[0]
        sc = F.interpolate(xt[None], scale_factor=2, mode="nearest")[0] if upsample else xt
        if c_in != c_out:
            sc = F.conv1d(sc[None], t["b.conv1x1.weight"])[0]
        want = ((h + sc) / np.sqrt(2)).T.numpy()
    check(forward(model, x, s).reshape(want.shape), want, atol=3e-5, rtol=1e-5)


@pytest.mark.parametrize("steps,channels,kernel", [(5, 4, 3), (16, 8, 7)])
def test_vocoder_residual_block_matches_its_equations(tmp_path, rng, steps, channels, kernel):
    sty, dil = 5, (1, 3, 5)
    shapes = {}
    for j in range(3):
        for n in (1, 2):
            shapes[f"r.adain{n}.{j}.fc.weight"] = (2 * channels, sty)
            shapes[f"r.adain{n}.{j}.fc.bias"] = (2 * channels,)
            shapes[f"r.convs{n}.{j}.weight"] = (channels, channels, kernel)
            shapes[f"r.convs{n}.{j}.bias"] = (channels,)
    sd = rand_sd(rng, shapes)
    for j in range(3):
        for n in (1, 2):
            sd[f"r.alpha{n}.{j}"] = rng.uniform(0.3, 2, (1, channels, 1)).astype(np.float32)
    model = block_model(tmp_path, sd, lambda net, x, s: net.adain_resblock1("rb", "r", x, s),
                        [("x", [0, channels]), ("s", [sty])])
    x = rng.normal(0, 1, (steps, channels)).astype(np.float32)
    s = rng.normal(0, 1, sty).astype(np.float32)
    t = {k: torch.from_numpy(v).double() for k, v in sd.items()}
    with torch.no_grad():
        xt, st = torch.from_numpy(x).double().T, torch.from_numpy(s).double()
        for j, d in enumerate(dil):
            h = adain_torch(xt, st, t[f"r.adain1.{j}.fc.weight"], t[f"r.adain1.{j}.fc.bias"])
            a = t[f"r.alpha1.{j}"][0]
            h = h + torch.sin(a * h) ** 2 / a
            h = F.conv1d(h[None], t[f"r.convs1.{j}.weight"], t[f"r.convs1.{j}.bias"],
                         padding=d * (kernel - 1) // 2, dilation=d)[0]
            h = adain_torch(h, st, t[f"r.adain2.{j}.fc.weight"], t[f"r.adain2.{j}.fc.bias"])
            a = t[f"r.alpha2.{j}"][0]
            h = h + torch.sin(a * h) ** 2 / a
            h = F.conv1d(h[None], t[f"r.convs2.{j}.weight"], t[f"r.convs2.{j}.bias"],
                         padding=(kernel - 1) // 2)[0]
            xt = xt + h
        want = xt.T.numpy()
    check(forward(model, x, s).reshape(want.shape), want, atol=5e-5, rtol=1e-5)


@pytest.mark.parametrize("frames", [2, 3, 40])
def test_waveform_is_the_models_overlap_add(tmp_path, rng, frames):
    """The model's inverse STFT: for each frame, the Hann-windowed inverse real DFT of
    exp(log magnitude) and sin(phase), overlap-added at hop 5 without dividing by the
    window sum, the first 10 samples dropped."""
    n_fft, hop, c_in = 20, 5, 6
    sd = {"post.weight": rng.normal(0, 0.2, (22, c_in, 7)).astype(np.float32),
          "post.bias": rng.normal(0, 0.2, 22).astype(np.float32)}
    model = block_model(tmp_path, sd, lambda net, x: net.waveform(x, "post", n_fft, hop),
                        [("x", [0, c_in])])
    x = rng.normal(0, 1, (frames, c_in))
    rows = F.conv1d(torch.from_numpy(x.T[None]), torch.from_numpy(sd["post.weight"]).double(),
                    torch.from_numpy(sd["post.bias"]).double(), padding=3)[0].T.numpy()
    spec = np.exp(rows[:, :11]) * np.exp(1j * np.sin(rows[:, 11:]))
    window = 0.5 - 0.5 * np.cos(2 * np.pi * np.arange(n_fft) / n_fft)
    acc = np.zeros(hop * (frames - 1) + n_fft)
    for f in range(frames):
        acc[f * hop: f * hop + n_fft] += window * np.fft.irfft(spec[f], n_fft)
    want = acc[n_fft // 2: n_fft // 2 + hop * (frames - 1)]
    check(forward(model, x.astype(np.float32)), want, atol=2e-5, rtol=1e-4)


@pytest.mark.parametrize("kernel,dilation", [(3, 1), (11, 5)])
def test_int8_convolution_stays_within_its_quantisation_error(tmp_path, rng, kernel, dilation):
    c_in, c_out, steps = 64, 24, 30
    sd = {"c.weight": rng.normal(0, 0.1, (c_out, c_in, kernel)).astype(np.float32),
          "c.bias": rng.normal(0, 0.1, c_out).astype(np.float32)}
    pad = dilation * (kernel - 1) // 2
    net = kokoro._Net(sd, "m", int8=True)
    net.arch.add_input("x", [0, c_in])
    net.arch.outputs = [net.conv("conv", "c", "x", padding=pad, dilation=dilation, int8=True)]
    assert net.arch.nodes[-1]["op"] == "conv1d_int8"
    assert np.abs(net.tensors["conv.weight_i8"]).max() <= 63  # the 7-bit kernel's range
    model = load_model(tmp_path, net.arch.to_json(), net.tensors)
    x = rng.normal(0, 1, (steps, c_in)).astype(np.float32)
    want = F.conv1d(torch.from_numpy(x.T[None]).double(), torch.from_numpy(sd["c.weight"]).double(),
                    torch.from_numpy(sd["c.bias"]).double(), padding=pad,
                    dilation=dilation)[0].T.numpy()
    # Weights and inputs lose about half a step of 1/63 and 1/127 of their row's range.
    check(forward(model, x).reshape(want.shape), want, atol=0.02 * np.abs(want).max(), rtol=0)
