"""Makes the screenshots of `mbgauge view` in docs/images/: two encodes of one
source (x264 at CRF 20 and CRF 30 with adaptive quantisation) served by the
command and shown in headless Chromium.

    .venv/bin/python scripts/view_screenshots.py

Needs Debian's chromium and chromium-driver (scripts/setup.sh installs them).
"""

from __future__ import annotations

import io
import subprocess
import sys
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path

from PIL import Image
from selenium import webdriver
from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.support.ui import WebDriverWait

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT))

from tests.support import videos  # noqa: E402

WINDOW = (1280, 760)


def encode(crf: int) -> Path:
    return videos.lavfi_h264(
        f"view-docs-crf{crf}",
        size="640x360",
        frames=100,
        encoder=["-c:v", "libx264", "-preset", "medium", "-crf", str(crf), "-g", "50"],
    )


def save(driver: webdriver.Chrome, name: str) -> None:
    shot = Image.open(io.BytesIO(driver.get_screenshot_as_png())).convert("RGB")
    # A palette keeps the file small (the page has few colours beyond the
    # picture).
    path = ROOT / "docs" / "images" / name
    shot.quantize(256, dither=Image.Dither.FLOYDSTEINBERG).save(path, optimize=True)
    print(f"{path.relative_to(ROOT)}: {path.stat().st_size} bytes")


def hover(driver: webdriver.Chrome, file: int, x: float, y: float) -> None:
    point = driver.execute_script(
        "return mbgaugeView.pictureToClient(arguments[0], arguments[1], arguments[2])", file, x, y
    )
    body = driver.find_element("tag name", "body")
    ActionChains(driver).move_to_element_with_offset(
        body,
        round(point["x"] - body.rect["width"] / 2),
        round(point["y"] - body.rect["height"] / 2),
    ).perform()


def shown(driver: webdriver.Chrome, frame: int) -> None:
    """Waits for the frame, and for the timeline's mean-QP lines to be complete."""
    WebDriverWait(driver, 120).until(
        lambda d: d.execute_script(
            "const s = mbgaugeView.state;"
            "return document.body.dataset.shownFrame === arguments[0] &&"
            " s.meanQp.every((m, i) => m.length === s.files[i].num_frames)",
            str(frame),
        )
    )
    driver.execute_script("window.dispatchEvent(new Event('resize'))")


def main() -> None:
    first, second = encode(20), encode(30)
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu"):
        options.add_argument(argument)
    options.add_argument(f"--window-size={WINDOW[0]},{WINDOW[1]}")
    driver = webdriver.Chrome(
        service=webdriver.ChromeService("/usr/bin/chromedriver"), options=options
    )
    try:
        with serving(first) as url:
            driver.get(f"{url}#frame=52")
            shown(driver, 52)
            driver.find_element("id", "layer-vectors").click()
            for _ in range(2):
                driver.find_element("id", "zoom-in").click()
            hover(driver, 0, 330, 170)
            save(driver, "view-qp.png")
            driver.get(f"{url}#frame=53")
            shown(driver, 53)
            for layer in ("layer-qp", "layer-vectors", "layer-blocks"):
                driver.find_element("id", layer).click()
            hover(driver, 0, 430, 150)
            save(driver, "view-blocks.png")
        with serving(first, second) as url:
            driver.get(f"{url}#frame=60")
            shown(driver, 60)
            driver.find_element("id", "layer-difference").click()
            hover(driver, 1, 250, 120)
            save(driver, "view-difference.png")
    finally:
        driver.quit()


@contextmanager
def serving(*paths: Path) -> Iterator[str]:
    server = subprocess.Popen(
        [sys.executable, "-m", "mbgauge_tools", "view", *map(str, paths)]
        + ["--port", "0", "--no-browser"],
        cwd=ROOT,
        stdout=subprocess.PIPE,
        text=True,
    )
    try:
        yield server.stdout.readline().rsplit(" at ", 1)[1].strip()
    finally:
        server.terminate()
        server.wait()


if __name__ == "__main__":
    main()
