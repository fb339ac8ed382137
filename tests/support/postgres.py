"""A throwaway PostgreSQL server: ``initdb`` and ``pg_ctl`` in a temporary folder, listening
on a Unix socket only. The tests start one per session; bench/collect.py starts its own.

PostgreSQL refuses to run as root: as root the server runs as ``nobody`` (through setpriv),
which owns the data and socket folders; root's clients reach the socket all the same. The
role ``halvex_pw`` signs in with a password (for the tests of ~/.pgpass, PGPASSWORD and of
what is shown of a URL); every other role is trusted on the socket.
"""

from __future__ import annotations

import dataclasses
import glob
import os
import pwd
import shutil
import subprocess
import tempfile
import urllib.parse

from support.processes import outside_env

PASSWORD_ROLE = "halvex_pw"
PASSWORD = "s3cret-Pa55word"


def binaries() -> str | None:
    """The folder of initdb and pg_ctl: the newest of /usr/lib/postgresql/*/bin, else PATH."""
    found = sorted(glob.glob("/usr/lib/postgresql/*/bin/initdb"),
                   key=lambda p: int(p.split("/")[4]) if p.split("/")[4].isdigit() else 0)
    if found:
        return os.path.dirname(found[-1])
    on_path = shutil.which("initdb")
    return os.path.dirname(os.path.realpath(on_path)) if on_path else None


@dataclasses.dataclass
class Server:
    root: str
    socket_dir: str
    bin: str
    owner: str | None  # the user the server runs as when this process is root
    port: int = 5432

    def url(self, database: str = "postgres", *, user: str = "postgres", password: str | None = None,
            **params: str) -> str:
        """A libpq URI of this server (host: the socket folder)."""
        who = urllib.parse.quote(user, safe="") + (f":{urllib.parse.quote(password, safe='')}" if password else "")
        query = urllib.parse.urlencode({"host": self.socket_dir, "port": str(self.port), **params})
        return f"postgresql://{who}@/{database}?{query}"

    def psql(self, sql: str, database: str = "postgres") -> str:
        done = subprocess.run(
            [os.path.join(self.bin, "psql"), "-X", "-q", "-v", "ON_ERROR_STOP=1", "-h", self.socket_dir,
             "-p", str(self.port), "-U", "postgres", "-d", database, "-At", "-c", sql],
            capture_output=True, text=True, timeout=60, env=outside_env())
        if done.returncode:
            raise RuntimeError(f"psql: {done.stderr.strip()}")
        return done.stdout

    def _run(self, *argv: str) -> None:
        prefix = []
        if self.owner is not None:
            user = pwd.getpwnam(self.owner)
            prefix = ["setpriv", f"--reuid={user.pw_uid}", f"--regid={user.pw_gid}", "--clear-groups"]
        done = subprocess.run([*prefix, *argv], capture_output=True, text=True, timeout=120, cwd=self.root,
                              env=outside_env())
        if done.returncode:
            raise RuntimeError(f"{os.path.basename(argv[0])} failed: {done.stderr.strip() or done.stdout.strip()}")

    def stop(self) -> None:
        try:
            self._run(os.path.join(self.bin, "pg_ctl"), "-D", os.path.join(self.root, "data"), "-m", "fast",
                      "-w", "stop")
        finally:
            shutil.rmtree(self.root, ignore_errors=True)


def start(*, durable: bool = False, owner: str = "nobody") -> Server:
    """A new server, started. ``durable``: fsync and synchronous commits on, as a real one
    runs (for benchmarks); the tests go without."""
    folder = binaries()
    if folder is None:
        raise FileNotFoundError("no PostgreSQL server binaries (initdb, pg_ctl): apt-get install postgresql")
    root = tempfile.mkdtemp(prefix="halvex-pg-")
    os.chmod(root, 0o755)  # the server's user must reach its folders inside
    server = Server(root, os.path.join(root, "socket"), folder, owner if os.geteuid() == 0 else None)
    data = os.path.join(root, "data")
    logs = os.path.join(root, "log")
    for path, mode in ((data, 0o700), (server.socket_dir, 0o755), (logs, 0o755)):
        os.mkdir(path, mode)
        if server.owner is not None:
            user = pwd.getpwnam(server.owner)
            os.chown(path, user.pw_uid, user.pw_gid)
    try:
        server._run(os.path.join(folder, "initdb"), "-D", data, "-U", "postgres", "-E", "UTF8", "--no-locale",
                    "--auth-local=trust", "--auth-host=reject", "--no-instructions")
        with open(os.path.join(data, "pg_hba.conf"), "w") as f:
            f.write(f"local all {PASSWORD_ROLE} scram-sha-256\nlocal all all trust\n")
        options = [f"-k {server.socket_dir}", "-c listen_addresses=''", "-c max_connections=60",
                   "-c shared_buffers=64MB"]
        if not durable:
            options += ["-c fsync=off", "-c synchronous_commit=off", "-c full_page_writes=off"]
        server._run(os.path.join(folder, "pg_ctl"), "-D", data, "-l", os.path.join(logs, "server.log"), "-w",
                    "-t", "120", "-o", " ".join(options), "start")
        server.psql(f"CREATE ROLE {PASSWORD_ROLE} LOGIN PASSWORD '{PASSWORD}'; "
                    f"GRANT CREATE ON DATABASE postgres TO {PASSWORD_ROLE}")
    except BaseException:
        try:
            server.stop()
        except RuntimeError:
            shutil.rmtree(root, ignore_errors=True)
        raise
    return server
