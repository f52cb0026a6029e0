#include "soap/soap_root_handler.h"

#include <cstring>
#include <limits>
#include <new>
#include <string_view>

#include <oleauto.h>
#include "soap/codec_internal.h"

namespace bf::soap {

using namespace detail;

namespace {

// Declared length of an array from its arrayType attribute text ("xsd:int[3]", "q1:T[2, 3]",
// "T[]"): -1 for no declared length; false for a malformed text.
bool parseArrayType(const WCHAR* text, int length, long long* declared) noexcept {
    int i = 0;
    while (i < length && isSoapSpace(text[i])) ++i;
    while (i < length && text[i] != '[') ++i;
    if (i == length) return false;
    ++i;
    while (i < length && isSoapSpace(text[i])) ++i;
    if (i < length && text[i] == ']') {
        *declared = -1;
        return true;
    }
    long long product = 1;
    for (;;) {
        while (i < length && isSoapSpace(text[i])) ++i;
        int start = i;
        long long n = 0;
        while (i < length && text[i] >= '0' && text[i] <= '9') {
            n = n * 10 + (text[i] - '0');
            if (n > (1LL << 40)) return false;
            ++i;
        }
        if (i == start) return false;  // also a negative number
        if (n == 0) {
            *declared = 0;
            return true;
        }
        product *= n;
        if (product > (1LL << 40)) return false;
        while (i < length && isSoapSpace(text[i])) ++i;
        if (i < length && text[i] == ',') {
            ++i;
            continue;
        }
        if (i < length && text[i] == ']') break;
        return false;
    }
    *declared = product;
    return true;
}

}  // namespace

// --- set-up ----------------------------------------------------------------------------------------

void CSoapRootHandler::FieldSet::set(std::size_t i) {
    if (i < 64) {
        bits_ |= std::uint64_t{1} << i;
        return;
    }
    std::size_t word = (i - 64) / 64;
    if (word >= more_.size()) more_.resize(word + 1);
    more_[word] |= std::uint64_t{1} << (i % 64);
}

CSoapRootHandler::CSoapRootHandler(ISAXXMLReader* reader) : m_reader(reader) { m_frames.reserve(8); }

CSoapRootHandler::~CSoapRootHandler() {
    // Never leave the reader pointing at a handler that is gone.
    if (m_reader) {
        ComPtr<ISAXContentHandler> current;
        if (SUCCEEDED(m_reader->getContentHandler(current.put())) &&
            (current.get() == this || current.get() == &m_stringBuilder || current.get() == &m_skipHandler))
            m_reader->putContentHandler(nullptr);
    }
    if (m_ownsBinding) {
        releaseResults();
        m_allocator.Free(m_binding);
    }
}

bool CSoapRootHandler::readsField(ULONG flags) const noexcept {
    ULONG dir = flags & (Flag::In | Flag::Out);
    return dir == 0 || (flags & (m_clientMode ? Flag::Out : Flag::In));
}

bool CSoapRootHandler::writesField(ULONG flags) const noexcept {
    ULONG dir = flags & (Flag::In | Flag::Out);
    return dir == 0 || (flags & (m_clientMode ? Flag::In : Flag::Out));
}

bool CSoapRootHandler::rpcEncoded() const noexcept {
    return m_operationMap && (m_operationMap->callFlags & (Flag::Rpc | Flag::Encoded)) == (Flag::Rpc | Flag::Encoded);
}

const SchemaMap* CSoapRootHandler::operationMapAt(ULONG index) {
    const SchemaMap* const* maps = operationMaps();
    if (!maps) return nullptr;
    for (ULONG i = 0; maps[i]; ++i)
        if (i == index) return maps[i];
    return nullptr;
}

int CSoapRootHandler::operationIndex() const noexcept {
    return m_frames.empty() || !m_operationSeen ? -1 : static_cast<int>(m_frames.front().index);
}

HRESULT CSoapRootHandler::pushFrame(ParseFrame frame) noexcept {
    try {
        frame.depth = m_depth;
        m_frames.push_back(std::move(frame));
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

HRESULT CSoapRootHandler::bindParameters(int index, void* record) {
    if (index < 0 || !record) return E_INVALIDARG;
    const SchemaMap* const* headers = headerMaps();
    if (!headers) return E_FAIL;
    const SchemaMap* headerMap = nullptr;
    for (int i = 0; headers[i]; ++i)
        if (i == index) headerMap = headers[i];
    const SchemaMap* opMap = operationMapAt(static_cast<ULONG>(index));
    if (!headerMap || !opMap) return E_FAIL;
    resetParseState();
    m_binding = record;
    m_bindingSize = opMap->recordSize;
    m_headerMap = headerMap;
    ParseFrame f;
    f.kind = FrameKind::Header;
    f.value = headerRecord();
    f.map = headerMap;
    f.index = static_cast<ULONG>(index);
    f.expected = headerMap->fieldCount;
    return pushFrame(std::move(f));
}

void CSoapRootHandler::resetParseState() {
    if (m_ownsBinding) {
        releaseResults();
        m_allocator.Free(m_binding);
    } else if (m_binding && m_bindingSize) {
        std::memset(m_binding, 0, m_bindingSize);
    }
    m_binding = nullptr;
    m_bindingSize = 0;
    m_ownsBinding = false;
    m_operationMap = nullptr;
    m_headerMap = nullptr;
    m_operationSeen = false;
    m_frames.clear();
    m_pendingReferences.clear();
    m_text.clear();
    m_wholeText = nullptr;
    m_wholeTextLength = 0;
    m_state = Start;
    m_depth = 0;
    m_noChildren = m_textExpected = false;
    m_raisedFault = 0;
    m_stringBuilder.disengage();
    m_skipHandler.disengage();
}

void CSoapRootHandler::raiseFault(int code) {
    if (!m_clientMode) m_raisedFault = code;
}

std::size_t CSoapRootHandler::itemSizeOf(const SchemaField* field) const noexcept {
    if (field->type == Xsd::Nested) {
        if (!field->nestedMap) return 0;
        if (field->nestedMap->kind == MapKind::Structure) return field->nestedMap->recordSize;
        if (field->nestedMap->kind == MapKind::Enumeration) return sizeof(std::int32_t);
        return 0;
    }
    return xsdValueSize(field->type);
}

// --- reading ---------------------------------------------------------------------------------------

HRESULT CSoapRootHandler::parseResponse(IStream* stream) {
    if (!stream || !m_reader) return E_INVALIDARG;
    if (m_frames.empty()) {
        if (m_clientMode) return E_INVALIDARG;
        // Service side: a frame without fields takes the header entries, which are all unknown.
        ParseFrame f;
        f.kind = FrameKind::Header;
        f.value = headerRecord();
        f.index = ~0u;
        BF_TRY(pushFrame(std::move(f)));
    }
    m_operationSeen = false;
    m_pendingReferences.clear();
    m_text.clear();
    m_wholeText = nullptr;
    m_wholeTextLength = 0;
    m_depth = 0;
    m_raisedFault = 0;
    VARIANT input;
    VariantInit(&input);
    input.vt = VT_UNKNOWN;
    input.punkVal = stream;
    HRESULT hr = m_reader->parse(input);
    // A parse that stopped inside a string or a skipped entry leaves a helper as the handler.
    m_stringBuilder.disengage();
    m_skipHandler.disengage();
    m_reader->putContentHandler(this);
    if (SUCCEEDED(hr) && !m_pendingReferences.empty()) hr = E_FAIL;
    // A document that never reached the operation's element is not an answer.
    if (SUCCEEDED(hr) && !m_operationSeen) hr = E_FAIL;
    m_pendingReferences.clear();
    return hr;
}

HRESULT CSoapRootHandler::startDocument() {
    m_noChildren = m_textExpected = false;
    m_state = Start;
    return S_OK;
}

HRESULT CSoapRootHandler::startElement(const WCHAR* pwchNamespaceUri, int cchNamespaceUri, const WCHAR* pwchLocalName,
                                       int cchLocalName, const WCHAR*, int, ISAXAttributes* pAttributes) {
    if (m_noChildren || m_textExpected) return E_FAIL;
    if (cchLocalName < 0 || cchNamespaceUri < 0) return E_INVALIDARG;
    ++m_depth;
    try {
        switch (m_state) {
            case Start:
            case InEnvelope:
            case AfterHeader: {
                if (!sameText(pwchNamespaceUri, cchNamespaceUri, kSoapEnvelopeNamespace)) return S_OK;
                ULONG h = soapHash(pwchLocalName, cchLocalName);
                if (h == soapHash("Envelope") && sameText(pwchLocalName, cchLocalName, u"Envelope")) {
                    if (m_state != Start) return E_FAIL;
                    m_state = InEnvelope;
                } else if (h == soapHash("Header") && sameText(pwchLocalName, cchLocalName, u"Header")) {
                    if (m_state != InEnvelope) return E_FAIL;
                    m_state = InHeader;
                } else if (h == soapHash("Body") && sameText(pwchLocalName, cchLocalName, u"Body")) {
                    if (m_state == Start) return E_FAIL;
                    m_state = InBody;
                }
                return S_OK;
            }
            case InHeader:
            case InOperation:
                return processParameter(pwchNamespaceUri, cchNamespaceUri, pwchLocalName, cchLocalName, pAttributes, 0);
            case InBody: {
                HRESULT hr = enterOperation(pwchNamespaceUri, cchNamespaceUri, pwchLocalName, cchLocalName);
                if (FAILED(hr)) return hr;
                m_state = InOperation;
                if (m_operationMap && (m_operationMap->callFlags & Flag::BodyChildren))
                    return processParameter(pwchNamespaceUri, cchNamespaceUri, pwchLocalName, cchLocalName,
                                            pAttributes, 0);
                return S_OK;
            }
        }
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

HRESULT CSoapRootHandler::enterOperation(const WCHAR* pwchNamespaceUri, int cchNamespaceUri,
                                         const WCHAR* pwchLocalName, int cchLocalName) {
    if (m_frames.empty()) return E_FAIL;
    ULONG index = 0;
    const SchemaMap* opMap = nullptr;
    if (m_clientMode) {
        const ParseFrame& bottom = m_frames.front();
        if (bottom.map && bottom.map->kind == MapKind::HeaderBlock) {
            std::size_t i = 0;
            for (const SchemaField* f = bottom.map->fields; f && f->hash; ++f, ++i)
                if (readsField(f->flags) && !(f->flags & (Flag::Nillable | Flag::NotMarshalled)) && !bottom.seen.test(i))
                    return E_FAIL;
        }
        index = bottom.index;
        opMap = operationMapAt(index);
        if (!opMap || !m_binding) return E_FAIL;
        // The response element's name is not checked: the first element in the Body is the answer.
        std::memset(m_binding, 0, opMap->recordSize);
    } else {
        // The request element carries the operation's own name (the map's 8-bit name).
        const SchemaMap* const* maps = operationMaps();
        for (ULONG i = 0; maps && maps[i]; ++i) {
            const SchemaMap* m = maps[i];
            // Without a wrapper the first parameter's element stands for the operation.
            const char* name = m->name;
            int nameLength = m->nameLength;
            if (m->callFlags & Flag::BodyChildren) {
                const SchemaField* f = m->fields;
                while (f && f->hash && !readsField(f->flags)) ++f;
                if (!f || !f->hash) continue;
                name = f->name;
                nameLength = f->nameLength;
            }
            if (sameName(pwchLocalName, cchLocalName, name, nameLength) &&
                sameName(pwchNamespaceUri, cchNamespaceUri, m->wideNamespaceUri ? m->wideNamespaceUri : u"",
                         m->wideNamespaceUri ? m->namespaceLength : 0)) {
                opMap = m;
                index = i;
                break;
            }
        }
        if (!opMap) return E_FAIL;
        if (m_ownsBinding) {
            releaseResults();
            m_allocator.Free(m_binding);
            m_binding = nullptr;
            m_ownsBinding = false;
        }
        void* record = m_allocator.Allocate(opMap->recordSize);
        if (!record) return E_OUTOFMEMORY;
        std::memset(record, 0, opMap->recordSize ? opMap->recordSize : 1);
        m_binding = record;
        m_bindingSize = opMap->recordSize;
        m_ownsBinding = true;
        const SchemaMap* const* headers = headerMaps();
        m_headerMap = nullptr;
        for (ULONG i = 0; headers && headers[i]; ++i)
            if (i == index) m_headerMap = headers[i];
    }
    m_frames.clear();
    m_operationMap = opMap;
    ParseFrame f;
    f.kind = FrameKind::Operation;
    f.value = m_binding;
    f.map = opMap;
    f.index = index;
    f.expected = opMap->fieldCount;
    BF_TRY(pushFrame(std::move(f)));
    m_operationSeen = true;
    return S_OK;
}

HRESULT CSoapRootHandler::processParameter(const WCHAR* ns, int nsLen, const WCHAR* local, int localLen,
                                           ISAXAttributes* attrs, int chainDepth) {
    std::size_t fi = m_frames.size() - 1;
    const SchemaField* field = nullptr;
    void* storage = nullptr;
    bool item = false;
    const WCHAR* attr = nullptr;
    int attrLen = 0;

    if (m_frames[fi].kind == FrameKind::Array) {
        BF_TRY(addArrayItem(fi, &storage));
        field = m_frames[fi].field;
        item = true;
    } else {
        const SchemaMap* map = m_frames[fi].map;
        if (map && (map->callFlags & Flag::Chained)) {
            // A single structure parameter given directly: its members are the Body's children.
            if (chainDepth > 0 || !(map->callFlags & Flag::BodyChildren) || fieldListLength(map->fields) != 1)
                return E_FAIL;
            const SchemaField* only = &map->fields[0];
            if (only->type != Xsd::Nested || !only->nestedMap || only->nestedMap->kind != MapKind::Structure)
                return E_FAIL;
            if (!m_frames[fi].seen.test(0)) {
                m_frames[fi].seen.set(0);
                ++m_frames[fi].received;
            }
            ParseFrame f;
            f.kind = FrameKind::Structure;
            f.value = static_cast<BYTE*>(m_frames[fi].value) + only->member;
            f.flags = only->flags;
            f.map = only->nestedMap;
            f.field = only;
            f.expected = only->nestedMap->fieldCount;
            BF_TRY(pushFrame(std::move(f)));
            return processParameter(ns, nsLen, local, localLen, attrs, chainDepth + 1);
        }
        // The target of a reference given earlier.
        if (!m_pendingReferences.empty() && attributeByQName(attrs, u"id", &attr, &attrLen)) {
            auto it = m_pendingReferences.find(std::u16string(attr, static_cast<std::size_t>(attrLen)));
            if (it != m_pendingReferences.end()) {
                PendingReference ref = it->second;
                m_pendingReferences.erase(it);
                if (isArrayField(*ref.field)) return startArray(ref.field, ref.value, ref.record, ref.map, attrs, false);
                ParseFrame f;
                f.kind = FrameKind::Structure;
                f.value = ref.value;
                f.flags = ref.field->flags;
                f.map = ref.field->nestedMap;
                f.field = ref.field;
                f.expected = ref.field->nestedMap->fieldCount;
                return pushFrame(std::move(f));
            }
        }
        ULONG h = soapHash(local, localLen);
        std::size_t i = 0;
        for (const SchemaField* f = map ? map->fields : nullptr; f && f->hash; ++f, ++i) {
            if (f->hash == h && readsField(f->flags) && sameName(local, localLen, f->name, f->nameLength)) {
                field = f;
                break;
            }
        }
        if (!field) {
            if (m_state == InHeader) return skipHeaderEntry(attrs);
            return E_FAIL;
        }
        if (m_frames[fi].seen.test(i)) return E_FAIL;  // the same element twice
        m_frames[fi].seen.set(i);
        ++m_frames[fi].received;
        storage = static_cast<BYTE*>(m_frames[fi].value) + field->member;
    }

    if (attributeByName(attrs, kXsiNamespace, u"nil", &attr, &attrLen)) {
        bool nil = false;
        if (parseBoolean(attr, static_cast<std::size_t>(attrLen), &nil) && nil) {
            if (!(field->flags & Flag::Nillable)) return E_FAIL;
            m_noChildren = true;
            ParseFrame f;
            f.kind = FrameKind::Empty;
            f.field = field;
            return pushFrame(std::move(f));
        }
    }


    if (rpcEncoded() && attributeByQName(attrs, u"href", &attr, &attrLen)) {
        bool structure = field->type == Xsd::Nested && field->nestedMap && field->nestedMap->kind == MapKind::Structure;
        if (item || !(isArrayField(*field) || structure)) return E_FAIL;
        std::u16string key(attr, static_cast<std::size_t>(attrLen));
        if (!key.empty() && key[0] == u'#') key.erase(0, 1);
        if (m_pendingReferences.count(key)) return E_FAIL;
        m_pendingReferences.emplace(std::move(key),
                                    PendingReference{field, storage, m_frames[fi].value, m_frames[fi].map});
        m_noChildren = true;
        ParseFrame f;
        f.kind = FrameKind::Empty;
        f.field = field;
        return pushFrame(std::move(f));
    }

    if (isArrayField(*field) && !item)
        return startArray(field, storage, m_frames[fi].value, m_frames[fi].map, attrs, false);

    if (field->type == Xsd::Nested) {
        const SchemaMap* nested = field->nestedMap;
        if (!nested) return E_FAIL;
        ParseFrame f;
        f.value = storage;
        f.flags = field->flags;
        f.map = nested;
        f.field = field;
        if (nested->kind == MapKind::Enumeration) {
            m_noChildren = m_textExpected = true;
            m_text.clear();
            f.kind = FrameKind::Enumeration;
            f.flags |= Flag::ExpectsText;
            f.expected = 1;
            return pushFrame(std::move(f));
        }
        if (nested->kind != MapKind::Structure) return E_FAIL;
        f.kind = FrameKind::Structure;
        f.expected = nested->fieldCount;
        BF_TRY(pushFrame(std::move(f)));
        if (!(field->flags & Flag::ArrayWrapper)) return S_OK;
        // The wrapper element is also the start of the array it wraps.
        const SchemaField* inner = nested->fields;
        if (!inner || !inner->hash || !isArrayField(*inner)) return E_FAIL;
        ParseFrame& wrapper = m_frames.back();
        wrapper.seen.set(0);
        ++wrapper.received;
        return startArray(inner, static_cast<BYTE*>(storage) + inner->member, storage, nested, attrs, true);
    }

    if (!xsdTypeName(field->type)) return E_FAIL;
    m_noChildren = true;
    m_text.clear();
    m_wholeText = nullptr;
    ParseFrame f;
    f.kind = FrameKind::Value;
    f.value = storage;
    f.flags = field->flags | Flag::ExpectsText;
    f.field = field;
    BF_TRY(pushFrame(std::move(f)));
    if (field->type == Xsd::String || field->type == Xsd::Base64Binary)
        return m_stringBuilder.engage(m_reader.get(), this);
    m_textExpected = true;
    return S_OK;
}

HRESULT CSoapRootHandler::skipHeaderEntry(ISAXAttributes* attrs) {
    const WCHAR* value = nullptr;
    int length = 0;
    if (attributeByName(attrs, kSoapEnvelopeNamespace, u"mustUnderstand", &value, &length)) {
        bool must = true;
        if (!parseBoolean(value, static_cast<std::size_t>(length), &must) || must) {
            raiseFault(200);
            return E_FAIL;
        }
    }
    // The skipped element's end goes to the skip handler, not here.
    if (m_depth > 0) --m_depth;
    return m_skipHandler.engage(m_reader.get(), this);
}

HRESULT CSoapRootHandler::startArray(const SchemaField* field, void* storage, void* record, const SchemaMap* map,
                                     ISAXAttributes* attrs, bool wrapped) {
    long long declared = -1;
    const WCHAR* attr = nullptr;
    int attrLen = 0;
    if (attributeByName(attrs, kSoapEncodingNamespace, u"arrayType", &attr, &attrLen) &&
        !parseArrayType(attr, attrLen, &declared))
        return E_FAIL;
    std::size_t itemSize = itemSizeOf(field);
    if (!itemSize) return E_FAIL;

    ParseFrame f;
    f.kind = FrameKind::Array;
    f.value = storage;
    f.flags = field->flags;
    f.field = field;
    f.map = map;
    f.itemSize = itemSize;
    f.wrapped = wrapped;
    if (field->dimensions) {
        int n = field->dimensions[0];
        if (n <= 0) return E_FAIL;
        long long total = 1;
        for (int i = 1; i <= n; ++i) {
            if (field->dimensions[i] <= 0) return E_FAIL;
            total *= field->dimensions[i];
        }
        if (declared >= 0 && declared != total) return E_FAIL;
        f.fixed = true;
        f.declared = total;
        f.capacity = static_cast<std::size_t>(total);
        f.items = static_cast<BYTE*>(storage);
        f.expected = static_cast<ULONG>(total);
        return pushFrame(std::move(f));
    }
    if (rpcEncoded() && declared < 0) return E_FAIL;
    std::size_t nfields = fieldListLength(map ? map->fields : nullptr);
    if (field->sizeIndex < 0 || static_cast<std::size_t>(field->sizeIndex) >= nfields || !record) return E_FAIL;
    const SchemaField& sizeField = map->fields[field->sizeIndex];
    if (!isIntegerType(sizeField.type)) return E_FAIL;
    void* existing;
    std::memcpy(&existing, storage, sizeof existing);
    if (existing) return E_FAIL;
    f.sizeValue = static_cast<BYTE*>(record) + sizeField.member;
    f.sizeType = sizeField.type;
    f.declared = declared;
    f.flags |= declared < 0 ? Flag::OpenSize : 0;
    f.expected = declared < 0 ? 0 : static_cast<ULONG>(declared);
    storeCount(f.sizeType, f.sizeValue, 0);
    if (declared == 0) m_noChildren = true;  // an array declared empty has no items
    // Items are allocated as they arrive, so a declared length alone reserves no memory.
    return pushFrame(std::move(f));
}

HRESULT CSoapRootHandler::addArrayItem(std::size_t frameIndex, void** slot) {
    ParseFrame& a = m_frames[frameIndex];
    if (a.declared >= 0 && static_cast<long long>(a.received) >= a.declared) return E_FAIL;
    if (a.received >= a.capacity) {
        if (a.fixed) return E_FAIL;
        std::size_t grown = a.capacity < 5 ? 10 : a.capacity * 2;
        if (a.declared >= 0 && grown > static_cast<std::size_t>(a.declared)) grown = static_cast<std::size_t>(a.declared);
        if (grown > (std::size_t{1} << 40) / a.itemSize) return E_OUTOFMEMORY;
        BYTE* old = a.items;
        auto* items = static_cast<BYTE*>(m_allocator.Reallocate(old, grown * a.itemSize));
        if (!items) return E_OUTOFMEMORY;
        std::memset(items + a.capacity * a.itemSize, 0, (grown - a.capacity) * a.itemSize);
        // References waiting for a value inside the items move with them.
        if (old && items != old) {
            BYTE* oldEnd = old + a.capacity * a.itemSize;
            for (auto& [key, ref] : m_pendingReferences) {
                auto* v = static_cast<BYTE*>(ref.value);
                if (v >= old && v < oldEnd) ref.value = items + (v - old);
                auto* r = static_cast<BYTE*>(ref.record);
                if (r >= old && r < oldEnd) ref.record = items + (r - old);
            }
        }
        a.items = items;
        a.capacity = grown;
        std::memcpy(a.value, &items, sizeof items);
    }
    *slot = a.items + static_cast<std::size_t>(a.received) * a.itemSize;
    ++a.received;
    if (!a.fixed) storeCount(a.sizeType, a.sizeValue, a.received);
    return S_OK;
}

HRESULT CSoapRootHandler::characters(const WCHAR* pwchChars, int cchChars) {
    m_textExpected = false;
    if (m_frames.empty() || cchChars <= 0) return S_OK;
    const ParseFrame& top = m_frames.back();
    if (!(top.flags & Flag::ExpectsText) || (top.kind != FrameKind::Value && top.kind != FrameKind::Enumeration))
        return S_OK;
    if (top.field && (top.field->flags & Flag::SizeField)) return S_OK;
    if (top.kind == FrameKind::Value && (top.field->type == Xsd::String || top.field->type == Xsd::Base64Binary) &&
        !m_wholeText && m_text.empty()) {
        m_wholeText = pwchChars;
        m_wholeTextLength = static_cast<std::size_t>(cchChars);
        return S_OK;
    }
    // Readers cut text where they like; the value is converted once, at the element's end.
    try {
        if (m_wholeText) {
            m_text.assign(m_wholeText, m_wholeTextLength);
            m_wholeText = nullptr;
        }
        m_text.append(pwchChars, static_cast<std::size_t>(cchChars));
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

HRESULT CSoapRootHandler::finishValue(ParseFrame& frame) {
    HRESULT hr = S_OK;
    if (frame.kind == FrameKind::Enumeration) {
        ULONG h = soapHash(m_text.data(), static_cast<int>(m_text.size()));
        const SchemaField* member = frame.map->fields;
        while (member && member->hash &&
               !(member->hash == h && sameName(m_text.data(), static_cast<int>(m_text.size()), member->name,
                                               member->nameLength)))
            ++member;
        if (member && member->hash) {
            std::int32_t v = member->type;
            std::memcpy(frame.value, &v, sizeof v);
            ++frame.received;
        } else {
            hr = E_FAIL;
        }
    } else if (!(frame.field->flags & Flag::SizeField)) {
        if (m_wholeText)
            hr = convertValue(frame.field->type, m_wholeText, m_wholeTextLength, frame.value, m_allocator);
        else
            hr = convertValue(frame.field->type, m_text.data(), m_text.size(), frame.value, m_allocator);
    }
    m_text.clear();
    m_wholeText = nullptr;
    m_wholeTextLength = 0;
    return hr;
}

HRESULT CSoapRootHandler::checkComplete(const ParseFrame& frame) const {
    if (frame.received == frame.expected || !frame.map) return S_OK;
    std::size_t i = 0;
    for (const SchemaField* f = frame.map->fields; f && f->hash; ++f, ++i) {
        if (!readsField(f->flags) || frame.seen.test(i)) continue;
        if (f->flags & (Flag::Nillable | Flag::NotMarshalled)) continue;
        if (f->type == Xsd::Nested && f->nestedMap && f->nestedMap->kind == MapKind::Structure) continue;
        return E_FAIL;
    }
    return S_OK;
}

HRESULT CSoapRootHandler::endElement(const WCHAR* pwchNamespaceUri, int cchNamespaceUri, const WCHAR* pwchLocalName,
                                     int cchLocalName, const WCHAR*, int) {
    if (m_textExpected) return E_FAIL;  // a value that needs text had none
    if (!m_frames.empty()) {
        ParseFrame& top = m_frames.back();
        if (top.kind == FrameKind::Value || top.kind == FrameKind::Enumeration) BF_TRY(finishValue(top));
    }
    m_noChildren = false;
    if (m_frames.empty()) return S_OK;
    if (m_depth > 0) --m_depth;

    if (m_state == InHeader && m_frames.size() == 1) {
        if (!sameText(pwchNamespaceUri, cchNamespaceUri, kSoapEnvelopeNamespace) ||
            !sameText(pwchLocalName, cchLocalName, u"Header"))
            return E_FAIL;
        m_state = AfterHeader;
    }

    if (m_frames.back().kind == FrameKind::Array) {
        const ParseFrame& a = m_frames.back();
        if (m_depth + 1 != a.depth) return S_OK;
        if (a.declared >= 0 && static_cast<long long>(a.received) != a.declared) return E_FAIL;
        bool wrapped = a.wrapped;
        m_frames.pop_back();
        if (!wrapped || m_frames.empty()) return S_OK;
        // The wrapper structure ends with the same element.
    }
    BF_TRY(checkComplete(m_frames.back()));
    if (m_frames.size() > 1) m_frames.pop_back();
    return S_OK;
}

// --- releasing -------------------------------------------------------------------------------------

void CSoapRootHandler::releaseResults() {
    if (!m_binding) return;
    const SchemaMap* opMap = m_operationMap;
    if (!opMap && !m_frames.empty()) opMap = operationMapAt(m_frames.front().index);
    if (!opMap) return;
    releaseMap(opMap, m_binding, m_ownsBinding);
}

void CSoapRootHandler::releaseHeaders() {
    void* record = headerRecord();
    if (m_headerMap && record) releaseMap(m_headerMap, record, !m_clientMode);
}

void CSoapRootHandler::releaseMap(const SchemaMap* map, void* record, bool allDirections) noexcept {
    for (const SchemaField* f = map->fields; f && f->hash; ++f) {
        if (!allDirections && !readsField(f->flags)) continue;
        releaseField(f, static_cast<BYTE*>(record) + f->member, map, record);
    }
}

void CSoapRootHandler::releaseField(const SchemaField* field, void* storage, const SchemaMap* map,
                                    void* record) noexcept {
    std::size_t itemSize = itemSizeOf(field);
    if (isArrayField(*field)) {
        if (!itemSize) return;
        BYTE* items = static_cast<BYTE*>(storage);
        std::size_t count = 0;
        const SchemaField* sizeField = nullptr;
        if (field->dimensions) {
            count = 1;
            for (int i = 1; i <= field->dimensions[0]; ++i) count *= static_cast<std::size_t>(field->dimensions[i]);
        } else {
            std::memcpy(&items, storage, sizeof items);
            if (field->sizeIndex >= 0 && static_cast<std::size_t>(field->sizeIndex) < fieldListLength(map->fields))
                sizeField = &map->fields[field->sizeIndex];
            long long n = 0;
            if (items && sizeField && loadCount(sizeField->type, static_cast<BYTE*>(record) + sizeField->member, &n) &&
                n > 0)
                count = static_cast<std::size_t>(n);
            // Never walk past what was allocated, whatever the size field says.
            if (items) count = std::min(count, m_allocator.GetSize(items) / itemSize);
        }
        if (items) {
            for (std::size_t i = 0; i < count; ++i) {
                BYTE* item = items + i * itemSize;
                if (field->type == Xsd::Nested) {
                    if (field->nestedMap->kind == MapKind::Structure) releaseMap(field->nestedMap, item, true);
                } else {
                    releaseValue(field->type, item, m_allocator);
                }
            }
        }
        if (!field->dimensions) {
            m_allocator.Free(items);
            void* none = nullptr;
            std::memcpy(storage, &none, sizeof none);
            if (sizeField) storeCount(sizeField->type, static_cast<BYTE*>(record) + sizeField->member, 0);
        }
        return;
    }
    if (field->type == Xsd::Nested) {
        if (field->nestedMap && field->nestedMap->kind == MapKind::Structure) releaseMap(field->nestedMap, storage, true);
        return;
    }
    releaseValue(field->type, storage, m_allocator);
}

// --- service side ----------------------------------------------------------------------------------

HRESULT CSoapRootHandler::dispatchRequest(IStream* request, IWriteStream* response) {
    if (!request || !response) return E_INVALIDARG;
    if (m_clientMode) return E_UNEXPECTED;
    if (!m_reader) {
        HRESULT hr = bf::create_sax_reader(IID_ISAXXMLReader, reinterpret_cast<void**>(m_reader.put()));
        if (FAILED(hr)) return hr;
    }
    resetParseState();
    HRESULT hr = m_reader->putContentHandler(this);
    if (SUCCEEDED(hr)) hr = parseResponse(request);
    int faultCode = m_raisedFault;
    if (SUCCEEDED(hr)) hr = invokeOperation(operationIndex(), m_binding);
    if (SUCCEEDED(hr)) hr = writeRequest(response);
    m_reader->putContentHandler(nullptr);
    releaseHeaders();
    resetParseState();
    m_raisedFault = faultCode;
    return hr;
}

}  // namespace bf::soap

