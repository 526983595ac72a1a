"""Builds the extension module with the project's own CMake build.

The metadata lives in pyproject.toml; this file only adds the build step.
setuptools sees one extension, `_tarnvault`, marked for the stable ABI so the
wheel is tagged cp311-abi3; building it configures CMake in Release mode with
the tests off, builds the module target and copies `_tarnvault.abi3.so` to
where setuptools packs it, with its stubs. The compiler flags are the CMake build's own
(no -march=native, no FMA contraction, run-time SIMD dispatch).
"""

import os
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

SOURCE_DIR = Path(__file__).resolve().parent


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        build_dir = Path(self.build_temp).resolve() / "cmake"
        configure = [
            "cmake", "-S", str(SOURCE_DIR), "-B", str(build_dir),
            "-DCMAKE_BUILD_TYPE=Release",
            "-DTARNVAULT_TESTS=OFF",
            f"-DPython3_EXECUTABLE={sys.executable}",
        ]
        if shutil.which("ninja") and not (build_dir / "CMakeCache.txt").exists():
            configure += ["-G", "Ninja"]
        subprocess.run(configure, check=True)
        build = ["cmake", "--build", str(build_dir), "--target", "_tarnvault"]
        # CMAKE_BUILD_PARALLEL_LEVEL, when set, is read by cmake --build
        # itself; `build_ext -j N` is passed on when it is not.
        if self.parallel and "CMAKE_BUILD_PARALLEL_LEVEL" not in os.environ:
            build += ["--parallel", str(self.parallel)]
        subprocess.run(build, check=True)

        target = Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(build_dir / "py" / "_tarnvault.abi3.so", target)
        # The module's stubs go beside it, for editors (an editable install
        # builds into py/, where they already are), and as the stub-only
        # package _tarnvault-stubs, the form mypy looks for in site-packages.
        stubs = SOURCE_DIR / "py" / "_tarnvault.pyi"
        if target.parent.resolve() != stubs.parent:
            shutil.copyfile(stubs, target.parent / stubs.name)
        stub_package = target.parent / "_tarnvault-stubs"
        stub_package.mkdir(exist_ok=True)
        shutil.copyfile(stubs, stub_package / "__init__.pyi")


setup(
    ext_modules=[Extension("_tarnvault", sources=[], py_limited_api=True)],
    cmdclass={"build_ext": CMakeBuild},
    options={
        "bdist_wheel": {"py_limited_api": "cp311"},
        # The CMake build of the tests owns build/; setuptools works apart.
        "build": {"build_base": "build-setuptools"},
    },
)
