// Layered files written by ag-psd, without merged pictures, for the writers' test:
//   node make_layers.js AG_PSD_MODULE OUTDIR
// The same layers at 8, 16 and 32 bits, PackBits and ZIP, PSD and PSB; one file a blend mode over a
// gradient; a fill layer and adjustment layers with no pixels; a shape drawn from its vector mask.
const agpsd = require(process.argv[2]);
const fs = require('fs');
const path = require('path');
const out = process.argv[3];

function image(w, h, fn, bits = 8) {
  const T = bits === 32 ? Float32Array : bits === 16 ? Uint16Array : Uint8ClampedArray;
  const d = new T(w * h * 4);
  for (let y = 0; y < h; y++) for (let x = 0; x < w; x++) {
    const v = fn(x, y);
    for (let c = 0; c < 4; c++) {
      const f = v[c] / 255;
      // ag-psd takes 32-bit documents' colours in linear light.
      d[(y * w + x) * 4 + c] = bits === 32 ? (c < 3 ? Math.pow(f, 2.2) : f) : Math.round(f * (bits === 16 ? 65535 : 255));
    }
  }
  return { width: w, height: h, data: d };
}

const noMerged = { versionInfo: { hasRealMergedData: false, writerName: 'ag-psd', readerName: 'ag-psd', fileVersion: 1 } };
function write(name, psd, options = {}) {
  psd.imageResources = noMerged;
  fs.writeFileSync(path.join(out, name), Buffer.from(agpsd.writePsdBuffer(psd, { generateThumbnail: false, ...options })));
}

// Groups, opacity, a mask, clipping, a hidden layer and three modes, at every depth.
function structure(bits) {
  const W = 48, H = 40;
  return {
    width: W, height: H, bitsPerChannel: bits,
    children: [
      { name: 'back', imageData: image(W, H, (x, y) => [x * 5, y * 6, 128, 255], bits) },
      { name: 'soft', left: 6, top: 4, opacity: 0.7, imageData: image(20, 18, (x) => [250, 40, 40, 255 - x * 10], bits),
        mask: { left: 6, top: 4, right: 26, bottom: 22, defaultColor: 0, imageData: image(20, 18, (x, y) => [y * 14, y * 14, y * 14, 255], bits) } },
      { name: 'group', opacity: 0.8, opened: true, children: [
        { name: 'mul', blendMode: 'multiply', left: 20, top: 10, imageData: image(22, 20, () => [200, 220, 90, 255], bits) },
        { name: 'clip', clipping: true, blendMode: 'screen', left: 15, top: 15, imageData: image(30, 10, () => [0, 90, 250, 200], bits) },
        { name: 'hidden', hidden: true, imageData: image(10, 10, () => [0, 0, 0, 255], bits) },
      ] },
      { name: 'over', blendMode: 'overlay', left: 30, top: 2, imageData: image(16, 36, (x, y) => [x * 16, 255 - y * 7, 60, 230], bits) },
    ],
  };
}
write('depth-8-packbits.psd', structure(8));
write('depth-8-zip.psd', structure(8), { compress: true });
write('depth-16-zip.psd', structure(16));
write('depth-16.psb', structure(16), { psb: true });

// Normal layers only, at 8 and 32 bits: a 32-bit document shows its linear samples as they are.
function plain(bits) {
  return { width: 32, height: 24, bitsPerChannel: bits, children: [
    { name: 'back', imageData: image(32, 24, (x, y) => [x * 8, y * 10, 200, 255], bits) },
    { name: 'top', left: 4, top: 4, imageData: image(20, 12, (x) => [255, 255 - x * 12, 0, 255], bits) },
  ] };
}
write('plain-8.psd', plain(8));
write('plain-32-zip.psd', plain(32));

// Every blend mode: a layer 200/255 opaque over an opaque gradient.
const modes = ['normal', 'darken', 'multiply', 'color burn', 'linear burn', 'darker color', 'lighten', 'screen',
  'color dodge', 'linear dodge', 'lighter color', 'overlay', 'soft light', 'hard light', 'vivid light', 'linear light',
  'pin light', 'hard mix', 'difference', 'exclusion', 'subtract', 'divide', 'hue', 'saturation', 'color', 'luminosity'];
for (const mode of modes) {
  write('mode-' + mode.replace(/ /g, '-') + '.psd', { width: 64, height: 64, children: [
    { name: 'back', imageData: image(64, 64, (x, y) => [x * 4, y * 4, 128, 255]) },
    { name: mode, blendMode: mode, imageData: image(64, 64, (x, y) => [255 - x * 4, (x + y) * 2, y * 4, 200]) },
  ] });
}

// A solid colour fill at half opacity through a mask, and adjustments, none with pixels.
const back = () => ({ name: 'back', imageData: image(64, 64, (x, y) => [x * 4, y * 4, (x * y) & 255, 255]) });
write('fill-solid.psd', { width: 64, height: 64, children: [back(),
  { name: 'fill', opacity: 0.5, vectorFill: { type: 'color', color: { r: 20, g: 200, b: 90 } },
    mask: { left: 0, top: 0, right: 32, bottom: 64, defaultColor: 0, imageData: image(32, 64, () => [255, 255, 255, 255]) } }] });
const adjustments = {
  invert: { type: 'invert' },
  posterize: { type: 'posterize', levels: 4 },
  threshold: { type: 'threshold', level: 128 },
  levels: { type: 'levels', channels: [{ shadowInput: 30, highlightInput: 220, shadowOutput: 10, highlightOutput: 240, midtoneInput: 1.5 }] },
};
for (const [name, adjustment] of Object.entries(adjustments))
  write('adjust-' + name + '.psd', { width: 64, height: 64, children: [back(), { name, adjustment }] });

// A shape with no pixels: a solid fill drawn through its vector mask, a rectangle and a triangle.
const knot = (x, y) => ({ linked: false, points: [x, y, x, y, x, y] });
write('shape.psd', { width: 64, height: 64, children: [back(),
  { name: 'shape', vectorFill: { type: 'color', color: { r: 250, g: 250, b: 250 } },
    vectorMask: { paths: [
      { open: false, operation: 'combine', fillRule: 'non-zero', knots: [knot(8, 8), knot(40, 8), knot(40, 24), knot(8, 24)] },
      { open: false, operation: 'combine', fillRule: 'non-zero', knots: [knot(10, 40), knot(54, 40), knot(32, 60)] },
    ] } }] });

// One layer that leaves most of the canvas clear: the picture has transparency, and says so.
write('transparent.psd', { width: 32, height: 32, children: [
  { name: 'patch', left: 5, top: 5, imageData: image(10, 10, (x, y) => [200, x * 20, y * 20, 200]) }] });
