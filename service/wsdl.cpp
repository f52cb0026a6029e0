#include "service/wsdl.h"

#include <cctype>
#include <new>
#include <set>
#include <vector>

#include "service/service_config.h"
#include "soap/deployment.h"
#include "soap/service_schema.h"

namespace bf::service {

using namespace bf::soap;

namespace {

constexpr std::string_view kWsdlNs = "http://schemas.xmlsoap.org/wsdl/";
constexpr std::string_view kSoapBindingNs = "http://schemas.xmlsoap.org/wsdl/soap/";
constexpr std::string_view kXsdNs = "http://www.w3.org/2001/XMLSchema";
constexpr std::string_view kSoapHttp = "http://schemas.xmlsoap.org/soap/http";

constexpr ULONG kWrappedDocLiteral = Flag::Document | Flag::Literal | Flag::Wrapped;
constexpr ULONG kOtherStyles = Flag::Rpc | Flag::Encoded | Flag::BodyChildren | Flag::Chained;
constexpr ULONG kUnsupportedFieldFlags = Flag::ReturnValue | Flag::MustUnderstand | Flag::SizeField | Flag::ArrayWrapper;

// Attribute text; the names come from tables, the address from a checked Host, but nothing
// is written unescaped.
void escaped(std::string& out, std::string_view text) {
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&apos;"; break;
            default: out.push_back(c);
        }
    }
}

std::string_view text(const char* s, int n) {
    return s && n > 0 ? std::string_view(s, static_cast<std::size_t>(n)) : std::string_view();
}
std::string_view nameOf(const SchemaMap& m) { return text(m.name, m.nameLength); }
std::string_view nameOf(const SchemaField& f) { return text(f.name, f.nameLength); }
std::string_view nsOf(const SchemaMap& m) { return text(m.namespaceUri, m.namespaceLength); }

class Writer {
public:
    Writer(const WsdlTables& tables, std::string* error) : tables_(tables), error_(error) {}

    bool run(std::string_view location, std::string* out) {
        const SchemaMap* const* ops = tables_.operations;
        if (!ops || !ops[0]) return fail("the tables have no operations");
        ns_ = nsOf(*ops[0]);
        if (ns_.empty()) return fail("the operations have no namespace");
        std::set<std::string> elements;
        for (std::size_t i = 0; ops[i]; ++i) {
            if (!checkOperation(*ops[i], i)) return false;
            std::string name(nameOf(*ops[i]));
            responseNames_.push_back(name + "Response");
            if (!elements.insert(name).second || !elements.insert(responseNames_.back()).second)
                return fail("two operations share the element " + name);
        }
        for (std::size_t i = 0; ops[i]; ++i)
            for (const SchemaField* f = ops[i]->fields; f && f->hash; ++f)
                if (!collect(*f)) return false;

        std::string& d = *out;
        d.clear();
        d += "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<wsdl:definitions xmlns:wsdl=\"";
        escaped(d, kWsdlNs);
        d += "\" xmlns:soap=\"";
        escaped(d, kSoapBindingNs);
        d += "\" xmlns:xsd=\"";
        escaped(d, kXsdNs);
        d += "\" xmlns:tns=\"";
        escaped(d, ns_);
        d += "\" targetNamespace=\"";
        escaped(d, ns_);
        d += "\" name=\"";
        escaped(d, tables_.serviceName);
        d += "\">\n  <wsdl:types>\n    <xsd:schema targetNamespace=\"";
        escaped(d, ns_);
        d += "\" elementFormDefault=\"qualified\">\n";
        for (std::size_t i = 0; ops[i]; ++i) {
            wrapper(d, *ops[i], nameOf(*ops[i]), Flag::In);
            wrapper(d, *ops[i], responseNames_[i], Flag::Out);
        }
        for (const SchemaMap* s : structures_) {
            d += "      <xsd:complexType name=\"";
            escaped(d, nameOf(*s));
            d += "\">\n";
            sequence(d, *s, Flag::Member, "        ");
            d += "      </xsd:complexType>\n";
        }
        d += "    </xsd:schema>\n  </wsdl:types>\n";
        for (std::size_t i = 0; ops[i]; ++i) {
            message(d, nameOf(*ops[i]), "In", nameOf(*ops[i]));
            message(d, nameOf(*ops[i]), "Out", responseNames_[i]);
        }
        d += "  <wsdl:portType name=\"";
        escaped(d, tables_.serviceName);
        d += "PortType\">\n";
        for (std::size_t i = 0; ops[i]; ++i) {
            std::string_view op = nameOf(*ops[i]);
            d += "    <wsdl:operation name=\"";
            escaped(d, op);
            d += "\">\n      <wsdl:input message=\"tns:";
            escaped(d, op);
            d += "In\"/>\n      <wsdl:output message=\"tns:";
            escaped(d, op);
            d += "Out\"/>\n    </wsdl:operation>\n";
        }
        d += "  </wsdl:portType>\n  <wsdl:binding name=\"";
        escaped(d, tables_.serviceName);
        d += "Soap\" type=\"tns:";
        escaped(d, tables_.serviceName);
        d += "PortType\">\n    <soap:binding style=\"document\" transport=\"";
        escaped(d, kSoapHttp);
        d += "\"/>\n";
        for (std::size_t i = 0; ops[i]; ++i) {
            d += "    <wsdl:operation name=\"";
            escaped(d, nameOf(*ops[i]));
            d += "\">\n      <soap:operation soapAction=\"";
            escaped(d, soapAction(*ops[i]));
            d += "\" style=\"document\"/>\n"
                 "      <wsdl:input><soap:body use=\"literal\"/></wsdl:input>\n"
                 "      <wsdl:output><soap:body use=\"literal\"/></wsdl:output>\n"
                 "    </wsdl:operation>\n";
        }
        d += "  </wsdl:binding>\n  <wsdl:service name=\"";
        escaped(d, tables_.serviceName);
        d += "\">\n    <wsdl:port name=\"";
        escaped(d, tables_.serviceName);
        d += "Soap\" binding=\"tns:";
        escaped(d, tables_.serviceName);
        d += "Soap\">\n      <soap:address location=\"";
        escaped(d, location);
        d += "\"/>\n    </wsdl:port>\n  </wsdl:service>\n</wsdl:definitions>\n";
        return true;
    }

private:
    bool fail(const std::string& what) {
        if (error_) *error_ = what;
        return false;
    }

    bool checkOperation(const SchemaMap& op, std::size_t index) {
        std::string name(nameOf(op));
        if (op.kind != MapKind::Operation || name.empty()) return fail("an operation table entry is not an operation");
        if ((op.callFlags & kWrappedDocLiteral) != kWrappedDocLiteral || (op.callFlags & kOtherStyles))
            return fail(name + " is not a wrapped document/literal operation");
        if (nsOf(op) != ns_) return fail(name + " is in another namespace");
        // The header table runs beside the operation table; its blocks must be empty.
        if (tables_.headers) {
            std::size_t i = 0;
            while (i < index && tables_.headers[i]) ++i;
            if (i == index && tables_.headers[i] && fieldListLength(tables_.headers[i]->fields) != 0)
                return fail(name + " has header fields");
        }
        return true;
    }

    // Checks one field and gathers the structures it reaches, each once, in the order met.
    bool collect(const SchemaField& f) {
        if (f.flags & Flag::NotMarshalled) return true;
        std::string name(nameOf(f));
        if (name.empty()) return fail("a field without a name");
        if (isArrayField(f)) return fail(name + " is an array");
        if (f.flags & kUnsupportedFieldFlags) return fail(name + " is not a plain element");
        if (!text(f.namespaceUri, f.namespaceLength).empty() && text(f.namespaceUri, f.namespaceLength) != ns_)
            return fail(name + " is in another namespace");
        if (f.type != Xsd::Nested) return xsdTypeName(f.type) ? true : fail(name + " has no XML Schema type");
        const SchemaMap* m = f.nestedMap;
        if (!m) return fail(name + " has no description of its type");
        if (m->kind == MapKind::Enumeration) return fail(name + " is an enumeration");
        if (m->kind != MapKind::Structure || nameOf(*m).empty()) return fail(name + " is not a structure");
        if (!nsOf(*m).empty() && nsOf(*m) != ns_) return fail(std::string(nameOf(*m)) + " is in another namespace");
        for (const SchemaMap* s : structures_) {
            if (s == m) return true;
            if (nameOf(*s) == nameOf(*m)) return fail("two structures are named " + std::string(nameOf(*m)));
        }
        structures_.push_back(m);
        for (const SchemaField* g = m->fields; g && g->hash; ++g)
            if (!collect(*g)) return false;
        return true;
    }

    void wrapper(std::string& d, const SchemaMap& op, std::string_view element, ULONG direction) {
        d += "      <xsd:element name=\"";
        escaped(d, element);
        d += "\">\n        <xsd:complexType>\n";
        sequence(d, op, direction, "          ");
        d += "        </xsd:complexType>\n      </xsd:element>\n";
    }

    // The fields of one direction (In, Out, or Member for a structure), in table order: the
    // order the codec writes them.
    void sequence(std::string& d, const SchemaMap& m, ULONG direction, const char* indent) {
        d += indent;
        d += "<xsd:sequence>\n";
        for (const SchemaField* f = m.fields; f && f->hash; ++f) {
            if (f->flags & Flag::NotMarshalled) continue;
            if (direction != Flag::Member && !(f->flags & direction)) continue;
            d += indent;
            d += "  <xsd:element name=\"";
            escaped(d, nameOf(*f));
            d += "\" type=\"";
            if (f->type == Xsd::Nested) {
                d += "tns:";
                escaped(d, nameOf(*f->nestedMap));
            } else {
                d += "xsd:";
                escaped(d, text(xsdTypeName(f->type)->name, xsdTypeName(f->type)->length));
            }
            // The endpoint wants every parameter exactly once, nil where the table allows it;
            // a nillable result member may also be absent, as the codec's reader accepts.
            bool nillable = (f->flags & Flag::Nillable) != 0;
            d += nillable && direction != Flag::In ? "\" minOccurs=\"0\"" : "\" minOccurs=\"1\"";
            d += " maxOccurs=\"1\"";
            if (nillable) d += " nillable=\"true\"";
            d += "/>\n";
        }
        d += indent;
        d += "</xsd:sequence>\n";
    }

    void message(std::string& d, std::string_view op, const char* suffix, std::string_view element) {
        d += "  <wsdl:message name=\"";
        escaped(d, op);
        d += suffix;
        d += "\">\n    <wsdl:part name=\"parameters\" element=\"tns:";
        escaped(d, element);
        d += "\"/>\n  </wsdl:message>\n";
    }

    const WsdlTables& tables_;
    std::string* error_;
    std::string_view ns_;
    std::vector<std::string> responseNames_;
    std::vector<const SchemaMap*> structures_;
};

bool isDigits(std::string_view s) {
    if (s.empty()) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

bool validPort(std::string_view p) {
    if (p.size() > 5 || !isDigits(p)) return false;
    unsigned long n = 0;
    for (char c : p) n = n * 10 + static_cast<unsigned long>(c - '0');
    return n <= 65535;
}

bool validName(std::string_view h) {
    if (h.empty() || h.size() > 253) return false;
    for (char c : h)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.')) return false;
    return true;
}

bool validIpv6(std::string_view h) {
    if (h.size() < 2 || h.size() > 45) return false;
    for (char c : h)
        if (!(std::isxdigit(static_cast<unsigned char>(c)) || c == ':' || c == '.')) return false;
    return h.find(':') != std::string_view::npos;
}

bool validHost(std::string_view host) {
    std::string_view port;
    if (!host.empty() && host.front() == '[') {
        std::size_t close = host.find(']');
        if (close == std::string_view::npos || !validIpv6(host.substr(1, close - 1))) return false;
        std::string_view rest = host.substr(close + 1);
        if (rest.empty()) return true;
        return rest.front() == ':' && validPort(rest.substr(1));
    }
    std::size_t colon = host.find(':');
    if (colon != std::string_view::npos) {
        port = host.substr(colon + 1);
        host = host.substr(0, colon);
        if (!validPort(port)) return false;
    }
    return validName(host);
}

}  // namespace

WsdlTables service_wsdl_tables() {
    return WsdlTables{Brackenfold::operationMapTable(), Brackenfold::headerMapTable(), "Brackenfold"};
}

bool write_wsdl(const WsdlTables& tables, std::string_view location, std::string* out, std::string* error) {
    if (!out) return false;
    try {
        std::string text;
        if (!Writer(tables, error).run(location, &text)) return false;
        out->swap(text);
        return true;
    } catch (const std::bad_alloc&) {
        if (error) error->clear();
        return false;
    }
}

std::optional<std::string> endpoint_location(std::string_view host) {
    std::string_view h = host.empty() ? std::string_view(soap::service_host()) : host;
    if (!validHost(h)) return std::nullopt;
    return "http://" + std::string(h) + kEndpointPath;
}

bool is_wsdl_request(const HttpRequest& r) {
    if (r.path != kEndpointPath || (r.method != "GET" && r.method != "HEAD") || r.query.size() != 1) return false;
    const auto& [key, value] = *r.query.begin();
    if (!value.empty() || key.size() != 4) return false;
    for (std::size_t i = 0; i < 4; ++i)
        if (std::tolower(static_cast<unsigned char>(key[i])) != "wsdl"[i]) return false;
    return true;
}

HttpResponse wsdl_response(const HttpRequest& request) {
    std::optional<std::string> location = endpoint_location(request.host);
    if (!location) return plain_error(400);
    HttpResponse r;
    std::string error;
    if (!write_wsdl(service_wsdl_tables(), *location, &r.body, &error)) return plain_error(500);
    r.contentType = "text/xml; charset=utf-8";
    return r;
}

}  // namespace bf::service
