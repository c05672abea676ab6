/* quillfen report viewer.
 *
 * The data comes from report-data.js (window.QUILLFEN_REPORT), loaded by a plain <script> tag so that the page
 * works when opened straight from the file system, where fetch() of a local file is refused.
 * Coordinates in the data (cluster boxes, shift bands) are pixels of the pair's common canvas: both images are
 * placed top-left on a canvas of the larger width and height. Every frame of the viewer is that canvas scaled to
 * the frame's width, and the overlays are SVG with the canvas as their view box.
 */
(function () {
  "use strict";

  var data = window.QUILLFEN_REPORT || { pairs: [], summary: {} };
  var pairs = Array.isArray(data.pairs) ? data.pairs : [];

  // The order of the list: pairs that did not pass first, changed ones before the rest.
  var STATUS_ORDER = ["changed", "size-changed", "shifted", "error", "new", "missing", "unchanged"];
  var STATUS_LABEL = {
    "error": "Error", "changed": "Changed", "size-changed": "Size changed", "new": "New",
    "missing": "Missing", "shifted": "Shifted", "unchanged": "Unchanged"
  };
  var KNOWN = {};
  STATUS_ORDER.forEach(function (s) { KNOWN[s] = true; });

  var state = {
    statuses: {},        // the statuses the list is filtered to; empty = all
    query: "",
    visible: [],         // indices into pairs, in list order
    selected: -1,        // index into pairs
    mode: "side",
    cut: 50,             // slider position in percent
    showClusters: true,
    showBands: true
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

  function statusColor(status) {
    return "var(--" + (KNOWN[status] ? status : "other") + ")";
  }

  function rank(status) {
    var i = STATUS_ORDER.indexOf(status);
    return i < 0 ? 3.5 : i;
  }

  function fmtInt(n) {
    return typeof n === "number" ? n.toLocaleString("en-US") : "–";
  }

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

  function bands(p) {
    return p.shift && Array.isArray(p.shift.bands) ? p.shift.bands : [];
  }

  function clusters(p) {
    return Array.isArray(p.clusters) ? p.clusters : [];
  }

  function shiftSummary(p) {
    var ins = 0, del = 0;
    bands(p).forEach(function (b) { if (b.kind === "deleted") del += b.rows; else ins += b.rows; });
    var parts = [];
    if (ins) parts.push("+" + fmtInt(ins) + " rows");
    if (del) parts.push("−" + fmtInt(del) + " rows");
    return parts.join(", ");
  }

  // A short figure for the list row.
  function listStat(p) {
    switch (p.status) {
      case "changed": return fmtRatio(p.diff_ratio);
      case "size-changed": return fmtSize(p.baseline_size) + " → " + fmtSize(p.current_size);
      case "shifted": return shiftSummary(p) || "shifted";
      case "unchanged": return "";
      case "error": return "error";
      default: return "";
    }
  }

  /* ---------- summary bar and filters ---------- */

  function buildSummary() {
    var summary = data.summary || {};
    var statuses = STATUS_ORDER.slice();
    Object.keys(summary).forEach(function (s) { if (statuses.indexOf(s) < 0) statuses.push(s); });
    pairs.forEach(function (p) { if (statuses.indexOf(p.status) < 0) statuses.push(p.status); });
    var bar = $("summary");
    var search = bar.querySelector(".search");
    $("count-all").textContent = fmtInt(pairs.length);
    var failing = pairs.filter(function (p) { return p.passed === false; }).length;
    $("count-failing").textContent = fmtInt(failing);
    $("chip-failing").classList.toggle("zero", failing === 0);
    statuses.forEach(function (s) {
      var count = summary[s] !== undefined ? summary[s] : pairs.filter(function (p) { return p.status === s; }).length;
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

  /* ---------- list ---------- */

  var order = pairs.map(function (_, i) { return i; }).sort(function (a, b) {
    var pa = pairs[a], pb = pairs[b];
    return (pa.passed === false ? 0 : 1) - (pb.passed === false ? 0 : 1) ||
      rank(pa.status) - rank(pb.status) ||
      String(pa.name).localeCompare(String(pb.name));
  });

  var rows = {};  // index -> <li>

  function buildList() {
    var list = $("pairs");
    var frag = document.createDocumentFragment();
    order.forEach(function (i) {
      var p = pairs[i];
      var stat = listStat(p);
      var li = el("li", {
        role: "option", "data-index": i, "data-status": p.status, title: String(p.name) + " — " + p.status,
        style: "--dot: " + statusColor(p.status)
      }, [el("span", { className: "dot" }),
          el("span", { className: "name" }, [el("bdi", { text: String(p.name) })]),
          el("span", { className: "stat", text: stat })]);
      rows[i] = li;
      frag.appendChild(li);
    });
    list.appendChild(frag);
    list.addEventListener("click", function (ev) {
      var li = ev.target.closest("li");
      if (li) select(Number(li.getAttribute("data-index")), true);
    });
  }

  function matches(p) {
    var any = Object.keys(state.statuses).length > 0;
    if (any && !state.statuses[p.status] && !(state.statuses.failing && p.passed === false)) return false;
    return !state.query || String(p.name).toLowerCase().indexOf(state.query) >= 0;
  }

  function applyFilter(keepSelection) {
    syncChips();
    state.visible = [];
    order.forEach(function (i) {
      var show = matches(pairs[i]);
      rows[i].hidden = !show;
      if (show) state.visible.push(i);
    });
    var n = state.visible.length;
    $("list-count").textContent = n === pairs.length ? fmtInt(n) + (n === 1 ? " pair" : " pairs")
                                                     : fmtInt(n) + " of " + fmtInt(pairs.length) + " pairs";
    $("list-empty").hidden = n > 0;
    if (keepSelection && state.visible.indexOf(state.selected) >= 0) return;
    select(n ? state.visible[0] : -1, false);
  }

  function move(step) {
    if (!state.visible.length) return;
    var at = state.visible.indexOf(state.selected);
    var next = at < 0 ? 0 : Math.min(Math.max(at + step, 0), state.visible.length - 1);
    select(state.visible[next], true);
  }

  function select(index, scroll) {
    if (state.selected >= 0 && rows[state.selected]) {
      rows[state.selected].classList.remove("selected");
      rows[state.selected].removeAttribute("aria-selected");
    }
    state.selected = index;
    if (index >= 0) {
      var li = rows[index];
      li.classList.add("selected");
      li.setAttribute("aria-selected", "true");
      if (scroll) li.scrollIntoView({ block: "nearest" });
      try { history.replaceState(null, "", "#" + encodeURIComponent(String(pairs[index].name))); } catch (e) { /* file:// may refuse */ }
    }
    renderPair();
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

  // An image placed top-left on the canvas. `size` is the area it shows ([w, h] in canvas pixels, default the
  // canvas); `covers` is the area the image file spans when that is larger (a baseline thumbnail is made of the
  // whole canvas, padding included), so only the image's own area is shown and the frame's pattern elsewhere.
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

  function overlay(p, canvas) {
    var root = svg("svg", { "class": "overlay", viewBox: "0 0 " + canvas.w + " " + canvas.h, preserveAspectRatio: "none" });
    if (!state.showClusters) root.classList.add("hide-clusters");
    if (!state.showBands) root.classList.add("hide-bands");
    bands(p).forEach(function (b) {
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
    clusters(p).forEach(function (c) {
      root.appendChild(svg("rect", { "class": "cluster-fill", x: c.x, y: c.y, width: c.width, height: c.height }));
      var box = svg("rect", { "class": "cluster", x: c.x, y: c.y, width: c.width, height: c.height });
      var t = svg("title", {});
      t.textContent = fmtInt(c.pixels) + " pixels at " + c.x + ", " + c.y + " (" + c.width + " × " + c.height + ")";
      box.appendChild(t);
      root.appendChild(box);
    });
    return root;
  }

  function frame(canvas, children) {
    var f = el("div", { className: "frame", style: "aspect-ratio: " + canvas.w + " / " + canvas.h }, children);
    return f;
  }

  function absent(text) {
    return el("div", { className: "absent", text: text });
  }

  function panel(title, note, content) {
    return el("div", { className: "panel" }, [
      el("div", { className: "panel-title" }, [el("b", { text: title }), el("span", { text: note || "" })]),
      content
    ]);
  }

  function hasOverlay(p) {
    return clusters(p).length > 0 || bands(p).length > 0;
  }

  function availableModes(p) {
    return {
      side: !!(p.baseline_image || p.current_image),
      slider: !!(p.baseline_image && p.current_image),
      diff: !!p.diff
    };
  }

  function renderPair() {
    var p = pairs[state.selected];
    $("placeholder").hidden = !!p;
    $("pair").hidden = !p;
    if (!p) return;

    var badge = $("pair-status");
    badge.textContent = p.status;
    badge.style.setProperty("--badge", statusColor(p.status));
    $("pair-name").textContent = String(p.name);
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
    // Small images shown much larger than they are: sharp pixels rather than blur.
    Array.prototype.forEach.call(stage.querySelectorAll(".frame"), function (f) {
      f.classList.toggle("upscaled", f.clientWidth >= 2 * canvas.w);
    });
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

  function renderSide(p, canvas, stage) {
    var base = p.baseline_image
      ? [placedImage(p.baseline_image, p.baseline_size, canvas, "baseline", null, baselineCovers(p, canvas))]
      : [absent("no baseline")];
    var cur = p.current_image
      ? [placedImage(p.current_image, p.current_size, canvas, "current"), overlay(p, canvas)]
      : [absent("no current image")];
    stage.appendChild(panel("Baseline", fmtSize(p.baseline_size), frame(canvas, base)));
    stage.appendChild(panel("Current", fmtSize(p.current_size), frame(canvas, cur)));
  }

  function renderSlider(p, canvas, stage) {
    stage.classList.add("single", "slider");
    // Never wider than the canvas: a wide slider would only show blur.
    stage.style.maxWidth = Math.min(canvas.w, 820) + "px";
    var top = placedImage(p.current_image, p.current_size, canvas, "current", "top-image");
    var f = frame(canvas, [
      placedImage(p.baseline_image, p.baseline_size, canvas, "baseline", null, baselineCovers(p, canvas)),
      top,
      overlay(p, canvas),
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
    stage.appendChild(panel("Diff", note, frame(canvas, [img, overlay(p, canvas)])));
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
    if (clusters(p).length && mode !== null) item("l-cluster", "cluster of changes");
    bands(p).some(function (b) { return b.kind !== "deleted"; }) && item("l-inserted", "inserted rows");
    bands(p).some(function (b) { return b.kind === "deleted"; }) && item("l-deleted", "rows deleted here");
  }

  function setMode(mode) {
    var p = pairs[state.selected];
    if (!p || !availableModes(p)[mode]) return;
    state.mode = mode;
    renderPair();
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
  }

  function onKey(ev) {
    var t = ev.target;
    var typing = t && (t.tagName === "INPUT" && t.type !== "checkbox" && t.type !== "range" || t.tagName === "TEXTAREA");
    if (typing) {
      if (ev.key === "Escape") { t.blur(); }
      else if (ev.key === "ArrowDown" || ev.key === "ArrowUp") { t.blur(); move(ev.key === "ArrowDown" ? 1 : -1); ev.preventDefault(); }
      return;
    }
    if (ev.altKey || ev.ctrlKey || ev.metaKey) return;
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
    buildList();
    Array.prototype.forEach.call(document.querySelectorAll(".modes button"), function (b) {
      b.addEventListener("click", function () { setMode(b.getAttribute("data-mode")); });
    });
    $("show-clusters").addEventListener("change", function () { setOverlay("clusters", this.checked); });
    $("show-bands").addEventListener("change", function () { setOverlay("bands", this.checked); });
    document.addEventListener("keydown", onKey);
    // A link to one pair (#name) opens it; read before the first selection rewrites the address.
    var wanted = "";
    try { wanted = decodeURIComponent((location.hash || "").slice(1)); } catch (e) { wanted = ""; }
    applyFilter(false);
    if (wanted) {
      for (var i = 0; i < pairs.length; i++) {
        if (String(pairs[i].name) === wanted) { select(i, true); break; }
      }
    }
  }

  start();
})();
