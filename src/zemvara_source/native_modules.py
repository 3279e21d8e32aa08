"""The package's extension modules, as the build knows them: read from
modules.cmake beside this file, the one list of them.

Everything in the checkout that names the modules (the build and stub tests,
the wheel matrix, the fuzz targets, the benchmarks) takes them from here, so a
new module is added to modules.cmake alone. Import it by path from a checkout:

    sys.path.insert(0, str(ROOT / "src" / "zemvara_source"))
    from native_modules import NATIVE_MODULES
"""

import re
from pathlib import Path

CMAKE = Path(__file__).resolve().with_name("modules.cmake")

# zemvara_module(<name> <subpackage> [extra sources...]), one a line.
_ENTRY = re.compile(r"^\s*zemvara_module\(\s*(\w+)\s+(\w+)[^)]*\)", re.MULTILINE)


def read(text):
    """[(subpackage, name), ...] in the order the build lists them; comments are left out."""
    text = re.sub(r"#.*", "", text)
    return [(sub, name) for name, sub in _ENTRY.findall(text)]


# (subpackage, name) of each module, in build order.
ENTRIES = read(CMAKE.read_text())
# Their dotted import names: "zemvara.transform.subsample", ...
NATIVE_MODULES = [f"zemvara.{sub}.{name}" for sub, name in ENTRIES]
# Each module's C++ source, relative to src/zemvara_source/.
SOURCES = {f"zemvara.{sub}.{name}": f"{sub}/{name}.cpp" for sub, name in ENTRIES}
