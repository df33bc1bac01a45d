// vx7 live: one readout and one chart per channel, in the channel's own
// quantity (name, unit and scaling from the gateway's channel
// configuration), fed by the history on open and then by every sample of
// the event stream. Everything comes from this gateway's API; the browser
// handles a login (HTTP Basic) by itself for these same-origin requests.
//
// Samples are kept per channel in typed arrays for the longest window
// (10 min), so that memory stays put however long the page runs; a gap of
// more than 100 ms between samples of a channel, or a lost value, is drawn
// as a break. The page scales nothing itself: the value of a configured
// channel, and its alarm, come with each sample (and in the history's value
// column). Redraws are batched to one per animation frame, and the
// 10-minute window is redrawn at most four times a second (a pixel there
// is half a second).
"use strict";

(function () {
  const CHANNELS = 4;
  // Okabe-Ito: blue, orange, bluish green, reddish purple.
  const COLORS = ["#0072B2", "#E69F00", "#009E73", "#CC79A7"];
  const LIMIT_COLOR = "#D55E00";
  const MAX_WINDOW_S = 600;
  const GAP_S = 0.1; // more than this between two samples of a channel: a break
  const STALE_S = 1; // a value older than this is stale
  const POLL_MS = 1000;
  const SLOW_REDRAW_MS = 250; // the 10-minute window
  const CAPACITY = 60000; // samples per channel: 100 per second for 10 min
  const SPARE = 15000; // room before the buffer is moved down
  const RECORD_FLUSH_ROWS = 500;

  const $ = (sel, el) => (el || document).querySelector(sel);

  // ---- what the gateway says about the channels ----

  const channelInfo = []; // per channel: {name, unit, scale, offset, min, max, configured, file, fileError, hasValue}
  for (let c = 0; c < CHANNELS; c++) {
    channelInfo.push({ name: "Channel " + (c + 1), unit: "V", scale: 1, offset: 0, min: null, max: null,
                       configured: false, file: "ok", fileError: "", hasValue: null });
  }
  let host = "";
  let channelsConfig = false; // a configuration file was given (the CSV gets a value column)
  let configureAllowed = false;
  let gatewayUp = false;
  let driverUp = null;

  function decimals(scale) {
    const s = Math.abs(scale) || 1;
    return Math.min(9, Math.max(0, 6 - Math.ceil(Math.log10(s) - 1e-9)));
  }

  // ---- sample buffers ----

  class Series {
    constructor() {
      const n = CAPACITY + SPARE;
      this.t = new Float64Array(n); // seconds since the epoch (the gateway's clock)
      this.v = new Float64Array(n); // volts
      this.y = new Float64Array(n); // in the channel's unit
      this.brk = new Uint8Array(n); // 1: a break before this sample (a lost value)
      this.start = 0;
      this.end = 0;
      this.lost = false; // the next sample comes after a lost value
    }
    get length() { return this.end - this.start; }
    last() { return this.end > this.start ? this.t[this.end - 1] : -Infinity; }
    clear() { this.start = this.end = 0; this.lost = false; }
    push(t, volts, value) {
      if (this.end > this.start && t < this.t[this.end - 1]) return false; // late: dropped, not sorted in
      if (this.end === this.t.length) this.compact();
      if (this.end - this.start >= CAPACITY) this.start++;
      const i = this.end++;
      this.t[i] = t;
      this.v[i] = volts;
      this.y[i] = value;
      this.brk[i] = this.lost ? 1 : 0;
      this.lost = false;
      return true;
    }
    compact() {
      const n = this.end - this.start;
      this.t.copyWithin(0, this.start, this.end);
      this.v.copyWithin(0, this.start, this.end);
      this.y.copyWithin(0, this.start, this.end);
      this.brk.copyWithin(0, this.start, this.end);
      this.start = 0;
      this.end = n;
    }
    trim(from) {
      while (this.start < this.end && this.t[this.start] < from) this.start++;
    }
    // Index of the first sample at or after time x (binary search).
    indexAt(x) {
      let lo = this.start, hi = this.end;
      while (lo < hi) {
        const mid = (lo + hi) >> 1;
        if (this.t[mid] < x) lo = mid + 1; else hi = mid;
      }
      return lo;
    }
  }

  const series = [];
  for (let c = 0; c < CHANNELS; c++) series.push(new Series());
  const latest = [null, null, null, null]; // {volts, value, alarm, seenAt (local ms)}
  let skew = 0; // the gateway's clock minus this browser's, seconds
  let historyFrom = Infinity; // the buffers hold everything since this time

  // ---- view: window, pause, zoom ----

  let windowS = 60;
  let view = null; // null: live; else {min, max} held (paused or zoomed)
  let common = false; // one scale (volts) for every chart
  const nowS = () => Date.now() / 1000 + skew;

  function xRange() {
    if (view) return view;
    const now = nowS();
    return { min: now - windowS, max: now };
  }

  // ---- formatting ----

  const timeFmt = new Intl.DateTimeFormat(undefined, { hour: "2-digit", minute: "2-digit", second: "2-digit",
                                                       hourCycle: "h23" });
  const zone = (() => {
    const name = Intl.DateTimeFormat().resolvedOptions().timeZone || "local time";
    const off = -new Date().getTimezoneOffset();
    const sign = off >= 0 ? "+" : "-";
    const a = Math.abs(off);
    return name + " (UTC" + sign + String(Math.floor(a / 60)).padStart(2, "0") + ":" + String(a % 60).padStart(2, "0") + ")";
  })();
  const fmtTime = (t) => timeFmt.format(new Date(t * 1000));
  const fmtTimeFrac = (t, digits) => fmtTime(t) + "." + String(Math.floor((t % 1) * 1000)).padStart(3, "0").slice(0, digits);
  const fmtTimeMs = (t) => fmtTimeFrac(t, 3);
  // Axis ticks: the seconds' fraction where ticks are less than a second apart.
  function timeTicks(u, splits, axis, space, incr) {
    const digits = incr >= 1 ? 0 : Math.min(3, Math.ceil(-Math.log10(incr) - 1e-9));
    return splits.map((t) => (digits ? fmtTimeFrac(t, digits) : fmtTime(t)));
  }

  // A value of channel c as the charts show it (in volts on the common
  // scale), and as its readout shows it (always in its unit).
  function fmtValue(v, c) {
    const d = common ? 6 : decimals(channelInfo[c].scale);
    return (v >= 0 ? "+" : "") + v.toFixed(d);
  }
  const fmtReading = (v, c) => (v >= 0 ? "+" : "") + v.toFixed(decimals(channelInfo[c].scale));
  const unitOf = (c) => (common ? "V" : channelInfo[c].unit);

  // "%.11e" as C writes it: the exponent with at least two digits.
  function fmtE(x) {
    const s = x.toExponential(11);
    const e = s.indexOf("e");
    const digits = s.slice(e + 2);
    return (x === 0 && 1 / x < 0 ? "-" : "") + s.slice(0, e + 2) + (digits.length < 2 ? "0" : "") + digits;
  }

  // "2026-12-08T10:11:12.123456Z" to seconds; the whole seconds of the last
  // time parsed are kept, as consecutive samples share them.
  let lastStamp = "", lastStampS = 0;
  function parseTime(s) {
    const whole = s.slice(0, 19);
    if (whole !== lastStamp) {
      lastStamp = whole;
      lastStampS = Date.parse(whole + "Z") / 1000;
    }
    return lastStampS + Number(s.slice(20, 26)) / 1e6;
  }

  // ---- readouts ----

  const cards = [];

  function buildCards() {
    const tpl = $("#card");
    const box = $("#readouts");
    for (let c = 1; c <= CHANNELS; c++) {
      const el = tpl.content.firstElementChild.cloneNode(true);
      el.id = "channel-" + c;
      el.style.borderLeftColor = COLORS[c - 1];
      $(".swatch", el).style.background = COLORS[c - 1];
      $(".chan", el).textContent = "ch " + c;
      $(".reading", el).id = "volts-" + c;
      for (const sel of [".range", ".input"]) {
        const control = $(sel, el);
        control.dataset.applied = "";
        control.addEventListener("change", () => {
          const body = sel === ".range" ? { range_volts: Number(control.value) } : { input: control.value };
          if (control.value !== "") configure(c, body, control);
        });
      }
      box.appendChild(el);
      cards.push(el);
    }
  }

  function channelState(c, nowMs) {
    const l = latest[c];
    const info = channelInfo[c];
    if (!gatewayUp) return { stale: true, text: "STALE · gateway unreachable" };
    if (info.file === "missing") return { stale: true, text: "STALE · channel file missing" };
    if (info.file === "unusable")
      return { stale: true, text: "STALE · channel file unusable" + (info.fileError ? " (" + info.fileError + ")" : "") };
    if (!l) return { stale: true, text: "" };
    if (l.lost || info.hasValue === false) return { stale: true, text: "STALE · no value (driver stopped)" };
    const age = (nowMs - l.seenAt) / 1000;
    if (age > STALE_S) return { stale: true, text: "STALE · no new value for " + age.toFixed(1) + " s" };
    return { stale: false, text: "" };
  }

  function drawReadouts(nowMs) {
    for (let c = 0; c < CHANNELS; c++) {
      const card = cards[c];
      const info = channelInfo[c];
      const l = latest[c];
      $(".name", card).textContent = info.name;
      const st = channelState(c, nowMs);
      let alarmText = "";
      if (l) {
        $(".number", card).textContent = fmtReading(l.value, c);
        $(".unit", card).textContent = info.unit;
        $(".volts-line", card).textContent = info.configured ? fmtValue6(l.volts) + " V" : "";
        $(".age", card).textContent = ((nowMs - l.seenAt) / 1000).toFixed(1) + " s ago";
        if (l.alarm === "high") alarmText = "ALARM ▲ above max " + info.max + " " + info.unit;
        else if (l.alarm === "low") alarmText = "ALARM ▼ below min " + info.min + " " + info.unit;
      } else {
        $(".number", card).textContent = "no value";
        $(".unit", card).textContent = "";
        $(".volts-line", card).textContent = "";
        $(".age", card).textContent = info.hasValue === false ? "the driver published no value" : "no value yet";
      }
      const state = [alarmText, st.text].filter((x) => x).join(" · ");
      const stateEl = $(".state", card);
      if (stateEl.textContent !== state) stateEl.textContent = state;
      card.classList.toggle("stale", st.stale);
      card.classList.toggle("alarm", alarmText !== "");
    }
  }
  const fmtValue6 = (v) => (v >= 0 ? "+" : "") + v.toFixed(6);

  // ---- charts ----

  const charts = []; // uPlot instances
  const captions = [];
  let chartsDirty = true;
  let lastChartDraw = 0;

  // The breaks of channel c between data indexes i0 and i1 (of the arrays
  // handed to uPlot, which start at the series' start), in canvas pixels.
  function breaks(u, c, i0, i1) {
    const s = series[c];
    const gaps = [];
    const px = (x) => Math.round(u.valToPos(x, "x", true));
    for (let i = Math.max(i0, 1); i <= i1; i++) {
      const k = s.start + i;
      if (s.brk[k] || s.t[k] - s.t[k - 1] > GAP_S) gaps.push([px(s.t[k - 1]), px(s.t[k])]);
    }
    if (i0 === 0 && s.length > 0 && s.brk[s.start]) gaps.unshift([0, px(s.t[s.start])]);
    return gaps;
  }

  // Dashed lines at the channel's alarm limits, labelled; a limit outside the
  // chart's range is named at the edge it lies beyond.
  function drawLimits(u, c) {
    const info = channelInfo[c];
    if (common || !info.configured) return;
    const ctx = u.ctx;
    const { left, top, width, height } = u.bbox;
    const ys = u.scales.y;
    ctx.save();
    ctx.font = Math.round(11 * devicePixelRatio) + "px system-ui, sans-serif";
    ctx.fillStyle = LIMIT_COLOR;
    ctx.strokeStyle = LIMIT_COLOR;
    ctx.lineWidth = Math.max(1, devicePixelRatio);
    ctx.setLineDash([6 * devicePixelRatio, 4 * devicePixelRatio]);
    for (const [name, v] of [["max", info.max], ["min", info.min]]) {
      if (v === null) continue;
      const label = name + " " + v + " " + info.unit;
      if (v >= ys.min && v <= ys.max) {
        const y = Math.round(u.valToPos(v, "y", true));
        ctx.beginPath();
        ctx.moveTo(left, y);
        ctx.lineTo(left + width, y);
        ctx.stroke();
        ctx.fillText(label, left + 4 * devicePixelRatio, y - 3 * devicePixelRatio);
      } else {
        const above = v > ys.max;
        ctx.fillText((above ? "↑ " : "↓ ") + label, left + 4 * devicePixelRatio,
                     above ? top + 12 * devicePixelRatio : top + height - 4 * devicePixelRatio);
      }
    }
    ctx.restore();
  }

  // The y range: the visible data with a margin; in the common scale, that
  // of every channel.
  // A flat line gets at least a millivolt's worth of room either side.
  const yRanges = [null, null, null, null];
  function padded(min, max, scale) {
    if (!(min <= max)) return [-1, 1];
    const span = max - min;
    const pad = Math.max(span * 0.08, Math.abs((max + min) / 2) * 1e-4, 1e-3 * Math.abs(scale));
    return [min - pad, max + pad];
  }

  function buildCharts() {
    const box = $("#charts");
    const tpl = $("#chart");
    const sync = uPlot.sync("vx7");
    for (let c = 0; c < CHANNELS; c++) {
      const fig = tpl.content.firstElementChild.cloneNode(true);
      fig.id = "chart-" + (c + 1);
      $(".swatch", fig).style.background = COLORS[c];
      box.appendChild(fig);
      const el = $(".chart", fig);
      captions.push({ title: $(".title", fig), stats: $(".stats", fig) });
      const opts = {
        width: Math.max(200, el.clientWidth),
        height: chartHeight(),
        pxAlign: 0,
        scales: {
          x: { time: true },
          y: { auto: true, range: () => yRanges[c] || [-1, 1] },
        },
        axes: [
          { values: timeTicks, space: 80, size: 28, font: "11px system-ui, sans-serif" },
          { size: 66, label: "V", labelSize: 16, font: "11px system-ui, sans-serif",
            labelFont: "12px system-ui, sans-serif",
            values: (u, splits) => splits.map((v) => +v.toPrecision(6) + "") },
        ],
        series: [
          { value: (u, v) => (v == null ? "—" : fmtTimeMs(v)) },
          { label: channelInfo[c].name, stroke: COLORS[c], width: 1.5, points: { show: false },
            value: (u, v) => (v == null ? "—" : fmtValue(v, c) + " " + unitOf(c)),
            gaps: (u, sidx, i0, i1) => breaks(u, c, i0, i1) },
        ],
        legend: { live: true },
        cursor: {
          sync: { key: sync.key },
          drag: { x: true, y: false, setScale: false },
          bind: { dblclick: () => () => null },
        },
        hooks: {
          setSelect: [(u) => {
            if (u.select.width > 2) {
              const min = u.posToVal(u.select.left, "x");
              const max = u.posToVal(u.select.left + u.select.width, "x");
              setView({ min, max }, "zoomed");
            }
            u.setSelect({ left: 0, top: 0, width: 0, height: 0 }, false);
          }],
          draw: [(u) => drawLimits(u, c)],
        },
      };
      const u = new uPlot(opts, [new Float64Array(0), new Float64Array(0)], el);
      u.over.addEventListener("dblclick", () => setView(null));
      charts.push(u);
    }
    const observer = new ResizeObserver(() => {
      for (const u of charts) u.setSize({ width: Math.max(200, u.root.parentElement.clientWidth), height: chartHeight() });
      chartsDirty = true;
      schedule();
    });
    observer.observe(box);
  }
  const chartHeight = () => (window.innerWidth < 600 ? 120 : 150);

  // Minimum, maximum and mean of channel c over [a, b) in its unit (or volts).
  function stats(c, a, b) {
    const s = series[c];
    const arr = common ? s.v : s.y;
    let min = Infinity, max = -Infinity, sum = 0;
    for (let i = a; i < b; i++) {
      const v = arr[i];
      if (v < min) min = v;
      if (v > max) max = v;
      sum += v;
    }
    return b > a ? { min, max, mean: sum / (b - a) } : null;
  }

  function drawCharts() {
    const r = xRange();
    const ranges = [];
    for (let c = 0; c < CHANNELS; c++) {
      const s = series[c];
      if (!view) s.trim(nowS() - MAX_WINDOW_S - 1);
      const a = s.indexAt(r.min), b = s.indexAt(r.max + 1e-6);
      ranges.push({ a, b, st: stats(c, a, b) });
    }
    let all = null;
    if (common) {
      for (const { st } of ranges)
        if (st) all = all ? { min: Math.min(all.min, st.min), max: Math.max(all.max, st.max) } : { ...st };
    }
    for (let c = 0; c < CHANNELS; c++) {
      const s = series[c];
      const u = charts[c];
      const { st } = ranges[c];
      const info = channelInfo[c];
      const base = common ? all : st;
      yRanges[c] = base ? padded(base.min, base.max, common ? 1 : info.scale) : null;
      const unit = unitOf(c);
      const title = info.name + (info.name === "Channel " + (c + 1) ? "" : " (ch " + (c + 1) + ")") + " · " + unit;
      if (captions[c].title.textContent !== title) captions[c].title.textContent = title;
      captions[c].stats.textContent = st
        ? "min " + fmtValue(st.min, c) + "  max " + fmtValue(st.max, c) + "  mean " + fmtValue(st.mean, c) + " " + unit
        : "no samples in view";
      if (u.axes[1].label !== unit) {
        u.axes[1].label = unit;
        u.series[1].label = info.name;
        const lab = u.root.querySelector(".u-legend .u-series:nth-child(2) .u-label");
        if (lab) lab.textContent = info.name;
      }
      const y = common ? s.v : s.y;
      u.batch(() => {
        u.setData([s.t.subarray(s.start, s.end), y.subarray(s.start, s.end)], false);
        u.setScale("x", { min: r.min, max: r.max });
      });
    }
  }

  // ---- the frame ----

  let frameQueued = false;

  function schedule() {
    if (!frameQueued) {
      frameQueued = true;
      requestAnimationFrame(draw);
    }
  }

  function draw() {
    frameQueued = false;
    const nowMs = Date.now();
    drawReadouts(nowMs);
    if (recorder) $("#record").textContent = "Stop recording (" + recorder.rows + " rows, " +
      Math.round((nowMs - recorder.startMs) / 1000) + " s)";
    const slow = windowS > 60 && !view;
    if (chartsDirty && (!slow || nowMs - lastChartDraw >= SLOW_REDRAW_MS)) {
      chartsDirty = false;
      lastChartDraw = nowMs;
      drawCharts();
    }
  }

  function setView(v, why) {
    view = v;
    const pause = $("#pause");
    pause.setAttribute("aria-pressed", v ? "true" : "false");
    pause.textContent = v ? "Resume" : "Pause";
    const note = $("#view-note");
    note.hidden = !v;
    if (v)
      note.textContent = (why === "zoomed" ? "Zoomed to " : "Paused at ") + fmtTime(v.min) + "–" + fmtTime(v.max) +
        ". Resume (or double-click a chart) to follow the live data.";
    chartsDirty = true;
    schedule();
  }

  // ---- recording in the browser ----

  let recorder = null; // {startMs, parts: [Blob], buf, rows, withValue}

  function recordRow(line) {
    recorder.buf += line;
    if (++recorder.rows % RECORD_FLUSH_ROWS === 0) {
      // Kept as blobs: the recording's bytes stay out of the page's heap.
      recorder.parts.push(new Blob([recorder.buf], { type: "text/csv" }));
      recorder.buf = "";
    }
  }

  function recordSample(s) {
    if (!recorder) return;
    let line = s.time + "," + s.elapsed_ms + "," + s.channel + "," + fmtE(s.volts);
    if (recorder.withValue) line += "," + fmtE(s.value !== undefined ? s.value : s.volts);
    recordRow(line + "\n");
  }

  function recordNoValue(s) {
    if (recorder) recordRow(s.time + ",," + s.channel + "," + (recorder.withValue ? "," : "") + "\n");
  }

  function fileStamp(ms) {
    return new Date(ms).toISOString().slice(0, 19).replace(/:/g, "-") + "Z";
  }

  function toggleRecording() {
    const button = $("#record");
    if (!recorder) {
      recorder = { startMs: Date.now(), parts: [], buf: "", rows: 0, withValue: channelsConfig };
      button.setAttribute("aria-pressed", "true");
      schedule();
      return;
    }
    const r = recorder;
    recorder = null;
    r.parts.push(new Blob([r.buf], { type: "text/csv" }));
    const header = "time,elapsed_ms,channel,volts" + (r.withValue ? ",value" : "") + "\n";
    const blob = new Blob([header].concat(r.parts), { type: "text/csv" });
    const a = document.createElement("a");
    a.href = URL.createObjectURL(blob);
    a.download = "vx7-" + (host || "gateway").replace(/[^A-Za-z0-9._-]/g, "_") + "-" + fileStamp(r.startMs) + ".csv";
    document.body.appendChild(a);
    a.click();
    a.remove();
    setTimeout(() => URL.revokeObjectURL(a.href), 60000);
    button.setAttribute("aria-pressed", "false");
    button.textContent = "Record";
  }

  // ---- data from the gateway ----

  function onSample(s, live) {
    const c = s.channel - 1;
    if (c < 0 || c >= CHANNELS) return;
    const t = parseTime(s.time);
    if (live) {
      skew = t - Date.now() / 1000;
      latest[c] = { volts: s.volts, value: s.value !== undefined ? s.value : s.volts, alarm: s.alarm || null,
                    seenAt: Date.now(), lost: false };
      channelInfo[c].hasValue = true;
      if (channelInfo[c].file !== "ok") channelInfo[c].file = "ok";
      recordSample(s);
    }
    if (series[c].push(t, s.volts, s.value !== undefined ? s.value : s.volts)) chartsDirty = true;
  }

  async function loadHistory(seconds) {
    const r = await fetch("/api/v1/history?seconds=" + seconds, { cache: "no-store" });
    if (!r.ok) throw new Error("history: HTTP " + r.status);
    const text = await r.text();
    for (const s of series) s.clear();
    let pos = text.indexOf("\n") + 1;
    while (pos > 0 && pos < text.length) {
      let end = text.indexOf("\n", pos);
      if (end < 0) end = text.length;
      const f = text.slice(pos, end).split(",");
      pos = end + 1;
      if (f.length < 4 || f[3] === "") continue;
      const c = Number(f[2]) - 1;
      const volts = Number(f[3]);
      if (c >= 0 && c < CHANNELS) series[c].push(parseTime(f[0]), volts, f.length > 4 ? Number(f[4]) : volts);
    }
    historyFrom = Date.now() / 1000 + skew - seconds;
    chartsDirty = true;
  }

  let source = null;
  let pending = null; // live samples that arrived while the history loaded
  let refilling = Promise.resolve();

  // The buffers anew from the last `seconds` of history, then the live
  // samples that came meanwhile; one refill at a time.
  function refill(seconds) {
    pending = pending || [];
    refilling = refilling.then(async () => {
      pending = pending || [];
      try {
        await loadHistory(seconds);
      } catch (e) {
        /* the charts fill from the live samples */
      }
      const queued = pending || [];
      pending = null;
      for (const s of queued) {
        if (s.kind === "sample") onSample(s, false);
        else series[s.channel - 1].lost = true;
      }
      schedule();
    });
    return refilling;
  }

  function openStream() {
    source = new EventSource("/api/v1/stream");
    pending = [];
    source.addEventListener("open", () => {
      gatewayUp = true;
      banner();
      refill(windowS);
    });
    source.addEventListener("sample", (e) => {
      const s = JSON.parse(e.data);
      if (pending) {
        onSample(s, true);
        s.kind = "sample";
        pending.push(s);
      } else {
        onSample(s, true);
      }
      schedule();
    });
    source.addEventListener("status", (e) => {
      const s = JSON.parse(e.data);
      const c = s.channel - 1;
      if (c < 0 || c >= CHANNELS) return;
      if (!s.has_value) {
        series[c].lost = true;
        if (latest[c]) latest[c].lost = true;
        channelInfo[c].hasValue = false;
        recordNoValue(s);
        if (pending) pending.push({ kind: "status", channel: s.channel });
      }
      schedule();
    });
    source.addEventListener("error", () => {
      // The browser reconnects by itself (the stream asks for 2 s); after a
      // close by the gateway (stopped, or this page fell behind) start anew.
      if (source.readyState === EventSource.CLOSED) {
        source = null;
        setTimeout(openStream, 2000);
      }
      gatewayUp = false;
      for (const s of series) s.lost = true;
      banner();
    });
  }

  function takeChannels(j) {
    driverUp = j.driver_running;
    channelsConfig = !!j.channels_config;
    if (typeof j.host === "string" && j.host !== host) {
      host = j.host;
      $("#host").textContent = host;
      document.title = host + " · vx7 live";
    }
    if (j.configure_allowed !== configureAllowed) {
      configureAllowed = !!j.configure_allowed;
      for (const card of cards) $(".controls", card).hidden = !configureAllowed;
    }
    for (const ch of j.channels) {
      const c = ch.channel - 1;
      if (c < 0 || c >= CHANNELS) continue;
      const info = channelInfo[c];
      const configured = ch.unit !== undefined;
      const next = {
        name: configured ? ch.name : "Channel " + (c + 1),
        unit: configured ? ch.unit : "V",
        scale: configured ? ch.scale : 1, offset: configured ? ch.offset : 0,
        min: configured ? ch.min : null, max: configured ? ch.max : null,
      };
      // Another configuration (the gateway started anew): the values drawn
      // come again from the history.
      const rescaled = next.scale !== info.scale || next.offset !== info.offset;
      Object.assign(info, next, { configured, file: ch.file || "ok", fileError: ch.file_error || "",
                                  hasValue: ch.has_value });
      if (rescaled && source) refill(windowS);
      if (latest[c] === null && ch.has_value)
        latest[c] = { volts: ch.volts, value: configured ? ch.value : ch.volts, alarm: ch.alarm || null,
                      seenAt: Date.now() - ch.age_seconds * 1000, lost: false };
      if (!ch.has_value && latest[c]) latest[c].lost = true;
    }
  }

  async function poll() {
    try {
      const r = await fetch("/api/v1/channels", { cache: "no-store" });
      if (!r.ok) throw new Error("HTTP " + r.status);
      takeChannels(await r.json());
      if (!gatewayUp && source && source.readyState === EventSource.OPEN) gatewayUp = true;
    } catch (e) {
      gatewayUp = false;
    }
    banner();
    setTimeout(poll, POLL_MS);
  }

  function banner() {
    const b = $("#banner");
    let text = "";
    if (!gatewayUp) text = "The gateway cannot be reached. Retrying…";
    else if (driverUp === false) text = "The acquisition driver is not running: no new samples. Start it (vx7_driver start); this page picks up again by itself.";
    b.hidden = text === "";
    b.textContent = text;
    const link = $("#link");
    link.textContent = gatewayUp ? "gateway: connected" : "gateway: unreachable";
    link.className = "badge " + (gatewayUp ? "ok" : "bad");
    const drv = $("#driver");
    drv.textContent = driverUp === null ? "driver: …" : driverUp ? "driver: running" : "driver: stopped";
    drv.className = "badge " + (driverUp === null ? "unknown" : driverUp ? "ok" : "bad");
    schedule();
  }

  // A change of range or input; a refused or failed one puts the menu back
  // to what it showed before.
  async function configure(channel, body, control) {
    const out = $(".result", cards[channel - 1]);
    const before = control.dataset.applied;
    out.className = "result";
    out.textContent = "sending…";
    control.disabled = true;
    let ok = false;
    try {
      const r = await fetch("/api/v1/channels/" + channel + "/config", {
        method: "POST",
        headers: { "Content-Type": "application/json" },
        body: JSON.stringify(body),
      });
      let j = {};
      try {
        j = await r.json();
      } catch (e) {
        j = { error: "HTTP " + r.status };
      }
      ok = r.ok && j.result === 0;
      out.className = "result " + (ok ? "ok" : "bad");
      out.textContent = j.error ? j.error : j.meaning + " (result " + j.result + ")";
    } catch (e) {
      out.className = "result bad";
      out.textContent = "not sent: the gateway cannot be reached";
    } finally {
      if (ok) control.dataset.applied = control.value;
      else control.value = before;
      control.disabled = false;
    }
  }

  // ---- controls ----

  function bindToolbar() {
    $("#zone").textContent = "Times in " + zone;
    for (const radio of document.querySelectorAll('input[name="window"]')) {
      radio.addEventListener("change", () => {
        windowS = Number(radio.value);
        if (view) setView({ min: view.max - windowS, max: view.max });
        if (nowS() - windowS < historyFrom) refill(windowS);
        chartsDirty = true;
        schedule();
      });
    }
    $("#pause").addEventListener("click", () => {
      if (view) setView(null);
      else setView(xRange(), "paused");
    });
    $("#common").addEventListener("change", (e) => {
      common = e.target.checked;
      chartsDirty = true;
      schedule();
    });
    $("#record").addEventListener("click", toggleRecording);
  }

  // For tests and the curious.
  window.vx7dash = {
    points: () => series.reduce((n, s) => n + s.length, 0),
    latest: () => latest.slice(),
    chart: (channel) => charts[channel - 1],
    series: (channel) => series[channel - 1],
    recording: () => (recorder ? recorder.rows : null),
    view: () => (view ? { min: view.min, max: view.max } : null),
  };

  async function start() {
    buildCards();
    buildCharts();
    bindToolbar();
    try {
      const r = await fetch("/api/v1/channels", { cache: "no-store" });
      if (r.ok) takeChannels(await r.json());
    } catch (e) {
      /* poll() says so */
    }
    openStream();
    poll();
    // Keep the readouts' ages and the time axis moving when no samples come.
    setInterval(() => {
      if (!view) chartsDirty = true;
      schedule();
    }, 250);
  }
  start();
})();
