import json
import subprocess
import sys

import numpy as np

from model_inference_tools import bench, demo


def test_bench_command_json(tmp_path):
    arch, weights = demo.build(str(tmp_path))
    out = tmp_path / "r.json"
    proc = subprocess.run(
        [sys.executable, "-m", "model_inference_tools", "bench", arch, weights, "-n", "5",
         "--json", str(out)], capture_output=True, text=True, check=True)
    assert "latency ms" in proc.stdout and "concat1d_fp32" in proc.stdout
    r = json.loads(out.read_text())
    assert r["iterations"] == 5 and r["model"] == "demo-sequence"
    assert set(r["latency_ms"]) == {"min", "median", "p90", "p99", "max", "mean"}
    assert r["latency_ms"]["min"] <= r["latency_ms"]["median"] <= r["latency_ms"]["max"]
    assert [row["name"] for row in r["op_profile"]] and r["peak_rss_mib"] > 0
    assert abs(sum(row["percent"] for row in r["op_profile"]) - 100.0) < 1e-6
    assert {row["name"] for row in r["layer_profile"]} == {"join", "head"}


def test_bench_inputs_from_npz(tmp_path):
    arch, weights = demo.build(str(tmp_path))
    frames = np.ones((64, 40), np.float32)
    np.savez(tmp_path / "in.npz", frames=frames, style=np.zeros(8, np.float32))
    r = bench.benchmark(arch, weights, inputs=bench.load_inputs(str(tmp_path / "in.npz")),
                        warmup=0, iterations=2)
    assert r["iterations"] == 2
