"""Runs tessarin.exe from a private copy of the bundle under Wine with a
scenario, and reads back everything it left behind: the transcript, the
registry's proxy values, the configuration file, the core's log and the
processes still running."""
import json
import os
import re
import shutil
import subprocess
import tempfile
import time

INTERNET_SETTINGS = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings"
RUN_ONCE = r"HKCU\Software\Microsoft\Windows\CurrentVersion\RunOnce"
RESET_VALUE = "tessarin-proxy-reset"
PROXY_SERVER = "http=127.0.0.1:20808;https=127.0.0.1:20808;socks=127.0.0.1:20808"
CONFIG_NAME = "tessarin-sing-box.json"
CORE_LOG = "sing-box.log"


def windows_path(path):
    """The path as Wine's programs see it: C:\\ inside a prefix's drive_c, Z:\\ elsewhere."""
    path = os.path.abspath(path)
    inside = re.match(r"^(.*)/drive_c(/.*)?$", path)
    if inside and os.path.isdir(os.path.join(inside.group(1), "dosdevices")):
        return "C:" + (inside.group(2) or "/").replace("/", "\\")
    return "Z:" + path.replace("/", "\\")


def clean_environment():
    # Wine's WinINet honours these; nothing here may leave the machine.
    return {k: v for k, v in os.environ.items() if "proxy" not in k.lower()}


class Wine:
    def __init__(self, wine_run):
        self.wine_run = wine_run

    def run(self, *args, timeout=60, check=False):
        """The program's end, not its output's: a Wine helper it starts (the
        desktop's explorer.exe, once the last one went) inherits its output and
        would keep a pipe open for good (measured: a setup's 120 s)."""
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            process = subprocess.Popen([self.wine_run, *args], stdout=out, stderr=err,
                                       env=clean_environment(), stdin=subprocess.DEVNULL)
            try:
                code = process.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
                raise
            out.seek(0)
            err.seek(0)
            result = subprocess.CompletedProcess(
                [self.wine_run, *args], code, out.read().decode("utf-8", "replace"),
                err.read().decode("utf-8", "replace"))
        if check:
            result.check_returncode()
        return result

    def registry_values(self, key):
        """Name -> value of a key's own values (DWORDs as ints); {} when the key is
        absent. Read through an export, which is UTF-16: "reg query" prints in
        the console's code page and loses letters outside it."""
        unescape = lambda text: re.sub(r"\\(.)", r"\1", text)  # noqa: E731
        with tempfile.TemporaryDirectory() as scratch:
            path = os.path.join(scratch, "key.reg")
            if self.run("reg", "export", key, windows_path(path), "/y").returncode != 0:
                return {}
            with open(path, "rb") as f:
                lines = f.read().decode("utf-16").splitlines()
        values = {}
        sections = 0
        for line in lines:
            sections += line.startswith("[")
            found = re.match(r'^"((?:[^"\\]|\\.)*)"=(.*)$', line)
            if sections != 1 or not found:
                continue  # only the key itself, not its subkeys
            name, data = unescape(found.group(1)), found.group(2)
            if data.startswith("dword:"):
                values[name] = int(data[6:], 16)
            elif data.startswith('"'):
                values[name] = unescape(data[1:-1])
        return values

    def proxy_values(self):
        """The three per-user proxy values, None where absent."""
        found = self.registry_values(INTERNET_SETTINGS)
        return {name: found.get(name) for name in ("ProxyEnable", "ProxyServer", "ProxyOverride")}

    def wait_proxy_enable(self, wanted, timeout):
        """Seconds until ProxyEnable reads |wanted|, or None after |timeout|."""
        began = time.monotonic()
        while True:
            if self.proxy_values()["ProxyEnable"] == wanted:
                return time.monotonic() - began
            if time.monotonic() - began > timeout:
                return None
            time.sleep(0.05)

    def reset_command(self):
        """Our logon value's command, or None."""
        return self.registry_values(RUN_ONCE).get(RESET_VALUE)

    def set_proxy_values(self, enable, server=None, override=None):
        """One registry import (each Wine start costs seconds). The switch is
        written last: written first, it would show a moment of the old server
        switched on, which a running tessarin takes for its own values put
        back and switches off (measured: 1 run in 6 left a foreign proxy off)."""
        lines = ["REGEDIT4", "", "[HKEY_CURRENT_USER\\%s]" % INTERNET_SETTINGS[5:]]
        for name, text in (("ProxyServer", server), ("ProxyOverride", override)):
            if text is not None:
                lines.append('"%s"="%s"' % (name, text.replace("\\", "\\\\").replace('"', '\\"')))
        lines.append('"ProxyEnable"=dword:%08x' % enable)
        with tempfile.NamedTemporaryFile("w", suffix=".reg", delete=False) as f:
            f.write("\n".join(lines) + "\n")
        try:
            self.run("regedit", "/S", windows_path(f.name), check=True)
        finally:
            os.remove(f.name)


class App:
    """One private run directory: a copy of the bundle, or (bundle None) a
    directory where the program already is, such as an installation."""

    def __init__(self, wine, bundle, work, with_core=True, directory="app"):
        self.wine = wine
        self.dir = os.path.join(work, directory)
        if bundle is not None:
            shutil.rmtree(self.dir, ignore_errors=True)
            shutil.copytree(bundle, self.dir)
        if not with_core:
            os.remove(os.path.join(self.dir, "bin", "sing-box.exe"))
        self.scenario = os.path.join(work, "scenario.json")
        self.transcript = os.path.join(work, "transcript.jsonl")
        self.process = None

    @property
    def config_path(self):
        return os.path.join(self.dir, CONFIG_NAME)

    def prepare(self, steps):
        """The scenario written, the last transcript gone."""
        with open(self.scenario, "w") as f:
            json.dump({"steps": steps}, f)
        if os.path.exists(self.transcript):
            os.remove(self.transcript)

    def start(self, steps, extra_args=(), env=None, working_directory=None):
        """|working_directory|: started from there by its full path, as a
        shortcut without a start-in folder or a package manager's shim does."""
        self.prepare(steps)
        program = "tessarin.exe" if working_directory is None else os.path.join(self.dir, "tessarin.exe")
        # A file, not a pipe: what the program starts inherits its output, the
        # desktop's explorer.exe too when none runs, and that one lives on
        # while any other Wine program does (measured: a pipe then stayed
        # open after the program's end for as long as a test's helper ran).
        self.output_file = tempfile.TemporaryFile()
        self.process = subprocess.Popen(
            [self.wine.wine_run, program, "--scenario=" + windows_path(self.scenario),
             "--transcript=" + windows_path(self.transcript), *extra_args],
            cwd=working_directory or self.dir, env=dict(clean_environment(), **(env or {})),
            stdin=subprocess.DEVNULL, stdout=self.output_file, stderr=subprocess.STDOUT)
        return self

    def wait(self, timeout=180):
        """The program's exit code, once its process has ended."""
        try:
            self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            transcript = self.lines()
            raise AssertionError(
                "tessarin.exe in %s still runs %s s on; programs of ours still running: %s; "
                "its transcript ends with %s" % (self.dir, timeout, ours_running(),
                                                   transcript[-1:] if transcript else "nothing"))
        # What it started may still be ending (its core, its guard's last
        # pass): the next run shares the port, the registry and the log.
        deadline = time.monotonic() + 10
        while self.own_children() and time.monotonic() < deadline:
            time.sleep(0.05)
        if not self.output_file.closed:
            self.output_file.seek(0)
            self.output = self.output_file.read().decode("utf-8", "replace")
            self.output_file.close()
        return self.process.returncode

    def run(self, steps, extra_args=(), timeout=180, working_directory=None):
        self.start(steps, extra_args, working_directory=working_directory)
        return self.wait(timeout)

    def own_children(self):
        """Linux pids of this run directory's core and guard still alive."""
        directory = windows_path(self.dir).lower()
        return [pid for pid in processes_running(directory + "\\")
                if pid != self.process.pid]

    def lines(self):
        if not os.path.exists(self.transcript):
            return []
        with open(self.transcript, encoding="utf-8") as f:
            return [json.loads(line) for line in f if line.strip()]

    def replies(self):
        """Step index -> transcript line, for the steps that sent a message."""
        return {line["step"]: line for line in self.lines() if "step" in line}

    def wait_for_step(self, index, timeout=60):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if index in self.replies():
                return self.replies()[index]
            if self.process.poll() is not None:
                break
            time.sleep(0.1)
        raise AssertionError("step %d never answered; output:\n%s" % (index, self.lines()))

    def config_bytes(self):
        with open(self.config_path, "rb") as f:
            return f.read()

    def core_log(self):
        path = os.path.join(self.dir, CORE_LOG)
        return open(path, encoding="utf-8").read().splitlines() if os.path.exists(path) else []

    def running_cores(self):
        """Linux pids of this run directory's cores still alive."""
        return processes_running(windows_path(os.path.join(self.dir, "bin", "sing-box.exe")))

    def wait_cores_gone(self, timeout=10):
        deadline = time.monotonic() + timeout
        while self.running_cores() and time.monotonic() < deadline:
            time.sleep(0.1)
        return not self.running_cores()


def ours_running():
    """What a test that waited too long was waiting behind."""
    out = subprocess.run(["ps", "-eo", "pid=,args="], capture_output=True, text=True).stdout
    return [line.strip()[:160] for line in out.splitlines()
            if re.search(r"tessarin|sing-box", line, re.I) and "ps -eo" not in line
            and "scenarios.py" not in line]


def processes_running(name):
    """Linux pids of the Windows programs called |name| still alive."""
    out = subprocess.run(["ps", "-eo", "pid=,args="], capture_output=True, text=True).stdout
    return [int(line.split(None, 1)[0]) for line in out.splitlines()
            if name.lower() in line.lower() and "ps -eo" not in line]


def node_request(host, port, mode="smart", uuid="0f0e0d0c-0b0a-4998-8776-655443322110", **extra):
    config = {"host": host, "port": port, "uuid": uuid, "sni": "", "path": "/ws",
              "fp": "chrome", "id": "node-1", "regionCode": "jp"}
    config.update(extra)
    config = {k: v for k, v in config.items() if v is not None}
    return {"proxyMode": mode, "connectionConfig": config, "nodeId": "node-1"}


def reply_of(line):
    return line["reply"]


def success(line):
    reply = line["reply"]
    assert isinstance(reply, dict) and "success" in reply, "expected success, got %r" % (reply,)
    return reply["success"]


def error(line):
    reply = line["reply"]
    assert isinstance(reply, dict) and "error" in reply, "expected an error, got %r" % (reply,)
    return reply["error"]


def session_pattern():
    return re.compile(r"^windows-singbox-\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$")
