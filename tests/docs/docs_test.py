# SPDX-License-Identifier: MIT
"""The documentation checks itself: its runnable blocks run, its relative links resolve.

    docs_test.py links ROOT            every relative link and #anchor in the pages resolves
    docs_test.py run ROOT BUILD        every runnable block runs against the simulator of BUILD
    docs_test.py selftest BUILD        both checks find the faults planted in a small tree

The pages are README.md, CONTRIBUTING.md, CHANGELOG.md and docs/*.md. A fenced block is runnable
when the line before its opening fence is

    <!-- runnable -->              sh/bash blocks run with bash -e, python blocks with this Python
    <!-- runnable file=NAME -->    the block is written to the file NAME for the blocks after it

The blocks of one page run in order, in one temporary folder of their own in which `build` is the
build tree, with the simulated camera: build/tools on PATH, build/sim on LD_LIBRARY_PATH,
VANTORPI_LIBRARY and PYTHONPATH as for the Python tests, and a pkg-config file for vantorpi that
points into the build tree. Each block has BLOCK_TIMEOUT seconds.
"""

import os
import pathlib
import re
import subprocess
import sys
import tempfile
import time

BLOCK_TIMEOUT = 120
MARKER = re.compile(r"^\s*<!--\s*runnable(?:\s+file=(\S+))?\s*-->\s*$")
FENCE = re.compile(r"^(\s*)(`{3,}|~{3,})\s*([\w+-]*)")
LINK = re.compile(r"!?\[(?:[^\]\[]|\[[^\]]*\])*\]\(\s*<?([^)\s>]+)>?(?:\s+\"[^\"]*\")?\s*\)")
HEADING = re.compile(r"^(#{1,6})\s+(.*?)\s*#*\s*$")


def pages(root):
    names = [root / "README.md", root / "CONTRIBUTING.md", root / "CHANGELOG.md"]
    names += sorted((root / "docs").glob("*.md"))
    return [p for p in names if p.exists()]


class Block:
    def __init__(self, page, line, language, text, file_name):
        self.page, self.line, self.language, self.text, self.file_name = page, line, language, text, file_name

    def where(self, root):
        return f"{self.page.relative_to(root)}:{self.line}"


def parse(page):
    """The page's fenced blocks with the runnable marker, and its lines outside fences."""
    lines = page.read_text(encoding="utf-8").splitlines()
    blocks, prose, errors = [], [], []
    i = 0
    while i < len(lines):
        fence = FENCE.match(lines[i])
        if not fence:
            prose.append((i + 1, lines[i]))
            marker = MARKER.match(lines[i])
            if marker and (i + 1 >= len(lines) or not FENCE.match(lines[i + 1])):
                errors.append(f"{page.name}:{i + 1}: a runnable marker must stand right before a fence")
            i += 1
            continue
        indent, mark, language = fence.group(1), fence.group(2), fence.group(3)
        start = i
        body = []
        i += 1
        while i < len(lines) and not lines[i].strip().startswith(mark):
            body.append(lines[i][len(indent) :] if lines[i].startswith(indent) else lines[i].lstrip())
            i += 1
        if i >= len(lines):
            errors.append(f"{page.name}:{start + 1}: the fence is never closed")
        i += 1
        marker = MARKER.match(lines[start - 1]) if start > 0 else None
        if marker:
            blocks.append(Block(page, start + 1, language, "\n".join(body) + "\n", marker.group(1)))
    return blocks, prose, errors


def slug(heading):
    """The anchor that the repository's Markdown renderer gives a heading."""
    text = re.sub(r"`|\*\*|__", "", heading)
    text = re.sub(r"\[([^\]]*)\]\([^)]*\)", r"\1", text)
    text = re.sub(r"[^\w\- ]", "", text.strip().lower())
    return text.replace(" ", "-")


def anchors(page):
    found, seen = set(), {}
    for _, line in parse(page)[1]:
        heading = HEADING.match(line)
        if heading:
            base = slug(heading.group(2))
            n = seen.get(base, 0)
            seen[base] = n + 1
            found.add(base if n == 0 else f"{base}-{n}")
    return found


def check_links(root):
    errors, count = [], 0
    for page in pages(root):
        _, prose, parse_errors = parse(page)
        errors += parse_errors
        for number, line in prose:
            line = re.sub(r"`[^`]*`", "", line)
            for target in LINK.findall(line):
                if re.match(r"^[a-z][a-z0-9+.-]*:", target):
                    continue
                count += 1
                path, _, anchor = target.partition("#")
                resolved = (page.parent / path).resolve() if path else page
                where = f"{page.relative_to(root)}:{number}: {target}"
                if root.resolve() not in [resolved, *resolved.parents]:
                    errors.append(f"{where}: points outside the repository")
                elif not resolved.exists():
                    errors.append(f"{where}: {path} does not exist")
                elif anchor and resolved.suffix == ".md" and anchor not in anchors(resolved):
                    errors.append(f"{where}: no heading #{anchor} in {resolved.relative_to(root.resolve())}")
    if count == 0:
        errors.append("no relative links found: the link reader is broken")
    for e in errors:
        print(e)
    print(f"{count} relative links checked, {len(errors)} broken")
    return not errors


def environment(root, build, folder):
    env = {k: v for k, v in os.environ.items() if not k.startswith(("SIMCAM_", "LSCAM_", "VANTORPI_"))}
    env["PATH"] = f"{build / 'tools'}:{env.get('PATH', '/usr/bin:/bin')}"
    env["LD_LIBRARY_PATH"] = str(build / "sim")
    env["VANTORPI_LIBRARY"] = str(build / "libvantorpi.so.1")
    env["PYTHONPATH"] = str(root / "python")
    env["PYTHONDONTWRITEBYTECODE"] = "1"
    pkgconfig = folder / ".pkgconfig"
    pkgconfig.mkdir()
    (pkgconfig / "vantorpi.pc").write_text(
        "Name: vantorpi\nDescription: the build tree's library\nVersion: 0\n"
        f"Cflags: -I{root / 'api'}\nLibs: -L{build} -Wl,-rpath,{build} -lvantorpi\n"
    )
    env["PKG_CONFIG_PATH"] = str(pkgconfig)
    return env


def run_block(block, folder, env):
    if block.file_name:
        (folder / block.file_name).write_text(block.text)
        return True, f"wrote {block.file_name}"
    if block.language in ("sh", "bash", "shell"):
        script = folder / ".block.sh"
        command = ["bash", "-e", str(script)]
    elif block.language == "python":
        script = folder / ".block.py"
        command = [sys.executable, str(script)]
    else:
        return False, f"cannot run a '{block.language}' block (give it file=NAME, or mark sh or python blocks)"
    script.write_text(block.text)
    try:
        done = subprocess.run(
            command, cwd=folder, env=env, stdin=subprocess.DEVNULL, capture_output=True, text=True,
            timeout=BLOCK_TIMEOUT,
        )
    except subprocess.TimeoutExpired as e:
        out = (e.stdout or b"").decode(errors="replace") if isinstance(e.stdout, bytes) else (e.stdout or "")
        return False, f"still running after {BLOCK_TIMEOUT} s\n{out}"
    output = done.stdout + done.stderr
    if done.returncode != 0:
        return False, f"exit status {done.returncode}\n{output}"
    return True, output


def run_blocks(root, build):
    failed, count = 0, 0
    for page in pages(root):
        blocks, _, errors = parse(page)
        for e in errors:
            print(e)
            failed += 1
        if not blocks:
            continue
        with tempfile.TemporaryDirectory(prefix="docs-test-") as name:
            folder = pathlib.Path(name)
            (folder / "build").symlink_to(build)
            env = environment(root, build, folder)
            for block in blocks:
                count += 1
                t0 = time.monotonic()
                ok, output = run_block(block, folder, env)
                took = time.monotonic() - t0
                print(f"{'ok' if ok else 'FAILED'}: {block.where(root)} ({block.language}, {took:.1f} s)")
                if not ok:
                    failed += 1
                    print("  block:\n" + "".join(f"    {l}\n" for l in block.text.splitlines()))
                    print("  output:\n" + "".join(f"    {l}\n" for l in output.splitlines()[-40:]))
    if count == 0:
        print("no runnable blocks found: the block reader is broken")
        failed += 1
    print(f"{count} runnable blocks, {failed} failed")
    return failed == 0


def self_test(build):
    """Plants a broken link, a missing anchor and a failing block; each check must fail on its own."""
    with tempfile.TemporaryDirectory(prefix="docs-selftest-") as name:
        root = pathlib.Path(name)
        (root / "docs").mkdir()
        (root / "README.md").write_text("# Top\n\n## A `code` heading\n\n[ok](docs/a.md#b-c) [ok](#a-code-heading)\n")
        (root / "docs" / "a.md").write_text(
            "# A\n\n## B, c\n\n[up](../README.md)\n\n<!-- runnable -->\n```sh\ntrue\n```\n"
        )
        good = check_links(root) and run_blocks(root, build)
        (root / "CHANGELOG.md").write_text("[gone](docs/missing.md)\n")
        missing_file = not check_links(root)
        (root / "CHANGELOG.md").write_text("[gone](docs/a.md#no-such-heading)\n")
        missing_anchor = not check_links(root)
        (root / "CHANGELOG.md").write_text("<!-- runnable -->\n```sh\nfalse\necho not reached\n```\n")
        failing_block = not run_blocks(root, build)
    results = {"good tree passes": good, "missing file": missing_file, "missing anchor": missing_anchor,
               "failing block": failing_block}
    for what, ok in results.items():
        print(f"selftest {what}: {'ok' if ok else 'FAILED'}")
    return all(results.values())


def main(argv):
    if len(argv) == 3 and argv[1] == "links":
        return 0 if check_links(pathlib.Path(argv[2]).resolve()) else 1
    if len(argv) == 4 and argv[1] == "run":
        return 0 if run_blocks(pathlib.Path(argv[2]).resolve(), pathlib.Path(argv[3]).resolve()) else 1
    if len(argv) == 3 and argv[1] == "selftest":
        return 0 if self_test(pathlib.Path(argv[2]).resolve()) else 1
    print(__doc__.split("\n\n")[1], file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
