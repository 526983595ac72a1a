"""The stubs of _tarnvault agree with the built module (mypy's stubtest),
and the package's core modules type-check strictly against them."""

import os
import subprocess
import sys

import pytest

import _tarnvault

pytest.importorskip("mypy")


def run_mypy(tmp_path, *args):
    # In the build tree the stubs sit beside the module; installed, mypy
    # finds them and the package in site-packages itself (and refuses
    # site-packages on MYPYPATH). Its cache goes to the working directory.
    module_dir = os.path.dirname(_tarnvault.__file__)
    path = os.pathsep.join([module_dir, os.environ.get("PYTHONPATH", "")])
    env = dict(os.environ, PYTHONPATH=path)
    if os.path.basename(module_dir) != "site-packages":
        env["MYPYPATH"] = module_dir
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True,
                          env=env, cwd=tmp_path)


def test_stubs_match_the_module(tmp_path):
    done = run_mypy(tmp_path, "mypy.stubtest", "_tarnvault")
    assert done.returncode == 0, done.stdout + done.stderr


def test_package_checks_strictly(tmp_path):
    done = run_mypy(tmp_path, "mypy", "--strict", "-m", "tarnvault", "-m", "tarnvault.cli")
    assert done.returncode == 0, done.stdout + done.stderr
