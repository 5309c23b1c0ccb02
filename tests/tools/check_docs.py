#!/usr/bin/python3
"""Checks the manual page and the bash completion against the program.

    check_docs.py VELLORAN MANPAGE COMPLETION

Every command (and recorder subcommand) and every option that `velloran
--help` and `velloran COMMAND --help` list must appear in the manual page;
the completion must offer the commands, the options of burn, erase and
recorder insert, and the drives `velloran drives` lists. Exit 0 when all is there; 1 with each thing
missing otherwise; 77 (a skip) when the manual page is complete but bash
completion is not installed to try the completion with.
"""
import os
import re
import subprocess
import sys

BASH_COMPLETION = "/usr/share/bash-completion/bash_completion"

def help_parts(program, args):
    """{part title: [first-column words]} of `program args --help`."""
    text = subprocess.run([program] + args + ["--help"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          text=True, check=False).stdout
    parts, title = {}, None
    for line in text.splitlines():
        if re.match(r"^[A-Za-z]+:$", line):
            title = line[:-1]
            parts[title] = []
        elif title and line.startswith("  ") and not line.startswith("   "):
            parts[title] += line.split()[0].split(",")
    return parts


def complete(completion, words):
    """What the completion offers for the command line `words` (the last
    one being completed)."""
    script = (
        ". %s; . '%s'; "
        "COMP_WORDS=(%s); COMP_CWORD=%d; COMP_LINE='%s'; COMP_POINT=${#COMP_LINE}; "
        "_velloran; printf '%%s\\n' \"${COMPREPLY[@]}\""
        % (BASH_COMPLETION, completion, " ".join("'%s'" % w for w in words), len(words) - 1, " ".join(words)))
    return subprocess.run(["bash", "-c", script], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                          check=False).stdout.split()


def main():
    program, manpage, completion = sys.argv[1:4]
    with open(manpage, encoding="utf-8") as f:
        page = f.read().replace("\\-", "-").replace("\\fB", "").replace("\\fR", "").replace("\\fI", "")
    problems = []
    top = help_parts(program, [])
    commands = top.get("Subcommands", [])
    if not commands:
        problems.append("velloran --help lists no commands")
    options = {(): top.get("Options", [])}
    for command in commands:
        parts = help_parts(program, [command])
        options[(command,)] = parts.get("Options", [])
        for sub in parts.get("Subcommands", []):
            options[(command, sub)] = help_parts(program, [command, sub]).get("Options", [])
    for path, opts in options.items():
        if path and not re.search(r"(^|[\s.\"])%s\b" % re.escape(path[-1]), page, re.M):
            problems.append("manual page: no command %s" % " ".join(path))
        for opt in opts:
            if opt.startswith("--") and not re.search(r"%s(?![\w-])" % re.escape(opt), page):
                problems.append("manual page: %s has no %s" % (" ".join(path) or "velloran", opt))

    if not os.path.exists(BASH_COMPLETION):
        for p in problems:
            print(p)
        if problems:
            return 1
        print("SKIP: the manual page is complete; bash-completion is not installed to try the completion")
        return 77
    program_name = "velloran"
    env_path = os.path.dirname(os.path.abspath(program))
    os.environ["PATH"] = env_path + os.pathsep + os.environ.get("PATH", "")
    offered = complete(completion, [program_name, ""])
    for command in commands:
        if command not in offered:
            problems.append("completion: 'velloran <TAB>' does not offer %s" % command)
    # Each completion runs the program's --help: a few commands stand for
    # all (the options come from the same --help the page is checked with).
    for path, opts in options.items():
        if path not in (("burn",), ("erase",), ("recorder", "insert")):
            continue
        offered = complete(completion, [program_name] + list(path) + ["--"])
        for opt in opts:
            if opt.startswith("--") and opt not in offered:
                problems.append("completion: 'velloran %s --<TAB>' does not offer %s" % (" ".join(path), opt))
    drives = subprocess.run([program, "drives"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
                            check=False).stdout
    for atl in re.findall(r"^(\d+:\d+:\d+),", drives, re.M):
        offered = complete(completion, [program_name, "burn", "--drive", ""])
        if atl not in offered:
            problems.append("completion: 'velloran burn --drive <TAB>' does not offer %s (offers %s)" % (atl, offered))
    for p in problems:
        print(p)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
