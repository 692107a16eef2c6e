"""What README.md tells a user: its Python example on the simulator build runs
as it stands there, with this run's module and with the one its pip command
installs, and the Debian packages it names for `pip install .` are the ones
scripts/install.sh installs for the module's build."""

import os
import re
import subprocess
import sysconfig
import textwrap

from conftest import PYTHON, python_env, sanitizer_report

ROOT = os.path.join(os.path.dirname(__file__), "..", "..")


def read(relative):
    with open(os.path.join(ROOT, relative)) as f:
        return f.read()


def indented_block_with(text, marker):
    """The indented code block of a Markdown text that holds marker, dedented."""
    lines = text.splitlines()
    at = next(i for i, line in enumerate(lines) if marker in line)
    first = at
    while first > 0 and lines[first - 1].startswith("    "):
        first -= 1
    last = at
    while last + 1 < len(lines) and lines[last + 1].startswith("    "):
        last += 1
    return textwrap.dedent("\n".join(lines[first:last + 1])) + "\n"


def run_example(tmp_path, env):
    """Runs the README's simulator example as it stands there; its output lines."""
    example = indented_block_with(read("README.md"), "kyrsim_plug")
    assert len(example.splitlines()) < 10
    script = tmp_path / "example.py"
    script.write_text(example)
    # Nothing but the module's own location tells the example where the
    # simulator library is.
    env.pop("KYRSIM_LIBRARY", None)
    run = subprocess.run([PYTHON, str(script)], cwd=tmp_path, env=env, capture_output=True, text=True,
                         timeout=300)
    assert run.returncode == 0, run.stdout + run.stderr
    assert sanitizer_report(run.stderr) is None, run.stderr
    lines = run.stdout.splitlines()
    assert lines[0] == "1 camera(s)"
    assert re.fullmatch(r"VORN KYR832MC \(\d+, \d+\) [\d.]+", lines[1]), lines[1]
    return lines


def test_the_simulator_example_runs_as_written(tmp_path):
    # The module of this test run, from its build folder: the simulator
    # library beside it as pip installs it.
    run_example(tmp_path, python_env())


def test_the_simulator_example_runs_with_the_module_pip_installs(tmp_path):
    """The README's pip command, into a folder of the test's: the module and
    the simulator library it installs beside it, without the sanitizers of
    this test run."""
    command = indented_block_with(read("README.md"), "KYR_BINDINGS_SIM=ON").split()
    assert command[:2] == ["pip", "install"] and command[-1] == "."
    target = tmp_path / "site"
    env = {k: v for k, v in os.environ.items()
           if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONPATH")}
    env["CMAKE_BUILD_PARALLEL_LEVEL"] = os.environ.get("KYR_JOBS", str(os.cpu_count()))
    # The build's Python packages are those of this environment, and its
    # build folder is kept, so that a second run rebuilds only what changed.
    install = subprocess.run(
        [PYTHON, "-m", *command[:-1], "--no-build-isolation", "--no-deps", "--no-cache-dir",
         "--disable-pip-version-check", "-q", "--target", str(target),
         "-Cbuild-dir=" + os.path.join(ROOT, "build", "pip-sim"), ROOT],
        cwd=tmp_path, env=env, capture_output=True, text=True, timeout=1800)
    assert install.returncode == 0, install.stdout + install.stderr
    assert sorted(p.name for p in target.iterdir() if not p.name.endswith(".dist-info")) == [
        f"bindings{sysconfig.get_config_var('EXT_SUFFIX')}", "libkyrsim.so", "libkyrsim_model.so"]
    env["PYTHONPATH"] = str(target)
    run_example(tmp_path, env)


def test_the_packages_named_for_pip_install_are_those_the_install_script_installs():
    match = re.search(r"^MODULE_PACKAGES=\((.*?)\)", read("scripts/install.sh"), re.S | re.M)
    assert match, "scripts/install.sh has no MODULE_PACKAGES list"
    readme = read("README.md")
    start = re.search(r"once\s+the\s+Debian\s+packages\s+its\s+build\s+needs", readme).end()
    named = set(re.findall(r"[\w.+-]+", readme[start:readme.index("\n\n", start)]))
    for package in match.group(1).split():
        assert package in named, package
