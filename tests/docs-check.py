#!/usr/bin/env python3
"""The documentation against the tree: README.md and docs/*.md.

Fails, naming the file and line, where a link or #anchor between them does
not resolve, a picture they show is missing or no PNG, a file of the tree they
name in backticks is not there, a program they name is none the build makes,
a benchmark they name is none ./bench.sh runs, or an option they give one of
our programs is in no source or script.

  docs-check.py [ROOT]          check the tree at ROOT (the script's own by default)
  docs-check.py --self-test     also plant one fault of each kind, and fail unless each is caught
"""
import glob
import os
import re
import sys

# Headers and files of the platform that the docs name beside ours.
FOREIGN = {"windows.h", "windef.h", "winbase.h", "wingdi.h"}
SOURCE_DIRS = ("src/", "sim/", "tests/", "bench/", "packaging/", "cmake/", "scripts/", "docs/", ".ci/")
FILE_NAME = re.compile(r"^[\w.+*-]+\.(cpp|h|sh|cmake|py|nsi|in|md|png|svg|xml|desktop|txt|\*)$")
# Commands of ours whose options the docs explain.
OURS = re.compile(r"^(\./(run|test|bench|package)\.sh|(build/\S+/)?quorvel(-sim|-speed|-nullmodem)?|tests/\S+\.sh)$")


def slug(heading):
    """GitHub's anchor for a heading."""
    text = re.sub(r"`|\*\*|\[([^\]]*)\]\([^)]*\)", r"\1", heading.strip()).lower()
    return re.sub(r"[^\w\- ]", "", text).replace(" ", "-")


def anchors(text):
    seen, out = {}, set()
    for line in strip_fences(text).splitlines():
        m = re.match(r"^#{1,6}\s+(.*?)\s*#*$", line)
        if m:
            s = slug(m.group(1))
            n = seen.get(s, 0)
            seen[s] = n + 1
            out.add(s if n == 0 else f"{s}-{n}")
    return out


def strip_fences(text):
    """The text with fenced blocks blanked, lines kept where they were."""
    out, fenced = [], False
    for line in text.splitlines():
        if line.lstrip().startswith("```"):
            fenced = not fenced
            out.append("")
        else:
            out.append("" if fenced else line)
    return "\n".join(out)


def fenced_lines(text):
    fenced = False
    for n, line in enumerate(text.splitlines(), 1):
        if line.lstrip().startswith("```"):
            fenced = not fenced
        elif fenced:
            yield n, line


class Tree:
    def __init__(self, root):
        self.root = root
        self.files = []
        for top, dirs, names in os.walk(root):
            dirs[:] = [d for d in dirs if d not in (".git", "build")]
            rel = os.path.relpath(top, root)
            self.files += [os.path.normpath(os.path.join(rel, n)) for n in names]
        self.targets = set()
        for cm in [f for f in self.files if os.path.basename(f) == "CMakeLists.txt"]:
            with open(os.path.join(root, cm)) as f:
                self.targets |= set(re.findall(r"add_executable\((quorvel[\w-]*)", f.read()))
        with open(os.path.join(root, "bench.sh")) as f:
            m = re.search(r"there are: ([a-z ]+)", f.read())
        self.benches = set(m.group(1).split()) if m else set()
        self.sources = ""
        for rel in self.files:
            if rel.startswith(("src/", "sim/", "tests/", "scripts/", "bench/")) or re.match(r"^[\w-]+\.sh$", rel):
                if rel.endswith((".cpp", ".h", ".sh", ".txt", ".cmake")) and not rel.startswith("tests/docs-check"):
                    with open(os.path.join(root, rel), errors="replace") as f:
                        self.sources += f.read()

    def has(self, path):
        path = os.path.normpath(path)
        if any(c in path for c in "*?"):
            return bool(glob.glob(os.path.join(self.root, path)))
        return os.path.exists(os.path.join(self.root, path))

    def has_name(self, name):
        """A file anywhere whose path ends with name (a glob's * allowed)."""
        pattern = re.compile(r"(^|/)" + re.escape(name).replace(r"\*", r"[^/]*") + "$")
        return any(pattern.search(f) for f in self.files)


def check(root, docs, tree=None):
    """The faults in docs ({path relative to root: text}), as 'path:line: what'."""
    tree = tree or Tree(root)
    faults = []
    texts = dict(docs)

    def text_of(path):
        if path not in texts:
            full = os.path.join(root, path)
            texts[path] = open(full).read() if os.path.isfile(full) else None
        return texts[path]

    for path, text in docs.items():
        here = os.path.dirname(path)
        plain = strip_fences(text)
        lines = plain.splitlines()

        def say(pos, what):
            faults.append(f"{path}:{plain.count(chr(10), 0, pos) + 1}: {what}")

        # Links and pictures.
        for m in re.finditer(r"(!?)\[[^\]]*\]\(([^)\s]+)\)", plain):
            image, target = m.group(1), m.group(2)
            if re.match(r"^[a-z]+:", target):
                continue
            file, _, anchor = target.partition("#")
            dest = os.path.normpath(os.path.join(here, file)) if file else path
            if file and not tree.has(dest):
                say(m.start(), f"link to {target}: no {dest}")
                continue
            if image:
                with open(os.path.join(root, dest), "rb") as f:
                    if f.read(8) != b"\x89PNG\r\n\x1a\n":
                        say(m.start(), f"picture {target} is no PNG")
            if anchor:
                body = text_of(dest)
                if body is None or anchor not in anchors(body):
                    say(m.start(), f"link to {target}: no heading #{anchor} in {dest}")

        # What the docs name in backticks, and in their code blocks.
        spans = [(m.start(), m.group(1)) for m in re.finditer(r"`([^`]+)`", plain)]
        offsets = [0]
        for line in text.splitlines():
            offsets.append(offsets[-1] + len(line) + 1)
        spans += [(offsets[n - 1], line.split("#")[0]) for n, line in fenced_lines(text)]
        for pos, span in spans:
            words = span.split()
            for i, word in enumerate(words):
                token = word.split("=", 1)[-1].strip("\"'(),;:")
                if not token or token.startswith(("build/", "/", "$", "~", "-")) or "<" in token or "..." in token or "://" in token:
                    pass
                elif token.startswith(SOURCE_DIRS) or re.match(r"^\./[\w-]+\.sh$", token):
                    if not tree.has(token):
                        say(pos, f"names {token}, which is not in the tree")
                elif FILE_NAME.match(token) and "/" not in token and token not in FOREIGN and token[0].isalpha():
                    if not tree.has_name(token) and token not in tree.targets:
                        say(pos, f"names {token}, which is not in the tree")
                elif "/" in token and FILE_NAME.match(token.rsplit("/", 1)[1]) and not token.startswith("."):
                    if not tree.has_name(token):
                        say(pos, f"names {token}, which is not in the tree")
                program = re.match(r"^(quorvel(-[a-z]+)+)(\.exe)?$", token)
                if program and program.group(1) not in tree.targets and program.group(1) != "quorvel-qt":
                    say(pos, f"names the program {token}, which the build does not make")
            # Benchmarks after ./bench.sh, and options given to our programs.
            for i, word in enumerate(words):
                if word == "./bench.sh":
                    for name in words[i + 1:]:
                        if not re.match(r"^[a-z]+$", name):
                            break
                        if name not in tree.benches:
                            say(pos, f"names the benchmark {name}, which ./bench.sh does not run")
            ours = words and (OURS.match(words[0]) or words[0].startswith("--"))
            for word in words if ours else []:
                option = re.match(r"^(--[a-z][\w-]*)", word)
                if option and not re.search(re.escape(option.group(1)) + r"(?![\w-])", tree.sources):
                    say(pos, f"names the option {option.group(1)}, which no source or script has")
    return faults


def docs_at(root):
    paths = ["README.md"] + sorted(os.path.relpath(p, root) for p in glob.glob(os.path.join(root, "docs", "*.md")))
    return {p: open(os.path.join(root, p)).read() for p in paths}


def self_test(root, docs, tree):
    """Each planted fault must be caught, and said of its own line."""
    plants = [
        ("a link to a file that is not there", "[x](docs/nothing.md)"),
        ("a link to a heading that is not there", "[x](docs/using.md#no-such-heading)"),
        ("a link to a heading in this file that is not there", "[x](#nowhere)"),
        ("a picture that is not there", "![x](docs/images/none.png)"),
        ("a picture that is no PNG", "![x](docs/using.md)"),
        ("a source path that is not there", "`src/Nothing.cpp`"),
        ("a file name that is nowhere", "`Nothing.h`"),
        ("a program the build does not make", "`quorvel-nothing`"),
        ("a benchmark bench.sh does not run", "`./bench.sh stream nothing`"),
        ("an option of ours no source has", "`quorvel-sim --no-such-option`"),
    ]
    failed = 0
    for what, line in plants:
        planted = dict(docs)
        planted["README.md"] = docs["README.md"] + "\n" + line + "\n"
        last = planted["README.md"].count("\n")
        caught = [f for f in check(root, planted, tree) if f.startswith(f"README.md:{last}:")]
        if len(caught) != 1:
            print(f"docs-check: FAIL: {what} ({line}) gave {caught or 'nothing'}")
            failed += 1
    print(f"docs-check: {len(plants) - failed} of {len(plants)} planted faults caught")
    return failed


def main():
    args = sys.argv[1:]
    test = "--self-test" in args
    args = [a for a in args if a != "--self-test"]
    root = os.path.abspath(args[0] if args else os.path.join(os.path.dirname(__file__), ".."))
    tree = Tree(root)
    docs = docs_at(root)
    faults = check(root, docs, tree)
    for f in faults:
        print(f"docs-check: {f}")
    print(f"docs-check: {len(docs)} files read, {len(faults)} faults")
    failed = self_test(root, docs, tree) if test else 0
    return 1 if faults or failed else 0


if __name__ == "__main__":
    sys.exit(main())
