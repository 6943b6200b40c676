// The page template of ordavi-streams. Markers are replaced by the chart
// library ordavi-report embeds (its style, licence and script) and by the
// run's JSON document; the page fetches nothing.
namespace streams {

extern const char kStreamsPage[];
const char kStreamsPage[] = R"html(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>ordavi-streams</title>
<style>
@UPLOT_CSS@
body { font: 14px/1.4 system-ui, sans-serif; margin: 1.5em; color: #222; background: #fff; }
h1 { font-size: 1.5em; margin: 0 0 .2em; }
h2 { font-size: 1.15em; margin: 1.6em 0 .4em; border-bottom: 1px solid #ccc; }
table { border-collapse: collapse; margin: .4em 0 1em; }
th, td { padding: .15em .7em; text-align: right; border-bottom: 1px solid #eee; }
td.l, th.l { text-align: left; }
td.yes { color: #1a7f37; font-weight: 600; } td.no { color: #c62828; font-weight: 600; }
.answer { font-size: 1.15em; margin: .6em 0; }
.note { color: #666; font-size: .9em; }
</style>
</head>
<body>
<h1>ordavi-streams</h1>
<div class="answer" id="answer"></div>
<div class="note" id="params"></div>
<h2>Capacity curve</h2>
<div class="note">Streams against their aggregate MiB/s; each probe marked pass or fail. The line is what the streams ask for at the rate.</div>
<div id="curve"></div>
<h2>Probes</h2>
<table id="probes"></table>
<h2>The answer's streams</h2>
<table id="streams"></table>
<!-- The chart is drawn with uPlot, embedded below under its licence:
@UPLOT_LICENSE@
-->
<script>
@UPLOT_JS@
</script>
<script type="application/json" id="doc">@DOC_JSON@</script>
<script>
(function () {
  "use strict";
  function fail(msg) {
    document.body.dataset.errors = String(msg);
    document.body.dataset.status = "error";
  }
  window.addEventListener("error", function (e) { fail(e.message); });
  function el(tag, text, cls) {
    var e = document.createElement(tag);
    if (text !== undefined) e.textContent = String(text);
    if (cls) e.className = cls;
    return e;
  }
  function row(table, cells, head) {
    var tr = el("tr");
    cells.forEach(function (c) {
      var td = el(head ? "th" : "td", c[0], c[1]);
      tr.appendChild(td);
    });
    table.appendChild(tr);
  }
  function f(v, d) { return v === null || v === undefined ? "" : Number(v).toFixed(d); }
  try {
    var doc = JSON.parse(document.getElementById("doc").textContent);
    var p = doc.parameters, a = doc.answer;
    var what = p.format !== null ? p.format : (p.bytes_per_frame / 1024) + " KB frames";
    var rate = p.rate + " fps" + (p.rate_run !== p.rate ? " (run at " + p.rate_run + ")" : "");
    document.getElementById("answer").textContent =
      (a.direction === "mix" ? (a.streams > 0 ? "Mix sustained: " : "Mix not sustained: ") + (p.read + p.write)
                             : a.streams + " " + a.direction) +
      " streams of " + what + " at " + rate +
      (a.direction !== "mix" && p.read + p.write > 0 ? " beside " + (a.direction === "read" ? p.write + " write" : p.read + " read") + " streams" : "") +
      ", " + f(a.mib_per_s, 1) + " MiB/s in all" +
      (a.margin !== null ? "; margin " + f(a.margin, 2) : "") + (doc.interrupted ? " (interrupted)" : "");
    document.getElementById("params").textContent =
      p.bytes_per_frame + " bytes per frame, " + f(p.mib_per_s_per_stream, 2) + " MiB/s per stream; " +
      p.frames_per_stream + " frames per stream and probe; " + p.launcher + " launcher; ordavi-streams " + doc.version;

    var t = document.getElementById("probes");
    row(t, [["probe"], ["role", "l"], ["read"], ["write"], ["result", "l"], ["dropped"], ["MiB/s"],
             ["margin"], ["spread ms"], ["note", "l"]], true);
    doc.probes.forEach(function (q) {
      var note = "";
      q.per_stream.some(function (s) {
        if (!s.passed) note = s.direction + " " + s.stream + ": " + s.reason;
        return !s.passed;
      });
      row(t, [[q.probe], [q.role, "l"], [q.read_streams], [q.write_streams],
              [q.interrupted ? "interrupted" : q.passed ? "pass" : "fail", q.passed ? "yes l" : "no l"],
              [q.dropped_frames], [f(q.aggregate_mib_per_s, 1)], [f(q.margin, 2)],
              [f(q.start_spread_ms, 1)], [note, "l"]]);
    });

    var s = document.getElementById("streams");
    row(s, [["stream", "l"], ["frames"], ["dropped"], ["fps"], ["MiB/s"], ["longest ms"],
            ["p99.9 ms"], ["headroom"], ["log", "l"]], true);
    var ap = doc.probes.filter(function (q) { return q.probe === a.probe; })[0];
    (ap ? ap.per_stream : []).forEach(function (x) {
      row(s, [[x.direction + " " + x.stream, "l"], [x.frames], [x.dropped_frames], [f(x.fps, 2)],
              [f(x.mib_per_s, 1)], [f(x.longest_frame_ms, 2)], [f(x.p99_9_frame_ms, 2)],
              [f(x.headroom, 2)], [x.log, "l"]]);
    });

    // One point per stream count: the best aggregate of its passing probes,
    // and of its failing ones.
    var counts = [];
    doc.probes.forEach(function (q) { if (counts.indexOf(q.streams) < 0) counts.push(q.streams); });
    counts.sort(function (x, y) { return x - y; });
    var pass = counts.map(function () { return null; }), failed = pass.slice();
    doc.probes.forEach(function (q) {
      if (q.interrupted) return;
      var i = counts.indexOf(q.streams), arr = q.passed ? pass : failed;
      arr[i] = Math.max(arr[i] === null ? 0 : arr[i], q.aggregate_mib_per_s);
    });
    var asked = counts.map(function (n) { return n * p.mib_per_s_per_stream; });
    var u = null;
    if (counts.length > 0) {
      var dot = function () { return null; };
      var lo = Math.max(0, counts[0] - 1), hi = counts[counts.length - 1] + 1;
      u = new uPlot({
        width: 900, height: 380,
        scales: { x: { time: false, range: [lo, hi] } },
        axes: [{ label: "streams" }, { label: "MiB/s" }],
        series: [
          { label: "streams" },
          { label: "asked", stroke: "#888", dash: [6, 4], points: { show: true, size: 5 } },
          { label: "pass", stroke: "#1a7f37", fill: "#1a7f37", paths: dot, points: { show: true, size: 11, fill: "#1a7f37" } },
          { label: "fail", stroke: "#c62828", fill: "#c62828", paths: dot, points: { show: true, size: 11, fill: "#c62828" } }
        ]
      }, [counts, asked, pass, failed], document.getElementById("curve"));
    }
    // Report what was drawn where a headless browser can read it: the chart
    // counts once its canvas holds painted pixels.
    setTimeout(function () {
      var charts = 0;
      if (u) {
        var c = u.ctx.canvas, d = u.ctx.getImageData(0, 0, c.width, c.height).data, painted = 0;
        for (var k = 3; k < d.length; k += 4 * 7) if (d[k] !== 0) painted++;
        if (painted > 50) charts++;
      }
      document.body.dataset.charts = String(charts);
      if (!document.body.dataset.status) document.body.dataset.status = "ok";
    }, 0);
  } catch (e) {
    fail(e && e.stack ? e.stack : e);
  }
})();
</script>
</body>
</html>
)html";

}  // namespace streams
