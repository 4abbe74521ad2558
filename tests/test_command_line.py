"""The merge driver's command line, run as git runs it: a separate process."""

import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parent.parent


def package_env():
    """The environment for a child process that must import the same `vornik_git` as the tests."""
    import vornik_git

    env = dict(os.environ)
    env["PYTHONPATH"] = str(Path(vornik_git.__file__).resolve().parent.parent)
    return env

# Runs the launcher with `merge_files` replaced by a recorder that prints how it was called
# and what logging looked like at that moment; extra statements may follow the patch.
RECORDING = """
import json, logging, sys
import vornik_git.drivers
def merge_files(*args, **kwargs):
    root = logging.getLogger()
    print(json.dumps({"args": args, "kwargs": list(kwargs.items()),
                      "handlers": len(root.handlers), "level": root.level}))
    {extra}
vornik_git.drivers.merge_files = merge_files
from vornik_git.scripts.__main__ import main
sys.argv[0] = "vornikweave"
main()
"""


def run_recorded(arguments, extra="pass"):
    return subprocess.run(
        [sys.executable, "-c", RECORDING.replace("{extra}", extra), *arguments],
        capture_output=True, text=True, cwd=REPO, env=package_env(),
    )


REQUIRED = ["--current-file", "c.ipynb", "--base-file", "b.ipynb", "--incoming-file", "i.ipynb"]
KEYWORDS = ["current_file_path", "base_file_path", "incoming_file_path", "file_path"]


@pytest.mark.parametrize(
    "arguments, destination",
    [
        (REQUIRED, "c.ipynb"),
        (REQUIRED + ["--file-path", ""], "c.ipynb"),
        (REQUIRED + ["--file-path", "dir/nb.ipynb"], "dir/nb.ipynb"),
        (["--file-path", "p", "--incoming-file", "i.ipynb", "--base-file", "b.ipynb",
          "--current-file", "c.ipynb"], "p"),
    ],
)
def test_merge_files_called_by_keyword(arguments, destination):
    result = run_recorded(arguments)
    assert result.returncode == 0, result.stderr
    call = json.loads(result.stdout)
    assert call["args"] == []
    assert call["kwargs"] == [[k, v] for k, v in zip(KEYWORDS, ["c.ipynb", "b.ipynb", "i.ipynb", destination])]
    assert call["handlers"] == 0, "logging configured without -v"


@pytest.mark.parametrize("switch", ["-v", "--verbose"])
def test_verbose_configures_debug_logging(switch):
    result = run_recorded(REQUIRED + [switch], extra="logging.debug('probe %d', 42)")
    assert result.returncode == 0, result.stderr
    call = json.loads(result.stdout)
    assert call["handlers"] == 1 and call["level"] == 10
    assert "DEBUG:root:probe 42" in result.stderr


@pytest.mark.parametrize(
    "arguments, message",
    [
        (REQUIRED[:2], "the following arguments are required: --base-file, --incoming-file"),
        (REQUIRED[:-1], "argument --incoming-file: expected one argument"),
        (REQUIRED + ["--frobnicate"], "unrecognized arguments: --frobnicate"),
        (REQUIRED + ["extra"], "unrecognized arguments: extra"),
    ],
)
def test_usage_errors_exit_2_before_merging(arguments, message):
    result = run_recorded(arguments)
    assert result.returncode == 2
    assert result.stdout == ""
    assert result.stderr.startswith("usage: vornikweave [-h] --current-file CURRENT_FILE")
    assert result.stderr.rstrip().endswith(message)


def test_help_exits_0_with_the_description():
    result = run_recorded(["-h"])
    assert result.returncode == 0
    assert "Incorporates changers that lead from the <base-file> to <incoming-file> into\n<current-file>." in result.stdout
    assert "--file-path FILE_PATH" in result.stdout and "-v, --verbose" in result.stdout


def test_exception_from_the_merge_ends_with_a_traceback():
    result = run_recorded(REQUIRED, extra="raise KeyError('cells')")
    assert result.returncode == 1
    assert result.stderr.startswith("Traceback (most recent call last):")
    assert result.stderr.rstrip().endswith("KeyError: 'cells'")


def test_import_runs_nothing_and_binds_three_names():
    code = (
        "import sys; sys.argv[1:] = ['--bogus']\n"
        "import vornik_git.scripts.vornikweave as m\n"
        "print(sorted(k for k in vars(m) if not k.startswith('__')))\n"
        "import vornik_git.drivers.nbweave as w; print(m.merge_files is w.merge_files)\n"
        "import importlib.util as u\n"
        "try:\n"
        "    u.module_from_spec(m.__spec__).__spec__.loader.exec_module(u.module_from_spec(m.__spec__))\n"
        "except ImportError as e: print(e)\n"
    )
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, cwd=REPO, env=package_env())
    assert result.returncode == 0, result.stderr
    names, same, refused = result.stdout.splitlines()
    assert names == "['argparse', 'logging', 'merge_files']"
    assert same == "True"
    assert "initialised only once" in refused


def launcher_commands():
    commands = [[sys.executable, "-m", "vornik_git.scripts"]]
    installed = shutil.which("vornikweave", path=os.path.dirname(sys.executable))
    if installed:
        commands.append([installed])
    return commands


@pytest.mark.parametrize("command", launcher_commands(), ids=lambda c: Path(c[-1]).name)
def test_launchers_merge_the_example(command, tmp_path):
    for name in ("base", "current", "incoming"):
        shutil.copy(REPO / "examples" / f"{name}.ipynb", tmp_path)
    result = subprocess.run(
        command + ["--base-file", "base.ipynb", "--current-file", "current.ipynb",
                   "--incoming-file", "incoming.ipynb", "--file-path", "flows/example.ipynb", "-v"],
        capture_output=True, text=True, cwd=tmp_path, env=package_env(),
    )
    assert result.returncode == 0, result.stderr
    assert "DEBUG:root:" in result.stderr  # the change test's records
    merged = json.loads((tmp_path / "current.ipynb").read_text(encoding="utf-8"))
    train = next(c for c in merged["cells"] if c["metadata"]["canvas"]["name"] == "train")
    assert "<<<<<<< flows/example.ipynb-current\n" in train["source"]
    assert ">>>>>>> flows/example.ipynb-incoming\n" in train["source"]
