"""Small copies of the tour's screenshots for the README.

    python tools/tour_images.py [SCREENSHOTS [TARGET]]   (default: screenshots docs/tour)

Each picture is scaled to WIDTH pixels and stored with a palette of its 256
commonest colours (Qt's own palette conversion dithers the viewers to noise).
"""

import sys
from pathlib import Path

import numpy as np
from qtpy.QtCore import Qt
from qtpy.QtGui import QImage

WIDTH = 900


def quantized(image):
    """`image` as an 8-bit palette image of its commonest colours (5 bits per channel)."""
    rgb = image.convertToFormat(QImage.Format_RGB888)
    w, h = rgb.width(), rgb.height()
    pixels = np.array(rgb.constBits()).reshape(h, rgb.bytesPerLine())[:, : 3 * w]
    pixels = pixels.reshape(h, w, 3).astype(np.int32)
    bins = (pixels[..., 0] >> 3) << 10 | (pixels[..., 1] >> 3) << 5 | pixels[..., 2] >> 3
    counts = np.bincount(bins.ravel(), minlength=1 << 15)
    used = np.flatnonzero(counts)
    chosen = used[np.argsort(counts[used])[::-1][:256]]
    # Each palette colour: the mean of the pixels in its bin.
    sums = np.stack(
        [np.bincount(bins.ravel(), pixels[..., c].ravel(), 1 << 15) for c in range(3)], axis=1
    )
    palette = (sums[chosen] / counts[chosen, None]).round().astype(np.int32)
    # Every bin maps to the nearest palette colour.
    centres = np.stack([(used >> 10) & 31, (used >> 5) & 31, used & 31], axis=1) * 8 + 4
    nearest = np.empty(1 << 15, np.uint8)
    nearest[used] = ((centres[:, None, :] - palette[None]) ** 2).sum(axis=2).argmin(axis=1)
    nearest[chosen] = np.arange(len(chosen))
    index = np.ascontiguousarray(nearest[bins])
    out = QImage(index.data, w, h, w, QImage.Format_Indexed8).copy()
    out.setColorTable([0xFF000000 | r << 16 | g << 8 | b for r, g, b in palette.tolist()])
    return out


def main(argv):
    source = Path(argv[1] if len(argv) > 1 else "screenshots")
    target = Path(argv[2] if len(argv) > 2 else "docs/tour")
    target.mkdir(parents=True, exist_ok=True)
    shots = sorted(source.glob("*.png"))
    if not shots:
        sys.exit(f"no screenshots in {source}: run make run first")
    for shot in shots:
        image = QImage(str(shot))
        if image.width() > WIDTH:
            image = image.scaledToWidth(WIDTH, Qt.SmoothTransformation)
        path = target / shot.name
        if not quantized(image).save(str(path), "PNG", 0):
            sys.exit(f"could not write {path}")
        print(f"{path} ({path.stat().st_size // 1024} KB)")


if __name__ == "__main__":
    main(sys.argv)
