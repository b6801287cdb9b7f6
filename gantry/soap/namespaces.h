// Namespace URIs of SOAP and of the vocabularies its envelopes declare.
#pragma once

namespace Gantry::SOAP {

inline constexpr const char* SOAP_1_1_ENVELOPE = "http://schemas.xmlsoap.org/soap/envelope/";
inline constexpr const char* SOAP_1_2_ENVELOPE = "http://www.w3.org/2003/05/soap-envelope";
// The SOAP 1.2 working draft of December 2002; some clients still send it.
inline constexpr const char* SOAP_1_2_DRAFT_ENVELOPE = "http://www.w3.org/2002/12/soap-envelope";

inline constexpr const char* ROLE_NEXT = "http://www.w3.org/2003/05/soap-envelope/role/next";
inline constexpr const char* ROLE_NONE = "http://www.w3.org/2003/05/soap-envelope/role/none";
inline constexpr const char* ROLE_ULTIMATE_RECEIVER =
    "http://www.w3.org/2003/05/soap-envelope/role/ultimateReceiver";

// What the prefix xml is bound to.
inline constexpr const char* XML_NAMESPACE = "http://www.w3.org/XML/1998/namespace";
inline constexpr const char* SOAP_1_1_ENCODING = "http://schemas.xmlsoap.org/soap/encoding/";
inline constexpr const char* WSDL_1_1 = "http://schemas.xmlsoap.org/wsdl/";
inline constexpr const char* WSDL_1_1_SOAP = "http://schemas.xmlsoap.org/wsdl/soap/";
inline constexpr const char* XML_SCHEMA = "http://www.w3.org/2001/XMLSchema";
inline constexpr const char* XML_SCHEMA_INSTANCE = "http://www.w3.org/2001/XMLSchema-instance";

}  // namespace Gantry::SOAP
