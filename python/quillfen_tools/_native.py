"""The native helper module of quillfen_tools.

Its code lives in the engine's own shared object (`quillfen`), which exports a second initialisation function
for it: loading it from that file under this module's name gives a process one copy of the C++ core (one PNG
reader, one buffer pool, one worker pool) for both modules. This file replaces itself in `sys.modules` with the
extension module; `_native.pyi` describes what it holds."""

import importlib.machinery
import importlib.util
import sys

import quillfen

_loader = importlib.machinery.ExtensionFileLoader(__name__, quillfen.__file__)  # type: ignore[arg-type]
_spec = importlib.util.spec_from_file_location(__name__, quillfen.__file__, loader=_loader)
assert _spec is not None
_module = importlib.util.module_from_spec(_spec)
_loader.exec_module(_module)
sys.modules[__name__] = _module
