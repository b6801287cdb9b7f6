// Gantry::Web: HTTP/1.0 and HTTP/1.1 messages, URLs, and the server through which SOAP requests
// reach the daemon.
#pragma once

#include "gantry/web/http_message.h"
#include "gantry/web/http_server.h"
#include "gantry/web/mime_headers.h"
#include "gantry/web/simple_http_server.h"
#include "gantry/web/url.h"
#include "gantry/web/url_handler.h"
