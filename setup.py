"""The wheel of the Python module kestrix: `pip wheel --no-build-isolation .` builds its native
half with CMake (the option KESTRIX_PYTHON) in build-wheel/ and packs it with python/kestrix.
Nothing is fetched: setuptools and wheel come from the machine (python3-setuptools,
python3-wheel), pybind11 from pybind11-dev."""

import os
import re
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

HERE = os.path.dirname(os.path.abspath(__file__))


def version():
    with open(os.path.join(HERE, "CMakeLists.txt"), encoding="utf-8") as cmake:
        return re.search(r"project\(Kestrix VERSION ([0-9.]+)", cmake.read()).group(1)


class CMakeBuild(build_ext):
    """Builds the native module with the project's own CMake build, for this Python."""

    def build_extension(self, ext):
        folder = os.path.join(HERE, "build-wheel")
        subprocess.run(["cmake", "-S", HERE, "-B", folder, "-DCMAKE_BUILD_TYPE=Release",
                        "-DKESTRIX_PYTHON=ON", "-DKESTRIX_TESTS=OFF",
                        f"-DPython_EXECUTABLE={sys.executable}"], check=True)
        subprocess.run(["cmake", "--build", folder, "-j", os.environ.get("JOBS", "2"),
                        "--target", "_kestrix"], check=True)
        built = os.path.join(folder, "python", "kestrix")
        native = next(name for name in os.listdir(built) if name.startswith("_kestrix."))
        target = self.get_ext_fullpath(ext.name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copyfile(os.path.join(built, native), target)


setup(
    name="kestrix",
    version=version(),
    description="Check, read and unpack DZ firmware containers",
    license="MIT",
    python_requires=">=3.9",
    package_dir={"": "python"},
    packages=["kestrix"],
    package_data={"kestrix": ["__init__.pyi", "py.typed"]},
    ext_modules=[Extension("kestrix._kestrix", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    zip_safe=False,
    # setuptools' own work goes beside the CMake build, not into the project's build/ folder.
    options={"build": {"build_base": "build-wheel/setuptools"},
             "egg_info": {"egg_base": "build-wheel"}},
)
