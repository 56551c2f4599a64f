"""PostgreSQL and Redis servers of a test's own, on free loopback ports.

Unlike the shared servers of scripts/services.sh, a test may kill one of these
in the middle of a session and start it again on the same port and data
directory: Redis keeps an append-only file synced on every write, PostgreSQL
its WAL, so every acknowledged write survives the kill. Each server can also
dump every value it holds, byte for byte, for checks on what reached it.

Fixtures: `scratch_postgres`, `scratch_redis` (one fresh server per test);
`scratch_server` gives each in turn, `scratch_store` also an SQLite file.
Missing binaries skip the test, loudly, or fail it under CI=true.
"""
import csv
import glob
import io
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time

import pytest

import tavrindb_lite as tdb


def _require(what, why):
    if os.environ.get("CI") == "true":
        pytest.fail("%s is needed although CI=true: %s" % (what, why))
    pytest.skip("SKIPPED LOUDLY: no scratch %s: %s" % (what, why))


def _free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _accepts(port):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=1).close()
        return True
    except OSError:
        return False


def _wait_port(port, open_, tries=200):
    # Wait on the port, not the process: init may reap a dead server late.
    for _ in range(tries):
        if _accepts(port) == open_:
            return
        time.sleep(0.05)
    raise RuntimeError("port %d still %s" % (port, "closed" if open_ else "open"))


class _Resp:
    """A minimal RESP2 client: enough for the dump and for readiness."""

    def __init__(self, port):
        self._sock = socket.create_connection(("127.0.0.1", port), timeout=10)
        self._in = self._sock.makefile("rb")

    def close(self):
        self._in.close()
        self._sock.close()

    def call(self, *args):
        out = [b"*%d\r\n" % len(args)]
        for a in args:
            a = a if isinstance(a, bytes) else str(a).encode()
            out.append(b"$%d\r\n%s\r\n" % (len(a), a))
        self._sock.sendall(b"".join(out))
        return self._reply()

    def _reply(self):
        line = self._in.readline()
        if not line.endswith(b"\r\n"):
            raise ConnectionError("truncated reply from redis")
        kind, body = line[:1], line[1:-2]
        if kind == b"+":
            return body
        if kind == b"-":
            raise RuntimeError(body.decode())
        if kind == b":":
            return int(body)
        if kind == b"$":
            n = int(body)
            if n < 0:
                return None
            data = self._in.read(n + 2)
            return data[:-2]
        if kind == b"*":
            n = int(body)
            return None if n < 0 else [self._reply() for _ in range(n)]
        raise RuntimeError("unexpected reply %r" % line)


class ScratchRedis:
    kind = "redis"

    def __init__(self, root):
        self.dir = os.path.join(root, "redis")
        os.mkdir(self.dir)
        self.port = _free_port()
        self.connection_string = "host:127.0.0.1,port:%d,db:0" % self.port

    def start(self):
        subprocess.run(
            ["redis-server", "--port", str(self.port), "--bind", "127.0.0.1",
             "--daemonize", "yes", "--save", "", "--appendonly", "yes",
             "--appendfsync", "always", "--dir", self.dir,
             "--pidfile", os.path.join(self.dir, "pid"),
             "--logfile", os.path.join(self.dir, "log")],
            check=True, capture_output=True, timeout=30)
        _wait_port(self.port, True)
        # Ready once the append-only file is loaded.
        for _ in range(200):
            conn = _Resp(self.port)
            try:
                if conn.call("PING") == b"PONG":
                    return
            except RuntimeError:  # LOADING
                pass
            finally:
                conn.close()
            time.sleep(0.05)
        raise RuntimeError("redis on port %d never answered" % self.port)

    def kill(self):
        """Ends the server at once (SIGKILL): its clients' sockets close."""
        with open(os.path.join(self.dir, "pid")) as f:
            os.kill(int(f.read()), signal.SIGKILL)
        _wait_port(self.port, False)

    def stop(self):
        if _accepts(self.port):
            self.kill()

    def db_configs(self, prefix):
        return [tdb.DBConfig("redis", prefix + s, self.connection_string)
                for s in ("_index", "_config", "_items")]

    def dump(self):
        """Every key, field and value of every database, as byte strings."""
        conn = _Resp(self.port)
        try:
            cells = []
            info = conn.call("INFO", "keyspace").decode()
            dbs = [int(line.split(":")[0][2:]) for line in info.splitlines()
                   if line.startswith("db")]
            for db in dbs:
                conn.call("SELECT", db)
                cursor = b"0"
                while True:
                    cursor, keys = conn.call("SCAN", cursor, "COUNT", 1000)
                    for k in keys:
                        cells.append(k)
                        kind = conn.call("TYPE", k)
                        if kind == b"hash":
                            cells.extend(conn.call("HGETALL", k))
                        elif kind == b"string":
                            cells.append(conn.call("GET", k))
                        else:
                            raise AssertionError("unexpected %r key %r" % (kind, k))
                    if cursor == b"0":
                        break
            return cells
        finally:
            conn.close()


class ScratchPostgres:
    kind = "postgres"

    def __init__(self, root, bin_dir):
        self.root = root
        self.bin = bin_dir
        self.data = os.path.join(root, "pg")
        self.port = _free_port()
        self.conninfo = "host=127.0.0.1 port=%d user=postgres dbname=postgres" % self.port
        os.mkdir(self.data)
        if os.getuid() == 0:
            shutil.chown(root, "postgres")
            shutil.chown(self.data, "postgres")
        self._as_postgres([os.path.join(bin_dir, "initdb"), "-D", self.data, "-A", "trust",
                           "-U", "postgres"])

    def _as_postgres(self, cmd):
        # The server refuses to run as root; run it from a folder its user may enter.
        if os.getuid() == 0:
            cmd = ["runuser", "-u", "postgres", "--"] + cmd
        subprocess.run(cmd, check=True, capture_output=True, timeout=60, cwd=self.root)

    def start(self):
        self._as_postgres([os.path.join(self.bin, "pg_ctl"), "-D", self.data, "-w",
                           "-l", os.path.join(self.root, "pg.log"), "-o",
                           "-c listen_addresses=127.0.0.1 -p %d -k %s -c fsync=off"
                           % (self.port, self.root), "start"])
        _wait_port(self.port, True)

    def kill(self):
        """Immediate shutdown: every backend exits and its socket closes."""
        self._as_postgres([os.path.join(self.bin, "pg_ctl"), "-D", self.data, "-m",
                           "immediate", "stop"])
        _wait_port(self.port, False)

    def stop(self):
        if os.path.exists(os.path.join(self.data, "postmaster.pid")):
            self.kill()

    def db_configs(self, prefix):
        return [tdb.DBConfig("postgres", prefix + s, self.conninfo)
                for s in ("_index", "_config", "_items")]

    def psql(self, sql):
        done = subprocess.run(["psql", "-X", "-v", "ON_ERROR_STOP=1", "--csv", "-d", self.conninfo,
                               "-c", sql], check=True, capture_output=True, timeout=60)
        return list(csv.reader(io.StringIO(done.stdout.decode())))

    def dump(self):
        """Every table name, column name and value outside the catalogues, as
        byte strings (bytea values decoded from their hex form)."""
        cells = []
        tables = self.psql("SELECT schemaname, tablename FROM pg_tables WHERE schemaname "
                           "NOT IN ('pg_catalog', 'information_schema');")[1:]
        for schema, table in tables:
            cells.append(table.encode())
            rows = self.psql('SELECT * FROM "%s"."%s";' % (schema, table))
            for row in rows:  # the first row holds the column names
                for value in row:
                    if value.startswith("\\x"):
                        cells.append(bytes.fromhex(value[2:]))
                    else:
                        cells.append(value.encode())
        return cells


class ScratchSqlite:
    """An SQLite database file in a directory of its own, dumped the same way
    (the file stands in for a server: nothing to start or stop)."""
    kind = "sqlite"

    def __init__(self, root):
        self.connection_string = os.path.join(root, "store.sqlite")

    def start(self):
        pass

    def stop(self):
        pass

    def db_configs(self, prefix):
        return [tdb.DBConfig("sqlite", prefix + s, self.connection_string)
                for s in ("_index", "_config", "_items")]

    def dump(self):
        """Every value of every table, as byte strings (numbers as text)."""
        import sqlite3
        db = sqlite3.connect(self.connection_string)
        try:
            cells = []
            tables = [t for (t,) in db.execute("SELECT name FROM sqlite_master WHERE type = 'table'")]
            for t in tables:
                for row in db.execute('SELECT * FROM "%s"' % t.replace('"', '""')):
                    cells += [v if isinstance(v, bytes) else str(v).encode() for v in row]
            return cells
        finally:
            db.close()


def _make(kind):
    root = tempfile.mkdtemp(prefix="tavrin-scratch-")
    os.chmod(root, 0o755)
    try:
        if kind == "redis":
            server = ScratchRedis(root)
        elif kind == "sqlite":
            server = ScratchSqlite(root)
        else:
            bins = sorted(glob.glob("/usr/lib/postgresql/*/bin"),
                          key=lambda p: int(p.split("/")[-2]))
            server = ScratchPostgres(root, bins[-1])
        server.start()
    except BaseException:
        shutil.rmtree(root, ignore_errors=True)
        raise
    return server, root


def _scratch(kind):
    if kind == "redis" and shutil.which("redis-server") is None:
        _require("Redis", "redis-server is not installed")
    if kind == "postgres":
        if not glob.glob("/usr/lib/postgresql/*/bin/pg_ctl"):
            _require("PostgreSQL", "no server binaries under /usr/lib/postgresql")
        if shutil.which("psql") is None:
            _require("PostgreSQL", "the psql client is not installed")
    server, root = _make(kind)
    try:
        yield server
    finally:
        server.stop()
        shutil.rmtree(root, ignore_errors=True)


@pytest.fixture
def scratch_redis():
    yield from _scratch("redis")


@pytest.fixture
def scratch_postgres():
    yield from _scratch("postgres")


@pytest.fixture(params=["postgres", "redis"])
def scratch_server(request):
    """One fresh server of each kind in turn."""
    yield from _scratch(request.param)


@pytest.fixture(params=["postgres", "redis", "sqlite"])
def scratch_store(request):
    """One fresh server of each kind in turn, then an SQLite file."""
    yield from _scratch(request.param)
