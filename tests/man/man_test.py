#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Checks the manual page: it renders without warnings, and every message
the tool can print, as found in the source code, appears in it.

Usage: man_test.py MANUAL_PAGE SOURCE_DIRECTORY
"""
import os
import re
import subprocess
import sys

page, source = sys.argv[1], sys.argv[2]
failures = []
env = dict(os.environ, LC_ALL="C", MANWIDTH="2000")

# Lint: each tool must have nothing to say.
for command in (["mandoc", "-T", "lint", page],
                ["groff", "-ww", "-man", "-z", page],
                ["man", "--warnings", "-l", page]):
    result = subprocess.run(command, capture_output=True, text=True, env=env)
    complaints = result.stderr.strip() if command[0] != "mandoc" else (
        result.stdout + result.stderr).strip()
    if result.returncode != 0 or complaints:
        failures.append("%s: %s" % (command[0], complaints or result.returncode))

rendered = subprocess.run(["man", "-l", page], capture_output=True, text=True,
                          env=env).stdout
text = " ".join(rendered.split())

# Every message literal in the program: exception texts and what it prints.
messages = set()
for directory, _, files in os.walk(source):
    for name in files:
        if name.endswith((".cpp", ".h")):
            code = open(os.path.join(directory, name)).read()
            messages.update(re.findall(
                r'(?:runtime_error|out_of_range|ErrorMsg)\("([^"]+)"\)', code))
            messages.update(re.findall(r'<<\s*"([^"]+)"', code))
            # Messages assembled in a buffer: the text before any '\n'.
            messages.update(m.split("\\n")[0] for m in re.findall(
                r'char (?:text|kPrefix)\[\] = "([^"]+)"', code))
# The option library's text for an option that was not given.
messages.add("boost::bad_any_cast: failed conversion using boost::any_cast")

checked = 0
for message in sorted(messages):
    message = " ".join(message.split())
    if not message:
        continue
    checked += 1
    if message not in text:
        failures.append("the manual does not mention %r" % message)

for failure in failures:
    print("FAIL:", failure)
print("%d passed, %d failed" % (checked + 3 - len(failures), len(failures)))
sys.exit(1 if failures or checked < 10 else 0)
