#!/usr/bin/env python3
"""Scratch PostgreSQL and Redis servers on loopback, for every test.

Run as a program, it takes one command a line on stdin:
  redis NAME [ARG...]  a new Redis server, the ARGs going to redis-server
  postgres NAME        a new PostgreSQL server
  cluster NAME         six Redis nodes, three masters with a replica each,
                       which are also servers NAME.0 to NAME.5
  kill NAME, restart NAME  ends the server at once / starts it on its port and data
and answers each on stdout: "ok PORT PID CONNECTION" after a start, "ok" after
a kill, "missing WHY" when the server's programs are not installed, "error WHY".
A server that finds its port taken starts again on another. When stdin ends
(also when the process that started it dies), on SIGTERM, SIGINT or SIGHUP,
it stops every server, waits until each has exited and removes their folders.
"""
import csv
import ctypes
import glob
import io
import os
import shlex
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
from contextlib import closing

HOST = "127.0.0.1"
BUSY = "Address already in use"
QUIET = dict(stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)


class Missing(RuntimeError):
    """The server's programs are not installed."""


def _bindable(port):
    with socket.socket() as s:
        try:
            s.bind((HOST, port))
            return s.getsockname()[1]
        except OSError:
            return 0


def _free_port(bus, taken):
    # A cluster node also listens on its bus port, 10000 up.
    while True:
        port = _bindable(0)
        ports = {port, port + 10000} if bus else {port}
        if not ports & taken and (not bus or (port <= 55535 and _bindable(port + 10000))):
            return port


def _accepts(port):
    with socket.socket() as s:
        return s.connect_ex((HOST, port)) == 0


def _wait(ready, what):
    deadline = time.monotonic() + 60
    while not ready():
        if time.monotonic() > deadline:
            raise RuntimeError("timed out waiting for " + what)
        time.sleep(0.02)


def _failed(log):
    # PostgreSQL says why it could not bind well before its last lines.
    try:
        with open(log, errors="replace") as f:
            lines = f.read().splitlines()
    except OSError:
        lines = ["no log"]
    return RuntimeError(" | ".join([x for x in lines if BUSY in x][:1] + lines[-3:]))


class Resp:
    """A minimal RESP2 client, on a port or a unix socket path."""

    def __init__(self, address):
        unix = isinstance(address, str)
        self._sock = socket.socket(socket.AF_UNIX if unix else socket.AF_INET)
        self._sock.settimeout(10)
        self._sock.connect(address if unix else (HOST, address))
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
        if kind == b"-":
            raise RuntimeError(body.decode())
        if kind == b"+":
            return body
        n = int(body)
        if kind == b":" or n < 0:
            return None if n < 0 else n
        return self._in.read(n + 2)[:-2] if kind == b"$" else [self._reply() for _ in range(n)]


class Redis:
    def __init__(self, folder, args, bus=False):
        if shutil.which("redis-server") is None:
            raise Missing("redis-server is not installed")
        self.dir, self.args, self.bus, self.proc = folder, args, bus, None
        self.sock, self.log = os.path.join(folder, "sock"), os.path.join(folder, "log")
        os.mkdir(folder)

    def start(self, port):
        # Its own unix socket tells our server from another on the same port.
        self.port, self.connection = port, "host:%s,port:%d,db:0" % (HOST, port)
        with open(self.log, "wb") as out:  # also for what it says before opening its log
            self.proc = subprocess.Popen(
                ["redis-server", "--port", str(port), "--bind", HOST, "--save", "", "--appendonly",
                 "no", "--dir", self.dir, "--unixsocket", self.sock, "--logfile", self.log] +
                self.args, stdin=subprocess.DEVNULL, stdout=out, stderr=out)
        self.pid = self.proc.pid
        _wait(self._ready, "redis-server on port %d" % port)

    def _ready(self):
        if self.proc.poll() is not None:
            raise _failed(self.log)
        try:
            with closing(Resp(self.sock)) as r:
                r.call("PING")
        except OSError:
            return False
        except RuntimeError as e:  # NOAUTH is an answer; LOADING is not ready yet
            return not str(e).startswith("LOADING")
        return True

    def kill(self):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()  # its sockets are closed once it is reaped


class Postgres:
    bus = False

    def __init__(self, folder):
        ctls = glob.glob("/usr/lib/postgresql/*/bin/pg_ctl")
        if not ctls:
            raise Missing("no server binaries under /usr/lib/postgresql")
        self.bin = os.path.dirname(max(ctls, key=lambda p: int(p.split("/")[-3])))
        self.dir, self.data = folder, os.path.join(folder, "data")
        self.log, self.port = os.path.join(folder, "log"), None
        os.mkdir(folder)
        if os.getuid() == 0:
            shutil.chown(folder, "postgres")
        done = self._run("initdb", "-D", self.data, "-A", "trust", "-U", "postgres")
        if done.returncode:
            raise RuntimeError("initdb failed: " + done.stdout.decode(errors="replace"))

    def _run(self, program, *args):
        # PostgreSQL refuses to run as root; its user must be able to enter the cwd.
        cmd = [os.path.join(self.bin, program)] + list(args)
        if os.getuid() == 0:
            cmd = ["runuser", "-u", "postgres", "--"] + cmd
        return subprocess.run(cmd, cwd=self.dir, timeout=120, **QUIET)

    def start(self, port):
        self.port = port
        self.connection = "host=%s port=%d user=postgres dbname=postgres" % (HOST, port)
        if os.path.exists(self.log):
            os.remove(self.log)  # a collision of an earlier try is no news
        # pg_ctl -w returns once the server listens, and the server exits when
        # it cannot bind its port: so a success means the port is ours.
        if self._run("pg_ctl", "-D", self.data, "-w", "-l", self.log, "-o",
                     "-c listen_addresses=%s -p %d -k %s -c fsync=off" % (HOST, port, self.dir),
                     "start").returncode:
            raise _failed(self.log)
        with open(os.path.join(self.data, "postmaster.pid")) as f:
            self.pid = int(f.readline())

    def kill(self):
        if os.path.exists(os.path.join(self.data, "postmaster.pid")):
            self._run("pg_ctl", "-D", self.data, "-m", "immediate", "stop")
            _wait(lambda: not _accepts(self.port), "port %d to close" % self.port)


def _start(server, taken=frozenset()):
    for _ in range(20):
        try:
            return server.start(_free_port(server.bus, taken))
        except RuntimeError as e:
            if BUSY not in str(e):
                raise
    raise RuntimeError("every port tried was taken")


def _cluster(servers, root, name):
    nodes, taken = [], set()
    for i in range(6):
        node = servers["%s.%d" % (name, i)] = Redis(
            os.path.join(root, "%s.%d" % (name, i)), ["--cluster-enabled", "yes",
                                                    "--cluster-node-timeout", "2000",
                                                    "--repl-diskless-sync-delay", "0"], bus=True)
        _start(node, taken)
        taken |= {node.port, node.port + 10000}
        nodes.append(node)
    seeds = ["%s:%d" % (HOST, n.port) for n in nodes]
    done = subprocess.run(["redis-cli", "--cluster", "create"] + seeds +
                          ["--cluster-replicas", "1", "--cluster-yes"], timeout=120, **QUIET)
    if done.returncode:
        raise RuntimeError("cluster create failed: " + done.stdout.decode(errors="replace"))

    def settled(node):
        with closing(Resp(node.sock)) as r:
            return b"cluster_state:ok" in r.call("CLUSTER", "INFO")

    # A replica that never synced cannot take over from its master, and
    # writes that wait for a replica would wait for it: wait for every link.
    def linked(node):
        with closing(Resp(node.sock)) as r:
            role = r.call("ROLE")
            return role[0] == b"master" or role[3] == b"connected"

    for n in nodes:
        _wait(lambda: settled(n) and linked(n), "cluster_state:ok and replicas in sync")
    return "%d %d %s" % (nodes[0].port, nodes[0].pid, ",".join(seeds))


def _command(servers, root, verb, name, *args):
    if verb in ("redis", "postgres", "cluster"):
        if name in servers or not name.replace("_", "").isalnum():
            raise ValueError("bad or used name %r" % name)
        if verb == "cluster":
            return _cluster(servers, root, name)
        folder = os.path.join(root, name)
        server = servers[name] = Redis(folder, list(args)) if verb == "redis" else Postgres(folder)
        _start(server)
    elif verb == "kill":
        return servers[name].kill() or ""
    elif verb == "restart":
        server = servers[name]
        server.start(server.port)
    else:
        raise ValueError("unknown command %r" % verb)
    return "%d %d %s" % (server.port, server.pid, server.connection)


def serve():
    try:
        os.setsid()  # a signal to the starter's process group does not cut cleanup short
    except OSError:
        pass
    # Adopt the orphaned PostgreSQL servers, so that we can wait for their end.
    ctypes.CDLL(None).prctl(36, 1, 0, 0, 0)  # PR_SET_CHILD_SUBREAPER
    ends = (signal.SIGTERM, signal.SIGINT, signal.SIGHUP)
    for s in ends:
        signal.signal(s, lambda *_: sys.exit(0))
    root, servers = tempfile.mkdtemp(prefix="tavrin-servers-"), {}
    os.chmod(root, 0o755)
    try:
        for line in sys.stdin:
            try:
                answer = "ok " + _command(servers, root, *shlex.split(line))
            except Missing as e:
                answer = "missing %s" % e
            except Exception as e:  # noqa: BLE001  (each failure is an answer)
                answer = "error %s: %s" % (type(e).__name__, e)
            print(" ".join(answer.split()), flush=True)
    finally:
        for s in ends:
            signal.signal(s, signal.SIG_IGN)
        for server in servers.values():
            try:
                server.kill()
            except Exception as e:  # noqa: BLE001
                print("launch_servers: %s" % e, file=sys.stderr)
        while True:
            try:
                os.waitpid(-1, 0)
            except ChildProcessError:
                break
        shutil.rmtree(root, ignore_errors=True)


class ScratchServer:
    """A server from a launcher of its own, which stops it when closed; it
    can also dump every value it holds. Kind "cluster" is a Redis Cluster
    (its kind then says "redis", the store it is)."""

    def __init__(self, kind, args=""):
        self.kind, self.cluster = "redis" if kind == "cluster" else kind, kind == "cluster"
        self._proc = subprocess.Popen([sys.executable, os.path.abspath(__file__)],
                                      stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        try:
            self._started(self._call("%s s %s" % (kind, args)))
        except BaseException:
            self.close()
            raise

    def _call(self, line):
        self._proc.stdin.write(line + "\n")
        self._proc.stdin.flush()
        answer = self._proc.stdout.readline() or "error the launcher ended"
        status, _, rest = answer.strip().partition(" ")
        if status != "ok":
            raise (Missing if status == "missing" else RuntimeError)(rest)
        return rest

    def _started(self, answer):
        port, pid, self.connection_string = answer.split(" ", 2)
        self.port, self.pid, self.ports = int(port), int(pid), [int(port)]
        if self.cluster:
            self.ports = [int(a.rpartition(":")[2]) for a in self.connection_string.split(",")]
            self.connection_string = "host:%s,port:%s,db:0,cluster:yes" % (HOST, port)

    def kill(self, node=None):
        """Kills the server, or node `node` (0 to 5, in the order of `ports`) of a cluster."""
        self._call("kill s" if node is None else "kill s.%d" % node)

    def start(self):
        """Starts the killed server again, on its port and data."""
        self._started(self._call("restart s"))

    def close(self):
        self._proc.communicate()  # closes its stdin: the launcher stops the server

    def dump(self):
        """Every key, table, column and value the server holds, as byte strings."""
        cells = []
        if self.kind == "postgres":
            def psql(sql):
                return list(csv.reader(io.StringIO(subprocess.run(
                    ["psql", "-X", "-v", "ON_ERROR_STOP=1", "--csv", "-d", self.connection_string,
                     "-c", sql], check=True, capture_output=True, timeout=60).stdout.decode())))
            for schema, table in psql("SELECT schemaname, tablename FROM pg_tables WHERE "
                                      "schemaname NOT IN ('pg_catalog', 'information_schema')")[1:]:
                cells.append(table.encode())
                for row in psql('SELECT * FROM "%s"."%s"' % (schema, table)):
                    # The first row holds the column names; bytea comes in hex.
                    cells += [bytes.fromhex(v[2:]) if v.startswith("\\x") else v.encode()
                              for v in row]
            return cells
        for port in self.ports:
            with closing(Resp(port)) as conn:
                if self.cluster and conn.call("ROLE")[0] != b"master":
                    continue  # a replica holds what its master does
                info = conn.call("INFO", "keyspace").decode().splitlines()
                for db in [int(line.split(":")[0][2:]) for line in info if line.startswith("db")]:
                    conn.call("SELECT", db)
                    for k in conn.call("KEYS", "*"):  # GET fails on a key of any other type
                        hashed = conn.call("TYPE", k) == b"hash"
                        cells += [k] + (conn.call("HGETALL", k) if hashed else
                                        [conn.call("GET", k)])
        return cells


if __name__ == "__main__":
    serve()
