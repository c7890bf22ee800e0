// A 24-megapixel 8-bit RGB Photoshop file of 12 pixel layers saved without a merged picture, for
// the benchmarks: normal, multiply, screen, overlay and soft light layers, a clipped layer, a masked
// layer, a group of two and a hidden layer, over an opaque background. Written by ag-psd:
//   node make_layered.js AG_PSD_MODULE OUT.psd
const agpsd = require(process.argv[2]);
const fs = require('fs');

const W = 6000, H = 4000;
function image(w, h, fn) {
  const d = new Uint8ClampedArray(w * h * 4);
  for (let y = 0, i = 0; y < h; y++)
    for (let x = 0; x < w; x++, i += 4) {
      const v = fn(x, y);
      d[i] = v[0], d[i + 1] = v[1], d[i + 2] = v[2], d[i + 3] = v[3];
    }
  return { width: w, height: h, data: d };
}
const layer = (name, left, top, w, h, fn, extra = {}) =>
  ({ name, left, top, imageData: image(w, h, fn), ...extra });

const psd = {
  width: W, height: H,
  imageResources: { versionInfo: { hasRealMergedData: false, writerName: 'ag-psd', readerName: 'ag-psd', fileVersion: 1 } },
  children: [
    layer('background', 0, 0, W, H, (x, y) => [(x >> 4) & 255, (y >> 4) & 255, ((x ^ y) >> 5) & 255, 255]),
    layer('normal', 300, 200, 4000, 3000, (x, y) => [200, (x >> 3) & 255, (y >> 3) & 255, 180 + ((x + y) & 63)]),
    layer('multiply', 1500, 800, 4000, 3000, (x, y) => [(y >> 2) & 255, 220, (x >> 2) & 255, 255], { blendMode: 'multiply' }),
    layer('clipped', 1200, 600, 3000, 2500, (x, y) => [40, (x + y) & 255, 200, 200], { clipping: true, blendMode: 'screen' }),
    layer('screen', 0, 1000, 5000, 2500, (x, y) => [(x * 3) & 255, 60, (y * 3) & 255, 160], { blendMode: 'screen' }),
    layer('overlay', 2000, 0, 4000, 4000, (x, y) => [(x >> 4) & 255, (y >> 4) & 255, 128, 255], { blendMode: 'overlay', opacity: 0.7 }),
    layer('soft light', 0, 0, 3000, 4000, (x, y) => [255 - ((x >> 3) & 255), (y >> 3) & 255, 90, 255], { blendMode: 'soft light' }),
    layer('masked', 1000, 1000, 4000, 2000, (x, y) => [250, 250, (x >> 4) & 255, 255], {
      mask: { left: 1000, top: 1000, right: 5000, bottom: 3000, defaultColor: 0,
        imageData: image(4000, 2000, (x, y) => { const v = (x >> 4) & 255; return [v, v, v, 255]; }) } }),
    { name: 'group', opened: true, opacity: 0.8, blendMode: 'normal', children: [
      layer('in group 1', 500, 500, 3000, 3000, (x, y) => [(x + 2 * y) & 255, 100, 50, 220]),
      layer('in group 2', 2500, 1500, 3000, 2000, (x, y) => [30, (2 * x + y) & 255, 160, 255], { blendMode: 'multiply' }),
    ] },
    layer('hidden', 0, 0, 2000, 2000, () => [0, 0, 0, 255], { hidden: true }),
    layer('top', 4000, 2500, 2000, 1500, (x, y) => [(y >> 2) & 255, (x >> 2) & 255, 255, 128]),
  ],
};
fs.writeFileSync(process.argv[3], Buffer.from(agpsd.writePsdBuffer(psd, { generateThumbnail: false })));
