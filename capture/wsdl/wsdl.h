// The WSDL 1.1 description of the requests (captured.wsdl, built into the program), as the SOAP
// server serves it at each request's URL with "?wsdl": "${name}" stands for the request name
// and "${location}" for the URL.
#pragma once

#include <memory>
#include <string>

namespace Corvid::Capture {

std::shared_ptr<const std::string> wsdl_document();

}  // namespace Corvid::Capture
