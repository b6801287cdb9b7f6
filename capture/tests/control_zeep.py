# A stock SOAP client built from the daemon's own WSDL: zeep reads BASE/capture-x?wsdl for each
# request, calls it with typed arguments and prints one line per call.
#   control_zeep.py BASE PORT    (PORT: a UDP port on 127.0.0.1 for the capture it adds)
import sys

import lxml.etree as etree
import zeep
from zeep.plugins import HistoryPlugin

base, port = sys.argv[1], sys.argv[2]
history = HistoryPlugin()


def call(request, operation, **arguments):
    client = zeep.Client(base + "/" + request + "?wsdl", plugins=[history])
    try:
        return getattr(client.service, operation)(**arguments)
    except Exception:
        # Faults come as SOAP 1.2 envelopes, which a SOAP 1.1 binding does not read as faults.
        text = history.last_received["envelope"].find(".//{*}Text")
        return "fault " + (text.text if text is not None else "(none)")


def element(name, **attributes):
    return etree.Element(name, {k.replace("_", "-"): v for k, v in attributes.items()})


def show(request, answer):
    print(request, answer if isinstance(answer, str) else ("ok" if answer is None else answer))


show("capture-list", len(call("capture-list", "CaptureList") or []))
show("capture-epg-services", len(call("capture-epg-services", "CaptureEPGServices") or []))
show("capture-epg-listing", len(call("capture-epg-listing", "CaptureEPGListing") or []))
definition = [element("start", mode="external"), element("source", address="127.0.0.1", port=port)]
show("capture-add", call("capture-add", "CaptureAdd", id="zeep", _value_1=definition))
show("capture-add", call("capture-add", "CaptureAdd", id="zeep", _value_1=definition))
show("capture-list", " ".join(c.id for c in call("capture-list", "CaptureList")))
show("capture-start", call("capture-start", "CaptureStart", id="zeep", duration="1 hour",
                           _value_1=""))
show("capture-start", call("capture-start", "CaptureStart", id="zeep", _value_1=""))
show("capture-stop", call("capture-stop", "CaptureStop", id="zeep"))
show("capture-playlist", call("capture-playlist", "CapturePlaylist", channel="zeep",
                              start="2020-01-01T00:00:00Z", duration="1 min"))
show("capture-playlist", call("capture-playlist", "CapturePlaylist", channel="zeep",
                              event="12abc"))
show("capture-remove", call("capture-remove", "CaptureRemove", id="zeep"))
show("capture-remove", call("capture-remove", "CaptureRemove", id="zeep"))
