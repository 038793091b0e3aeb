"""Command-line tools of pysorvel: `python -m pysorvel TOOL ...`."""

import argparse
import sys

from . import _convert, _lsl, _record, _view, _vmc


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m pysorvel",
        description="Tools for the Sorvel wireless body-tracking kit.",
    )
    tools = parser.add_subparsers(title="tools", metavar="TOOL", required=True)
    _record.add_parser(tools)
    _view.add_parser(tools)
    _lsl.add_parser(tools)
    _convert.add_parsers(tools)
    _vmc.add_parser(tools)
    args = parser.parse_args(argv)
    status: int = args.run(args)
    return status


if __name__ == "__main__":
    sys.exit(main())
