# A client we did not write: zeep posts through its transport and reads with its 1.1/1.2 bindings.
import sys, types

import zeep
from zeep.wsdl.bindings.soap import Soap11Binding, Soap12Binding

ENVELOPE = ('<e:Envelope xmlns:e="http://schemas.xmlsoap.org/soap/envelope/" '
            'xmlns:z="urn:corvid:capture:1"><e:Body><z:test-echo-request {}>from zeep'
            '</z:test-echo-request></e:Body></e:Envelope>')
transport = zeep.Transport()
client = types.SimpleNamespace(settings=zeep.Settings(), wsse=None, plugins=[])

def exchange(binding, attributes, operation=None):
    response = transport.post(sys.argv[1], ENVELOPE.format(attributes).encode(),
                              {"Content-Type": "text/xml; charset=utf-8", "SOAPAction": '""'})
    return binding(None, None, None, transport, None).process_reply(client, operation, response)

body = "{http://schemas.xmlsoap.org/soap/envelope/}Body"
answer = exchange(Soap11Binding, "", types.SimpleNamespace(process_reply=lambda doc: doc.find(body)[0]))
print("answer", answer.tag, answer[0].text)
try:
    exchange(Soap12Binding, 'fail="Could not start capture"')
except zeep.exceptions.Fault as fault:
    print("fault", fault.code, fault.message)
