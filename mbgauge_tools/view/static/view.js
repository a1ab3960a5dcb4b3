// mbgauge view: the page. It asks the server's JSON endpoints for one frame
// at a time (facts, QP map, blocks, motion vectors, picture) and draws them
// on a canvas per file; the timeline comes from the frame table, which the
// server reads from its index without decoding.
"use strict";

const CELL = 16;
// Cells at least this wide on screen (CSS pixels) get their value written.
const VALUE_CELL = 22;
const LAYER_OPACITY = 0.5;
const MIN_SCALE = 0.05;
const MAX_SCALE = 64;
// Frames each file keeps loaded in the page.
const KEPT_FRAMES = 24;
const TYPE_COLOURS = { I: "#e4572e", P: "#3b8ee0", B: "#5cb85c", S: "#c77dff" };
const OTHER_TYPE_COLOUR = "#8a8f98";
const KIND_COLOURS = {
  intra: "#e4572e",
  inter: "#3b8ee0",
  skip: "#5cb85c",
  direct: "#c77dff",
  pcm: "#f4d35e",
  merge: "#17bebb",
  lossless: "#ffffff",
};
const PAST_COLOUR = "#ffffff";
const FUTURE_COLOUR = "#00e5ff";
const MEAN_QP_COLOURS = ["#ffcc33", "#ff66cc"];
// Viridis at eleven even steps, interpolated in between.
const VIRIDIS = [
  [68, 1, 84], [72, 36, 117], [65, 68, 135], [53, 95, 141], [42, 120, 142], [33, 145, 140],
  [34, 168, 132], [68, 191, 112], [122, 209, 81], [189, 223, 38], [253, 231, 37],
];

const state = {
  files: [],
  tables: [],
  count: 0,
  frame: -1,
  direction: 1,
  layers: { picture: true, qp: true, blocks: false, bits: false, vectors: false, difference: false },
  // Shared by the views: a picture point (x, y) is drawn at
  // (x * scale + offsetX, y * scale + offsetY) CSS pixels of the canvas.
  view: { scale: 1, offsetX: 0, offsetY: 0, fitted: true },
  loaded: [],
  shown: [],
  meanQp: [],
  timeline: { first: 0, last: 0 },
  views: [],
  // Per file: frame index -> { promise, abort } of loads under way.
  pending: [],
  // Milliseconds from each navigation to its frame drawn, for benchmarks.
  timings: [],
};
const KEPT_TIMINGS = 1000;

function viridis(t) {
  const position = Math.min(Math.max(t, 0), 1) * (VIRIDIS.length - 1);
  const low = Math.floor(position);
  const high = Math.min(low + 1, VIRIDIS.length - 1);
  const share = position - low;
  return VIRIDIS[low].map((v, i) => Math.round(v + (VIRIDIS[high][i] - v) * share));
}

function rgba(rgb, alpha) {
  return `rgba(${rgb[0]},${rgb[1]},${rgb[2]},${alpha})`;
}

function isLight(rgb) {
  return 0.299 * rgb[0] + 0.587 * rgb[1] + 0.114 * rgb[2] > 140;
}

// The QP range the colours span: the codec's own, so that frames and files compare.
function qpRange() {
  const range = state.files[0].qp_range;
  return range || [0, 51];
}

function qpColour(qp) {
  const [low, high] = qpRange();
  return viridis((qp - low) / Math.max(high - low, 1));
}

// Blue for a lower QP in the second file, red for a higher one.
function differenceColour(delta) {
  const t = Math.min(Math.abs(delta) / 12, 1);
  if (delta === 0) return [235, 235, 235];
  return delta < 0
    ? [Math.round(235 - 190 * t), Math.round(235 - 150 * t), 255]
    : [255, Math.round(235 - 175 * t), Math.round(235 - 190 * t)];
}

function bitsColour(t) {
  // Black through red to yellow and white.
  const c = Math.min(Math.max(t, 0), 1);
  return [Math.round(255 * Math.min(1, c * 2.2)), Math.round(255 * Math.max(0, c * 2 - 0.6)),
    Math.round(255 * Math.max(0, c * 3 - 2))];
}

async function getJson(url, signal) {
  const response = await fetch(url, { signal });
  const body = await response.json();
  if (!response.ok) throw new Error(body.error || `${response.status} ${url}`);
  return body;
}

// A packed answer (?format=binary): a little-endian length, a JSON header of
// that length naming its int32 columns, then the columns one after another.
async function getPacked(url, signal) {
  const response = await fetch(url, { signal });
  if (!response.ok) throw new Error((await response.json()).error || `${response.status} ${url}`);
  const buffer = await response.arrayBuffer();
  const length = new DataView(buffer).getUint32(0, true);
  const header = JSON.parse(new TextDecoder().decode(new Uint8Array(buffer, 4, length)));
  const columns = {};
  header.columns.forEach((name, i) => {
    columns[name] = new Int32Array(buffer, 4 + length + i * header.count * 4, header.count);
  });
  return { header, columns };
}

// A frame's data, from those kept, from a load under way, or loaded now.
// Loads of frames the page has moved away from are cancelled (abandonLoads).
function loadFrame(file, index) {
  const kept = state.loaded[file];
  if (kept.has(index)) {
    const frame = kept.get(index);
    kept.delete(index);
    kept.set(index, frame);
    return Promise.resolve(frame);
  }
  const pending = state.pending[file];
  if (!pending.has(index)) {
    const abort = new AbortController();
    const promise = fetchFrame(file, index, abort.signal).finally(() => pending.delete(index));
    pending.set(index, { promise, abort });
  }
  return pending.get(index).promise;
}

function abandonLoads(keep) {
  for (const pending of state.pending) {
    for (const [index, load] of pending) if (!keep.includes(index)) load.abort.abort();
  }
}

async function fetchFrame(file, index, signal) {
  const kept = state.loaded[file];
  const query = `?file=${file}`;
  const base = `/api/frame/${index}`;
  const binary = `${query}&format=binary`;
  const [facts, qp, blocks, vectors, picture] = await Promise.all([
    getJson(`${base}/facts${query}`, signal),
    getPacked(`${base}/qp${binary}`, signal).then(({ header, columns }) =>
      ({ rows: header.rows, cols: header.cols, values: columns.qp })),
    getPacked(`${base}/blocks${binary}`, signal).then(({ header, columns }) =>
      ({ count: header.count, coding_blocks: header.coding_blocks, blocks: columns })),
    getPacked(`${base}/vectors${binary}`, signal).then(({ header, columns }) =>
      ({ count: header.count, vectors: columns })),
    fetch(`${base}/picture${query}`, { signal }).then((r) => {
      if (!r.ok) throw new Error(`${r.status} picture of frame ${index}`);
      return r.blob();
    }).then((blob) => createImageBitmap(blob)),
  ]);
  const frame = { index, facts, qp, blocks, vectors, picture };
  kept.set(index, frame);
  while (kept.size > KEPT_FRAMES) {
    const oldest = kept.keys().next().value;
    kept.get(oldest).picture.close();
    kept.delete(oldest);
  }
  return frame;
}

// Navigation

function goTo(index, { follow = true } = {}) {
  index = Math.min(Math.max(Math.round(index), 0), state.count - 1);
  if (!Number.isFinite(index) || index === state.frame) return;
  const started = performance.now();
  state.direction = index >= state.frame ? 1 : -1;
  state.frame = index;
  const names = state.files.map((f) => f.name).join(" vs ");
  document.title = `${names} \u2014 frame ${index} of ${state.count}`;
  if (follow) history.replaceState(null, "", `#frame=${index}`);
  document.getElementById("frame-number").value = index;
  keepInTimeline(index);
  drawTimeline();
  abandonLoads([index, index + state.direction]);
  for (const view of state.views) view.status.textContent = `loading frame ${index}\u2026`;
  Promise.all(state.files.map((_, file) => loadFrame(file, index)))
    .then((frames) => {
      if (state.frame !== index) return;
      state.shown = frames;
      for (const view of state.views) view.status.textContent = "";
      drawAll();
      showFacts();
      document.body.dataset.shownFrame = String(index);
      state.timings.push({ frame: index, ms: performance.now() - started });
      if (state.timings.length > KEPT_TIMINGS) state.timings.shift();
      readAhead(index + state.direction);
    })
    .catch((error) => {
      if (error.name === "AbortError") return;
      for (const view of state.views) view.status.textContent = String(error.message || error);
    });
}

// The next frame in the direction of travel, loaded while this one is looked at.
function readAhead(index) {
  if (index < 0 || index >= state.count) return;
  state.files.forEach((_, file) => loadFrame(file, index).catch(() => {}));
}

function keyFrameFrom(index, step) {
  if (!state.tables[0]) return index;
  const key = state.tables[0].key;
  for (let i = index + step; i >= 0 && i < state.count; i += step) if (key[i]) return i;
  return index;
}

function frameFromHash() {
  const match = /(?:^#|&)frame=(\d+)/.exec(location.hash);
  return match ? Number(match[1]) : null;
}

// Drawing the pictures

function fit() {
  const stage = state.views[0].canvas.getBoundingClientRect();
  const { width, height } = state.files[0];
  const scale = Math.min(stage.width / width, stage.height / height) || 1;
  state.view = {
    scale,
    offsetX: (stage.width - width * scale) / 2,
    offsetY: (stage.height - height * scale) / 2,
    fitted: true,
  };
}

function zoomAt(factor, x, y) {
  const v = state.view;
  const scale = Math.min(Math.max(v.scale * factor, MIN_SCALE), MAX_SCALE);
  v.offsetX = x - ((x - v.offsetX) * scale) / v.scale;
  v.offsetY = y - ((y - v.offsetY) * scale) / v.scale;
  v.scale = scale;
  v.fitted = false;
  drawAll();
}

function zoomCentre(factor) {
  const rect = state.views[0].canvas.getBoundingClientRect();
  zoomAt(factor, rect.width / 2, rect.height / 2);
}

function drawAll() {
  document.getElementById("zoom-level").textContent = `${Math.round(state.view.scale * 100)}%`;
  state.views.forEach((view, file) => drawView(view, file));
}

function drawView(view, file) {
  const canvas = view.canvas;
  const ratio = window.devicePixelRatio || 1;
  const rect = canvas.getBoundingClientRect();
  const width = Math.max(1, Math.round(rect.width * ratio));
  const height = Math.max(1, Math.round(rect.height * ratio));
  if (canvas.width !== width || canvas.height !== height) {
    canvas.width = width;
    canvas.height = height;
  }
  const ctx = canvas.getContext("2d");
  ctx.setTransform(1, 0, 0, 1, 0, 0);
  ctx.fillStyle = "#000";
  ctx.fillRect(0, 0, width, height);
  const frame = state.shown[file];
  if (!frame) return;
  ctx.save();
  drawLayers(ctx, frame, file, rect, ratio);
  ctx.restore();
}

function drawLayers(ctx, frame, file, rect, ratio) {
  const v = state.view;
  ctx.setTransform(v.scale * ratio, 0, 0, v.scale * ratio, v.offsetX * ratio, v.offsetY * ratio);
  const pixel = 1 / v.scale;
  const area = visibleArea(rect, frame);
  const layers = state.layers;
  if (layers.picture) {
    ctx.imageSmoothingEnabled = v.scale < 2;
    ctx.drawImage(frame.picture, 0, 0, frame.facts.width, frame.facts.height);
  } else {
    ctx.fillStyle = "#808080";
    ctx.fillRect(0, 0, frame.facts.width, frame.facts.height);
  }
  // Cells and blocks of the coded picture reach below and right of the
  // visible one: draw only over the picture.
  ctx.beginPath();
  ctx.rect(0, 0, frame.facts.width, frame.facts.height);
  ctx.clip();
  const difference = layers.difference && file === 1 ? qpDifference() : null;
  if (difference) drawCells(ctx, difference, area, (d) => differenceColour(d), (d) => (d > 0 ? `+${d}` : `${d}`));
  else if (layers.qp) drawCells(ctx, frame.qp, area, qpColour, String);
  if (layers.bits && frame.blocks.coding_blocks) drawBits(ctx, frame.blocks.blocks, area);
  if (layers.blocks) drawBlocks(ctx, frame.blocks, area, pixel);
  if (layers.vectors) drawVectors(ctx, frame.vectors.vectors, area, pixel);
}

// The part of the picture on the canvas, in picture coordinates.
function visibleArea(rect, frame) {
  const v = state.view;
  return {
    left: Math.max(0, -v.offsetX / v.scale),
    top: Math.max(0, -v.offsetY / v.scale),
    right: Math.min(frame.facts.width, (rect.width - v.offsetX) / v.scale),
    bottom: Math.min(frame.facts.height, (rect.height - v.offsetY) / v.scale),
  };
}

function drawCells(ctx, grid, area, colourOf, textOf) {
  const { rows, cols, values } = grid;
  const r0 = Math.max(0, Math.floor(area.top / CELL));
  const r1 = Math.min(rows, Math.ceil(area.bottom / CELL));
  const c0 = Math.max(0, Math.floor(area.left / CELL));
  const c1 = Math.min(cols, Math.ceil(area.right / CELL));
  const colours = new Map();
  for (let r = r0; r < r1; r++) {
    for (let c = c0; c < c1; c++) {
      const value = values[r * cols + c];
      if (value === null || (value < 0 && colourOf === qpColour)) continue;
      if (!colours.has(value)) colours.set(value, colourOf(value));
      ctx.fillStyle = rgba(colours.get(value), LAYER_OPACITY);
      ctx.fillRect(c * CELL, r * CELL, CELL, CELL);
    }
  }
  if (CELL * state.view.scale < VALUE_CELL) return;
  ctx.font = `${CELL * 0.45}px system-ui, sans-serif`;
  ctx.textAlign = "center";
  ctx.textBaseline = "middle";
  for (let r = r0; r < r1; r++) {
    for (let c = c0; c < c1; c++) {
      const value = values[r * cols + c];
      if (value === null || (value < 0 && colourOf === qpColour)) continue;
      ctx.fillStyle = isLight(colours.get(value)) ? "#000" : "#fff";
      ctx.fillText(textOf(value), c * CELL + CELL / 2, r * CELL + CELL / 2 + 0.5);
    }
  }
}

function blockVisible(x, y, w, h, area) {
  return x < area.right && y < area.bottom && x + w > area.left && y + h > area.top;
}

function drawBits(ctx, blocks, area) {
  let highest = 0;
  const density = Float64Array.from(blocks.bits, (bits, i) => {
    const d = bits / Math.max(blocks.w[i] * blocks.h[i], 1);
    highest = Math.max(highest, d);
    return d;
  });
  for (let i = 0; i < density.length; i++) {
    if (!blockVisible(blocks.x[i], blocks.y[i], blocks.w[i], blocks.h[i], area)) continue;
    ctx.fillStyle = rgba(bitsColour(Math.sqrt(density[i] / (highest || 1))), LAYER_OPACITY + 0.1);
    ctx.fillRect(blocks.x[i], blocks.y[i], blocks.w[i], blocks.h[i]);
  }
}

// The lines a partition mode draws inside a block, as fractions of its sides.
const PARTITION_LINES = {
  "2NxN": [["h", 1 / 2]],
  "Nx2N": [["v", 1 / 2]],
  NxN: [["h", 1 / 2], ["v", 1 / 2]],
  "2NxnU": [["h", 1 / 4]],
  "2NxnD": [["h", 3 / 4]],
  nLx2N: [["v", 1 / 4]],
  nRx2N: [["v", 3 / 4]],
};

function drawBlocks(ctx, data, area, pixel) {
  const blocks = data.blocks;
  const kinds = state.files[0].block_kinds;
  const partitions = state.files[0].partitions;
  const count = data.count;
  if (data.coding_blocks) {
    for (let i = 0; i < count; i++) {
      if (!blockVisible(blocks.x[i], blocks.y[i], blocks.w[i], blocks.h[i], area)) continue;
      const colour = KIND_COLOURS[kinds[blocks.kind[i]]] || OTHER_TYPE_COLOUR;
      ctx.fillStyle = colour + "59";
      ctx.fillRect(blocks.x[i], blocks.y[i], blocks.w[i], blocks.h[i]);
    }
  }
  ctx.lineWidth = pixel;
  ctx.strokeStyle = "#000000b0";
  ctx.beginPath();
  for (let i = 0; i < count; i++) {
    const [x, y, w, h] = [blocks.x[i], blocks.y[i], blocks.w[i], blocks.h[i]];
    if (!blockVisible(x, y, w, h, area)) continue;
    ctx.rect(x + pixel / 2, y + pixel / 2, w - pixel, h - pixel);
  }
  ctx.stroke();
  if (!data.coding_blocks) return;
  ctx.strokeStyle = "#ffffffc0";
  ctx.setLineDash([3 * pixel, 2 * pixel]);
  ctx.beginPath();
  for (let i = 0; i < count; i++) {
    const [x, y, w, h] = [blocks.x[i], blocks.y[i], blocks.w[i], blocks.h[i]];
    if (!blockVisible(x, y, w, h, area)) continue;
    for (const [direction, share] of PARTITION_LINES[partitions[blocks.partition[i]]] || []) {
      if (direction === "h") {
        ctx.moveTo(x, y + h * share);
        ctx.lineTo(x + w, y + h * share);
      } else {
        ctx.moveTo(x + w * share, y);
        ctx.lineTo(x + w * share, y + h);
      }
    }
  }
  ctx.stroke();
  ctx.setLineDash([]);
}

// Arrows from where each block is predicted from to the block.
function drawVectors(ctx, vectors, area, pixel) {
  ctx.lineWidth = 1.2 * pixel;
  for (const past of [true, false]) {
    ctx.strokeStyle = past ? PAST_COLOUR : FUTURE_COLOUR;
    ctx.beginPath();
    for (let i = 0; i < (vectors.source ? vectors.source.length : 0); i++) {
      if ((vectors.source[i] < 0) !== past) continue;
      const [sx, sy, dx, dy] = [vectors.src_x[i], vectors.src_y[i], vectors.dst_x[i], vectors.dst_y[i]];
      if (sx === dx && sy === dy) continue;
      if (!blockVisible(Math.min(sx, dx), Math.min(sy, dy), Math.abs(dx - sx) + 1, Math.abs(dy - sy) + 1, area)) continue;
      ctx.moveTo(sx, sy);
      ctx.lineTo(dx, dy);
      const angle = Math.atan2(dy - sy, dx - sx);
      const head = Math.min(4 * pixel, Math.hypot(dx - sx, dy - sy) / 2);
      ctx.moveTo(dx, dy);
      ctx.lineTo(dx - head * Math.cos(angle - 0.5), dy - head * Math.sin(angle - 0.5));
      ctx.moveTo(dx, dy);
      ctx.lineTo(dx - head * Math.cos(angle + 0.5), dy - head * Math.sin(angle + 0.5));
    }
    ctx.stroke();
  }
}

// The second file's QP less the first's, cell by cell; null where either has none.
function qpDifference() {
  const [a, b] = state.shown;
  if (!a || !b || a.qp.rows !== b.qp.rows || a.qp.cols !== b.qp.cols) return null;
  const values = Array.from(b.qp.values, (value, i) =>
    (value < 0 || a.qp.values[i] < 0 ? null : value - a.qp.values[i]));
  return { rows: b.qp.rows, cols: b.qp.cols, values };
}

// Facts and tooltips

function showFacts() {
  state.views.forEach((view, file) => {
    const f = state.shown[file].facts;
    const fixed = (value, digits) => (value === null ? "none" : value.toFixed(digits));
    const rows = [
      ["Frame", `${f.frame} of ${f.num_frames}`],
      ["Picture type", `${f.pict_type}${f.key ? " (key)" : ""}`],
      ["pts", String(f.pts)],
      ["Time", `${f.time.toFixed(3)} s`],
      ["Packet size", `${f.packet_size.toLocaleString("en")} bytes`],
      [`${state.files[file].quantity_short} mean`, fixed(f.qp_mean, 2)],
      [`${state.files[file].quantity_short} min / max`, f.qp_min === null ? "none" : `${f.qp_min} / ${f.qp_max}`],
      ["Chroma QP offsets", `Cb ${f.chroma_qp_offsets[0]}, Cr ${f.chroma_qp_offsets[1]}`],
      ["Size", `${f.width}\u00d7${f.height} ${f.pix_fmt}`],
      ["Blocks", String(f.blocks)],
      ["Motion vectors", String(f.motion_vectors)],
    ];
    view.facts.replaceChildren(...rows.flatMap(([term, value]) => {
      const dt = document.createElement("dt");
      dt.textContent = term;
      const dd = document.createElement("dd");
      dd.textContent = value;
      return [dt, dd];
    }));
  });
}

function signed(value) {
  const text = Number.isInteger(value) ? String(value) : value.toFixed(2).replace(/\.?0+$/, "");
  return value > 0 ? `+${text}` : text.replace("-", "\u2212");
}

function cellOf(grid, row, col) {
  return row < grid.rows && col < grid.cols ? grid.values[row * grid.cols + col] : undefined;
}

// The lines of the tooltip at picture point (x, y) of a file's frame.
function describePoint(file, x, y) {
  const frame = state.shown[file];
  if (!frame || x < 0 || y < 0 || x >= frame.facts.width || y >= frame.facts.height) return null;
  const lines = [];
  const short = state.files[file].quantity_short;
  const row = Math.floor(y / CELL);
  const col = Math.floor(x / CELL);
  const qp = cellOf(frame.qp, row, col);
  lines.push(qp === undefined || qp < 0 ? `no ${short}` : `${short} ${qp}`);
  if (state.files.length === 2) {
    const other = state.shown[1 - file];
    const theirs = other ? cellOf(other.qp, row, col) : undefined;
    if (qp >= 0 && theirs >= 0) {
      const delta = file === 1 ? qp - theirs : theirs - qp;
      lines.push(`\u0394${short} ${signed(delta)} (second \u2212 first)`);
    }
  }
  const blocks = frame.blocks.blocks;
  for (let i = 0; i < frame.blocks.count; i++) {
    if (x < blocks.x[i] || y < blocks.y[i] || x >= blocks.x[i] + blocks.w[i] || y >= blocks.y[i] + blocks.h[i]) continue;
    const size = `${blocks.w[i]}\u00d7${blocks.h[i]} block at ${blocks.x[i]}, ${blocks.y[i]}`;
    if (frame.blocks.coding_blocks) {
      lines.push(state.files[file].block_kinds[blocks.kind[i]] || `kind ${blocks.kind[i]}`);
      lines.push(`partition ${state.files[file].partitions[blocks.partition[i]] || blocks.partition[i]}`);
      lines.push(`${blocks.bits[i]} bits`);
    }
    lines.push(size);
    break;
  }
  const vectors = frame.vectors.vectors;
  for (let i = 0; i < frame.vectors.count; i++) {
    const left = vectors.dst_x[i] - vectors.w[i] / 2;
    const top = vectors.dst_y[i] - vectors.h[i] / 2;
    if (x < left || y < top || x >= left + vectors.w[i] || y >= top + vectors.h[i]) continue;
    const scale = vectors.motion_scale[i] || 1;
    const direction = vectors.source[i] < 0 ? "past" : "future";
    lines.push(`MV ${signed(vectors.motion_x[i] / scale)}, ${signed(vectors.motion_y[i] / scale)} (${direction})`);
  }
  lines.push(`x ${Math.floor(x)}, y ${Math.floor(y)} \u00b7 cell ${col}, ${row}`);
  return lines;
}

function showTooltip(lines, clientX, clientY) {
  const tooltip = document.getElementById("tooltip");
  if (!lines) {
    tooltip.hidden = true;
    return;
  }
  tooltip.textContent = lines.join("\n");
  tooltip.hidden = false;
  const { width, height } = tooltip.getBoundingClientRect();
  const left = clientX + 16 + width > window.innerWidth ? clientX - 16 - width : clientX + 16;
  const top = clientY + 16 + height > window.innerHeight ? clientY - 16 - height : clientY + 16;
  tooltip.style.left = `${Math.max(0, left)}px`;
  tooltip.style.top = `${Math.max(0, top)}px`;
}

function pictureToClient(file, x, y) {
  const rect = state.views[file].canvas.getBoundingClientRect();
  const v = state.view;
  return { x: rect.left + x * v.scale + v.offsetX, y: rect.top + y * v.scale + v.offsetY };
}

function pictureAt(canvas, clientX, clientY) {
  const rect = canvas.getBoundingClientRect();
  const v = state.view;
  return { x: (clientX - rect.left - v.offsetX) / v.scale, y: (clientY - rect.top - v.offsetY) / v.scale };
}

// The timeline

function keepInTimeline(index) {
  const t = state.timeline;
  const span = t.last - t.first;
  if (index < t.first) t.first = index;
  else if (index >= t.last) t.first = index - span + 1;
  t.first = Math.max(0, Math.min(t.first, state.count - span));
  t.last = t.first + span;
}

function drawTimeline() {
  if (!state.tables[0]) return;
  const canvas = document.getElementById("timeline");
  const ratio = window.devicePixelRatio || 1;
  const rect = canvas.getBoundingClientRect();
  canvas.width = Math.max(1, Math.round(rect.width * ratio));
  canvas.height = Math.max(1, Math.round(rect.height * ratio));
  const ctx = canvas.getContext("2d");
  ctx.setTransform(ratio, 0, 0, ratio, 0, 0);
  ctx.clearRect(0, 0, rect.width, rect.height);
  const table = state.tables[0];
  const { first, last } = state.timeline;
  const span = last - first;
  const width = rect.width;
  const height = rect.height;
  const top = 14;
  let largest = 1;
  for (let i = first; i < last; i++) largest = Math.max(largest, table.packet_size[i]);
  const columns = Math.min(Math.ceil(width), span);
  const columnWidth = width / columns;
  // One bar per column: the largest packet among the frames it covers, in
  // the colour of the most important picture type there (I over P over B).
  const rank = { I: 3, P: 2, B: 1 };
  for (let column = 0; column < columns; column++) {
    const from = first + Math.floor((column * span) / columns);
    const to = Math.max(from + 1, first + Math.floor(((column + 1) * span) / columns));
    let size = 0;
    let type = "?";
    for (let i = from; i < to; i++) {
      size = Math.max(size, table.packet_size[i]);
      const t = table.pict_type[i];
      if ((rank[t] || 0) > (rank[type] || 0)) type = t;
    }
    const barHeight = ((height - top) * size) / largest;
    ctx.fillStyle = TYPE_COLOURS[type] || OTHER_TYPE_COLOUR;
    ctx.fillRect(column * columnWidth, height - barHeight, Math.max(columnWidth - (columnWidth > 3 ? 1 : 0), 1), barHeight);
  }
  const [low, high] = qpRange();
  state.meanQp.forEach((means, file) => {
    ctx.strokeStyle = MEAN_QP_COLOURS[file];
    ctx.lineWidth = 1.5;
    ctx.beginPath();
    let drawing = false;
    for (let column = 0; column < columns; column++) {
      const from = first + Math.floor((column * span) / columns);
      const to = Math.max(from + 1, first + Math.floor(((column + 1) * span) / columns));
      let total = 0;
      let counted = 0;
      for (let i = from; i < to && i < means.length; i++) {
        if (means[i] !== null && means[i] !== undefined) {
          total += means[i];
          counted++;
        }
      }
      if (!counted) {
        drawing = false;
        continue;
      }
      const y = height - ((height - top) * (total / counted - low)) / Math.max(high - low, 1);
      const x = (column + 0.5) * columnWidth;
      if (drawing) ctx.lineTo(x, y);
      else ctx.moveTo(x, y);
      drawing = true;
    }
    ctx.stroke();
  });
  if (state.frame >= first && state.frame < last) {
    const x = ((state.frame - first + 0.5) / span) * width;
    ctx.fillStyle = "#ffffff";
    ctx.fillRect(x - 1, 0, 2, height);
  }
  ctx.fillStyle = "#9aa0a8";
  ctx.font = "11px system-ui, sans-serif";
  ctx.textBaseline = "top";
  ctx.textAlign = "left";
  ctx.fillText(`frames ${first}\u2013${last - 1} \u00b7 largest packet ${largest.toLocaleString("en")} bytes`, 4, 1);
  ctx.textAlign = "right";
  ctx.fillText(`mean ${state.files[0].quantity_short} scale ${low}\u2013${high}`, width - 4, 1);
}

function timelineFrameAt(clientX) {
  const rect = document.getElementById("timeline").getBoundingClientRect();
  const { first, last } = state.timeline;
  const share = (clientX - rect.left) / rect.width;
  return Math.min(last - 1, Math.max(first, first + Math.floor(share * (last - first))));
}

async function followMeanQp() {
  const pending = state.files.map((_, file) => file);
  while (pending.length) {
    for (const file of [...pending]) {
      const known = state.meanQp[file];
      try {
        const answer = await getJson(`/api/qp-means?file=${file}&start=${known.length}`);
        known.push(...answer.mean_qp);
        if (answer.scanned >= state.files[file].num_frames) pending.splice(pending.indexOf(file), 1);
      } catch {
        pending.splice(pending.indexOf(file), 1);
      }
    }
    drawTimeline();
    if (pending.length) await new Promise((resolve) => setTimeout(resolve, 1500));
  }
}

// The legend under the pictures

function drawLegend() {
  const legend = document.getElementById("legend");
  const items = [];
  const [low, high] = qpRange();
  const bar = document.createElement("canvas");
  bar.width = 120;
  bar.height = 10;
  const ctx = bar.getContext("2d");
  for (let x = 0; x < bar.width; x++) {
    ctx.fillStyle = rgba(viridis(x / (bar.width - 1)), 1);
    ctx.fillRect(x, 0, 1, bar.height);
  }
  const scale = document.createElement("span");
  scale.append(`${state.files[0].quantity} ${low}`, bar, String(high));
  items.push(scale);
  const swatch = (colour, text) => {
    const item = document.createElement("span");
    const box = document.createElement("span");
    box.className = "swatch";
    box.style.background = colour;
    item.append(box, text);
    return item;
  };
  if (state.files.length === 2) {
    const differences = document.createElement("canvas");
    differences.width = 120;
    differences.height = 10;
    const dctx = differences.getContext("2d");
    for (let x = 0; x < differences.width; x++) {
      dctx.fillStyle = rgba(differenceColour(Math.round(((x / (differences.width - 1)) * 2 - 1) * 12)), 1);
      dctx.fillRect(x, 0, 1, differences.height);
    }
    const item = document.createElement("span");
    item.append(`\u0394${state.files[0].quantity_short} \u221212`, differences, "+12");
    items.push(item);
  }
  for (const [type, colour] of Object.entries(TYPE_COLOURS).slice(0, 3)) items.push(swatch(colour, `${type} frames`));
  if (state.files[0].coding_blocks) {
    for (const kind of state.files[0].block_kinds) items.push(swatch(KIND_COLOURS[kind] || OTHER_TYPE_COLOUR, kind));
  }
  items.push(swatch(PAST_COLOUR, "vector from the past"), swatch(FUTURE_COLOUR, "from the future"));
  state.files.forEach((file, i) => items.push(swatch(MEAN_QP_COLOURS[i], `mean ${file.quantity_short}, ${file.name}`)));
  legend.replaceChildren(...items);
}

// Setting up

function makeView(file, info) {
  const section = document.getElementById("view-template").content.firstElementChild.cloneNode(true);
  section.querySelector(".view-name").textContent =
    `${info.name} \u00b7 ${info.codec} ${info.width}\u00d7${info.height} \u00b7 ${info.num_frames} frames`;
  document.getElementById("views").append(section);
  const view = {
    section,
    canvas: section.querySelector("canvas"),
    facts: section.querySelector(".facts"),
    status: section.querySelector(".status"),
  };
  const canvas = view.canvas;
  let drag = null;
  canvas.addEventListener("mousedown", (event) => {
    drag = { x: event.clientX, y: event.clientY };
    canvas.classList.add("panning");
  });
  window.addEventListener("mouseup", () => {
    drag = null;
    canvas.classList.remove("panning");
  });
  canvas.addEventListener("mousemove", (event) => {
    if (drag) {
      state.view.offsetX += event.clientX - drag.x;
      state.view.offsetY += event.clientY - drag.y;
      state.view.fitted = false;
      drag = { x: event.clientX, y: event.clientY };
      drawAll();
    }
    const point = pictureAt(canvas, event.clientX, event.clientY);
    showTooltip(describePoint(file, point.x, point.y), event.clientX, event.clientY);
  });
  canvas.addEventListener("mouseleave", () => showTooltip(null));
  canvas.addEventListener("wheel", (event) => {
    event.preventDefault();
    const rect = canvas.getBoundingClientRect();
    zoomAt(Math.pow(1.2, -event.deltaY / 100), event.clientX - rect.left, event.clientY - rect.top);
  }, { passive: false });
  canvas.addEventListener("dblclick", () => {
    fit();
    drawAll();
  });
  return view;
}

function onKey(event) {
  if (event.target instanceof HTMLInputElement && event.target.type === "number") return;
  const steps = {
    ArrowRight: () => goTo(state.frame + 1),
    ArrowLeft: () => goTo(state.frame - 1),
    PageDown: () => goTo(keyFrameFrom(state.frame, 1)),
    PageUp: () => goTo(keyFrameFrom(state.frame, -1)),
    Home: () => goTo(0),
    End: () => goTo(state.count - 1),
    "+": () => zoomCentre(1.5),
    "=": () => zoomCentre(1.5),
    "-": () => zoomCentre(1 / 1.5),
    0: () => {
      fit();
      drawAll();
    },
  };
  const action = steps[event.key];
  if (!action || event.ctrlKey || event.metaKey || event.altKey) return;
  event.preventDefault();
  action();
}

function setUpControls() {
  for (const name of Object.keys(state.layers)) {
    const box = document.getElementById(`layer-${name}`);
    box.checked = state.layers[name];
    box.addEventListener("change", () => {
      state.layers[name] = box.checked;
      drawAll();
    });
  }
  const structure = state.files.some((f) => f.coding_blocks);
  document.getElementById("layer-bits").disabled = !structure;
  document.getElementById("layer-bits").parentElement.title = structure
    ? "Bits of each coding block"
    : "This build of mbgauge gives no bits per block";
  document.getElementById("layer-difference").disabled = state.files.length < 2;
  document.getElementById("layer-difference").parentElement.title = state.files.length < 2
    ? "Needs two files"
    : "QP of the second file less the first's, over the second";
  document.getElementById("zoom-in").addEventListener("click", () => zoomCentre(1.5));
  document.getElementById("zoom-out").addEventListener("click", () => zoomCentre(1 / 1.5));
  document.getElementById("zoom-fit").addEventListener("click", () => {
    fit();
    drawAll();
  });
  document.getElementById("previous").addEventListener("click", () => goTo(state.frame - 1));
  document.getElementById("next").addEventListener("click", () => goTo(state.frame + 1));
  document.getElementById("previous-key").addEventListener("click", () => goTo(keyFrameFrom(state.frame, -1)));
  document.getElementById("next-key").addEventListener("click", () => goTo(keyFrameFrom(state.frame, 1)));
  const number = document.getElementById("frame-number");
  number.max = state.count - 1;
  number.addEventListener("change", () => goTo(Number(number.value)));
  document.addEventListener("keydown", onKey);
  const timeline = document.getElementById("timeline");
  timeline.addEventListener("click", (event) => goTo(timelineFrameAt(event.clientX)));
  timeline.addEventListener("mousemove", (event) => {
    if (!state.tables[0]) return;
    const index = timelineFrameAt(event.clientX);
    const table = state.tables[0];
    const lines = [`frame ${index}: ${table.pict_type[index]}${table.key[index] ? " (key)" : ""}`,
      `${table.packet_size[index].toLocaleString("en")} bytes`];
    state.meanQp.forEach((means, file) => {
      if (means[index] !== null && means[index] !== undefined) {
        lines.push(`mean ${state.files[file].quantity_short} ${means[index].toFixed(2)}${state.files.length > 1 ? ` (${state.files[file].name})` : ""}`);
      }
    });
    showTooltip(lines, event.clientX, event.clientY);
  });
  timeline.addEventListener("mouseleave", () => showTooltip(null));
  timeline.addEventListener("wheel", (event) => {
    event.preventDefault();
    const t = state.timeline;
    const at = timelineFrameAt(event.clientX);
    const span = Math.min(state.count, Math.max(20, Math.round((t.last - t.first) * Math.pow(1.25, event.deltaY / 100))));
    const share = (at - t.first) / Math.max(t.last - t.first, 1);
    t.first = Math.max(0, Math.min(state.count - span, Math.round(at - share * span)));
    t.last = t.first + span;
    drawTimeline();
  }, { passive: false });
  window.addEventListener("hashchange", () => {
    const index = frameFromHash();
    if (index !== null) goTo(index, { follow: false });
  });
  const resized = new ResizeObserver(() => {
    if (state.view.fitted) fit();
    drawAll();
    drawTimeline();
  });
  for (const view of state.views) resized.observe(view.canvas);
  resized.observe(document.getElementById("timeline"));
}

async function start() {
  state.files = await getJson("/api/files");
  // The frame tables come while the first frame loads: the page waits for neither.
  const tables = Promise.all(state.files.map((_, file) => getJson(`/api/frames?file=${file}`)));
  state.count = Math.min(...state.files.map((f) => f.num_frames));
  state.loaded = state.files.map(() => new Map());
  state.pending = state.files.map(() => new Map());
  state.meanQp = state.files.map(() => []);
  state.timeline = { first: 0, last: state.count };
  document.getElementById("names").textContent = state.files.map((f) => f.name).join(" vs ");
  state.views = state.files.map((info, file) => makeView(file, info));
  setUpControls();
  drawLegend();
  fit();
  goTo(frameFromHash() ?? 0);
  state.tables = await tables;
  drawTimeline();
  followMeanQp();
}

// For scripts and tests driving the page.
window.mbgaugeView = { state, goTo, pictureToClient, describePoint };

start().catch((error) => {
  document.getElementById("views").textContent = `mbgauge view could not start: ${error.message || error}`;
  throw error;
});
