"""scripts/setup installs everything the tests, the scripts and the benchmarks start: every outside
program found in them is traced to the Debian package that owns it (dpkg -S), and that package
must be named in scripts/setup, unless every Debian system has it (essential, required or
important). A fresh machine then runs the README's two commands without anything installed by
hand. MAILVANE_SETUP names another setup script to check (to see the check fail)."""

import os
import re
import shutil
import subprocess
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.environ.get("MAILVANE_SOURCE", os.path.dirname(HERE))
SETUP = os.environ.get("MAILVANE_SETUP", os.path.join(SOURCE, "scripts", "setup"))
SCANNED = ["tests", "scripts", "bench", ".ci"]
SKIPPED_DIRS = {"node_modules", "results", "__pycache__"}

ABSOLUTE = re.compile(r"(?<![\w./-])(/(?:usr/)?s?bin/[A-Za-z0-9.+_-]+)")
# The first element of a Python subprocess call's argument list, and shutil.which's argument.
PY_COMMAND = re.compile(
    r"(?:Popen|run|call|check_call|check_output)\(\s*\[\s*[\"']([A-Za-z0-9.+_-]+)[\"']")
PY_WHICH = re.compile(r"shutil\.which\(\s*[\"']([A-Za-z0-9.+_-]+)[\"']")
COMPILER = re.compile(r"-DCMAKE_(?:C|CXX)_COMPILER=([A-Za-z0-9.+_/-]+)")
JS_SPAWN = re.compile(r"(?:spawn|execFile|exec)(?:Sync)?\(\s*[\"'`]([A-Za-z0-9.+_-]+)")
SHELL_WORDS = {
    "if", "then", "else", "elif", "fi", "for", "while", "until", "do", "done", "case", "esac",
    "in", "function", "{", "}", "[[", "]]",
}
SHELL_BUILTINS = {
    "cd", "echo", "printf", "export", "local", "set", "unset", "shift", "return", "exit", "read",
    "source", ".", "trap", "wait", "eval", "exec", "command", "type", "declare", "readonly",
    "true", "false", "test", "[", "kill", "ulimit", "umask", "break", "continue", "let", "jobs",
    "pwd", "getopts", "hash", "mapfile", "builtin",
}


def scanned_files():
    for top in SCANNED:
        for folder, dirs, files in os.walk(os.path.join(SOURCE, top)):
            dirs[:] = [d for d in dirs if d not in SKIPPED_DIRS]
            for name in files:
                yield os.path.join(folder, name)


def is_shell_script(path, text):
    return path.endswith(".sh") or text.startswith("#!/usr/bin/env bash") or \
        text.startswith("#!/bin/sh") or text.startswith("#!/bin/bash")


def shell_commands(text):
    """The words in command position of a shell script, read with the shell's quoting: quoted
    text, here-documents and comments are skipped, so code of another language embedded in a
    script (python -c, node -e, awk programs) is never taken for commands."""
    found = set()
    i, n = 0, len(text)
    at_command = True
    skip_line = False       # the rest of a for/case line: a list of words, not commands
    heredocs = []           # delimiters of here-documents that begin after this line
    while i < n:
        c = text[i]
        if c == "\n":
            i += 1
            at_command, skip_line = True, False
            for delimiter in heredocs:
                while i < n:
                    end = text.find("\n", i)
                    end = n if end < 0 else end
                    line, i = text[i:end], end + 1
                    if line.strip() == delimiter:
                        break
            heredocs = []
            continue
        if c in " \t":
            i += 1
            continue
        if c == "#":
            i = text.find("\n", i)
            i = n if i < 0 else i
            continue
        if c == "\\":
            i += 2
            continue
        if text.startswith("<<", i):
            m = re.match(r"<<-?\s*['\"]?([A-Za-z_]+)['\"]?", text[i:])
            if m:
                heredocs.append(m.group(1))
                i += m.end()
                continue
        if text.startswith("$((", i):  # arithmetic, not a command
            end = text.find("))", i)
            i = n if end < 0 else end + 2
            at_command = False
            continue
        if c in ";|&(){}`" or text.startswith("$(", i):
            i += 2 if text.startswith("$(", i) else 1
            at_command = True
            continue
        # A word, with its quoted parts.
        word, plain = "", True
        while i < n and text[i] not in " \t\n;|&()`<>":
            ch = text[i]
            if text.startswith("$((", i):
                end = text.find("))", i)
                i = n if end < 0 else end + 2
                plain = False
            elif ch in "'\"":
                end = text.find(ch, i + 1)
                end = n if end < 0 else end
                word += text[i + 1:end]
                plain = False
                i = end + 1
            elif ch == "\\":
                word += text[i + 1:i + 2]
                i += 2
            else:
                word += ch
                i += 1
        if not word:
            i += 1
            continue
        if skip_line or not at_command:
            continue
        if re.match(r"^[A-Za-z_][A-Za-z0-9_]*\+?=$", word) and text.startswith("(", i):
            end = text.find(")", i)  # an array literal: data
            i = n if end < 0 else end + 1
            continue
        if re.match(r"^[A-Za-z_][A-Za-z0-9_]*\+?=", word) or word in ("sudo", "env", "nice",
                                                                       "exec", "time", "!"):
            continue  # still in command position
        if word in ("for", "case", "select"):
            skip_line = True
        elif word not in SHELL_WORDS:
            at_command = False
            if plain and word not in SHELL_BUILTINS and re.match(
                    r"^(/[A-Za-z0-9.+_/-]+|[A-Za-z][A-Za-z0-9.+_-]*)$", word):
                found.add(word)
    # The script's own functions are not programs.
    return found - set(re.findall(r"(?m)^\s*([A-Za-z_][A-Za-z0-9_]*)\s*\(\)", text))


def programs_started():
    """Program name or absolute path -> a file that starts it."""
    programs = {}
    for path in scanned_files():
        try:
            with open(path, encoding="utf-8") as f:
                text = f.read()
        except (UnicodeDecodeError, OSError):
            continue
        if os.path.abspath(path) == os.path.abspath(__file__):
            continue
        names = set(ABSOLUTE.findall(text)) | set(COMPILER.findall(text))
        if path.endswith(".py"):
            names |= set(PY_COMMAND.findall(text)) | set(PY_WHICH.findall(text))
        elif path.endswith((".js", ".mjs")):
            names |= set(JS_SPAWN.findall(text))
        elif is_shell_script(path, text):
            names |= shell_commands(text)
        for name in names:
            programs.setdefault(name, os.path.relpath(path, SOURCE))
    return programs


def owning_package(program):
    path = program if program.startswith("/") else shutil.which(program)
    if path is None or not os.path.exists(path):
        return None
    real = os.path.realpath(path)
    # With /bin a link to /usr/bin, dpkg knows many programs by their /bin name.
    merged = re.sub(r"^/usr/(s?bin)/", r"/\1/", real)
    for candidate in (real, path, merged):
        result = subprocess.run(["dpkg", "-S", candidate], capture_output=True, text=True)
        if result.returncode == 0:
            return result.stdout.split(":", 1)[0].split(",")[0].strip()
    return None


def every_system_has(package):
    result = subprocess.run(["dpkg-query", "-W", "-f=${Essential} ${Priority}", package],
                            capture_output=True, text=True)
    essential, _, priority = result.stdout.partition(" ")
    return essential == "yes" or priority in ("required", "important")


def setup_packages():
    """The packages of setup's packages=(...) and packages+=(...) lists."""
    with open(SETUP, encoding="utf-8") as f:
        text = f.read()
    named = set()
    for body in re.findall(r"\bpackages\+?=\(([^)]*)\)", text):
        body = re.sub(r"#.*", "", body)
        named |= set(body.split())
    return named


class SetupPackagesTest(unittest.TestCase):
    def test_every_program_comes_from_a_package_setup_installs(self):
        if shutil.which("dpkg") is None:
            self.skipTest("not a Debian system: no dpkg to ask")
        programs = programs_started()
        # The scan finds what the project is known to start; a scan that finds none of these is
        # broken, not clean.
        for expected in ("/usr/bin/chromium", "/usr/sbin/smtp-source", "clang++-14", "swaks"):
            self.assertIn(expected, programs, "the scan no longer finds " + expected)
        named = setup_packages()
        ours = {"MailvaneSvc", "Vanequeue"}
        missing = []
        unknown = []
        for program, where in sorted(programs.items()):
            if os.path.basename(program) in ours:
                continue
            package = owning_package(program)
            if package is None:
                # setup has run: a program it installs is here. One that is here but owned by no
                # package (installed by hand) is as missing on a fresh machine.
                unknown.append("%s (started in %s)" % (program, where))
                continue
            # Python's own packages come with the interpreter named by python3-aiosmtpd.
            if package in named or every_system_has(package) or package.startswith("python3"):
                continue
            missing.append("%s from %s (started in %s)" % (package, program, where))
        self.assertEqual(unknown, [], "no Debian package provides these programs here")
        self.assertEqual(missing, [], "scripts/setup does not install these packages")


if __name__ == "__main__":
    unittest.main()
