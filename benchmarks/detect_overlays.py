"""Overlay pictures of the detection benchmark: a scene, shrunk, with its true quad (green), the
visible ink's hull (yellow, dotted) and each detector's quad in a colour of its own, with a legend
of Jaccard indices."""

from __future__ import annotations

from pathlib import Path

from PIL import Image, ImageDraw

COLOURS = [(230, 30, 30), (30, 90, 255), (255, 140, 0), (200, 0, 200)]
TRUTH_COLOUR = (0, 200, 60)
INK_COLOUR = (240, 220, 0)


def draw_overlay(picture_path: Path, truth: dict, found: dict[str, dict], target: Path, long_side: int = 900) -> None:
    """found: detector name -> its score record (with the quad used and the Jaccard index)."""
    with Image.open(picture_path) as opened:
        picture = opened.convert("RGB")
    width, height = picture.size
    scale = long_side / max(width, height)
    margin = round(0.12 * long_side)  # room for corners outside the frame
    canvas = Image.new(
        "RGB", (round(width * scale) + 2 * margin, round(height * scale) + 2 * margin + 20), (90, 90, 90)
    )
    canvas.paste(
        picture.resize((round(width * scale), round(height * scale)), Image.Resampling.LANCZOS), (margin, margin)
    )
    draw = ImageDraw.Draw(canvas)

    def to_canvas(points: list[list[float]]) -> list[tuple[float, float]]:
        return [(margin + (x + 0.5) * scale, margin + (y + 0.5) * scale) for x, y in points]

    hull = to_canvas(truth["ink_hull"])
    for i in range(0, len(hull), 1):
        a, b = hull[i], hull[(i + 1) % len(hull)]
        draw.line([a, ((a[0] + b[0]) / 2, (a[1] + b[1]) / 2)], fill=INK_COLOUR, width=1)
    draw.line(to_canvas(truth["corners"]) + to_canvas(truth["corners"][:1]), fill=TRUTH_COLOUR, width=3)
    legend = [f"seed {truth['seed']} {truth['kind']} " + " ".join(truth["conditions"])]
    for (name, record), colour in zip(found.items(), COLOURS):
        quad = to_canvas(record["corners"])
        draw.line(quad + quad[:1], fill=colour, width=2)
        draw.ellipse((quad[0][0] - 4, quad[0][1] - 4, quad[0][0] + 4, quad[0][1] + 4), outline=colour, width=2)
        legend.append(f"{name}: JI {record['jaccard']:.3f}{' CUT' if record['ink_cut'] else ''}")
    draw.text((6, canvas.height - 18), "   ".join(legend), fill=(255, 255, 255))
    target.parent.mkdir(parents=True, exist_ok=True)
    canvas.save(target)
