# A stock SOAP client: zeep builds one from the WSDL served at BASE/NAME?wsdl for each request,
# calls it with typed arguments and prints a line per call.
#   control_zeep.py BASE UDP-PORT START   (a port for the capture it adds; a playlist start)
import sys

import lxml.etree as etree
import zeep

base, port, start = sys.argv[1:4]


def show(request, shown=str, **arguments):
    operation = request.title().replace("-", "").replace("Epg", "EPG")
    answer = getattr(zeep.Client(base + "/" + request + "?wsdl").service, operation)(**arguments)
    print(request, "ok" if answer is None else shown(answer))


names = lambda items: " ".join(item.name for item in items)
show("capture-list", lambda captures: " ".join(capture.id for capture in captures))
show("capture-epg-services", names)
show("capture-epg-listing", lambda l: names(l) + ": " + names(l[0]["epg-events"]["epg-event"]))
show("capture-add", id="zeep", _value_1=[etree.Element("start", mode="external"),
                                         etree.Element("source", address="127.0.0.1", port=port)])
show("capture-start", id="zeep", duration="1 hour", _value_1="")
show("capture-stop", id="zeep")
show("capture-playlist", lambda p: "%d file(s) from NPT %g to %g" % (
    len(p.playlist.file), p.start.npt, p.end.npt), channel="rec", start=start, duration="1 second")
show("capture-remove", id="zeep")
