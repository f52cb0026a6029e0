// The platform XML library's SAX reader: ISAXXMLReader, ISAXContentHandler, ISAXAttributes,
// ISAXLocator, ISAXErrorHandler, ISAXEntityResolver, ISAXDTDHandler, original slot order.
// The reader is a built-in class (CLSID_SAXXMLReader) created through CoCreateInstance.
//
// What this reader does (over expat, namespace processing always on):
// - parse() takes a VARIANT holding a stream (VT_UNKNOWN / VT_DISPATCH answering IStream or
//   ISequentialStream) read in blocks, or text (VT_BSTR), also behind VT_BYREF | VT_VARIANT;
//   anything else gives E_INVALIDARG. A stream's encoding comes from its byte order mark or XML
//   declaration; text is characters already, so an encoding its declaration names is ignored;
// - delivers startDocument, startPrefixMapping/endPrefixMapping, startElement/endElement with
//   namespace URI, local name and qualified name (with lengths; not necessarily terminated),
//   characters in pieces, processingInstruction, endDocument;
// - attributes by index, by qualified name and by namespace URI and local name; namespace
//   declarations (xmlns, xmlns:p) are not attributes; an unprefixed attribute has no namespace;
//   a missing name or bad index gives E_INVALIDARG, a null out pointer E_POINTER; what the
//   object hands out is valid during startElement (kept past the parse, it reads as empty);
// - the content handler may be replaced from inside a callback; the next event goes to the new
//   one;
// - a callback that fails stops the parse and parse() returns its result; malformed XML returns
//   a failure (XML_E_* or E_FAIL); a document type declaration is refused
//   (bf::SAX_E_DTD_REFUSED); no external entity is ever loaded; a stream's Read failure is
//   returned as it is;
// - parse() while the same reader parses gives E_FAIL; a reader may parse again afterwards;
// - parseURL() reads local files: a path, or a file: URL (file:///p, file://localhost/p);
//   other schemes give E_NOTIMPL;
// - features (getFeature/putFeature): "http://xml.org/sax/features/namespaces" is true,
//   ".../namespace-prefixes", ".../external-general-entities", ".../external-parameter-entities",
//   "exhaustive-errors" and "schema-validation" are false, "prohibit-dtd" and
//   "normalize-line-breaks" are true. They are fixed: putting the value they have succeeds,
//   putting the other gives E_NOTIMPL; an unknown name gives E_INVALIDARG;
// - properties: "http://xml.org/sax/properties/lexical-handler" and ".../declaration-handler"
//   give E_NOTIMPL, unknown names E_INVALIDARG;
// - ISAXLocator: 1-based line and column of the current event; getPublicId gives null,
//   getSystemId the URL given to parseURL (null for parse()).
#pragma once

#include <objidl.h>
#include <oleauto.h>

struct ISAXContentHandler;
struct ISAXAttributes;
struct ISAXLocator;
struct ISAXErrorHandler;
struct ISAXEntityResolver;
struct ISAXDTDHandler;

BF_DECLARE_IID(ISAXXMLReader, "A4F96ED0-F829-476E-81C0-CDC7BD2A0802");
BF_DECLARE_IID(ISAXContentHandler, "1545CDFA-9E4E-4497-A8A4-2BF7D0112C44");
BF_DECLARE_IID(ISAXAttributes, "F078ABE1-45D2-4832-91EA-4466CE2F25C9");
BF_DECLARE_IID(ISAXLocator, "9B7E472A-0DE4-4640-BFF3-84D38A051C31");
BF_DECLARE_IID(ISAXErrorHandler, "A60511C4-CCF5-479E-98A3-DC8DC545B7D0");
BF_DECLARE_IID(ISAXEntityResolver, "99BCA7BD-E8C4-4D5F-A0CF-6D907901FF07");
BF_DECLARE_IID(ISAXDTDHandler, "E15C1BAF-AFB3-4D60-8C36-19A8C45DEFED");
inline constexpr CLSID CLSID_SAXXMLReader = bf::make_guid("079AA557-4A18-424A-8EEE-E39F0A8D41B9");

struct BFAPI ISAXXMLReader : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE getFeature(const WCHAR* pwchName, VARIANT_BOOL* pvfValue) = 0;
    virtual HRESULT STDMETHODCALLTYPE putFeature(const WCHAR* pwchName, VARIANT_BOOL vfValue) = 0;
    virtual HRESULT STDMETHODCALLTYPE getProperty(const WCHAR* pwchName, VARIANT* pvarValue) = 0;
    virtual HRESULT STDMETHODCALLTYPE putProperty(const WCHAR* pwchName, VARIANT varValue) = 0;
    virtual HRESULT STDMETHODCALLTYPE getEntityResolver(ISAXEntityResolver** ppResolver) = 0;
    virtual HRESULT STDMETHODCALLTYPE putEntityResolver(ISAXEntityResolver* pResolver) = 0;
    virtual HRESULT STDMETHODCALLTYPE getContentHandler(ISAXContentHandler** ppHandler) = 0;
    virtual HRESULT STDMETHODCALLTYPE putContentHandler(ISAXContentHandler* pHandler) = 0;
    virtual HRESULT STDMETHODCALLTYPE getDTDHandler(ISAXDTDHandler** ppHandler) = 0;
    virtual HRESULT STDMETHODCALLTYPE putDTDHandler(ISAXDTDHandler* pHandler) = 0;
    virtual HRESULT STDMETHODCALLTYPE getErrorHandler(ISAXErrorHandler** ppHandler) = 0;
    virtual HRESULT STDMETHODCALLTYPE putErrorHandler(ISAXErrorHandler* pHandler) = 0;
    virtual HRESULT STDMETHODCALLTYPE getBaseURL(const WCHAR** ppwchBaseUrl) = 0;
    virtual HRESULT STDMETHODCALLTYPE putBaseURL(const WCHAR* pwchBaseUrl) = 0;
    virtual HRESULT STDMETHODCALLTYPE getSecureBaseURL(const WCHAR** ppwchSecureBaseUrl) = 0;
    virtual HRESULT STDMETHODCALLTYPE putSecureBaseURL(const WCHAR* pwchSecureBaseUrl) = 0;
    virtual HRESULT STDMETHODCALLTYPE parse(VARIANT varInput) = 0;
    virtual HRESULT STDMETHODCALLTYPE parseURL(const WCHAR* pwchUrl) = 0;

protected:
    ~ISAXXMLReader() = default;
};

struct BFAPI ISAXContentHandler : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE putDocumentLocator(ISAXLocator* pLocator) = 0;
    virtual HRESULT STDMETHODCALLTYPE startDocument() = 0;
    virtual HRESULT STDMETHODCALLTYPE endDocument() = 0;
    virtual HRESULT STDMETHODCALLTYPE startPrefixMapping(const WCHAR* pwchPrefix, int cchPrefix, const WCHAR* pwchUri,
                                                         int cchUri) = 0;
    virtual HRESULT STDMETHODCALLTYPE endPrefixMapping(const WCHAR* pwchPrefix, int cchPrefix) = 0;
    virtual HRESULT STDMETHODCALLTYPE startElement(const WCHAR* pwchNamespaceUri, int cchNamespaceUri,
                                                   const WCHAR* pwchLocalName, int cchLocalName,
                                                   const WCHAR* pwchQName, int cchQName,
                                                   ISAXAttributes* pAttributes) = 0;
    virtual HRESULT STDMETHODCALLTYPE endElement(const WCHAR* pwchNamespaceUri, int cchNamespaceUri,
                                                 const WCHAR* pwchLocalName, int cchLocalName, const WCHAR* pwchQName,
                                                 int cchQName) = 0;
    virtual HRESULT STDMETHODCALLTYPE characters(const WCHAR* pwchChars, int cchChars) = 0;
    virtual HRESULT STDMETHODCALLTYPE ignorableWhitespace(const WCHAR* pwchChars, int cchChars) = 0;
    virtual HRESULT STDMETHODCALLTYPE processingInstruction(const WCHAR* pwchTarget, int cchTarget,
                                                            const WCHAR* pwchData, int cchData) = 0;
    virtual HRESULT STDMETHODCALLTYPE skippedEntity(const WCHAR* pwchName, int cchName) = 0;

protected:
    ~ISAXContentHandler() = default;
};

struct BFAPI ISAXAttributes : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE getLength(int* pnLength) = 0;
    virtual HRESULT STDMETHODCALLTYPE getURI(int nIndex, const WCHAR** ppwchUri, int* pcchUri) = 0;
    virtual HRESULT STDMETHODCALLTYPE getLocalName(int nIndex, const WCHAR** ppwchLocalName, int* pcchLocalName) = 0;
    virtual HRESULT STDMETHODCALLTYPE getQName(int nIndex, const WCHAR** ppwchQName, int* pcchQName) = 0;
    virtual HRESULT STDMETHODCALLTYPE getName(int nIndex, const WCHAR** ppwchUri, int* pcchUri,
                                              const WCHAR** ppwchLocalName, int* pcchLocalName,
                                              const WCHAR** ppwchQName, int* pcchQName) = 0;
    virtual HRESULT STDMETHODCALLTYPE getIndexFromName(const WCHAR* pwchUri, int cchUri, const WCHAR* pwchLocalName,
                                                       int cchLocalName, int* pnIndex) = 0;
    virtual HRESULT STDMETHODCALLTYPE getIndexFromQName(const WCHAR* pwchQName, int cchQName, int* pnIndex) = 0;
    virtual HRESULT STDMETHODCALLTYPE getType(int nIndex, const WCHAR** ppwchType, int* pcchType) = 0;
    virtual HRESULT STDMETHODCALLTYPE getTypeFromName(const WCHAR* pwchUri, int cchUri, const WCHAR* pwchLocalName,
                                                      int cchLocalName, const WCHAR** ppwchType, int* pcchType) = 0;
    virtual HRESULT STDMETHODCALLTYPE getTypeFromQName(const WCHAR* pwchQName, int cchQName, const WCHAR** ppwchType,
                                                       int* pcchType) = 0;
    virtual HRESULT STDMETHODCALLTYPE getValue(int nIndex, const WCHAR** ppwchValue, int* pcchValue) = 0;
    virtual HRESULT STDMETHODCALLTYPE getValueFromName(const WCHAR* pwchUri, int cchUri, const WCHAR* pwchLocalName,
                                                       int cchLocalName, const WCHAR** ppwchValue,
                                                       int* pcchValue) = 0;
    virtual HRESULT STDMETHODCALLTYPE getValueFromQName(const WCHAR* pwchQName, int cchQName,
                                                        const WCHAR** ppwchValue, int* pcchValue) = 0;

protected:
    ~ISAXAttributes() = default;
};

struct BFAPI ISAXLocator : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE getColumnNumber(int* pnColumn) = 0;
    virtual HRESULT STDMETHODCALLTYPE getLineNumber(int* pnLine) = 0;
    virtual HRESULT STDMETHODCALLTYPE getPublicId(const WCHAR** ppwchPublicId) = 0;
    virtual HRESULT STDMETHODCALLTYPE getSystemId(const WCHAR** ppwchSystemId) = 0;

protected:
    ~ISAXLocator() = default;
};

struct BFAPI ISAXErrorHandler : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE error(ISAXLocator* pLocator, const WCHAR* pwchErrorMessage,
                                           HRESULT hrErrorCode) = 0;
    virtual HRESULT STDMETHODCALLTYPE fatalError(ISAXLocator* pLocator, const WCHAR* pwchErrorMessage,
                                                HRESULT hrErrorCode) = 0;
    virtual HRESULT STDMETHODCALLTYPE ignorableWarning(ISAXLocator* pLocator, const WCHAR* pwchErrorMessage,
                                                      HRESULT hrErrorCode) = 0;

protected:
    ~ISAXErrorHandler() = default;
};

struct BFAPI ISAXEntityResolver : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE resolveEntity(const WCHAR* pwchPublicId, const WCHAR* pwchSystemId,
                                                    VARIANT* pvarInput) = 0;

protected:
    ~ISAXEntityResolver() = default;
};

struct BFAPI ISAXDTDHandler : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE notationDecl(const WCHAR* pwchName, int cchName, const WCHAR* pwchPublicId,
                                                   int cchPublicId, const WCHAR* pwchSystemId, int cchSystemId) = 0;
    virtual HRESULT STDMETHODCALLTYPE unparsedEntityDecl(const WCHAR* pwchName, int cchName, const WCHAR* pwchPublicId,
                                                         int cchPublicId, const WCHAR* pwchSystemId, int cchSystemId,
                                                         const WCHAR* pwchNotationName, int cchNotationName) = 0;

protected:
    ~ISAXDTDHandler() = default;
};

// Results of parse() for malformed documents: the original parser's codes for these conditions.
// Any other well-formedness error (bad character, unbound prefix, ...) gives E_FAIL. Either way
// the error handler's fatalError hears about it first, with the position and a message.
#define XML_E_DUPLICATEATTRIBUTE HR(0xC00CE554)
#define XML_E_MULTIPLEROOTS HR(0xC00CE555)     // anything after the root element's end
#define XML_E_INVALIDATROOTLEVEL HR(0xC00CE556)  // text before the root element
#define XML_E_MISSINGROOT HR(0xC00CE558)       // no element at all (also empty input)
#define XML_E_UNEXPECTEDEOF HR(0xC00CE559)     // input ends inside the document
#define XML_E_INVALIDENCODING HR(0xC00CE565)   // declared encoding unknown or wrong
#define XML_E_ENDTAGMISMATCH HR(0xC00CE56D)

namespace bf {
// What parse() returns for a document that carries a document type declaration. SOAP messages
// must not carry one, and refusing it shuts out entity expansion and external entities.
inline constexpr HRESULT SAX_E_DTD_REFUSED = MAKE_HRESULT(SEVERITY_ERROR, FACILITY_ITF, 0x0E01);

// Creates the platform SAX reader directly (what CoCreateInstance(CLSID_SAXXMLReader) returns).
BFAPI HRESULT create_sax_reader(REFIID riid, void** ppv);
}
