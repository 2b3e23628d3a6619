#!/usr/bin/env python3
"""Extracts the code snippets of the documentation into files a compiler can check.

Usage: extract-snippets.py OUTPUT_DIR [PAGE.md ...]

Without pages it reads README.md and docs/guide/*.md of the source tree. Every ```cpp block of
a page is a C++ snippet and every ```c block a C snippet; other blocks (sh, json, cmake, plain)
are not code to compile. The page's C++ snippets go into one translation unit, OUTPUT_DIR/
<page>.cpp (README.cpp, guide-lists.cpp, ...), each in a namespace of its own, and its C
snippets into OUTPUT_DIR/<page>.c; `#line` directives make the compiler report errors at the
page's own lines. A snippet marked `file` becomes a translation unit of its own,
OUTPUT_DIR/<page>-<line>.cpp.

A snippet is a fragment unless the line before its fence says otherwise:

    <!-- snippet: fragment -->     (the default) statements, declarations and #includes
    <!-- snippet: file -->         a whole translation unit, compiled as it stands (the default
                                    for a block that defines main)
    <!-- snippet: skip (REASON) --> not compiled; the reason is required
    <!-- snippet: fragment, continues -->
                                    a fragment that sees the declarations of the page's
                                    earlier snippets (their classes and functions, not their
                                    local variables)

A fragment is wrapped: `#include` lines go to the top of the file; a class or struct defined
at column 0 (from `class X`/`struct X` to a line `};`, or on one line), a function defined at
column 0 (a line at column 0 followed by a line `{`, up to a line `}`) and a line at column 0
that begins with `extern` or declares a class (`class X;`) stay at namespace scope; every
other line is a statement of a function of the snippet's own (a member function of a QObject
subclass when the fragment uses `this`). The file includes <QtCore> and uses
Qt::StringLiterals, as the snippets assume.

The comment may go on over several lines before `-->`; those lines are hidden code, read as if
they stood at the beginning of the snippet: the declarations and variables that the text
assumes (`QList<int> list;`, a class it only describes, an #include of a Qt module's header).
Hidden code must not contain "--".
"""

import pathlib
import re
import sys

FENCE = re.compile(r"^```(\w*)\s*$")
ANNOTATION = re.compile(r"^<!--\s*snippet:\s*(.*?)\s*(-->)?\s*$")
TYPE_DEFINITION = re.compile(r"^(class|struct)\s+\w+")


class SnippetError(Exception):
    pass


class Snippet:
    def __init__(self, page, language, kind, continues, reason, hidden, lines):
        self.page = page
        self.language = language
        self.kind = kind
        self.continues = continues
        self.reason = reason
        self.hidden = hidden  # [(line number, text)]
        self.lines = lines  # [(line number, text)]

    @property
    def first_line(self):
        return self.lines[0][0] if self.lines else 0


def parse_annotation(text, where):
    """Returns (kind, continues, reason) for the text after 'snippet:'."""
    skip = re.fullmatch(r"skip\s*(?:\((.*)\))?", text)
    if skip:
        if not (skip.group(1) or "").strip():
            raise SnippetError(f"{where}: a skipped snippet needs a reason: skip (REASON)")
        return "skip", False, skip.group(1).strip()
    words = [w.strip() for w in text.split(",")]
    if words[0] not in ("fragment", "file"):
        raise SnippetError(f"{where}: unknown snippet kind '{words[0]}'")
    extra = words[1:]
    if any(w != "continues" for w in extra):
        raise SnippetError(f"{where}: unknown snippet option in '{text}'")
    if extra and words[0] != "fragment":
        raise SnippetError(f"{where}: only a fragment continues another snippet")
    return words[0], bool(extra), None


def read_page(path, display):
    """Returns the page's C and C++ snippets."""
    snippets = []
    lines = path.read_text(encoding="utf-8").split("\n")
    pending = None  # (kind, continues, reason, hidden, line) of an annotation not yet used
    i = 0
    while i < len(lines):
        line = lines[i]
        annotation = ANNOTATION.match(line)
        if annotation:
            where = f"{display}:{i + 1}"
            kind, continues, reason = parse_annotation(annotation.group(1), where)
            hidden = []
            if not annotation.group(2):
                i += 1
                while i < len(lines) and lines[i].strip() != "-->":
                    if "--" in lines[i]:
                        raise SnippetError(f"{display}:{i + 1}: hidden code may not contain '--'")
                    hidden.append((i + 1, lines[i]))
                    i += 1
                if i == len(lines):
                    raise SnippetError(f"{where}: the snippet comment is not closed")
            pending = (kind, continues, reason, hidden, i + 1)
            i += 1
            if i >= len(lines) or not FENCE.match(lines[i]) or not FENCE.match(lines[i]).group(1):
                raise SnippetError(f"{where}: a snippet comment must stand right before a code block")
            continue
        fence = FENCE.match(line)
        if fence and fence.group(1):
            language = fence.group(1)
            start = i + 1
            i += 1
            while i < len(lines) and lines[i].rstrip() != "```":
                i += 1
            if i == len(lines):
                raise SnippetError(f"{display}:{start}: the code block is not closed")
            body = [(n + 1, lines[n]) for n in range(start, i)]
            if language in ("cpp", "c"):
                if pending:
                    kind, continues, reason, hidden, _ = pending
                else:
                    kind, continues, reason, hidden = "fragment", False, None, []
                    if any(re.match(r"^int\s+main\s*\(", text) for _, text in body):
                        kind = "file"
                if continues and not any(s.language == language for s in snippets):
                    raise SnippetError(f"{display}:{start}: the page's first snippet continues nothing")
                if language == "c" and (kind == "file" or continues):
                    raise SnippetError(f"{display}:{start}: a C snippet is a fragment or skipped")
                snippets.append(Snippet(display, language, kind, continues, reason, hidden, body))
            elif pending:
                raise SnippetError(f"{display}:{start}: a snippet comment before a {language} block")
            pending = None
        elif line.startswith("```"):
            # A block without a language: output or pseudo-code, skipped to its end.
            if pending:
                raise SnippetError(f"{display}:{i + 1}: a snippet comment before a block without a language")
            i += 1
            while i < len(lines) and lines[i].rstrip() != "```":
                i += 1
        i += 1
    return snippets


def split_fragment(lines):
    """Splits a fragment's numbered lines into includes, declarations and statements.

    Declarations and statements are lists of chunks, each a list of consecutive lines."""
    includes, declarations, statements = [], [], []
    last = [None, None]  # the chunk list and chunk the previous line went to

    def add(chunks, numbered):
        chunk = last[1]
        if last[0] is chunks and chunk[-1][0] + 1 == numbered[0]:
            chunk.append(numbered)
        else:
            chunks.append([numbered])
            last[0], last[1] = chunks, chunks[-1]

    i = 0
    while i < len(lines):
        number, text = lines[i]
        if text.lstrip().startswith("#include"):
            includes.append(text.strip())
            last[0] = None
            i += 1
            continue
        if not text.strip():
            if last[0] is not None:
                add(last[0], lines[i])
            i += 1
            continue
        end = None
        if re.match(r"^extern\s", text) or (TYPE_DEFINITION.match(text) and text.rstrip().endswith(";")):
            end = i
        elif TYPE_DEFINITION.match(text):
            end = _find(lines, i, "};")
        elif text and not text[0].isspace() and not text.startswith("//") \
                and i + 1 < len(lines) and lines[i + 1][1].rstrip() == "{":
            end = _find(lines, i, "}")
        if end is not None:
            for numbered in lines[i:end + 1]:
                add(declarations, numbered)
            i = end + 1
            continue
        add(statements, lines[i])
        i += 1
    return includes, declarations, statements


def _find(lines, start, closing):
    for j in range(start + 1, len(lines)):
        if lines[j][1].rstrip() == closing:
            return j
    raise SnippetError(f"line {lines[start][0]}: no line '{closing}' ends this definition")


def emit_chunks(out, chunks, page):
    for chunk in chunks:
        out.append(f'#line {chunk[0][0]} "{page}"')
        out.extend(text for _, text in chunk)


def write(path, text):
    """Writes the file unless it holds the text already, so a rebuild compiles only changes."""
    if not path.exists() or path.read_text(encoding="utf-8") != text:
        path.write_text(text, encoding="utf-8")
    WRITTEN.add(path.name)


WRITTEN = set()


def write_cpp_unit(path, page, snippets):
    """Writes one translation unit holding the page's C++ fragments."""
    includes, bodies = ["#include <QtCore>"], []
    earlier = []
    for snippet in snippets:
        name = f"snippet_{snippet.first_line}"
        lines = snippet.hidden + snippet.lines
        try:
            snippet_includes, declarations, statements = split_fragment(lines)
        except SnippetError as error:
            raise SnippetError(f"{page}: {error}") from None
        includes += [i for i in snippet_includes if i not in includes]
        body = [f"// {page}, line {snippet.first_line}", f"namespace {name} {{"]
        if snippet.continues:
            body += [f"using namespace {n};" for n in earlier]
        earlier.append(name)
        emit_chunks(body, declarations, page)
        uses_this = any(re.search(r"\bthis\b", text) for chunk in statements for _, text in chunk)
        if uses_this:
            body += [f"struct Fragment{snippet.first_line} : public QObject", "{", "    auto run()", "    {"]
            emit_chunks(body, statements, page)
            body += ["    }", "};"]
        else:
            body += [f"[[maybe_unused]] auto {name}()", "{"]
            emit_chunks(body, statements, page)
            body += ["}"]
        body += [f"}} // namespace {name}", ""]
        bodies += body
    text = [f"// Generated by scripts/extract-snippets.py from {page}: do not edit.", *includes, "",
            "using namespace Qt::StringLiterals;", "", *bodies]
    if any("Q_OBJECT" in line for line in bodies):
        text.append(f'#include "{path.stem}.moc"')
    write(path, "\n".join(text) + "\n")


def write_c_unit(path, page, snippets):
    includes, bodies = [], []
    for snippet in snippets:
        snippet_includes, declarations, statements = split_fragment(snippet.hidden + snippet.lines)
        includes += [i for i in snippet_includes if i not in includes]
        emit_chunks(bodies, declarations, page)
        bodies += [f"void snippet_{snippet.first_line}(void);", f"void snippet_{snippet.first_line}(void)", "{"]
        emit_chunks(bodies, statements, page)
        bodies += ["}", ""]
    text = [f"/* Generated by scripts/extract-snippets.py from {page}: do not edit. */", *includes, "", *bodies]
    write(path, "\n".join(text) + "\n")


def write_file_unit(path, page, snippet):
    text = [f"// Generated by scripts/extract-snippets.py from {page}: do not edit."]
    emit_chunks(text, [snippet.hidden] if snippet.hidden else [], page)
    emit_chunks(text, [snippet.lines], page)
    if any("Q_OBJECT" in line for _, line in snippet.lines + snippet.hidden):
        text.append(f'#include "{path.stem}.moc"')
    write(path, "\n".join(text) + "\n")


def main(arguments):
    if not arguments or arguments[0] in ("-h", "--help"):
        print(__doc__.strip())
        return 0 if arguments else 2
    root = pathlib.Path(__file__).resolve().parent.parent
    output = pathlib.Path(arguments[0])
    pages = [pathlib.Path(p) for p in arguments[1:]] or \
        [root / "README.md", *sorted((root / "docs" / "guide").glob("*.md"))]
    output.mkdir(parents=True, exist_ok=True)
    compiled = skipped = 0
    for page in pages:
        try:
            display = str(page.resolve().relative_to(root))
        except ValueError:
            display = str(page)
        stem = "README" if page.name == "README.md" else f"{page.parent.name}-{page.stem}"
        try:
            snippets = read_page(page, display)
        except SnippetError as error:
            print(f"extract-snippets: {error}", file=sys.stderr)
            return 1
        for snippet in snippets:
            if snippet.kind == "skip":
                skipped += 1
                print(f"skipped {display}:{snippet.first_line}: {snippet.reason}")
        fragments = [s for s in snippets if s.kind == "fragment" and s.language == "cpp"]
        c_fragments = [s for s in snippets if s.kind == "fragment" and s.language == "c"]
        try:
            if fragments:
                write_cpp_unit(output / f"{stem}.cpp", display, fragments)
            if c_fragments:
                write_c_unit(output / f"{stem}.c", display, c_fragments)
            for snippet in snippets:
                if snippet.kind == "file":
                    write_file_unit(output / f"{stem}-{snippet.first_line}.cpp", display, snippet)
        except SnippetError as error:
            print(f"extract-snippets: {error}", file=sys.stderr)
            return 1
        compiled += len([s for s in snippets if s.kind != "skip"])
    for stale in output.glob("*.c*"):
        if stale.name not in WRITTEN:
            stale.unlink()
    print(f"{compiled} snippets extracted, {skipped} skipped")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
