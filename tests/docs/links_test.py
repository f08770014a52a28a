#!/usr/bin/python3
"""Every relative link in README.md and docs/*.md names a file that exists,
and every #anchor a heading of that file (as GitHub makes anchors).

usage: links_test.py [ROOT]
"""
import glob
import os
import re
import sys

ROOT = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
LINK = re.compile(r"\]\(([^)\s]+)\)")


def anchors(path):
    with open(path, encoding="utf-8") as f:
        headings = [line.lstrip("#").strip() for line in f if line.startswith("#")]
    return {re.sub(r"[^\w\- ]", "", h.lower()).replace(" ", "-") for h in headings}


def main():
    broken = []
    pages = [os.path.join(ROOT, "README.md")] + sorted(glob.glob(os.path.join(ROOT, "docs", "*.md")))
    for page in pages:
        with open(page, encoding="utf-8") as f:
            text = f.read()
        for target in LINK.findall(text):
            if re.match(r"^[a-z]+:", target):
                continue  # http:, https:, mailto:
            path, _, anchor = target.partition("#")
            file = os.path.normpath(os.path.join(os.path.dirname(page), path)) if path else page
            if not os.path.exists(file):
                broken.append(f"{os.path.relpath(page, ROOT)}: {target}: no such file")
            elif anchor and file.endswith(".md") and anchor not in anchors(file):
                broken.append(f"{os.path.relpath(page, ROOT)}: {target}: no such heading")
    for line in broken:
        print(line)
    print(f"{len(pages)} pages, {len(broken)} broken links")
    return 1 if broken else 0


if __name__ == "__main__":
    sys.exit(main())
