// The Brackenfold service as the client sees it: the result structures, the parameter record of
// each of the six operations, and the constant description tables (six operation maps, four
// structure maps, six header-block maps) that are the writer's and the parser's only source of
// names, types and flags. The tables hold the service namespace, which depends on the deployment
// constants, so they are built once, on first use.
#pragma once

#include <oleauto.h>
#include "soap/soap_schema.h"
#include "soap/value_codec.h"

namespace Brackenfold {

using bf::soap::BinaryValue;

struct clsUpdate {
    int adID;
    short Height;
    short Width;
    BSTR AdType;
    BSTR AdURL;
    BinaryValue AdBinary;
};

// Same members as clsUpdate, described by the same member list.
struct Advertisement {
    int adID;
    short Height;
    short Width;
    BSTR AdType;
    BSTR AdURL;
    BinaryValue AdBinary;
};

struct Combo {
    clsUpdate ClsUpdate;
    unsigned char Rating;
    int intRet;
    BSTR Alias;
    bool Error;
};

struct Ret {
    BSTR strRet;
    int intRet;
};

// Parameter records: in fields first, then the out structure.
struct CheckAliasEmailParams {
    BSTR AccountID;
    BSTR DomainName;
    Ret CheckAliasEmailResult;
};
struct NewPageParams {
    BSTR AccountID;
    BSTR DomainName;
    double Version;
    Combo NewPageResult;
};
struct GetRatingForSiteParams {
    BSTR AccountID;
    BSTR DomainName;
    Ret GetRatingForSiteResult;
};
struct GetAdvertisementParams {
    BSTR DomainName;
    Advertisement GetAdvertisementResult;
};
struct GetUpdateParams {
    BSTR DomainName;
    double Version;
    clsUpdate GetUpdateResult;
};
struct GetNewAliasEmailForSiteParams {
    BSTR AccountID;
    BSTR DomainName;
    Ret GetNewAliasEmailForSiteResult;
};

// Positions in the operation and header tables.
enum OperationIndex : int {
    CheckAliasEmailOperation = 0,
    NewPageOperation = 1,
    GetRatingForSiteOperation = 2,
    GetAdvertisementOperation = 3,
    GetUpdateOperation = 4,
    GetNewAliasEmailForSiteOperation = 5,
    OperationCount = 6,
};

// Operation maps in index order, ended by a null entry.
const bf::soap::SchemaMap* const* operationMapTable();
// Header-block maps (no fields), same order, ended by a null entry.
const bf::soap::SchemaMap* const* headerMapTable();
const bf::soap::SchemaMap& comboMap();
const bf::soap::SchemaMap& clsUpdateMap();
const bf::soap::SchemaMap& advertisementMap();
const bf::soap::SchemaMap& retMap();

// Releases what a result handed to a caller owns (strings, advertisement bytes) and zeroes it.
void releaseResult(Combo* value) noexcept;
void releaseResult(Ret* value) noexcept;

}  // namespace Brackenfold
