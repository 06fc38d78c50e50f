#!/usr/bin/python3
"""The web mail as a user sees it: headless Chromium driven by Selenium against the real program
on port 3128, in a network namespace of the test's own. Mail arrives by SMTP; the user reads it,
opens a reply, moves messages to Saved and back, deletes one and keeps favourites in two groups.
A screenshot of every page goes to $NETROVE_TEST_OUT (else test-out/webmail in the build tree).
The set-up of the program and the raw request helper are shared with hostile_test.py."""
import base64
import os
import shutil
import smtplib
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lib"))
from harness import (BIN, SOURCE, Home, Program, chromium,  # noqa: E402
                     enter_network_namespace, exchange)

AUTH = "Basic " + base64.b64encode(b"ann:secret").decode()
CONFIG = {
    "netrove.dat": "[Office]\nDefLoad No\nLogFile netrove.log\nProxy LOCALHOST\nHideProxy No\n"
                   "POP3 localhost\nHidePOP3 No\nSMTP 127.0.0.1:2525\nHideSMTP No\n",
    "phonebook": "[Office]\nDevice sim\nAnswer connect 1\n",
    "proxy.ip": "127.0.0.1\n", "pop3.ip": "127.0.0.1\n", "smtp.ip": "127.0.0.1\n",
    "authpass.usr": "- -\n", "servpop3.dat": "USER ann secret\nALIAS ann@office.example ann\n"}


def start_program(cleanup, prefix):
    """The program in PROXY mode (services only) in a new home with the shipped pages; `cleanup`
    (addCleanup, addClassCleanup) stops it."""
    home = Home(prefix, CONFIG)
    os.chmod(home.file("phonebook"), 0o600)
    shutil.copytree(os.path.join(SOURCE, "mymail"), home.file("mymail"))
    os.makedirs(home.file("MailBox/ANN"))
    program = Program(home, "Office", "PROXY", tty=False)
    cleanup(program.stop)
    return home, program.started(*("^%s.*server started" % service
                                   for service in ("Proxy", "POP3-", "SMTP-gate")), timeout=15)


def send_mail(*messages):
    with smtplib.SMTP("127.0.0.1", 25, timeout=10) as smtp:
        for sender, subject, body in messages:
            smtp.sendmail("x@example.org", ["ann@office.example"],
                          "From: %s\r\nTo: ann@office.example\r\nSubject: %s\r\n\r\n%s\r\n" % (
                              sender, subject, body))


def request(target, *headers, method="GET", body=b"", auth=AUTH, timeout=20):
    """One request to the web mail on 127.0.0.1:3128; (status line, head, body) as text."""
    head = ["%s %s HTTP/1.0" % (method, target), "Host: mail", *headers]
    head += ["Authorization: " + auth] if auth else []
    head += ["Content-Length: %d" % len(body)] if method == "POST" else []
    reply, _ = exchange(("\r\n".join(head) + "\r\n\r\n").encode() + body, timeout=timeout)
    top, _, rest = reply.decode("latin-1").partition("\r\n\r\n")
    return top.split("\r\n")[0], top, rest


def log_in(driver):
    """Basic credentials on every request the browser makes from now on; no cookie of an earlier
    test."""
    driver.execute_cdp_cmd("Network.enable", {})
    driver.execute_cdp_cmd("Network.clearBrowserCookies", {})
    driver.execute_cdp_cmd("Network.setExtraHTTPHeaders", {"headers": {"Authorization": AUTH}})


class BrowserTest(unittest.TestCase):
    def shot(self, name):
        self.driver.save_screenshot(os.path.join(OUT, name + ".png"))
        return self.driver.find_element("tag name", "body").text

    def css(self, selector):
        return self.driver.find_elements("css selector", selector)

    def click(self, text):
        """The button or link with this text, then the page it leads to."""
        from selenium.webdriver.support.wait import WebDriverWait
        page = self.driver.find_element("tag name", "html")
        self.driver.find_element(
            "xpath", "//button[normalize-space()='%s'] | //a[normalize-space()='%s']" % (
                text, text)).click()
        # Chromium may report the old page's node as gone from the document rather than stale.
        WebDriverWait(self.driver, 20, ignored_exceptions=[]).until(lambda _: self.gone(page))

    @staticmethod
    def gone(element):
        from selenium.common.exceptions import WebDriverException
        try:
            element.tag_name
            return False
        except WebDriverException as e:
            return "does not belong to the document" in str(e) or "stale" in str(e).lower()

    def tick(self, *subjects):
        for row in self.css("table.messages tbody tr"):
            if row.find_element("css selector", "td:nth-child(3)").text in subjects:
                row.find_element("css selector", "input[type=checkbox]").click()

    def subjects(self, page):
        self.driver.get("http://mail:3128/" + page)
        return [a.text for a in self.css("table.messages tbody td:nth-child(3) a")]

    def test_a_day_with_the_web_mail(self):
        home, _ = start_program(self.addCleanup, "netrove_browser_")
        d = self.driver = DRIVER
        status, head, _ = request("/", auth=None)
        self.assertIn(" 401", status)
        self.assertIn('realm="MailBox authentication"', head)
        d.get("http://mail:3128/")  # no credentials yet: no mailbox either
        self.assertNotIn("Inbox of", self.shot("01-unauthorized"))

        send_mail(("Bob Example <bob@example.org>", "Lunch plans",
                   "Shall we meet at noon?\r\nSee www.example.com, or ask carol@example.org."),
                  ("Carol <carol@example.org>", "Quarterly report", "Figures attached."),
                  ("dave@example.org", "Holiday", "Back on Monday."))
        log_in(d)
        d.get("http://mail:3128/")
        text = self.shot("02-inbox")
        self.assertEqual(d.title, "Inbox - Netrove web mail")
        self.assertIn("Inbox of ann", text)
        self.assertIn("Messages in this folder: 3", text)
        rows = [r.text for r in self.css("table.messages tbody tr")]
        self.assertEqual(len(rows), 3, rows)
        self.assertIn("Bob Example Lunch plans", rows[0])
        self.assertIn("dave@example.org Holiday", rows[2])

        self.click("Lunch plans")
        text = self.shot("03-message")
        self.assertEqual(d.find_element("tag name", "h1").text, "Lunch plans")
        self.assertIn("Reply to bob@example.org", text)
        self.assertIn("Shall we meet at noon?", text)
        links = {a.text: a.get_attribute("href") for a in self.css(".body a")}
        self.assertEqual(links, {"www.example.com": "http://www.example.com/",
                                 "carol@example.org.": "mailto:carol@example.org."})

        self.click("Reply")
        text = self.shot("04-reply")
        self.assertIn("Sending from the web mail is not available", text)
        self.assertEqual(d.find_element("id", "subject").get_attribute("value"), "Re: Lunch plans")
        quoted = d.find_element("id", "body").get_attribute("value").splitlines()
        self.assertEqual(quoted[:2], [">Shall we meet at noon?",
                                      ">See www.example.com, or ask carol@example.org."])
        self.assertEqual(d.find_element("css selector", "form.reply").get_attribute("action"),
                         "mailto:bob@example.org")

        # Saved and back: the actions post from our pages (the browser sends Origin).
        d.get("http://mail:3128/")
        self.tick("Lunch plans")
        self.click("Move to Saved")
        self.assertEqual(d.current_url, "http://mail:3128/index.htm")
        self.assertEqual(self.subjects("index.htm"), ["Quarterly report", "Holiday"])
        self.assertEqual(self.subjects("saved.htm"), ["Lunch plans"])
        self.shot("05-saved")
        saved = [n for n in os.listdir(home.file("MailBox/ANN")) if n.lower() == "saved"]
        self.assertEqual(os.listdir(home.file("MailBox/ANN/" + saved[0])), ["1.msg"])
        self.tick("Lunch plans")
        self.click("Move to Inbox")
        self.assertEqual(self.subjects("saved.htm"), [])
        self.assertEqual(sorted(self.subjects("index.htm")),
                         ["Holiday", "Lunch plans", "Quarterly report"])
        self.tick("Holiday")
        self.click("Delete")
        self.assertNotIn("Holiday", self.subjects("index.htm"))
        self.assertEqual(self.subjects("trash.htm"), ["Holiday"])
        self.shot("06-trash")

    def favourites(self):
        rows = self.css("table.favourites tbody tr")
        return [(r.find_element("css selector", "a").text,
                 r.find_element("css selector", "a").get_attribute("href")) for r in rows]

    def add(self, title, url):
        for name, value in (("title", title), ("url", url)):
            self.driver.find_element("id", name).clear()
            self.driver.find_element("id", name).send_keys(value)
        self.click("Add")

    def test_favourites_in_two_groups(self):
        home, _ = start_program(self.addCleanup, "netrove_favbrowser_")
        d = self.driver = DRIVER
        log_in(d)
        d.get("http://mail:3128/favorites.htm")
        self.assertIn("Favourites: group Main", self.shot("07-favourites-new"))
        self.assertEqual(len(self.favourites()), 1)  # the default record of a new file
        self.add("Docs", "http://docs.example.org/")
        self.add("Search", "https://search.example.net/")
        self.add("Script", "javascript://x/%0aalert(1)")  # not an address the list keeps
        self.assertEqual(self.favourites()[1:], [("Docs", "http://docs.example.org/"),
                                                 ("Search", "https://search.example.net/")])
        self.css("table.favourites input[type=checkbox]")[0].click()
        self.click("Delete checked favourites")
        self.assertEqual([t for t, _ in self.favourites()], ["Docs", "Search"])

        d.find_element("id", "group").send_keys("Work")
        self.click("Create and open")
        self.assertEqual(d.find_element("tag name", "h1").text, "Favourites: group Work")
        self.add("Tracker", "https://tracker.example.com/")
        self.assertEqual(self.favourites()[-1], ("Tracker", "https://tracker.example.com/"))
        self.assertEqual([b.text for b in self.css(".groups button")], ["Work", "Main"])
        self.shot("08-favourites-work")
        self.assertEqual(sorted(os.listdir(home.file("MailBox/ANN"))), ["Main.fvr", "Work.fvr"])
        self.click("Main")
        self.assertEqual([t for t, _ in self.favourites()], ["Docs", "Search"])
        self.click("Work")
        self.click("Delete the group Work and its favourites")
        self.assertIn("Favourites: group Main", self.shot("09-favourites-main"))
        self.assertEqual([b.text for b in self.css(".groups button")], ["Main"])
        self.assertEqual(os.listdir(home.file("MailBox/ANN")), ["Main.fvr"])


if __name__ == "__main__":
    enter_network_namespace()
    scratch = Home("netrove_chromium_").path  # Chromium's profile, caches and home
    OUT = os.environ.get("NETROVE_TEST_OUT") or os.path.normpath(
        os.path.join(BIN, "..", "test-out", "webmail"))
    os.makedirs(OUT, exist_ok=True)
    DRIVER, why = chromium(scratch)
    if not DRIVER:
        print("SKIPPED: Chromium under chromedriver does not start (%s)" % why, flush=True)
        sys.exit(77)
    try:
        print("screenshots:", OUT, flush=True)
        ok = unittest.main(verbosity=2, exit=False).result.wasSuccessful()
    finally:
        DRIVER.quit()
    sys.exit(0 if ok else 1)
