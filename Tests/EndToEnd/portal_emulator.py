"""A small stand-in for the Vexa portal's own upload API.

GET  /api/v1/me         -> {"content": {...}} when the API key is the expected one
POST /api/v1/instances  -> parses the multipart/form-data body strictly and
                           answers {"content": {"studies": [], "badFormatFiles":
                           [...], "unexpectedErrorFiles": [...]}}

A "files" part is reported in "unexpectedErrorFiles" when its bytes are not one
of the files the test uploaded (or its part headers are wrong), and in
"badFormatFiles" when its SOP Instance UID is one the test asked to refuse. So
a corrupted upload makes the batch fail instead of passing unnoticed.
"""

import io
import json
import re
import threading
import warnings
from dataclasses import dataclass
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import pydicom

from recording_proxy import read_body


@dataclass
class ReceivedPart:
    filename: str
    headers: dict     # lower-case name -> value
    content: bytes


class MultipartError(Exception):
    pass


def parse_form_data(content_type, body):
    """The parts of a multipart/form-data body, as ReceivedPart objects.
    Raises MultipartError on anything a strict reader would refuse."""
    match = re.fullmatch(r"multipart/form-data; boundary=([0-9A-Za-z'()+_,./:=?-]{1,70})", content_type)
    if not match:
        raise MultipartError("unexpected Content-Type: %r" % content_type)
    delimiter = b"\r\n--" + match.group(1).encode()
    pieces = (b"\r\n" + body).split(delimiter)
    if pieces[0] != b"" or pieces[-1] != b"--":
        raise MultipartError("body does not start with the delimiter or end with the closing one")
    parts = []
    for piece in pieces[1:-1]:
        if not piece.startswith(b"\r\n") or b"\r\n\r\n" not in piece:
            raise MultipartError("malformed part")
        head, content = piece[2:].split(b"\r\n\r\n", 1)
        headers = {}
        for line in head.decode("ascii").split("\r\n"):
            name, sep, value = line.partition(": ")
            if not sep:
                raise MultipartError("malformed part header: %r" % line)
            headers[name.lower()] = value
        disposition = re.fullmatch(r'form-data; name="files"; filename="([^"]+)"',
                                   headers.get("content-disposition", ""))
        if not disposition:
            raise MultipartError("unexpected Content-Disposition: %r" % headers.get("content-disposition"))
        parts.append(ReceivedPart(disposition.group(1), headers, content))
    return parts


def sop_instance_uid(data):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return str(pydicom.dcmread(io.BytesIO(data), force=True, stop_before_pixels=True).SOPInstanceUID)


class PortalEmulator:
    def __init__(self, api_key):
        self.api_key = api_key
        self.expected_files = set()      # bytes of every file the test uploaded
        self.refused_sop_uids = set()    # reported in "badFormatFiles"
        self.batches = []                # list of lists of ReceivedPart, one per accepted POST
        self.reports = []                # the answer's two lists, one pair per POST
        self.errors = []                 # requests the emulator could not accept at all
        self._lock = threading.Lock()
        self.server = ThreadingHTTPServer(("127.0.0.1", 0), self._handler_class())
        self.server.daemon_threads = True
        self.port = self.server.server_address[1]
        self._thread = threading.Thread(target=self.server.serve_forever, daemon=True)

    @property
    def url(self):
        return "http://127.0.0.1:%d" % self.port

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self.server.shutdown()
        self.server.server_close()

    def expect(self, files):
        with self._lock:
            self.expected_files.update(files)

    def refuse(self, sop_uid):
        with self._lock:
            self.refused_sop_uids.add(sop_uid)

    def _judge(self, parts):
        bad_format, unexpected = [], []
        for index, part in enumerate(parts):
            well_formed = (part.filename == "dicom-%d.dcm" % index and
                           part.headers.get("content-type") == "application/dicom" and
                           part.headers.get("content-length") == str(len(part.content)))
            if not well_formed or part.content not in self.expected_files:
                unexpected.append(part.filename)
            elif sop_instance_uid(part.content) in self.refused_sop_uids:
                bad_format.append(part.filename)
        return bad_format, unexpected

    def _handler_class(self):
        emulator = self

        class Handler(BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def _answer(self, status, document):
                data = json.dumps(document).encode()
                self.send_response(status)
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", str(len(data)))
                self.end_headers()
                self.wfile.write(data)

            def _authorized(self):
                if self.headers.get("Authorization") == emulator.api_key:
                    return True
                self._answer(401, {"error": "bad API key"})
                return False

            def do_GET(self):
                read_body(self)
                if self.path != "/api/v1/me":
                    self._answer(404, {"error": "no such route"})
                elif self._authorized():
                    self._answer(200, {"content": {"name": "emulated portal user"}})

            def do_POST(self):
                body = read_body(self)
                if self.path != "/api/v1/instances":
                    self._answer(404, {"error": "no such route"})
                    return
                if not self._authorized():
                    return
                try:
                    parts = parse_form_data(self.headers.get("Content-Type", ""), body)
                except (MultipartError, UnicodeDecodeError) as e:
                    with emulator._lock:
                        emulator.errors.append(str(e))
                    self._answer(400, {"error": str(e)})
                    return
                with emulator._lock:
                    bad_format, unexpected = emulator._judge(parts)
                    emulator.batches.append(parts)
                    emulator.reports.append((bad_format, unexpected))
                self._answer(200, {"content": {"studies": [], "badFormatFiles": bad_format,
                                               "unexpectedErrorFiles": unexpected}})

        return Handler
