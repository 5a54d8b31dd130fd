#!/usr/bin/env python3
"""Every message format in the sources is in the man page of its program,
and every message a man page lists is in the sources.

  catalogue_test.py SOURCE_DIR

The formats are the literal first strings of report_error, report_named,
print_text, print_named, write_report, fprintf(stderr, ...) and
fputs(..., stderr) in the sources of each program; each conversion (%s, %d)
stands for any text, as the pages write NAME or N. The messages a page
lists are the tags of its OUTPUT and DIAGNOSTICS sections (for statinfo,
its DESCRIPTION too): each bold piece of a tag must be in the program's
string literals, the italic ones (NAME, N) standing for what the program
fills in.
"""
import re
import sys
import unittest
from pathlib import Path

SOURCE = Path(sys.argv[1]).resolve()
PAGES = {"statconv": ["stats/convert.cpp", "stats/replacement.cpp", "stats/report.cpp", "driver/statconv.cpp"],
         "statinfo": ["stats/compare.cpp", "stats/report.cpp", "driver/statinfo_report.cpp", "driver/statinfo_advice.cpp",
                      "driver/statinfo.cpp", "driver/companion.cpp"],
         "statrevert": ["stats/revert.cpp", "stats/compare.cpp", "stats/replacement.cpp",
                        "stats/report.cpp", "driver/statrevert.cpp", "driver/companion.cpp"]}
LISTS = {"statconv": ["OUTPUT"], "statinfo": ["DESCRIPTION", "OPTIONS", "DIAGNOSTICS"],
         "statrevert": ["OUTPUT"]}
LITERAL = r'((?:"(?:[^"\\]|\\.)*"\s*(?:PRI\w+\s*)?)+)'
CALLS = [re.compile(r"(?:report_error\(|print_text\(\s*std\w+,|fprintf\(\s*stderr,|"
                    r"write_report\(|(?:print_named|report_named)\((?:\s*std\w+,)?\s*[\w.]+,)\s*" + LITERAL),
         re.compile(r"fputs\(\s*" + LITERAL + r",\s*stderr")]
ESCAPES = [("\\-", "-"), ("\\(aq", "'"), ("\\(mu", "x"), ("\\&", ""), ("\\e", "\\")]


def joined(literal):
    """A run of adjacent string literals as the compiler joins them."""
    literal = re.sub(r'"\s*PRI\w+\s*"', "d", literal)
    return "".join(re.findall(r'"((?:[^"\\]|\\.)*)"', literal)).encode().decode("unicode_escape")


def formats(path):
    code = re.sub(r"//.*", "", path.read_text())
    for call in CALLS:
        for literal in call.findall(code):
            yield joined(literal)


def literals(paths):
    """Every string literal of the sources, joined as the compiler joins them."""
    code = "".join(re.sub(r"//.*", "", path.read_text()) for path in paths)
    return "\n".join(joined(literal) for literal in re.findall(LITERAL, code))


def listed(path, sections):
    """The bold pieces of each tag (the line after .TP or .TQ) in `sections`."""
    section, after_tag = None, False
    for line in path.read_text().splitlines():
        if line.startswith(".SH "):
            section = line[4:].strip('"')
        elif line in (".TP", ".TQ"):
            after_tag = True
            continue
        elif after_tag and section in sections and re.match(r"\.(B|BI|IB|BR) ", line):
            for old, new in ESCAPES:
                line = line.replace(old, new)
            words = [a or b for a, b in re.findall(r'"([^"]*)"|(\S+)', line[line.index(" ") + 1:])]
            first_bold = 0 if line.startswith((".B ", ".BI ", ".BR ")) else 1
            bold = words if line.startswith(".B ") else words[first_bold::2]
            pieces = [" ".join(bold)] if line.startswith(".B ") else bold
            # A line may be printed a clause at a time, and a finding or a
            # reason filled in: each clause is looked for on its own.
            clauses = [c.strip(" ,;:().") for p in pieces for c in re.split(r"[:;] ", p)]
            yield line, [c for c in clauses if len(c) >= 3]
        after_tag = False


def page_text(path):
    """The page's text without its requests and fonts, in single spaces."""
    text = []
    for line in path.read_text().replace("\\-", "-").replace("\\(aq", "'").replace("\\&", "").splitlines():
        if line.startswith("."):
            words = re.findall(r'"([^"]*)"|(\S+)', line)[1:]
            line = "".join(a or b for a, b in words) if re.match(r"\.[BIR]{2} ", line) else \
                " ".join(a or b for a, b in words) if re.match(r"\.[BI] ", line) else ""
        text.append(line)
    return " ".join(" ".join(text).split())


class Catalogue(unittest.TestCase):
    def test_every_message_is_in_its_man_page(self):
        for page, sources in PAGES.items():
            text = page_text(SOURCE / "man" / f"{page}.1.in")
            for source in sources:
                for message in formats(SOURCE / source):
                    for piece in filter(None, message.split("\n")):
                        pattern = ".+?".join(re.escape(part)
                                             for part in re.split(r"%[-0-9.]*l*[a-z]", piece))
                        with self.subTest(page=page, source=source, message=piece):
                            self.assertRegex(text, pattern)

    def test_every_message_a_page_lists_is_in_the_sources(self):
        for page, sources in PAGES.items():
            code = literals(SOURCE / source for source in sources)
            for line, pieces in listed(SOURCE / "man" / f"{page}.1.in", LISTS[page]):
                for piece in pieces:
                    with self.subTest(page=page, tag=line, piece=piece):
                        self.assertTrue(piece in code, f"{piece!r} is in no string of the sources")


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=1)
