"""The stored state survives requests that arrive before the host reports
that it has started."""

import json
import threading

from reliability_support import API, PLUGIN, STATE_PROPERTY, state_text, stored_state


def test_options_saved_before_the_state_is_loaded_keep_the_stored_server(hosts):
    # The host serves requests before it reports "started". An options request
    # in between must not save the defaults (no server, a fresh synchronization
    # UUID) over the stored state, which would lose the configured destination.
    stored = stored_state("http://127.0.0.1:9/dicom-web")
    for attempt in range(10):
        source = hosts("source%d" % attempt, {"Plugins": [PLUGIN]})
        source.set_global_property(STATE_PROPERTY, state_text(stored))
        stop = threading.Event()

        def hammer():
            while not stop.is_set():
                try:
                    source.session.post(source.url(API + "/options"), json={"AutomatedRouting": True},
                                        timeout=5)
                except Exception:
                    pass

        thread = threading.Thread(target=hammer, daemon=True)
        thread.start()
        source.start()
        stop.set()
        thread.join()
        assert source.stop() == 0
        assert json.loads(source.get_global_property(STATE_PROPERTY)) == stored, "attempt %d" % attempt
