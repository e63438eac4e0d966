// The web phone: one served box's line, state and sound. Everything goes
// to the zlbox that served this page, with the token of its URL.
"use strict";
const query = new URLSearchParams(location.search);
const token = query.get("token") || "";
let box = query.get("box");
const $ = (id) => document.getElementById(id);

function url(path, extra) {
  const q = new URLSearchParams(extra || {});
  q.set("token", token);
  if (box !== null) q.set("box", box);
  return path + "?" + q.toString();
}

function say(text, bad) {
  $("said").textContent = text;
  $("said").className = bad ? "said bad" : "said";
}

async function post(path, body) {
  try {
    const r = await fetch(url(path), { method: "POST", body });
    const a = await r.json();
    say(a.answer, !a.ok);
    return a.ok;
  } catch (e) {
    say("zlbox is not reached: " + e, true);
    return false;
  }
}
const line = (command) => post("/line", command);

// ---- the line ----
$("ring").onclick = () => line("ring " + $("number").value.trim() + " " + $("format").value);
for (const [id, cmd] of [["answer", "answer"], ["busy", "busy"], ["hangup", "hangup"], ["unplug", "unplug"], ["plug", "plug"]])
  $(id).onclick = () => line(cmd);
for (const k of "123A456B789C*0#D") {
  const b = document.createElement("button");
  b.textContent = k;
  b.dataset.key = k;
  b.onclick = async () => {
    if (await line("keys " + k)) {
      b.classList.add("sent");
      setTimeout(() => b.classList.remove("sent"), 200);
    }
  };
  $("keypad").appendChild(b);
}

// ---- what the box and the application do ----
let lastSeq = 0;
let status = {};
let callOn = false;

function addLog(list, e, keep) {
  const li = document.createElement("li");
  li.dataset.kind = e.kind;
  const t = document.createElement("time");
  t.textContent = e.time;
  li.append(t, e.text);
  list.appendChild(li);
  while (list.children.length > keep) list.removeChild(list.firstChild);
  list.scrollTop = list.scrollHeight;
}

function showStatus(s) {
  status = s;
  for (const bit of ["plugged", "owned", "offHook", "ringing", "recording", "playing"])
    $("s-" + bit).classList.toggle("on", !!s[bit]);
  $("dialled").textContent = s.dialled || "—";
  // A call's waveform runs from the pick-up to the hang-up.
  if (s.offHook && !callOn) startCall();
  callOn = !!s.offHook;
}

function connect() {
  const es = new EventSource(url("/events"));
  es.onopen = () => { $("link").textContent = "live"; $("link").className = "on"; };
  es.onerror = () => { $("link").textContent = "reconnecting…"; $("link").className = "off"; };
  const fresh = (e) => { if (e.seq <= lastSeq) return false; lastSeq = e.seq; return true; };
  es.addEventListener("status", (m) => showStatus(JSON.parse(m.data)));
  es.addEventListener("timeline", (m) => { const e = JSON.parse(m.data); if (fresh(e)) addLog($("timeline"), e, 1000); });
  es.addEventListener("command", (m) => { const e = JSON.parse(m.data); if (fresh(e)) addLog($("commands"), e, 200); });
}

// ---- sound: 8 kHz A-law both ways ----
function alawToLinear(a) {
  a ^= 0x55;
  let t = (a & 0x0f) << 4;
  const seg = (a & 0x70) >> 4;
  if (seg === 0) t += 8;
  else if (seg === 1) t += 0x108;
  else t = (t + 0x108) << (seg - 1);
  return a & 0x80 ? t : -t;
}
const segEnd = [0x1f, 0x3f, 0x7f, 0xff, 0x1ff, 0x3ff, 0x7ff, 0xfff];
function linearToAlaw(pcm) {
  let mask;
  pcm >>= 3;
  if (pcm >= 0) mask = 0xd5;
  else { mask = 0x55; pcm = -pcm - 1; }
  let seg = 0;
  while (seg < 8 && pcm > segEnd[seg]) seg++;
  if (seg >= 8) return 0x7f ^ mask;
  const v = (seg << 4) | (seg < 2 ? (pcm >> 1) & 0x0f : (pcm >> seg) & 0x0f);
  return v ^ mask;
}

const dirs = {
  out: { pos: null, db: -90, wave: [], canvas: "w-out", meter: "m-out", label: "db-out" },
  in: { pos: null, db: -90, wave: [], canvas: "w-in", meter: "m-in", label: "db-in" },
};
let audio = null, playAt = 0;

function startCall() {
  for (const d of Object.values(dirs)) d.wave = [];
}

function meter(d, samples) {
  let sum = 0;
  for (const v of samples) sum += v * v;
  const db = samples.length ? 10 * Math.log10(sum / samples.length / (32768 * 32768) + 1e-9) : -90;
  // Falls back slowly, as a level meter does.
  d.db = Math.max(db, d.db - 6);
  const pct = Math.max(0, Math.min(100, (d.db + 60) / 60 * 100));
  const m = $(d.meter);
  m.style.width = pct.toFixed(1) + "%";
  m.dataset.db = d.db.toFixed(1);
  $(d.label).textContent = d.db > -60 ? d.db.toFixed(0) + " dB" : "—";
}

function addWave(d, samples) {
  if (!callOn) return;
  for (let i = 0; i < samples.length; i += 80) {
    let lo = 0, hi = 0;
    for (let j = i; j < Math.min(i + 80, samples.length); j++) { lo = Math.min(lo, samples[j]); hi = Math.max(hi, samples[j]); }
    d.wave.push([lo, hi]);
  }
  if (d.wave.length > 100 * 600) d.wave.splice(0, d.wave.length - 100 * 600);  // 10 minutes
}

function drawWave(d) {
  const c = $(d.canvas), g = c.getContext("2d");
  if (c.clientWidth && c.width !== c.clientWidth) c.width = c.clientWidth;  // one pixel a column
  g.clearRect(0, 0, c.width, c.height);
  g.fillStyle = "#6b7280";
  g.font = "11px system-ui, sans-serif";
  g.fillText(d === dirs.out ? "application → line" : "line → application", 4, 12);
  g.fillStyle = d === dirs.out ? "#2451b7" : "#0f7b3f";
  const n = d.wave.length, mid = c.height / 2;
  if (!n) return;
  for (let x = 0; x < c.width; x++) {
    const a = Math.floor(x * n / c.width), b = Math.max(a + 1, Math.floor((x + 1) * n / c.width));
    let lo = 0, hi = 0;
    for (let i = a; i < Math.min(b, n); i++) { lo = Math.min(lo, d.wave[i][0]); hi = Math.max(hi, d.wave[i][1]); }
    g.fillRect(x, mid - hi / 32768 * mid, 1, Math.max(1, (hi - lo) / 32768 * mid));
  }
}

function hear(samples) {
  if (!audio || !samples.length) return;
  const buf = audio.createBuffer(1, samples.length, 8000);
  const ch = buf.getChannelData(0);
  for (let i = 0; i < samples.length; i++) ch[i] = samples[i] / 32768;
  const src = audio.createBufferSource();
  src.buffer = buf;
  src.connect(audio.destination);
  // A little ahead of now, so that chunks join without gaps.
  playAt = Math.max(playAt, audio.currentTime + 0.15);
  src.start(playAt);
  playAt += buf.duration;
}

async function pull(name) {
  const d = dirs[name];
  try {
    const r = await fetch(url("/sound", d.pos === null ? { dir: name } : { dir: name, from: d.pos }));
    const bytes = new Uint8Array(await r.arrayBuffer());
    d.pos = Number(r.headers.get("X-Sound-To"));
    const samples = Array.from(bytes, alawToLinear);
    meter(d, samples);
    addWave(d, samples);
    drawWave(d);
    if (name === "out") hear(samples);
  } catch (e) { /* the event stream shows the link's state */ }
}

async function soundLoop() {
  await Promise.all([pull("out"), pull("in")]);
  setTimeout(soundLoop, 200);
}

$("listen").onclick = () => {
  if (audio) { audio.close(); audio = null; $("listen").classList.remove("active"); return; }
  audio = new AudioContext();
  playAt = 0;
  $("listen").classList.add("active");
};

// The microphone as the far end: resampled to 8 kHz here (an average over
// each output sample's span, a plain low-pass), A-law, posted every 100 ms.
let mic = null;
$("mic").onclick = async () => {
  if (mic) {
    mic.stream.getTracks().forEach((t) => t.stop());
    mic.ctx.close();
    mic = null;
    $("mic").classList.remove("active");
    return;
  }
  try {
    const stream = await navigator.mediaDevices.getUserMedia({ audio: true });
    const ctx = new AudioContext();
    const node = ctx.createScriptProcessor(2048, 1, 1);
    const step = ctx.sampleRate / 8000;
    let phase = 0, acc = 0, count = 0, out = [];
    node.onaudioprocess = (ev) => {
      for (const v of ev.inputBuffer.getChannelData(0)) {
        acc += v; count++; phase += 1;
        if (phase >= step) {
          phase -= step;
          out.push(linearToAlaw(Math.round(Math.max(-1, Math.min(1, acc / count)) * 32767)));
          acc = 0; count = 0;
        }
      }
      if (out.length >= 800) {
        fetch(url("/speak"), { method: "POST", body: new Uint8Array(out) });
        out = [];
      }
    };
    ctx.createMediaStreamSource(stream).connect(node);
    node.connect(ctx.destination);
    mic = { stream, ctx };
    $("mic").classList.add("active");
    say("the far end speaks from your microphone (heard once a call is up)");
  } catch (e) {
    say("no microphone: " + e.message, true);
  }
};

const drop = $("drop");
drop.ondragover = (e) => { e.preventDefault(); drop.classList.add("over"); };
drop.ondragleave = () => drop.classList.remove("over");
drop.ondrop = (e) => {
  e.preventDefault();
  drop.classList.remove("over");
  const f = e.dataTransfer.files[0];
  if (f) post("/far-end", f);
};

async function start() {
  try {
    const s = await (await fetch(url("/state"))).json();
    if (box === null) box = String(s.boxes[0]);
    for (const b of s.boxes) {
      const a = document.createElement("a");
      a.textContent = "box " + b;
      a.href = "?token=" + encodeURIComponent(token) + "&box=" + b;
      if (String(b) === box) a.className = "here";
      $("boxes").appendChild(a);
    }
  } catch (e) {
    say("zlbox is not reached: " + e, true);
  }
  $("download").href = url("/playback.wav");
  connect();
  soundLoop();
}
start();
