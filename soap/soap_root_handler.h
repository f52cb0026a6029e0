// CSoapRootHandler: the table-driven SOAP codec. It writes a request envelope from a bound
// parameter record (writeRequest, with one of the generators below deciding the element
// framing) and, as the SAX content handler of the platform reader, turns a response into the
// typed members of that record (parseResponse). In client mode it writes in fields and reads out
// fields; outside client mode it is the service side: it reads a request, finding the operation
// by its element name, and writes the response with the "Response" wrapper.
//
// A concrete service supplies its description tables and namespace through the pure virtual
// operations.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include <wrl/client.h>
#include <objidl.h>
#include <msxml2.h>
#include "soap/sax_handlers.h"
#include "soap/soap_schema.h"
#include "soap/value_codec.h"
#include "soap/write_stream.h"

namespace bf::soap {

class CSoapRootHandler : public ISAXContentHandlerImpl {
public:
    // Element framing of the writer. The generators hold no state.
    class CResponseGenerator {
    public:
        virtual HRESULT openBody(IWriteStream* stream) = 0;
        virtual HRESULT openMapElement(IWriteStream* stream, const SchemaMap* map, bool clientMode) = 0;
        virtual HRESULT closeMapElement(IWriteStream* stream, const SchemaMap* map, bool clientMode) = 0;
        virtual HRESULT openFieldElement(IWriteStream* stream, const SchemaMap* map, const SchemaField* field) = 0;

    protected:
        ~CResponseGenerator() = default;
    };
    class CDocLiteralGenerator : public CResponseGenerator {
    public:
        HRESULT openBody(IWriteStream* stream) override;
        HRESULT openMapElement(IWriteStream* stream, const SchemaMap* map, bool clientMode) override;
        HRESULT closeMapElement(IWriteStream* stream, const SchemaMap* map, bool clientMode) override;
        HRESULT openFieldElement(IWriteStream* stream, const SchemaMap* map, const SchemaField* field) override;
    };
    // Document/literal, parameters wrapped in an element named after the operation.
    class CPIDGenerator final : public CDocLiteralGenerator {};
    // Document/literal, parameters directly in the Body.
    class CPADGenerator final : public CDocLiteralGenerator {
    public:
        HRESULT openFieldElement(IWriteStream* stream, const SchemaMap* map, const SchemaField* field) override;
    };
    class CRpcEncodedGenerator final : public CResponseGenerator {
    public:
        HRESULT openBody(IWriteStream* stream) override;
        HRESULT openMapElement(IWriteStream* stream, const SchemaMap* map, bool clientMode) override;
        HRESULT closeMapElement(IWriteStream* stream, const SchemaMap* map, bool clientMode) override;
        HRESULT openFieldElement(IWriteStream* stream, const SchemaMap* map, const SchemaField* field) override;
    };

    enum ParseState { Start = 0, InEnvelope = 1, InHeader = 2, InBody = 3, InOperation = 4, AfterHeader = 7 };

    explicit CSoapRootHandler(ISAXXMLReader* reader = nullptr);
    CSoapRootHandler(const CSoapRootHandler&) = delete;
    CSoapRootHandler& operator=(const CSoapRootHandler&) = delete;

    // ISAXContentHandler
    HRESULT STDMETHODCALLTYPE startDocument() override;
    HRESULT STDMETHODCALLTYPE startElement(const WCHAR* pwchNamespaceUri, int cchNamespaceUri,
                                           const WCHAR* pwchLocalName, int cchLocalName, const WCHAR* pwchQName,
                                           int cchQName, ISAXAttributes* pAttributes) override;
    HRESULT STDMETHODCALLTYPE endElement(const WCHAR* pwchNamespaceUri, int cchNamespaceUri,
                                         const WCHAR* pwchLocalName, int cchLocalName, const WCHAR* pwchQName,
                                         int cchQName) override;
    HRESULT STDMETHODCALLTYPE characters(const WCHAR* pwchChars, int cchChars) override;

    // The service's description, supplied by the concrete service.
    // Operation maps in index order, ended by a null entry.
    virtual const SchemaMap* const* operationMaps() = 0;
    // Header-block maps, same order as the operations, ended by a null entry.
    virtual const SchemaMap* const* headerMaps() = 0;
    virtual const WCHAR* namespaceUri(int* length) = 0;
    virtual const char* serviceName(int* length) = 0;
    virtual const char* namespaceUriNarrow(int* length) = 0;
    // Service side: runs operation `index` over its parameter record (in fields read, out fields
    // to fill with values the record then owns).
    virtual HRESULT invokeOperation(int index, void* record) = 0;
    // Storage of the header fields.
    virtual void* headerRecord() = 0;

    ~CSoapRootHandler() override;

    // Records a SOAP fault code to answer with (service side only; nothing in client mode).
    virtual void raiseFault(int code);
    virtual HRESULT enterOperation(const WCHAR* pwchNamespaceUri, int cchNamespaceUri, const WCHAR* pwchLocalName,
                                   int cchLocalName);
    // Runs the reader over the stream with this handler's callbacks. The handler must be the
    // reader's content handler.
    virtual HRESULT parseResponse(IStream* stream);
    virtual HRESULT writeRequest(IWriteStream* stream);
    // Releases every value the parser stored (client mode: the out fields; service side: every
    // field of the record it owns) and leaves them null.
    virtual void releaseResults();
    // Releases the header values (client mode: those read; service side: all of them). Call it
    // before resetParseState, which forgets the header map.
    virtual void releaseHeaders();

    // Makes `record` (all zero but for the in fields) the current binding of operation `index`
    // and pushes the first parser frame.
    HRESULT bindParameters(int index, void* record);
    // Drops the parser state and the binding, zeroing the bound record.
    void resetParseState();

    void setClientMode(bool clientMode) noexcept { m_clientMode = clientMode; }
    bool clientMode() const noexcept { return m_clientMode; }
    void setReader(ISAXXMLReader* reader) noexcept { m_reader = reader; }
    ISAXXMLReader* reader() const noexcept { return m_reader.get(); }
    // Service side: fault code raised while reading the request (0 if none).
    int raisedFault() const noexcept { return m_raisedFault; }
    // Service side: the operation found and its record, after a successful parse.
    int operationIndex() const noexcept;
    void* parameterRecord() const noexcept { return m_binding; }

    // Service side in one go: reads the request, runs the operation and writes the response.
    // Creates a reader if none is held. Everything parsed or produced is released on return.
    HRESULT dispatchRequest(IStream* request, IWriteStream* response);

protected:
    CRuntimeHeap m_allocator;

private:
    enum class FrameKind : std::uint8_t { Header, Operation, Structure, Value, Enumeration, Array, Empty };

    // Which fields of a map have been seen; one bit per field.
    class FieldSet {
    public:
        bool test(std::size_t i) const noexcept {
            return i < 64 ? (bits_ >> i) & 1 : (i - 64) / 64 < more_.size() && (more_[(i - 64) / 64] >> (i % 64)) & 1;
        }
        void set(std::size_t i);  // throws std::bad_alloc
    private:
        std::uint64_t bits_ = 0;
        std::vector<std::uint64_t> more_;
    };

    struct ParseFrame {
        FrameKind kind = FrameKind::Empty;
        void* value = nullptr;
        ULONG flags = 0;
        ULONG index = 0;
        ULONG expected = 0;
        ULONG received = 0;
        const SchemaMap* map = nullptr;
        const SchemaField* field = nullptr;
        FieldSet seen;
        ULONG depth = 0;
        // Arrays.
        BYTE* items = nullptr;
        std::size_t capacity = 0;
        std::size_t itemSize = 0;
        long long declared = -1;  // -1: open size
        void* sizeValue = nullptr;
        int sizeType = 0;
        bool fixed = false;
        bool wrapped = false;  // started by an array wrapper structure
    };

    struct PendingReference {
        const SchemaField* field;
        void* value;
        void* record;          // record holding the field (for an array's size field)
        const SchemaMap* map;  // map of that record
    };

    bool readsField(ULONG flags) const noexcept;
    bool writesField(ULONG flags) const noexcept;
    bool rpcEncoded() const noexcept;
    HRESULT pushFrame(ParseFrame frame) noexcept;
    HRESULT processParameter(const WCHAR* ns, int nsLen, const WCHAR* local, int localLen, ISAXAttributes* attrs,
                             int chainDepth);
    HRESULT startArray(const SchemaField* field, void* storage, void* record, const SchemaMap* map,
                       ISAXAttributes* attrs, bool wrapped);
    HRESULT addArrayItem(std::size_t frameIndex, void** slot);
    HRESULT skipHeaderEntry(ISAXAttributes* attrs);
    HRESULT finishValue(ParseFrame& frame);
    HRESULT checkComplete(const ParseFrame& frame) const;
    void releaseMap(const SchemaMap* map, void* record, bool allDirections) noexcept;
    void releaseField(const SchemaField* field, void* storage, const SchemaMap* map, void* record) noexcept;
    std::size_t itemSizeOf(const SchemaField* field) const noexcept;
    const SchemaMap* operationMapAt(ULONG index);

    HRESULT writeMap(CResponseGenerator& gen, IWriteStream* stream, const SchemaMap* map, void* record, bool outer);
    HRESULT writeValue(CResponseGenerator& gen, IWriteStream* stream, const SchemaField* field, void* value,
                       bool arrayItem);
    HRESULT writeArrayType(IWriteStream* stream, const SchemaMap* map, const SchemaField* field, void* record,
                           std::size_t* count);

    ParseState m_state = Start;
    std::vector<ParseFrame> m_frames;
    ULONG m_depth = 0;
    bool m_noChildren = false;
    bool m_textExpected = false;
    bool m_clientMode = false;
    bool m_operationSeen = false;
    bool m_ownsBinding = false;
    int m_raisedFault = 0;
    ComPtr<ISAXXMLReader> m_reader;
    CSAXStringBuilder m_stringBuilder;
    CSkipHandler m_skipHandler;
    std::unordered_map<std::u16string, PendingReference> m_pendingReferences;
    void* m_binding = nullptr;
    std::size_t m_bindingSize = 0;
    const SchemaMap* m_operationMap = nullptr;
    const SchemaMap* m_headerMap = nullptr;
    std::u16string m_text;  // text of the simple value being read, converted at its end
    // The string builder hands over a whole text at once, just before the element's end: it is
    // converted from the builder's own buffer rather than copied.
    const WCHAR* m_wholeText = nullptr;
    std::size_t m_wholeTextLength = 0;
    std::string m_valueText;    // text of the value being written
};

}  // namespace bf::soap
