#!/usr/bin/python3
"""docs/protocol.md against the engine, so that the reference cannot drift: every row of the command
table (app/command_table.cpp) has a row there with its token count and no other command has one, and
every answer or refusal a command row quotes, and every failure and diagnostic line listed, is a text
of the engine's sources.   protocol_doc_test.py SOURCE_DIR
"""
import pathlib
import re
import sys

SOURCE_FOLDERS = ("core", "app", "cards", "tree", "kernels", "solver", "storage", "queries", "platform")


def printed_by_sources(text, commands, sources):
    """A quoted text is found as it stands, as a reason after "ERROR: <command> ", or as a command's ok answer."""
    ok, error = re.fullmatch(r"(\w+) ok!", text), re.fullmatch(r"ERROR: (\w+) (.+)", text)
    if text in commands:  # a command named in passing
        return True
    if ok and ok.group(1) in commands:
        return '"%s ok!' in sources
    return (error.group(2) if error and error.group(1) in commands else text) in sources


def main(root):
    doc = (root / "docs" / "protocol.md").read_text()
    table = re.findall(r'\{"(\w+)", \w+, (-?\d+)\}', (root / "app" / "command_table.cpp").read_text())
    sources = "".join(p.read_text() for folder in SOURCE_FOLDERS
                      for p in sorted((root / folder).iterdir()) if p.suffix in (".cpp", ".h"))
    rows = {}   # command table rows of the reference: command, tokens, answer, refusals, while solving
    for line in doc.splitlines():
        cells = [c.strip() for c in line.strip().strip("|").split("|")]
        match = re.match(r"`(\w+)`", cells[0]) if len(cells) == 5 and line.startswith("|") else None
        rows.update({match.group(1): cells} if match else {})
    commands = {name for name, _ in table}
    problems = [f"{name}: no row in docs/protocol.md" for name, _ in table if name not in rows]
    problems += [f"{name}: {rows[name][1]} tokens in docs/protocol.md, {tokens} in the table" for name, tokens in table
                 if name in rows and rows[name][1] != ("any" if tokens == "-1" else tokens)]
    problems += [f"{name}: in docs/protocol.md, not in the command table" for name in rows if name not in commands]
    problems += [f"{name}: `{text}` is printed nowhere in the sources" for name, cells in rows.items()
                 for text in re.findall(r"`([^`]+)`", cells[2] + " " + cells[3])
                 if not printed_by_sources(text, commands, sources)]
    problems += [f"`{text}` is printed nowhere in the sources"
                 for text in re.findall(r"^\| `((?:ERROR: |Invalid |#)[^`]*)` \|", doc, re.MULTILINE)
                 if not printed_by_sources(text.replace("ERROR: %s ", "ERROR: is_ready "), commands, sources)]
    for p in problems:
        print(p)
    print(f"{len(table)} commands, {len(rows)} rows, {len(problems)} problems")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(pathlib.Path(sys.argv[1])))
