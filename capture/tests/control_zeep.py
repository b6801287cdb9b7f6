# A stock SOAP client built from the daemon's own WSDL: zeep reads BASE/NAME?wsdl for each
# request, calls it with typed arguments and prints one line per call.
#   control_zeep.py BASE UDP-PORT START   (a port for the capture it adds; a playlist start)
import sys

import lxml.etree as etree
import zeep
from zeep.plugins import HistoryPlugin

base, port, start = sys.argv[1:4]
history = HistoryPlugin()


def call(request, operation, **arguments):
    client = zeep.Client(base + "/" + request + "?wsdl", plugins=[history])
    try:
        answer = getattr(client.service, operation)(**arguments)
        return "ok" if answer is None else answer
    except zeep.exceptions.Error:
        # Faults come as SOAP 1.2 envelopes, which a SOAP 1.1 binding does not read as faults.
        text = history.last_received["envelope"].find(".//{*}Text")
        return "fault " + (text.text if text is not None else "(none)")


def show(request, operation, shown=lambda answer: answer, **arguments):
    answer = call(request, operation, **arguments)
    print(request, answer if isinstance(answer, str) else shown(answer))


def ids(captures):
    return " ".join(capture.id for capture in captures)


definition = [etree.Element("start", mode="external"),
              etree.Element("source", address="127.0.0.1", port=port)]
show("capture-list", "CaptureList", ids)
show("capture-epg-services", "CaptureEPGServices",
     lambda services: " ".join(s.name for s in services))
show("capture-epg-listing", "CaptureEPGListing",
     lambda listing: " ".join(s.name + ": " + " ".join(e.name for e in s["epg-events"]["epg-event"])
                              for s in listing))
show("capture-add", "CaptureAdd", id="zeep", _value_1=definition)
show("capture-add", "CaptureAdd", id="zeep", _value_1=definition)
show("capture-list", "CaptureList", ids)
show("capture-start", "CaptureStart", id="zeep", duration="1 hour", _value_1="")
show("capture-start", "CaptureStart", id="zeep", _value_1="")
show("capture-stop", "CaptureStop", id="zeep")
show("capture-playlist", "CapturePlaylist",
     lambda playlist: "%d file(s) from NPT %g to %g" % (len(playlist.playlist.file),
                                                       playlist.start.npt, playlist.end.npt),
     channel="rec", start=start, duration="1 second")
show("capture-playlist", "CapturePlaylist", channel="rec", event="70000")
show("capture-remove", "CaptureRemove", id="zeep")
show("capture-remove", "CaptureRemove", id="zeep")
