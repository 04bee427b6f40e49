"""Clusters started as separate processes, as a user starts them, and
interpreters that lack a module, for the tests of the Dask and Spark engines
(not a test module itself).

- python_without(module, folder): a script that runs this interpreter as if
  the module were not installed, to stand for a worker's Python that lacks
  the engine or NumPy (as Spark's PYSPARK_PYTHON, or a Dask worker's).
- dask_processes(...): `dask scheduler` and `dask worker` processes.
- spark_standalone(...): a Spark standalone master and worker (spark-class,
  from the pyspark package).

Every process is started here, stopped by its own id at the end, and writes
its log to a file in the given folder, shown when it fails to start.
"""

from __future__ import annotations

import contextlib
import os
import pathlib
import re
import signal
import subprocess
import sys
import time

# A sitecustomize that makes one module (and its submodules) impossible to
# import, as if it were not installed.
_REFUSE = '''import sys


class _NotInstalled:
    def find_spec(self, name, path=None, target=None):
        if name == {module!r} or name.startswith({module!r} + "."):
            raise ModuleNotFoundError(f"No module named {{name!r}}", name=name)
        return None


sys.meta_path.insert(0, _NotInstalled())
'''


def python_without(module: str, folder) -> str:
    """The path of an executable that runs this interpreter without `module`."""
    folder = pathlib.Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    (folder / "sitecustomize.py").write_text(_REFUSE.format(module=module))
    script = folder / "python"
    script.write_text(
        "#!/bin/sh\n"
        f'PYTHONPATH="{folder}${{PYTHONPATH:+:$PYTHONPATH}}" exec "{sys.executable}" "$@"\n'
    )
    script.chmod(0o755)
    return str(script)


def _start(command, log: pathlib.Path, env=None) -> subprocess.Popen:
    with open(log, "wb") as out:
        return subprocess.Popen(
            command, stdout=out, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
            env=env, start_new_session=True,
        )


def _stop(process: subprocess.Popen) -> None:
    """End a process we started, and its children (its own session)."""
    if process.poll() is None:
        with contextlib.suppress(ProcessLookupError):
            os.killpg(process.pid, signal.SIGTERM)
        try:
            process.wait(timeout=20)
        except subprocess.TimeoutExpired:
            with contextlib.suppress(ProcessLookupError):
                os.killpg(process.pid, signal.SIGKILL)
            process.wait()


def _wait_for(found, what: str, logs, seconds: float = 90.0):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        value = found()
        if value:
            return value
        time.sleep(0.2)
    shown = "\n".join(f"--- {log}\n{pathlib.Path(log).read_text(errors='replace')[-3000:]}" for log in logs)
    raise RuntimeError(f"{what} did not start within {seconds:.0f} s\n{shown}")


@contextlib.contextmanager
def dask_processes(folder, worker_python: str | None = None, workers: int = 1):
    """A `dask scheduler` process and `workers` `dask worker` processes (each
    one thread, run by worker_python, default this interpreter); yields the
    scheduler's address and the worker processes."""
    from distributed import Client

    folder = pathlib.Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    address_file = folder / "scheduler.json"
    started = []
    try:
        started.append(_start(
            [sys.executable, "-m", "dask", "scheduler", "--host", "127.0.0.1", "--port", "0",
             "--no-dashboard", "--scheduler-file", str(address_file)],
            folder / "scheduler.log",
        ))

        def address():
            if address_file.exists():
                import json

                with contextlib.suppress(ValueError):
                    return json.loads(address_file.read_text())["address"]
            return None

        scheduler = _wait_for(address, "dask scheduler", [folder / "scheduler.log"])
        worker_processes = [
            _start(
                [worker_python or sys.executable, "-m", "dask", "worker", scheduler, "--nthreads", "1",
                 "--no-dashboard", "--local-directory", str(folder / f"worker-{n}")],
                folder / f"worker-{n}.log",
            )
            for n in range(workers)
        ]
        started.extend(worker_processes)
        with Client(scheduler, timeout="60s") as client:
            client.wait_for_workers(workers, timeout=90)
        yield scheduler, worker_processes
    finally:
        for process in reversed(started):
            _stop(process)


def spark_class() -> str:
    import pyspark

    return str(pathlib.Path(pyspark.__file__).parent / "bin" / "spark-class")


@contextlib.contextmanager
def spark_standalone(folder, cores: int = 2, memory: str = "1g"):
    """A Spark standalone master and one worker of `cores` cores, on the
    loopback address; yields the master's URL (spark://127.0.0.1:PORT)."""
    import pyspark

    folder = pathlib.Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    env = dict(os.environ, SPARK_HOME=str(pathlib.Path(pyspark.__file__).parent), SPARK_LOCAL_IP="127.0.0.1")
    master_log = folder / "master.log"
    started = []
    try:
        started.append(_start(
            [spark_class(), "org.apache.spark.deploy.master.Master", "--host", "127.0.0.1", "--port", "0",
             "--webui-port", "0"],
            master_log, env,
        ))

        def master_url():
            found = re.search(r"Starting Spark master at (spark://\S+)", master_log.read_text(errors="replace"))
            return found.group(1) if found else None

        url = _wait_for(master_url, "Spark master", [master_log])
        worker_log = folder / "worker.log"
        started.append(_start(
            [spark_class(), "org.apache.spark.deploy.worker.Worker", url, "--host", "127.0.0.1",
             "--cores", str(cores), "--memory", memory, "--webui-port", "0", "--work-dir", str(folder / "work")],
            worker_log, env,
        ))
        _wait_for(
            lambda: "Successfully registered with master" in worker_log.read_text(errors="replace"),
            "Spark worker", [master_log, worker_log],
        )
        yield url
    finally:
        for process in reversed(started):
            _stop(process)
