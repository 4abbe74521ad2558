"""Runs a module of this package as the main program, found through this file's own location.

    python -P /path/to/vornik_git/_launch.py vornik_git.gitdriver ARGS...

git runs the commands that `vornik-git install` configures from GUI clients and IDEs as well
as from a shell, often without the environment's PATH or PYTHONPATH. Naming the interpreter
and this file by absolute path runs the package that was installed, whatever the caller's
environment; -P keeps the caller's working directory (a repository that may hold a `git` or
`json` directory of its own) off the module path.
"""

import os
import sys

_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def main() -> None:
    if _ROOT not in sys.path:
        sys.path.insert(0, _ROOT)
    del sys.argv[0]
    if not sys.argv:
        sys.exit("usage: _launch.py MODULE [ARGS...]")
    import runpy

    runpy.run_module(sys.argv[0], run_name="__main__", alter_sys=True)


if __name__ == "__main__":
    main()
