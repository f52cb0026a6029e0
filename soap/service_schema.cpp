#include "soap/service_schema.h"

#include <cstddef>
#include <cstdlib>
#include <string_view>

#include <processthreadsapi.h>
#include "soap/deployment.h"

namespace Brackenfold {

using namespace bf::soap;

namespace {

constexpr ULONG kInString = Flag::Document | Flag::Literal | Flag::Wrapped | Flag::Nillable | Flag::In;  // 0xAC01
constexpr ULONG kInValue = Flag::Document | Flag::Literal | Flag::Wrapped | Flag::In;                   // 0xA801
constexpr ULONG kResult = Flag::Document | Flag::Literal | Flag::Wrapped | Flag::Out;                   // 0xA802
constexpr ULONG kRequired = Flag::Member;                                                              // 0x0100
constexpr ULONG kOptional = Flag::Member | Flag::Nillable;                                             // 0x0500
constexpr ULONG kCallFlags = Flag::Document | Flag::Literal | Flag::Wrapped;                            // 0xA800

static_assert(kInString == 0xAC01 && kInValue == 0xA801 && kResult == 0xA802 && kOptional == 0x500 &&
              kCallFlags == 0xA800);

constexpr int length(const char* s) { return static_cast<int>(std::char_traits<char>::length(s)); }

constexpr SchemaField field(const char* name, const WCHAR* wideName, int type, ULONG flags, std::size_t member,
                            const SchemaMap* nested = nullptr) {
    return SchemaField{soapHash(std::string_view(name)), name, wideName, length(name), type, flags,
                       static_cast<ULONG>(member), nullptr, nested, -1, 0, nullptr, nullptr, 0};
}
constexpr SchemaField kEnd{};

struct ServiceSchema {
    ServiceSchema();
    ServiceSchema(const ServiceSchema&) = delete;

    const std::string& ns = service_namespace();
    const std::u16string& wideNs = service_namespace_wide();
    const ULONG nsHash = soapHash(std::string_view(service_namespace()));

    SchemaMap clsUpdate{}, advertisement{}, combo{}, ret{};
    SchemaMap operations[OperationCount]{};
    SchemaMap headers[OperationCount]{};
    const SchemaMap* operationTable[OperationCount + 1]{};
    const SchemaMap* headerTable[OperationCount + 1]{};

    SchemaField clsUpdateFields[7];
    SchemaField comboFields[6];
    SchemaField retFields[3];
    SchemaField checkAliasEmailFields[4];
    SchemaField newPageFields[5];
    SchemaField getRatingForSiteFields[4];
    SchemaField getAdvertisementFields[3];
    SchemaField getUpdateFields[4];
    SchemaField getNewAliasEmailForSiteFields[4];
    SchemaField noFields[1]{kEnd};

    SchemaMap map(const char* name, const WCHAR* wideName, int kind, const SchemaField* fields, std::size_t size,
                  ULONG count, ULONG callFlags) const {
        std::u16string_view wide(wideName);
        return SchemaMap{soapHash(wide), name, wideName, length(name), static_cast<int>(wide.size()), kind, fields,
                         static_cast<ULONG>(size), count, -1, callFlags, nsHash, ns.c_str(), wideNs.c_str(),
                         static_cast<int>(ns.size())};
    }
};

ServiceSchema::ServiceSchema()
    : clsUpdateFields{
          field("adID", u"adID", Xsd::Int, kRequired, offsetof(Brackenfold::clsUpdate, adID)),
          field("Height", u"Height", Xsd::Short, kRequired, offsetof(Brackenfold::clsUpdate, Height)),
          field("Width", u"Width", Xsd::Short, kRequired, offsetof(Brackenfold::clsUpdate, Width)),
          field("AdType", u"AdType", Xsd::String, kOptional, offsetof(Brackenfold::clsUpdate, AdType)),
          field("AdURL", u"AdURL", Xsd::String, kOptional, offsetof(Brackenfold::clsUpdate, AdURL)),
          field("AdBinary", u"AdBinary", Xsd::Base64Binary, kOptional, offsetof(Brackenfold::clsUpdate, AdBinary)),
          kEnd},
      comboFields{
          field("ClsUpdate", u"ClsUpdate", Xsd::Nested, kOptional, offsetof(Combo, ClsUpdate), &clsUpdate),
          field("Rating", u"Rating", Xsd::UnsignedByte, kRequired, offsetof(Combo, Rating)),
          field("intRet", u"intRet", Xsd::Int, kRequired, offsetof(Combo, intRet)),
          field("Alias", u"Alias", Xsd::String, kOptional, offsetof(Combo, Alias)),
          field("Error", u"Error", Xsd::Boolean, kRequired, offsetof(Combo, Error)),
          kEnd},
      retFields{
          field("strRet", u"strRet", Xsd::String, kOptional, offsetof(Ret, strRet)),
          field("intRet", u"intRet", Xsd::Int, kRequired, offsetof(Ret, intRet)),
          kEnd},
      checkAliasEmailFields{
          field("AccountID", u"AccountID", Xsd::String, kInString, offsetof(CheckAliasEmailParams, AccountID)),
          field("DomainName", u"DomainName", Xsd::String, kInString, offsetof(CheckAliasEmailParams, DomainName)),
          field("CheckAliasEmailResult", u"CheckAliasEmailResult", Xsd::Nested, kResult,
                offsetof(CheckAliasEmailParams, CheckAliasEmailResult), &ret),
          kEnd},
      newPageFields{
          field("AccountID", u"AccountID", Xsd::String, kInString, offsetof(NewPageParams, AccountID)),
          field("DomainName", u"DomainName", Xsd::String, kInString, offsetof(NewPageParams, DomainName)),
          field("Version", u"Version", Xsd::Double, kInValue, offsetof(NewPageParams, Version)),
          field("NewPageResult", u"NewPageResult", Xsd::Nested, kResult, offsetof(NewPageParams, NewPageResult),
                &combo),
          kEnd},
      getRatingForSiteFields{
          field("AccountID", u"AccountID", Xsd::String, kInString, offsetof(GetRatingForSiteParams, AccountID)),
          field("DomainName", u"DomainName", Xsd::String, kInString, offsetof(GetRatingForSiteParams, DomainName)),
          field("GetRatingForSiteResult", u"GetRatingForSiteResult", Xsd::Nested, kResult,
                offsetof(GetRatingForSiteParams, GetRatingForSiteResult), &ret),
          kEnd},
      getAdvertisementFields{
          field("DomainName", u"DomainName", Xsd::String, kInString, offsetof(GetAdvertisementParams, DomainName)),
          field("GetAdvertisementResult", u"GetAdvertisementResult", Xsd::Nested, kResult,
                offsetof(GetAdvertisementParams, GetAdvertisementResult), &advertisement),
          kEnd},
      getUpdateFields{
          field("DomainName", u"DomainName", Xsd::String, kInString, offsetof(GetUpdateParams, DomainName)),
          field("Version", u"Version", Xsd::Double, kInValue, offsetof(GetUpdateParams, Version)),
          field("GetUpdateResult", u"GetUpdateResult", Xsd::Nested, kResult, offsetof(GetUpdateParams, GetUpdateResult),
                &clsUpdate),
          kEnd},
      getNewAliasEmailForSiteFields{
          field("AccountID", u"AccountID", Xsd::String, kInString, offsetof(GetNewAliasEmailForSiteParams, AccountID)),
          field("DomainName", u"DomainName", Xsd::String, kInString,
                offsetof(GetNewAliasEmailForSiteParams, DomainName)),
          field("GetNewAliasEmailForSiteResult", u"GetNewAliasEmailForSiteResult", Xsd::Nested, kResult,
                offsetof(GetNewAliasEmailForSiteParams, GetNewAliasEmailForSiteResult), &ret),
          kEnd} {
    clsUpdate = map("clsUpdate", u"clsUpdate", MapKind::Structure, clsUpdateFields, sizeof(Brackenfold::clsUpdate), 6, 0);
    // Advertisement shares clsUpdate's member list.
    advertisement = map("Advertisement", u"Advertisement", MapKind::Structure, clsUpdateFields,
                        sizeof(Brackenfold::Advertisement), 6, 0);
    combo = map("Combo", u"Combo", MapKind::Structure, comboFields, sizeof(Combo), 5, 0);
    ret = map("Ret", u"Ret", MapKind::Structure, retFields, sizeof(Ret), 2, 0);

    struct Op {
        const char* name;
        const WCHAR* name16;
        const WCHAR* response;
        const SchemaField* fields;
        std::size_t size;
    };
    const Op ops[OperationCount] = {
        {"CheckAliasEmail", u"CheckAliasEmail", u"CheckAliasEmailResponse", checkAliasEmailFields,
         sizeof(CheckAliasEmailParams)},
        {"NewPage", u"NewPage", u"NewPageResponse", newPageFields, sizeof(NewPageParams)},
        {"GetRatingForSite", u"GetRatingForSite", u"GetRatingForSiteResponse", getRatingForSiteFields,
         sizeof(GetRatingForSiteParams)},
        {"GetAdvertisement", u"GetAdvertisement", u"GetAdvertisementResponse", getAdvertisementFields,
         sizeof(GetAdvertisementParams)},
        {"GetUpdate", u"GetUpdate", u"GetUpdateResponse", getUpdateFields, sizeof(GetUpdateParams)},
        {"GetNewAliasEmailForSite", u"GetNewAliasEmailForSite", u"GetNewAliasEmailForSiteResponse",
         getNewAliasEmailForSiteFields, sizeof(GetNewAliasEmailForSiteParams)},
    };
    for (int i = 0; i < OperationCount; ++i) {
        operations[i] = map(ops[i].name, ops[i].response, MapKind::Operation, ops[i].fields, ops[i].size, 1, kCallFlags);
        headers[i] = map(ops[i].name, ops[i].name16, MapKind::HeaderBlock, noFields, 0, 0, kCallFlags);
        operationTable[i] = &operations[i];
        headerTable[i] = &headers[i];
    }
}

const ServiceSchema& schema() {
    static const bf::ProcessConstant<ServiceSchema> instance;
    return instance.get();
}

static_assert(offsetof(Brackenfold::clsUpdate, AdBinary) == offsetof(Brackenfold::Advertisement, AdBinary) &&
              sizeof(Brackenfold::clsUpdate) == sizeof(Brackenfold::Advertisement));

}  // namespace

const SchemaMap* const* operationMapTable() { return schema().operationTable; }
const SchemaMap* const* headerMapTable() { return schema().headerTable; }
const SchemaMap& comboMap() { return schema().combo; }
const SchemaMap& clsUpdateMap() { return schema().clsUpdate; }
const SchemaMap& advertisementMap() { return schema().advertisement; }
const SchemaMap& retMap() { return schema().ret; }

void releaseResult(Combo* value) noexcept {
    if (!value) return;
    SysFreeString(value->ClsUpdate.AdType);
    SysFreeString(value->ClsUpdate.AdURL);
    std::free(value->ClsUpdate.AdBinary.data);
    SysFreeString(value->Alias);
    *value = Combo{};
}

void releaseResult(Ret* value) noexcept {
    if (!value) return;
    SysFreeString(value->strRet);
    *value = Ret{};
}

}  // namespace Brackenfold
