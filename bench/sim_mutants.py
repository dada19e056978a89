#!/usr/bin/python3
"""How strong the bridge's simulation is: deliberate faults put into the
bridge one at a time, the simulation rebuilt and run exactly as CI runs it,
and `killed K of N` at the end. A fault the simulation misses is a hole in
its world or its invariants.

usage: bench/sim_mutants.py [--hunt N] [NAME ...]   (default: every fault below)

--hunt N runs N schedules (no kept seeds) instead of CI's run, to find the
seeds that kill a fault CI's run misses: a seed worth keeping goes into the
simulation's kept seeds.

It works on a copy of the tracked sources in build/mutants/ (the tree itself
is never touched) and needs only the native toolchain. Each fault is one
exact text replacement that must match once. Add every fault a review or a
check finds here, then fix it.
"""
import os
import re
import shutil
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WORK = os.path.join(ROOT, "build", "mutants")
SRC = os.path.join(WORK, "src")
BUILD = os.path.join(WORK, "build")

# (name, file, text, replacement)
MUTANTS = [
    ("core re-check after the switch-on removed", "tunnel/connect_sequence.cc",
     "  if (!IsCoreAlive(*ports_.processes, core)) {\n    Tell(",
     "  if (false) {\n    Tell("),
    ("core re-check before the switch-on removed", "tunnel/connect_sequence.cc",
     "  if (!IsCoreAlive(*ports_.processes, core)) {\n    state_ = Idle{};\n    FailEndedCore(",
     "  if (false) {\n    state_ = Idle{};\n    FailEndedCore("),
    ("a guard lost before the switch-on ignored", "tunnel/proxy_owner.cc",
     "  if (guard_armed && guard_->Lost()) {\n",
     "  if ((static_cast<void>(guard_armed), false)) {\n"),
    ("the job's re-arm of a guard not watching removed", "tunnel/core_job.cc",
     "if (ports.guard != nullptr && !signal.Cancelled() && !ports.guard->Watching()) {",
     "if (false) {"),
    ("the read-back after the switch-on removed", "tunnel/proxy_owner.cc",
     "  if (!ours && known) {", "  if (!ours && known && false) {"),
    ("no re-arm after a failed switch-off with no tunnel", "tunnel/proxy_owner.cc",
     "      // now, and the key stays watched for values put back meanwhile.\n      guard_->Rearm();\n",
     "      // now, and the key stays watched for values put back meanwhile.\n"),
    ("a cancelled connect's core not ended at teardown", "tunnel/tunnel_bridge.cc",
     "      ports_.processes->Terminate(job.job->coreProcessId, 0);\n", ""),
    ("a takeover while connected ignored", "tunnel/proxy_owner.cc",
     "  if (ours == !on->takenOver) return;", "  if (ours || !ours) return;"),
    ("a dead core ignored", "tunnel/tunnel_bridge.cc",
     "  if (up == nullptr || process_id != up->tunnel.core) return;",
     "  static_cast<void>(up);\n  return;"),
    ("no switch-off at a rollback", "tunnel/tunnel_bridge.cc",
     '  flutter::RunAtBoundary("Exception rolling back: ",\n'
     '                         [&] { Tell([](ProxyOwner& owner) { owner.SwitchOff(); }); });\n', ""),
    # Found by the simulation since, and fixed.
    ("the key unwatched while the connections are given back", "tunnel/proxy_owner.cc",
     "      guard_->Rearm();\n      ports_.proxy_settings->WatchChanges(true);\n",
     "      guard_->Rearm();\n"),
    ("values put back during a job only switched off after it", "tunnel/proxy_owner.cc",
     "  SwitchOff();\n}\n\nvoid ProxyOwner::Recheck",
     "  if (jobsArming_ == 0) SwitchOff();\n}\n\nvoid ProxyOwner::Recheck"),
    ("a failed switch-off not tried again while a job runs", "tunnel/proxy_owner.cc",
     "  const bool back = std::holds_alternative<Back>(state_);\n",
     "  if (jobsArming_ > 0) {\n    RetryAfter(1000);\n    return;\n  }\n"
     "  const bool back = std::holds_alternative<Back>(state_);\n"),
    ("an unreadable key counted as none of ours", "tunnel/proxy_owner.cc",
     "    if (!known && retryAfter_) {\n      if (std::holds_alternative<Off>",
     "    if (false) {\n      if (std::holds_alternative<Off>"),
    ("values found back after a switch-off left unguarded", "tunnel/proxy_owner.cc",
     "  if (known && !guard_->Watching()) guard_->Rearm();\n", ""),
    ("a job's end never releases the guard", "tunnel/proxy_owner.cc",
     "(jobs > 0 && !jobsArming_.compare_exchange_weak(jobs, jobs - 1)) {\n  }\n  Settle();\n",
     "(jobs > 0 && !jobsArming_.compare_exchange_weak(jobs, jobs - 1)) {\n  }\n"),
    ("a job's end releases a guard our values still need", "tunnel/proxy_owner.cc",
     "(jobs > 0 && !jobsArming_.compare_exchange_weak(jobs, jobs - 1)) {\n  }\n  Settle();\n",
     "(jobs > 0 && !jobsArming_.compare_exchange_weak(jobs, jobs - 1)) {\n  }\n"
     "  guard_->Release(resetKept_);\n"),
    ("a still-on switch-off at the program's end left to a re-arm's thread",
     "tunnel/proxy_owner.cc",
     "  if (!SwitchOff() || std::holds_alternative<Back>(state_)) {",
     "  if (SwitchOff() && std::holds_alternative<Back>(state_)) {"),
    ("a switch-on that missed a connection never tried again", "tunnel/system_proxy.cc",
     "if (!came && (done_ != asked_ || doneWorked_)) return false;", "if (!came) return false;"),
    ("a VPN that connects while up not given ours", "tunnel/system_proxy.cc",
     "if (!came && (done_ != asked_ || doneWorked_)) return false;",
     "if (static_cast<void>(came), done_ != asked_ || doneWorked_) return false;"),
    ("a VPN that connects during a switch-on's run missed", "tunnel/system_proxy.cc",
     "if (!came && (done_ != asked_ || doneWorked_)) return false;",
     "if (done_ != asked_ || (!came && doneWorked_)) return false;"),
    ("a guard beside a running host writes over what it gave back", "tunnel/system_proxy.cc",
     "        if (std::find(now.begin(), now.end(), connection) == now.end()) {\n"
     "          // (Still ours with nothing kept to read: not done, tried again.)\n"
     "          if (!settings.ReadConnectionProxy(connection, &own) || IsOurs(own)) all = false;\n"
     "          continue;\n        }\n", ""),
    ("a throw after a switch-on's write skips what it knows", "tunnel/system_proxy.cc",
     "    if (wrote) {\n      settings.NotifyInternetOption(kInternetOptionSettingsChanged);\n"
     "      settings.NotifyInternetOption(kInternetOptionRefresh);\n    }\n  } catch (...) {\n"
     "    std::lock_guard<std::mutex> hold(lock_);\n    onRunning_ = false;\n"
     "    mayBeOurs_ |= ours;  // how far it came is not known\n    throw;\n  }\n",
     "  } catch (...) {\n    std::lock_guard<std::mutex> hold(lock_);\n    onRunning_ = false;\n"
     "    mayBeOurs_ |= ours;  // how far it came is not known\n    throw;\n  }\n"
     "  if (wrote) {\n    settings.NotifyInternetOption(kInternetOptionSettingsChanged);\n"
     "    settings.NotifyInternetOption(kInternetOptionRefresh);\n  }\n"),
    ("an unreadable key while connected never looked at again", "tunnel/proxy_owner.cc",
     "    if (on->unread) Recheck();", "    if (on->unread && false) Recheck();"),
    ("a probe with no thread for its attempts never stops at its budget",
     "tunnel/connectivity_probe.cc",
     "    if (system.SteadyMs() - first_began >= budget_ms) {",
     "    if (system.SteadyMs() - first_began >= budget_ms && false) {"),
    ("values put back while the window went never read at the end", "tunnel/proxy_owner.cc",
     "if (std::holds_alternative<Off>(state_) && OurValuesOn(&known) == false && known) {",
     "if (std::holds_alternative<Off>(state_) && (static_cast<void>(known), true)) {"),
    ("an unreadable key at the close counted as none of ours", "tunnel/proxy_owner.cc",
     "if (OffPending() || OurValuesOn(&known) || !known) SwitchOff();",
     "if (OffPending() || OurValuesOn(&known)) SwitchOff();"),
    ("a guard lost while up left unwatched by a failed switch-off", "tunnel/proxy_owner.cc",
     "    } else if (!guard_->Watching()) {\n", "    } else if (false) {\n"),
    ("values back again after a switch-off left to a long back-off", "tunnel/proxy_owner.cc",
     "  RetryAfter(was_back ? kBackAgainRetryMs : 0);", "  if (!was_back) RetryAfter(0);"),
    # The heal.
    ("a heal leaves the proxy on while no core of ours listens", "tunnel/proxy_owner.cc",
     "  if (quick && !TakenOver() && !Unread()) return true;\n  SwitchOff(true);\n",
     "  return (static_cast<void>(quick), true);\n"),
    ("a check that finds no traffic leaves the core", "tunnel/tunnel_heal.cc",
     '  Heal(alive ? "the check found no traffic through the core" : "the core exited",',
     '  if (!alive) Heal("the core exited",'),
    ("a healed core switched on with no look at it", "tunnel/tunnel_heal.cc",
     "  if (!IsCoreAlive(*ports_.processes, core)) {\n    done.tunnel =",
     "  if (false) {\n    done.tunnel ="),
    ("a heal's kept core left running when the heal ends the tunnel", "tunnel/tunnel_heal.cc",
     "  if (core != 0) EndCoreThenAnswer(core, StopReply::kIdle, nullptr);\n  WriteLog(",
     "  static_cast<void>(core);\n  WriteLog("),
    ("heals that keep failing are never bounded", "tunnel/tunnel_heal.cc",
     "  if (failed >= kMostFailedHeals) {\n    WriteLog(", "  if (failed >= 1000) {\n    WriteLog("),
    ("a heal takes the system proxy back from another program", "tunnel/tunnel_heal.cc",
     ': view.takenOver ? "; another program has the system proxy"\n', ""),
    ("a heal takes back a proxy another program set meanwhile", "tunnel/proxy_owner.cc",
     "  if (!read || !ours || TakenOver() ||", "  if (!read || (enable == 1 && !ours) || TakenOver() ||"),
    ("a heal switches on over a key it could not read", "tunnel/proxy_owner.cc",
     "  if (!read || !ours || TakenOver() ||",
     "  if ((static_cast<void>(read), false) || !ours || TakenOver() ||"),
    # Found by a cold review of the message loop's watch: a notice lost with
    # its watch (or still on its way) at a heal or a stop.
    ("a heal reads no values before it goes", "tunnel/proxy_owner.cc",
     "  try {\n    Recheck();\n  } catch (...) {\n    quick = false;\n  }\n",
     "  try {\n  } catch (...) {\n    quick = false;\n  }\n"),
    ("a takeover on its way at a stop drops the logon reset", "tunnel/proxy_owner.cc",
     "  if (not_ours && tunnel && !main_was_off) taken = true;\n", ""),
    ("our own switch-off read back as a takeover", "tunnel/proxy_owner.cc",
     "  if (not_ours && tunnel && !main_was_off) taken = true;",
     "  if (not_ours && tunnel) taken = true;"),
    ("a failed connect drops the logon reset a takeover kept", "tunnel/proxy_owner.cc",
     "  if (taken) {\n    resetKept_ = true;", "  if (taken || true) {\n    resetKept_ = taken;"),
    ("a tunnel's switch-off tried again forgets it was a tunnel's", "tunnel/proxy_owner.cc",
     "tunnel = tunnel || (pending != nullptr && pending->tunnel);",
     "tunnel = tunnel || (pending != nullptr && pending->tunnel && false);"),
    ("a resume during a job never looked at after it", "tunnel/tunnel_bridge.cc",
     "  if (look_again) WorldChanged(", "  if (false) WorldChanged("),
    # Found once another program could put ours back the moment they went.
    ("values put back as the program ends left with no guard", "tunnel/proxy_owner.cc",
     "  if (!SwitchOff() || std::holds_alternative<Back>(state_)) {",
     "  if (!SwitchOff()) {"),
    ("values put back as a teardown goes left with no guard", "tunnel/proxy_owner.cc",
     "  if (back == nullptr || (back->guarded && guard_->Watching())) return;",
     "  return;"),
    ("values found off after a switch-off still taken as back", "tunnel/proxy_owner.cc",
     "    state_ = Off{taken && tunnel};",
     "    state_ = was_back ? State(Back{}) : State(Off{taken && tunnel});"),
    ("a clean end leaves the guard to an unclean end's work", "tunnel/tunnel_bridge.cc",
     "  if (active()) return;  // (the close stopped it; a tunnel is never left here)",
     "  return;"),
    # A heal fit for a laptop: the network, sleep, the user's call first.
    ("a heal after a resume counts against the tunnel", "tunnel/tunnel_heal.cc",
     '"the core exited", HealRow::kAfresh);', '"the core exited", HealRow::kFollows);'),
    ("a connect waits behind a heal", "tunnel/tunnel_bridge.cc",
     '(method == "connect" && UsableConnect(call));', '(method == "connect" && false);'),
    ("a status waits behind a check or a heal", "tunnel/tunnel_bridge.cc",
     "(checked_or_healed && waiting_.empty() && !stops_it)", "false"),
    ("a check with no network heals anyway", "tunnel/tunnel_heal.cc",
     "  if (alive && job.noNetwork) {", "  if (false) {"),
    ("a heal with no network counts as a failed one", "tunnel/tunnel_heal.cc",
     "  if (job.outcome == Outcome::kProbeFailed && job.noNetwork) {", "  if (false) {"),
    ("a quick restart that takes long keeps our values on", "tunnel/tunnel_bridge.cc",
     "  if (now < heal->proxyOnUntil) {", "  if (true) {"),
    # (Retired: "a teardown leaves a quick restart's values on". The close's
    # step switches off whatever the owner holds on, a tunnel's or not.)
    ("a core that ends while the network is down leaves our values on", "tunnel/tunnel_bridge.cc",
     "    offline->tunnel.core = 0;\n", "    return;\n"),
    # The owner on a thread of its own.
    ("the owner's steps run on the window's thread", "tunnel/owner_thread.cc",
     "  if (shared->worker->StartOwner([shared] { Loop(shared); })) return true;\n", ""),
    ("a disconnect answered before the owner switched off", "tunnel/tunnel_bridge.cc",
     "    owner_.Post([self, ask](ProxyOwner&, std::function<void(OwnerThread::Answer)>& answer) {\n"
     "      answer([self, ask] { self->Answered(ask); });\n    });\n",
     "    self->Answered(ask);\n"),
    ("a step that throws is never looked at again", "tunnel/owner_thread.cc",
     '    flutter::RunAtBoundary("Exception in the proxy owner: ", [&] { shared.owner.StepFailed(); });\n',
     ""),
    ("a job that arms the guard never told to the owner", "tunnel/tunnel_bridge.cc",
     "  if (job->connect) owner_.JobBegins();\n", ""),
    ("an interrupted switch-off judged again as a takeover", "tunnel/proxy_owner.cc",
     "  next.mainOff = next.mainOff || main_off;", "  next.mainOff = next.mainOff;"),
]


def run(command, **kwargs):
    return subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                          **kwargs)


def ci_arguments():
    """The simulation's arguments as CI's test runs it."""
    text = open(os.path.join(ROOT, "tests", "CMakeLists.txt")).read()
    found = re.search(r"NAME sim\.bridge_simulation COMMAND bridge_simulation ([^)]*)\)", text)
    if not found:
        sys.exit("sim_mutants: the simulation's test is not in tests/CMakeLists.txt")
    return found.group(1).split()


def fresh_copy():
    files = run(["git", "ls-files"], cwd=ROOT).stdout.split()
    if os.path.isdir(SRC):
        shutil.rmtree(SRC)
    for name in files:
        target = os.path.join(SRC, name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        # What is in the tree now, uncommitted changes included; with a new
        # time, so that no object an earlier run built (from a fault, say)
        # passes for up to date.
        source = os.path.join(ROOT, name)
        if os.path.exists(source):
            shutil.copyfile(source, target)


def build():
    if not os.path.exists(os.path.join(BUILD, "build.ninja")):
        configured = run(["cmake", "-S", SRC, "-B", BUILD, "-G", "Ninja",
                          "-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DCMAKE_CXX_COMPILER=g++",
                          "-DCMAKE_C_COMPILER=gcc"])
        if configured.returncode != 0:
            print(configured.stdout[-3000:])
            sys.exit("sim_mutants: configure failed")
    return run(["cmake", "--build", BUILD, "--target", "bridge_simulation"])


def simulate(arguments):
    began = time.monotonic()
    done = run([os.path.join(BUILD, "tests", "bridge_simulation")] + arguments)
    lines = done.stdout.strip().splitlines()
    failed = [line for line in lines if line.startswith("seed ") and " failed: " in line]
    return done.returncode, lines[-1] if lines else "", "\n       ".join(failed[:5]), \
        time.monotonic() - began


def main():
    names = sys.argv[1:]
    arguments = ci_arguments()
    if names[:1] == ["--hunt"]:
        arguments = ["--kept", "0", "--schedules", names[1], "--seconds", "600"]
        names = names[2:]
    chosen = [m for m in MUTANTS if not names or m[0] in names]
    fresh_copy()
    built = build()
    if built.returncode != 0:
        print(built.stdout[-3000:])
        sys.exit("sim_mutants: the unchanged sources do not build")
    code, summary, first, _ = simulate(arguments)
    print(f"unchanged: {summary}")
    if code != 0:
        sys.exit(f"sim_mutants: the simulation fails without any fault ({first})")
    killed = 0
    for name, path, text, replacement in chosen:
        source = os.path.join(SRC, path)
        original = open(source).read()
        if original.count(text) != 1:
            print(f"?? {name}: its text is found {original.count(text)} times in {path}")
            continue
        with open(source, "w") as out:
            out.write(original.replace(text, replacement))
        try:
            built = build()
            if built.returncode != 0:
                print(f"?? {name}: does not build")
                print(built.stdout[-1500:])
                continue
            code, summary, first, spent = simulate(arguments)
        finally:
            with open(source, "w") as out:
                out.write(original)
        verdict = "killed" if code != 0 else "LIVED "
        killed += code != 0
        print(f"{verdict} {name}: {summary} ({spent:.0f} s)")
        if first:
            print(f"       {first}")
    build()
    print(f"killed {killed} of {len(chosen)}")
    return 0 if killed == len(chosen) else 1


if __name__ == "__main__":
    sys.exit(main())
