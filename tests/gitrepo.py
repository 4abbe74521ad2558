"""A throw-away git world for end-to-end tests: its own HOME, no system config, and the
package's console commands on PATH (the installed ones, or stand-ins when the tests run
against a development build)."""

import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

COMMANDS = {"vornikweave": "vornik_git.scripts.__main__", "vornik-git": "vornik_git.cli"}


def git_world(root: Path) -> dict:
    import vornik_git

    home = root / "home"
    home.mkdir()
    env = {key: value for key, value in os.environ.items() if not key.startswith(("GIT_", "XDG_"))}
    env.update(HOME=str(home), GIT_CONFIG_NOSYSTEM="1", GIT_ATTR_NOSYSTEM="1",
               GIT_AUTHOR_NAME="A U Thor", GIT_AUTHOR_EMAIL="author@example.com",
               GIT_COMMITTER_NAME="A U Thor", GIT_COMMITTER_EMAIL="author@example.com",
               PYTHONPATH=str(Path(vornik_git.__file__).resolve().parent.parent))
    installed = os.path.dirname(sys.executable)
    if all(shutil.which(name, path=installed) for name in COMMANDS):
        bin_dir = installed
    else:
        bin_dir = root / "bin"
        bin_dir.mkdir()
        for name, module in COMMANDS.items():
            shim = bin_dir / name
            main = "main()" if name == "vornikweave" else "sys.exit(main())"
            shim.write_text(f"#!{sys.executable}\nimport sys\nfrom {module} import main\n{main}\n")
            shim.chmod(0o755)
    env["PATH"] = f"{bin_dir}{os.pathsep}{env.get('PATH', '')}"
    return env


def run(env, *command, cwd, check=True):
    result = subprocess.run(list(command), cwd=cwd, env=env, capture_output=True, text=True)
    if check and result.returncode != 0:
        raise AssertionError(f"{command} failed ({result.returncode}):\n{result.stdout}\n{result.stderr}")
    return result


def write_notebook(path: Path, document) -> None:
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(json.dumps(document, indent=1) + "\n", encoding="utf-8")


def read_notebook(path: Path):
    return json.loads(path.read_text(encoding="utf-8"))
