#!/usr/bin/python3
"""docs/protocol.md against the engine, so that the reference cannot drift: every row of the
command table (app/command_table.cpp) has a row in the reference with its token count, the
reference lists no command the table lacks, and every text a command row quotes in backticks
as an answer or a refusal, and every failure and diagnostic line it lists, is a text of the
engine's sources.

    protocol_doc_test.py SOURCE_DIR
"""
import pathlib
import re
import sys

SOURCE_FOLDERS = ("core", "app", "cards", "tree", "kernels", "solver", "storage", "queries", "platform")


def command_rows(doc):
    """Rows of the command tables: command, tokens, answer, refusals, while solving."""
    rows = {}
    for line in doc.splitlines():
        cells = [c.strip() for c in line.strip().strip("|").split("|")]
        match = re.match(r"`(\w+)`", cells[0]) if len(cells) == 5 and line.startswith("|") else None
        if match:
            rows[match.group(1)] = cells
    return rows


def message_rows(doc):
    """Texts quoted first in the rows of the failure and diagnostic tables."""
    return re.findall(r"^\| `((?:ERROR: |Invalid |#)[^`]*)` \|", doc, re.MULTILINE)


def quoted(cell):
    return re.findall(r"`([^`]+)`", cell)


def printed_by_sources(text, commands, sources):
    """A quoted text is found as it stands, as a reason after "ERROR: <command> ", or as the
    ok answer of a command."""
    if text in commands:  # a command named in passing
        return True
    ok = re.fullmatch(r"(\w+) ok!", text)
    if ok and ok.group(1) in commands:
        return '"%s ok!' in sources
    error = re.fullmatch(r"ERROR: (\w+) (.+)", text)
    if error and error.group(1) in commands:
        text = error.group(2)
    return text in sources


def main(root):
    doc = (root / "docs" / "protocol.md").read_text()
    table = re.findall(r'\{"(\w+)", \w+, (-?\d+)\}', (root / "app" / "command_table.cpp").read_text())
    sources = "".join(p.read_text() for folder in SOURCE_FOLDERS
                      for p in sorted((root / folder).iterdir()) if p.suffix in (".cpp", ".h"))
    rows = command_rows(doc)
    commands = {name for name, _ in table}
    problems = []
    for name, tokens in table:
        if name not in rows:
            problems.append(f"{name}: no row in docs/protocol.md")
        elif rows[name][1] != ("any" if tokens == "-1" else tokens):
            problems.append(f"{name}: {rows[name][1]} tokens in docs/protocol.md, {tokens} in the table")
    problems += [f"{name}: in docs/protocol.md, not in the command table" for name in rows if name not in commands]
    for name, cells in rows.items():
        for text in quoted(cells[2]) + quoted(cells[3]):
            if not printed_by_sources(text, commands, sources):
                problems.append(f"{name}: `{text}` is printed nowhere in the sources")
    for text in message_rows(doc):
        if not printed_by_sources(text.replace("ERROR: %s ", "ERROR: is_ready "), commands, sources):
            problems.append(f"`{text}` is printed nowhere in the sources")
    for p in problems:
        print(p)
    print(f"{len(table)} commands, {len(rows)} rows, {len(problems)} problems")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(pathlib.Path(sys.argv[1])))
