#!/usr/bin/env python3
"""The verifier rule table of docs/ARCHITECTURE.md, from ntsim's sources.

Each rule the table lists is looked up as a string literal in ntsim/src/*.cpp
and named with the top-level routine that holds it, so that the table follows
the code when checks move between files. With no option it prints the table;
--check fails (exit status 1, with a diff) when the document differs;
--write puts the table into the document. A rule the code no longer reports
is shown with no place: remove its row by hand.
"""
import argparse
import difflib
import pathlib
import re
import sys

ROOT = pathlib.Path(__file__).resolve().parents[2]
DOC = ROOT / "docs" / "ARCHITECTURE.md"
FIRST_ROW = "| BAD_ARGUMENT |"
BAD_ARGUMENT_ROW = "| BAD_ARGUMENT | the routine given the argument it cannot take (most of them) |"

# A routine's first line: at column 0, not a declaration, a type or a namespace.
DEFINITION = re.compile(r"^(?:[A-Za-z_][\w:<>,\s\*&]*?[\s\*&])?([A-Za-z_]\w*(?:::[A-Za-z_~]\w*)?)\(")
NOT_ROUTINES = ("using", "namespace", "extern", "struct", "class", "static_assert", "constexpr", "thread_local",
                "template", "enum")


def table_rows(text):
    start = text.index(FIRST_ROW)
    end = start
    lines = text[start:].splitlines(keepends=True)
    for line in lines:
        if not line.startswith("| "):
            break
        end += len(line)
    return start, end


def places(rules):
    found = {rule: [] for rule in rules}
    for path in sorted((ROOT / "ntsim" / "src").glob("*.cpp")):
        routine = None
        for line in path.read_text().splitlines():
            head = re.sub(r"^\[\[[^\]]*\]\]\s*", "", line)
            if head[:1].isalpha() and not head.startswith(NOT_ROUTINES) and not head.rstrip().endswith(";"):
                match = DEFINITION.match(head)
                if match:
                    routine = match.group(1)
            if 'return "' in line:  # a table of names, not a report
                continue
            for rule in re.findall(r'"([A-Z][A-Z0-9_]+)"', line):
                if rule in found and (path.name, routine) not in found[rule]:
                    found[rule].append((path.name, routine))
    return found


def render(rules):
    found = places(rules)
    rows = []
    for rule in rules:
        if rule == "BAD_ARGUMENT":
            rows.append(BAD_ARGUMENT_ROW)
            continue
        rows.append(f"| {rule} | " + "; ".join(f"`{name}`: {routine}" for name, routine in found[rule]) + " |")
    return "".join(row + "\n" for row in rows)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true", help="fail when docs/ARCHITECTURE.md differs")
    parser.add_argument("--write", action="store_true", help="write the table into docs/ARCHITECTURE.md")
    args = parser.parse_args()
    text = DOC.read_text()
    start, end = table_rows(text)
    current = text[start:end]
    rules = re.findall(r"^\| ([A-Z][A-Z0-9_]+) \| ", current, re.M)
    table = render(rules)
    if args.write:
        DOC.write_text(text[:start] + table + text[end:])
    elif args.check:
        if table != current:
            sys.stdout.writelines(difflib.unified_diff(current.splitlines(True), table.splitlines(True),
                                                       "docs/ARCHITECTURE.md", "from ntsim/src"))
            print("rule_table: the table is out of date: run tools/docs/rule_table.py --write", file=sys.stderr)
            return 1
    else:
        sys.stdout.write(table)
    return 0


if __name__ == "__main__":
    sys.exit(main())
