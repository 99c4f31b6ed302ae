"""The web application's files as a browser gets them from the host."""

import os

import pytest

from conftest import APP

SOURCE_DIR = os.environ.get("QUELBY_SOURCE_DIR",
                            os.path.join(os.path.dirname(__file__), "..", ".."))


@pytest.fixture(scope="module")
def host(module_hosts):
    return module_hosts()


def source_file(*parts):
    with open(os.path.join(SOURCE_DIR, *parts), "rb") as f:
        return f.read()


@pytest.mark.parametrize("path,mime,source", [
    ("/index.html", "text/html", ("WebApplication", "index.html")),
    ("/app.js", "application/javascript", ("WebApplication", "app.js")),
    ("/dashboard.css", "text/css", ("WebApplication", "dashboard.css")),
    ("/img/favicon-32x32.png", "image/png", ("WebApplication", "img", "favicon-32x32.png")),
    ("/js/jquery-3.4.1.min.js", "application/javascript",
     ("WebLibraries", "node_modules", "jquery", "dist", "jquery.min.js")),
    ("/js/vue.min.js", "application/javascript", ("WebLibraries", "node_modules", "vue", "dist", "vue.min.js")),
    ("/css/bootstrap.css.map", "application/octet-stream",
     ("WebLibraries", "node_modules", "bootstrap", "dist", "css", "bootstrap.css.map")),
    ("/fonts/fontawesome-webfont.woff2", "font/woff2",
     ("WebLibraries", "node_modules", "font-awesome", "fonts", "fontawesome-webfont.woff2")),
    ("/fonts/fontawesome-webfont.ttf", "application/octet-stream",
     ("WebLibraries", "node_modules", "font-awesome", "fonts", "fontawesome-webfont.ttf")),
])
def test_files_are_served_whole_with_their_type(host, path, mime, source):
    answer = host.get(APP + path)
    assert answer.status_code == 200, (path, answer.status_code)
    assert answer.headers["Content-Type"] == mime
    try:
        expected = source_file(*source)
    except FileNotFoundError:
        pytest.skip("source file not in this checkout: " + os.path.join(*source))
    assert answer.content == expected


def test_page_is_the_plugin_page(host):
    answer = host.get(APP + "/index.html")
    assert "<title>Quelby Cloud plugin</title>" in answer.text


@pytest.mark.parametrize("path", [
    "/js/app.js",                  # the page's script lives at the top, not under js/
    "/",                           # the directory itself
    "/index.htm",
    "/img/FAVICON-32X32.PNG",      # paths are case-sensitive
    "/js/jquery.min.js",
    "/css/nothing.css",
    "/fonts/",
])
def test_missing_files_are_404(host, path):
    answer = host.get(APP + path)
    assert answer.status_code == 404, (path, answer.status_code)


def test_unknown_extension_leaves_no_line_in_the_host_log(host):
    # Information lines are not forwarded by the plug-in: the host log must
    # not fill with one line per library file request.
    before = host.log().count("Unknown MIME type")
    host.get(APP + "/css/bootstrap.css.map")
    assert host.log().count("Unknown MIME type") == before


@pytest.mark.parametrize("path", ["/index.html", "/app.js", "/js/vue.min.js", "/css/bootstrap.css",
                                  "/fonts/FontAwesome.otf", "/nothing"])
@pytest.mark.parametrize("method", ["POST", "PUT", "DELETE"])
def test_other_methods_are_405(host, path, method):
    answer = host.request(method, APP + path, data=b"x")
    assert answer.status_code == 405, (method, path, answer.status_code)
    assert answer.headers.get("Allow") == "GET"
