"""Shared fixtures of the Python tests: where the built plugins are, and
small helpers to load them."""

import os
import pathlib
import subprocess
import sys

import pytavo_device as tavo

PLUGIN_DIR = pathlib.Path(os.environ.get("TAVO_PLUGIN_DIR", "."))
TEST_PLUGIN_DIR = pathlib.Path(os.environ.get("TAVO_TEST_PLUGIN_DIR", "."))
SIM = PLUGIN_DIR / "libtavo_sim.so"


def test_plugin(stem):
    return TEST_PLUGIN_DIR / f"lib{stem}.so"


def probe_manager():
    return tavo.get_device_manager(str(test_plugin("tp_probe")))


def probe_device(options=""):
    """A probe device with the given comma-separated options."""
    name = "probe" + (":" + options if options else "")
    return probe_manager().create_device(name)


def probe_info(device):
    """The probe device's counters and last call, as a dict of texts."""
    return dict(line.split("=", 1) for line in device.get_info().splitlines() if "=" in line)


def library_mapped(path):
    """Whether the shared library at `path` is mapped into this process."""
    real = os.path.realpath(path)
    with open("/proc/self/maps") as maps:
        return any(line.rstrip().endswith(real) for line in maps)


def run_python(code, timeout=60, env=None):
    """Runs `code` in a fresh interpreter with this test's environment."""
    full_env = dict(os.environ)
    full_env.update(env or {})
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=timeout, env=full_env)
