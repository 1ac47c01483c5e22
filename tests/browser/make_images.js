'use strict';
// Draws the panel's images (yes.png, no.png, refresh.png, loading.gif and the
// two-size favicon.ico) into panel/assets/. Plain node, no packages:
//   node tests/browser/make_images.js
const fs = require('fs');
const path = require('path');
const zlib = require('zlib');

const OUT = path.join(__dirname, '..', '..', 'panel', 'assets');

// ---- raster with anti-aliased shapes (4x4 supersampling) -------------------
function canvas(w, h) {
  return {w, h, px: new Float64Array(w * h * 4)};  // premultiplied RGBA 0..1
}

// Paints colour c ([r,g,b,a] 0..255) where inside(x, y) holds, with coverage.
function fill(cv, c, inside) {
  const S = 4;
  for (let y = 0; y < cv.h; y++) {
    for (let x = 0; x < cv.w; x++) {
      let n = 0;
      for (let sy = 0; sy < S; sy++)
        for (let sx = 0; sx < S; sx++)
          if (inside(x + (sx + 0.5) / S, y + (sy + 0.5) / S)) n++;
      if (!n) continue;
      const a = (n / (S * S)) * (c[3] / 255);
      const i = (y * cv.w + x) * 4;
      const p = cv.px;
      p[i] = (c[0] / 255) * a + p[i] * (1 - a);
      p[i + 1] = (c[1] / 255) * a + p[i + 1] * (1 - a);
      p[i + 2] = (c[2] / 255) * a + p[i + 2] * (1 - a);
      p[i + 3] = a + p[i + 3] * (1 - a);
    }
  }
}

function rgba(cv) {
  const out = Buffer.alloc(cv.w * cv.h * 4);
  for (let i = 0; i < cv.w * cv.h; i++) {
    const a = cv.px[i * 4 + 3];
    for (let k = 0; k < 3; k++)
      out[i * 4 + k] = a > 0 ? Math.round(Math.min(1, cv.px[i * 4 + k] / a) * 255) : 0;
    out[i * 4 + 3] = Math.round(a * 255);
  }
  return out;
}

const circle = (cx, cy, r) => (x, y) => (x - cx) ** 2 + (y - cy) ** 2 <= r * r;
const ring = (cx, cy, r0, r1) => (x, y) => {
  const d = (x - cx) ** 2 + (y - cy) ** 2;
  return d >= r0 * r0 && d <= r1 * r1;
};
// Thick segment from (ax, ay) to (bx, by), round caps.
const segment = (ax, ay, bx, by, t) => (x, y) => {
  const vx = bx - ax, vy = by - ay;
  let u = ((x - ax) * vx + (y - ay) * vy) / (vx * vx + vy * vy);
  u = Math.max(0, Math.min(1, u));
  const dx = x - (ax + u * vx), dy = y - (ay + u * vy);
  return dx * dx + dy * dy <= (t / 2) ** 2;
};
const roundRect = (x0, y0, x1, y1, r) => (x, y) => {
  const cx = Math.max(x0 + r, Math.min(x1 - r, x));
  const cy = Math.max(y0 + r, Math.min(y1 - r, y));
  return x >= x0 && x <= x1 && y >= y0 && y <= y1 && (x - cx) ** 2 + (y - cy) ** 2 <= r * r;
};
const triangle = (ax, ay, bx, by, cx, cy) => (x, y) => {
  const s = (px, py, qx, qy) => (x - qx) * (py - qy) - (px - qx) * (y - qy);
  const d1 = s(ax, ay, bx, by), d2 = s(bx, by, cx, cy), d3 = s(cx, cy, ax, ay);
  return !((d1 < 0 || d2 < 0 || d3 < 0) && (d1 > 0 || d2 > 0 || d3 > 0));
};

// ---- PNG -------------------------------------------------------------------
const CRC = (() => {
  const t = new Uint32Array(256);
  for (let n = 0; n < 256; n++) {
    let c = n;
    for (let k = 0; k < 8; k++) c = c & 1 ? 0xedb88320 ^ (c >>> 1) : c >>> 1;
    t[n] = c >>> 0;
  }
  return t;
})();
function crc32(buf) {
  let c = 0xffffffff;
  for (const b of buf) c = CRC[(c ^ b) & 0xff] ^ (c >>> 8);
  return (c ^ 0xffffffff) >>> 0;
}
function chunk(type, data) {
  const len = Buffer.alloc(4);
  len.writeUInt32BE(data.length);
  const td = Buffer.concat([Buffer.from(type, 'ascii'), data]);
  const crc = Buffer.alloc(4);
  crc.writeUInt32BE(crc32(td));
  return Buffer.concat([len, td, crc]);
}
function png(cv) {
  const px = rgba(cv);
  const raw = Buffer.alloc((cv.w * 4 + 1) * cv.h);
  for (let y = 0; y < cv.h; y++) px.copy(raw, y * (cv.w * 4 + 1) + 1, y * cv.w * 4, (y + 1) * cv.w * 4);
  const ihdr = Buffer.alloc(13);
  ihdr.writeUInt32BE(cv.w, 0);
  ihdr.writeUInt32BE(cv.h, 4);
  ihdr[8] = 8;
  ihdr[9] = 6;
  return Buffer.concat([
    Buffer.from([0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a]), chunk('IHDR', ihdr),
    chunk('IDAT', zlib.deflateSync(raw, {level: 9})), chunk('IEND', Buffer.alloc(0))
  ]);
}

// ---- GIF (animated, 1-bit transparency over a fixed palette) ---------------
function lzw(indices, minCode) {
  const clear = 1 << minCode, end = clear + 1;
  const out = [];
  let cur = 0, bits = 0, size = minCode + 1;
  const put = (code) => {
    cur |= code << bits;
    bits += size;
    while (bits >= 8) {
      out.push(cur & 0xff);
      cur >>>= 8;
      bits -= 8;
    }
  };
  let dict = new Map(), next = end + 1;
  put(clear);
  let w = String(indices[0]);
  for (let i = 1; i < indices.length; i++) {
    const k = indices[i];
    const wk = w + ',' + k;
    if (dict.has(wk)) {
      w = wk;
      continue;
    }
    put(w.includes(',') ? dict.get(w) : Number(w));
    if (next < 4096) {
      dict.set(wk, next++);
      if (next > 1 << size && size < 12) size++;
    } else {
      put(clear);
      dict = new Map();
      next = end + 1;
      size = minCode + 1;
    }
    w = String(k);
  }
  put(w.includes(',') ? dict.get(w) : Number(w));
  put(end);
  if (bits > 0) out.push(cur & 0xff);
  const blocks = [];
  for (let i = 0; i < out.length; i += 255) {
    const part = out.slice(i, i + 255);
    blocks.push(part.length, ...part);
  }
  blocks.push(0);
  return Buffer.from(blocks);
}
function gif(frames, w, h, palette, delayCs) {
  const parts = [Buffer.from('GIF89a', 'ascii')];
  const lsd = Buffer.alloc(7);
  lsd.writeUInt16LE(w, 0);
  lsd.writeUInt16LE(h, 2);
  lsd[4] = 0x80 | 0x70 | 3;  // global table of 16 entries
  parts.push(lsd);
  const pal = Buffer.alloc(16 * 3);
  palette.forEach((c, i) => pal.set(c, i * 3));
  parts.push(pal);
  parts.push(Buffer.from([0x21, 0xff, 0x0b, ...Buffer.from('NETSCAPE2.0'), 0x03, 0x01, 0, 0, 0]));
  for (const f of frames) {
    parts.push(Buffer.from([0x21, 0xf9, 0x04, 0x09, delayCs & 0xff, delayCs >> 8, 0, 0]));
    const id = Buffer.alloc(10);
    id[0] = 0x2c;
    id.writeUInt16LE(w, 5);
    id.writeUInt16LE(h, 7);
    parts.push(id, Buffer.from([4]), lzw(f, 4));
  }
  parts.push(Buffer.from([0x3b]));
  return Buffer.concat(parts);
}

// ---- ICO with 32-bit DIB images -------------------------------------------
function dib(cv) {
  const px = rgba(cv);
  const head = Buffer.alloc(40);
  head.writeUInt32LE(40, 0);
  head.writeInt32LE(cv.w, 4);
  head.writeInt32LE(cv.h * 2, 8);
  head.writeUInt16LE(1, 12);
  head.writeUInt16LE(32, 14);
  const xor = Buffer.alloc(cv.w * cv.h * 4);
  for (let y = 0; y < cv.h; y++)
    for (let x = 0; x < cv.w; x++) {
      const s = ((cv.h - 1 - y) * cv.w + x) * 4, d = (y * cv.w + x) * 4;
      xor[d] = px[s + 2];
      xor[d + 1] = px[s + 1];
      xor[d + 2] = px[s];
      xor[d + 3] = px[s + 3];
    }
  const rowBytes = Math.ceil(cv.w / 32) * 4;
  const and = Buffer.alloc(rowBytes * cv.h);
  for (let y = 0; y < cv.h; y++)
    for (let x = 0; x < cv.w; x++)
      if (px[((cv.h - 1 - y) * cv.w + x) * 4 + 3] === 0) and[y * rowBytes + (x >> 3)] |= 0x80 >> (x & 7);
  return Buffer.concat([head, xor, and]);
}
function ico(canvases) {
  const head = Buffer.alloc(6);
  head.writeUInt16LE(1, 2);
  head.writeUInt16LE(canvases.length, 4);
  const images = canvases.map(dib);
  const dir = Buffer.alloc(16 * canvases.length);
  let offset = 6 + dir.length;
  canvases.forEach((cv, i) => {
    const e = i * 16;
    dir[e] = cv.w & 0xff;
    dir[e + 1] = cv.h & 0xff;
    dir.writeUInt16LE(1, e + 4);
    dir.writeUInt16LE(32, e + 6);
    dir.writeUInt32LE(images[i].length, e + 8);
    dir.writeUInt32LE(offset, e + 12);
    offset += images[i].length;
  });
  return Buffer.concat([head, dir, ...images]);
}

// ---- the pictures ----------------------------------------------------------
function yes(n) {
  const cv = canvas(n, n), k = n / 16;
  fill(cv, [46, 160, 67, 255], circle(8 * k, 8 * k, 7.5 * k));
  fill(cv, [255, 255, 255, 255], segment(4.4 * k, 8.4 * k, 7 * k, 11 * k, 2 * k));
  fill(cv, [255, 255, 255, 255], segment(7 * k, 11 * k, 11.8 * k, 5.4 * k, 2 * k));
  return cv;
}
function no(n) {
  const cv = canvas(n, n), k = n / 16;
  fill(cv, [207, 34, 46, 255], circle(8 * k, 8 * k, 7.5 * k));
  fill(cv, [255, 255, 255, 255], segment(5.2 * k, 5.2 * k, 10.8 * k, 10.8 * k, 2 * k));
  fill(cv, [255, 255, 255, 255], segment(10.8 * k, 5.2 * k, 5.2 * k, 10.8 * k, 2 * k));
  return cv;
}
function refresh(n) {
  const cv = canvas(n, n), k = n / 16, c = [9, 105, 218, 255];
  const r = ring(8 * k, 8 * k, 4 * k, 6 * k);
  // An open ring (gap at the upper right) with an arrow head on its end.
  fill(cv, c, (x, y) => r(x, y) && !(x > 8 * k && y < 8 * k && (y - 8 * k) < -(x - 8 * k) * 0.35));
  fill(cv, c, triangle(8.6 * k, 0.6 * k, 14.4 * k, 3.2 * k, 9.4 * k, 7.4 * k));
  return cv;
}
function logo(n) {
  const cv = canvas(n, n), k = n / 32;
  fill(cv, [28, 58, 110, 255], roundRect(0.5 * k, 0.5 * k, 31.5 * k, 31.5 * k, 7 * k));
  // Three chain links on a diagonal: the connection through a chain of proxies.
  const t = Math.max(2.6 * k, 1.4);
  const links = [[9, 23], [16, 16], [23, 9]];
  const colours = [[120, 200, 255, 255], [255, 255, 255, 255], [120, 200, 255, 255]];
  links.forEach(([x, y], i) => {
    const cx = x * k, cy = y * k, r0 = 6 * k - t / 2, r1 = 6 * k + t / 2;
    fill(cv, colours[i], ring(cx, cy, Math.max(0, r0 - 0.2 * k), r1));
  });
  return cv;
}
function loadingFrames() {
  const n = 16, frames = [], count = 8;
  // Palette: 0 transparent, 1..8 shades from light grey to blue.
  const palette = [[255, 255, 255]];
  for (let i = 0; i < 8; i++) {
    const f = i / 7;
    palette.push([Math.round(210 - 201 * f), Math.round(220 - 115 * f), Math.round(232 - 14 * f)]);
  }
  while (palette.length < 16) palette.push([0, 0, 0]);
  for (let f = 0; f < count; f++) {
    const idx = new Array(n * n).fill(0);
    for (let d = 0; d < count; d++) {
      const ang = (d / count) * Math.PI * 2;
      const cx = 8 + Math.cos(ang) * 5.2, cy = 8 + Math.sin(ang) * 5.2;
      const shade = 1 + ((d - f + count) % count);
      for (let y = 0; y < n; y++)
        for (let x = 0; x < n; x++)
          if ((x + 0.5 - cx) ** 2 + (y + 0.5 - cy) ** 2 <= 1.9 * 1.9) idx[y * n + x] = shade;
    }
    frames.push(idx);
  }
  return gif(frames, n, n, palette, 10);
}

fs.writeFileSync(path.join(OUT, 'yes.png'), png(yes(16)));
fs.writeFileSync(path.join(OUT, 'no.png'), png(no(16)));
fs.writeFileSync(path.join(OUT, 'refresh.png'), png(refresh(16)));
fs.writeFileSync(path.join(OUT, 'loading.gif'), loadingFrames());
fs.writeFileSync(path.join(OUT, 'favicon.ico'), ico([logo(32), logo(16)]));
console.log('images written to', OUT);
