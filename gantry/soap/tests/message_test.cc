#include "gantry/soap/message.h"

#include <gtest/gtest.h>

#include <iostream>

#include "gantry/soap/fault.h"

namespace Gantry::SOAP {
namespace {

TEST(Message, HeaderBlocksAndBodySurviveTheTripThroughText) {
    Message built(SOAP_1_2_ENVELOPE);
    built.envelope().get_child("env:Header").detach();
    built.add_header_block(std::make_unique<XML::Element>("a"), ROLE_NEXT, true);
    built.add_header_block(std::make_unique<XML::Element>("b"), ROLE_ULTIMATE_RECEIVER, 0, true);
    built.add_header_block(std::make_unique<XML::Element>("c"), "urn:mine");
    built.add_body_element(std::make_unique<XML::Element>("x"));
    built.declare_common_namespaces();
    Message parsed(built.to_string(), std::cerr);
    ASSERT_TRUE(parsed.valid());
    std::string blocks;
    for (const HeaderBlock& block : parsed.header_blocks())
        blocks += block.element->name() + " " + block.role + " " +
                  std::to_string(block.must_understand) + std::to_string(block.relay) + "\n";
    EXPECT_EQ(blocks, std::string("a ") + ROLE_NEXT + " 10\nb " + ROLE_ULTIMATE_RECEIVER +
                          " 01\nc urn:mine 00\n");
    EXPECT_FALSE(parsed.header_blocks()[1].element->has_attr("env:role"));
    EXPECT_EQ(parsed.envelope().get_child(1).name(), "env:Header") << "appended after the body";
    EXPECT_EQ(parsed.envelope().attrs().size(), 6u) << "xmlns:env and the five common ones";
}

TEST(Fault, CodesBothWaysAndTheHeadersOfTheFixedFaults) {
    const char* names[] = {"env:VersionMismatch", "env:MustUnderstand", "env:DataEncodingUnknown",
                           "env:Sender",          "env:Receiver",       "UNKNOWN!"};
    for (int code = 0; code <= 5; ++code) {
        Fault fault(code, "why");
        EXPECT_EQ(Fault::code_name(code), std::string(names[code]));
        EXPECT_EQ(Fault::code_of(fault.first_body_element()), code);
        EXPECT_EQ(Fault::reason_of(fault.first_body_element()), "why");
    }
    EXPECT_EQ(Fault::code_of("Sender"), Fault::UNKNOWN) << "the prefix is part of the name";
    Message received(
        "<e:Envelope xmlns:e='http://schemas.xmlsoap.org/soap/envelope/'><e:Header>"
        "<t:tx xmlns:t='urn:tx'/></e:Header><e:Body/></e:Envelope>",
        std::cerr);
    EXPECT_EQ(MustUnderstandFault(received.header_blocks()).envelope().get_child(0).to_string(),
              "<env:Header>\n  <env:NotUnderstood qname=\"t:tx\" xmlns:t=\"urn:tx\"/>\n"
              "</env:Header>\n");
    EXPECT_EQ(VersionMismatchFault().envelope().get_child(0).to_string(),
              "<env:Header>\n  <env:Upgrade>\n    <env:SupportedEnvelope qname=\"ns1:Envelope\" "
              "xmlns:ns1=\"http://www.w3.org/2003/05/soap-envelope\"/>\n  </env:Upgrade>\n"
              "</env:Header>\n");
}

}  // namespace
}  // namespace Gantry::SOAP
