"""What the bench scripts and examples share at their edges: arguments and
files checked before any work, a bad one refused in one line with a non-zero
exit, and JSON written so that a reader never finds half a file.

Every tool is run as `python3 -m bench.NAME` from the repository root. Its
main() raises ToolError (or its parser's error()) for anything the user got
wrong; run(main) prints "PROG: error: MESSAGE" and exits with 2.
"""

import argparse
import json
import os
import sys
import tempfile


class ToolError(Exception):
    """A bad argument or input file, said in one line."""


class Parser(argparse.ArgumentParser):
    """argparse with one-line errors: no usage block ahead of the message,
    which scripts and logs would otherwise have to scroll past. A tool's
    --json file, where it takes one, is checked as part of parsing, so that
    no tool can start its work before finding that it cannot save it."""

    def error(self, message):
        self.exit(2, f"{self.prog}: error: {message}\n")

    def parse_args(self, args=None, namespace=None):
        parsed = super().parse_args(args, namespace)
        if getattr(parsed, "json", None):
            try:
                check_writable(parsed.json)
            except ToolError as error:
                self.error(str(error))
        return parsed

    def add_repeat(self, default):
        """--repeat N: how many runs the best time is taken of (at least one)."""
        self.add_argument(
            "--repeat",
            type=integer_at_least(1),
            default=default,
            help=f"runs per timing, the best kept (default {default})",
        )


def run(main, argv=None):
    """main(argv)'s exit status, with a ToolError turned into one line and 2."""
    try:
        return main(argv)
    except ToolError as error:
        print(f"{os.path.basename(sys.argv[0])}: error: {error}", file=sys.stderr)
        return 2


def integer_at_least(low):
    """An argparse type: an integer of at least `low`."""

    def parse(text):
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"{text!r} is not an integer") from None
        if value < low:
            raise argparse.ArgumentTypeError(f"{value} is below {low}")
        return value

    parse.__name__ = f"integer of at least {low}"
    return parse


def positive_float(text):
    """An argparse type: a finite number above zero."""
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number") from None
    if not 0 < value < float("inf"):
        raise argparse.ArgumentTypeError(f"{text} is not a positive number")
    return value


def check_writable(path, what="--json"):
    """Refuses now, not after the work, an output file that cannot be
    written: its folder must exist and take a new file, and the path itself
    must not be a folder."""
    folder = os.path.dirname(os.path.abspath(path))
    if os.path.isdir(path):
        raise ToolError(f"{what} {path}: is a directory")
    if not os.path.isdir(folder):
        raise ToolError(f"{what} {path}: the folder {folder} does not exist")
    try:
        with tempfile.NamedTemporaryFile(dir=folder, prefix=".probe-"):
            pass
    except OSError as error:
        raise ToolError(f"{what} {path}: cannot write there ({error.strerror or error})") from None
    if os.path.exists(path) and not os.access(path, os.W_OK):
        raise ToolError(f"{what} {path}: the file is not writable")


def write_json_atomically(path, data):
    """Writes `data` to a temporary file beside `path` and renames it over
    `path`: a reader, or a run killed mid-write, sees the old file or the
    new one, never a truncated one."""
    folder = os.path.dirname(os.path.abspath(path))
    handle, temporary = tempfile.mkstemp(
        dir=folder, prefix=f".{os.path.basename(path)}.", suffix=".tmp"
    )
    try:
        # mkstemp's file is private; the result should read like any file written here.
        os.fchmod(handle, 0o666 & ~_umask())
        with os.fdopen(handle, "w") as out:
            json.dump(data, out, indent=1)
            out.flush()
            os.fsync(out.fileno())
        os.replace(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise


def _umask():
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


def read_json(path, what="file"):
    """The parsed JSON of `path`, or ToolError saying why not in one line."""
    try:
        with open(path, encoding="utf-8") as source:
            return json.load(source)
    except FileNotFoundError:
        raise ToolError(f"{what} {path}: no such file") from None
    except IsADirectoryError:
        raise ToolError(f"{what} {path}: is a directory") from None
    except OSError as error:
        raise ToolError(f"{what} {path}: cannot be read ({error.strerror or error})") from None
    except (UnicodeDecodeError, json.JSONDecodeError) as error:
        raise ToolError(f"{what} {path}: not valid JSON ({error})") from None
