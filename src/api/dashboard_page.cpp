// The page at "/": the summary table and a chart of the last 15 minutes,
// refreshed every 5 seconds from /summary. Everything is inline. With a
// token, open the page as http://HOST:PORT/#token=TOKEN (the part after '#'
// never leaves the browser) or type it when asked.
#include "api/api_server.h"

namespace quorlen::api {

const std::string& dashboard_page() {
    static const std::string page = R"PAGE(<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>quorlen-gpu-miner</title>
<meta name="viewport" content="width=device-width, initial-scale=1">
<style>
body{font:14px/1.4 system-ui,sans-serif;margin:1.5em;background:#fafafa;color:#222}
h1{font-size:1.3em;margin:0 0 .3em}
#status{margin-bottom:1em;color:#555}.bad{color:#b00020;font-weight:bold}.ok{color:#1b7f3b;font-weight:bold}
table{border-collapse:collapse;margin:.5em 0 1.2em;background:#fff}
th,td{border:1px solid #ddd;padding:.3em .6em;text-align:right}th{background:#f0f0f0}
td.l,th.l{text-align:left}svg{background:#fff;border:1px solid #ddd}
</style></head><body>
<h1>quorlen-gpu-miner</h1>
<div id="status">loading&hellip;</div>
<table id="gpus"><thead><tr><th class="l">GPU</th><th class="l">state</th><th>batch</th><th>10 s H/s</th>
<th>60 s H/s</th><th>15 min H/s</th><th>hashes</th><th>found</th><th>sent</th><th>failed</th><th>hw err</th>
<th>stale</th><th>accepted</th><th>rejected</th><th>&deg;C</th><th>W</th><th>H/s/W</th><th>fan %</th>
<th>core MHz</th><th>mem MHz</th></tr></thead><tbody></tbody></table>
<h2 style="font-size:1.1em">Hash rate, last 15 minutes (10 s averages)</h2>
<svg id="chart" width="800" height="240" viewBox="0 0 800 240"></svg>
<h2 style="font-size:1.1em">Last blocks found</h2>
<table id="blocks"><thead><tr><th class="l">time</th><th>GPU</th><th>height</th><th class="l">hash</th>
<th class="l">verdict</th></tr></thead><tbody></tbody></table>
<script>
"use strict";
let token = (location.hash.match(/token=([^&]+)/) || [])[1] || sessionStorage.getItem("token") || "";
const colours = ["#1f77b4", "#d62728", "#2ca02c", "#9467bd", "#ff7f0e", "#8c564b", "#e377c2", "#17becf"];
function fmt(v, d) { return v === null || v === undefined ? "" : Number(v).toFixed(d); }
function cell(row, text, left) {
  const td = row.insertCell(); td.textContent = text; if (left) td.className = "l"; return td;
}
function table(s) {
  const body = document.querySelector("#gpus tbody"); body.replaceChildren();
  const rows = s.gpus.map(g => [g.gpu + " " + g.name, g.state, g.batch, g.rates["10s"], g.rates["60s"],
    g.rates["15m"], g, g.telemetry || {}]);
  for (const [who, state, batch, r10, r60, r15, g, t] of rows) {
    const row = body.insertRow();
    cell(row, who, true); cell(row, state, true); cell(row, batch);
    cell(row, fmt(r10, 1)); cell(row, fmt(r60, 1)); cell(row, fmt(r15, 1));
    for (const k of ["hashes", "found", "sent", "failed", "hw_errors", "stale", "accepted", "rejected"]) cell(row, g[k]);
    cell(row, fmt(t.temperature_c, 0)); cell(row, fmt(t.power_w, 0)); cell(row, fmt(t.hashes_per_watt, 2));
    cell(row, fmt(t.fan_percent, 0)); cell(row, fmt(t.core_clock_mhz, 0)); cell(row, fmt(t.memory_clock_mhz, 0));
  }
  const t = s.totals, row = body.insertRow(); row.style.fontWeight = "bold";
  cell(row, "rig (" + t.gpus + " GPU)", true); cell(row, "", true); cell(row, "");
  cell(row, fmt(t.rates["10s"], 1)); cell(row, fmt(t.rates["60s"], 1)); cell(row, fmt(t.rates["15m"], 1));
  for (const k of ["hashes", "found", "sent", "failed", "hw_errors", "stale", "accepted", "rejected"]) cell(row, t[k]);
  cell(row, ""); cell(row, fmt(t.power_w, 0)); for (let i = 0; i < 4; ++i) cell(row, "");
  const blocks = document.querySelector("#blocks tbody"); blocks.replaceChildren();
  for (const b of s.blocks) {
    const r = blocks.insertRow();
    cell(r, new Date(b.time_ms).toLocaleString(), true); cell(r, b.gpu); cell(r, b.height);
    cell(r, b.hash, true); cell(r, b.verdict + (b.reason ? ": " + b.reason : ""), true);
  }
}
function chart(s) {
  const svg = document.getElementById("chart"), W = 800, H = 240, L = 60, B = 20;
  const series = [["rig", s.history.rig]].concat(s.gpus.map((g, i) => ["GPU " + g.gpu, s.history.gpus[i]]));
  const points = s.history.rig.length, n = Math.max(points, 2);
  let max = 0; for (const [, v] of series) for (const x of v) max = Math.max(max, x);
  max = max > 0 ? max * 1.1 : 1;
  const ns = "http://www.w3.org/2000/svg"; svg.replaceChildren();
  function el(name, attrs, text) {
    const e = document.createElementNS(ns, name); for (const k in attrs) e.setAttribute(k, attrs[k]);
    if (text !== undefined) e.textContent = text; svg.appendChild(e); return e;
  }
  for (let i = 0; i <= 4; ++i) {
    const y = B + (H - 2 * B) * i / 4;
    el("line", {x1: L, x2: W - 10, y1: y, y2: y, stroke: "#eee"});
    el("text", {x: L - 6, y: y + 4, "text-anchor": "end", "font-size": 11}, (max * (4 - i) / 4).toFixed(1));
  }
  el("text", {x: L, y: H - 4, "font-size": 11}, "-15 min"); el("text", {x: W - 40, y: H - 4, "font-size": 11}, "now");
  series.forEach(([name, v], k) => {
    if (!v.length) return;
    const off = 90 - v.length;
    const pts = v.map((x, i) => (L + (W - 10 - L) * (off + i) / 89).toFixed(1) + "," +
      (H - B - (H - 2 * B) * x / max).toFixed(1)).join(" ");
    el("polyline", {points: pts, fill: "none", stroke: colours[k % colours.length], "stroke-width": k ? 1.5 : 2.5});
    el("text", {x: L + 8 + 90 * k, y: 14, fill: colours[k % colours.length], "font-size": 12}, name);
  });
}
async function refresh() {
  const status = document.getElementById("status");
  try {
    const r = await fetch("summary", {headers: token ? {Authorization: "Bearer " + token} : {}, cache: "no-store"});
    if (r.status === 401) {
      token = prompt("API token") || ""; sessionStorage.setItem("token", token);
      status.textContent = "the API needs a token"; return;
    }
    const s = await r.json();
    status.replaceChildren();
    const health = document.createElement("span");
    health.className = s.healthy ? "ok" : "bad";
    health.textContent = s.healthy ? "healthy" : "unhealthy: " + s.health_problems.join("; ");
    status.append(health, " \u2014 version " + s.version + ", up " + Math.round(s.uptime_seconds) + " s, node " +
      s.node.http + (s.node.answering ? " answering" : " not answering"));
    table(s); chart(s);
  } catch (e) { status.textContent = "no answer from the miner: " + e; }
}
refresh(); setInterval(refresh, 5000);
</script></body></html>
)PAGE";
    return page;
}

}  // namespace quorlen::api
