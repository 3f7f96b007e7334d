"""Run by every interpreter that zelnor-run starts: installs zelnor_client's switch, then runs
the sitecustomize that this one hides, if there is one."""

import importlib
import os
import sys
import warnings


def _chain() -> None:
    here = os.path.dirname(os.path.abspath(__file__))
    ours = sys.modules.pop("sitecustomize", None)
    path = sys.path[:]
    sys.path[:] = [p for p in sys.path if os.path.abspath(p or ".") != here]
    try:
        importlib.import_module("sitecustomize")
    except ModuleNotFoundError as missing:
        if missing.name != "sitecustomize":
            raise
        if ours is not None:
            sys.modules["sitecustomize"] = ours
    finally:
        sys.path[:] = path


try:
    import zelnor_client

    zelnor_client.install()
except ImportError as error:  # another interpreter, without zelnor: it runs on unswitched
    warnings.warn(f"zelnor-run: zelnor_client is not importable here: {error}", stacklevel=1)
_chain()
