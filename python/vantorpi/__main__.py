# SPDX-License-Identifier: MIT
"""python3 -m vantorpi: list the cameras, print one's information, capture lines to a file.

Exit status: 0 success, 1 a failure of the camera or the library, 2 a usage error.
"""

from __future__ import annotations

import argparse
import json
import sys
from typing import List, Optional

from . import errors, processing
from .camera import list_cameras, open, version_text
from .errors import CameraError


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="python3 -m vantorpi", description=__doc__.splitlines()[0])
    choice = parser.add_mutually_exclusive_group()
    choice.add_argument("--serial", help="open the camera with this serial number")
    choice.add_argument("--index", type=int, help="open the camera with this index (default: the first)")
    parser.add_argument("--timeout", type=float, default=2.0, help="control request time-out in seconds (2)")
    commands = parser.add_subparsers(dest="command", required=True)
    commands.add_parser("list", help="every camera: index, serial, manufacturer, product, mcu1 version")
    commands.add_parser("info", help="everything the camera reports, as JSON")
    capture = commands.add_parser(
        "capture", help="capture lines: .npy gets the stack of lines, .csv their mean spectrum"
    )
    capture.add_argument("--lines", type=int, default=100, help="number of lines (100)")
    capture.add_argument("--out", required=True, help="output file, .npy or .csv")
    capture.add_argument(
        "--read-timeout", type=float, default=10.0, help="seconds without stream data before giving up (10)"
    )
    return parser


def _list() -> int:
    cameras = list_cameras()
    if not cameras:
        print(f"no cameras found; hint: {errors.hint(errors.CX_ERR_NO_DEVICES_ATTACHED)}", file=sys.stderr)
        return 1
    rows = [("index", "serial", "manufacturer", "product", "mcu1")]
    rows += [(str(c.index), c.serial, c.vendor, c.product, version_text(c.mcu1_version)) for c in cameras]
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    for row in rows:
        print("  ".join(cell.ljust(width) for cell, width in zip(row, widths)).rstrip())
    return 0


def main(argv: Optional[List[str]] = None) -> int:
    """Runs the command line; returns the exit status."""
    parser = _parser()
    args = parser.parse_args(argv)
    if args.command == "capture":
        if args.lines < 1:
            parser.error("--lines needs at least 1 line")
        if not args.out.endswith((".npy", ".csv")):
            parser.error("--out must name a .npy or .csv file")
    try:
        if args.command == "list":
            return _list()
        with open(serial=args.serial, index=args.index, timeout=args.timeout) as cam:
            if args.command == "info":
                print(json.dumps(cam.info(), indent=2))
                return 0
            lines = cam.lines(args.lines, timeout=args.read_timeout)
        if args.out.endswith(".npy"):
            processing.save_npy(args.out, lines)
        else:
            processing.save_csv(args.out, processing.average(lines))
        print(f"{args.lines} lines of {lines.shape[1]} pixels written to {args.out}", file=sys.stderr)
        return 0
    except CameraError as e:
        print(e, file=sys.stderr)
        return 1
    except (ValueError, TypeError) as e:
        print(f"usage: {e}", file=sys.stderr)
        return 2
    except (OSError, RuntimeError) as e:
        print(e, file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
