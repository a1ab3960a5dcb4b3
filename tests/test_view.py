"""`mbgauge view`: its server, run as the command on 127.0.0.1, answering over
real HTTP, and its page in headless Chromium driven by Selenium.

The two files are encodes of one source by x264 with a qpfile (a known QP
and type for every frame, adaptive quantisation off), so that every QP the
server or the page shows has the encoder's own value to match; frame tables
are checked against ffprobe and pictures against the ffmpeg command's
decode before deblocking.
"""

from __future__ import annotations

import hashlib
import http.client
import io
import json
import random
import shutil
import signal
import socket
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from tests.support import videos
from tests.test_hevc import ffmpeg_exports_hevc_qp

pytest.importorskip("starlette")
pytest.importorskip("uvicorn")

ROOT = Path(__file__).resolve().parent.parent
FRAMES = 40
CHROMA_QP_OFFSET = 3
# I at 0 and 20 (closed GOPs, so the frame before each I is a P), P every
# fourth frame, B in between.
KEY_FRAMES = (0, 20)


def qpfile_plan(seed: int) -> tuple[list[str], list[int]]:
    rng = random.Random(seed)
    qps = [rng.randint(10, 45) for _ in range(FRAMES)]
    types = [
        "I" if i in KEY_FRAMES else "P" if i % 4 == 0 or i + 1 in KEY_FRAMES + (FRAMES,) else "B"
        for i in range(FRAMES)
    ]
    return types, qps


def qpfile_video(seed: int) -> Path:
    types, qps = qpfile_plan(seed)
    return videos.x264_video(
        f"view-qpfile-{seed}",
        ".mkv",
        ["--preset", "veryfast", "--no-psy", "--chroma-qp-offset", str(CHROMA_QP_OFFSET)]
        + ["--crf", "23", "--no-mbtree", "--aq-mode", "0", "--bframes", "3"],
        frames=FRAMES,
        qpfile="".join(f"{i} {t} {q}\n" for i, (t, q) in enumerate(zip(types, qps))),
    )


SEEDS = (11, 12)


class Viewer:
    """`mbgauge view` running in a process of its own."""

    def __init__(self, *args: str) -> None:
        self.process = subprocess.Popen(
            [sys.executable, "-m", "mbgauge_tools", "view", *args, "--no-browser"],
            cwd=ROOT,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
        )
        self.first_line = self.process.stdout.readline()
        assert " at http://" in self.first_line, self.first_line + self.process.stderr.read()
        self.url = self.first_line.rsplit(" at ", 1)[1].strip()
        host_port = self.url.removeprefix("http://").rstrip("/")
        self.host, port = host_port.rsplit(":", 1)
        self.port = int(port)

    def get(self, path: str) -> tuple[int, str, bytes]:
        """Status, content type and body; the path is sent exactly as given."""
        connection = http.client.HTTPConnection(self.host, self.port)
        try:
            connection.request("GET", path)
            response = connection.getresponse()
            return response.status, response.getheader("content-type", ""), response.read()
        finally:
            connection.close()

    def json(self, path: str):
        status, _, body = self.get(path)
        assert status == 200, (path, body)
        return json.loads(body)

    def stop(self, how: signal.Signals = signal.SIGTERM) -> int:
        self.process.send_signal(how)
        status = self.process.wait()
        self.process.stdout.close()
        self.process.stderr.close()
        return status


@pytest.fixture(scope="module")
def viewer():
    paths = [qpfile_video(seed) for seed in SEEDS]
    running = Viewer(str(paths[0]), str(paths[1]), "--port", "0")
    yield running
    assert running.stop() == 0


# The server's answers


@pytest.mark.parametrize("file", [0, 1])
def test_frame_table_is_ffprobes(viewer, file):
    path = qpfile_video(SEEDS[file])
    table = viewer.json(f"/api/frames?file={file}")
    probed = videos.ffprobe_frames(path)
    assert table["num_frames"] == len(probed) == FRAMES
    assert table["pts"] == [f["pts"] for f in probed]
    assert table["key"] == [bool(f["key_frame"]) for f in probed]
    assert table["pict_type"] == "".join(f["pict_type"] for f in probed)
    assert table["packet_size"] == [int(f["pkt_size"]) for f in probed]
    assert viewer.json("/api/files")[file]["name"] == path.name


@pytest.mark.parametrize("file", [0, 1])
def test_qp_maps_blocks_and_facts_are_the_encoders(viewer, file):
    types, qps = qpfile_plan(SEEDS[file])
    for n in range(FRAMES):
        qp = viewer.json(f"/api/frame/{n}/qp?file={file}")
        assert (qp["rows"], qp["cols"]) == (15, 20)
        assert {v for row in qp["qp"] for v in row} == {qps[n]}, f"frame {n}"
        facts = viewer.json(f"/api/frame/{n}/facts?file={file}")
        assert (facts["qp_mean"], facts["qp_min"], facts["qp_max"]) == (qps[n],) * 3, f"frame {n}"
        assert facts["pict_type"] == types[n] and facts["key"] == (n in KEY_FRAMES), f"frame {n}"
        assert facts["chroma_qp_offsets"] == [CHROMA_QP_OFFSET] * 2
        blocks = viewer.json(f"/api/frame/{n}/blocks?file={file}")["blocks"]
        assert set(blocks["qp"]) == {qps[n]} and len(blocks["qp"]) == 300, f"frame {n}"
        header, columns = unpacked(viewer.get(f"/api/frame/{n}/qp?file={file}&format=binary"))
        assert (header["rows"], header["cols"], set(columns["qp"])) == (15, 20, {qps[n]})
        header, columns = unpacked(viewer.get(f"/api/frame/{n}/blocks?file={file}&format=binary"))
        assert {name: list(values) for name, values in columns.items()} == blocks, f"frame {n}"


def unpacked(answer: tuple[int, str, bytes]) -> tuple[dict, dict[str, np.ndarray]]:
    """A packed answer: a little-endian length, a JSON header of that length,
    then the header's columns as little-endian int32."""
    status, content_type, body = answer
    assert (status, content_type) == (200, "application/octet-stream")
    length = int.from_bytes(body[:4], "little")
    header = json.loads(body[4 : 4 + length])
    values = np.frombuffer(body[4 + length :], "<i4").reshape(len(header["columns"]), -1)
    return header, dict(zip(header["columns"], values))


def test_qp_difference_is_the_difference_of_the_qpfiles(viewer):
    (_, first), (_, second) = (qpfile_plan(seed) for seed in SEEDS)
    for n in range(FRAMES):
        cells = viewer.json(f"/api/frame/{n}/qp-difference")["qp_difference"]
        assert {v for row in cells for v in row} == {second[n] - first[n]}, f"frame {n}"


def test_mean_qp_line_reaches_every_frame(viewer):
    _, qps = qpfile_plan(SEEDS[0])
    known: list[float] = []
    while len(known) < FRAMES:
        known += viewer.json(f"/api/qp-means?start={len(known)}")["mean_qp"]
    assert known == qps


def test_motion_vectors_only_in_predicted_pictures(viewer):
    types, _ = qpfile_plan(SEEDS[0])
    counts = [viewer.json(f"/api/frame/{n}/vectors")["count"] for n in range(FRAMES)]
    assert [n for n, count in enumerate(counts) if count == 0] == list(KEY_FRAMES)
    vectors = viewer.json("/api/frame/4/vectors")["vectors"]
    assert set(vectors["source"]) == {-1} and set(vectors["motion_scale"]) == {4}


def test_picture_is_ffmpegs_decode_before_deblocking(viewer):
    from PIL import Image

    path = qpfile_video(SEEDS[0])
    reference = videos.ffmpeg_reference_frames(path, 320, 240, "yuvj420p")
    for n in (0, 7, 33):
        status, content_type, body = viewer.get(f"/api/frame/{n}/picture")
        assert (status, content_type) == (200, "image/jpeg")
        luma = np.asarray(Image.open(io.BytesIO(body)).convert("YCbCr"))[:, :, 0]
        # JPEG is lossy, and full range: its luma stays within a few levels of
        # the decode, stretched to full range by the ffmpeg command.
        error = luma.astype(float) - reference[n][0]
        assert luma.shape == (240, 320) and np.abs(error).mean() < 2.5, f"frame {n}"


# Other codecs at a constant quantiser, and what their maps read: HEVC's
# QP'Y (x265's --qp 30 at 10 bits reads 30 + 12), MPEG-2's quantiser scale
# (twice the coded qscale). FFmpeg's MPEG-2 decoder exports no QP table with
# the picture it puts out when the stream ends (ffprobe -export_side_data
# venc_params shows none on it either): its last frame reads -1. Builds of
# FFmpeg without mbgauge's patches export no HEVC QPs: -1 everywhere.
OTHER_CODECS = {
    "hevc-10bit": (
        lambda: videos.x265_video(
            "view-hevc10",
            ["--qp", "30", "--ipratio", "1", "--pbratio", "1", "--aq-mode", "0", "--no-cutree"]
            + ["--keyint", "8"],
            depth=10,
            frames=12,
        ),
        lambda: 42 if ffmpeg_exports_hevc_qp() else -1,
        False,
    ),
    "mpeg2": (
        lambda: videos.ffmpeg_video(
            "view-mpeg2",
            ".ts",
            *("-f", "lavfi", "-i", "testsrc2=size=176x144:rate=25", "-frames:v", "10"),
            *("-c:v", "mpeg2video", "-qscale:v", "5"),
        ),
        lambda: 10,
        True,
    ),
}


@pytest.mark.parametrize("codec", OTHER_CODECS)
def test_other_codecs_show_their_encoders_quantiser_and_picture(codec):
    from PIL import Image

    make, expected_qp, last_without_qp = OTHER_CODECS[codec]
    expected = expected_qp()
    path = make()
    running = Viewer(str(path), "--port", "0")
    try:
        (info,) = running.json("/api/files")
        reference = videos.ffmpeg_reference_frames(path, info["width"], info["height"], "yuvj420p")
        for n in range(info["num_frames"]):
            cells = running.json(f"/api/frame/{n}/qp")["qp"]
            last = last_without_qp and n == info["num_frames"] - 1
            assert {v for row in cells for v in row} == {-1 if last else expected}, f"frame {n}"
            _, _, body = running.get(f"/api/frame/{n}/picture")
            luma = np.asarray(Image.open(io.BytesIO(body)).convert("YCbCr"))[:, :, 0]
            assert np.abs(luma.astype(float) - reference[n][0]).mean() < 2.5, f"frame {n}"
    finally:
        assert running.stop() == 0


@pytest.mark.parametrize(
    "path",
    [
        "/api/frame/40/qp",
        "/api/frame/-1/qp",
        "/api/frame/1e3/facts",
        "/api/frame/99999999999999999999999/qp",
        "/api/frame/0/qp?file=2",
        "/api/frame/0/qp?file=-1",
        "/api/frame/0/qp?file=/etc/passwd",
        "/api/frames?file=..%2F..%2Fetc%2Fpasswd",
        "/api/frame/0/nothing",
        "/static/../../../../etc/passwd",
        "/static/..%2F..%2F..%2F..%2Fetc%2Fpasswd",
        "/static/%2e%2e/%2e%2e/etc/passwd",
        "/static/view.js/../../../etc/passwd",
        "/static/app.py",
        "/static/__init__.py",
        "//etc/passwd",
        "/etc/passwd",
        "/..%2f..%2fetc/passwd",
    ],
)
def test_refusals_are_404_with_a_json_error(viewer, path):
    status, content_type, body = viewer.get(path)
    assert (status, content_type) == (404, "application/json")
    assert set(json.loads(body)) == {"error"}


def test_clients_that_go_away_do_not_stop_the_server(viewer):
    requests = [
        b"GET /api/frame/39/picture?file=1 HTTP/1.1\r\nHost: x\r\n\r\n",
        b"GET /api/frame/21/blocks HTTP/1.1\r\nHost: x\r\n\r\n",
        b"GET /api/frames HTTP/1.1\r\nHo",
        b"GET /api/frame/17",
    ]
    for request in requests * 3:
        with socket.create_connection((viewer.host, viewer.port)) as client:
            client.sendall(request)
    assert viewer.json("/api/frame/39/facts?file=1")["frame"] == 39
    assert viewer.process.poll() is None


def test_the_page_loads_nothing_from_elsewhere(viewer):
    status, content_type, page = viewer.get("/")
    assert (status, content_type) == (200, "text/html; charset=utf-8")
    text = page.decode()
    for name in ("view.js", "view.css"):
        assert f'"/static/{name}"' in text
        status, _, body = viewer.get(f"/static/{name}")
        assert status == 200
        text += body.decode()
    assert "http:" not in text and "https:" not in text and "//cdn" not in text


@pytest.mark.parametrize("how", [signal.SIGINT, signal.SIGTERM])
def test_stops_cleanly_listening_where_asked(how):
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    running = Viewer(str(qpfile_video(SEEDS[0])), "--port", str(port))
    assert running.url == f"http://127.0.0.1:{port}/"
    assert running.json("/api/files")[0]["num_frames"] == FRAMES
    assert running.stop(how) == 0
    with pytest.raises(ConnectionRefusedError):
        socket.create_connection(("127.0.0.1", port)).close()


@pytest.mark.parametrize("host", ["127.0.0.1", "no-such-host.invalid"])
def test_an_address_it_cannot_listen_on_is_one_line_and_status_2(host):
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        port = taken.getsockname()[1]
        command = [sys.executable, "-m", "mbgauge_tools", "view", str(qpfile_video(SEEDS[0]))]
        command += ["--host", host, "--port", str(port), "--no-browser"]
        result = subprocess.run(command, cwd=ROOT, capture_output=True, text=True)
    assert result.returncode == 2
    assert result.stderr.startswith(f"mbgauge: error: cannot listen on {host}")
    assert len(result.stderr.splitlines()) == 1


# The page in a browser

CHROMIUM, CHROMEDRIVER = shutil.which("chromium"), shutil.which("chromedriver")


@pytest.fixture(scope="module")
def browser():
    if CHROMIUM is None or CHROMEDRIVER is None:
        pytest.skip("needs Debian's chromium and chromium-driver (scripts/setup.sh)")
    webdriver = pytest.importorskip("selenium.webdriver")
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--window-size=1280,800"):
        options.add_argument(argument)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    driver = webdriver.Chrome(service=webdriver.ChromeService(CHROMEDRIVER), options=options)
    yield driver
    driver.quit()


def wait_for(driver, condition, what: str):
    from selenium.webdriver.support.ui import WebDriverWait

    # Waits for the page to get there (bounded only so that a broken page
    # fails instead of hanging); nothing is timed.
    return WebDriverWait(driver, 60).until(lambda d: condition(d), message=what)


def title_of(frame: int) -> str:
    names = " vs ".join(qpfile_video(seed).name for seed in SEEDS)
    return f"{names} \u2014 frame {frame} of {FRAMES}"


def open_frame(driver, viewer, frame: int) -> None:
    driver.get(f"{viewer.url}#frame={frame}")
    shown(driver, frame)


def shown(driver, frame: int) -> None:
    wait_for(
        driver,
        lambda d: (
            d.title == title_of(frame)
            and d.execute_script("return document.body.dataset.shownFrame") == str(frame)
        ),
        f"frame {frame} shown",
    )


def canvas_digest(driver) -> str:
    data = driver.execute_script(
        "return [...document.querySelectorAll('canvas.picture')].map(c => c.toDataURL()).join()"
    )
    return hashlib.sha256(data.encode()).hexdigest()


def test_page_opens_the_linked_frame_draws_it_and_logs_no_error(browser, viewer, tmp_path):
    from PIL import Image

    open_frame(browser, viewer, 13)
    assert browser.current_url.endswith("#frame=13")
    facts = browser.find_element("css selector", ".facts").text
    assert "Chroma QP offsets\nCb 3, Cr 3" in facts and "Picture type\nB" in facts
    browser.save_screenshot(str(tmp_path / "page.png"))
    pixels = np.asarray(Image.open(tmp_path / "page.png").convert("RGB"))
    assert len(np.unique(pixels.reshape(-1, 3), axis=0)) > 1000
    assert [e for e in browser.get_log("browser") if e["level"] == "SEVERE"] == []


@pytest.mark.parametrize(
    "keys, frame",
    [
        (["ARROW_RIGHT"], 1),
        (["ARROW_RIGHT", "ARROW_RIGHT", "ARROW_LEFT"], 1),
        (["ARROW_LEFT"], 0),
        (["PAGE_DOWN"], KEY_FRAMES[1]),
        (["END"], FRAMES - 1),
        (["END", "PAGE_UP"], KEY_FRAMES[1]),
        (["END", "HOME"], 0),
    ],
)
def test_keys_move_the_title_and_the_link(browser, viewer, keys, frame):
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.webdriver.common.keys import Keys

    open_frame(browser, viewer, 0)
    for key in keys:
        ActionChains(browser).send_keys(getattr(Keys, key)).perform()
    shown(browser, frame)
    assert browser.current_url.endswith(f"#frame={frame}")
    # Loads abandoned by quick steps are cancelled quietly.
    assert [e for e in browser.get_log("browser") if e["level"] == "SEVERE"] == []


@pytest.mark.parametrize("frame", [0, 17, FRAMES - 1])
def test_a_click_on_the_timeline_goes_to_that_frame(browser, viewer, frame):
    from selenium.webdriver.common.action_chains import ActionChains

    open_frame(browser, viewer, 5 if frame != 5 else 6)
    timeline = browser.find_element("id", "timeline")
    width = timeline.rect["width"]
    x = (frame + 0.5) / FRAMES * width - width / 2
    ActionChains(browser).move_to_element_with_offset(timeline, round(x), 0).click().perform()
    shown(browser, frame)


def test_zoom_and_pan_move_both_pictures_together(browser, viewer):
    from selenium.webdriver.common.action_chains import ActionChains

    open_frame(browser, viewer, 3)
    view = "return mbgaugeView.state.view"
    fitted = browser.execute_script(view)
    ActionChains(browser).send_keys("+").perform()
    zoomed = browser.execute_script(view)
    assert zoomed["scale"] == pytest.approx(fitted["scale"] * 1.5)
    canvas = browser.find_elements("css selector", "canvas.picture")[1]
    ActionChains(browser).drag_and_drop_by_offset(canvas, 40, 25).perform()
    panned = browser.execute_script(view)
    assert (panned["offsetX"] - zoomed["offsetX"], panned["offsetY"] - zoomed["offsetY"]) == (
        40,
        25,
    )
    ActionChains(browser).send_keys("0").perform()
    assert browser.execute_script(view) == fitted


def test_a_new_link_fragment_moves_the_page(browser, viewer):
    open_frame(browser, viewer, 2)
    browser.execute_script("location.hash = '#frame=31'")
    shown(browser, 31)


@pytest.mark.parametrize("frame", [0, 6, 24])
def test_tooltip_shows_the_encoders_qp_and_the_difference(browser, viewer, frame):
    from selenium.webdriver.common.action_chains import ActionChains

    (_, first), (_, second) = (qpfile_plan(seed) for seed in SEEDS)
    open_frame(browser, viewer, frame)
    tooltip = browser.find_element("css selector", '[role="tooltip"]')
    for file, qp in ((0, first[frame]), (1, second[frame])):
        point = browser.execute_script(
            "return mbgaugeView.pictureToClient(arguments[0], 170.5, 90.5)", file
        )
        body = browser.find_element("tag name", "body")
        ActionChains(browser).move_to_element_with_offset(
            body,
            round(point["x"] - body.rect["width"] / 2),
            round(point["y"] - body.rect["height"] / 2),
        ).perform()
        wait_for(browser, lambda d: tooltip.is_displayed(), "tooltip shown")
        lines = tooltip.text.splitlines()
        delta = second[frame] - first[frame]
        assert lines[0] == f"QP {qp}"
        assert (
            lines[1]
            == f"\u0394QP {'+' if delta > 0 else ''}{delta}".replace("-", "\u2212")
            + " (second \u2212 first)"
        )
        assert "16\u00d716 block at 160, 80" in lines


@pytest.mark.parametrize("layer", ["picture", "qp", "blocks", "vectors", "difference"])
def test_layers_switch(browser, viewer, layer):
    open_frame(browser, viewer, 8)
    box = browser.find_element("id", f"layer-{layer}")
    before = canvas_digest(browser)
    box.click()
    after = canvas_digest(browser)
    box.click()
    assert after != before and canvas_digest(browser) == before


def test_bits_layer_is_offered_only_with_block_structure(browser, viewer):
    open_frame(browser, viewer, 0)
    structure = viewer.json("/api/files")[0]["coding_blocks"]
    assert browser.find_element("id", "layer-bits").is_enabled() == structure
