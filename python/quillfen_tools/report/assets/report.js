/* quillfen report viewer.
 *
 * report-data.js (window.QUILLFEN_REPORT) holds the header and one short row per pair: [name, status index,
 * flags (1 passed, 2 baseline updated), list figure, group id]. Each pair's details (sizes, clusters, shift bands,
 * image paths, hashes) are in data/pairs-NNNNN.js files of `chunk_size` pairs, loaded with a <script> tag when a
 * pair of theirs is shown (a page opened from the file system may not fetch()), and dropped again when many have
 * been loaded, so the page's memory stays flat however many pairs the report holds. The list draws only the rows
 * in view.
 *
 * Coordinates in the data (cluster boxes, shift bands) are pixels of the pair's common canvas: both images are
 * placed top-left on a canvas of the larger width and height. Every frame of the viewer is that canvas scaled by
 * the zoom, and the overlays are SVG with the canvas as their view box.
 *
 * Served by `quillfen review` (http, with ?token=...), Accept and Undo call the server's JSON API; opened from the
 * file system, Accept collects the choices and offers the `quillfen accept` command line to copy.
 */
(function () {
  "use strict";

  var data = window.QUILLFEN_REPORT || { index: [], summary: {}, statuses: [] };
  var index = Array.isArray(data.index) ? data.index : [];
  var statuses = Array.isArray(data.statuses) ? data.statuses : [];
  var CHUNK = data.chunk_size > 0 ? data.chunk_size : 1000;
  var N = index.length;

  var STATUS_ORDER = ["changed", "size-changed", "shifted", "error", "new", "missing", "unchanged"];
  var STATUS_LABEL = {
    "error": "Error", "changed": "Changed", "size-changed": "Size changed", "new": "New",
    "missing": "Missing", "shifted": "Shifted", "unchanged": "Unchanged"
  };
  var KNOWN = {};
  STATUS_ORDER.forEach(function (s) { KNOWN[s] = true; });
  var ROW = 30;            // list row height in px (report.css: .pairs li)
  var KEEP_CHUNKS = 12;    // detail files kept loaded at once

  var params = new URLSearchParams(location.search);
  var TOKEN = params.get("token") || "";
  var SERVED = /^https?:$/.test(location.protocol) && TOKEN !== "";

  var state = {
    statuses: {},        // the statuses the list is filtered to; empty = all
    query: "",
    entries: [],         // list entries in order: pair index (a group's first pair stands for the group)
    selected: -1,        // pair index
    mode: "side",
    cut: 50,
    showClusters: true,
    showBands: true,
    zoom: null,          // screen px per canvas px; null = fit
    accepted: {},        // name -> true: accepted on the server, or chosen (file mode)
    matched: 0
  };

  var $ = function (id) { return document.getElementById(id); };
  var SVG_NS = "http://www.w3.org/2000/svg";

  function el(tag, attrs, children) {
    var node = document.createElement(tag);
    if (attrs) {
      Object.keys(attrs).forEach(function (k) {
        var v = attrs[k];
        if (v === null || v === undefined || v === false) return;
        if (k === "text") node.textContent = v;
        else if (k === "className") node.className = v;
        else if (k === "style") node.style.cssText = v;  // CSSOM: allowed where style attributes are not
        else node.setAttribute(k, v === true ? "" : String(v));
      });
    }
    (children || []).forEach(function (c) { if (c) node.appendChild(c); });
    return node;
  }

  function svg(tag, attrs) {
    var node = document.createElementNS(SVG_NS, tag);
    Object.keys(attrs).forEach(function (k) { node.setAttribute(k, String(attrs[k])); });
    return node;
  }

  function name(i) { return String(index[i][0]); }
  function statusOf(i) { var s = statuses[index[i][1]]; return s === undefined ? "error" : s; }
  function passed(i) { return (index[i][2] & 1) === 1; }
  function updated(i) { return (index[i][2] & 2) === 2; }
  function groupOf(i) { return typeof index[i][4] === "number" ? index[i][4] : -1; }
  function acceptable(i) {
    var s = statusOf(i);
    return s === "new" || s === "missing" || (!passed(i) && s !== "unchanged");
  }

  function statusColor(status) { return "var(--" + (KNOWN[status] ? status : "other") + ")"; }
  function rank(status) { var i = STATUS_ORDER.indexOf(status); return i < 0 ? 3.5 : i; }
  function fmtInt(n) { return typeof n === "number" ? n.toLocaleString("en-US") : "–"; }

  function fmtRatio(r) {
    if (typeof r !== "number") return "–";
    if (r === 0) return "0 %";
    var pct = r * 100;
    if (pct < 0.01) return "< 0.01 %";
    return (pct < 10 ? pct.toFixed(2) : pct.toFixed(1)) + " %";
  }

  function fmtSize(size) {
    return Array.isArray(size) && size.length === 2 && (size[0] || size[1]) ? size[0] + " × " + size[1] : "–";
  }

  function bands(p) { return p.shift && Array.isArray(p.shift.bands) ? p.shift.bands : []; }
  function clusters(p) { return Array.isArray(p.clusters) ? p.clusters : []; }

  function shiftSummary(p) {
    var ins = 0, del = 0;
    bands(p).forEach(function (b) { if (b.kind === "deleted") del += b.rows; else ins += b.rows; });
    var parts = [];
    if (ins) parts.push("+" + fmtInt(ins) + " rows");
    if (del) parts.push("−" + fmtInt(del) + " rows");
    return parts.join(", ");
  }

  /* ---------- names cut in the middle ---------- */

  var measureCtx = null;
  function textWidth(text, font) {
    if (!measureCtx) measureCtx = document.createElement("canvas").getContext("2d");
    measureCtx.font = font;
    return measureCtx.measureText(text).width;
  }

  // The name shortened to `px` pixels by taking characters out of its middle: the folder at the start and the
  // file (or test) at the end both stay readable.
  function cutMiddle(text, px, font) {
    if (px <= 0 || textWidth(text, font) <= px) return text;
    var lo = 0, hi = text.length;
    while (lo < hi) {
      var k = (lo + hi + 1) >> 1;
      var head = Math.ceil(k / 2), tail = k - head;
      if (textWidth(text.slice(0, head) + "…" + text.slice(text.length - tail), font) <= px) lo = k; else hi = k - 1;
    }
    var h = Math.ceil(lo / 2);
    return text.slice(0, h) + "…" + text.slice(text.length - (lo - h));
  }

  /* ---------- detail files ---------- */

  var chunks = {}, waiting = {}, loadedOrder = [];
  window.QUILLFEN_CHUNK = function (k, records) {
    chunks[k] = records;
    loadedOrder.push(k);
    // The file of the pair on show and the one just loaded stay; the oldest others go.
    var keep = state.selected >= 0 ? Math.floor(state.selected / CHUNK) : -1;
    while (loadedOrder.length > KEEP_CHUNKS) {
      var old = loadedOrder.shift();
      if (old === keep || old === k) loadedOrder.push(old); else delete chunks[old];
    }
  };

  function withRecord(i, done) {
    var k = Math.floor(i / CHUNK);
    if (chunks[k]) { done(chunks[k][i - k * CHUNK] || null); return; }
    if (waiting[k]) { waiting[k].push(function () { withRecord(i, done); }); return; }
    waiting[k] = [function () { withRecord(i, done); }];
    var s = document.createElement("script");
    s.src = "data/pairs-" + String(k).padStart(5, "0") + ".js";
    var finish = function () {
      var cbs = waiting[k] || [];
      delete waiting[k];
      s.remove();
      if (!chunks[k]) chunks[k] = [];  // a missing file: the pairs show without details
      cbs.forEach(function (f) { f(); });
    };
    s.onload = finish;
    s.onerror = finish;
    document.head.appendChild(s);
  }

  /* ---------- groups ---------- */

  var groups = {};  // group id -> pair indices in list order
  function buildGroups(order) {
    for (var j = 0; j < order.length; j++) {
      var g = groupOf(order[j]);
      if (g >= 0) (groups[g] || (groups[g] = [])).push(order[j]);
    }
  }
  function members(i) { var g = groupOf(i); return g >= 0 && groups[g] ? groups[g] : [i]; }

  /* ---------- summary bar and filters ---------- */

  function buildSummary() {
    var summary = data.summary || {};
    var shown = STATUS_ORDER.slice();
    statuses.forEach(function (s) { if (shown.indexOf(s) < 0) shown.push(s); });
    var bar = $("summary");
    var search = bar.querySelector(".search");
    $("count-all").textContent = fmtInt(N);
    var failing = 0;
    for (var i = 0; i < N; i++) if (!passed(i)) failing++;
    $("count-failing").textContent = fmtInt(failing);
    $("chip-failing").classList.toggle("zero", failing === 0);
    shown.forEach(function (s) {
      var count = summary[s] || 0;
      if (!count && !KNOWN[s]) return;
      var chip = el("button", {
        type: "button", className: "chip" + (count ? "" : " zero"), "data-status": s,
        style: "--chip-color: " + statusColor(s), title: "Show only " + (STATUS_LABEL[s] || s).toLowerCase() + " pairs"
      }, [el("span", { className: "chip-label", text: STATUS_LABEL[s] || s }),
          el("span", { className: "chip-count", text: fmtInt(count) })]);
      bar.insertBefore(chip, search);
    });
    bar.addEventListener("click", function (ev) {
      var chip = ev.target.closest(".chip");
      if (!chip) return;
      var s = chip.getAttribute("data-status");
      if (!s) state.statuses = {};
      else if (ev.ctrlKey || ev.metaKey || ev.shiftKey) {
        if (state.statuses[s]) delete state.statuses[s]; else state.statuses[s] = true;
      } else if (state.statuses[s] && Object.keys(state.statuses).length === 1) {
        state.statuses = {};
      } else {
        state.statuses = {};
        state.statuses[s] = true;
      }
      applyFilter(true);
    });
    $("search").addEventListener("input", function () {
      state.query = this.value.trim().toLowerCase();
      applyFilter(true);
    });
  }

  function syncChips() {
    var any = Object.keys(state.statuses).length > 0;
    Array.prototype.forEach.call(document.querySelectorAll(".chip"), function (chip) {
      var s = chip.getAttribute("data-status");
      var on = s ? !!state.statuses[s] : !any;
      chip.classList.toggle("active", on);
      chip.setAttribute("aria-pressed", on ? "true" : "false");
    });
  }

  function clearFilter() {
    state.statuses = {};
    state.query = "";
    $("search").value = "";
    applyFilter(true);
  }

  /* ---------- list (only the rows in view are drawn) ---------- */

  var ranks = new Float64Array(N);
  var lower = null;  // lower-case names, made on the first search
  for (var r = 0; r < N; r++) ranks[r] = (passed(r) ? 10 : 0) + rank(statusOf(r));
  var order = new Array(N);
  for (var o = 0; o < N; o++) order[o] = o;
  order.sort(function (a, b) {
    var d = ranks[a] - ranks[b];
    if (d) return d;
    var na = index[a][0], nb = index[b][0];
    return na < nb ? -1 : na > nb ? 1 : a - b;
  });
  var position = new Int32Array(N);  // pair index -> place in the current entries, -1 when filtered out

  function matches(i) {
    var any = false, s;
    for (s in state.statuses) { any = true; break; }
    if (any && !state.statuses[statusOf(i)] && !(state.statuses.failing && !passed(i))) return false;
    if (!state.query) return true;
    if (!lower) { lower = new Array(N); for (var k = 0; k < N; k++) lower[k] = name(k).toLowerCase(); }
    return lower[i].indexOf(state.query) >= 0;
  }

  function applyFilter(keepSelection) {
    syncChips();
    var entries = [], seen = {}, matched = 0;
    position.fill(-1);
    for (var j = 0; j < N; j++) {
      var i = order[j];
      if (!matches(i)) continue;
      matched++;
      var g = groupOf(i);
      if (g >= 0) {
        if (seen[g] !== undefined) { position[i] = seen[g]; continue; }
        seen[g] = entries.length;
      }
      position[i] = entries.length;
      entries.push(i);
    }
    state.entries = entries;
    state.matched = matched;
    $("list-count").textContent = matched === N ? fmtInt(N) + (N === 1 ? " pair" : " pairs")
                                                : fmtInt(matched) + " of " + fmtInt(N) + " pairs";
    $("list-empty").hidden = entries.length > 0;
    var list = $("pairs");
    list.style.height = "";
    drawList();
    if (keepSelection && state.selected >= 0 && position[state.selected] >= 0) {
      // A group's first pair stands for it in the list.
      select(entries[position[state.selected]], true);
      return;
    }
    select(entries.length ? entries[0] : -1, false);
  }

  var drawScheduled = false;
  function scheduleDraw() {
    if (drawScheduled) return;
    drawScheduled = true;
    requestAnimationFrame(function () { drawScheduled = false; drawList(); });
  }

  var listFont = null;
  function drawList() {
    var list = $("pairs");
    var n = state.entries.length;
    // Never more rows than the window holds, even while the layout is still settling.
    var top = list.scrollTop, height = Math.min(list.clientHeight || 600, window.innerHeight || 1000);
    var first = Math.max(0, Math.floor(top / ROW) - 10);
    var last = Math.min(n, Math.ceil((top + height) / ROW) + 10);
    list.style.paddingTop = first * ROW + "px";
    list.style.paddingBottom = (n - last) * ROW + "px";
    var frag = document.createDocumentFragment();
    var width = list.clientWidth;
    for (var j = first; j < last; j++) {
      var i = state.entries[j];
      var s = statusOf(i);
      var group = members(i);
      var stat = group.length > 1 ? "× " + fmtInt(group.length) : String(index[i][3] || "");
      var nameEl = el("span", { className: "name" });
      var li = el("li", {
        role: "option", "data-index": i, "data-status": s, "data-name": name(i),
        title: name(i) + " — " + s + (group.length > 1 ? " (" + group.length + " pairs changed the same way)" : ""),
        className: (i === state.selected ? "selected" : "") + (state.accepted[name(i)] ? " accepted" : "") +
          (group.length > 1 ? " group" : ""),
        "aria-selected": i === state.selected ? "true" : null,
        style: "--dot: " + statusColor(s)
      }, [el("span", { className: "dot" }), nameEl, el("span", { className: "stat", text: stat })]);
      frag.appendChild(li);
      if (!listFont) {
        list.appendChild(li);
        var cs = getComputedStyle(nameEl);
        listFont = cs.fontSize + " " + cs.fontFamily;
        list.removeChild(li);
      }
      var room = width - 60 - textWidth(stat, listFont) * 0.9;
      nameEl.textContent = cutMiddle(name(i), room, listFont);
    }
    list.textContent = "";
    list.appendChild(frag);
  }

  function move(step) {
    var n = state.entries.length;
    if (!n) return;
    var at = state.selected >= 0 ? position[state.selected] : -1;
    var next = at < 0 ? 0 : Math.min(Math.max(at + step, 0), n - 1);
    select(state.entries[next], true);
  }

  function scrollToEntry(j) {
    var list = $("pairs");
    var y = j * ROW, h = list.clientHeight;
    if (y < list.scrollTop) list.scrollTop = y;
    else if (y + ROW > list.scrollTop + h) list.scrollTop = y + ROW - h;
  }

  function select(i, scroll) {
    var changed = i !== state.selected;
    state.selected = i;
    if (i >= 0) {
      if (scroll && position[i] >= 0) scrollToEntry(position[i]);
      try { history.replaceState(null, "", location.search + "#" + encodeURIComponent(name(i))); } catch (e) { /* file:// may refuse */ }
    }
    drawList();
    if (changed) state.zoom = null;
    renderPair();
  }

  /* ---------- accept ---------- */

  function api(path, names, done) {
    fetch(path, {
      method: "POST", headers: { "Content-Type": "application/json", "X-Quillfen-Token": TOKEN },
      body: JSON.stringify({ names: names })
    }).then(function (r) { return r.json().then(function (body) { return [r.status, body]; }); })
      .then(function (res) { done(res[0], res[1]); })
      .catch(function (e) { done(0, { error: String(e) }); });
  }

  function acceptNames(names, undo) {
    if (!SERVED) {
      names.forEach(function (n) { if (undo) delete state.accepted[n]; else state.accepted[n] = true; });
      drawList();
      renderAcceptBar();
      renderActions();
      return;
    }
    var note = $("pair-note");
    note.hidden = false;
    note.className = "message";
    note.textContent = undo ? "Undoing…" : "Accepting…";
    api(undo ? "api/undo" : "api/accept", names, function (status, body) {
      if (status !== 200) {
        note.className = "message error";
        note.textContent = "Not done: " + (body && body.error ? body.error : "the server did not answer");
        return;
      }
      (body.accepted || []).forEach(function (n) { if (undo) delete state.accepted[n]; else state.accepted[n] = true; });
      var refused = body.refused || [];
      if (refused.length) {
        note.className = "message error";
        note.textContent = refused.map(function (r) { return "Refused " + r.name + ": " + r.reason; }).join("\n");
      } else {
        note.hidden = true;
      }
      drawList();
      renderActions();
    });
  }

  function shellQuote(s) { return /^[A-Za-z0-9_@%+=:,.\/-]+$/.test(s) ? s : "'" + s.replace(/'/g, "'\\''") + "'"; }

  function reportFolder() {
    var path = decodeURIComponent(location.pathname).replace(/\/[^\/]*$/, "");
    return path || ".";
  }

  function renderAcceptBar() {
    var bar = $("accept-bar");
    var chosen = Object.keys(state.accepted);
    bar.hidden = SERVED || chosen.length === 0;
    if (bar.hidden) return;
    $("accept-count").textContent = chosen.length + (chosen.length === 1 ? " pair chosen" : " pairs chosen");
    $("accept-command").textContent = "quillfen accept " + [reportFolder()].concat(chosen).map(shellQuote).join(" ");
  }

  function renderActions() {
    var box = $("pair-actions");
    box.textContent = "";
    var i = state.selected;
    if (i < 0) return;
    var names = members(i).filter(acceptable).map(name);
    if (!names.length) return;
    var done = names.every(function (n) { return state.accepted[n]; });
    var label = names.length > 1 ? " all " + names.length : "";
    if (done) {
      box.appendChild(el("span", { className: "accepted-mark", text: SERVED ? "Accepted" : "Chosen" }));
      box.appendChild(el("button", { type: "button", className: "undo", text: (SERVED ? "Undo" : "Unchoose") + label,
                                     title: "Put the baseline back (u)" }));
    } else {
      box.appendChild(el("button", { type: "button", className: "accept", text: "Accept" + label,
                                     title: "Make the current image the baseline (a)" }));
    }
  }

  function acceptSelected(undo) {
    var i = state.selected;
    if (i < 0) return;
    var names = members(i).filter(acceptable).map(name);
    if (names.length) acceptNames(names, undo);
  }

  /* ---------- viewer ---------- */

  function canvasOf(p) {
    var w = p.width, h = p.height;
    if (!(w > 0 && h > 0)) {
      var s = p.current_size || p.baseline_size;
      if (Array.isArray(s)) { w = s[0]; h = s[1]; }
    }
    return { w: w > 0 ? w : 1, h: h > 0 ? h : 1 };
  }

  function linkUrl(side, p) {
    // Unchanged pairs keep no copy: their files are linked (served under _files/ by `quillfen review`).
    var rel = p[side + "_path"];
    if (SERVED && rel) return "_files/" + side + "/" + rel.split("/").map(encodeURIComponent).join("/");
    var link = p[side + "_link"];
    return link ? link.split("/").map(encodeURIComponent).join("/") : null;
  }

  function imageOf(side, p) { return p[side + "_image"] || linkUrl(side, p); }

  function placedImage(src, size, canvas, alt, extraClass, covers) {
    var w = Array.isArray(size) && size[0] > 0 ? size[0] : canvas.w;
    var h = Array.isArray(size) && size[1] > 0 ? size[1] : canvas.h;
    var cw = Array.isArray(covers) ? covers[0] : w;
    var ch = Array.isArray(covers) ? covers[1] : h;
    var img = el("img", {
      src: src, alt: alt, draggable: "false", decoding: "async",
      style: "width:" + (100 * cw / w) + "%;height:" + (100 * ch / h) + "%"
    });
    var clip = el("div", { className: "clip", style: "width:" + (100 * w / canvas.w) + "%;height:" + (100 * h / canvas.h) + "%" }, [img]);
    return el("div", { className: "layer" + (extraClass ? " " + extraClass : "") }, [clip]);
  }

  function baselineCovers(p, canvas) { return p.baseline_covers_canvas ? [canvas.w, canvas.h] : null; }

  // Shift bands in baseline rows: rows inserted in the current image are a line where they went in; rows
  // deleted from it are a band of the baseline.
  function baselineBands(p) {
    var ins = 0, del = 0, out = [];
    bands(p).slice().sort(function (a, b) { return a.y - b.y; }).forEach(function (b) {
      var y = b.y - ins + del;
      if (b.kind === "deleted") { out.push({ kind: "inserted", y: y, rows: b.rows, x0: b.x0, x1: b.x1, was: "deleted" }); del += b.rows; }
      else { out.push({ kind: "deleted", y: y, rows: b.rows, x0: b.x0, x1: b.x1, was: "inserted" }); ins += b.rows; }
    });
    return out;
  }

  function overlay(p, canvas, side) {
    var root = svg("svg", { "class": "overlay", viewBox: "0 0 " + canvas.w + " " + canvas.h, preserveAspectRatio: "none",
                            "data-side": side });
    if (!state.showClusters) root.classList.add("hide-clusters");
    if (!state.showBands) root.classList.add("hide-bands");
    (side === "baseline" ? baselineBands(p) : bands(p)).forEach(function (b) {
      var x0 = typeof b.x0 === "number" ? b.x0 : 0;
      var x1 = typeof b.x1 === "number" ? b.x1 : canvas.w;
      if (b.kind === "deleted") {
        root.appendChild(svg("line", { "class": "band-deleted", x1: x0, x2: x1, y1: b.y, y2: b.y,
                                       "data-kind": "deleted", "data-rows": b.rows }));
      } else {
        root.appendChild(svg("rect", { "class": "band-inserted", x: x0, y: b.y, width: Math.max(x1 - x0, 0),
                                       height: b.rows, "data-kind": "inserted", "data-rows": b.rows }));
      }
    });
    clusters(p).forEach(function (c, k) {
      root.appendChild(svg("rect", { "class": "cluster-fill", x: c.x, y: c.y, width: c.width, height: c.height }));
      var box = svg("rect", { "class": "cluster", x: c.x, y: c.y, width: c.width, height: c.height, "data-cluster": k });
      var t = svg("title", {});
      t.textContent = fmtInt(c.pixels) + " pixels at " + c.x + ", " + c.y + " (" + c.width + " × " + c.height + ") — click to zoom";
      box.appendChild(t);
      root.appendChild(box);
    });
    return root;
  }

  function frame(canvas, children) {
    return el("div", { className: "frame", style: "aspect-ratio: " + canvas.w + " / " + canvas.h }, children);
  }

  function absent(text) { return el("div", { className: "absent", text: text }); }

  function panel(title, note, content) {
    return el("div", { className: "panel" }, [
      el("div", { className: "panel-title" }, [el("b", { text: title }), el("span", { text: note || "" })]),
      content
    ]);
  }

  function availableModes(p) {
    var b = imageOf("baseline", p), c = imageOf("current", p);
    // Side by side is there whenever there is no other view: without images it says why.
    return { side: !!(b || c) || !p.diff, slider: !!(b && c), diff: !!p.diff };
  }

  var current = null;  // the record shown

  function renderPair() {
    var i = state.selected;
    $("placeholder").hidden = i >= 0;
    $("pair").hidden = i < 0;
    if (i < 0) { current = null; return; }
    var s = statusOf(i);
    var badge = $("pair-status");
    badge.textContent = s;
    badge.style.setProperty("--badge", statusColor(s));
    $("pair-name").textContent = name(i);
    var group = members(i);
    var gnote = $("pair-group");
    gnote.hidden = group.length < 2;
    if (group.length > 1) {
      gnote.textContent = group.length + " pairs changed the same way: " +
        group.slice(0, 8).map(name).join(", ") + (group.length > 8 ? ", …" : "");
    }
    renderActions();
    $("pair-note").hidden = true;
    withRecord(i, function (p) {
      if (state.selected !== i) return;
      current = p || { name: name(i), status: s, passed: passed(i) };
      renderDetails(current);
    });
  }

  function renderDetails(p) {
    document.body.setAttribute("data-shown", String(Math.round(performance.now())));
    renderFacts(p);
    var modes = availableModes(p);
    var mode = state.mode;
    if (!modes[mode]) mode = modes.side ? "side" : modes.diff ? "diff" : modes.slider ? "slider" : null;
    Array.prototype.forEach.call(document.querySelectorAll(".modes button"), function (b) {
      var m = b.getAttribute("data-mode");
      b.disabled = !modes[m];
      b.setAttribute("aria-selected", m === mode ? "true" : "false");
    });

    var msg = $("pair-message");
    msg.hidden = true;
    msg.className = "message";
    if (p.status === "error" && p.error) {
      msg.hidden = false;
      msg.classList.add("error");
      msg.textContent = p.error;
    } else if (p.status === "new") {
      msg.hidden = false;
      msg.textContent = "Only in the current folder: there is no baseline for this image yet.";
    } else if (p.status === "missing") {
      msg.hidden = false;
      msg.textContent = "Only in the baseline folder: the current run produced no such image.";
    } else if (p.error) {
      msg.hidden = false;
      msg.textContent = p.error;
    }

    var stage = $("stage");
    stage.textContent = "";
    stage.className = "stage";
    stage.style.maxWidth = "";
    stage.setAttribute("data-mode", mode || "none");
    var canvas = canvasOf(p);
    if (mode === "side") renderSide(p, canvas, stage);
    else if (mode === "slider") renderSlider(p, canvas, stage);
    else if (mode === "diff") renderDiff(p, canvas, stage);
    $("zoom-tools").hidden = mode !== "side" && mode !== "diff";
    applyZoom(null);
    renderLegend(p, mode);
  }

  function renderFacts(p) {
    var facts = [];
    var add = function (label, value) { if (value !== "" && value !== null && value !== undefined) facts.push([label, value]); };
    add("Result", p.passed === true ? "passed" : p.passed === false ? "failed" : "");
    if (p.status !== "new" && p.status !== "missing" && p.status !== "error") {
      add("Differing pixels", fmtInt(p.diff_pixels));
      add("Ratio", fmtRatio(p.diff_ratio));
      add("SSIM", typeof p.ssim === "number" ? p.ssim.toFixed(4) : "–");
    }
    if (p.baseline_size && p.current_size &&
        (p.baseline_size[0] !== p.current_size[0] || p.baseline_size[1] !== p.current_size[1])) {
      add("Size", fmtSize(p.baseline_size) + " → " + fmtSize(p.current_size));
    } else if (p.status !== "error") {
      add("Size", fmtSize(p.current_size || p.baseline_size));
    }
    if (clusters(p).length) add("Clusters", fmtInt(clusters(p).length));
    if (bands(p).length) add("Shift", shiftSummary(p));
    if (p.updated) add("Baseline", "updated");
    var dl = $("pair-facts");
    dl.textContent = "";
    facts.forEach(function (f) {
      dl.appendChild(el("div", null, [el("dt", { text: f[0] }), el("dd", { text: f[1] })]));
    });
  }

  function viewport(content) {
    return el("div", { className: "viewport" }, [content]);
  }

  function renderSide(p, canvas, stage) {
    var b = imageOf("baseline", p), c = imageOf("current", p);
    var base = b ? [placedImage(b, p.baseline_size, canvas, "baseline", null, baselineCovers(p, canvas)),
                    overlay(p, canvas, "baseline")]
                 : [absent(p.status === "new" ? "no baseline" : "no image kept in the report")];
    var cur = c ? [placedImage(c, p.current_size, canvas, "current"), overlay(p, canvas, "current")]
                : [absent(p.status === "missing" ? "no current image" : "no image kept in the report")];
    stage.appendChild(panel("Baseline", fmtSize(p.baseline_size), viewport(frame(canvas, base))));
    stage.appendChild(panel("Current", fmtSize(p.current_size), viewport(frame(canvas, cur))));
  }

  function renderSlider(p, canvas, stage) {
    stage.classList.add("single", "slider");
    stage.style.maxWidth = Math.min(canvas.w, 820) + "px";
    var top = placedImage(imageOf("current", p), p.current_size, canvas, "current", "top-image");
    var f = frame(canvas, [
      placedImage(imageOf("baseline", p), p.baseline_size, canvas, "baseline", null, baselineCovers(p, canvas)),
      top,
      overlay(p, canvas, "current"),
      el("div", { className: "handle" }),
      el("span", { className: "corner left", text: "baseline" }),
      el("span", { className: "corner right", text: "current" })
    ]);
    var range = el("input", { type: "range", min: 0, max: 100, step: 0.5, value: state.cut, "aria-label": "Slider position" });
    var apply = function () { f.style.setProperty("--cut", state.cut + "%"); range.value = state.cut; };
    range.addEventListener("input", function () { state.cut = Number(range.value); apply(); });
    var dragging = false;
    var fromPointer = function (ev) {
      var r = f.getBoundingClientRect();
      state.cut = Math.min(100, Math.max(0, 100 * (ev.clientX - r.left) / r.width));
      apply();
    };
    f.addEventListener("pointerdown", function (ev) { dragging = true; f.setPointerCapture(ev.pointerId); fromPointer(ev); });
    f.addEventListener("pointermove", function (ev) { if (dragging) fromPointer(ev); });
    f.addEventListener("pointerup", function () { dragging = false; });
    apply();
    stage.appendChild(panel("Baseline  ⇔  Current", "drag or use ← →", el("div", null, [f, range])));
  }

  function renderDiff(p, canvas, stage) {
    stage.classList.add("single");
    stage.style.maxWidth = Math.max(Math.min(canvas.w, 1100), 320) + "px";
    var img = placedImage(p.diff, null, canvas, "diff image", "pixelated");
    var note = p.status === "shifted" ? "shift taken out, in current-image rows" : fmtSize([canvas.w, canvas.h]);
    stage.appendChild(panel("Diff", note, viewport(frame(canvas, [img, overlay(p, canvas, "current")]))));
  }

  function renderLegend(p, mode) {
    var legend = $("legend");
    legend.textContent = "";
    var item = function (cls, text) {
      legend.appendChild(el("span", null, [el("i", { className: cls }), document.createTextNode(text)]));
    };
    if (mode === "diff") {
      item("l-diff", "changed pixel");
      item("l-aa", "anti-aliased pixel");
    }
    if (clusters(p).length && mode !== null) item("l-cluster", "cluster of changes (click to zoom)");
    if (bands(p).some(function (b) { return b.kind !== "deleted"; })) item("l-inserted", "inserted rows");
    if (bands(p).some(function (b) { return b.kind === "deleted"; })) item("l-deleted", "rows deleted here");
  }

  /* ---------- zoom: fit, 1:1 and between; the viewports scroll together ---------- */

  var MAX_ZOOM = 32;

  function viewports() { return Array.prototype.slice.call(document.querySelectorAll("#stage .viewport")); }

  function fitScale() {
    var vp = viewports()[0];
    if (!vp || !current) return 1;
    return Math.max((vp.clientWidth - 2) / canvasOf(current).w, 1e-3);
  }

  // Sets the zoom (null: fit) keeping the canvas point `at` ({x, y} in canvas px, default the centre in view)
  // where it was on screen, or centring it when `centre` is set.
  function applyZoom(zoom, at, centre) {
    var vps = viewports();
    if (!vps.length || !current) return;
    var canvas = canvasOf(current);
    var vp = vps[0];
    var old = state.zoom || fitScale();
    var fx = at ? at.x * old - vp.scrollLeft : vp.clientWidth / 2;
    var fy = at ? at.y * old - vp.scrollTop : vp.clientHeight / 2;
    var cx = at ? at.x : (vp.scrollLeft + fx) / old, cy = at ? at.y : (vp.scrollTop + fy) / old;
    state.zoom = zoom === null ? null : Math.min(Math.max(zoom, Math.min(fitScale(), 1) / 4), MAX_ZOOM);
    var scale = state.zoom || fitScale();
    vps.forEach(function (v) {
      var f = v.querySelector(".frame");
      f.style.width = state.zoom === null ? "" : canvas.w * scale + 2 + "px";  // + its 1px borders
      f.classList.toggle("upscaled", scale >= 2);
      v.classList.toggle("zoomed", state.zoom !== null);
    });
    if (centre) { fx = vp.clientWidth / 2; fy = vp.clientHeight / 2; }
    var left = cx * scale - fx, top = cy * scale - fy;
    syncing = true;
    vps.forEach(function (v) { v.scrollLeft = left; v.scrollTop = top; });
    syncing = false;
    $("zoom-level").textContent = state.zoom === null ? "fit" : Math.round(scale * 100) + " %";
  }

  function zoomBy(factor) {
    var scale = state.zoom || fitScale();
    var z = scale * factor;
    // Stop at 1:1 on the way through.
    if ((scale < 1 && z > 1) || (scale > 1 && z < 1)) z = 1;
    applyZoom(z);
  }

  function zoomToCluster(k) {
    var c = current && clusters(current)[k];
    var vp = viewports()[0];
    if (!c || !vp) return;
    var z = 0.6 * Math.min(vp.clientWidth / Math.max(c.width, 1), Math.max(vp.clientHeight, 200) / Math.max(c.height, 1));
    applyZoom(Math.max(z, fitScale()), { x: c.x + c.width / 2, y: c.y + c.height / 2 }, true);
  }

  var syncing = false;
  function onViewportScroll(ev) {
    if (syncing || !ev.target.classList || !ev.target.classList.contains("viewport")) return;
    syncing = true;
    viewports().forEach(function (v) {
      if (v !== ev.target) { v.scrollLeft = ev.target.scrollLeft; v.scrollTop = ev.target.scrollTop; }
    });
    syncing = false;
  }

  var pan = null;
  function onPointerDown(ev) {
    var vp = ev.target.closest && ev.target.closest(".viewport");
    if (!vp || ev.button !== 0) return;
    if (ev.target.classList && ev.target.classList.contains("cluster")) return;
    pan = { x: ev.clientX, y: ev.clientY, left: vp.scrollLeft, top: vp.scrollTop, vp: vp };
    vp.classList.add("panning");
  }
  function onPointerMove(ev) {
    if (!pan) return;
    pan.vp.scrollLeft = pan.left - (ev.clientX - pan.x);
    pan.vp.scrollTop = pan.top - (ev.clientY - pan.y);
  }
  function onPointerUp() { if (pan) pan.vp.classList.remove("panning"); pan = null; }

  function onWheel(ev) {
    var vp = ev.target.closest && ev.target.closest(".viewport");
    if (!vp || !(ev.ctrlKey || ev.metaKey) || !current) return;
    ev.preventDefault();
    var r = vp.getBoundingClientRect();
    var scale = state.zoom || fitScale();
    var at = { x: (vp.scrollLeft + ev.clientX - r.left) / scale, y: (vp.scrollTop + ev.clientY - r.top) / scale };
    applyZoom(scale * (ev.deltaY < 0 ? 1.25 : 0.8), at);
  }

  function setMode(mode) {
    if (!current || !availableModes(current)[mode]) return;
    state.mode = mode;
    renderDetails(current);
  }

  function setOverlay(kind, on) {
    if (kind === "clusters") { state.showClusters = on; $("show-clusters").checked = on; }
    else { state.showBands = on; $("show-bands").checked = on; }
    Array.prototype.forEach.call(document.querySelectorAll(".overlay"), function (o) {
      o.classList.toggle("hide-clusters", !state.showClusters);
      o.classList.toggle("hide-bands", !state.showBands);
    });
  }

  /* ---------- header, keyboard, start ---------- */

  function buildHeader() {
    if (data.title) { $("title").textContent = data.title; document.title = data.title; }
    var meta = $("meta");
    var add = function (label, value, code) {
      if (!value) return;
      var v = el(code ? "code" : "b", { text: String(value) });
      meta.appendChild(el("span", null, [document.createTextNode(label + " "), v]));
    };
    add("baseline", data.baseline_dir, true);
    add("current", data.current_dir, true);
    add("created", data.created);
    if (data.interrupted) add("", "interrupted: the pairs compared before the stop");
    if (SERVED) add("", "served: Accept writes the baselines");
  }

  function toggleHelp(show) {
    var help = $("help");
    help.hidden = show === undefined ? !help.hidden : !show;
  }

  function onKey(ev) {
    var t = ev.target;
    var typing = t && (t.tagName === "INPUT" && t.type !== "checkbox" && t.type !== "range" || t.tagName === "TEXTAREA");
    if (typing) {
      if (ev.key === "Escape") {
        // Escape empties the filter box and shows the whole list again.
        if (t.id === "search") { t.value = ""; state.query = ""; applyFilter(true); }
        t.blur();
        ev.preventDefault();
      } else if (ev.key === "ArrowDown" || ev.key === "ArrowUp") { t.blur(); move(ev.key === "ArrowDown" ? 1 : -1); ev.preventDefault(); }
      return;
    }
    if (ev.altKey || ev.ctrlKey || ev.metaKey) return;
    if (!$("help").hidden && ev.key !== "?") { if (ev.key === "Escape") toggleHelp(false); ev.preventDefault(); return; }
    switch (ev.key) {
      case "ArrowDown": case "j": move(1); break;
      case "ArrowUp": case "k": move(-1); break;
      case "PageDown": move(10); break;
      case "PageUp": move(-10); break;
      case "Home": move(-Infinity); break;
      case "End": move(Infinity); break;
      case "1": setMode("side"); break;
      case "2": setMode("slider"); break;
      case "3": setMode("diff"); break;
      case "c": setOverlay("clusters", !state.showClusters); break;
      case "s": setOverlay("bands", !state.showBands); break;
      case "+": case "=": zoomBy(1.5); break;
      case "-": zoomBy(1 / 1.5); break;
      case "0": applyZoom(null); break;
      case "z": applyZoom(1); break;
      case "a": acceptSelected(false); break;
      case "u": acceptSelected(true); break;
      case "?": toggleHelp(); break;
      case "Escape": clearFilter(); break;
      case "ArrowLeft": case "ArrowRight":
        if (state.mode !== "slider") return;
        state.cut = Math.min(100, Math.max(0, state.cut + (ev.key === "ArrowLeft" ? -5 : 5)));
        var f = document.querySelector(".slider .frame");
        var r = document.querySelector(".slider input[type=range]");
        if (f) f.style.setProperty("--cut", state.cut + "%");
        if (r) r.value = state.cut;
        break;
      case "/": $("search").focus(); break;
      default: return;
    }
    ev.preventDefault();
  }

  function start() {
    buildHeader();
    buildSummary();
    buildGroups(order);
    var list = $("pairs");
    list.addEventListener("scroll", scheduleDraw);
    list.addEventListener("click", function (ev) {
      var li = ev.target.closest("li");
      if (li) select(Number(li.getAttribute("data-index")), true);
    });
    window.addEventListener("resize", function () { listFont = null; scheduleDraw(); if (state.zoom === null) applyZoom(null); });
    Array.prototype.forEach.call(document.querySelectorAll(".modes button"), function (b) {
      b.addEventListener("click", function () { setMode(b.getAttribute("data-mode")); });
    });
    $("show-clusters").addEventListener("change", function () { setOverlay("clusters", this.checked); });
    $("show-bands").addEventListener("change", function () { setOverlay("bands", this.checked); });
    $("zoom-fit").addEventListener("click", function () { applyZoom(null); });
    $("zoom-one").addEventListener("click", function () { applyZoom(1); });
    $("zoom-in").addEventListener("click", function () { zoomBy(1.5); });
    $("zoom-out").addEventListener("click", function () { zoomBy(1 / 1.5); });
    $("help-open").addEventListener("click", function () { toggleHelp(true); });
    $("help-close").addEventListener("click", function () { toggleHelp(false); });
    $("pair-actions").addEventListener("click", function (ev) {
      var b = ev.target.closest("button");
      if (b) acceptSelected(b.classList.contains("undo"));
    });
    $("accept-copy").addEventListener("click", function () {
      var text = $("accept-command").textContent;
      if (navigator.clipboard) navigator.clipboard.writeText(text).catch(function () { /* shown for copying by hand */ });
      var range = document.createRange();
      range.selectNodeContents($("accept-command"));
      var sel = window.getSelection();
      sel.removeAllRanges();
      sel.addRange(range);
    });
    $("accept-clear").addEventListener("click", function () { state.accepted = {}; drawList(); renderAcceptBar(); renderActions(); });
    var stage = $("stage");
    stage.addEventListener("scroll", onViewportScroll, true);
    stage.addEventListener("pointerdown", onPointerDown);
    window.addEventListener("pointermove", onPointerMove);
    window.addEventListener("pointerup", onPointerUp);
    stage.addEventListener("wheel", onWheel, { passive: false });
    stage.addEventListener("click", function (ev) {
      var k = ev.target.getAttribute && ev.target.getAttribute("data-cluster");
      if (k !== null && k !== undefined) zoomToCluster(Number(k));
    });
    document.addEventListener("keydown", onKey);
    var wanted = "";
    try { wanted = decodeURIComponent((location.hash || "").slice(1)); } catch (e) { wanted = ""; }
    applyFilter(false);
    if (wanted) {
      for (var i = 0; i < N; i++) {
        if (name(i) === wanted) { select(i, true); break; }
      }
    }
    if (SERVED) {
      fetch("api/state", { headers: { "X-Quillfen-Token": TOKEN } })
        .then(function (r) { return r.ok ? r.json() : { accepted: [] }; })
        .then(function (s) {
          (s.accepted || []).forEach(function (n) { state.accepted[n] = true; });
          drawList();
          renderActions();
        }).catch(function () { /* the page still shows the report */ });
    }
    // When the list was ready, in ms from the start of the page's navigation (read by tests and benchmarks).
    document.body.setAttribute("data-ready", String(Math.round(performance.now())));
  }

  start();
})();
