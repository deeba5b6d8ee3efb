// The service's two web pages, Correction and Cinema: sign-in with a client key (the session lives
// in local storage under "hoplin_session"), a file input with drop zones, and a queue that reads
// each file's duration and peak in the browser. The desktop app embeds these pages, hides their
// top bar and hands them dropped files through window.hoplinInjectFiles and friends.

#include "Http.h"
#include "Routes.h"

#include <cstdio>
#include <string>

namespace hoplin::server {

namespace {

const char *const kStyle = R"CSS(
:root { --bg:#FAFAF7; --card:#fff; --ink:#1A1A1A; --muted:#6B6B66; --accent:#E4572E; --soft:#FCE9E3;
        --line:#E6E4DE; --ok:#1F8A70; --err:#C0392B; }
* { box-sizing: border-box; }
body { margin:0; font: 14px/1.45 system-ui, "Segoe UI", "Helvetica Neue", sans-serif; background:var(--bg); color:var(--ink); }
.top-bar { display:flex; align-items:center; gap:24px; padding:12px 24px; background:var(--ink); color:#fff; }
.top-bar a { color:#ddd; text-decoration:none; } .top-bar a.here { color:#fff; font-weight:600; }
.top-bar .brand { font-weight:800; letter-spacing:.5px; }
main { max-width:980px; margin:0 auto; padding:24px; display:grid; gap:16px; }
.card { background:var(--card); border:1px solid var(--line); border-radius:12px; padding:18px 20px; }
h1 { font-size:22px; margin:0 0 4px; } h2 { font-size:15px; margin:0 0 10px; }
p.lead { color:var(--muted); margin:0; }
.row { display:flex; gap:10px; align-items:center; flex-wrap:wrap; }
input[type=password], input[type=text] { flex:1; min-width:220px; padding:8px 10px; border:1px solid var(--line); border-radius:8px; font:inherit; }
button, .button { background:var(--accent); color:#fff; border:0; border-radius:8px; padding:8px 14px; font:inherit; font-weight:600; cursor:pointer; }
button.quiet, .button.quiet { background:transparent; color:var(--muted); border:1px solid var(--line); }
.error { color:var(--err); min-height:1em; margin:6px 0 0; }
.zones { display:grid; gap:12px; grid-template-columns: repeat(auto-fit, minmax(260px, 1fr)); }
.file-input-area, .zone { border:2px dashed var(--line); border-radius:12px; padding:28px 18px; text-align:center; background:#FDFDFB; cursor:pointer; transition: background .15s, border-color .15s; }
.file-input-area.drag-over, .zone.drag-over { border-color:var(--accent); background:var(--soft); }
.file-input-area strong, .zone strong { display:block; font-size:15px; margin-bottom:4px; }
.file-input-area small, .zone small { color:var(--muted); }
label[for=files] { display:inline-block; margin-top:10px; }
input[type=file] { display:none; }
table { width:100%; border-collapse:collapse; font-variant-numeric: tabular-nums; }
th, td { text-align:left; padding:7px 8px; border-bottom:1px solid var(--line); }
th { color:var(--muted); font-weight:600; font-size:12px; text-transform:uppercase; letter-spacing:.6px; }
td.num { text-align:right; } th.num { text-align:right; }
#status { color:var(--muted); margin:8px 0 0; }
.ok { color:var(--ok); } .bad { color:var(--err); }
)CSS";

const char *const kScript = R"JS(
(function () {
  'use strict';
  const KEY = 'hoplin_session';
  const $ = (id) => document.getElementById(id);
  const queue = [];

  function readSession() {
    try { const text = localStorage.getItem(KEY); return text ? JSON.parse(text) : null; } catch (e) { return null; }
  }
  function showSession() {
    const session = readSession();
    $('signin').hidden = !!session;
    $('account').hidden = !session;
    $('clientId').textContent = session ? (session.client_id || 'signed in') : '';
  }

  async function connect() {
    const key = $('apiKey').value;
    $('signinError').textContent = '';
    if (!key.trim()) { $('signinError').textContent = 'Enter your client key.'; return; }
    $('connect').disabled = true;
    try {
      const answer = await fetch('/v1/auth/activate', { method: 'POST', headers: { 'Content-Type': 'application/json' },
        body: JSON.stringify({ api_key: key, installation_label: 'web' }) });
      const body = await answer.json().catch(() => ({}));
      if (!answer.ok) { $('signinError').textContent = body.detail || ('Sign-in failed (' + answer.status + ')'); return; }
      localStorage.setItem(KEY, JSON.stringify({ access_token: body.access_token, refresh_token: body.refresh_token,
        installation_id: body.installation_id, client_id: body.client_id }));
      $('apiKey').value = '';
      showSession();
    } catch (e) {
      $('signinError').textContent = 'The service cannot be reached.';
    } finally {
      $('connect').disabled = false;
    }
  }

  async function signOut() {
    const session = readSession();
    if (session && session.access_token) {
      fetch('/v1/auth/logout', { method: 'POST', headers: { 'Authorization': 'Bearer ' + session.access_token } }).catch(() => {});
    }
    localStorage.removeItem(KEY);
    showSession();
  }

  function formatSize(bytes) {
    if (bytes < 1024) return bytes + ' B';
    const units = ['KB', 'MB', 'GB'];
    let value = bytes / 1024, unit = 0;
    while (value >= 1024 && unit < units.length - 1) { value /= 1024; ++unit; }
    return value.toFixed(value < 10 ? 1 : 0) + ' ' + units[unit];
  }
  function formatDuration(seconds) {
    const m = Math.floor(seconds / 60), s = seconds - m * 60;
    return m + ':' + (s < 10 ? '0' : '') + s.toFixed(2);
  }
  function updateStatus() {
    const total = queue.reduce((sum, item) => sum + item.file.size, 0);
    $('status').textContent = queue.length === 0 ? 'No files queued yet.'
      : queue.length + (queue.length === 1 ? ' file' : ' files') + ' queued · ' + formatSize(total);
  }

  // Browsers decode the whole file into memory: very large files are listed without a preview.
  const PREVIEW_LIMIT = 256 * 1024 * 1024;
  let audioContext = null;
  async function measure(item) {
    if (item.file.size > PREVIEW_LIMIT) { item.note = 'too large to preview'; return; }
    try {
      audioContext = audioContext || new (window.AudioContext || window.webkitAudioContext)();
      const buffer = await audioContext.decodeAudioData(await item.file.arrayBuffer());
      let peak = 0;
      for (let c = 0; c < buffer.numberOfChannels; ++c) {
        const samples = buffer.getChannelData(c);
        for (let i = 0; i < samples.length; ++i) { const v = Math.abs(samples[i]); if (v > peak) peak = v; }
      }
      item.duration = buffer.duration;
      item.peak = peak > 0 ? 20 * Math.log10(peak) : -Infinity;
      item.channels = buffer.numberOfChannels;
    } catch (e) {
      item.note = 'not decodable here';
    }
  }

  function cell(row, text, className) {
    const td = document.createElement('td');
    td.textContent = text;
    if (className) td.className = className;
    row.appendChild(td);
  }
  function render() {
    const body = $('queue').tBodies[0];
    body.textContent = '';
    queue.forEach((item, index) => {
      const row = document.createElement('tr');
      cell(row, String(index + 1), 'num');
      cell(row, item.file.name);
      if (window.HOPLIN_PAGE === 'cinema') cell(row, item.zone);
      cell(row, formatSize(item.file.size), 'num');
      cell(row, item.duration === undefined ? (item.note ? '—' : '…') : formatDuration(item.duration), 'num');
      const peak = item.peak === undefined ? (item.note || '…')
        : (item.peak === -Infinity ? 'silent' : item.peak.toFixed(1) + ' dBFS');
      cell(row, peak, item.peak !== undefined && item.peak > -0.1 ? 'num bad' : 'num');
      body.appendChild(row);
    });
    updateStatus();
  }

  function addFiles(files, zone) {
    for (const file of files) {
      const item = { file: file, zone: zone || 'Mix' };
      queue.push(item);
      measure(item).then(render);
    }
    render();
  }

  // Base64 decoded in slices so a large file never needs one giant intermediate string.
  function fileFromBridge(entry) {
    const data = String(entry.data || '');
    const parts = [];
    const slice = 4 * 262144;
    for (let offset = 0; offset < data.length; offset += slice) {
      const binary = atob(data.slice(offset, offset + slice));
      const bytes = new Uint8Array(binary.length);
      for (let i = 0; i < binary.length; ++i) bytes[i] = binary.charCodeAt(i);
      parts.push(bytes);
    }
    return new File(parts, String(entry.name || 'file'), { type: String(entry.type || '') });
  }
  window.hoplinInjectFiles = function (entries) { addFiles((entries || []).map(fileFromBridge), 'Mix'); };
  window.hoplinInjectFile = function (entry) { addFiles([fileFromBridge(entry)], 'Mix'); };
  window.hoplinInjectImmersiveFile = function (entry) { addFiles([fileFromBridge(entry)], 'Immersive'); };

  function wireZone(zone, input, name) {
    if (!zone) return;
    zone.addEventListener('dragover', (e) => { e.preventDefault(); zone.classList.add('drag-over'); });
    zone.addEventListener('dragleave', () => zone.classList.remove('drag-over'));
    zone.addEventListener('drop', (e) => {
      e.preventDefault();
      zone.classList.remove('drag-over');
      addFiles(e.dataTransfer.files, name);
    });
    if (input) input.addEventListener('change', () => { addFiles(input.files, name); input.value = ''; });
  }

  document.addEventListener('DOMContentLoaded', () => {
    $('connect').addEventListener('click', connect);
    $('apiKey').addEventListener('keydown', (e) => { if (e.key === 'Enter') connect(); });
    $('signout').addEventListener('click', signOut);
    $('clear').addEventListener('click', () => { queue.length = 0; render(); });
    window.addEventListener('hoplin:session-updated', showSession);
    window.addEventListener('storage', (e) => { if (e.key === KEY) showSession(); });
    if (window.HOPLIN_PAGE === 'cinema') {
      wireZone($('dropZone'), $('files51'), 'Mix');
      wireZone($('immDropZone'), $('filesImm'), 'Immersive');
      // The inputs sit inside their zones: their own clicks bubble up and must not re-open them.
      $('dropZone').addEventListener('click', (e) => { if (e.target !== $('files51')) $('files51').click(); });
      $('immDropZone').addEventListener('click', (e) => { if (e.target !== $('filesImm')) $('filesImm').click(); });
    } else {
      wireZone($('dropArea'), $('files'), 'Mix');
    }
    showSession();
    render();
  });
})();
)JS";

std::string page(bool cinema) {
    const std::string name = cinema ? "cinema" : "correction";
    std::string html;
    html += "<!doctype html><html lang=\"en\"><head><meta charset=\"utf-8\">"
            "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">";
    html += cinema ? "<title>Hoplin · Cinema</title>" : "<title>Hoplin · Correction</title>";
    html += "<style>" + std::string(kStyle) + "</style>";
    html += "<script>window.HOPLIN_PAGE = '" + name + "';</script><script>" + std::string(kScript) +
            "</script></head><body>";
    html += "<header class=\"top-bar\"><span class=\"brand\">HOPLIN</span>"
            "<a href=\"/correction\"" + std::string(cinema ? "" : " class=\"here\"") + ">Correction</a>"
            "<a href=\"/cinema\"" + std::string(cinema ? " class=\"here\"" : "") + ">Cinema</a></header><main>";
    if (cinema)
        html += "<section class=\"card\"><h1>Cinema</h1><p class=\"lead\">Prepare theatrical and home-cinema "
                "deliveries: stereo and 5.1 mixes on the left, immersive masters (MXF) on the right.</p></section>";
    else
        html += "<section class=\"card\"><h1>Correction</h1><p class=\"lead\">Queue recordings for loudness "
                "and level correction. Each file is checked here first: its duration and sample peak.</p></section>";
    html += R"HTML(
<section class="card" id="signin"><h2>Sign in</h2>
  <div class="row"><input id="apiKey" type="password" placeholder="Client key" autocomplete="off">
  <button id="connect">Connect</button></div><p class="error" id="signinError"></p></section>
<section class="card" id="account" hidden><div class="row"><span>Signed in as <b id="clientId"></b></span>
  <span style="flex:1"></span><button class="quiet" id="signout">Sign out</button></div></section>
)HTML";
    if (cinema)
        html += R"HTML(
<section class="card"><h2>Add files</h2><div class="zones">
  <div class="zone file-input-area" id="dropZone"><strong>Stereo / 5.1 mix</strong><small>Drop WAV, AIFF or FLAC here, or click to choose</small>
    <input type="file" id="files51" multiple accept="audio/*,.wav,.aif,.aiff,.flac"></div>
  <div class="zone" id="immDropZone"><strong>Immersive master</strong><small>Drop an MXF or ADM BWF here, or click to choose</small>
    <input type="file" id="filesImm" accept=".mxf,.wav"></div>
</div></section>
)HTML";
    else
        html += R"HTML(
<section class="card"><h2>Add files</h2>
  <div class="file-input-area" id="dropArea"><strong>Drop audio files here</strong><small>WAV, AIFF, FLAC, MP3 or M4A</small><br>
    <label for="files" class="button">Choose files…</label><input type="file" id="files" multiple accept="audio/*">
  </div></section>
)HTML";
    html += "<section class=\"card\"><div class=\"row\"><h2 style=\"margin:0\">Queue</h2><span style=\"flex:1\"></span>"
            "<a class=\"button quiet\" href=\"/" + name + "/report.pdf\" style=\"text-decoration:none\">Report (PDF)</a>"
            "<button class=\"quiet\" id=\"clear\">Clear</button></div>"
            "<table id=\"queue\"><thead><tr><th class=\"num\">#</th><th>Name</th>" +
            std::string(cinema ? "<th>Zone</th>" : "") +
            "<th class=\"num\">Size</th><th class=\"num\">Duration</th><th class=\"num\">Peak</th></tr></thead>"
            "<tbody></tbody></table><p id=\"status\"></p></section></main></body></html>";
    return html;
}

// A one-page PDF with the delivery checklist; built by hand so the offsets are exact.
std::string guidePdf(bool cinema) {
    const std::string text = cinema ? "Hoplin Cinema delivery guide: mixes 48 kHz 24-bit, immersive masters as MXF."
                                    : "Hoplin Correction guide: 48 kHz or 44.1 kHz, peaks below -1 dBTP.";
    const std::string stream = "BT /F1 12 Tf 72 720 Td (" + text + ") Tj ET";
    const std::string objects[] = {
        "<< /Type /Catalog /Pages 2 0 R >>",
        "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Resources << /Font << /F1 5 0 R >> >> "
        "/Contents 4 0 R >>",
        "<< /Length " + std::to_string(stream.size()) + " >>\nstream\n" + stream + "\nendstream",
        "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>",
    };
    std::string pdf = "%PDF-1.4\n";
    std::string xref = "xref\n0 6\n0000000000 65535 f \n";
    int number = 1;
    for (const std::string &object : objects) {
        char offset[32];
        std::snprintf(offset, sizeof offset, "%010zu 00000 n \n", pdf.size());
        xref += offset;
        pdf += std::to_string(number++) + " 0 obj\n" + object + "\nendobj\n";
    }
    const std::size_t xrefAt = pdf.size();
    pdf += xref + "trailer\n<< /Size 6 /Root 1 0 R >>\nstartxref\n" + std::to_string(xrefAt) + "\n%%EOF\n";
    return pdf;
}

} // namespace

void registerPageRoutes(httplib::Server &server, ServerState &state) {
    for (const bool cinema : {false, true}) {
        const std::string path = cinema ? "/cinema" : "/correction";
        addRoute(server, state, "GET", path, [cinema](const httplib::Request &, httplib::Response &res, const std::string &) {
            res.set_header("Cache-Control", "no-store");
            res.set_content(page(cinema), "text/html; charset=utf-8");
        });
        addRoute(server, state, "GET", path + "/report.pdf",
                 [cinema](const httplib::Request &, httplib::Response &res, const std::string &) {
                     res.set_content(guidePdf(cinema), "application/pdf");
                 });
    }
}

} // namespace hoplin::server
