// The namespace of this product's request and response documents. Every handler binds it to the
// prefix "cv", and clients must use the same URI (with any prefix they like).
#pragma once

namespace Gantry::Message {

inline constexpr const char* PRODUCT_NAMESPACE = "urn:corvid:capture:1";
inline constexpr const char* PRODUCT_PREFIX = "cv";

}  // namespace Gantry::Message
