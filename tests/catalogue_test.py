#!/usr/bin/env python3
"""Every message format in the sources is in the man page of its program.

  catalogue_test.py SOURCE_DIR

The formats are the literal first strings of report_error, print_text,
fprintf(stderr, ...) and fputs(..., stderr) in stats/*.cpp and driver/*.cpp;
each conversion (%s, %d) stands for any text, as the pages write NAME or N.
"""
import re
import sys
import unittest
from pathlib import Path

SOURCE = Path(sys.argv[1]).resolve()
PAGES = {"statconv": ["stats/convert.cpp", "stats/replacement.cpp", "driver/statconv.cpp"],
         "statinfo": ["stats/compare.cpp", "driver/statinfo_report.cpp", "driver/statinfo.cpp"],
         "statrevert": ["stats/revert.cpp", "stats/replacement.cpp", "driver/statrevert.cpp"]}
LITERAL = r'((?:"(?:[^"\\]|\\.)*"\s*(?:PRI\w+\s*)?)+)'
CALLS = [re.compile(r"(?:report_error\(|print_text\(\s*std\w+,|fprintf\(\s*stderr,)\s*" + LITERAL),
         re.compile(r"fputs\(\s*" + LITERAL + r",\s*stderr")]


def formats(path):
    code = re.sub(r"//.*", "", path.read_text())
    for call in CALLS:
        for literal in call.findall(code):
            literal = re.sub(r'"\s*PRI\w+\s*"', "d", literal)
            yield "".join(re.findall(r'"((?:[^"\\]|\\.)*)"', literal)).encode().decode("unicode_escape")


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


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=1)
