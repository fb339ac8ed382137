"""Generates the gRPC Python modules from proto/ into src/python.

Usage: gen_proto.py [OUTPUT_DIR]   (default: src/python)
The proto tree mirrors the Python package tree, so generated imports are absolute
package imports and need no rewriting.
"""

import pathlib
import sys

from grpc_tools import protoc

ROOT = pathlib.Path(__file__).resolve().parent.parent
PROTO_ROOT = ROOT / "proto"


def generate(out_dir: pathlib.Path) -> list[pathlib.Path]:
    protos = sorted(PROTO_ROOT.rglob("*.proto"))
    out_dir.mkdir(parents=True, exist_ok=True)
    args = [
        "grpc_tools.protoc",
        f"-I{PROTO_ROOT}",
        f"--python_out={out_dir}",
        f"--pyi_out={out_dir}",
        f"--grpc_python_out={out_dir}",
        *[str(p.relative_to(PROTO_ROOT)) for p in protos],
    ]
    if protoc.main(args) != 0:
        raise SystemExit("protoc failed")
    return protos


if __name__ == "__main__":
    out = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else ROOT / "src" / "python"
    for p in generate(out):
        print("generated from", p.relative_to(ROOT))
