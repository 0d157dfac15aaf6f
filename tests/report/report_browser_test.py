#!/usr/bin/env python3
"""The HTML report in a real headless Chromium.

Writes two reports with duvo_report_fixture (a few pairs of every status with
awkward names, and 500 pairs) and one with duvo-compare itself (a small tree
with links out of it, a pipe and a picture that changed size), opens them
from file:// and drives the page
over the DevTools protocol on a pipe (--remote-debugging-pipe: JSON messages
ended by NUL, commands on the browser's fd 3, answers on its fd 4). Fails on
any request that leaves the report folder, any script error or CSP report,
and any view, list or key that does not do what it should; takes
screenshots; checks that the 500-pair list is rendered within 2 s.

Exit status 77 (skipped) only when chromium is not installed.
"""

import argparse
import base64
import json
import os
import queue
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import threading
import time
import zlib
from pathlib import Path

SKIP = 77
LIST_BUDGET_MS = 2000

CHROMIUM_FLAGS = [
    "--headless",
    "--no-sandbox",
    "--disable-gpu",
    "--disable-quic",
    "--no-first-run",
    "--disable-background-networking",
    "--disable-component-update",
    "--disable-sync",
    "--hide-scrollbars",
    "--force-color-profile=srgb",
]


class Failure(Exception):
    pass


class Browser:
    """Chromium with its DevTools endpoint on a pair of pipes."""

    def __init__(self, chromium, profile, log):
        to_browser_r, self._to_browser = os.pipe()
        self._from_browser, from_browser_w = os.pipe()

        def child_fds():
            # Copies first: the pipe ends may already hold 3 or 4.
            a, b = os.dup(to_browser_r), os.dup(from_browser_w)
            os.dup2(a, 3)
            os.dup2(b, 4)

        self.proc = subprocess.Popen(
            [chromium, *CHROMIUM_FLAGS, "--user-data-dir=" + str(profile), "--remote-debugging-pipe", "about:blank"],
            stdin=subprocess.DEVNULL, stdout=log, stderr=log, preexec_fn=child_fds, close_fds=False)
        os.close(to_browser_r)
        os.close(from_browser_w)
        self._next_id = 0
        self._answers = {}
        self._events = queue.Queue()
        self._lock = threading.Condition()
        self.listeners = []
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        buffer = b""
        while True:
            try:
                chunk = os.read(self._from_browser, 1 << 16)
            except OSError:
                chunk = b""
            if not chunk:
                with self._lock:
                    self._answers[None] = "closed"
                    self._lock.notify_all()
                return
            buffer += chunk
            while b"\0" in buffer:
                raw, buffer = buffer.split(b"\0", 1)
                message = json.loads(raw)
                if "id" in message:
                    with self._lock:
                        self._answers[message["id"]] = message
                        self._lock.notify_all()
                else:
                    for listener in self.listeners:
                        listener(message)

    def call(self, method, params=None, session=None, timeout=30):
        with self._lock:
            self._next_id += 1
            ident = self._next_id
        message = {"id": ident, "method": method, "params": params or {}}
        if session:
            message["sessionId"] = session
        os.write(self._to_browser, json.dumps(message).encode() + b"\0")
        deadline = time.monotonic() + timeout
        with self._lock:
            while ident not in self._answers:
                if None in self._answers:
                    raise Failure("chromium closed its DevTools pipe during " + method)
                left = deadline - time.monotonic()
                if left <= 0:
                    raise Failure("no answer to " + method)
                self._lock.wait(left)
            answer = self._answers.pop(ident)
        if "error" in answer:
            raise Failure(f"{method}: {answer['error']}")
        return answer.get("result", {})

    def close(self):
        try:
            self.call("Browser.close", timeout=5)
        except Failure:
            pass
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        os.close(self._to_browser)


class Page:
    """One tab: commands go to its session; its requests and errors are kept."""

    def __init__(self, browser, width=1440, height=900):
        self.browser = browser
        self.requests = []
        self.errors = []
        self.dialogs = []
        self.session = None
        browser.listeners.append(self._event)
        target = browser.call("Target.createTarget", {"url": "about:blank"})["targetId"]
        self.session = browser.call("Target.attachToTarget", {"targetId": target, "flatten": True})["sessionId"]
        for domain in ("Page", "Network", "Runtime", "Log"):
            self.call(domain + ".enable")
        self.resize(width, height)

    def resize(self, width, height):
        self.call("Emulation.setDeviceMetricsOverride",
                  {"width": width, "height": height, "deviceScaleFactor": 1, "mobile": False})

    def _event(self, message):
        if message.get("sessionId") != self.session:
            return
        method, params = message.get("method"), message.get("params", {})
        if method == "Network.requestWillBeSent":
            self.requests.append(params["request"]["url"])
        elif method == "Runtime.exceptionThrown":
            details = params["exceptionDetails"]
            self.errors.append("exception: " + details.get("exception", {}).get("description", details.get("text", "")))
        elif method == "Runtime.consoleAPICalled" and params.get("type") in ("error", "assert"):
            self.errors.append("console: " + " ".join(str(a.get("value", a.get("description"))) for a in params["args"]))
        elif method == "Log.entryAdded" and params["entry"]["level"] == "error":
            self.errors.append("log: " + params["entry"]["text"] + " " + params["entry"].get("url", ""))
        elif method == "Page.javascriptDialogOpening":
            self.dialogs.append(params.get("message"))
            self.call("Page.handleJavaScriptDialog", {"accept": True})

    def call(self, method, params=None, timeout=30):
        return self.browser.call(method, params, self.session, timeout)

    def eval(self, expression, timeout=30):
        result = self.call("Runtime.evaluate", {"expression": expression, "returnByValue": True,
                                                "awaitPromise": True}, timeout)
        if "exceptionDetails" in result:
            raise Failure("script failed: " + expression[:200] + "\n" + json.dumps(result["exceptionDetails"])[:600])
        return result["result"].get("value")

    def wait(self, expression, timeout=15, what=None):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.eval(expression):
                return
            time.sleep(0.05)
        raise Failure("timed out waiting for " + (what or expression))

    def open(self, url):
        self.call("Page.navigate", {"url": url})
        self.wait("document.readyState === 'complete' && document.documentElement.dataset.ready === 'true'",
                  what="the report to open: " + url)
        # A URL that differs only in its hash does not load the page again:
        # wait for the page to follow the hash.
        pair = re.search(r"#pair=(\d+)", url)
        if pair:
            self.wait(f"document.getElementById('detail').dataset.pair === '{pair.group(1)}'",
                      what="the pair of " + url)

    def key(self, key):
        code, vk = KEYS.get(key, (None, None))
        if code is None:
            if key.isdigit():
                code, vk = "Digit" + key, ord(key)
            else:
                code, vk = "Key" + key.upper(), ord(key.upper())
        down = {"type": "keyDown", "key": key, "code": code, "windowsVirtualKeyCode": vk}
        if len(key) == 1:
            down["text"] = key
        self.call("Input.dispatchKeyEvent", down)
        self.call("Input.dispatchKeyEvent", {"type": "keyUp", "key": key, "code": code, "windowsVirtualKeyCode": vk})

    def mouse(self, kind, x, y, **extra):
        self.call("Input.dispatchMouseEvent", {"type": kind, "x": x, "y": y, **extra})

    def drag(self, x0, y0, x1, y1, steps=5):
        self.mouse("mouseMoved", x0, y0)
        self.mouse("mousePressed", x0, y0, button="left", buttons=1, clickCount=1)
        for i in range(1, steps + 1):
            self.mouse("mouseMoved", x0 + (x1 - x0) * i / steps, y0 + (y1 - y0) * i / steps, button="left", buttons=1)
        self.mouse("mouseReleased", x1, y1, button="left", buttons=0, clickCount=1)

    def screenshot(self, file):
        data = self.call("Page.captureScreenshot", {"format": "png"})["data"]
        Path(file).write_bytes(base64.b64decode(data))


KEYS = {
    "ArrowRight": ("ArrowRight", 39), "ArrowLeft": ("ArrowLeft", 37),
    "ArrowDown": ("ArrowDown", 40), "ArrowUp": ("ArrowUp", 38), " ": ("Space", 32),
    "+": ("Equal", 187), "-": ("Minus", 189), "Escape": ("Escape", 27),
}


class Checks:
    def __init__(self):
        self.failures = []

    def __call__(self, condition, message):
        if not condition:
            self.failures.append(message)
            print("FAIL:", message, flush=True)
        return condition

    def equal(self, actual, expected, message):
        return self(actual == expected, f"{message}: got {actual!r}, expected {expected!r}")


def path_key(path):
    """The page's order of paths: code points, runs of digits by value."""
    key = []
    for digits, other in re.findall(r"(\d+)|(\D+)", path):
        key.append((0, int(digits), len(digits), "") if digits else (1, 0, 0, other))
    return key


STATUS_ORDER = ["changed", "failed", "added", "removed", "unchanged"]
FIGURE_CAPTIONS = ["Same color", "Differ by under 10 %", "Differ by 10–20 %", "Differ by 20–30 %",
                   "Differ by 30–40 %", "Differ by 40–50 %", "Differ by over 50 %"]


def expected_order(pairs, sort):
    def share(p):
        # A picture of another size counts as changed through and through.
        if p.get("resized") and p["status"] == "changed":
            return 1
        return p["nonMatching"] / p["counted"] if p["counted"] else None

    def key(p):
        s = share(p)
        if sort == "share":
            share_key = (s is None, -(s or 0))
        elif sort == "share-asc":
            share_key = (s is None, s or 0)
        else:
            share_key = ()
        return (STATUS_ORDER.index(p["status"]), share_key, path_key(p["path"]), p["index"])

    return [p["index"] for p in sorted(pairs, key=key)]


LISTED = """[...document.querySelectorAll('#pairs .row')].map(r => ({
    index: Number(r.dataset.index), status: r.dataset.status,
    title: r.querySelector('.row-path').title, text: r.querySelector('.row-path').textContent,
    thumb: (r.querySelector('.thumb img') || {}).src || null}))"""

# After the next frame, when zoom and pan have been applied.
SCENE = """new Promise(r => requestAnimationFrame(() => r())).then(() => {
  const d = document.getElementById('detail');
  const canvases = [...document.querySelectorAll('#stage .canvas')];
  const imgs = [...document.querySelectorAll('#stage .canvas img')];
  return {
    pair: Number(d.dataset.pair), view: d.dataset.view, blink: d.dataset.blink || null,
    panes: document.querySelectorAll('#stage .pane').length,
    roles: imgs.map(i => i.dataset.role),
    loaded: imgs.map(i => i.complete && i.naturalWidth > 0),
    natural: imgs.map(i => [i.naturalWidth, i.naturalHeight]),
    transforms: canvases.map(c => c.style.transform),
    boxes: [...document.querySelectorAll('#stage .overlay')].map(o => o.querySelectorAll('rect.box').length),
    boxRects: [...document.querySelectorAll('#stage .overlay')].map(o =>
        [...o.querySelectorAll('rect.box')].map(r => [r.getAttribute('x'), r.getAttribute('y'), r.getAttribute('width')])),
    zoom: document.getElementById('zoom-value').textContent,
    pixelated: document.getElementById('stage').classList.contains('pixelated'),
    hash: location.hash,
    current: (document.querySelector('#pairs [aria-current="true"]') || {dataset: {}}).dataset.index,
    message: document.getElementById('message').hidden ? null : document.getElementById('message').textContent,
    missing: document.querySelectorAll('#stage .picture-missing').length,
    viewButtonsDisabled: [...document.querySelectorAll('#views button')].every(b => b.disabled),
    visible: Object.fromEntries(['opacity', 'blink-pause', 'blink-swap'].map(id =>
        [id, document.getElementById(id).getClientRects().length > 0])),
    divider: !!document.querySelector('#stage .divider [role=slider]'),
    clip: (document.querySelector('#stage .clip') || {style: {}}).style.clipPath || null,
    onion: ((document.querySelectorAll('#stage .canvas')[1] || {style: {}}).style.opacity) || null,
  };
})"""

IMAGES_LOADED = """Promise.all([...document.querySelectorAll('#stage img')].map(i =>
    i.complete ? 1 : new Promise(r => { i.onload = i.onerror = r; })))
  .then(() => new Promise(r => requestAnimationFrame(() => setTimeout(r, 50)))).then(() => true)"""

VISIBLE_THUMBS_LOADED = """(() => {
  const list = document.getElementById('pairs').getBoundingClientRect();
  return [...document.querySelectorAll('#pairs .thumb img')].filter(i => {
    const r = i.getBoundingClientRect(); return r.bottom > list.top && r.top < list.bottom; })
    .every(i => i.complete);
})()"""


def run_fixture(fixture, mode, work):
    out = subprocess.run([fixture, mode, str(work)], capture_output=True, text=True, timeout=600)
    if out.returncode != 0:
        raise Failure(f"duvo_report_fixture {mode} failed: {out.stderr}")
    print(out.stdout.strip(), flush=True)
    return json.loads((work / "expected.json").read_text(encoding="utf-8"))["pairs"]


def check_requests(check, page, report_dir, label):
    inside = report_dir.resolve().as_uri() + "/"
    own = [u for u in page.requests if u.startswith(inside)]
    outside = [u for u in page.requests if not u.startswith(inside)]
    check(not outside, f"{label}: requests outside the report folder: {outside[:10]}")
    for name in ("index.html", "data.js", "report.js", "report.css"):
        check(any(u.split("#")[0] == inside + name for u in own), f"{label}: no request for {name} was seen")
    return own


def few_pairs(check, page, work, expected, shots):
    report = work / "report"
    url = (report / "index.html").resolve().as_uri()
    page.open(url)
    by_index = {p["index"]: p for p in expected}
    changed = [p for p in expected if p["status"] == "changed"]

    # The list: every pair, changed ones first by their share, names shown as
    # they are (spaces, Polish letters, markup in a name is text).
    rows = page.eval(LISTED)
    check.equal(sorted(r["index"] for r in rows), sorted(by_index), "listed pairs")
    check.equal([r["index"] for r in rows], expected_order(expected, "share"), "list order (changed first, by share)")
    check.equal({r["status"] for r in rows[:len(changed)]}, {"changed"}, "the first rows are the changed pairs")
    for r in rows:
        check.equal(r["title"], by_index[r["index"]]["path"], "path in the row's title")
        check.equal(r["text"], by_index[r["index"]]["path"], "path shown in the row")
    check.equal(page.eval("document.querySelectorAll('img[src=\"x\"], script:not([src])').length"), 0,
                "markup from a file name became elements")
    counts = page.eval("Object.fromEntries([...document.querySelectorAll('#counts .count')].map(b => "
                       "[b.dataset.status || 'skipped', Number(b.querySelector('b').textContent)]))")
    for status in STATUS_ORDER:
        check.equal(counts.get(status), sum(p["status"] == status for p in expected), f"count of {status}")
    check.equal(counts.get("skipped"), 3, "count of skipped files")
    check.equal(counts.get("all"), len(expected), "count of all pairs")

    # Thumbnails: a file of their own for pictures over 320 px, else the
    # picture itself; all lazy.
    check(page.eval("[...document.querySelectorAll('#pairs .thumb img')].every(i => i.loading === 'lazy')"),
          "thumbnails are not all lazy")
    for r in rows:
        p = by_index[r["index"]]
        if r["thumb"] is None:
            continue
        big = max(p["listWidth"], p["listHeight"]) > 320
        check(r["thumb"].endswith("-thumb.png") == big, f"thumbnail of {p['path']}: {r['thumb']}")
    big_row = next(r for r in rows if r["thumb"] and r["thumb"].endswith("-thumb.png"))
    page.eval(f"document.getElementById('row-{big_row['index']}').scrollIntoView()")
    page.wait(f"(i => i.complete && i.naturalWidth > 0)(document.querySelector('#row-{big_row['index']} .thumb img'))",
              what="a thumbnail to load")
    size = page.eval(f"(i => [i.naturalWidth, i.naturalHeight])(document.querySelector('#row-{big_row['index']} .thumb img'))")
    check.equal(max(size), 320, "a thumbnail's longest side")

    # Sorting and filtering.
    for sort in ("path", "share-asc", "share"):
        page.eval(f"(s => {{ s.value = '{sort}'; s.dispatchEvent(new Event('change')); }})(document.getElementById('sort'))")
        check.equal([r["index"] for r in page.eval(LISTED)], expected_order(expected, sort), f"list sorted by {sort}")
        check(f"sort={sort}" in page.eval("location.hash") or sort == "share", f"sort {sort} not in the hash")
    for status in ("added", "failed"):
        page.eval(f"document.querySelector('#counts [data-status={status}]').click()")
        listed = page.eval(LISTED)
        check.equal(sorted(r["index"] for r in listed),
                    sorted(p["index"] for p in expected if p["status"] == status), f"filter {status}")
        page.eval(f"document.querySelector('#counts [data-status={status}]').click()")
    check.equal(len(page.eval(LISTED)), len(expected), "every pair listed again after the filter")
    page.eval("document.getElementById('query').focus()")
    page.call("Input.insertText", {"text": "gęślą"})
    listed = page.eval(LISTED)
    check.equal([by_index[r["index"]]["path"] for r in listed], ["dashboard/zażółć gęślą jaźń.png"], "filter by path")
    page.key("Escape")
    page.eval("(q => { q.value = ''; q.dispatchEvent(new Event('input')); })(document.getElementById('query'))")

    # The first changed pair is selected at first; j/k and the arrows go
    # through the changed pairs in list order and stop at either end.
    order = [i for i in expected_order(expected, "share") if by_index[i]["status"] == "changed"]
    page.open(url)
    scene = page.eval(SCENE)
    check.equal(scene["pair"], order[0], "pair selected on opening")
    steps = [("j", 1), ("ArrowRight", 2), ("n", 3), ("k", 2), ("ArrowLeft", 1), ("p", 0), ("k", 0), ("ArrowUp", 0),
             ("ArrowDown", 1)]
    for key, position in steps:
        page.key(key)
        scene = page.eval(SCENE)
        check.equal(scene["pair"], order[position], f"pair after key {key!r}")
        check.equal(scene["current"], str(order[position]), f"row marked after key {key!r}")
        check(f"pair={order[position]}" in scene["hash"], f"hash after key {key!r}: {scene['hash']}")
    for _ in range(len(order) + 2):
        page.key("j")
    check.equal(page.eval(SCENE)["pair"], order[-1], "j past the last changed pair")
    check(page.eval("document.getElementById('next').disabled"), "next button enabled on the last changed pair")
    page.eval("document.getElementById('prev').click()")
    check.equal(page.eval(SCENE)["pair"], order[-2], "previous button")
    # From the last pair of the list (unchanged): the keys skip to the last
    # changed pair; with shift they take the pair before.
    listed = expected_order(expected, "share")
    for key, expect in (("ArrowLeft", order[-1]), ("k", order[-1]), ("p", order[-1]), ("ArrowUp", order[-1]),
                        ("K", listed[-2])):
        page.open(url + f"#pair={listed[-1]}")
        page.key(key)
        check.equal(page.eval(SCENE)["pair"], expect, f"key {key!r} from the last listed pair")
    page.open(url + f"#pair={order[-1]}")
    page.key("J")
    check.equal(page.eval(SCENE)["pair"], listed[len(order)], "J after the last changed pair")

    # The four views of a changed pair, by their keys.
    target = next(p for p in changed if p["path"] == "login/sign in.png")
    page.open(url + f"#pair={target['index']}")
    page.eval(IMAGES_LOADED)
    regions = target["regions"]
    scene = page.eval(SCENE)
    check.equal((scene["view"], scene["panes"], scene["roles"]), ("side", 3, ["base", "diff", "new"]),
                "side by side view")
    check(all(scene["loaded"]), f"side by side pictures not loaded: {scene['loaded']}")
    check.equal(scene["boxes"], [regions] * 3, "region boxes in every pane")
    check(regions > 0, "the changed pair has regions")
    check(not scene["visible"]["opacity"] and not scene["visible"]["blink-pause"],
          "onion and blink controls shown in the side by side view")
    if shots:
        page.wait(VISIBLE_THUMBS_LOADED, what="visible thumbnails")
        page.screenshot(shots / "report-side.png")

    page.key("2")
    page.eval(IMAGES_LOADED)
    scene = page.eval(SCENE)
    check.equal((scene["view"], scene["panes"], scene["roles"]), ("swipe", 1, ["base", "new"]), "swipe view")
    check(scene["divider"] and scene["clip"], "swipe divider or clip missing")
    check("view=swipe" in scene["hash"], "view not in the hash")
    box = page.eval("(r => [r.left, r.top, r.width, r.height])(document.querySelector('#stage .divider .handle')"
                    ".getBoundingClientRect())")
    before = scene["clip"]
    page.drag(box[0] + box[2] / 2, box[1] + box[3] / 2, box[0] - 150, box[1] + box[3] / 2)
    after = page.eval(SCENE)["clip"]
    check(before != after, f"dragging the divider did not move the clip ({before} -> {after})")
    if shots:
        page.screenshot(shots / "report-swipe.png")

    page.key("3")
    scene = page.eval(SCENE)
    check.equal((scene["view"], scene["panes"], scene["roles"]), ("onion", 1, ["base", "new"]), "onion skin view")
    check(scene["visible"]["opacity"], "onion skin opacity control not shown")
    page.eval("(s => { s.value = 20; s.dispatchEvent(new Event('input')); })(document.getElementById('opacity'))")
    check.equal(page.eval(SCENE)["onion"], "0.2", "opacity of the new picture")

    page.key("4")
    scene = page.eval(SCENE)
    check.equal((scene["view"], scene["panes"], scene["roles"]), ("blink", 1, ["base", "new"]), "blink view")
    check(scene["visible"]["blink-pause"] and scene["visible"]["blink-swap"], "blink controls not shown")
    seen = set()
    deadline = time.monotonic() + 2.5
    while time.monotonic() < deadline and len(seen) < 2:
        seen.add(page.eval(SCENE)["blink"])
        time.sleep(0.1)
    check.equal(seen, {"base", "new"}, "blink shows both pictures in turn")
    page.key(" ")
    shown = page.eval(SCENE)["blink"]
    time.sleep(1.2)
    check.equal(page.eval(SCENE)["blink"], shown, "blink paused by the space key")
    page.key("t")
    check(page.eval(SCENE)["blink"] != shown, "t swaps the paused blink")

    # Zoom and pan are one for every pane.
    page.key("1")
    page.eval(IMAGES_LOADED)
    fitted = page.eval(SCENE)
    check(len(set(fitted["transforms"])) == 1, f"panes out of step after fit: {fitted['transforms']}")
    check(not fitted["pixelated"], "pixelated while fitted")
    page.key("0")
    one = page.eval(SCENE)
    check.equal(one["zoom"], "100 %", "zoom after 0")
    vp = page.eval("(r => [r.left, r.top, r.width, r.height])(document.querySelectorAll('#stage .viewport')[1]"
                   ".getBoundingClientRect())")
    page.mouse("mouseWheel", vp[0] + vp[2] / 2, vp[1] + vp[3] / 2, deltaX=0, deltaY=-400)
    time.sleep(0.1)
    zoomed = page.eval(SCENE)
    check(zoomed["zoom"] not in ("100 %",) and int(zoomed["zoom"].split()[0]) > 100, f"wheel zoom: {zoomed['zoom']}")
    check(zoomed["pixelated"], "not pixelated when zoomed in")
    check(len(set(zoomed["transforms"])) == 1, f"panes out of step after the wheel: {zoomed['transforms']}")
    page.drag(vp[0] + vp[2] / 2, vp[1] + vp[3] / 2, vp[0] + vp[2] / 2 - 60, vp[1] + vp[3] / 2 + 40)
    time.sleep(0.1)
    panned = page.eval(SCENE)
    check(panned["transforms"][0] != zoomed["transforms"][0], "drag did not pan")
    check(len(set(panned["transforms"])) == 1, f"panes out of step after a drag: {panned['transforms']}")
    check(len({json.dumps(b) for b in panned["boxRects"]}) == 1, "region boxes out of step across panes")
    check(panned["boxRects"][0] != fitted["boxRects"][0], "region boxes did not follow the zoom")
    page.key("+")
    check(int(page.eval(SCENE)["zoom"].split()[0]) > int(panned["zoom"].split()[0]), "+ did not zoom in")
    page.key("f")
    check.equal(page.eval(SCENE)["transforms"], fitted["transforms"], "f fits again")
    page.key("b")
    check(not page.eval("document.querySelector('#stage .overlay').getClientRects().length"), "b did not hide boxes")
    page.key("b")

    # The seven figures under English captions, with at most two decimals.
    facts = page.eval("[...document.querySelectorAll('#facts .figure')].map(r => "
                      "[r.querySelector('dt').textContent, r.querySelector('dd').textContent])")
    check.equal([f[0] for f in facts], FIGURE_CAPTIONS, "captions of the figures")
    for caption, text in facts:
        check(re.fullmatch(r"([<>] )?\d+(\.\d{1,2})? %", text) is not None, f"figure {caption}: {text!r}")
    keys = page.eval("document.getElementById('keys').textContent")
    check("J/K" in keys and "j/k" in keys, f"the footer names the keys between pairs: {keys!r}")

    # A picture of another size: both sizes in its row, and listed first.
    resized = next(p for p in expected if p["resized"] and p["status"] == "changed")
    check.equal(expected_order(expected, "share")[0], resized["index"], "the resized pair first")
    page.open(url + f"#pair={resized['index']}")
    meta = page.eval(f"document.querySelector('#row-{resized['index']} .share').textContent")
    check.equal(meta, "1,280 × 720 → 1,280 × 700", "the resized pair's row")
    check("the sizes differ" in page.eval("document.getElementById('pair-sub').textContent"),
          "the resized pair's subtitle")

    # Other statuses: one picture, or the reason of the failure.
    for p in expected:
        if p["status"] not in ("added", "removed", "failed"):
            continue
        page.open(url + f"#pair={p['index']}")
        page.eval(IMAGES_LOADED)
        scene = page.eval(SCENE)
        if p["status"] in ("added", "removed"):
            role = "new" if p["status"] == "added" else "base"
            check.equal((scene["view"], scene["panes"], scene["roles"]), ("single", 1, [role]), f"{p['path']}")
            check(all(scene["loaded"]), f"{p['path']}: picture not shown ({scene['natural']})")
            check(scene["viewButtonsDisabled"], f"{p['path']}: view buttons enabled")
        else:
            check(scene["message"] and len(scene["message"]) > 10, f"{p['path']}: no failure message")
            if p["failure"] == "size":
                # Both pictures were read whole: they are what the pair is about.
                check.equal(scene["view"], "side", f"{p['path']}: view")
                check(all(scene["loaded"]), f"{p['path']}: pictures not shown")
            else:
                # Nothing of a pair that could not be compared is copied:
                # each of its files gets a note in its place.
                check.equal((scene["view"], scene["roles"], scene["missing"]),
                            ("single", [], p["base"] + p["new"]), f"{p['path']}: placeholders")
        if p["path"] == "broken/corrupt.png":
            check("Bląd przy wczytywaniu" in scene["message"], "failure message shown as given")

    # A shared link: the hash brings back the pair and the view.
    second = order[1]
    page.open(url + f"#pair={second}&view=onion")
    scene = page.eval(SCENE)
    check.equal((scene["pair"], scene["view"], scene["current"]), (second, "onion", str(second)), "state from the hash")
    page.eval("location.hash = '#pair=%d&view=blink'" % order[2])
    page.wait(f"document.getElementById('detail').dataset.pair === '{order[2]}'", what="the hash change")
    check.equal(page.eval(SCENE)["view"], "blink", "view after a hash change")

    if shots:
        page.open(url + f"#pair={by_index[order[0]]['index']}&view=side")
        page.eval(IMAGES_LOADED)
        page.wait(VISIBLE_THUMBS_LOADED, what="visible thumbnails")
        page.screenshot(shots / "report-first.png")
        page.call("Emulation.setEmulatedMedia", {"features": [{"name": "prefers-color-scheme", "value": "dark"}]})
        time.sleep(0.2)
        page.screenshot(shots / "report-dark.png")
        page.call("Emulation.setEmulatedMedia", {"features": []})
        page.resize(900, 1000)
        time.sleep(0.2)
        page.screenshot(shots / "report-narrow.png")
        page.resize(1440, 900)
    return url, order


def many_pairs(check, page, work, expected):
    url = (work / "report" / "index.html").resolve().as_uri()
    figures = []
    for attempt in range(3):
        page.requests.clear()
        if attempt:
            page.call("Page.reload", {"ignoreCache": attempt == 1})
            page.wait("document.readyState === 'complete' && document.documentElement.dataset.ready === 'true'",
                      what="the reload")
        else:
            page.open(url)
        page.wait("performance.getEntriesByName('duvo-list-painted').length > 0", what="the list to be painted")
        t = page.eval("""(() => {
            const mark = n => performance.getEntriesByName(n)[0].startTime;
            const nav = performance.getEntriesByType('navigation')[0];
            return {rendered: mark('duvo-list-rendered'), painted: mark('duvo-list-painted'),
                    dcl: nav.domContentLoadedEventEnd, load: nav.loadEventEnd,
                    rows: document.querySelectorAll('#pairs .row').length};
        })()""")
        t["thumbs"] = sum(u.endswith("-thumb.png") for u in page.requests)
        figures.append(t)
        print(f"500 pairs, load {attempt + 1}: list rendered {t['rendered']:.0f} ms, painted {t['painted']:.0f} ms, "
              f"DOMContentLoaded {t['dcl']:.0f} ms, load {t['load']:.0f} ms after navigation start; "
              f"{t['thumbs']} thumbnails fetched at first", flush=True)
        check.equal(t["rows"], len(expected), "rows of the 500-pair list")
        check(t["painted"] < LIST_BUDGET_MS, f"500-pair list painted after {t['painted']:.0f} ms")
        check(t["thumbs"] < 60, f"{t['thumbs']} thumbnails fetched at once: lazy loading does not work")
    changed = [i for i in expected_order(expected, "share") if expected[i]["status"] == "changed"]
    check.equal(page.eval(SCENE)["pair"], changed[0], "first changed pair of 500")
    page.key("j")
    check.equal(page.eval(SCENE)["pair"], changed[1], "j among 500 pairs")
    return figures


def write_png(path, width, height, color_at):
    """An 8-bit RGB PNG of color_at(x, y) -> (r, g, b)."""
    raw = b"".join(b"\0" + bytes(c for x in range(width) for c in color_at(x, y)) for y in range(height))

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)) +
                     chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b""))


def page_picture(box):
    """A white page with a blue box (x0, y0, x1, y1)."""
    return lambda x, y: (37, 99, 235) if box[0] <= x < box[2] and box[1] <= y < box[3] else (255, 255, 255)


def tool_report(check, browser, tool, work, shots):
    """A report made by duvo-compare itself, of a tree made here."""
    base, new = work / "base", work / "new"
    write_png(base / "page" / "home.png", 200, 120, page_picture((20, 20, 80, 60)))
    write_png(new / "page" / "home.png", 200, 120, page_picture((30, 20, 90, 60)))
    write_png(base / "banner.png", 200, 60, page_picture((10, 10, 50, 30)))
    write_png(new / "banner.png", 200, 50, page_picture((10, 10, 50, 30)))
    for side in (base, new):
        write_png(side / "same.png", 40, 30, page_picture((5, 5, 10, 10)))
    write_png(new / "added.png", 200, 120, page_picture((0, 0, 10, 10)))
    write_png(base / "removed.png", 64, 48, page_picture((0, 0, 10, 10)))
    (base / "broken.png").write_bytes(b"\x89PNG\r\n\x1a\n not a picture")
    write_png(new / "broken.png", 200, 120, page_picture((0, 0, 10, 10)))
    (work / "secret.png").write_bytes(b"someone else's file")
    os.symlink(work / "secret.png", new / "escape.png")
    os.mkfifo(new / "pipe.png")
    os.symlink(".", new / "loop")
    os.symlink("page", new / "alias")
    report = work / "report"
    out = subprocess.run([tool, "--report", str(report), str(base), str(new)], capture_output=True, text=True,
                         timeout=60)
    check.equal(out.returncode, 2, "duvo-compare --report status (failed pairs)")
    expected = {"page/home.png": "changed", "banner.png": "changed", "same.png": "unchanged", "added.png": "added",
                "removed.png": "removed", "broken.png": "failed", "escape.png": "failed", "pipe.png": "failed",
                "loop": "failed"}

    page = Page(browser)
    url = (report / "index.html").resolve().as_uri()
    page.open(url)
    rows = page.eval(LISTED)
    check.equal({r["title"]: r["status"] for r in rows}, expected, "pairs of the tool's report")
    check.equal([r["title"] for r in rows[:2]], ["banner.png", "page/home.png"],
                "changed pairs first, the resized one before the other")
    index = {r["title"]: r["index"] for r in rows}
    check.equal(page.eval(f"document.querySelector('#row-{index['banner.png']} .share').textContent"),
                "200 × 60 → 200 × 50", "the resized pair's row")

    page.open(url + f"#pair={index['page/home.png']}&view=side")
    page.eval(IMAGES_LOADED)
    scene = page.eval(SCENE)
    check.equal((scene["roles"], scene["loaded"], scene["natural"]),
                (["base", "diff", "new"], [True] * 3, [[200, 120]] * 3), "the changed pair's three pictures")
    # The difference pane holds the highlight picture the tool draws for the
    # pair (the tool compares the two pictures' pixels).
    shown = page.eval("document.querySelector('#stage img[data-role=diff]').getAttribute('src')")
    want = work / "highlight.png"
    subprocess.run([tool, "--diff-style", "highlight", "--diff", str(want), str(base / "page" / "home.png"),
                    str(new / "page" / "home.png")], capture_output=True, timeout=60)
    same = subprocess.run([tool, str(want), str(report / shown)], capture_output=True, timeout=60)
    check.equal(same.returncode, 0, "the difference pane shows the highlight picture")
    facts = page.eval("[...document.querySelectorAll('#facts .figure')].map(r => "
                      "[r.querySelector('dt').textContent, r.querySelector('dd').textContent])")
    check.equal([f[0] for f in facts], FIGURE_CAPTIONS, "captions of the tool's figures")
    for caption, text in facts:
        check(re.fullmatch(r"([<>] )?\d+(\.\d{1,2})? %", text) is not None, f"figure {caption}: {text!r}")
    if shots:
        page.screenshot(shots / "report-tool.png")

    sizes = """Object.fromEntries([...document.querySelectorAll('#facts .counts-list dt')].map(t =>
        [t.textContent, t.nextElementSibling.textContent]))"""
    page.open(url + f"#pair={index['added.png']}")
    check.equal(page.eval(sizes).get("New"), "200 × 120", "the size of an added picture")

    # Nothing of a failed pair is in the report: a note in each picture's
    # place, no broken picture, and the link out of the tree not followed.
    for path, files in (("broken.png", 2), ("escape.png", 1), ("pipe.png", 1), ("loop", 1)):
        page.open(url + f"#pair={index[path]}")
        scene = page.eval(SCENE)
        check.equal((scene["roles"], scene["missing"]), ([], files), f"{path}: placeholders")
        text = page.eval("document.getElementById('stage').textContent")
        check("Not copied into the report" in text, f"{path}: placeholder text {text!r}")
        check("Nieznany" not in text + (scene["message"] or ""), f"{path}: a note of the desktop program")
    check(not any("secret" in u for u in page.requests), "the file a link leads to was requested")
    copied = [f.read_bytes() for f in (report / "pictures").iterdir()]
    check(all(b"someone else" not in c for c in copied), "the file a link leads to was copied")
    check_requests(check, page, report, "the tool's report")
    check(not page.errors, f"errors in the tool's report: {page.errors[:10]}")


def dump_dom(check, chromium, url, pair, profile):
    out = subprocess.run([chromium, *CHROMIUM_FLAGS, "--user-data-dir=" + str(profile), "--dump-dom",
                          url + f"#pair={pair}&view=blink"], capture_output=True, text=True, timeout=120)
    check.equal(out.returncode, 0, "chromium --dump-dom status")
    dom = out.stdout
    check(re.search(r'<main[^>]*id="detail"[^>]*data-view="blink"', dom) is not None, "--dump-dom: blink view")
    check(f'data-pair="{pair}"' in dom, "--dump-dom: the pair of the hash")
    check(f'id="row-{pair}" ' in dom and 'aria-current="true"' in dom, "--dump-dom: the pair's row marked")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--fixture", required=True)
    parser.add_argument("--tool", required=True, help="duvo-compare")
    parser.add_argument("--work", required=True, type=Path)
    parser.add_argument("--chromium", default=shutil.which("chromium") or shutil.which("chromium-browser"))
    parser.add_argument("--screenshots", type=Path, help="folder for screenshots (default: WORK/screenshots)")
    args = parser.parse_args()
    if not args.chromium:
        print("chromium is not installed: skipped")
        return SKIP

    shots = args.screenshots or args.work / "screenshots"
    shutil.rmtree(args.work, ignore_errors=True)
    shots.mkdir(parents=True, exist_ok=True)
    few_dir, many_dir = args.work / "few", args.work / "many"
    check = Checks()
    try:
        few = run_fixture(args.fixture, "few", few_dir)
        many = run_fixture(args.fixture, "many", many_dir)
        with tempfile.TemporaryDirectory(prefix="duvo-chromium-") as profile, \
                open(args.work / "chromium.log", "w") as log:
            browser = Browser(args.chromium, Path(profile) / "devtools", log)
            try:
                page = Page(browser)
                url, order = few_pairs(check, page, few_dir, few, shots)
                check_requests(check, page, few_dir / "report", "few pairs")
                check(not page.errors, f"errors in the page: {page.errors[:10]}")
                check(not page.dialogs, f"dialogs opened: {page.dialogs}")

                fast = Page(browser)
                many_pairs(check, fast, many_dir, many)
                check_requests(check, fast, many_dir / "report", "500 pairs")
                check(not fast.errors, f"errors in the 500-pair page: {fast.errors[:10]}")

                tool_report(check, browser, args.tool, args.work / "tool", shots)

                # The page's policy stops a request that would leave the
                # folder, and the recording sees such requests at all.
                blocked = page.eval("""new Promise(done => {
                    document.addEventListener('securitypolicyviolation', () => done(true), {once: true});
                    const img = new Image(); img.src = 'http://127.0.0.1:9/leak.png'; document.body.append(img);
                    setTimeout(() => done(false), 3000); })""")
                check(blocked, "an outside picture was not stopped by the page's policy")
                control = Page(browser)
                control.eval("fetch('http://127.0.0.1:9/control').catch(() => 0).then(() => true)")
                check(any(u.startswith("http://127.0.0.1:9/control") for u in control.requests),
                      "the recording of requests saw no request at all")
            finally:
                browser.close()
            dump_dom(check, args.chromium, url, order[1], Path(profile) / "dump")
    except Failure as e:
        check(False, str(e))
    if check.failures:
        print(f"{len(check.failures)} check(s) failed; screenshots in {shots}")
        return 1
    print(f"all checks passed; screenshots in {shots}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
