"""How a step of tools/main.sh ends the command (the annotation, or a step
that fails): it hands main.sh its exit status and its last line, which
main.sh says, rather than saying that line itself. Both stand whole in the
file VELMORA_MAIN_STATUS names, or neither does, so that a stop that comes
as the step ends changes nothing: main.sh ends with that status and that
one line, whether the step then ends by itself or the stop ends it."""

import os


def handed_over(status, line):
    """Hands main.sh `status` and `line` (None: no line); whether it did. Run
    otherwise, or where the file cannot be written (main.sh has gone), the
    caller says the line itself."""
    path = os.environ.get("VELMORA_MAIN_STATUS")
    if not path:
        return False
    staging = f"{path}.{os.getpid()}"
    try:
        with open(staging, "w", encoding="utf-8", errors="backslashreplace") as file:
            file.write(f"{status}\n" if line is None else f"{status}\n{line}\n")
        os.replace(staging, path)
    except OSError:
        return False
    return True
