#!/usr/bin/env python3
"""Keeps the Markdown files true to the tree, offline:

- every relative link and image resolves to a file or folder of the tree;
- every #anchor names a heading of its page, by GitHub's rules (lower case,
  punctuation dropped, spaces to hyphens, a repeated heading gets -1, -2, ...);
- every `./dev <command>` a page mentions is a command of ./dev's case statement.

    docs_links_test.py [source dir]      (default: the tree this file lives in)

Prints one line per fault and exits 1 when there is one."""

import os
import re
import subprocess
import sys
from pathlib import Path

FENCE = re.compile(r"^ {0,3}(```|~~~)")
LINK = re.compile(r"!?\[(?:[^\]\\]|\\.)*\]\(\s*<?([^)\s>]+)>?(?:\s+\"[^\"]*\")?\s*\)")
DEV_COMMAND = re.compile(r"(?<![\w/.])\./dev[ \t]+([a-z][a-z0-9-]*)")


def markdown_files(root):
    """The tracked Markdown files; without git (a source archive), every one
    outside build output and installed npm packages."""
    try:
        listed = subprocess.run(["git", "-C", str(root), "ls-files", "-z", "*.md"],
                                capture_output=True, check=True).stdout
        return sorted(root / name for name in listed.decode().split("\0") if name)
    except (OSError, subprocess.CalledProcessError):
        found = []
        for folder, subfolders, names in os.walk(root):
            subfolders[:] = [d for d in subfolders if d not in (".git", "build", "node_modules")]
            found += [Path(folder) / name for name in names if name.endswith(".md")]
        return sorted(found)


def unfenced(text):
    """The text with fenced code blocks blanked out, line numbers kept."""
    lines, fenced = [], False
    for line in text.splitlines():
        if FENCE.match(line):
            fenced = not fenced
            line = ""
        lines.append("" if fenced else line)
    return "\n".join(lines)


def prose(text):
    """unfenced(text) with inline code blanked out too: links are looked for in
    what remains, also across line breaks."""
    return re.sub(r"`[^`]*`", lambda code: re.sub(r"[^\n]", " ", code.group()), unfenced(text))


def slug(heading):
    """GitHub's anchor for a heading's text."""
    text = re.sub(r"!?\[([^\]]*)\]\([^)]*\)", r"\1", heading)  # a link: its text
    text = re.sub(r"[`*]|<[^>]*>", "", text).strip().lower()
    return re.sub(r"[^\w\- ]", "", text).replace(" ", "-")


def anchors(text):
    seen, result = {}, set()
    for line in unfenced(text).splitlines():
        match = re.match(r" {0,3}#{1,6}\s+(.*?)\s*#*\s*$", line)
        if match:
            base = slug(match.group(1))
            count = seen.get(base, 0)
            seen[base] = count + 1
            result.add(base if count == 0 else f"{base}-{count}")
    return result


def dev_commands(root):
    """The labels of ./dev's top-level `case "$cmd" in`, nested cases left out."""
    labels, depth = set(), 0
    for line in (root / "dev").read_text(encoding="utf-8").splitlines():
        code = line.split("#", 1)[0]
        if depth == 0:
            depth = 1 if re.match(r'\s*case "\$cmd" in\s*$', code) else 0
            continue
        if re.match(r"\s*case\b.*\bin\s*$", code):
            depth += 1
        elif re.match(r"\s*esac\b", code):
            depth -= 1
            if depth == 0:
                break
        elif depth == 1:
            match = re.match(r"\s*([\w|-]+)\)", code)
            if match:
                labels.update(match.group(1).split("|"))
    return labels


def check(root):
    files = markdown_files(root)
    texts = {path: path.read_text(encoding="utf-8") for path in files}
    commands = dev_commands(root)
    faults = []
    for path, text in texts.items():
        where = path.relative_to(root)
        body = prose(text)
        for link in LINK.finditer(body):
            target, number = link.group(1), body.count("\n", 0, link.start()) + 1
            if re.match(r"[a-z][a-z0-9+.-]*:", target, re.I):
                continue  # http:, https:, mailto: are not checked offline
            file_part, _, anchor = target.partition("#")
            linked = (path.parent / file_part).resolve() if file_part else path
            if not linked.exists():
                faults.append(f"{where}:{number}: {target}: no such file")
            elif anchor and linked.suffix == ".md":
                page = texts.get(linked) or linked.read_text(encoding="utf-8")
                if anchor not in anchors(page):
                    faults.append(f"{where}:{number}: {target}: no heading for #{anchor}")
        for number, line in enumerate(text.splitlines(), 1):
            for command in DEV_COMMAND.findall(line):
                if command not in commands:
                    faults.append(f"{where}:{number}: ./dev {command}: not a command of ./dev")
    return files, faults


def main():
    root = Path(sys.argv[1] if len(sys.argv) > 1 else Path(__file__).parent.parent).resolve()
    files, faults = check(root)
    for fault in faults:
        print(fault)
    print(f"docs_links: {len(files)} Markdown files, {len(faults)} broken")
    return 1 if faults or not files else 0


if __name__ == "__main__":
    sys.exit(main())
