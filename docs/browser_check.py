"""Check the built docs site in a real headless Chromium.

    python docs/browser_check.py SITE_DIR [--screenshots DIR]

Every .html page of SITE_DIR is opened through a file:// URL in a 1280x900
window.  A page fails on a broken image, a broken relative link (missing file
or missing #anchor, or a link leaving the site), a page wider than the
window, content wider than the main content column (including code blocks
that need to scroll sideways), a JavaScript console error, or a resource
fetched from outside file:// (the site must work offline).  A full-page
screenshot of every page is written to DIR (default build/docs/screenshots).
Each problem is printed as "page: problem"; the exit status is 1 if any.

Needs selenium, /usr/bin/chromium and chromedriver.  Importable: see
check_site().
"""

import argparse
import functools
import pathlib
import sys
from html.parser import HTMLParser
from urllib.parse import unquote, urlsplit

from selenium import webdriver
from selenium.webdriver.chrome.service import Service

WIDTH, HEIGHT, MAX_SHOT_HEIGHT = 1280, 900, 12000
DEFAULT_SHOTS = pathlib.Path(__file__).resolve().parent.parent / "build/docs/screenshots"

# Layout of the main content column.  A box that scrolls or clips sideways is
# judged as a whole (code blocks should wrap or fit the column), not what it
# holds.  Outside such boxes, visible content (text and images, media, math)
# must stay within the column's right edge; decoration such as a heading's or
# signature's background bleeding into the gutter through negative margins is
# no problem.  Each offending block is reported once, the outermost.
LAYOUT_JS = """
const col = document.querySelector('[role=main]') || document.querySelector('main')
  || document.querySelector('div.body') || document.body;
const right = col.getBoundingClientRect().right;
const name = el => {
  let s = el.tagName.toLowerCase() + (el.id ? '#' + el.id : '')
    + [...el.classList].map(c => '.' + c).join('');
  const sec = el.closest('section[id]');
  if (sec && sec !== el) s += ' in #' + sec.id;
  const text = (el.textContent || '').replace(/\\s+/g, ' ').trim().slice(0, 50);
  return text ? s + ' "' + text + '"' : s;
};
const shown = el => {
  const cs = getComputedStyle(el);
  return cs.display !== 'none' && cs.visibility !== 'hidden';
};
const clipped = (el, self) => {  // in a box of the column that scrolls or clips sideways
  for (let p = self ? el : el.parentElement; p && p !== col && col.contains(p); p = p.parentElement)
    if (getComputedStyle(p).overflowX !== 'visible') return true;
  return false;
};
const block = el => {
  while (el !== col && getComputedStyle(el).display.startsWith('inline')) el = el.parentElement;
  return el;
};
const out = [], beyond = new Map();
const stickOut = (el, r, self) => {
  if (r.width > 0 && r.right > right + 1 && shown(el) && !clipped(el, self)) {
    const table = el.closest('table');  // a table too wide is reported as a whole
    const b = table && col.contains(table) ? table : block(el);
    beyond.set(b, Math.max(beyond.get(b) || 0, Math.round(r.right - right)));
  }
};
for (const el of [col, ...col.querySelectorAll('*')]) {
  const cs = getComputedStyle(el);
  if (!shown(el) || clipped(el)) continue;
  const excess = el.scrollWidth - el.clientWidth;
  if (el.clientWidth > 0 && excess > 1 && cs.overflowX !== 'visible')
    out.push(name(el) + (cs.overflowX === 'auto' || cs.overflowX === 'scroll' ? ': scrolls horizontally'
      : ': clips its content') + ' (content ' + excess + ' px wider than its box)');
  if (el.matches('img, svg, math, video, canvas, iframe, object, embed, input, textarea, select'))
    stickOut(el, el.getBoundingClientRect());
}
const walk = document.createTreeWalker(col, NodeFilter.SHOW_TEXT);
const range = document.createRange();
for (let t; (t = walk.nextNode());) {
  if (!t.textContent.trim()) continue;
  range.selectNodeContents(t);
  stickOut(t.parentElement, range.getBoundingClientRect(), true);
}
const blocks = [...beyond.keys()];
for (const [el, px] of beyond)
  if (!blocks.some(o => o !== el && o.contains(el)))
    out.push(name(el) + ': content extends ' + px + ' px beyond the right edge of the content column');
const de = document.documentElement;
if (de.scrollWidth > de.clientWidth)  // clientWidth: the window less its scrollbar
  out.push('page is ' + de.scrollWidth + ' px wide, wider than the ' + de.clientWidth + ' px window');
if (col === document.body) out.push('no content column found ([role=main], main, div.body)');
return out;
"""

# After the page is laid out at full height (lazy images load): broken images,
# resources not loaded from file://, and every link as [href attribute, resolved URL].
LOAD_JS = """
const out = [];
for (const img of document.images)
  if (img.complete && img.naturalWidth === 0)
    out.push('broken image ' + (img.getAttribute('src') || '(no src)'));
const urls = performance.getEntriesByType('resource').map(e => e.name);
for (const el of document.querySelectorAll('script[src], img[src], iframe[src], link[rel~=stylesheet]'))
  urls.push(el.src || el.href);
for (const u of new Set(urls))
  if (!u.startsWith('file:') && !u.startsWith('data:') && !u.startsWith('blob:'))
    out.push('loads a resource from outside the site: ' + u);
const links = [...document.querySelectorAll('a[href]')].map(a => [a.getAttribute('href'), a.href]);
return [out, links];
"""


class _Anchors(HTMLParser):
    """The ids (and <a name>) of an HTML file."""

    def __init__(self):
        super().__init__()
        self.ids = set()

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        self.ids.update(v for k, v in attrs.items() if k == "id" and v)
        if tag == "a" and attrs.get("name"):
            self.ids.add(attrs["name"])


@functools.lru_cache(maxsize=None)
def _anchors(path):
    parser = _Anchors()
    parser.feed(path.read_text(encoding="utf-8", errors="replace"))
    return parser.ids


def check_links(site, links):
    """Problems of the [href, resolved URL] pairs of a page, and the number of external links."""
    problems, external = [], 0
    for href, url in links:
        split = urlsplit(url)
        if split.scheme in ("http", "https"):
            external += 1
            continue
        if split.scheme != "file":
            continue  # mailto:, javascript:, ...
        target = pathlib.Path(unquote(split.path))
        if target.is_dir():
            target = target / "index.html"
        if not target.is_file():
            problems.append(f"broken link {href!r}: no file {target}")
        elif not target.resolve().is_relative_to(site):
            problems.append(f"link {href!r} leaves the site: {target}")
        elif split.fragment and target.suffix == ".html" and unquote(split.fragment) not in _anchors(target):
            problems.append(f"broken link {href!r}: no id {split.fragment!r} in {target.relative_to(site)}")
    return problems, external


def make_driver():
    options = webdriver.ChromeOptions()
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                f"--window-size={WIDTH},{HEIGHT}"):
        options.add_argument(arg)
    if pathlib.Path("/usr/bin/chromium").exists():
        options.binary_location = "/usr/bin/chromium"
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    chromedriver = pathlib.Path("/usr/bin/chromedriver")
    service = Service(str(chromedriver)) if chromedriver.exists() else Service()
    return webdriver.Chrome(options=options, service=service)


def set_viewport(driver, width, height):
    """Resize the window so that the page's viewport is width x height."""
    driver.set_window_size(width, height)
    inner = driver.execute_script("return [window.innerWidth, window.innerHeight]")
    if inner != [width, height]:
        driver.set_window_size(2 * width - inner[0], 2 * height - inner[1])


def check_page(driver, site, page, shots_dir):
    """Problems of one page, its number of external links, and its screenshot path."""
    set_viewport(driver, WIDTH, HEIGHT)
    driver.get(page.as_uri())
    driver.execute_script("return document.fonts.ready")
    problems = driver.execute_script(LAYOUT_JS)
    height = driver.execute_script("return document.documentElement.scrollHeight")
    set_viewport(driver, WIDTH, min(max(height, HEIGHT), MAX_SHOT_HEIGHT))
    loaded, links = driver.execute_script(LOAD_JS)
    problems += loaded
    link_problems, external = check_links(site, links)
    problems += link_problems
    problems += [f"console error: {entry['message']}" for entry in driver.get_log("browser")
                 if entry["level"] == "SEVERE"]
    shot = shots_dir / (page.relative_to(site).with_suffix("").as_posix().replace("/", "_") + ".png")
    driver.save_screenshot(str(shot))
    return problems, external, shot


def check_site(site_dir, shots_dir=DEFAULT_SHOTS):
    """Check every page of site_dir; returns (pages, ["page: problem"], external links, screenshots)."""
    site = pathlib.Path(site_dir).resolve()
    shots_dir = pathlib.Path(shots_dir)
    shots_dir.mkdir(parents=True, exist_ok=True)
    pages = sorted(site.rglob("*.html"))
    problems, external, shots = [], 0, []
    driver = make_driver()
    try:
        for page in pages:
            found, n_external, shot = check_page(driver, site, page, shots_dir)
            rel = page.relative_to(site).as_posix()
            problems += [f"{rel}: {p}" for p in found]
            external += n_external
            shots.append(shot)
    finally:
        driver.quit()
    return pages, problems, external, shots


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[2].strip())
    parser.add_argument("site_dir", type=pathlib.Path, help="the built HTML site")
    parser.add_argument("--screenshots", type=pathlib.Path, default=DEFAULT_SHOTS,
                        help="where to write the page screenshots (default: %(default)s)")
    args = parser.parse_args(argv)
    if not args.site_dir.is_dir():
        parser.error(f"no such directory: {args.site_dir}")
    pages, problems, external, shots = check_site(args.site_dir, args.screenshots)
    print(f"screenshots written ({len(shots)}):")
    for shot in shots:
        print(f"  {shot}")
    for problem in problems:
        print(problem)
    print(f"{external} external links not fetched (offline check)")
    print(f"browser check: {len(pages)} pages checked, {len(problems)} problems found")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
