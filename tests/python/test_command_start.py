"""However the commands are started (through links to a script or to its
folder, by `sh`, directly), they run the checkout that holds them under
bash, and read from a pipe they say how to run them; a set-up that fails
ends every script with set-up's own line, one whose cache folder cannot
be made or written, or that lacks a command it needs, with a line naming
it; every script answers --help and refuses a bad argument, in one line
that quotes it, before anything is set up; the test command runs from any
folder with a relative build folder and leaves nothing in the temporary
folder; and the death tests, whose children end without running
destructors, leave nothing there either."""

import os
import pathlib
import re
import shutil
import signal
import subprocess
import sys
import tempfile

import pytest

import _velmora
from conftest import TORCH_PYTHON, as_another_user, run_child

ROOT = pathlib.Path(__file__).resolve().parents[2]
TOOLS = ROOT / "tools"
# Every script that runs set-up, with arguments that get it past its own checks.
SET_UP_FIRST = {"main.sh": ["Text."], "test.sh": [], "build.sh": [], "sanitize.sh": [],
                "fuzz.sh": ["1"], "clang_check.sh": [], "setup.sh": []}
NO_PYTHON = "[setup] no CPython 3.12 found\n"
# What each script says when it is not a file that bash could be given.
RUN_IT = {name: f"{name}: run it with bash: bash tools/{name}\n" for name in SET_UP_FIRST}
RUN_IT["main.sh"] = "main.sh: run it with bash: bash tools/main.sh [OPTION ...] [TEXT ...]\n"
RUN_IT["fuzz.sh"] = "fuzz.sh: run it with bash: bash tools/fuzz.sh [SECONDS] [TARGET ...]\n"


def program(path, text):
    """Writes an executable file (its folders too) and returns its path."""
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(text)
    path.chmod(0o755)
    return path


@pytest.fixture
def failing_set_up(tmp_path):
    """An environment in which set-up fails at once, installing nothing: its
    cache holds a torch environment whose interpreter passes every check by
    doing nothing, and no 3.12 one, which neither PATH nor PYENV_ROOT can
    make. The build folders it names must stay unmade."""
    search = "/usr/bin:/bin"
    if shutil.which("python3.12", path=search):
        pytest.skip(f"a CPython 3.12 is on {search}")
    python = program(tmp_path / "cache" / "venv-torch" / "bin" / "python", "#!/bin/sh\nexit 0\n")
    cache = python.parents[2]
    return {**os.environ, "PATH": search, "PYENV_ROOT": str(tmp_path / "no-pyenv"),
            "VELMORA_CACHE": str(cache), "BUILD_DIR": str(tmp_path / "build"),
            "SANITIZE_BUILD_DIR": str(tmp_path / "build"),
            "FUZZ_BUILD_DIR": str(tmp_path / "build")}


def run_all(commands, env, cwd=None):
    """Runs every command of the dict at once; their (status, stdout,
    stderr) under the same keys."""
    started = {key: subprocess.Popen(command, env=env, cwd=cwd, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                     errors="backslashreplace", start_new_session=True)
               for key, command in commands.items()}
    results = {}
    try:
        for key, child in started.items():
            out, err = child.communicate(timeout=300)
            results[key] = (child.returncode, out, err)
    finally:
        for child in started.values():
            if child.poll() is None:
                os.killpg(child.pid, signal.SIGKILL)
                child.communicate()
    return results


def test_a_failed_set_up_ends_every_script_with_its_own_line(failing_set_up, tmp_path):
    # Run by bash, by sh (dash, which would stop at bash's first option) and
    # as a program: every script is executable.
    commands = {}
    for name, args in SET_UP_FIRST.items():
        commands[f"bash {name}"] = ["bash", str(TOOLS / name), *args]
        commands[f"sh {name}"] = ["sh", str(TOOLS / name), *args]
        commands[name] = [str(TOOLS / name), *args]
    for key, result in run_all(commands, failing_set_up).items():
        assert result == (1, "", NO_PYTHON), key
    assert not (tmp_path / "build").exists()


def test_links_to_a_script_or_its_folder_run_the_checkout_that_holds_it(failing_set_up,
                                                                         tmp_path):
    # A link in another folder, beside a tools/build.sh that must not run; a
    # chain of two links (the second relative); a link to tools/.
    (tmp_path / "tools").mkdir()
    (tmp_path / "tools" / "build.sh").write_text("echo 'the wrong checkout' >&2\nexit 3\n")
    bin_folder = tmp_path / "bin"
    bin_folder.mkdir()
    (bin_folder / "velmora").symlink_to(TOOLS / "main.sh")
    (bin_folder / "again").symlink_to("velmora")
    (tmp_path / "tools-link").symlink_to(TOOLS, target_is_directory=True)
    commands = {}
    for link in (bin_folder / "velmora", bin_folder / "again"):
        commands[f"bash {link.name}"] = ["bash", str(link), "Text."]
        commands[link.name] = [str(link), "Text."]
    for name, args in SET_UP_FIRST.items():
        commands[f"tools-link/{name}"] = ["bash", str(tmp_path / "tools-link" / name), *args]
    for key, result in run_all(commands, failing_set_up, cwd=tmp_path).items():
        assert result == (1, "", NO_PYTHON), key
    assert not (tmp_path / "build").exists()


def test_sh_runs_the_commands_under_bash(failing_set_up, tmp_path):
    runs = run_all({"help": ["sh", str(TOOLS / "main.sh"), "--help"],
                    "bash help": ["bash", str(TOOLS / "main.sh"), "--help"]}, failing_set_up)
    assert runs["help"] == runs["bash help"] and runs["help"][0] == 0
    assert runs["help"][1].startswith("usage: bash tools/main.sh")


def test_a_script_read_from_a_pipe_says_how_to_run_it(failing_set_up, tmp_path):
    # No file holds the script, and $0 is the shell's own name: a file of
    # that name in the working folder is never run in its place.
    for shell in ("sh", "bash"):
        impostor = tmp_path / shell
        impostor.write_text("echo 'the impostor ran'\nexit 7\n")
        impostor.chmod(0o755)
    runs = {}
    for name in SET_UP_FIRST:
        for shell in (["sh"], ["sh", "-s", "Text."], ["bash"], ["bash", "-s", "Text."]):
            with open(TOOLS / name, "rb") as script:
                runs[name, *shell] = subprocess.run(
                    shell, stdin=script, capture_output=True, text=True, timeout=60,
                    env=failing_set_up, cwd=tmp_path)
        # Given the pipe's file (`bash <(cat tools/main.sh)`), each says so too.
        runs[name, "bash <()"] = subprocess.run(
            ["bash", "-c", 'bash <(cat "$1") Text.', "bash", TOOLS / name],
            capture_output=True, text=True, timeout=60, env=failing_set_up, cwd=tmp_path)
    for key, run in runs.items():
        assert (run.returncode, run.stdout, run.stderr) == (1, "", RUN_IT[key[0]]), key


def test_a_bad_argument_is_refused_before_set_up(failing_set_up, tmp_path):
    # Set-up fails at once here: a check made after it would say so instead.
    cases = {
        ("--bogus", "Text."): "unrecognized argument: '--bogus'",
        # Options are taken only as spelled out.
        ("--js", "Text."): "unrecognized argument: '--js'",
        ("--proc", "tokenize", "Text."): "unrecognized argument: '--proc'",
        ("--check",): "unrecognized argument: '--check'",
        ("--model-dir", "x"): "unrecognized argument: '--model-dir'",
        ("--processors",): "argument --processors: expected one argument",
        ("--threads", "--json"): "argument --threads: expected one argument",
        ("--processors", " , "): "argument --processors: names no processor: ' , '",
        # A whole number from 1 to 256, in ASCII digits.
        ("--threads", "0"): "argument --threads: not a positive integer: '0'",
        ("--threads", "-1"): "argument --threads: not a positive integer: '-1'",
        ("--threads", "257"): "argument --threads: more than 256 threads: '257'",
        ("--threads=99999999999999999999",):
            "argument --threads: more than 256 threads: '99999999999999999999'",
        ("--threads", " 4"): "argument --threads: invalid int value: ' 4'",
        ("--threads", "1_0"): "argument --threads: invalid int value: '1_0'",
        ("--threads", "\uff14"): "argument --threads: invalid int value: '\uff14'",
        # One line of readable text, whatever the argument holds.
        ("--threads", "4\n"): "argument --threads: invalid int value: '4\\n'",
        ("--processors", "tokenize,po\ts\r"): "argument --processors: unknown processor: "
                                            "'po\\ts'",
        ("--processors", "tokenize,\u2028,x\x85"): "argument --processors: unknown processor: "
                                                 "'\\u2028'",
        ("--bo\udcffgus\x1b",): "unrecognized argument: '--bo\\xffgus\\x1b'"}
    runs = run_all({args: ["bash", str(TOOLS / "main.sh"), *args] for args in cases},
                   failing_set_up)
    for args, message in cases.items():
        assert runs[args] == (2, "", f"main.sh: {message}\n"), args
    # What is taken goes on to set-up: text after "--", "-" and negative
    # numbers are text; the option's own "=" form.
    runs = run_all({args: ["bash", str(TOOLS / "main.sh"), *args] for args in [
        ("--", "--bogus"), ("-", "-5", "-.5"), ("--threads=0256", "--json", "x", "--json"),
        ("--processors", "\ttokenize ,, mwt,", "x")]}, failing_set_up)
    for args, run in runs.items():
        assert run == (1, "", NO_PYTHON), args
    # A name with as many blanks around it as an argument holds (128 KiB)
    # is read in one pass, refused or taken at once rather than in minutes.
    blanks = " " * 65_000
    for value, result in [(f"{blanks}bogus{blanks}", (
            2, "", "main.sh: argument --processors: unknown processor: 'bogus'\n")),
            (f"{blanks}tokenize{blanks},mwt", (1, "", NO_PYTHON))]:
        run = subprocess.run(["bash", str(TOOLS / "main.sh"), "--processors", value, "Text."],
                             env=failing_set_up, stdin=subprocess.DEVNULL, capture_output=True,
                             text=True, timeout=10)
        assert (run.returncode, run.stdout, run.stderr) == result
    assert not (tmp_path / "build").exists()


def test_the_other_scripts_check_their_arguments_before_set_up(failing_set_up, tmp_path):
    runs = run_all({
        "seconds": ["bash", str(TOOLS / "fuzz.sh"), "ten"],
        "no seconds": ["bash", str(TOOLS / "fuzz.sh"), "0", "json"],
        "empty seconds": ["bash", str(TOOLS / "fuzz.sh"), "", "json"],
        "target": ["bash", str(TOOLS / "fuzz.sh"), "1", "json", "jsn"],
        "path": ["bash", str(TOOLS / "fuzz.sh"), "1", "../fuzz/fuzz_json"],
        "ctest": ["bash", str(TOOLS / "sanitize.sh"), "-R", "Depparse", "-E"],
        "no ctest": ["env", "SANITIZE_PYTHON=only", "bash", str(TOOLS / "sanitize.sh"), "-R", "x"],
        "target name": ["bash", str(TOOLS / "build.sh"), "--target", "_velmora", "a/b"],
        "no target": ["bash", str(TOOLS / "build.sh"), "--target", "--help"],
        "package": ["bash", str(TOOLS / "debian_packages.sh"), "setup", "g++", "Clang"],
        "packages": ["bash", str(TOOLS / "debian_packages.sh"), "setup"]}, failing_set_up)
    seconds = "fuzz.sh: SECONDS is a whole number of seconds from 1, not '{}'\n"
    assert runs["seconds"] == (2, "", seconds.format("ten"))
    assert runs["no seconds"] == (2, "", seconds.format("0"))
    assert runs["empty seconds"] == (2, "", seconds.format(""))
    target = "fuzz.sh: no fuzz target '{}' (tests/fuzz/fuzz_TARGET.cpp)\n"
    assert runs["target"] == (2, "", target.format("jsn"))
    assert runs["path"] == (2, "", target.format("../fuzz/fuzz_json"))
    assert runs["ctest"] == (2, "", "sanitize.sh: argument -E: expected a REGEX\n")
    assert runs["no ctest"] == (2, "", "sanitize.sh: -R chooses C++ tests, which "
                                "SANITIZE_PYTHON=only leaves out\n")
    assert runs["target name"] == (2, "", "build.sh: argument --target: not a target name: "
                                   "'a/b'\n")
    assert runs["no target"] == (2, "", "build.sh: argument --target: expected at least one "
                                 "target\n")
    assert runs["package"] == (2, "", "debian_packages.sh: not a Debian package name: 'Clang'\n")
    assert runs["packages"] == (2, "", "debian_packages.sh: it takes a TAG and the PACKAGEs to "
                                "install (bash tools/debian_packages.sh TAG PACKAGE ...)\n")
    # Each word of SANITIZE_TESTS names a test directory, not a pattern or a path;
    # an empty value is no value, and runs them all.
    cases = {"wordform common": "SANITIZE_TESTS: no test directory 'common' in tests/cpp",
             " ": "SANITIZE_TESTS names no test directory: ' '",
             "\n": "SANITIZE_TESTS names no test directory: '\\n'",
             ".": "SANITIZE_TESTS: no test directory '.' in tests/cpp",
             "coref/..": "SANITIZE_TESTS: no test directory 'coref/..' in tests/cpp",
             "coref *": "SANITIZE_TESTS: no test directory '*' in tests/cpp",
             "coref\x1b": "SANITIZE_TESTS: no test directory 'coref\\x1b' in tests/cpp"}
    runs = run_all({value: ["env", f"SANITIZE_TESTS={value}", "bash", str(TOOLS / "sanitize.sh")]
                    for value in [*cases, "", " wordform\tcoref "]}, failing_set_up)
    for value, message in cases.items():
        assert runs[value] == (2, "", f"sanitize.sh: {message}\n"), value
    assert runs[""] == runs[" wordform\tcoref "] == (1, "", NO_PYTHON)
    assert not (tmp_path / "build").exists()


# Every script that the README names, by the command that runs it.
SCRIPTS = {name: ["bash", str(TOOLS / name)] for name in
           ["build.sh", "clang_check.sh", "debian_packages.sh", "fuzz.sh", "sanitize.sh",
            "setup.sh", "test.sh"]}
SCRIPTS["package_damage.py"] = [sys.executable, str(TOOLS / "package_damage.py")]
SCRIPTS["build_models.py"] = [str(TORCH_PYTHON), str(TOOLS / "models" / "build_models.py")]
SCRIPTS["generate.py"] = [str(TORCH_PYTHON), str(TOOLS / "fixtures" / "generate.py")]


def test_every_script_answers_help_and_refuses_what_it_does_not_take(failing_set_up, tmp_path):
    # Set-up fails at once here, and names its cause: a script that went on
    # to it would say so instead. A refusal quotes the argument on one line,
    # whatever it holds.
    bad = b"a\nb\t\xff\xc3\\"
    runs = run_all({(name, *args): [*command, *args] for name, command in SCRIPTS.items()
                    for args in [("--help",), ("-h",), ("--bogus",), (bad,), (b"--" + bad,)]},
                   failing_set_up)
    for name in SCRIPTS:
        status, text, said = runs[name, "--help"]
        assert (status, said) == (0, "") and runs[name, "-h"] == runs[name, "--help"], name
        assert re.match(rf"usage: (bash tools/)?{re.escape(name)}\s", text), name
        for args, shown in [(("--bogus",), "'--bogus'"), ((bad,), r"'a\nb\t\xff\xc3\\'"),
                            ((b"--" + bad,), r"'--a\nb\t\xff\xc3\\'")]:
            status, text, said = runs[(name, *args)]
            assert (status, text) == (2, ""), (name, args, said)
            assert said.startswith(f"{name}: ") and said.count("\n") == 1, (name, args, said)
            assert shown in said, (name, args, said)
    # The cache folder holds what the fixture put there, and nothing else.
    assert [p.name for p in pathlib.Path(failing_set_up["VELMORA_CACHE"]).iterdir()] == [
        "venv-torch"]
    assert not (tmp_path / "build").exists()


def test_set_up_names_a_command_it_needs_and_lacks(tmp_path):
    # A PATH of a few commands: without grep, then without dpkg-query.
    commands = ["bash", "readlink", "mkdir", "rmdir", "mktemp", "id", "dpkg-query", "grep", "rm",
                "env"]
    for missing in ("grep", "dpkg-query"):
        folder = tmp_path / missing
        folder.mkdir()
        for name in commands:
            if name != missing:
                (folder / name).symlink_to(shutil.which(name))
        env = {**os.environ, "PATH": str(folder), "VELMORA_CACHE": str(tmp_path / "cache"),
               "BUILD_DIR": str(tmp_path / "build")}
        runs = run_all({name: [shutil.which("bash"), str(TOOLS / name)]
                        for name in ["setup.sh", "build.sh", "test.sh", "clang_check.sh"]}, env)
        for name, run in runs.items():
            assert run == (1, "", f"[setup] no {missing} command on PATH: set-up needs it\n"), name
    assert not (tmp_path / "cache").exists() and not (tmp_path / "build").exists()


def test_a_relative_build_folder_and_the_tests_folders(tmp_path):
    # The test command run from another folder with a relative BUILD_DIR, in
    # a set-up whose interpreters, cmake, ctest and dpkg-query only say what
    # they were given, by a user other than root. pytest then runs in the
    # checkout with absolute paths to the module and the fixtures, and its
    # folders for the tests, and their temporary folder, are in the run's
    # own, which goes with it: a tree whose folders a test left without
    # their write right too (root's rm ignores that, no one else's does),
    # or with no right at all, two thousand inside forty others, whose
    # rights go back through a few chmods, not one for each; and whatever
    # the tests' status.
    record = tmp_path / "record"
    python = r"""#!/bin/bash
[ "$1" = -m ] || exit 0
printf '%s\n' "$PWD" "$PYTHONPATH" "$VELMORA_FIXTURE_DIR" "$TMPDIR" "$@" >"$RECORD"
for arg; do case "$arg" in --basetemp=*) locked="${arg#*=}/test_locked0/models/key/en" ;; esac
done
mkdir -p "$locked" "$TMPDIR/torchinductor_user" && touch "$locked/index.json"
chmod 555 "$locked" "${locked%/*}" "${locked%/*/*}" || exit
cd "$TMPDIR" && mkdir -p closed/{1..40}/{1..50}/in || exit
chmod 0 closed/{1..40}/{1..50} closed/{1..40} && exit "$STATUS"
"""
    for venv in ("venv-torch", "venv-py312"):
        program(tmp_path / "cache" / venv / "bin" / "python", python)
    program(tmp_path / "bin" / "chmod", '#!/bin/sh\necho >>"$RECORD.chmod$STATUS"\n'
            'exec /bin/chmod "$@"\n')
    program(tmp_path / "bin" / "dpkg-query", "#!/bin/sh\necho 'install ok installed'\n")
    program(tmp_path / "bin" / "cmake", '#!/bin/sh\necho "cmake $*" >>"$RECORD.cmake"\n')
    program(tmp_path / "bin" / "ctest", "#!/bin/sh\n")
    (tmp_path / "tmp").mkdir()
    env = {**os.environ, "PATH": f"{tmp_path / 'bin'}:/usr/bin:/bin",
           "VELMORA_CACHE": str(tmp_path / "cache"), "CCACHE_DIR": str(tmp_path / "ccache"),
           "BUILD_DIR": "work/build", "TMPDIR": str(tmp_path / "tmp"), "RECORD": str(record)}
    env.pop("PYTHONPATH", None)
    test = [*as_another_user(), "bash", str(TOOLS / "test.sh")]
    runs = {status: run_all({"test": test}, {**env, "STATUS": status}, cwd=tmp_path)["test"]
            for status in ("0", "3")}
    assert runs["0"][0] == 0 and runs["3"][0] == 3, runs
    assert list((tmp_path / "tmp").iterdir()) == []
    chmods = [len(record.with_suffix(f".chmod{status}").read_text().splitlines())
              for status in ("0", "3")]
    assert max(chmods) < 20, chmods
    build = tmp_path / "work" / "build"
    where, path, fixtures, temporary, *args = record.read_text().splitlines()
    assert (where, path, fixtures) == (str(ROOT), f"{build}/python", f"{build}/fixtures")
    assert f"-B {build} " in record.with_suffix(".cmake").read_text()
    basetemp = [arg.split("=", 1)[1] for arg in args if arg.startswith("--basetemp=")]
    assert len(basetemp) == 1 and basetemp[0].startswith(f"{tmp_path / 'tmp'}/"), args
    assert pathlib.Path(temporary).parent == pathlib.Path(basetemp[0]).parent, temporary


def test_the_processor_list_is_checked_as_the_module_checks_it(failing_set_up):
    names = list(_velmora.processor_specs())
    lists = ["all", " all ", "all,tokenize", "Tokenize", "tokenize pos", "tokenize,\u3000pos",
             "tokenize,pos,pos", "depparse", "tokenize,lemma,depparse", "lemma,tokenize"]
    lists += names + [f"tokenize,{name}" for name in names] + [f"{name},tokenize" for name in names]
    lists += [f"tokenize,pos,lemma,{name}" for name in names]
    runs = run_all({text: ["bash", str(TOOLS / "main.sh"), "--processors", text, "Text."]
                    for text in lists}, failing_set_up)
    for text, run in runs.items():
        spelled = text.strip()
        if spelled == "all":  # the registry's order, the language identifier after the tokenizer
            spelled = ",".join(["tokenize", "langid"] + [n for n in names if n not in
                                                         ("tokenize", "langid")])
        try:
            _velmora.Pipeline("en", processors=spelled)
        except ValueError as error:
            assert run == (2, "", f"main.sh: argument --processors: {error}\n"), text
        else:
            assert run == (1, "", NO_PYTHON), text


def test_the_test_command_takes_only_help(failing_set_up, tmp_path):
    runs = run_all({args: ["bash", str(TOOLS / "test.sh"), *args]
                    for args in [("--help",), ("-h",), ("--bogus",), ("--help", "x"), ("",)]},
                   failing_set_up)
    status, text, said = runs["--help",]
    assert (status, said) == (0, "") and runs["-h",] == runs["--help",]
    assert text.startswith("usage: bash tools/test.sh\n")
    assert "minutes" in text
    for variable in ("BUILD_DIR", "VELMORA_CACHE", "VELMORA_MODEL_CACHE", "TMPDIR"):
        assert f"\n  {variable} " in text, variable
    for args, wrong in [(("--bogus",), "--bogus"), (("--help", "x"), "x"), (("",), "")]:
        assert runs[args] == (2, "", f"test.sh: unrecognized argument: '{wrong}' (it takes "
                              "none but --help)\n"), args
    assert not (tmp_path / "build").exists()


def test_a_cache_folder_that_cannot_be_made_is_named(failing_set_up, tmp_path):
    # HOME names a file, which no one can make a folder in; then a HOME that
    # does not exist, for a user who may not make it.
    cases = {"file": (["bash"], {"HOME": "/dev/null"}, "/dev/null/.cache/velmora",
                      "Not a directory")}
    if os.geteuid() == 0 and shutil.which("setpriv"):
        cases["nobody"] = (["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                            "bash"], {"HOME": "/nonexistent"}, "/nonexistent/.cache/velmora",
                           "Permission denied")
    # The other user runs a copy of the scripts that it may read.
    checkout = pathlib.Path(tempfile.mkdtemp(prefix="velmora-checkout-", dir="/tmp"))
    try:
        checkout.chmod(0o755)
        shutil.copytree(TOOLS, checkout / "tools")
        (checkout / "tmp").mkdir(mode=0o777)
        (checkout / "tmp").chmod(0o777)
        for case, (prefix, home, folder, why) in cases.items():
            env = {**failing_set_up, **home, "TMPDIR": str(checkout / "tmp")}
            del env["VELMORA_CACHE"]
            runs = run_all({name: [*prefix, str(checkout / "tools" / name), *args]
                            for name, args in [("main.sh", ["Text."]), ("setup.sh", [])]},
                           env, cwd="/")
            for name, run in runs.items():
                assert run == (1, "", f"[setup] cannot make the cache folder {folder} ({why}): "
                               "set VELMORA_CACHE to a folder you can write\n"), (case, name)
    finally:
        shutil.rmtree(checkout)
    # A folder that is there, but in which no folder can be made, even by
    # root: the write bits say it can.
    runs = run_all({cache: ["env", f"VELMORA_CACHE={cache}", "bash", str(TOOLS / "setup.sh")]
                    for cache in ["/proc", "/sys/kernel"]}, failing_set_up)
    for cache, run in runs.items():
        assert run == (1, "", f"[setup] cannot write in the cache folder {cache}: set "
                       "VELMORA_CACHE to a folder you can write\n"), cache
    # Nor can the command make its own folder in a temporary folder that is a file.
    run = run_all({"main.sh": ["bash", str(TOOLS / "main.sh"), "Text."]},
                  {**failing_set_up, "TMPDIR": "/dev/null"})["main.sh"]
    assert run == (1, "", "main.sh: cannot make a folder in the temporary folder /dev/null: set "
                   "TMPDIR to a folder you can write\n")


def test_death_tests_leave_nothing_in_the_temporary_folder(tmp_path):
    # The threadsafe style runs a test again in a child, which ends without
    # running destructors: whatever that run made, it must remove itself.
    build = pathlib.Path(_velmora.__file__).resolve().parent.parent
    binaries = sorted((build / "tests").glob("velmora_*_tests"))
    if not binaries:
        pytest.skip(f"no C++ test binaries in {build / 'tests'}")
    temporary = tmp_path / "tmp"
    temporary.mkdir()
    env = {**os.environ, "TMPDIR": str(temporary), "OMP_NUM_THREADS": "1"}
    ran = 0
    for binary in binaries:
        code, out, err = run_child([str(binary), "--gtest_filter=*DeathTest*.*"], env, 600)
        assert code == 0, out + err
        ran += sum(int(n) for n in re.findall(r"^\[ +PASSED +\] (\d+) test", out, re.M))
    assert ran > 0, "no death test ran"
    assert sorted(p.name for p in temporary.iterdir()) == []
