#!/usr/bin/python3
"""One demo session against a local test node; prints it readably and saves
a screenshot of the window while the tunnel is up.

usage: demo_session.py WINE_RUN WINE_PREFIX BUNDLE WORK DISPLAY
"""
import os
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from harness import App, Wine, node_request  # noqa: E402
from scenarios import prepare_node  # noqa: E402


def describe(line):
    reply = line["reply"]
    if reply is None:
        return "no reply"
    if reply == "notImplemented":
        return "not implemented"
    if "error" in reply:
        e = reply["error"]
        return "ERROR %s: %s" % (e["code"], e["message"])
    value = reply["success"]
    if "stage" in value:
        text = "stage=%s  %s" % (value["stage"], value["message"])
        if value.get("sessionId"):
            text += "\n      session %s" % value["sessionId"]
        return text
    return "ready=%s  %s" % (value.get("ready"), value.get("message"))


def main():
    wine_run, prefix, bundle, work, display = sys.argv[1:6]
    wine_run, prefix, bundle, work = (os.path.abspath(p) for p in (wine_run, prefix, bundle, work))
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    wine = Wine(wine_run)
    node = prepare_node(wine, prefix, work)
    port = node.server_address[1]
    print("== test node: https://www.cloudflare.com/cdn-cgi/trace served on 127.0.0.1:%d" % port)

    app = App(wine, bundle, os.path.join(work, "session"))
    steps = [{"call": "prepare"},
             {"call": "connect", "args": node_request("127.0.0.1", port, mode="smart",
                                                      nodeName="Local test node")},
             {"call": "status"}, {"wait_ms": 2500}, {"call": "disconnect"}, {"wait_ms": 500},
             {"close": True}]
    os.makedirs(os.path.dirname(app.scenario), exist_ok=True)
    began = time.monotonic()
    app.start(steps)
    app.wait_for_step(2)
    time.sleep(1.0)  # the window repaints with the connected status
    shot = os.path.join(work, "tessarin-connected.png")
    subprocess.run(["import", "-display", display, "-window", "root", "-crop", "450x880+0+0",
                    "+repage", shot], check=True)
    code = app.wait()
    node.shutdown()

    print("== session (%.1f s, exit code %d)" % (time.monotonic() - began, code))
    for line in app.lines():
        if "step" not in line:
            continue
        proxy = line["proxy"]
        print("-> %s" % line["call"])
        print("   <- %s" % describe(line))
        shown = {name: "(not set)" if value is None else value for name, value in proxy.items()}
        print("      system proxy: ProxyEnable=%s ProxyServer=%s ProxyOverride=%s"
              % (shown["ProxyEnable"], shown["ProxyServer"], shown["ProxyOverride"]))
    requests = [entry.split("] ", 1)[1] for entry in app.core_log() if "request " in entry]
    print("== the core carried: %s" % ("; ".join(requests) or "nothing"))
    print("== screenshot while connected: %s" % shot)
    return code


if __name__ == "__main__":
    sys.exit(main())
