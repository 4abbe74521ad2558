"""Runs the merge driver's command line: ``python -m vornik_git.scripts`` and ``vornikweave``.

The command line lives in the extension module ``vornik_git.scripts.vornikweave``, which only
acts when it is the host's main program. An extension module cannot be run with ``-m``
itself, so it is executed here the way the host runs a module as ``__main__``: a fresh module
created from its spec, named "__main__", registered as the main module, then executed, with
the process's own arguments left in ``sys.argv``.
"""

import importlib.util
import sys

_MODULE = "vornik_git.scripts.vornikweave"


def main() -> None:
    spec = importlib.util.find_spec(_MODULE)
    if spec is None:
        raise ImportError(f"No module named {_MODULE!r}", name=_MODULE)
    module = importlib.util.module_from_spec(spec)
    module.__name__ = "__main__"
    previous_main = sys.modules.get("__main__")
    sys.modules["__main__"] = module
    try:
        spec.loader.exec_module(module)
    finally:
        # The launcher's own module goes back in place, so that whatever runs at exit finds
        # the main module it expects.
        if previous_main is not None:
            sys.modules["__main__"] = previous_main


if __name__ == "__main__":
    # Run as `python -m vornik_git.scripts`: the usage line names that command rather than
    # this file, as the host's own runnable modules do.
    sys.argv[0] = "python -m vornik_git.scripts"
    main()
