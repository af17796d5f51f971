#!/usr/bin/env python3
"""The manual pages of docs/man in step with the programs: the OPTIONS section of each page lists
exactly the options its program's --help lists, with the same value names; the page's footer
carries the version --version prints; groff reads it without a warning and man-db finds its NAME.

    test_man_pages.py <valtrona-panel> <valtrona-sim> <source dir>"""

import os
import re
import shlex
import subprocess
import sys

from desktop import Failure, check, main


def run(*args, env=None):
    result = subprocess.run(args, capture_output=True, text=True, timeout=60, env=env, stdin=subprocess.DEVNULL)
    if result.returncode != 0:
        raise Failure(f"{' '.join(args)} failed with status {result.returncode}:\n{result.stdout}{result.stderr}")
    return result


def entries(heads):
    """{(option, value name or None)} of option heads such as "-h, --help" or "--log <PATH>"."""
    found = set()
    for head in heads:
        for part in head.split(", "):
            name, _, value = part.partition(" ")
            found.add((name, value.strip("<>") or None))
    return found


def help_options(binary):
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM")}
    text = run(binary, "--help", env=env).stdout
    # Qt's layout: two blanks, the names and value, two or more blanks, the description (or a line
    # break when the names are long); wrapped descriptions start further in.
    heads = re.findall(r"^  (-\S.*?)(?: {2,}|$)", text, re.M)
    check(heads, f"{binary} --help lists no option:\n{text}")
    return entries(heads)


def roff_text(line):
    """The words of one roff line as printed: a font macro's arguments joined (.BR, .BI alternate
    fonts without a blank between them), font changes dropped, \\- as a hyphen."""
    if line.startswith("."):
        macro, _, rest = line.partition(" ")
        words = shlex.split(rest)
        line = "".join(words) if macro in (".BR", ".BI", ".IR", ".RI", ".IB", ".RB") else " ".join(words)
    return re.sub(r"\\f[BIRP]", "", line).replace("\\-", "-")


def page_options(page):
    """The tags of the tagged paragraphs (.TP) of the page's OPTIONS section."""
    with open(page, encoding="utf-8") as f:
        lines = f.read().splitlines()
    check(".SH OPTIONS" in lines, f"{page} has no OPTIONS section")
    start = lines.index(".SH OPTIONS") + 1
    end = next((i for i in range(start, len(lines)) if lines[i].startswith(".SH ")), len(lines))
    heads = [roff_text(lines[i + 1]) for i in range(start, end - 1) if lines[i] == ".TP"]
    check(heads and all(h.startswith("-") for h in heads), f"{page} lists as options {heads}")
    return entries(heads)


def test(panel, sim, source_dir):
    for binary in (panel, sim):
        name = os.path.basename(binary)
        page = os.path.join(source_dir, "docs", "man", f"{name}.1")
        check(os.path.isfile(page), f"{name} has no manual page {page}")

        in_help, in_page = help_options(binary), page_options(page)
        check(in_help == in_page, f"{name}: --help and the manual page differ; only in --help: "
              f"{sorted(in_help - in_page, key=str)}, only in the page: {sorted(in_page - in_help, key=str)}")

        version = run(binary, "--version").stdout.strip()
        with open(page, encoding="utf-8") as f:
            th = f.readline()
        fields = re.findall(r'"([^"]*)"|(\S+)', th)
        footer = [a or b for a, b in fields]
        check(footer[:3] == [".TH", name.upper(), "1"] and len(footer) >= 5 and footer[4] == version,
              f"{page} begins {th.strip()!r}, a section 1 page of {name} for {version!r} expected")

        lint = run("groff", "-man", "-ww", "-z", page)
        check(lint.stderr == "", f"groff warns about {page}:\n{lint.stderr}")
        whatis = run("lexgrog", page).stdout
        check(f'"{name} - ' in whatis, f"man-db finds no NAME line of {name} in {page}: {whatis!r}")


if __name__ == "__main__":
    sys.exit(main(test, *sys.argv[1:4]))
