"""The textbook document-scanner recipe, for comparison only (run with the Python of the OpenCV
peer environment, build/peers/opencv): shrink to 500 rows, grey, 5x5 Gaussian blur, Canny
(75, 200), contours, and of the five largest the first whose approxPolyDP (2 % of its perimeter)
has four points; else the whole frame. The aspect is the rectified size the recipe warps to
(longest top/bottom edge over longest left/right edge, in pixels).

    build/peers/opencv/bin/python benchmarks/detect_textbook.py LIST   # one path a line

Prints one JSON line per picture: {"file", "found", "corners", "aspect", "seconds"}, seconds
without reading the file.
"""

from __future__ import annotations

import json
import sys
import time

import cv2
import numpy as np


def order_points(points: np.ndarray) -> np.ndarray:
    """TL, TR, BR, BL by the sums and differences of the coordinates, as the recipe does."""
    ordered = np.zeros((4, 2), dtype=np.float64)
    sums = points.sum(axis=1)
    differences = np.diff(points, axis=1)[:, 0]
    ordered[0] = points[np.argmin(sums)]
    ordered[2] = points[np.argmax(sums)]
    ordered[1] = points[np.argmin(differences)]
    ordered[3] = points[np.argmax(differences)]
    return ordered


def detect(image: np.ndarray) -> tuple[bool, np.ndarray]:
    height, width = image.shape[:2]
    ratio = height / 500.0
    small = cv2.resize(image, (max(1, round(width / ratio)), 500), interpolation=cv2.INTER_AREA)
    grey = cv2.cvtColor(small, cv2.COLOR_BGR2GRAY)
    grey = cv2.GaussianBlur(grey, (5, 5), 0)
    edges = cv2.Canny(grey, 75, 200)
    contours, _ = cv2.findContours(edges, cv2.RETR_LIST, cv2.CHAIN_APPROX_SIMPLE)
    for contour in sorted(contours, key=cv2.contourArea, reverse=True)[:5]:
        approx = cv2.approxPolyDP(contour, 0.02 * cv2.arcLength(contour, True), True)
        if len(approx) == 4:
            return True, order_points(approx.reshape(4, 2).astype(np.float64) * ratio)
    frame = np.array([[0, 0], [width - 1, 0], [width - 1, height - 1], [0, height - 1]], dtype=np.float64)
    return False, frame


def main() -> None:
    cv2.setNumThreads(1)
    with open(sys.argv[1]) as listing:
        paths = [line.strip() for line in listing if line.strip()]
    for path in paths:
        image = cv2.imread(path, cv2.IMREAD_COLOR)
        if image is None:
            print(json.dumps({"file": path, "found": False, "error": "unreadable"}), flush=True)
            continue
        start = time.perf_counter()
        found, corners = detect(image)
        seconds = time.perf_counter() - start
        top, bottom = np.linalg.norm(corners[1] - corners[0]), np.linalg.norm(corners[2] - corners[3])
        left, right = np.linalg.norm(corners[3] - corners[0]), np.linalg.norm(corners[2] - corners[1])
        aspect = max(top, bottom) / max(left, right, 1e-9)
        record = {"file": path, "found": found, "corners": corners.round(2).tolist(), "aspect": aspect}
        print(json.dumps({**record, "seconds": seconds}), flush=True)


if __name__ == "__main__":
    main()
