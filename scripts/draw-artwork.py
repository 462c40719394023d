#!/usr/bin/python3
"""Draws every picture the tool shows, the application icon and its packaging sizes.

Run from anywhere: scripts/draw-artwork.py [output-root]. Without an argument the
files are written into the repository, where they are committed; with one they go
under that folder instead (the packaging test compares the two to notice artwork
that was edited by hand or a script that no longer matches what is committed).

Everything is drawn at SCALE times the final size and reduced with a Lanczos
filter, which gives smooth edges without any anti-aliasing support in the
drawing calls themselves. The output is byte-for-byte reproducible.
"""

import functools
import io
import math
import os
import struct
import sys

from PIL import Image, ImageDraw, ImageFont

SCALE = 4

DARK = (0x24, 0x24, 0x24)
MID = (0x50, 0x50, 0x50)
LIGHT = (0x78, 0x78, 0x78)
AMBER = (0xFD, 0xB9, 0x24)
WHITE = (0xFF, 0xFF, 0xFF)
PALE = (0xE4, 0xE4, 0xE4)

FONT_DIRS = ["/usr/share/fonts/truetype/open-sans", "/usr/share/fonts/truetype/dejavu"]
FONT_FILES = {"bold": ["OpenSans-Bold.ttf", "DejaVuSans-Bold.ttf"],
              "semibold": ["OpenSans-Semibold.ttf", "DejaVuSans-Bold.ttf"]}


def rgba(colour, alpha=255):
    return tuple(colour) + (alpha,)


def font(weight, size):
    for name in FONT_FILES[weight]:
        for folder in FONT_DIRS:
            path = os.path.join(folder, name)
            if os.path.exists(path):
                return ImageFont.truetype(path, size)
    sys.exit("draw-artwork: no usable font; install fonts-open-sans")


class Canvas:
    """A transparent picture drawn at SCALE times its final size, in final-size units."""

    def __init__(self, width, height, background=None):
        self.width, self.height = width, height
        fill = rgba(background) if background else (0, 0, 0, 0)
        self.image = Image.new("RGBA", (width * SCALE, height * SCALE), fill)
        self.draw = ImageDraw.Draw(self.image)

    @staticmethod
    def s(value):
        return int(round(value * SCALE))

    def box(self, x0, y0, x1, y1):
        return [self.s(x0), self.s(y0), self.s(x1) - 1, self.s(y1) - 1]

    def pts(self, points):
        return [(self.s(x), self.s(y)) for x, y in points]

    def rounded(self, x0, y0, x1, y1, radius, fill=None, outline=None, width=0):
        self.draw.rounded_rectangle(self.box(x0, y0, x1, y1), self.s(radius),
                                    fill=fill, outline=outline, width=self.s(width))

    def ellipse(self, x0, y0, x1, y1, fill=None, outline=None, width=0):
        self.draw.ellipse(self.box(x0, y0, x1, y1), fill=fill, outline=outline, width=self.s(width))

    def circle(self, cx, cy, r, **kw):
        self.ellipse(cx - r, cy - r, cx + r, cy + r, **kw)

    def polygon(self, points, fill=None, outline=None, width=0):
        self.draw.polygon(self.pts(points), fill=fill, outline=outline, width=self.s(width))

    def line(self, points, fill, width, round_caps=True):
        self.draw.line(self.pts(points), fill=fill, width=self.s(width), joint="curve")
        if round_caps:
            for x, y in (points[0], points[-1]):
                self.circle(x, y, width / 2, fill=fill)

    def text(self, cx, cy, text, weight, size, fill):
        f = font(weight, self.s(size))
        left, top, right, bottom = self.draw.textbbox((0, 0), text, font=f)
        x = self.s(cx) - (left + right) / 2
        y = self.s(cy) - (top + bottom) / 2
        self.draw.text((x, y), text, font=f, fill=fill)

    def paste(self, other, x, y):
        self.image.alpha_composite(other.image, (self.s(x), self.s(y)))

    def result(self):
        return self.image.resize((self.width, self.height), Image.LANCZOS)


def arc_points(cx, cy, r, start_deg, end_deg, steps=64):
    return [(cx + r * math.cos(math.radians(a)), cy + r * math.sin(math.radians(a)))
            for a in (start_deg + (end_deg - start_deg) * i / steps for i in range(steps + 1))]


# ---------------------------------------------------------------- marks

def card_outline(x0, y0, w, h, notch):
    """An SD card seen from the front, lying on its side: the cut corner top left."""
    return [(x0 + notch, y0), (x0 + w, y0), (x0 + w, y0 + h), (x0, y0 + h), (x0, y0 + notch)]


def fish(c, cx, cy, length, colour):
    """A plain fish silhouette swimming right, centred on (cx, cy)."""
    body = length * 0.72
    height = length * 0.42
    bx0 = cx - length / 2 + length * 0.28
    c.ellipse(bx0, cy - height / 2, bx0 + body, cy + height / 2, fill=colour)
    tail = [(bx0 + length * 0.06, cy), (cx - length / 2, cy - height * 0.48), (cx - length / 2, cy + height * 0.48)]
    c.polygon(tail, fill=colour)


def brand_mark(c, x, y, size, card_colour, detail_colour):
    """The tool's mark: an SD card carrying a fish above two depth contours."""
    w, h = size * 0.74, size * 0.86
    x0, y0 = x + (size - w) / 2, y + (size - h) / 2
    notch = w * 0.26
    c.polygon([(x0 + w - notch, y0), (x0, y0), (x0, y0 + h), (x0 + w, y0 + h), (x0 + w, y0 + notch)],
              fill=card_colour)
    # Contact fingers along the top edge, left of the cut corner.
    finger_w = w * 0.09
    for i in range(4):
        fx = x0 + w * 0.1 + i * finger_w * 1.7
        c.rounded(fx, y0 + h * 0.06, fx + finger_w, y0 + h * 0.22, finger_w * 0.3, fill=detail_colour)
    fish(c, x0 + w * 0.5, y0 + h * 0.46, w * 0.62, detail_colour)
    for i, dy in enumerate((0.68, 0.82)):
        pts = [(x0 + w * (0.14 + 0.72 * t), y0 + h * dy + math.sin(t * math.pi * 2 + i) * h * 0.025)
               for t in (k / 40 for k in range(41))]
        c.line(pts, detail_colour, max(size * 0.045, 0.9))


# ---------------------------------------------------------------- pictures

def product_thumbnail():
    c = Canvas(36, 36)
    tile = Canvas(36, 36, MID)
    # A stretch of coast in the top left corner with depth contours off it.
    for radius, colour, width in ((31, AMBER, 1.6), (24.5, LIGHT, 1.6), (18, PALE, 0)):
        if width:
            tile.circle(2, 2, radius, outline=rgba(colour), width=width)
        else:
            tile.circle(2, 2, radius, fill=rgba(colour))
    tile.circle(26.5, 26, 2.6, fill=rgba(AMBER))
    mask = Image.new("L", tile.image.size, 0)
    ImageDraw.Draw(mask).rounded_rectangle(c.box(1, 1, 35, 35), c.s(5), fill=255)
    c.image.paste(tile.image, (0, 0), mask)
    c.rounded(1, 1, 35, 35, 5, outline=rgba(DARK), width=1)
    return c.result()


def radio(selected):
    c = Canvas(60, 60)
    # White inside so the ring reads on the amber of a highlighted row too.
    c.circle(30, 30, 11, fill=rgba(WHITE), outline=rgba(MID), width=2)
    if selected:
        c.circle(30, 30, 6.5, fill=rgba(AMBER), outline=rgba(DARK), width=1)
    return c.result()


def refresh(colour):
    c = Canvas(18, 18)
    cx, cy, r, w = 9, 9, 5.6, 2.0
    start, end = 30, 290
    c.line(arc_points(cx, cy, r, start, end), rgba(colour), w)
    # The head sits on the open end and points on round, clockwise.
    a = math.radians(end)
    base = (cx + r * math.cos(a), cy + r * math.sin(a))
    tangent = (-math.sin(a), math.cos(a))
    normal = (math.cos(a), math.sin(a))
    head, reach = 3.3, 3.6
    c.polygon([(base[0] + tangent[0] * reach, base[1] + tangent[1] * reach),
               (base[0] + normal[0] * head, base[1] + normal[1] * head),
               (base[0] - normal[0] * head, base[1] - normal[1] * head)], fill=rgba(colour))
    return c.result()


def pause_glyph(colour):
    c = Canvas(24, 24)
    c.rounded(6, 4, 10.5, 20, 1.2, fill=rgba(colour))
    c.rounded(13.5, 4, 18, 20, 1.2, fill=rgba(colour))
    return c.result()


def resume_glyph(colour):
    c = Canvas(24, 24)
    c.polygon([(7.5, 4), (7.5, 20), (19.5, 12)], fill=rgba(colour))
    c.line([(7.5, 4), (7.5, 20), (19.5, 12), (7.5, 4)], rgba(colour), 1.6)
    return c.result()


SD_KINDS = {
    # kind: (card body, label area, label text colour, text)
    "rq": (AMBER, DARK, AMBER, "RQ"),
    "legacy": (MID, WHITE, DARK, "LEGACY"),
    "talvo": (DARK, AMBER, DARK, "TALVO"),
    "blank": (LIGHT, PALE, None, ""),
}


def sd_card(kind):
    c = Canvas(180, 150)
    x0, y0, w, h, notch = 8, 10, 164, 130, 30
    outline = card_outline(x0, y0, w, h, notch)
    if kind == "nocard":
        # An empty slot: the card's place drawn dashed, with a question mark.
        dash, gap = 9, 6
        ring = outline + [outline[0]]
        for (ax, ay), (bx, by) in zip(ring, ring[1:]):
            length = math.hypot(bx - ax, by - ay)
            pos = 0.0
            while pos < length:
                end = min(pos + dash, length)
                c.line([(ax + (bx - ax) * pos / length, ay + (by - ay) * pos / length),
                        (ax + (bx - ax) * end / length, ay + (by - ay) * end / length)], rgba(LIGHT), 3.2)
                pos = end + gap
        c.text(x0 + w / 2, y0 + h / 2 + 2, "?", "bold", 72, rgba(AMBER))
        return c.result()

    body, label, ink, text = SD_KINDS[kind]
    # A soft shadow keeps the card apart from a background of the same grey.
    shadow = Canvas(180, 150)
    shadow.polygon([(x + 2, y + 3) for x, y in outline], fill=(0, 0, 0, 70))
    c.paste(shadow, 0, 0)
    edge = DARK if body != DARK else LIGHT
    c.polygon(outline, fill=rgba(body), outline=rgba(edge), width=2)
    # Contacts along the left edge below the cut corner.
    for i in range(7):
        py = y0 + notch + 8 + i * 12.5
        c.rounded(x0 + 7, py, x0 + 25, py + 8, 2, fill=rgba(PALE if body != LIGHT else WHITE))
    c.rounded(x0 + 40, y0 + 26, x0 + w - 14, y0 + h - 20, 8, fill=rgba(label))
    if text:
        size = 40 if len(text) <= 2 else 26
        c.text((x0 + 40 + x0 + w - 14) / 2, (y0 + 26 + y0 + h - 20) / 2, text, "bold", size, rgba(ink))
    return c.result()


def header_band():
    w, h = 1190, 70
    band = Image.new("RGBA", (w, h))
    px = band.load()
    # A slight vertical shading only, so the band never shows seams when the
    # window stretches it wider than drawn.
    for y in range(h):
        t = y / (h - 1)
        colour = tuple(int(round(MID[i] * (1 - t) * 0.55 + DARK[i] * (0.45 + 0.55 * t))) for i in range(3))
        for x in range(w):
            px[x, y] = colour + (255,)
    for x in range(w):
        px[x, h - 2] = rgba(AMBER)
        px[x, h - 1] = rgba(AMBER)
    mark = Canvas(h, h)
    brand_mark(mark, 14, 12, 44, rgba(AMBER), rgba(DARK))
    band.alpha_composite(mark.result(), (w - h - 120, 0))
    words = Canvas(140, h)
    words.text(60, 31, "QUORVEL", "bold", 19, rgba(WHITE))
    words.text(60, 49, "CHARTS", "semibold", 10, rgba(AMBER))
    band.alpha_composite(words.result(), (w - 140, 0))
    return band


def spinner_frames(count=12):
    frames = []
    size = 97
    for frame in range(count):
        c = Canvas(size, size)
        for i in range(count):
            # The head is amber; the tail fades out behind it in the turning direction.
            age = (frame - i) % count
            angle = math.radians(i * 360 / count - 90)
            inner, outer = 20, 38
            a = (size / 2 + inner * math.cos(angle), size / 2 + inner * math.sin(angle))
            b = (size / 2 + outer * math.cos(angle), size / 2 + outer * math.sin(angle))
            if age == 0:
                colour = rgba(AMBER)
            else:
                shade = int(round(0x50 + (0xD8 - 0x50) * min(age, 8) / 8))
                colour = (shade, shade, shade, 255)
            c.line([a, b], colour, 7.5)
        frames.append(c.result())
    return frames


def to_gif_frame(image):
    """Matte a frame on white, keep a one-bit mask: GIF has no partial transparency."""
    white = Image.new("RGBA", image.size, rgba(WHITE))
    flat = Image.alpha_composite(white, image).convert("RGB")
    mask = image.getchannel("A").point(lambda a: 255 if a >= 96 else 0)
    paletted = flat.quantize(colors=63, method=Image.Quantize.MEDIANCUT, dither=Image.Dither.NONE)
    palette = paletted.getpalette()[:63 * 3] + [0, 255, 0]
    out = Image.new("P", image.size, 63)
    out.putpalette(palette + [0] * (768 - len(palette)))
    out.paste(paletted, (0, 0), mask)
    out.info["transparency"] = 63
    return out


@functools.lru_cache(maxsize=None)
def app_icon_master():
    master = 1024
    n = master // SCALE
    c = Canvas(n, n)
    grad = Image.new("RGBA", (1, master))
    for y in range(master):
        t = y / (master - 1)
        grad.putpixel((0, y), tuple(int(round(MID[i] * (1 - t) + DARK[i] * t)) for i in range(3)) + (255,))
    grad = grad.resize((master, master))
    mask = Image.new("L", (master, master), 0)
    ImageDraw.Draw(mask).rounded_rectangle([master * 0.03, master * 0.03, master * 0.97 - 1, master * 0.97 - 1],
                                           master * 0.2, fill=255)
    c.image.paste(grad, (0, 0), mask)
    brand_mark(c, n * 0.16, n * 0.14, n * 0.68, rgba(AMBER), rgba(DARK))
    return c.image


def app_icon(size):
    return app_icon_master().resize((size, size), Image.LANCZOS)


def png_bytes(image):
    buffer = io.BytesIO()
    image.save(buffer, "PNG", optimize=True)
    return buffer.getvalue()


def icns(images_by_type):
    """The icon container: 'icns', total length, then (type, length, PNG) entries, big-endian."""
    body = b"".join(kind.encode("ascii") + struct.pack(">I", 8 + len(data)) + data
                    for kind, data in images_by_type)
    return b"icns" + struct.pack(">I", 8 + len(body)) + body


# ---------------------------------------------------------------- output

def main():
    repo = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    root = os.path.abspath(sys.argv[1]) if len(sys.argv) > 1 else repo
    written = []

    def save(relative, image):
        path = os.path.join(root, relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(png_bytes(image))
        written.append(relative)

    img = "gui/resources/images/"
    save(img + "Downloader_Product_List_Thumbnail.png", product_thumbnail())
    save(img + "Downloader_Radio_Icon_Not_Selected.png", radio(False))
    save(img + "Downloader_Radio_Icon_Selected.png", radio(True))
    # Up sits on #787878, Over is the brighter hover, Down is pressed on amber or disabled.
    for state, colour in (("Up", WHITE), ("Over", AMBER), ("Down", DARK)):
        save(img + "Downloader_Refresh_Icon_%s.png" % state, refresh(colour))
        save(img + "Downloader_Pause_Icon_%s.png" % state, pause_glyph(colour))
        save(img + "Downloader_Resume_Icon_%s.png" % state, resume_glyph(colour))
    for kind in ("nocard", "rq", "legacy", "talvo", "blank"):
        save(img + "quorveldownloadtool_sdcard_%s.png" % kind, sd_card(kind))
    save(img + "Downloader_Corvane_Logo.png", header_band())

    frames = [to_gif_frame(f) for f in spinner_frames()]
    gif_path = os.path.join(root, img + "CV_WQRT_Processing_White.gif")
    os.makedirs(os.path.dirname(gif_path), exist_ok=True)
    frames[0].save(gif_path, save_all=True, append_images=frames[1:], duration=80, loop=0,
                   disposal=2, transparency=63, optimize=False)
    written.append(img + "CV_WQRT_Processing_White.gif")

    save("gui/resources/icons/appicon.png", app_icon(256))
    for size in (16, 32, 48, 64, 128, 256):
        save("packaging/icons/hicolor/%dx%d/apps/quorvel-download-tool.png" % (size, size), app_icon(size))

    # ic11/ic12 are the 16 and 32 point sizes at double density.
    entries = [("ic11", png_bytes(app_icon(32))), ("ic12", png_bytes(app_icon(64))),
               ("ic07", png_bytes(app_icon(128))), ("ic08", png_bytes(app_icon(256))),
               ("ic09", png_bytes(app_icon(512)))]
    with open(os.path.join(root, "gui/resources/app.icns"), "wb") as f:
        f.write(icns(entries))
    written.append("gui/resources/app.icns")

    for relative in written:
        print(relative)


if __name__ == "__main__":
    main()
