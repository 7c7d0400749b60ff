"""A real browser on the demo site: headless Chromium, driven by Selenium, fills in the Shift_JIS,
EUC-JP and UTF-8 forms with Japanese text and a file, and shows an uploaded image through the
show_upload back-end."""
import os
import shutil
import tempfile
import unittest

from karvel_e2e import Server, png

try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait
    from selenium.common.exceptions import (JavascriptException, NoSuchElementException,
                                            StaleElementReferenceException, WebDriverException)
except ImportError:  # pragma: no cover - make deps installs python3-selenium
    webdriver = None


@unittest.skipIf(webdriver is None or not shutil.which("chromedriver"), "needs python3-selenium and chromium-driver")
class DemoSiteInChromium(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = Server(probe=False, log_level="warn")
        cls.profile = tempfile.mkdtemp(prefix="karvel-chromium-")
        options = webdriver.ChromeOptions()
        options.binary_location = "/usr/bin/chromium"
        for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                     "--disable-quic", "--no-first-run", "--disable-background-networking",
                     "--disable-component-update", "--disable-sync", "--user-data-dir=" + cls.profile):
            options.add_argument(flag)
        options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
        cls.driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
        cls.driver.set_page_load_timeout(60)
        cls.files = tempfile.mkdtemp(prefix="karvel-upload-")

    @classmethod
    def tearDownClass(cls):
        cls.driver.quit()
        cls.server.stop()
        shutil.rmtree(cls.profile, ignore_errors=True)
        shutil.rmtree(cls.files, ignore_errors=True)

    def url(self, path):
        return "http://127.0.0.1:%d%s" % (self.server.port, path)

    def wait_for(self, condition):
        # A condition read while the browser swaps the submitting page for the answer can find an
        # element of the old page gone ("Node ... does not belong to the document" comes as a plain
        # WebDriverException); that is the same as "not yet", and a lasting failure ends in the
        # time-out.
        return WebDriverWait(self.driver, 30, ignored_exceptions=(
            JavascriptException, NoSuchElementException, StaleElementReferenceException,
            WebDriverException)).until(lambda d: condition(d))

    def encoding_warnings(self):
        return [entry["message"] for entry in self.driver.get_log("browser")
                if "encoding" in entry["message"].lower() or "charset" in entry["message"].lower()]

    def test_forms_with_japanese_text_and_upload(self):
        path = os.path.join(self.files, "メモ.txt")
        with open(path, "wb") as f:
            f.write(b"uploaded through chromium\n" * 10)
        # The EUC-JP form's text reaches the back-end converted: the echo page is the same.
        for link, form_charset in (("A Shift_JIS form", "Shift_JIS"), ("The same form in EUC-JP", "EUC-JP")):
            with self.subTest(form=form_charset):
                self.driver.get(self.url("/"))
                self.assertEqual("karvel demo", self.driver.title)
                self.driver.find_element(By.LINK_TEXT, link).click()
                self.wait_for(lambda d: d.find_elements(By.ID, "name"))
                self.assertEqual(form_charset, self.driver.execute_script("return document.characterSet"))
                name = self.driver.find_element(By.ID, "name")
                name.clear()
                name.send_keys("鈴木花子")
                message = self.driver.find_element(By.ID, "message")
                message.clear()
                message.send_keys("こんにちは、世界。漢字とカタカナ")
                self.driver.find_element(By.ID, "file").send_keys(path)
                self.driver.find_element(By.ID, "submit").click()
                self.wait_for(lambda d: "fields" in d.find_element(By.TAG_NAME, "body").text)
                text = self.driver.find_element(By.TAG_NAME, "body").text
                self.assertEqual("Shift_JIS", self.driver.execute_script("return document.characterSet"))
                self.assertIn("鈴木花子", text)
                self.assertIn("こんにちは、世界。漢字とカタカナ", text)
                self.assertIn("260 bytes", text)  # the upload arrived whole
                self.assertEqual([], self.encoding_warnings())

    def test_utf8_form_declares_its_encoding(self):
        path = os.path.join(self.files, "写真メモ.txt")
        with open(path, "wb") as f:
            f.write(b"uploaded from a UTF-8 page\n" * 10)
        self.driver.get(self.url("/"))
        self.driver.find_element(By.LINK_TEXT, "A UTF-8 form").click()
        self.wait_for(lambda d: d.find_elements(By.ID, "name"))
        self.assertEqual("UTF-8", self.driver.execute_script("return document.characterSet"))
        name = self.driver.find_element(By.ID, "name")
        name.clear()
        name.send_keys("髙﨑①㈱")
        # ChromeDriver types only the basic plane: the emoji goes in through the page.
        self.driver.execute_script("document.getElementById('message').value = arguments[0]",
                                   "〜テスト 😀 café ｶｿｳｼﾃﾝ")
        self.driver.find_element(By.ID, "file").send_keys(path)
        self.driver.find_element(By.ID, "submit").click()
        self.wait_for(lambda d: "fields" in d.find_element(By.TAG_NAME, "body").text)
        self.assertEqual("UTF-8", self.driver.execute_script("return document.characterSet"))
        rows = {row.find_elements(By.TAG_NAME, "td")[0].text: row.find_elements(By.TAG_NAME, "td")[1:]
                for row in self.driver.find_elements(By.TAG_NAME, "tr")}
        self.assertEqual("UTF-8", rows["_charset_"][0].text)
        self.assertEqual("髙﨑①㈱", rows["name"][0].text)
        # 〜 comes back as ～, the one wave dash code page 932 has; the emoji and é, which it lacks,
        # travelled as references.
        self.assertEqual("～テスト 😀 café ｶｿｳｼﾃﾝ", rows["message"][0].text)
        self.assertTrue(rows["file"][0].text.endswith("/写真メモ.txt"), rows["file"][0].text)
        self.assertEqual("270 bytes", rows["file"][1].text)
        self.assertEqual([], self.encoding_warnings())

    def test_uploaded_image_is_shown(self):
        path = os.path.join(self.files, "picture.png")
        with open(path, "wb") as f:
            f.write(png(40, 30))
        self.driver.get(self.url("/upload.sjis.html"))
        self.driver.find_element(By.ID, "file").send_keys(path)
        self.driver.find_element(By.ID, "submit").click()
        width = self.wait_for(lambda d: d.execute_script(
            "var i = document.images[0]; return i && i.complete && i.naturalWidth"))
        self.assertEqual(40, width)

    def test_goto_links_and_the_error_page(self):
        for link, check in (("goto, local URL", lambda d: d.find_elements(By.ID, "target")),
                            ("goto, redirection", lambda d: d.current_url.endswith("/target.utf8.html?redirected")),
                            ("A missing back-end", lambda d: "EXE Load Error(Exe Load Error)" in d.page_source)):
            with self.subTest(link=link):
                self.driver.get(self.url("/"))
                self.driver.find_element(By.PARTIAL_LINK_TEXT, link).click()
                self.assertTrue(self.wait_for(check))


if __name__ == "__main__":
    unittest.main()
