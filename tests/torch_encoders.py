"""PyTorch transformer encoders for the exporter tests: torchvision ViTs, a plain ViT of
nn.TransformerEncoderLayer blocks, and small Hugging Face BERT models, with random weights
scaled so that every layer's output depends on the input."""

import torch
from torch import nn

from model_inference_tools.torchvision_import import import_torchvision

# name: (image size, patch, hidden size, heads, layers, MLP size, classes)
VIT_SHAPES = {
    "tiny": (32, 8, 32, 4, 2, 64, 10),
    "vit-b16": (224, 16, 768, 12, 12, 3072, 1000),
    "deit-small": (224, 16, 384, 6, 12, 1536, 1000),
    "deit-small-112": (112, 16, 384, 6, 12, 1536, 1000),  # 50 tokens: a quarter of the work
}


def randomize(module: nn.Module, seed: int) -> nn.Module:
    """Weights N(0, 1/fan_in), biases and embeddings small but non-zero, norm gains near 1
    (torchvision starts the head and the class token at zero)."""
    g = torch.Generator().manual_seed(seed)
    with torch.no_grad():
        for name, p in module.named_parameters():
            noise = torch.randn(p.shape, generator=g)
            if p.dim() >= 2 and p.shape[0] > 1:
                p.copy_(noise / p[0].numel() ** 0.5)
            elif name.endswith("weight"):
                p.copy_(1 + 0.1 * noise)
            elif p.dim() == 3:
                p.copy_(0.3 * noise)
            else:
                p.copy_(0.05 * noise)
    return module.eval()


def tanh_gelu(module: nn.Module) -> nn.Module:
    """Every erf GELU module replaced by the tanh form the engine computes."""
    for parent in list(module.modules()):
        for name, child in parent.named_children():
            if isinstance(child, nn.GELU):
                setattr(parent, name, nn.GELU(approximate="tanh"))
    return module.eval()


def torchvision_vit(shape: str, seed: int = 0, tanh: bool = True, **kw) -> nn.Module:
    import_torchvision()
    from torchvision.models.vision_transformer import VisionTransformer

    size, patch, d, heads, layers, mlp, classes = VIT_SHAPES[shape]
    m = VisionTransformer(image_size=size, patch_size=patch, num_layers=layers, num_heads=heads,
                          hidden_dim=d, mlp_dim=mlp, num_classes=classes, **kw)
    m = randomize(m, seed)
    return tanh_gelu(m) if tanh else m


class PlainViT(nn.Module):
    """A ViT as one writes it with PyTorch's own encoder layers."""

    def __init__(self, image=32, patch=8, d=32, heads=4, layers=2, mlp=64, classes=10,
                 norm_first=True, activation="gelu", batch_first=True, pooling="cls"):
        super().__init__()
        self.patch_embed = nn.Conv2d(3, d, patch, patch)
        self.cls_token = nn.Parameter(torch.zeros(1, 1, d))
        self.pos_embed = nn.Parameter(torch.zeros(1, (image // patch) ** 2 + 1, d))
        layer = nn.TransformerEncoderLayer(d, heads, mlp, dropout=0.0, activation=activation,
                                           batch_first=batch_first, norm_first=norm_first)
        self.blocks = nn.ModuleList([layer] + [type(layer)(d, heads, mlp, dropout=0.0,
                                                           activation=activation,
                                                           batch_first=batch_first,
                                                           norm_first=norm_first)
                                               for _ in range(layers - 1)])
        self.norm = nn.LayerNorm(d, eps=1e-6)
        self.head = nn.Linear(d, classes)
        self.batch_first, self.pooling = batch_first, pooling

    def forward(self, x):
        x = self.patch_embed(x).flatten(2).transpose(1, 2)
        x = torch.cat([self.cls_token.expand(x.shape[0], -1, -1), x], dim=1) + self.pos_embed
        if not self.batch_first:
            x = x.transpose(0, 1)
        for block in self.blocks:
            x = block(x)
        if not self.batch_first:
            x = x.transpose(0, 1)
        x = self.norm(x)
        return self.head(x[:, 0] if self.pooling == "cls" else x[:, 1:].mean(1))


def plain_vit(seed: int = 0, **kw) -> nn.Module:
    return randomize(PlainViT(**kw), seed)


def bert(seed: int = 0, hidden_act="gelu_new", hidden=32, heads=4, layers=2, vocab=50,
         positions=40, **kw) -> nn.Module:
    import_torchvision()
    import pytest

    pytest.importorskip("transformers")
    from transformers import BertConfig, BertModel

    cfg = BertConfig(hidden_size=hidden, num_hidden_layers=layers, num_attention_heads=heads,
                     intermediate_size=4 * hidden, vocab_size=vocab, max_position_embeddings=positions,
                     hidden_act=hidden_act, **kw)
    m = BertModel(cfg, add_pooling_layer=False)
    return randomize(m, seed)
