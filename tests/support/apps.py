"""Other spreadsheet applications, run headless by the round-trip tests."""

import os
import shutil
import subprocess

import pytest

SSCONVERT = shutil.which("ssconvert")
SOFFICE = shutil.which("soffice")
IN_DEVENV = bool(os.environ.get("BRINDLE_IN_DEVENV"))
# Gnumeric and LibreOffice are outside programs: a user running the suite
# without them gets a skip. The development environment installs both, so
# there these tests always run (and fail if a program is missing); under CI
# any skip fails the run.
needs_gnumeric = pytest.mark.skipif(SSCONVERT is None and not IN_DEVENV,
                                    reason="ssconvert (gnumeric) is not installed")
needs_libreoffice = pytest.mark.skipif(SOFFICE is None and not IN_DEVENV,
                                       reason="LibreOffice is not installed")


def libreoffice(src, fmt, out_dir, home):
    """Convert `src` with LibreOffice into `out_dir`; the path of the result."""
    # A profile of its own, so that runs never meet a desktop session's lock.
    subprocess.run([SOFFICE or "soffice", f"-env:UserInstallation=file://{home}", "--headless",
                    "--norestore", "--convert-to", fmt, "--outdir", str(out_dir), str(src)],
                   check=True, capture_output=True, timeout=300)
    return out_dir / (src.stem + "." + fmt.split(":")[0])


def gnumeric(src, out, *options):
    """Convert `src` to `out` with Gnumeric's ssconvert; `out`."""
    subprocess.run([SSCONVERT or "ssconvert", *options, str(src), str(out)], check=True,
                   capture_output=True, timeout=300)
    return out


# ExcelJS is installed by tools/devenv into the development root; elsewhere
# its tests skip, and under CI a skip fails the run.
NPM_ROOT = "/opt/brindle-npm/node_modules"
NODE = shutil.which("node")
needs_exceljs = pytest.mark.skipif(
    (NODE is None or not os.path.isdir(NPM_ROOT + "/exceljs")) and not IN_DEVENV,
    reason="node with ExcelJS is not installed")


def exceljs(*args):
    """Run the ExcelJS script of the test support with `args`; its output."""
    script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "exceljs_book.js")
    done = subprocess.run([NODE or "node", script, *map(str, args)], check=True,
                          capture_output=True, timeout=300, text=True,
                          env={**os.environ, "NODE_PATH": NPM_ROOT})
    return done.stdout
