"""Command line of the companion tools: ``python -m model_inference_tools <command>``."""

from __future__ import annotations

import argparse
import sys

from model_inference_tools import bench, convert_cli, demo, generate


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m model_inference_tools")
    commands = parser.add_subparsers(dest="command", required=True)
    demo.add_parser(commands)
    convert_cli.add_parsers(commands)
    bench.add_parser(commands)
    generate.add_parsers(commands)
    args = parser.parse_args(argv)
    return args.run(args)


if __name__ == "__main__":
    sys.exit(main())
