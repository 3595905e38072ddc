"""The administration site's own files (help pages and images), as the built
program finds them in its directory.

    test_site.py --binary PATH CASE

Cases:
  files_beside_binary  every file of site/ is beside the program, byte for byte
  image_sizes          moatkeep.gif is 245x58 and help.gif 48x23 (GIF headers)
  header_marker        every help page carries Standard_Moatkeep_Header once,
                       as plain text at the top of the body
  help_links           every link and image inside the help pages resolves:
                       the file exists and so does the anchor
  admin_links          every link and image of the pages the running program
                       serves resolves
  page_structure       tags that must be closed are closed and nested, pages
                       are plain ASCII with no scripts and nothing external
"""
import argparse
import os
import re
import struct
import sys
from html.parser import HTMLParser

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import moatkeep_harness as h  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_SITE = os.path.normpath(os.path.join(HERE, "..", "..", "site"))

MARKER = "Standard_Moatkeep_Header"

# Every fixed file the program serves from its own directory.
SITE_FILES = ["moatkeep.gif", "help.gif", "help.html", "ctlhelp.html", "globlhlp.html", "relayhlp.html",
              "remothlp.html", "remtnhlp.html", "securhlp.html", "homepage.html"]
HELP_PAGES = [name for name in SITE_FILES if name.endswith(".html")]
IMAGE_SIZES = {"moatkeep.gif": (245, 58), "help.gif": (48, 23)}

# Pages that the program builds itself (they are not files), with the targets
# that they carry, which help pages may link to.
GENERATED_PAGES = {
    "welcome.html": set(),
    "globals.html": set(),
    "relays.html": {"listrelays", "addremoverelay"},
    "security.html": {"listvalid", "addrestriction", "socksusers"},
    "remotes.html": set(),
    "control.html": set(),
}
REMOTE_PAGE = re.compile(r"^remote[1-9][0-9]*\.html$")

# The pages the program builds, as an administrator reaches them, with a
# relay, a restriction and a remote system configured so that every part of
# them is shown.
SERVED_PAGES = ["", "welcome.html", "globals.html", "relays.html", "security.html", "remotes.html",
                "remote1.html", "control.html"]
SERVED_INI = ("[Globals]\nHTTP Port=%d\n[Relays]\n18023=127.0.0.1:7\n[Security]\n127.0.0.1=127.0.0.1:7\n"
              "[Remote1]\nRemote Name=uplink\n18023=127.0.0.1:9\n")
SERVED_PORT = 18082

# Elements that the pages always close.
CLOSED_ELEMENTS = {"html", "head", "title", "style", "body", "a", "table", "ul", "ol", "pre", "h1", "h2", "h3",
                   "code", "kbd", "b", "em"}


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


class PageParser(HTMLParser):
    """Collects anchors, links, images, the element nesting and the position
    of the marker."""

    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.anchors = set()
        self.links = []      # (attribute, value, line)
        self.stack = []
        self.errors = []
        self.tags = set()
        self.marker_in_body_text = 0
        self.in_body = False
        self.in_comment_marker = False

    def handle_starttag(self, tag, attrs):
        self.tags.add(tag)
        attributes = dict(attrs)
        line = self.getpos()[0]
        if tag == "a" and attributes.get("name"):
            self.anchors.add(attributes["name"])
        if attributes.get("id"):
            self.anchors.add(attributes["id"])
        if "href" in attributes:
            self.links.append(("href", attributes["href"], line))
        if "src" in attributes:
            self.links.append(("src", attributes["src"], line))
        for key in attributes:
            if key.startswith("on"):
                self.errors.append("line %d: event handler attribute %s" % (line, key))
        if tag == "body":
            self.in_body = True
        if tag in CLOSED_ELEMENTS:
            self.stack.append((tag, line))

    def handle_endtag(self, tag):
        line = self.getpos()[0]
        if tag not in CLOSED_ELEMENTS:
            return
        if not self.stack or self.stack[-1][0] != tag:
            opened = self.stack[-1] if self.stack else ("nothing", 0)
            self.errors.append("line %d: </%s> closes <%s> of line %d" % (line, tag, opened[0], opened[1]))
            return
        self.stack.pop()

    def handle_data(self, data):
        if MARKER in data and self.in_body and self.stack and self.stack[-1][0] not in ("style", "title"):
            self.marker_in_body_text += data.count(MARKER)

    def handle_comment(self, data):
        if MARKER in data:
            self.in_comment_marker = True


def parse_page(path):
    with open(path, "rb") as f:
        raw = f.read()
    text = raw.decode("ascii")  # the pages are plain ASCII; anything else fails here
    parser = PageParser()
    parser.feed(text)
    parser.close()
    return text, parser


def gif_size(path):
    with open(path, "rb") as f:
        head = f.read(10)
    check(head[:6] in (b"GIF87a", b"GIF89a"), "%s is not a GIF file" % path)
    return struct.unpack("<HH", head[6:10])


class Site:
    def __init__(self, directory):
        self.directory = directory
        self.pages = {}

    def page(self, name):
        if name not in self.pages:
            self.pages[name] = parse_page(os.path.join(self.directory, name))
        return self.pages[name]

    def resolve(self, link, from_page):
        """Why `link` (as written in `from_page`, or None for a generated
        page) does not resolve, or None when it does."""
        if re.match(r"^[a-zA-Z][a-zA-Z0-9+.-]*:", link) or link.startswith("//"):
            return "points outside the site"
        name, _, fragment = link.partition("#")
        if not name:
            if from_page is None:
                return "has no page"
            name = from_page
        if "/" in name or "?" in name:
            return "is not a page of the site"
        if name in GENERATED_PAGES or REMOTE_PAGE.match(name):
            targets = GENERATED_PAGES.get(name, set())
            if fragment and fragment not in targets:
                return "names the target %r, which %s does not carry" % (fragment, name)
            return None
        path = os.path.join(self.directory, name)
        if name not in SITE_FILES or not os.path.isfile(path):
            return "names the file %s, which is not beside the program" % name
        if fragment:
            if not name.endswith(".html"):
                return "has a target in a file that is not a page"
            _, parser = self.page(name)
            if fragment not in parser.anchors:
                return "names the anchor %r, which %s lacks" % (fragment, name)
        return None


# ---------------------------------------------------------------- cases

def case_files_beside_binary(site):
    source_files = sorted(os.listdir(SOURCE_SITE))
    check(sorted(SITE_FILES) == source_files,
          "site/ holds %s, expected %s" % (source_files, sorted(SITE_FILES)))
    for name in SITE_FILES:
        built = os.path.join(site.directory, name)
        check(os.path.isfile(built), "%s is not beside the program" % name)
        with open(built, "rb") as a, open(os.path.join(SOURCE_SITE, name), "rb") as b:
            check(a.read() == b.read(), "%s beside the program differs from site/%s" % (name, name))
    return "%d files" % len(SITE_FILES)


def case_image_sizes(site):
    for name, size in IMAGE_SIZES.items():
        got = gif_size(os.path.join(site.directory, name))
        check(got == size, "%s is %dx%d, expected %dx%d" % (name, got[0], got[1], size[0], size[1]))
    return "%d images" % len(IMAGE_SIZES)


def case_header_marker(site):
    for name in HELP_PAGES:
        text, parser = site.page(name)
        check(text.count(MARKER) == 1, "%s carries the marker %d times" % (name, text.count(MARKER)))
        check(not parser.in_comment_marker, "%s has the marker inside a comment" % name)
        check(parser.marker_in_body_text == 1, "%s has the marker outside the body text" % name)
        # It is the first thing of the body, on a line of its own, so the
        # header table replaces it before the page's own heading.
        after_body = re.split(r"<BODY[^>]*>", text, maxsplit=1, flags=re.I)
        check(len(after_body) == 2, "%s has no BODY" % name)
        check(after_body[1].lstrip().startswith(MARKER + "\n"),
              "%s does not start its body with the marker on its own line" % name)
    return "%d pages" % len(HELP_PAGES)


def case_help_links(site):
    count = 0
    for name in HELP_PAGES:
        _, parser = site.page(name)
        for attribute, value, line in parser.links:
            why = site.resolve(value, name)
            check(why is None, "%s line %d: %s=%r %s" % (name, line, attribute, value, why))
            count += 1
    check(count > 0, "the help pages hold no links")
    return "%d links" % count


def served_page(name):
    """A page of the running program, signed in; its text."""
    import base64
    import urllib.request
    request = urllib.request.Request("http://127.0.0.1:%d/%s" % (SERVED_PORT, name), headers={
        "Authorization": "Basic " + base64.b64encode(b"admin:pebble").decode()})
    with urllib.request.urlopen(request, timeout=30) as answer:
        check(answer.status == 200, "%s answered %d" % (name or "/", answer.status))
        return answer.read().decode("ascii")


def case_admin_links(site, binary):
    """Every link and image of the pages the running program serves resolves:
    help pages and their anchors beside the program, generated pages that
    carry the targets named."""
    h.enter_namespace()
    proxy = h.Moatkeep(binary, SERVED_INI % SERVED_PORT).start_debug()
    try:
        proxy.wait_log(r"Warning: Proxies started\.", timeout=30)
        served = {}
        for name in SERVED_PAGES:
            parser = PageParser()
            parser.feed(served_page(name))
            parser.close()
            served[name] = parser
        # The targets the help pages may link to are really there.
        for name, targets in GENERATED_PAGES.items():
            missing = targets - served[name].anchors
            check(not missing, "%s does not carry the targets %s" % (name, sorted(missing)))
        count = 0
        for page, parser in served.items():
            check(parser.links, "%s carries no links" % (page or "/"))
            for attribute, value, _ in parser.links:
                name, _, fragment = value.partition("#")
                if name in served:
                    # A generated page: the target must be one it carries.
                    why = None if not fragment or fragment in served[name].anchors else \
                        "names the target %r, which %s does not carry" % (fragment, name)
                else:
                    why = site.resolve(value, page or "welcome.html")
                check(why is None, "%s: %s=%r %s" % (page or "/", attribute, value, why))
                count += 1
        # Each page but the welcome page has its help button.
        for page in SERVED_PAGES[2:]:
            helps = [v for a, v, _ in served[page].links if a == "href" and re.match(r"\w+he?lp\.html", v)]
            check(helps, "%s has no link to its help page" % page)
    finally:
        proxy.stop()
    return "%d links on %d pages" % (count, len(SERVED_PAGES))


def case_page_structure(site):
    for name in HELP_PAGES:
        text, parser = site.page(name)
        check(not parser.errors, "%s: %s" % (name, "; ".join(parser.errors)))
        check(not parser.stack, "%s leaves %s open" % (name, ", ".join("<%s> of line %d" % s for s in parser.stack)))
        check("script" not in parser.tags and "iframe" not in parser.tags, "%s has a script or frame" % name)
        check("title" in parser.tags and "h1" in parser.tags, "%s lacks a title or a heading" % name)
        check(not re.search(r"url\s*\(|@import", text, re.I), "%s loads something from its style" % name)
    return "%d pages" % len(HELP_PAGES)


CASES = {
    "files_beside_binary": case_files_beside_binary,
    "image_sizes": case_image_sizes,
    "header_marker": case_header_marker,
    "help_links": case_help_links,
    "admin_links": case_admin_links,
    "page_structure": case_page_structure,
}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", required=True)
    parser.add_argument("case", choices=sorted(CASES))
    args = parser.parse_args()
    site = Site(os.path.dirname(os.path.realpath(args.binary)))
    try:
        if args.case == "admin_links":
            detail = CASES[args.case](site, args.binary)
        else:
            detail = CASES[args.case](site)
    except (Failure, AssertionError, OSError, UnicodeDecodeError) as failure:
        print("FAIL %s: %s" % (args.case, failure))
        return 1
    print("PASS %s (%s)" % (args.case, detail))
    return 0


if __name__ == "__main__":
    sys.exit(main())
