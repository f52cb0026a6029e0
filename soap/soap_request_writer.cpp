// The request writer of CSoapRootHandler: the generators and the table walk that turns a bound
// parameter record into an envelope.
#include <cstring>
#include <new>
#include <string_view>

#include "soap/codec_internal.h"
#include "soap/soap_root_handler.h"

namespace bf::soap {

using namespace detail;

namespace {

constexpr std::string_view kEnvelopeStart =
    "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\" "
    "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
    "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" "
    "xmlns:soapenc=\"http://schemas.xmlsoap.org/soap/encoding/\">";

// Collects the writer's many small pieces and hands them to the target stream in large writes.
class BufferedStream final : public IWriteStream {
public:
    explicit BufferedStream(IWriteStream* target) : target_(target) {}
    HRESULT WriteStream(const char* data, int length, DWORD* written) override {
        if (written) *written = 0;
        if (length < 0 || (!data && length)) return E_INVALIDARG;
        auto n = static_cast<std::size_t>(length);
        if (n > sizeof buf_ - used_) {
            BF_TRY(flush());
            if (n > sizeof buf_) return target_->WriteStream(data, length, written);
        }
        std::memcpy(buf_ + used_, data, n);
        used_ += n;
        if (written) *written = static_cast<DWORD>(length);
        return S_OK;
    }
    HRESULT flush() {
        HRESULT hr = used_ ? target_->WriteStream(buf_, static_cast<int>(used_), nullptr) : S_OK;
        used_ = 0;
        return hr;
    }

private:
    IWriteStream* target_;
    std::size_t used_ = 0;
    char buf_[8192];
};

}  // namespace

// --- generators ----------------------------------------------------------------------------------

HRESULT CSoapRootHandler::CDocLiteralGenerator::openBody(IWriteStream* stream) { return put(stream, "<soap:Body>"); }

HRESULT CSoapRootHandler::CDocLiteralGenerator::openMapElement(IWriteStream* stream, const SchemaMap* map,
                                                               bool clientMode) {
    if (!map) return E_FAIL;
    BF_TRY(put(stream, "<"));
    BF_TRY(put(stream, map->name, map->nameLength));
    if (map->kind != MapKind::Operation) return put(stream, ">");
    if (!clientMode && (map->callFlags & Flag::Wrapped)) BF_TRY(put(stream, "Response"));
    BF_TRY(put(stream, " xmlns=\""));
    BF_TRY(put(stream, map->namespaceUri, map->namespaceLength));
    return put(stream, "\">");
}

HRESULT CSoapRootHandler::CDocLiteralGenerator::closeMapElement(IWriteStream* stream, const SchemaMap* map,
                                                                bool clientMode) {
    if (!map) return E_FAIL;
    BF_TRY(put(stream, "</"));
    BF_TRY(put(stream, map->name, map->nameLength));
    if (map->kind == MapKind::Operation && !clientMode && (map->callFlags & Flag::Wrapped))
        BF_TRY(put(stream, "Response"));
    return put(stream, ">");
}

namespace {
// Whether a field's element carries the "snp:" prefix, and the namespace it stands for.
bool prefixedField(const SchemaMap* map, const SchemaField* field, const char** ns, int* nsLen) {
    const SchemaMap* nested = field->nestedMap;
    bool nestedNs = nested && hasNamespace(nested->namespaceUri, nested->namespaceLength);
    bool own = hasNamespace(field->namespaceUri, field->namespaceLength);
    if (!own && !(map->kind == MapKind::HeaderBlock && nestedNs)) return false;
    *ns = nestedNs ? nested->namespaceUri : field->namespaceUri;
    *nsLen = nestedNs ? nested->namespaceLength : field->namespaceLength;
    return true;
}

HRESULT openField(IWriteStream* stream, const SchemaMap* map, const SchemaField* field) {
    if (!map || !field) return E_FAIL;
    const char* ns = nullptr;
    int nsLen = 0;
    bool prefixed = prefixedField(map, field, &ns, &nsLen);
    BF_TRY(put(stream, prefixed ? "<snp:" : "<"));
    if (field->flags & Flag::ReturnValue) BF_TRY(put(stream, "return"));
    else BF_TRY(put(stream, field->name, field->nameLength));
    if (prefixed) {
        BF_TRY(put(stream, " xmlns:snp=\""));
        BF_TRY(put(stream, ns, nsLen));
        BF_TRY(put(stream, "\""));
    }
    if (field->flags & Flag::MustUnderstand) BF_TRY(put(stream, " soap:mustUnderstand=\"1\""));
    return S_OK;
}
}  // namespace

HRESULT CSoapRootHandler::CDocLiteralGenerator::openFieldElement(IWriteStream* stream, const SchemaMap* map,
                                                                 const SchemaField* field) {
    return openField(stream, map, field);
}

HRESULT CSoapRootHandler::CPADGenerator::openFieldElement(IWriteStream* stream, const SchemaMap* map,
                                                          const SchemaField* field) {
    BF_TRY(openField(stream, map, field));
    if (map->callFlags & Flag::BodyChildren) {
        BF_TRY(put(stream, " xmlns=\""));
        BF_TRY(put(stream, map->namespaceUri, map->namespaceLength));
        BF_TRY(put(stream, "\""));
    }
    return S_OK;
}

HRESULT CSoapRootHandler::CRpcEncodedGenerator::openBody(IWriteStream* stream) {
    return put(stream, "<soap:Body soap:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\">");
}

HRESULT CSoapRootHandler::CRpcEncodedGenerator::openMapElement(IWriteStream* stream, const SchemaMap* map, bool) {
    if (!map) return E_FAIL;
    BF_TRY(put(stream, "<snp:"));
    BF_TRY(put(stream, map->name, map->nameLength));
    if (map->kind != MapKind::Operation) return put(stream, ">");
    BF_TRY(put(stream, " xmlns:snp=\""));
    BF_TRY(put(stream, map->namespaceUri, map->namespaceLength));
    return put(stream, "\">");
}

HRESULT CSoapRootHandler::CRpcEncodedGenerator::closeMapElement(IWriteStream* stream, const SchemaMap* map, bool) {
    if (!map) return E_FAIL;
    BF_TRY(put(stream, "</snp:"));
    BF_TRY(put(stream, map->name, map->nameLength));
    return put(stream, ">");
}

HRESULT CSoapRootHandler::CRpcEncodedGenerator::openFieldElement(IWriteStream* stream, const SchemaMap* map,
                                                                 const SchemaField* field) {
    return openField(stream, map, field);
}

// --- writing ---------------------------------------------------------------------------------------

HRESULT CSoapRootHandler::writeRequest(IWriteStream* stream) {
    if (m_frames.empty()) return E_INVALIDARG;
    if (!stream) return E_INVALIDARG;
    const ParseFrame& first = m_frames.front();
    const SchemaMap* headerMap = nullptr;
    const SchemaMap* opMap = nullptr;
    if (m_clientMode) {
        headerMap = first.map;
        opMap = operationMapAt(first.index);
    } else {
        const SchemaMap* const* headers = headerMaps();
        if (headers)
            for (ULONG i = 0; headers[i]; ++i)
                if (i == first.index) headerMap = headers[i];
        opMap = first.map;
    }
    if (!headerMap || !opMap || !m_binding) return E_FAIL;

    CPIDGenerator pid;
    CPADGenerator pad;
    CRpcEncodedGenerator rpc;
    CResponseGenerator* gen = &pad;
    if ((opMap->callFlags & (Flag::Rpc | Flag::Encoded)) == (Flag::Rpc | Flag::Encoded)) gen = &rpc;
    else if (opMap->callFlags & Flag::Wrapped) gen = &pid;

    BufferedStream out(stream);
    BF_TRY(put(&out, kEnvelopeStart));

    std::size_t headerFields = 0;
    for (const SchemaField* f = headerMap->fields; f && f->hash; ++f)
        if (f->flags & (m_clientMode ? Flag::In : Flag::Out)) ++headerFields;
    if (headerFields) {
        BF_TRY(put(&out, "<soap:Header"));
        if ((headerMap->callFlags & (Flag::Rpc | Flag::Encoded)) == (Flag::Rpc | Flag::Encoded)) {
            BF_TRY(put(&out, ">"));
        } else {
            BF_TRY(put(&out, " xmlns=\""));
            BF_TRY(put(&out, headerMap->namespaceUri, headerMap->namespaceLength));
            BF_TRY(put(&out, "\">"));
        }
        BF_TRY(writeMap(*gen, &out, headerMap, headerRecord(), false));
        BF_TRY(put(&out, "</soap:Header>"));
    }
    BF_TRY(gen->openBody(&out));
    BF_TRY(writeMap(*gen, &out, opMap, m_binding, true));
    BF_TRY(put(&out, "</soap:Body></soap:Envelope>"));
    return out.flush();
}

HRESULT CSoapRootHandler::writeMap(CResponseGenerator& gen, IWriteStream* stream, const SchemaMap* map, void* record,
                                   bool outer) {
    if (!map || !record) return E_FAIL;
    bool element = outer && !(map->callFlags & Flag::BodyChildren);
    if (element) BF_TRY(gen.openMapElement(stream, map, m_clientMode));
    for (const SchemaField* field = map->fields; field && field->hash; ++field) {
        if (!writesField(field->flags) || (field->flags & Flag::NotMarshalled)) continue;
        BF_TRY(gen.openFieldElement(stream, map, field));
        void* value = static_cast<BYTE*>(record) + field->member;
        bool isNull = false;
        if (isArrayField(*field)) {
            if (!field->dimensions) {
                void* items;
                std::memcpy(&items, value, sizeof items);
                isNull = items == nullptr;
            }
        } else if (field->type != Xsd::Nested) {
            isNull = isNullValue(field->type, value);
        }
        if (isNull) {
            BF_TRY(put(stream, " xsi:nil=\"1\"/>"));
            continue;
        }
        if (isArrayField(*field)) {
            std::size_t count = 0;
            BF_TRY(writeArrayType(stream, map, field, record, &count));
            BF_TRY(put(stream, ">"));
            std::size_t itemSize = itemSizeOf(field);
            if (!itemSize) return E_FAIL;
            BYTE* items = static_cast<BYTE*>(value);
            if (!field->dimensions) std::memcpy(&items, value, sizeof items);
            for (std::size_t i = 0; i < count; ++i) BF_TRY(writeValue(gen, stream, field, items + i * itemSize, true));
        } else {
            BF_TRY(put(stream, ">"));
            BF_TRY(writeValue(gen, stream, field, value, false));
        }
        const char* ns = nullptr;
        int nsLen = 0;
        BF_TRY(put(stream, prefixedField(map, field, &ns, &nsLen) ? "</snp:" : "</"));
        if (field->flags & Flag::ReturnValue) BF_TRY(put(stream, "return"));
        else BF_TRY(put(stream, field->name, field->nameLength));
        BF_TRY(put(stream, ">"));
    }
    if (element) BF_TRY(gen.closeMapElement(stream, map, m_clientMode));
    return S_OK;
}

HRESULT CSoapRootHandler::writeValue(CResponseGenerator& gen, IWriteStream* stream, const SchemaField* field,
                                     void* value, bool arrayItem) {
    if (field->type == Xsd::Nested) {
        const SchemaMap* nested = field->nestedMap;
        if (!nested) return E_FAIL;
        if (nested->kind == MapKind::Structure) return writeMap(gen, stream, nested, value, arrayItem);
        if (nested->kind != MapKind::Enumeration) return E_FAIL;
        std::int32_t v;
        std::memcpy(&v, value, sizeof v);
        const SchemaField* member = nested->fields;
        while (member && member->hash && member->type != v) ++member;
        if (!member || !member->hash) return E_FAIL;
        if (arrayItem) {
            BF_TRY(put(stream, "<"));
            BF_TRY(put(stream, nested->name, nested->nameLength));
            BF_TRY(put(stream, ">"));
        }
        BF_TRY(put(stream, member->name, member->nameLength));
        if (arrayItem) {
            BF_TRY(put(stream, "</"));
            BF_TRY(put(stream, nested->name, nested->nameLength));
            BF_TRY(put(stream, ">"));
        }
        return S_OK;
    }
    const XsdTypeName* typeName = xsdTypeName(field->type);
    if (!typeName) return E_FAIL;
    std::string& text = m_valueText;
    text.clear();
    try {
        BF_TRY(appendSimpleValue(text, field->type, value));
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    if (!arrayItem) return put(stream, text.data(), static_cast<int>(text.size()));
    bool isNull = isNullValue(field->type, value);
    BF_TRY(put(stream, "<"));
    BF_TRY(put(stream, typeName->name, typeName->length));
    if (isNull) BF_TRY(put(stream, " xsi:nil=\"1\""));
    BF_TRY(put(stream, ">"));
    if (!isNull) BF_TRY(put(stream, text.data(), static_cast<int>(text.size())));
    BF_TRY(put(stream, "</"));
    BF_TRY(put(stream, typeName->name, typeName->length));
    return put(stream, ">");
}

HRESULT CSoapRootHandler::writeArrayType(IWriteStream* stream, const SchemaMap* map, const SchemaField* field,
                                         void* record, std::size_t* count) {
    std::string dims;
    std::size_t total = 1;
    if (field->dimensions) {
        int n = field->dimensions[0];
        if (n <= 0) return E_FAIL;
        for (int i = 1; i <= n; ++i) {
            int d = field->dimensions[i];
            if (d <= 0) return E_FAIL;
            if (i > 1) dims.append(", ");
            appendSigned(dims, d);
            total *= static_cast<std::size_t>(d);
        }
    } else {
        std::size_t nfields = fieldListLength(map->fields);
        if (field->sizeIndex < 0 || static_cast<std::size_t>(field->sizeIndex) >= nfields) return E_FAIL;
        const SchemaField& sizeField = map->fields[field->sizeIndex];
        long long n = 0;
        if (!isIntegerType(sizeField.type) ||
            !loadCount(sizeField.type, static_cast<BYTE*>(record) + sizeField.member, &n) || n <= 0)
            return E_FAIL;
        appendSigned(dims, n);
        total = static_cast<std::size_t>(n);
    }
    const SchemaMap* nested = field->type == Xsd::Nested ? field->nestedMap : nullptr;
    if (field->type == Xsd::Nested) {
        if (!nested) return E_FAIL;
        BF_TRY(put(stream, " xmlns:q1=\""));
        if (hasNamespace(nested->namespaceUri, nested->namespaceLength)) {
            BF_TRY(put(stream, nested->namespaceUri, nested->namespaceLength));
        } else {
            int len = 0;
            const char* ns = namespaceUriNarrow(&len);
            BF_TRY(put(stream, ns, len));
        }
        BF_TRY(put(stream, "\" soapenc:arrayType=\"q1:"));
        BF_TRY(put(stream, nested->name, nested->nameLength));
    } else {
        const XsdTypeName* typeName = xsdTypeName(field->type);
        if (!typeName) return E_FAIL;
        BF_TRY(put(stream, " soapenc:arrayType=\"xsd:"));
        BF_TRY(put(stream, typeName->name, typeName->length));
    }
    BF_TRY(put(stream, "["));
    BF_TRY(put(stream, dims));
    BF_TRY(put(stream, "]\""));
    *count = total;
    return S_OK;
}

}  // namespace bf::soap
