// Gantry::XML: the element tree, its parser and writer, slash-path queries and configuration
// files.
#pragma once

#include "gantry/xml/configuration.h"
#include "gantry/xml/element.h"
#include "gantry/xml/parser.h"
#include "gantry/xml/path_query.h"
