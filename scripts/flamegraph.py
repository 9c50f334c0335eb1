#!/usr/bin/env python3
# Kept: Debian packages no flame-graph renderer.
"""Renders folded stacks ("frame;frame;frame bytes" per line, outermost frame
first) as a flame graph in SVG: one box per frame, as wide as the bytes
allocated under it, callers below their callees. Hovering a box shows its
name, bytes and share.

    scripts/flamegraph.py [--title TEXT] IN.folded > OUT.svg
"""
import argparse
import html
import sys
import zlib

WIDTH = 1200
FRAME_HEIGHT = 18
FONT_SIZE = 11
CHAR_WIDTH = FONT_SIZE * 0.59  # monospace advance
MARGIN = 10
TITLE_HEIGHT = 34


class Node:
    def __init__(self, name):
        self.name = name
        self.bytes = 0
        self.children = {}

    def child(self, name):
        return self.children.setdefault(name, Node(name))


def parse(lines):
    root = Node("all")
    for number, line in enumerate(lines, 1):
        line = line.rstrip("\n")
        if not line:
            continue
        stack, _, count = line.rpartition(" ")
        if not stack or not count.isdigit():
            sys.exit(f"line {number}: expected 'frame;frame bytes', got {line!r}")
        value = int(count)
        node = root
        root.bytes += value
        for frame in stack.split(";"):
            node = node.child(frame)
            node.bytes += value
    return root


def depth(node):
    return 1 + max((depth(c) for c in node.children.values()), default=0)


def colour(name):
    # Warm hues, stable per name; the library's own frames in a cooler tone.
    h = zlib.crc32(name.encode())
    if name.startswith("KRMM::"):
        return f"rgb({90 + h % 40},{150 + h % 50},{210 + h % 40})"
    return f"rgb({205 + h % 50},{90 + (h >> 8) % 110},{40 + (h >> 16) % 40})"


def human(value):
    for unit in ("B", "KiB", "MiB", "GiB"):
        if value < 1024 or unit == "GiB":
            return f"{value:.0f} {unit}" if unit == "B" else f"{value:.1f} {unit}"
        value /= 1024


def render(root, title):
    levels = depth(root)
    height = TITLE_HEIGHT + levels * FRAME_HEIGHT + 2 * MARGIN
    scale = (WIDTH - 2 * MARGIN) / max(root.bytes, 1)
    out = [
        f'<svg xmlns="http://www.w3.org/2000/svg" width="{WIDTH}" height="{height}" '
        f'viewBox="0 0 {WIDTH} {height}" font-family="monospace" font-size="{FONT_SIZE}">',
        f'<rect width="100%" height="100%" fill="#f8f8f0"/>',
        f'<text x="{WIDTH / 2}" y="{MARGIN + 16}" text-anchor="middle" font-size="15">{html.escape(title)}</text>',
    ]

    def box(node, x, level):
        width = node.bytes * scale
        if width < 0.5:
            return
        y = height - MARGIN - (level + 1) * FRAME_HEIGHT
        share = 100.0 * node.bytes / max(root.bytes, 1)
        label = f"{node.name} ({human(node.bytes)}, {share:.1f}%)"
        out.append(f"<g><title>{html.escape(label)}</title>")
        fill = "#c8c8c8" if level == 0 else colour(node.name)
        out.append(f'<rect x="{x:.1f}" y="{y}" width="{width:.1f}" height="{FRAME_HEIGHT - 1}" '
                   f'rx="2" fill="{fill}"/>')
        fits = int((width - 6) / CHAR_WIDTH)
        if fits >= 3:
            text = label if len(label) <= fits else node.name[: fits - 2] + ".."
            out.append(f'<text x="{x + 3:.1f}" y="{y + FRAME_HEIGHT - 5}">{html.escape(text)}</text>')
        out.append("</g>")
        child_x = x
        for child in sorted(node.children.values(), key=lambda c: c.name):
            box(child, child_x, level + 1)
            child_x += child.bytes * scale

    box(root, MARGIN, 0)
    out.append("</svg>")
    return "\n".join(out) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("folded", help="folded stacks, '-' for standard input")
    parser.add_argument("--title", default="Live blocks by allocation stack")
    args = parser.parse_args()
    source = sys.stdin if args.folded == "-" else open(args.folded, encoding="utf-8")
    with source:
        root = parse(source)
    if root.bytes == 0:
        sys.exit("no bytes in the input")
    sys.stdout.write(render(root, args.title))


if __name__ == "__main__":
    main()
