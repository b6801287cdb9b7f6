// Names of the bus protocol: the namespace bound to the prefix x in every bus message, and the
// subjects the server reserves.
#pragma once

namespace Gantry::Trellis {

inline constexpr const char* NAMESPACE = "urn:gantry:trellis:1";
inline constexpr const char* PREFIX = "x";

inline constexpr const char* SUBJECT_OK = "trellis.ok";
inline constexpr const char* SUBJECT_FAULT = "trellis.fault";
inline constexpr const char* SUBJECT_JOIN = "trellis.subscription.join";
inline constexpr const char* SUBJECT_LEAVE = "trellis.subscription.leave";

}  // namespace Gantry::Trellis
