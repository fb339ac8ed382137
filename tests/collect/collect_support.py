"""Constants the collection tests share (a module of its own: test folders run together)."""

import datetime as dt

UTC = dt.timezone.utc
#: The simulated fleet's "now"; the collected day is the day before.
NOW = dt.datetime(2025, 6, 2, 12, 0, tzinfo=UTC)
DAY = dt.date(2025, 6, 1)
THREE_PHASE = ("HX3000001", "HX3000002", "HX3000003", "HX3000004")



def tool_env() -> dict:
    """The environment for the tool as a subprocess: this process's package, none of its
    HALVEX_* settings."""
    from support.processes import package_env

    return {k: v for k, v in package_env().items() if not k.startswith("HALVEX_")}


def run_tool(*argv, timeout=120):
    """The tool as a subprocess (what uses Dask runs there: importing it changes how this
    process pickles exceptions): (exit code, standard output, standard error)."""
    import subprocess
    import sys

    proc = subprocess.run([sys.executable, "-m", "norvo_halvex.cli", *map(str, argv)], capture_output=True,
                          text=True, timeout=timeout, env=tool_env(), stdin=subprocess.DEVNULL)
    return proc.returncode, proc.stdout, proc.stderr
