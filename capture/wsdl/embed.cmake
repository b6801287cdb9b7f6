# Writes OUTPUT, a C++ source defining Corvid::Capture::wsdl_document() as the text of INPUT.
file(READ ${INPUT} text)
string(FIND "${text}" ")wsdl\"" clash)
if(NOT clash EQUAL -1)
  message(FATAL_ERROR "${INPUT} holds the raw string's delimiter")
endif()
file(WRITE ${OUTPUT}.new "// Generated from ${INPUT}.
#include \"capture/wsdl/wsdl.h\"

namespace Corvid::Capture {

std::shared_ptr<const std::string> wsdl_document() {
    static const auto text = std::make_shared<const std::string>(R\"wsdl(${text})wsdl\");
    return text;
}

}  // namespace Corvid::Capture
")
file(COPY_FILE ${OUTPUT}.new ${OUTPUT} ONLY_IF_DIFFERENT)
