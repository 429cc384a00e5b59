"""dio-webd's page in Debian's headless chromium, driven by Selenium: it
shows the board without a console error, follows it live, switches an
output once given the token, and says when the board is out of reach,
recovering without a reload. Its screenshot is the README's picture."""

import os
import signal
import subprocess
from pathlib import Path
from typing import Callable, Iterator

import pytest

try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.remote.webelement import WebElement
    from selenium.webdriver.support.ui import WebDriverWait
except ImportError:
    pytest.skip("the page's tests need Debian's python3-selenium", allow_module_level=True)

from conftest import DIOCTL, Rig, wait_until

CHROMIUM, CHROMEDRIVER = "/usr/bin/chromium", "/usr/bin/chromedriver"
for _program, _package in ((CHROMIUM, "chromium"), (CHROMEDRIVER, "chromium-driver")):
    if not os.access(_program, os.X_OK):
        pytest.skip(f"the page's tests need Debian's {_package}: {_program} is missing",
                    allow_module_level=True)

DESK, PHONE = (1366, 768), (390, 844)


@pytest.fixture(scope="module")
def browser() -> Iterator[webdriver.Chrome]:
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    options.add_argument("--headless=new")
    if os.geteuid() == 0:  # chromium refuses to run its sandbox as root
        options.add_argument("--no-sandbox")
    options.add_argument("--window-size={},{}".format(*DESK))
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
    driver.set_page_load_timeout(10)
    try:
        yield driver
    finally:
        driver.quit()


def open_page(driver: webdriver.Chrome, rig: Rig) -> None:
    """The page of rig's dio-webd, once its first snapshot is shown; the
    browser's log emptied of what earlier pages said."""
    driver.get_log("browser")
    driver.get(rig.web.url + "/")
    wait_for(driver, lambda d: word(d, "DI0") != "unknown", "the first snapshot")


@pytest.fixture
def page(browser: webdriver.Chrome, running: Rig) -> Iterator[webdriver.Chrome]:
    open_page(browser, running)
    yield browser
    browser.get("about:blank")  # before the rig's programs stop under it


def wait_for(driver: webdriver.Chrome, condition: Callable[[webdriver.Chrome], object],
             what: str, timeout: float = 10) -> None:
    WebDriverWait(driver, timeout, poll_frequency=0.02).until(
        condition, message=f"{what} within {timeout} s")


def face(driver: webdriver.Chrome, name: str) -> WebElement:
    return driver.find_element(By.CSS_SELECTOR, f'[data-line="{name}"]')


def word(driver: webdriver.Chrome, name: str) -> str:
    return face(driver, name).find_element(By.CLASS_NAME, "word").text


def note(driver: webdriver.Chrome, name: str) -> str:
    return face(driver, name).find_element(By.CLASS_NAME, "note").text


def give_token(driver: webdriver.Chrome, token: str) -> None:
    wait_for(driver, lambda d: d.find_element(By.ID, "token-dialog").get_attribute("open"),
             "the token's question")
    driver.find_element(By.ID, "token-input").send_keys(token)
    driver.find_element(By.ID, "token-submit").click()


def hold(rig: Rig, line: str, consumer: str) -> subprocess.Popen:
    """dioctl holding line at 1 for consumer until stopped."""
    holder = subprocess.Popen([DIOCTL, "--device", str(rig.socket), "set", f"{line}=1", "--hold",
                               "--consumer", consumer], stdout=subprocess.DEVNULL)
    assert wait_until(lambda: rig.web.request("GET", f"/api/v1/lines/{line}").json()["claim"])
    return holder


def test_the_page_shows_the_board_as_it_is_without_a_console_error(
        browser: webdriver.Chrome, running: Rig) -> None:
    for line in ("DO2", "LED1"):
        assert running.web.request("PUT", f"/api/v1/lines/{line}", {"value": 1},
                                   running.auth()).status == 204
    running.inputs("DI1=1")
    holder = hold(running, "DO7", "mixer")
    try:
        open_page(browser, running)
        wait_for(browser, lambda d: word(d, "DO2") == "on", "DO2 on")
        do2, do3, do7 = (face(browser, name) for name in ("DO2", "DO3", "DO7"))
        assert (do2.get_attribute("aria-pressed"), do2.get_attribute("aria-label")) == \
            ("true", "DO2, on, switch off")
        assert (do3.get_attribute("aria-pressed"), word(browser, "DO3")) == ("false", "off")
        assert word(browser, "LED1") == "on" and word(browser, "DI1") == "on"
        assert note(browser, "DO7") == "held by mixer" and not do7.is_enabled()
        assert do7.get_attribute("aria-label") == "DO7, on, held by mixer"
        assert [entry for entry in browser.get_log("browser") if entry["level"] == "SEVERE"] == []

        folder = Path(os.environ["VARNIK_TEST_ARTIFACTS"])
        folder.mkdir(parents=True, exist_ok=True)
        assert browser.get_screenshot_as_file(str(folder / "dio-webd-page.png"))

        # On a phone: nothing wider than the screen, buttons a thumb can hit.
        browser.set_window_size(*PHONE)
        try:
            assert browser.execute_script(
                "return document.documentElement.scrollWidth <= window.innerWidth")
            heights = [b.size["height"] for b in browser.find_elements(By.CSS_SELECTOR, "button.line")]
            assert len(heights) == 11 and min(heights) >= 44
        finally:
            browser.set_window_size(*DESK)
    finally:
        holder.send_signal(signal.SIGTERM)
        holder.wait(timeout=10)
        browser.get("about:blank")


def test_an_input_flipped_from_outside_shows_within_a_second(
        page: webdriver.Chrome, running: Rig) -> None:
    assert word(page, "DI3") == "off"
    running.inputs("DI3=1")
    wait_for(page, lambda d: word(d, "DI3") == "on", "DI3 on", timeout=1)
    wait_for(page, lambda d: note(d, "DI3").startswith("1 rising · "), "DI3's count")
    assert face(page, "DI3").get_attribute("aria-label").startswith("DI3, on, 1 rising · ")
    running.inputs("DI3=0")
    wait_for(page, lambda d: word(d, "DI3") == "off", "DI3 off", timeout=1)


def test_a_click_switches_the_output_once_given_the_token_and_keeps_it(
        page: webdriver.Chrome, running: Rig) -> None:
    face(page, "DO5").click()
    give_token(page, "x" * 48)  # refused: forgotten and asked again
    wait_for(page, lambda d: "refused" in d.find_element(By.ID, "token-why").text,
             "the question asked again")
    assert running.driven("DO5") == 0
    give_token(page, running.token)
    assert wait_until(lambda: running.driven("DO5") == 1)
    wait_for(page, lambda d: face(d, "DO5").get_attribute("aria-pressed") == "true", "DO5 on")

    face(page, "DO5").click()  # the tab kept the token: no question
    assert wait_until(lambda: running.driven("DO5") == 0)
    assert page.find_element(By.ID, "token-dialog").get_attribute("open") is None
    wait_for(page, lambda d: word(d, "DO5") == "off", "DO5 off")


def test_the_banner_shows_while_the_board_is_out_of_reach_and_goes_without_a_reload(
        page: webdriver.Chrome, running: Rig) -> None:
    banner = page.find_element(By.ID, "banner")
    assert not banner.is_displayed()
    page.execute_script("window.sameLoad = true")

    running.service.stop()
    wait_for(page, lambda d: banner.is_displayed(), "the banner")
    assert banner.get_attribute("role") == "alert" and "out of reach" in banner.text
    assert not face(page, "DO0").is_enabled()

    running.start_service()
    wait_for(page, lambda d: not banner.is_displayed(), "the banner gone")
    assert page.execute_script("return window.sameLoad === true")
    running.inputs("DI6=1")
    wait_for(page, lambda d: word(d, "DI6") == "on", "DI6 on after the return", timeout=2)
    assert face(page, "DO0").is_enabled()

    # dio-webd itself gone: the event stream's error says so.
    running.web.process.send_signal(signal.SIGTERM)
    running.web.process.wait(timeout=10)
    wait_for(page, lambda d: "dio-webd is out of reach" in banner.text, "dio-webd's absence")
