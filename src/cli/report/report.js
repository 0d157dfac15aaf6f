// The report page: the list of pairs, the selected pair in four views with
// one zoom and pan for all of their panes, and the keys. Everything comes
// from window.DUVO_REPORT (data.js beside this file): nothing is fetched, so
// the page works from file:// and loads nothing but the pictures in its folder.
(function () {
  "use strict";

  const data = window.DUVO_REPORT;
  const $ = (id) => document.getElementById(id);

  if (!data || !Array.isArray(data.pairs)) {
    document.body.textContent = "The report's data (data.js) is missing or damaged.";
    return;
  }

  // The list shows changed pairs first, then what else needs a look.
  const STATUS_ORDER = ["changed", "failed", "added", "removed", "unchanged"];
  const VIEWS = ["side", "swipe", "onion", "blink"];
  const SORTS = ["share", "share-asc", "path"];
  const ZOOM_STEPS = [1 / 32, 1 / 16, 1 / 8, 1 / 4, 1 / 3, 1 / 2, 2 / 3, 1, 1.5, 2, 3, 4, 6, 8, 12, 16, 24, 32, 48, 64];
  const MIN_ZOOM = 1 / 64;
  const MAX_ZOOM = 64;
  const BLINK_MS = 500;
  // Boxes are drawn at least this many screen pixels wide, so that a change
  // of one pixel stays visible with the picture fitted.
  const MIN_BOX = 8;
  const THUMB_W = 84;
  const THUMB_H = 56;
  const SVG = "http://www.w3.org/2000/svg";
  const numberFormat = new Intl.NumberFormat("en-US");
  // The seven figures in the tool's order: the share of identical colors,
  // then of colors apart by up to 10 %, 10 to 20 %, ... over 50 %.
  const FIGURE_CAPTIONS = [
    "Same color",
    "Differ by under 10 %",
    "Differ by 10–20 %",
    "Differ by 20–30 %",
    "Differ by 30–40 %",
    "Differ by 40–50 %",
    "Differ by over 50 %",
  ];

  const pairs = data.pairs.map((p, index) => {
    const share = p.counted > 0 ? p.nonMatching / p.counted : null;
    const resized = p.baseWidth > 0 && p.newWidth > 0 && (p.baseWidth !== p.newWidth || p.baseHeight !== p.newHeight);
    // A picture of another size is changed through and through, whatever
    // share of the common area differs.
    const rank = resized && p.status === "changed" ? 1 : share;
    const cut = p.path.lastIndexOf("/");
    return Object.assign({}, p, { index, share, resized, rank, dir: p.path.slice(0, cut + 1), name: p.path.slice(cut + 1) });
  });

  const state = {
    pair: -1,
    view: "side",
    sort: "share",
    status: "all",
    query: "",
    zoom: 1,
    tx: 0,
    ty: 0,
    fit: true,
    boxes: true,
    opacity: 50,
    swipe: 0.5,
    blinkPaused: false,
    blinkNew: false,
  };
  let order = []; // the listed pairs' indices, in list order
  let scene = null; // what the selected pair shows: panes, canvases, overlays
  let blinkTimer = 0;
  let frame = 0;

  // ---- Helpers ---------------------------------------------------------------

  function escapeHtml(text) {
    return String(text).replace(/[&<>"']/g, (c) => ({ "&": "&amp;", "<": "&lt;", ">": "&gt;", '"': "&quot;", "'": "&#39;" })[c]);
  }

  // Picture names are the report's own, but encode each segment anyway, so
  // that a space or a non-ASCII letter never breaks a URL.
  function pictureUrl(path) {
    return path.split("/").map(encodeURIComponent).join("/");
  }

  function count(n) {
    return numberFormat.format(n);
  }

  function shareText(share) {
    if (share === null) return "";
    if (share === 0) return "0 %";
    if (share < 0.0001) return "< 0.01 %";
    return (share * 100).toFixed(share < 0.1 ? 2 : 1) + " %";
  }

  function sizeText(w, h) {
    return w > 0 && h > 0 ? count(w) + " × " + count(h) : "—";
  }

  // A figure in percent with at most two decimals; never 0 or 100 when it is not.
  function percentText(v) {
    if (!Number.isFinite(v)) return "—";
    if (v <= 0) return "0 %";
    if (v >= 100) return "100 %";
    if (v < 0.01) return "< 0.01 %";
    if (v > 99.99) return "> 99.99 %";
    return String(Math.round(v * 100) / 100) + " %";
  }

  function resizeText(p) {
    return sizeText(p.baseWidth, p.baseHeight) + " → " + sizeText(p.newWidth, p.newHeight);
  }

  function element(tag, className, text) {
    const e = document.createElement(tag);
    if (className) e.className = className;
    if (text !== undefined) e.textContent = text;
    return e;
  }

  // Paths compare by code points, runs of digits by their value, so that
  // "shot-2" comes before "shot-10" whatever the browser's language.
  function comparePaths(a, b) {
    const re = /(\d+)|(\D+)/g;
    const pa = a.match(re) || [];
    const pb = b.match(re) || [];
    for (let i = 0; i < Math.min(pa.length, pb.length); ++i) {
      const x = pa[i];
      const y = pb[i];
      if (x === y) continue;
      const dx = /^\d/.test(x);
      const dy = /^\d/.test(y);
      if (dx && dy) {
        const nx = x.replace(/^0+/, "");
        const ny = y.replace(/^0+/, "");
        if (nx.length !== ny.length) return nx.length - ny.length;
        if (nx !== ny) return nx < ny ? -1 : 1;
        return x.length - y.length;
      }
      return x < y ? -1 : 1;
    }
    return pa.length - pb.length;
  }

  function statusRank(status) {
    const r = STATUS_ORDER.indexOf(status);
    return r < 0 ? STATUS_ORDER.length : r;
  }

  // ---- The URL hash keeps the state ------------------------------------------

  function readHash() {
    const h = new URLSearchParams(location.hash.replace(/^#/, ""));
    const pair = Number.parseInt(h.get("pair"), 10);
    state.pair = Number.isInteger(pair) && pair >= 0 && pair < pairs.length ? pair : -1;
    state.view = VIEWS.includes(h.get("view")) ? h.get("view") : "side";
    state.sort = SORTS.includes(h.get("sort")) ? h.get("sort") : "share";
    const status = h.get("status");
    state.status = status && STATUS_ORDER.includes(status) ? status : "all";
    state.query = h.get("q") || "";
  }

  function writeHash() {
    const h = new URLSearchParams();
    if (state.pair >= 0) h.set("pair", String(state.pair));
    h.set("view", state.view);
    if (state.sort !== "share") h.set("sort", state.sort);
    if (state.status !== "all") h.set("status", state.status);
    if (state.query) h.set("q", state.query);
    const hash = "#" + h.toString();
    if (hash !== location.hash) history.replaceState(null, "", hash);
  }

  // ---- Summary ---------------------------------------------------------------

  function renderSummary() {
    for (const [id, dir] of [["base-dir", data.baseDir], ["new-dir", data.newDir]]) {
      $(id).textContent = dir;
      $(id).parentElement.title = dir;
    }
    $("tool").textContent = data.tool || "";
    const s = data.summary || {};
    const total = pairs.length;
    const changed = s.changed || 0;
    document.title = "DUVO report: " + count(changed) + " changed of " + count(total);
    const nav = $("counts");
    nav.textContent = "";
    const add = (status, label, n) => {
      const b = element("button", "count" + (status === "all" ? "" : " st-" + status));
      b.type = "button";
      b.dataset.status = status;
      b.append(element("b", "", count(n)), " " + label);
      b.title = status === "all" ? "Show every pair" : "Show only the " + label.toLowerCase() + " pairs";
      nav.append(b);
    };
    add("all", "All", total);
    add("changed", "Changed", changed);
    add("added", "Added", s.added || 0);
    add("removed", "Removed", s.removed || 0);
    add("failed", "Failed", s.failed || 0);
    add("unchanged", "Unchanged", s.unchanged || 0);
    const skipped = element("span", "count skipped");
    skipped.title = "Files that are not pictures, not compared";
    skipped.append(element("b", "", count(s.skipped || 0)), " Skipped");
    nav.append(skipped);
    updateSummaryPressed();
  }

  function updateSummaryPressed() {
    for (const b of $("counts").querySelectorAll("button")) b.setAttribute("aria-pressed", String(b.dataset.status === state.status));
  }

  // ---- The list --------------------------------------------------------------

  function listOrder() {
    const q = state.query.toLowerCase();
    const list = pairs.filter(
      (p) => (state.status === "all" || p.status === state.status) && (!q || p.path.toLowerCase().includes(q)),
    );
    const byShare = (a, b, sign) => {
      if (a.rank === b.rank) return 0;
      if (a.rank === null) return 1;
      if (b.rank === null) return -1;
      return sign * (a.rank - b.rank);
    };
    list.sort((a, b) => {
      const r = statusRank(a.status) - statusRank(b.status);
      if (r !== 0) return r;
      let c = 0;
      if (state.sort === "share") c = byShare(a, b, -1);
      else if (state.sort === "share-asc") c = byShare(a, b, 1);
      return c || comparePaths(a.path, b.path) || a.index - b.index;
    });
    return list.map((p) => p.index);
  }

  // The size of the picture a thumbnail shows, whose pixels the regions count.
  function thumbSource(p) {
    if (p.diff) return [p.width, p.height];
    if (p.new) return [p.newWidth, p.newHeight];
    return [p.baseWidth, p.baseHeight];
  }

  function thumbHtml(p) {
    if (!p.thumb) return '<span class="thumb" aria-hidden="true"><span class="none">∅</span></span>';
    const [sw, sh] = thumbSource(p);
    const tw = p.thumbWidth || sw;
    const th = p.thumbHeight || sh;
    let w = THUMB_W;
    let h = THUMB_H;
    if (tw > 0 && th > 0) {
      const s = Math.min(THUMB_W / tw, THUMB_H / th);
      w = Math.max(1, Math.round(tw * s));
      h = Math.max(1, Math.round(th * s));
    }
    let boxes = "";
    if (p.status === "changed" && p.regions.length && sw > 0 && sh > 0) {
      const minUnits = (4 * sw) / w;
      boxes = `<svg width="${w}" height="${h}" viewBox="0 0 ${sw} ${sh}" preserveAspectRatio="none" aria-hidden="true">`;
      for (const [x, y, rw, rh] of p.regions.slice(0, 24)) {
        const bw = Math.max(rw, minUnits);
        const bh = Math.max(rh, minUnits);
        boxes += `<rect x="${x + rw / 2 - bw / 2}" y="${y + rh / 2 - bh / 2}" width="${bw}" height="${bh}" fill="none" stroke="#ff2d95" stroke-width="1.5" vector-effect="non-scaling-stroke"/>`;
      }
      boxes += "</svg>";
    }
    return (
      `<span class="thumb"><span class="thumb-in"><img loading="lazy" decoding="async" alt="" width="${w}" height="${h}" ` +
      `src="${escapeHtml(pictureUrl(p.thumb))}">${boxes}</span></span>`
    );
  }

  function rowHtml(p) {
    const meta = [`<span class="badge">${p.status}</span>`];
    if (p.resized) meta.push(`<span class="share">${escapeHtml(resizeText(p))}</span>`);
    else if (p.share !== null && p.status !== "unchanged") meta.push(`<span class="share">${shareText(p.share)}</span>`);
    if (p.status === "changed" && p.regions.length)
      meta.push(`<span>${p.regions.length} region${p.regions.length === 1 ? "" : "s"}</span>`);
    if (p.status === "failed" && p.message) meta.push(`<span class="why">${escapeHtml(p.message.split("\n")[0])}</span>`);
    return (
      `<li class="row st-${escapeHtml(p.status)}" id="row-${p.index}" data-index="${p.index}" data-status="${escapeHtml(p.status)}">` +
      `<a href="#pair=${p.index}" data-index="${p.index}">${thumbHtml(p)}<span class="row-text">` +
      `<span class="row-path" title="${escapeHtml(p.path)}"><bdi><span class="row-dir">${escapeHtml(p.dir)}</span>${escapeHtml(p.name)}</bdi></span>` +
      `<span class="row-meta">${meta.join("")}</span></span></a></li>`
    );
  }

  function renderList() {
    order = listOrder();
    const list = $("pairs");
    list.innerHTML = order.length
      ? order.map((i) => rowHtml(pairs[i])).join("")
      : '<li class="list-empty">No pair matches.</li>';
    const changed = order.filter((i) => pairs[i].status === "changed").length;
    $("list-count").textContent =
      count(order.length) + (order.length === 1 ? " pair" : " pairs") + (changed ? ", " + count(changed) + " changed" : "");
    markSelectedRow(false);
    updateNavButtons();
    renderSubtitle();
  }

  function markSelectedRow(scroll) {
    const old = $("pairs").querySelector('[aria-current="true"]');
    if (old) old.removeAttribute("aria-current");
    const row = $("row-" + state.pair);
    if (!row) return;
    row.setAttribute("aria-current", "true");
    if (scroll) row.scrollIntoView({ block: "nearest" });
  }

  // The next (step 1) or previous (-1) listed pair, changed ones only when
  // asked; -1 when there is none.
  function neighbour(step, changedOnly) {
    let pos = order.indexOf(state.pair);
    if (pos < 0) pos = step > 0 ? -1 : order.length;
    for (let k = pos + step; k >= 0 && k < order.length; k += step)
      if (!changedOnly || pairs[order[k]].status === "changed") return order[k];
    return -1;
  }

  function updateNavButtons() {
    $("prev").disabled = neighbour(-1, true) < 0;
    $("next").disabled = neighbour(1, true) < 0;
  }

  function go(step, changedOnly) {
    const target = neighbour(step, changedOnly);
    if (target >= 0) select(target, true);
  }

  // ---- The selected pair -----------------------------------------------------

  function select(index, scroll) {
    state.pair = index;
    state.fit = true;
    markSelectedRow(scroll);
    updateNavButtons();
    renderDetail();
    writeHash();
  }

  // What the pair can show: the four views need both pictures.
  function effectiveView(p) {
    return p.base && p.new ? state.view : "single";
  }

  function renderDetail() {
    stopBlink();
    const p = pairs[state.pair];
    const detail = $("detail");
    const stage = $("stage");
    // The view's own controls live in its pane while it is shown.
    $("view-controls").append($("onion-control"), $("blink-control"));
    stage.textContent = "";
    scene = null;
    if (!p) {
      $("pair-path").textContent = "No pair";
      $("pair-sub").textContent = "";
      $("facts").textContent = "";
      detail.dataset.view = "none";
      return;
    }
    $("pair-path").textContent = p.path;
    renderSubtitle();

    const message = $("message");
    const lines = [];
    if (p.status === "failed") lines.push(p.message || "The pair could not be compared.");
    for (const note of p.notes || []) lines.push(note);
    message.hidden = lines.length === 0;
    message.className = "message" + (p.status === "failed" ? "" : " note");
    message.textContent = lines.join("\n");

    const view = effectiveView(p);
    detail.dataset.view = view;
    detail.dataset.pair = String(p.index);
    detail.dataset.status = p.status;
    for (const b of $("views").querySelectorAll("button")) {
      b.disabled = view === "single";
      b.setAttribute("aria-pressed", String(view !== "single" && b.dataset.view === state.view));
    }
    $("toolbar").classList.toggle("single", view === "single");

    scene = buildScene(p, view);
    arrange();
    stage.classList.toggle("no-boxes", !state.boxes);
    renderFacts(p);
    if (view === "blink") startBlink();
    fitOrApply();
  }

  // Status, share and the place in the list, which a new sort changes.
  function renderSubtitle() {
    const p = pairs[state.pair];
    const sub = $("pair-sub");
    sub.textContent = "";
    if (!p) return;
    sub.append(element("span", "badge st-" + p.status, p.status));
    if (p.resized) sub.append(element("span", "", "the sizes differ: " + resizeText(p)));
    else if (p.share !== null && p.status !== "unchanged") sub.append(element("span", "", shareText(p.share) + " of the pixels differ"));
    const changedOrder = order.filter((i) => pairs[i].status === "changed");
    if (p.status === "changed" && changedOrder.includes(p.index))
      sub.append(element("span", "", "changed pair " + (changedOrder.indexOf(p.index) + 1) + " of " + changedOrder.length));
    else if (order.includes(p.index))
      sub.append(element("span", "", "pair " + (order.indexOf(p.index) + 1) + " of " + order.length + " listed"));
  }

  function pictureSize(p) {
    const w = Math.max(p.base ? p.baseWidth : 0, p.new ? p.newWidth : 0, p.diff ? p.width : 0);
    const h = Math.max(p.base ? p.baseHeight : 0, p.new ? p.newHeight : 0, p.diff ? p.height : 0);
    return { w, h };
  }

  function buildScene(p, view) {
    const s = { pair: p, view, size: pictureSize(p), panes: [], viewports: [], canvases: [], overlays: [], clip: null, divider: null };
    const stage = $("stage");

    const pane = (label, detailText, role, controls) => {
      const el = element("div", "pane");
      if (role) el.dataset.role = role;
      const head = element("div", "pane-label");
      head.append(element("b", "", label));
      if (controls) head.append(controls);
      else if (detailText) head.append(element("span", "", detailText));
      const vp = element("div", "viewport");
      el.append(head, vp);
      stage.append(el);
      s.panes.push(el);
      s.viewports.push(vp);
      attachPanZoom(vp);
      return vp;
    };
    const canvas = (parent, src, role, which) => {
      const c = element("div", "canvas");
      c.dataset.role = role;
      if (src) {
        const img = document.createElement("img");
        img.alt = which;
        img.draggable = false;
        img.dataset.role = role;
        img.addEventListener("load", () => grow(s, img));
        img.addEventListener("error", () => {
          // The note instead of the browser's broken-picture sign.
          img.remove();
          const missing = element("div", "picture-missing", "The " + which + " cannot be shown.");
          parent.append(missing);
        });
        img.src = pictureUrl(src);
        c.append(img);
      }
      parent.append(c);
      s.canvases.push(c);
      return c;
    };
    const overlay = (vp) => {
      const svg = document.createElementNS(SVG, "svg");
      svg.setAttribute("class", "overlay");
      svg.setAttribute("aria-hidden", "true");
      const rects = [];
      for (const r of p.status === "changed" ? p.regions : []) {
        const halo = document.createElementNS(SVG, "rect");
        halo.setAttribute("class", "halo");
        const box = document.createElementNS(SVG, "rect");
        box.setAttribute("class", "box");
        const title = document.createElementNS(SVG, "title");
        title.textContent = `${count(r[2])} × ${count(r[3])} at ${r[0]}, ${r[1]}: ${count(r[4])} px`;
        box.append(title);
        svg.append(halo, box);
        rects.push([r, halo, box]);
      }
      vp.append(svg);
      s.overlays.push(rects);
    };
    const corner = (vp, side, text) => {
      const c = element("span", "corner " + side, text);
      vp.append(c);
      return c;
    };
    const sizeOf = (w, h) => (w > 0 ? w + " × " + h : "");
    // A side whose file is not in the report: a pane with the reason.
    const placeholder = (label, why, role) => {
      const el = element("div", "pane");
      el.dataset.role = role + "-missing";
      const head = element("div", "pane-label");
      head.append(element("b", "", label));
      const body = element("div", "viewport placeholder");
      body.append(element("div", "picture-missing", why));
      el.append(head, body);
      stage.append(el);
      s.panes.push(el);
    };

    if (view === "side") {
      let vp = pane("Base", sizeOf(p.baseWidth, p.baseHeight));
      canvas(vp, p.base, "base", "base picture");
      overlay(vp);
      if (p.diff) {
        vp = pane("Difference", sizeOf(p.width, p.height), "diff");
        canvas(vp, p.diff, "diff", "difference picture");
        overlay(vp);
      }
      vp = pane("New", sizeOf(p.newWidth, p.newHeight));
      canvas(vp, p.new, "new", "new picture");
      overlay(vp);
    } else if (view === "swipe") {
      const vp = pane("Swipe", "drag the divider: base on the left, new on the right");
      canvas(vp, p.base, "base", "base picture");
      const clip = element("div", "clip");
      vp.append(clip);
      canvas(clip, p.new, "new", "new picture");
      s.clip = clip;
      overlay(vp);
      corner(vp, "left", "Base");
      corner(vp, "right", "New");
      s.divider = makeDivider(vp);
    } else if (view === "onion") {
      const vp = pane("Onion skin", "", "", $("onion-control"));
      canvas(vp, p.base, "base", "base picture");
      const top = canvas(vp, p.new, "new", "new picture");
      s.onionTop = top;
      top.style.opacity = String(state.opacity / 100);
      overlay(vp);
    } else if (view === "blink") {
      const vp = pane("Blink", "", "", $("blink-control"));
      canvas(vp, p.base, "base", "base picture");
      s.blinkTop = canvas(vp, p.new, "new", "new picture");
      overlay(vp);
      s.blinkCorner = corner(vp, "left", "Base");
    } else {
      if (p.baseWhy) placeholder("Base", p.baseWhy, "base");
      const only = p.new ? ["New", p.new, "new", p.newWidth, p.newHeight] : ["Base", p.base, "base", p.baseWidth, p.baseHeight];
      if (only[1]) {
        const label = p.status === "added" ? "New (only in the new folder)" : p.status === "removed" ? "Base (only in the base folder)" : only[0];
        const vp = pane(label, sizeOf(only[3], only[4]));
        canvas(vp, only[1], only[2], only[0].toLowerCase() + " picture");
        overlay(vp);
      } else if (p.status !== "failed" && !p.baseWhy && !p.newWhy) {
        stage.append(element("p", "picture-missing", "No picture of this pair is in the report."));
      }
      if (p.newWhy) placeholder("New", p.newWhy, "new");
    }
    return s;
  }

  // Side by side puts its panes in a row, a column or two by two, whichever
  // shows the picture largest in the stage.
  function arrange() {
    const stage = $("stage");
    const n = scene ? scene.panes.length : 0;
    const grid = [n || 1, 1];
    if (n > 1 && scene.size.w > 0 && scene.size.h > 0) {
      const gap = 8;
      const label = scene.panes[0].firstChild.offsetHeight + 2;
      const sw = stage.clientWidth;
      const sh = stage.clientHeight;
      const options = [[n, 1], [1, n]];
      if (n > 2) options.push([2, Math.ceil(n / 2)]);
      let best = 0;
      for (const [cols, rows] of options) {
        const pw = (sw - gap * (cols - 1)) / cols;
        const ph = (sh - gap * (rows - 1)) / rows - label;
        const z = Math.min(pw / scene.size.w, ph / scene.size.h);
        if (z > best * 1.02) {
          best = z;
          grid[0] = cols;
          grid[1] = rows;
        }
      }
    }
    stage.style.gridTemplateColumns = `repeat(${grid[0]}, minmax(0, 1fr))`;
    stage.style.gridTemplateRows = `repeat(${grid[1]}, minmax(0, 1fr))`;
    // Two by two: base and new side by side, the difference under them.
    const square = grid[0] === 2 && grid[1] === 2;
    stage.classList.toggle("square", square);
    for (const pane of scene ? scene.panes : []) pane.style.order = square && pane.dataset.role === "diff" ? "1" : "0";
  }

  // A picture whose size the data did not know (a failed pair) sets it when
  // it has loaded.
  function grow(s, img) {
    if (scene !== s) return; // a picture of a pair no longer shown
    const size = s.size;
    if (img.naturalWidth > size.w || img.naturalHeight > size.h) {
      size.w = Math.max(size.w, img.naturalWidth);
      size.h = Math.max(size.h, img.naturalHeight);
      fitOrApply();
    }
  }

  function makeDivider(vp) {
    const d = element("div", "divider");
    const handle = element("div", "handle", "⇔");
    handle.tabIndex = 0;
    handle.setAttribute("role", "slider");
    handle.setAttribute("aria-label", "Swipe position");
    handle.setAttribute("aria-valuemin", "0");
    handle.setAttribute("aria-valuemax", "100");
    d.append(handle);
    vp.append(d);
    const moveTo = (clientX) => {
      const rect = vp.getBoundingClientRect();
      state.swipe = Math.min(1, Math.max(0, (clientX - rect.left) / rect.width));
      applySwipe();
    };
    handle.addEventListener("pointerdown", (e) => {
      e.stopPropagation();
      e.preventDefault();
      handle.setPointerCapture(e.pointerId);
      handle.focus();
    });
    handle.addEventListener("pointermove", (e) => {
      if (handle.hasPointerCapture(e.pointerId)) moveTo(e.clientX);
    });
    // A click on the picture (without a drag) also moves the divider there.
    vp.addEventListener("click", (e) => {
      if (!vp.dataset.dragged) moveTo(e.clientX);
    });
    handle.addEventListener("keydown", (e) => {
      const step = e.shiftKey ? 0.1 : 0.02;
      if (e.key === "ArrowLeft" || e.key === "ArrowDown") state.swipe = Math.max(0, state.swipe - step);
      else if (e.key === "ArrowRight" || e.key === "ArrowUp") state.swipe = Math.min(1, state.swipe + step);
      else if (e.key === "Home") state.swipe = 0;
      else if (e.key === "End") state.swipe = 1;
      else return;
      e.preventDefault();
      e.stopPropagation();
      applySwipe();
    });
    return d;
  }

  function applySwipe() {
    if (!scene || !scene.divider) return;
    const w = scene.viewports[0].clientWidth;
    const x = Math.round(state.swipe * w);
    scene.divider.style.left = x + "px";
    scene.clip.style.clipPath = `inset(0 0 0 ${x}px)`;
    const handle = scene.divider.firstChild;
    handle.setAttribute("aria-valuenow", String(Math.round(state.swipe * 100)));
    handle.setAttribute("aria-valuetext", Math.round(state.swipe * 100) + " % base");
  }

  // ---- Zoom and pan, shared by every pane of the view ------------------------

  function viewportSize() {
    const vp = scene && scene.viewports[0];
    return vp ? { w: vp.clientWidth, h: vp.clientHeight } : { w: 0, h: 0 };
  }

  function fit() {
    if (!scene || !scene.viewports.length) return;
    const { w, h } = viewportSize();
    const size = scene.size;
    if (!(size.w > 0 && size.h > 0 && w > 0 && h > 0)) {
      state.zoom = 1;
      state.tx = 0;
      state.ty = 0;
    } else {
      const margin = 12;
      // Larger pictures shrink to the pane; smaller ones grow only by whole
      // steps, so that every picture pixel takes as many screen pixels.
      const z = Math.min((w - margin) / size.w, (h - margin) / size.h);
      state.zoom = clampZoom(z < 1 ? z : Math.floor(z));
      state.tx = (w - size.w * state.zoom) / 2;
      state.ty = (h - size.h * state.zoom) / 2;
    }
    state.fit = true;
    apply();
  }

  function fitOrApply() {
    if (state.fit) fit();
    else apply();
  }

  function clampZoom(z) {
    return Math.min(MAX_ZOOM, Math.max(MIN_ZOOM, z));
  }

  // Zooms to z keeping the picture point under (px, py) of a viewport there.
  function zoomAt(z, px, py) {
    z = clampZoom(z);
    state.tx = px - ((px - state.tx) * z) / state.zoom;
    state.ty = py - ((py - state.ty) * z) / state.zoom;
    state.zoom = z;
    state.fit = false;
    schedule();
  }

  // Keys and buttons zoom at once; the wheel and drags once per frame.
  function zoomCentre(z) {
    const { w, h } = viewportSize();
    zoomAt(z, w / 2, h / 2);
    apply();
  }

  function zoomStep(dir) {
    const z = state.zoom;
    const next = dir > 0 ? ZOOM_STEPS.find((s) => s > z * 1.001) : [...ZOOM_STEPS].reverse().find((s) => s < z / 1.001);
    zoomCentre(next === undefined ? (dir > 0 ? MAX_ZOOM : MIN_ZOOM) : next);
  }

  function zoomToRegion(r) {
    const { w, h } = viewportSize();
    if (!w || !h) return;
    const pad = 24;
    const z = clampZoom(Math.min(16, Math.min(w / (r[2] + pad), h / (r[3] + pad))));
    state.zoom = z;
    state.tx = w / 2 - (r[0] + r[2] / 2) * z;
    state.ty = h / 2 - (r[1] + r[3] / 2) * z;
    state.fit = false;
    apply();
  }

  function schedule() {
    if (!frame) frame = requestAnimationFrame(apply);
  }

  function apply() {
    frame = 0;
    if (!scene) return;
    const z = state.zoom;
    const transform = `translate(${state.tx}px, ${state.ty}px) scale(${z})`;
    const size = scene.size;
    for (const c of scene.canvases) {
      c.style.width = size.w + "px";
      c.style.height = size.h + "px";
      c.style.transform = transform;
    }
    $("stage").classList.toggle("pixelated", z > 1);
    $("zoom-value").textContent = (z >= 0.1 ? Math.round(z * 100) : (z * 100).toFixed(1)) + " %";
    for (const rects of scene.overlays) {
      for (const [r, halo, box] of rects) {
        const w = Math.max(r[2] * z, MIN_BOX);
        const h = Math.max(r[3] * z, MIN_BOX);
        const x = state.tx + (r[0] + r[2] / 2) * z - w / 2;
        const y = state.ty + (r[1] + r[3] / 2) * z - h / 2;
        for (const el of [halo, box]) {
          el.setAttribute("x", x.toFixed(1));
          el.setAttribute("y", y.toFixed(1));
          el.setAttribute("width", w.toFixed(1));
          el.setAttribute("height", h.toFixed(1));
        }
      }
    }
    applySwipe();
  }

  function attachPanZoom(vp) {
    vp.addEventListener(
      "wheel",
      (e) => {
        e.preventDefault();
        const rect = vp.getBoundingClientRect();
        const unit = e.deltaMode === 1 ? 0.05 : e.deltaMode === 2 ? 1 : 0.0015;
        zoomAt(state.zoom * Math.exp(-e.deltaY * unit), e.clientX - rect.left, e.clientY - rect.top);
      },
      { passive: false },
    );
    let drag = null;
    vp.addEventListener("pointerdown", (e) => {
      if (e.button !== 0) return;
      drag = { id: e.pointerId, x: e.clientX, y: e.clientY, tx: state.tx, ty: state.ty, moved: false };
      vp.setPointerCapture(e.pointerId);
      delete vp.dataset.dragged;
    });
    vp.addEventListener("pointermove", (e) => {
      if (!drag || e.pointerId !== drag.id) return;
      const dx = e.clientX - drag.x;
      const dy = e.clientY - drag.y;
      if (!drag.moved && Math.abs(dx) + Math.abs(dy) < 3) return;
      drag.moved = true;
      vp.classList.add("dragging");
      state.tx = drag.tx + dx;
      state.ty = drag.ty + dy;
      state.fit = false;
      schedule();
    });
    const end = (e) => {
      if (!drag || e.pointerId !== drag.id) return;
      if (drag.moved) vp.dataset.dragged = "1";
      drag = null;
      vp.classList.remove("dragging");
    };
    vp.addEventListener("pointerup", end);
    vp.addEventListener("pointercancel", end);
    vp.addEventListener("dblclick", (e) => {
      const rect = vp.getBoundingClientRect();
      if (state.zoom < 0.999 || state.fit) zoomAt(Math.max(1, state.zoom * 2), e.clientX - rect.left, e.clientY - rect.top);
      else fit();
    });
  }

  // ---- Views -------------------------------------------------------------------

  function setView(view) {
    const p = pairs[state.pair];
    if (!p || effectiveView(p) === "single" || !VIEWS.includes(view)) return;
    // Between the one-pane views the part of the picture in sight stays;
    // side by side has narrower panes, so going to or from it fits again.
    if (view === "side" || state.view === "side") state.fit = true;
    state.view = view;
    renderDetail();
    writeHash();
  }

  function startBlink() {
    stopBlink();
    state.blinkNew = false;
    showBlink();
    $("blink-pause").setAttribute("aria-pressed", String(state.blinkPaused));
    $("blink-pause").textContent = state.blinkPaused ? "Play" : "Pause";
    if (!state.blinkPaused) blinkTimer = setInterval(() => {
      state.blinkNew = !state.blinkNew;
      showBlink();
    }, BLINK_MS);
  }

  function stopBlink() {
    if (blinkTimer) clearInterval(blinkTimer);
    blinkTimer = 0;
  }

  function showBlink() {
    if (!scene || !scene.blinkTop) return;
    scene.blinkTop.classList.toggle("blink-hidden", !state.blinkNew);
    const label = state.blinkNew ? "New" : "Base";
    scene.blinkCorner.textContent = label;
    $("blink-now").textContent = label;
    $("detail").dataset.blink = state.blinkNew ? "new" : "base";
  }

  function toggleBlinkPause() {
    if (!scene || scene.view !== "blink") return;
    state.blinkPaused = !state.blinkPaused;
    const shown = state.blinkNew;
    startBlink();
    state.blinkNew = shown;
    showBlink();
  }

  function swapBlink() {
    if (!scene || scene.view !== "blink") return;
    state.blinkNew = !state.blinkNew;
    showBlink();
  }

  // ---- Figures and counts ------------------------------------------------------

  function renderFacts(p) {
    const facts = $("facts");
    facts.textContent = "";
    const heading = (text) => facts.append(element("h3", "", text));
    const compared = p.status === "changed" || p.status === "unchanged" || p.counted > 0;

    if (p.figures.length) {
      heading("Similarity");
      const table = element("dl", "figures");
      p.figures.forEach((value, i) => {
        const row = element("div", "figure");
        row.append(element("dt", "", FIGURE_CAPTIONS[i] || ""), element("dd", "", percentText(value)));
        if (Number.isFinite(value)) {
          const bar = element("span", "figure-bar");
          bar.setAttribute("aria-hidden", "true");
          const fill = element("i");
          fill.style.width = Math.min(100, Math.max(0, value)) + "%";
          bar.append(fill);
          row.append(bar);
        }
        table.append(row);
      });
      facts.append(table);
    }

    const list = (title, entries) => {
      heading(title);
      const dl = element("dl", "counts-list");
      for (const [term, value, wide] of entries) {
        dl.append(element("dt", wide ? "text" : "", term), element("dd", wide ? "text" : "", value));
      }
      facts.append(dl);
    };
    if (compared) {
      list("Pixels", [
        ["Counted", count(p.counted)],
        ["Non-matching", count(p.nonMatching) + (p.share !== null ? " (" + shareText(p.share) + ")" : "")],
        ["Anti-aliased", count(p.antialiased)],
      ]);
    }
    // A side without a file says so; one whose size no one measured (a
    // failed pair's) says that.
    const side = (file, why, w, h) => (w > 0 ? sizeText(w, h) : file || why ? "not known" : "none");
    const sizes = [
      ["Base", side(p.base, p.baseWhy, p.baseWidth, p.baseHeight)],
      ["New", side(p.new, p.newWhy, p.newWidth, p.newHeight)],
    ];
    if (compared) sizes.unshift(["Compared area", sizeText(p.width, p.height)]);
    list("Sizes", sizes);
    const words = [];
    if (p.rule) words.push(["Rule", p.rule, true]);
    if (p.verdict) words.push(["Verdict", p.verdict, true]);
    if (words.length) list("Decision", words);

    if (p.status === "changed") {
      heading("Changed regions" + (p.regions.length ? " (" + p.regions.length + ")" : ""));
      if (!p.regions.length) {
        facts.append(element("p", "empty", "None listed."));
      } else {
        const ol = element("ol", "regions");
        p.regions.forEach((r) => {
          const li = element("li");
          const b = element("button");
          b.type = "button";
          b.title = "Zoom to this region";
          b.append(element("span", "", `${count(r[2])} × ${count(r[3])} at ${r[0]}, ${r[1]}`), element("span", "px", count(r[4]) + " px"));
          b.addEventListener("click", () => zoomToRegion(r));
          li.append(b);
          ol.append(li);
        });
        facts.append(ol);
      }
    }
  }

  // ---- Wiring ------------------------------------------------------------------

  function refilter() {
    renderList();
    updateSummaryPressed();
    writeHash();
  }

  function wire() {
    $("pairs").addEventListener("click", (e) => {
      const a = e.target.closest("a[data-index]");
      if (!a || e.button !== 0 || e.ctrlKey || e.metaKey || e.shiftKey || e.altKey) return;
      e.preventDefault();
      select(Number(a.dataset.index), false);
    });
    $("counts").addEventListener("click", (e) => {
      const b = e.target.closest("button[data-status]");
      if (!b) return;
      state.status = b.dataset.status === state.status ? "all" : b.dataset.status;
      refilter();
    });
    $("sort").addEventListener("change", (e) => {
      state.sort = e.target.value;
      refilter();
    });
    $("query").addEventListener("input", (e) => {
      state.query = e.target.value;
      refilter();
    });
    $("views").addEventListener("click", (e) => {
      const b = e.target.closest("button[data-view]");
      if (b) setView(b.dataset.view);
    });
    $("prev").addEventListener("click", () => go(-1, true));
    $("next").addEventListener("click", () => go(1, true));
    $("zoom-in").addEventListener("click", () => zoomStep(1));
    $("zoom-out").addEventListener("click", () => zoomStep(-1));
    $("zoom-fit").addEventListener("click", fit);
    $("zoom-one").addEventListener("click", () => zoomCentre(1));
    $("boxes").addEventListener("change", (e) => setBoxes(e.target.checked));
    $("opacity").addEventListener("input", (e) => {
      state.opacity = Number(e.target.value);
      $("opacity-value").textContent = state.opacity + " %";
      if (scene && scene.onionTop) scene.onionTop.style.opacity = String(state.opacity / 100);
    });
    $("blink-pause").addEventListener("click", toggleBlinkPause);
    $("blink-swap").addEventListener("click", swapBlink);
    window.addEventListener("resize", () => {
      arrange();
      fitOrApply();
    });
    window.addEventListener("hashchange", () => {
      const before = state.pair;
      readHash();
      syncControls();
      renderList();
      updateSummaryPressed();
      if (state.pair < 0) state.pair = before;
      select(state.pair, true);
    });
    document.addEventListener("keydown", onKey);
  }

  function setBoxes(on) {
    state.boxes = on;
    $("boxes").checked = on;
    $("stage").classList.toggle("no-boxes", !on);
  }

  function onKey(e) {
    if (e.defaultPrevented || e.ctrlKey || e.metaKey || e.altKey) return;
    const t = e.target;
    if (t instanceof HTMLElement) {
      const field = t.closest("input, select, textarea");
      if (field && field.type !== "checkbox") {
        if (e.key === "Escape") field.blur();
        return;
      }
      if ((t.tagName === "BUTTON" || t.tagName === "A") && (e.key === " " || e.key === "Enter")) return;
    }
    switch (e.key) {
      case "j":
      case "n":
      case "ArrowDown":
      case "ArrowRight":
        go(1, true);
        break;
      case "k":
      case "p":
      case "ArrowUp":
      case "ArrowLeft":
        go(-1, true);
        break;
      case "J":
      case "N":
        go(1, false);
        break;
      case "K":
      case "P":
        go(-1, false);
        break;
      case "1":
      case "2":
      case "3":
      case "4":
        setView(VIEWS[Number(e.key) - 1]);
        break;
      case "f":
        fit();
        break;
      case "0":
        zoomCentre(1);
        break;
      case "+":
      case "=":
        zoomStep(1);
        break;
      case "-":
      case "_":
        zoomStep(-1);
        break;
      case "b":
        setBoxes(!state.boxes);
        break;
      case " ":
        toggleBlinkPause();
        break;
      case "t":
        swapBlink();
        break;
      case "/":
        $("query").focus();
        break;
      default:
        return;
    }
    e.preventDefault();
  }

  function syncControls() {
    $("sort").value = state.sort;
    $("query").value = state.query;
  }

  function start() {
    readHash();
    syncControls();
    renderSummary();
    wire();
    renderList();
    performance.mark("duvo-list-rendered");
    if (state.pair < 0) {
      const firstChanged = order.find((i) => pairs[i].status === "changed");
      state.pair = firstChanged !== undefined ? firstChanged : order.length ? order[0] : -1;
    }
    select(state.pair, true);
    document.documentElement.dataset.ready = "true";
    // After the first frame with the list in it.
    requestAnimationFrame(() =>
      setTimeout(() => {
        performance.mark("duvo-list-painted");
      }, 0),
    );
  }

  start();
})();
