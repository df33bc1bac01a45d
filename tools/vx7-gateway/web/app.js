// vx7 live: readouts, driver status, a 60 s chart of the four channels
// (history on open, then every sample from the event stream) and, when the
// gateway allows it, range and input controls. Everything comes from this
// gateway; redraws are batched to one per animation frame.
"use strict";

(function () {
  const WINDOW_S = 60;
  const COLORS = ["#1f77b4", "#d62728", "#2ca02c", "#9467bd"];
  const POLL_MS = 1000;

  // Chart data: one time axis, one array per channel (null where another
  // channel sampled), oldest first.
  const xs = [];
  const ys = [[], [], [], []];
  const latest = [null, null, null, null]; // {volts, seenAt (ms, local clock)} or null
  let chart = null;
  let frameQueued = false;
  let chartDirty = false;
  let gatewayUp = false;
  let driverUp = null;
  let configureAllowed = false;

  const $ = (sel, el) => (el || document).querySelector(sel);
  const cards = [];

  function buildCards() {
    const tpl = $("#card");
    const box = $("#readouts");
    for (let c = 1; c <= 4; c++) {
      const el = tpl.content.firstElementChild.cloneNode(true);
      el.id = "channel-" + c;
      $(".name", el).textContent = "Channel " + c;
      $(".swatch", el).style.background = COLORS[c - 1];
      $(".volts", el).id = "volts-" + c;
      $(".range", el).addEventListener("change", (e) => configure(c, { range_volts: Number(e.target.value) }, e.target));
      $(".input", el).addEventListener("change", (e) => configure(c, { input: e.target.value }, e.target));
      box.appendChild(el);
      cards.push(el);
    }
  }

  function buildChart() {
    const box = $("#chart");
    const opts = {
      width: Math.max(200, box.clientWidth),
      height: window.innerWidth < 600 ? 240 : 340,
      scales: { x: { time: true }, y: { auto: true } },
      axes: [{}, { size: 60, values: (u, vals) => vals.map((v) => v.toPrecision(3)) }],
      series: [{}].concat(COLORS.map((color, i) => ({
        label: "Ch " + (i + 1), stroke: color, width: 1.5, spanGaps: true, points: { show: false },
        value: (u, v) => (v == null ? "—" : v.toFixed(6) + " V"),
      }))),
      legend: { live: false },
      cursor: { drag: { x: false, y: false } },
    };
    chart = new uPlot(opts, [xs].concat(ys), box);
    window.addEventListener("resize", () => chart.setSize({ width: Math.max(200, box.clientWidth), height: opts.height }));
  }

  function push(t, channel, volts) {
    // Samples arrive in time order; a late one (history overlapping live)
    // is dropped rather than sorted in.
    if (xs.length && t < xs[xs.length - 1]) return;
    xs.push(t);
    for (let i = 0; i < 4; i++) ys[i].push(i === channel - 1 ? volts : null);
    chartDirty = true;
  }

  function trim(now) {
    const from = now - WINDOW_S;
    let k = 0;
    while (k < xs.length && xs[k] < from) k++;
    if (k > 0) {
      xs.splice(0, k);
      for (const y of ys) y.splice(0, k);
    }
  }

  function schedule() {
    if (!frameQueued) {
      frameQueued = true;
      requestAnimationFrame(draw);
    }
  }

  function fmtVolts(v) {
    return (v >= 0 ? "+" : "") + v.toFixed(6) + " V";
  }

  function draw() {
    frameQueued = false;
    const nowMs = Date.now();
    for (let c = 1; c <= 4; c++) {
      const card = cards[c - 1];
      const l = latest[c - 1];
      const volts = $(".volts", card);
      const age = $(".age", card);
      if (l && l.volts !== null) {
        volts.textContent = fmtVolts(l.volts);
        age.textContent = ((nowMs - l.seenAt) / 1000).toFixed(1) + " s ago";
      } else {
        volts.textContent = "no value";
        age.textContent = l ? "the driver published no value" : "no value yet";
      }
      card.classList.toggle("stale", !l || l.volts === null || !gatewayUp || driverUp === false);
    }
    if (chart && chartDirty) {
      chartDirty = false;
      const now = nowMs / 1000;
      trim(now);
      chart.batch(() => {
        chart.setData([xs].concat(ys), false);
        chart.setScale("x", { min: now - WINDOW_S, max: now });
      });
    }
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

  // ---- data from the gateway ----

  async function loadHistory() {
    const r = await fetch("/api/v1/history?seconds=" + WINDOW_S, { cache: "no-store" });
    if (!r.ok) throw new Error("history: HTTP " + r.status);
    const lines = (await r.text()).split("\n");
    xs.length = 0;
    for (const y of ys) y.length = 0;
    for (let i = 1; i < lines.length; i++) {
      const f = lines[i].split(",");
      if (f.length !== 4) continue;
      const t = Date.parse(f[0]) / 1000 + Number(f[0].slice(23, 26)) / 1e6;
      push(t, Number(f[2]), Number(f[3]));
    }
    chartDirty = true;
  }

  let source = null;
  let pending = null; // live samples that arrived while the history loaded

  function openStream() {
    source = new EventSource("/api/v1/stream");
    pending = [];
    source.addEventListener("open", async () => {
      gatewayUp = true;
      banner();
      try {
        await loadHistory();
      } catch (e) {
        /* the chart fills from the live samples */
      }
      const queued = pending;
      pending = null;
      for (const s of queued) push(s.t, s.channel, s.volts);
      schedule();
    });
    source.addEventListener("sample", (e) => {
      const s = JSON.parse(e.data);
      const t = Date.parse(s.time) / 1000 + Number(s.time.slice(23, 26)) / 1e6;
      latest[s.channel - 1] = { volts: s.volts, seenAt: Date.now() };
      if (pending) pending.push({ t, channel: s.channel, volts: s.volts });
      else push(t, s.channel, s.volts);
      schedule();
    });
    source.addEventListener("status", (e) => {
      const s = JSON.parse(e.data);
      if (!s.has_value) latest[s.channel - 1] = { volts: null, seenAt: Date.now() };
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
      banner();
    });
  }

  async function poll() {
    try {
      const r = await fetch("/api/v1/channels", { cache: "no-store" });
      if (!r.ok) throw new Error("HTTP " + r.status);
      const j = await r.json();
      driverUp = j.driver_running;
      if (j.configure_allowed !== configureAllowed) {
        configureAllowed = j.configure_allowed;
        for (const card of cards) $(".controls", card).hidden = !configureAllowed;
      }
      for (const ch of j.channels) {
        if (latest[ch.channel - 1] === null && ch.has_value)
          latest[ch.channel - 1] = { volts: ch.volts, seenAt: Date.now() - ch.age_seconds * 1000 };
      }
      if (!gatewayUp && source && source.readyState === EventSource.OPEN) gatewayUp = true;
    } catch (e) {
      gatewayUp = false;
    }
    banner();
    setTimeout(poll, POLL_MS);
  }

  async function configure(channel, body, control) {
    const out = $(".result", cards[channel - 1]);
    out.className = "result";
    out.textContent = "sending…";
    control.disabled = true;
    try {
      const r = await fetch("/api/v1/channels/" + channel + "/config", {
        method: "POST",
        headers: { "Content-Type": "application/json" },
        body: JSON.stringify(body),
      });
      const j = await r.json();
      const ok = r.ok && j.result === 0;
      out.className = "result " + (ok ? "ok" : "bad");
      out.textContent = j.error ? j.error : j.meaning + " (result " + j.result + ")";
    } catch (e) {
      out.className = "result bad";
      out.textContent = "not sent: the gateway cannot be reached";
    } finally {
      control.disabled = false;
    }
  }

  // For tests and the curious: what the chart holds.
  window.vx7dash = { points: () => xs.length, latest: () => latest.slice() };

  buildCards();
  buildChart();
  openStream();
  poll();
  // Keep the readouts' ages and the chart's time axis moving when no
  // samples come.
  setInterval(() => { chartDirty = true; schedule(); }, 250);
})();
