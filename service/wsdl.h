// The service description: a WSDL 1.1 document (SOAP 1.1 binding, document/literal, wrapped
// parameters, elements qualified in the service namespace) written from the codec's tables,
// so that a SOAP toolkit generates a client that calls the service unchanged. Names, types,
// nillable members, the namespace and the SOAPAction texts all come from the tables; only the
// endpoint's address comes from the request (the Host the client reached).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "service/http_exchange.h"
#include "soap/soap_schema.h"

namespace bf::service {

struct WsdlTables {
    const soap::SchemaMap* const* operations = nullptr;  // ended by a null entry
    const soap::SchemaMap* const* headers = nullptr;     // same order; may be null
    std::string serviceName;                              // names the service, port type, binding, port
};

// The Brackenfold service's own tables.
WsdlTables service_wsdl_tables();

// Writes the description, with `location` as the address of the endpoint. False with `error`
// set for what a document/literal description cannot say the way the codec writes it (arrays,
// enumerations, header fields, rpc or bare parameters, fields in another namespace).
bool write_wsdl(const WsdlTables& tables, std::string_view location, std::string* out, std::string* error);

// "http://" + host + the endpoint path, for a Host header value that is a host name, an IPv4
// address or a bracketed IPv6 address with an optional port; an empty Host (HTTP/1.0) stands
// for the service host. Nothing for any other text: it never reaches the document.
std::optional<std::string> endpoint_location(std::string_view host);

// A GET or HEAD of the endpoint whose query is the one word "wsdl" in any case ("?WSDL",
// "?wsdl"); "?wsdl=x", "?WSDL&x" and the like are not.
bool is_wsdl_request(const HttpRequest& request);
// 200 with the description, or 400 for a Host that cannot be an address.
HttpResponse wsdl_response(const HttpRequest& request);

}  // namespace bf::service
