#!/usr/bin/python3
"""How strong the bridge's simulation is against faults nobody listed:
faults made by rule over the bridge's decision files, a sample drawn with a
fixed seed, each put in alone and the simulation run exactly as CI runs it
(as bench/sim_mutants.py does), and `killed K of N` at the end with every
survivor's file and line.

The rules, each applied at one place: a condition negated, one `&&` made
`||` or the other way round, a comparison loosened (`<` to `<=`, `>` to
`>=`, and back), a boolean literal flipped, a call standing alone as a
statement dropped.

usage: bench/sim_generated.py [--sample N] [--seed S] [--list]
  (default: 40 faults, seed 20261209; --list prints the sample only)
"""
import os
import random
import re
import sys

import sim_mutants

FILES = ["tunnel/tunnel_bridge.cc", "tunnel/proxy_owner.cc", "tunnel/tunnel_heal.cc",
         "tunnel/connect_sequence.cc", "tunnel/core_job.cc"]

CONDITION = re.compile(r"^(\s*(?:\} else )?if \()(.*)(\)( \{| return[^;]*;)?)$")
CALL = re.compile(r"^\s*(?:[A-Za-z_][\w:]*(?:\.|->))*[A-Za-z_]\w*\((?:[^;]*)\);$")
NOT_A_CALL = re.compile(r"^\s*(return|if|for|while|switch|case|delete|throw|using)\b")
# What the log says is no decision: a dropped line of it is left out.
LOGGING = re.compile(r"^\s*(WriteLog|flutter::LogLine)")
# A condition that declares its variable cannot be negated as it stands.
DECLARES = re.compile(r"^\s*(const\s+)?[\w:<>]+\s*\*?\s+\w+\s*=")


def code_part(line):
    """The line up to a comment, and whether it is code at all."""
    stripped = line.strip()
    if not stripped or stripped.startswith("//") or stripped.startswith("#"):
        return None
    return line.split("//")[0].rstrip()


def outside_strings(line, start, end):
    return line[:start].count('"') % 2 == 0 and line[end:].count('"') % 2 == 0


def faults_of(path, text):
    """(path, line number, rule, text, replacement): each with a text that
    is found once in the file, so that it is put in exactly there."""
    lines = text.split("\n")
    found = []
    for number, line in enumerate(lines, 1):
        code = code_part(line)
        if code is None:
            continue
        candidates = []
        match = CONDITION.match(code)
        if match and match.group(3) and not DECLARES.match(match.group(2)):
            candidates.append(("a condition negated", code,
                               match.group(1) + "!(" + match.group(2) + ")" + match.group(3)))
        for operator, other in (("&&", "||"), ("||", "&&")):
            for at in [m.start() for m in re.finditer(re.escape(operator), code)]:
                if outside_strings(code, at, at + 2):
                    candidates.append((operator + " made " + other, code,
                                       code[:at] + other + code[at + 2:]))
        for at in [m.start() for m in re.finditer(r"(?<![<>=!-])([<>])(=?)(?![<>=])", code)]:
            piece = re.match(r"([<>])(=?)", code[at:])
            # (a template's or a stream's angle brackets are no comparison)
            if not outside_strings(code, at, at + 1) or code[at - 1:at] != " ":
                continue
            loosened = piece.group(1) + ("" if piece.group(2) else "=")
            candidates.append(("a comparison loosened", code,
                               code[:at] + loosened + code[at + len(piece.group(0)):]))
        for m in re.finditer(r"\b(true|false)\b", code):
            if outside_strings(code, m.start(), m.end()):
                flipped = "false" if m.group(1) == "true" else "true"
                candidates.append(("a boolean flipped", code,
                                   code[:m.start()] + flipped + code[m.end():]))
        before = next((code_part(l) for l in reversed(lines[:number - 1]) if code_part(l)), "{")
        starts = before.endswith((";", "{", "}", ":"))
        if (CALL.match(code) and starts and not NOT_A_CALL.match(code) and
                not LOGGING.match(code) and " = " not in code and
                code.count("(") == code.count(")")):
            candidates.append(("a call dropped", code, re.match(r"^\s*", code).group(0) + ";"))
        for rule, original, replacement in candidates:
            # Made unique with the line before it where the line alone is not.
            context = original
            if text.count(context) != 1 and number > 1:
                context = lines[number - 2] + "\n" + original
                replacement = lines[number - 2] + "\n" + replacement
            if text.count(context) == 1:
                found.append((path, number, rule, context, replacement))
    return found


def describe(fault):
    path, number, rule, text, replacement = fault
    shown = text if rule == "a call dropped" else replacement
    return f"{path}:{number}: {rule}: {shown.splitlines()[-1].strip()}"


def main():
    arguments = sys.argv[1:]
    sample = 40
    seed = 20261209
    if "--sample" in arguments:
        sample = int(arguments[arguments.index("--sample") + 1])
    if "--seed" in arguments:
        seed = int(arguments[arguments.index("--seed") + 1])
    every = []
    for path in FILES:
        every += faults_of(path, open(os.path.join(sim_mutants.ROOT, path)).read())
    # Drawn in one fixed order; one that does not build (a warning made an
    # error, say) makes room for the next.
    order = random.Random(seed).sample(every, len(every))
    print(f"{len(every)} faults by rule in {len(FILES)} files; a sample of {sample} that build "
          f"(seed {seed})")
    if "--list" in arguments:
        for fault in order[:sample]:
            print("  " + describe(fault))
        return 0
    ci = sim_mutants.ci_arguments()
    sim_mutants.fresh_copy()
    if sim_mutants.build().returncode != 0:
        sys.exit("sim_generated: the unchanged sources do not build")
    code, summary, first, _ = sim_mutants.simulate(ci)
    print(f"unchanged: {summary}")
    if code != 0:
        sys.exit(f"sim_generated: the simulation fails without any fault ({first})")
    killed = 0
    built = 0
    survivors = []
    for fault in order:
        if built == sample:
            break
        path, number, rule, text, replacement = fault
        source = os.path.join(sim_mutants.SRC, path)
        original = open(source).read()
        with open(source, "w") as out:
            out.write(original.replace(text, replacement))
        try:
            if sim_mutants.build().returncode != 0:
                print(f"?? {path}:{number}: {rule}: does not build")
                continue
            code, summary, first, spent = sim_mutants.simulate(ci)
        finally:
            with open(source, "w") as out:
                out.write(original)
        built += 1
        where = describe(fault)
        if code != 0:
            killed += 1
            print(f"killed {where} ({spent:.0f} s)\n       {first.splitlines()[0] if first else ''}")
        else:
            survivors.append(where)
            print(f"LIVED  {where}")
    sim_mutants.build()
    print(f"killed {killed} of {built}")
    for where in survivors:
        print(f"  survivor {where}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
