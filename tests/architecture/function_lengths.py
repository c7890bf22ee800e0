#!/usr/bin/python3
"""Lists the product's functions longer than a limit, longest first: every function body in
libvek/, plugin/, platform/ and imaging/ (lambdas count toward the function that holds them).
Exits 1 when any is longer than the limit.

  function_lengths.py SOURCE_DIR [LIMIT]      (default 60 lines)
"""
import os
import re
import sys

FOLDERS = ("libvek", "plugin", "platform", "imaging")
NOT_FUNCTIONS = re.compile(r"^\s*(namespace|struct|class|union|enum|extern|template\s*<[^>]*>\s*(struct|class))\b")
SIGNATURE_END = re.compile(r"\)\s*(const\s*)?(noexcept\s*)?(override\s*)?(final\s*)?(->\s*[\w:<>]+\s*)?(:\s*.*)?\{\s*(//.*)?$")


def strip(line):
    """The line without its string and character literals or comments, so braces there do not count."""
    line = re.sub(r'"(\\.|[^"\\])*"', '""', line)
    line = re.sub(r"'(\\.|[^'\\])*'", "''", line)
    return line.split("//")[0]


def functions(path):
    lines = open(path, encoding="utf-8").read().split("\n")
    found = []
    i = 0
    depth_outside = 0  # braces of namespaces, classes and the like we are inside
    stack = []  # for each open brace: whether it opened a function
    while i < len(lines):
        code = strip(lines[i])
        opens = code.count("{")
        closes = code.count("}")
        if opens and not stack_has_function(stack) and SIGNATURE_END.search(code) and not NOT_FUNCTIONS.match(code) \
                and not re.match(r"^\s*(if|for|while|switch|else|do|return|case)\b", code):
            # A function's body opens here; find its name on this line or the ones before.
            start = i
            while start > 0 and "(" not in strip(lines[start]):
                start -= 1
            name = re.search(r"([\w:~<>=!+\-*/\[\]]+)\s*\(", strip(lines[start]))
            depth = 0
            j = i
            while j < len(lines):
                c = strip(lines[j])
                depth += c.count("{") - c.count("}")
                if depth <= 0:
                    break
                j += 1
            found.append((j - start + 1, name.group(1) if name else "?", start + 1))
            i = j + 1
            continue
        for _ in range(opens):
            stack.append(False)
        for _ in range(closes):
            if stack:
                stack.pop()
        i += 1
    return found


def stack_has_function(stack):
    return any(stack)


def main():
    root = sys.argv[1]
    limit = int(sys.argv[2]) if len(sys.argv) > 2 else 60
    long = []
    for folder in FOLDERS:
        for dirpath, _, files in os.walk(os.path.join(root, folder)):
            for f in files:
                if f.endswith((".cpp", ".h")):
                    path = os.path.join(dirpath, f)
                    for length, name, line in functions(path):
                        if length > limit:
                            long.append((length, "%s:%d" % (os.path.relpath(path, root), line), name))
    for length, where, name in sorted(long, reverse=True):
        print("%4d  %-45s %s" % (length, where, name))
    print("%d functions longer than %d lines" % (len(long), limit) if long else "no function is longer than %d lines" % limit)
    return 1 if long else 0


if __name__ == "__main__":
    sys.exit(main())
