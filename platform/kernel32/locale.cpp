// Locale names to the original platform's locale numbers.
#include <cstdlib>
#include <fstream>
#include <string>

#include <winnls.h>

namespace {

constexpr LCID kEnglishUS = 0x0409;

struct Territory {
    const char* lang;
    const char* territory;  // "" for the language's default
    WORD langid;
};

// Each language's default comes first; the original's numbers for each language and territory.
constexpr Territory kLocales[] = {
    {"af", "", 0x0436}, {"af", "ZA", 0x0436},
    {"am", "", 0x045E}, {"am", "ET", 0x045E},
    {"ar", "", 0x0401}, {"ar", "SA", 0x0401}, {"ar", "IQ", 0x0801}, {"ar", "EG", 0x0C01}, {"ar", "LY", 0x1001},
    {"ar", "DZ", 0x1401}, {"ar", "MA", 0x1801}, {"ar", "TN", 0x1C01}, {"ar", "OM", 0x2001}, {"ar", "YE", 0x2401},
    {"ar", "SY", 0x2801}, {"ar", "JO", 0x2C01}, {"ar", "LB", 0x3001}, {"ar", "KW", 0x3401}, {"ar", "AE", 0x3801},
    {"ar", "BH", 0x3C01}, {"ar", "QA", 0x4001},
    {"az", "", 0x042C}, {"az", "AZ", 0x042C},
    {"be", "", 0x0423}, {"be", "BY", 0x0423},
    {"bg", "", 0x0402}, {"bg", "BG", 0x0402},
    {"bn", "", 0x0445}, {"bn", "IN", 0x0445}, {"bn", "BD", 0x0845},
    {"bs", "", 0x141A}, {"bs", "BA", 0x141A},
    {"ca", "", 0x0403}, {"ca", "ES", 0x0403},
    {"cs", "", 0x0405}, {"cs", "CZ", 0x0405},
    {"cy", "", 0x0452}, {"cy", "GB", 0x0452},
    {"da", "", 0x0406}, {"da", "DK", 0x0406},
    {"de", "", 0x0407}, {"de", "DE", 0x0407}, {"de", "CH", 0x0807}, {"de", "AT", 0x0C07}, {"de", "LU", 0x1007},
    {"de", "LI", 0x1407},
    {"el", "", 0x0408}, {"el", "GR", 0x0408},
    {"en", "", 0x0409}, {"en", "US", 0x0409}, {"en", "GB", 0x0809}, {"en", "AU", 0x0C09}, {"en", "CA", 0x1009},
    {"en", "NZ", 0x1409}, {"en", "IE", 0x1809}, {"en", "ZA", 0x1C09}, {"en", "JM", 0x2009}, {"en", "BZ", 0x2809},
    {"en", "TT", 0x2C09}, {"en", "ZW", 0x3009}, {"en", "PH", 0x3409}, {"en", "IN", 0x4009}, {"en", "MY", 0x4409},
    {"en", "SG", 0x4809},
    // Spanish in Spain is the modern sort (3082); the traditional one (1034) is never the default.
    {"es", "", 0x0C0A}, {"es", "ES", 0x0C0A}, {"es", "MX", 0x080A}, {"es", "GT", 0x100A}, {"es", "CR", 0x140A},
    {"es", "PA", 0x180A}, {"es", "DO", 0x1C0A}, {"es", "VE", 0x200A}, {"es", "CO", 0x240A}, {"es", "PE", 0x280A},
    {"es", "AR", 0x2C0A}, {"es", "EC", 0x300A}, {"es", "CL", 0x340A}, {"es", "UY", 0x380A}, {"es", "PY", 0x3C0A},
    {"es", "BO", 0x400A}, {"es", "SV", 0x440A}, {"es", "HN", 0x480A}, {"es", "NI", 0x4C0A}, {"es", "PR", 0x500A},
    {"es", "US", 0x540A},
    {"et", "", 0x0425}, {"et", "EE", 0x0425},
    {"eu", "", 0x042D}, {"eu", "ES", 0x042D},
    {"fa", "", 0x0429}, {"fa", "IR", 0x0429},
    {"fi", "", 0x040B}, {"fi", "FI", 0x040B},
    {"fil", "", 0x0464}, {"fil", "PH", 0x0464},
    {"fo", "", 0x0438}, {"fo", "FO", 0x0438},
    {"fr", "", 0x040C}, {"fr", "FR", 0x040C}, {"fr", "BE", 0x080C}, {"fr", "CA", 0x0C0C}, {"fr", "CH", 0x100C},
    {"fr", "LU", 0x140C}, {"fr", "MC", 0x180C},
    {"fy", "", 0x0462}, {"fy", "NL", 0x0462},
    {"ga", "", 0x083C}, {"ga", "IE", 0x083C},
    {"gl", "", 0x0456}, {"gl", "ES", 0x0456},
    {"gu", "", 0x0447}, {"gu", "IN", 0x0447},
    {"he", "", 0x040D}, {"he", "IL", 0x040D}, {"iw", "", 0x040D}, {"iw", "IL", 0x040D},
    {"hi", "", 0x0439}, {"hi", "IN", 0x0439},
    {"hr", "", 0x041A}, {"hr", "HR", 0x041A}, {"hr", "BA", 0x101A},
    {"hu", "", 0x040E}, {"hu", "HU", 0x040E},
    {"hy", "", 0x042B}, {"hy", "AM", 0x042B},
    {"id", "", 0x0421}, {"id", "ID", 0x0421}, {"in", "", 0x0421},
    {"ig", "", 0x0470}, {"ig", "NG", 0x0470},
    {"is", "", 0x040F}, {"is", "IS", 0x040F},
    {"it", "", 0x0410}, {"it", "IT", 0x0410}, {"it", "CH", 0x0810},
    {"ja", "", 0x0411}, {"ja", "JP", 0x0411},
    {"ka", "", 0x0437}, {"ka", "GE", 0x0437},
    {"kk", "", 0x043F}, {"kk", "KZ", 0x043F},
    {"km", "", 0x0453}, {"km", "KH", 0x0453},
    {"kn", "", 0x044B}, {"kn", "IN", 0x044B},
    {"ko", "", 0x0412}, {"ko", "KR", 0x0412},
    {"ky", "", 0x0440}, {"ky", "KG", 0x0440},
    {"lb", "", 0x046E}, {"lb", "LU", 0x046E},
    {"lo", "", 0x0454}, {"lo", "LA", 0x0454},
    {"lt", "", 0x0427}, {"lt", "LT", 0x0427},
    {"lv", "", 0x0426}, {"lv", "LV", 0x0426},
    {"mk", "", 0x042F}, {"mk", "MK", 0x042F},
    {"ml", "", 0x044C}, {"ml", "IN", 0x044C},
    {"mn", "", 0x0450}, {"mn", "MN", 0x0450},
    {"mr", "", 0x044E}, {"mr", "IN", 0x044E},
    {"ms", "", 0x043E}, {"ms", "MY", 0x043E}, {"ms", "BN", 0x083E},
    {"mt", "", 0x043A}, {"mt", "MT", 0x043A},
    {"nb", "", 0x0414}, {"nb", "NO", 0x0414}, {"no", "", 0x0414}, {"no", "NO", 0x0414},
    {"ne", "", 0x0461}, {"ne", "NP", 0x0461},
    {"nl", "", 0x0413}, {"nl", "NL", 0x0413}, {"nl", "BE", 0x0813},
    {"nn", "", 0x0814}, {"nn", "NO", 0x0814},
    {"pa", "", 0x0446}, {"pa", "IN", 0x0446},
    {"pl", "", 0x0415}, {"pl", "PL", 0x0415},
    {"ps", "", 0x0463}, {"ps", "AF", 0x0463},
    // Portuguese on its own means Brazilian, as on the original.
    {"pt", "", 0x0416}, {"pt", "BR", 0x0416}, {"pt", "PT", 0x0816},
    {"rm", "", 0x0417}, {"rm", "CH", 0x0417},
    {"ro", "", 0x0418}, {"ro", "RO", 0x0418},
    {"ru", "", 0x0419}, {"ru", "RU", 0x0419},
    {"si", "", 0x045B}, {"si", "LK", 0x045B},
    {"sk", "", 0x041B}, {"sk", "SK", 0x041B},
    {"sl", "", 0x0424}, {"sl", "SI", 0x0424},
    {"sq", "", 0x041C}, {"sq", "AL", 0x041C},
    {"sr", "", 0x281A}, {"sr", "RS", 0x281A}, {"sr", "ME", 0x301A},
    {"sv", "", 0x041D}, {"sv", "SE", 0x041D}, {"sv", "FI", 0x081D},
    {"sw", "", 0x0441}, {"sw", "KE", 0x0441},
    {"ta", "", 0x0449}, {"ta", "IN", 0x0449},
    {"te", "", 0x044A}, {"te", "IN", 0x044A},
    {"th", "", 0x041E}, {"th", "TH", 0x041E},
    {"tr", "", 0x041F}, {"tr", "TR", 0x041F},
    {"tt", "", 0x0444}, {"tt", "RU", 0x0444},
    {"uk", "", 0x0422}, {"uk", "UA", 0x0422},
    {"ur", "", 0x0420}, {"ur", "PK", 0x0420},
    {"uz", "", 0x0443}, {"uz", "UZ", 0x0443},
    {"vi", "", 0x042A}, {"vi", "VN", 0x042A},
    {"xh", "", 0x0434}, {"xh", "ZA", 0x0434},
    {"yo", "", 0x046A}, {"yo", "NG", 0x046A},
    {"zh", "", 0x0804}, {"zh", "CN", 0x0804}, {"zh", "TW", 0x0404}, {"zh", "HK", 0x0C04}, {"zh", "SG", 0x1004},
    {"zh", "MO", 0x1404},
    {"zu", "", 0x0435}, {"zu", "ZA", 0x0435},
};

// Serbian written in Latin letters has numbers of its own.
constexpr Territory kSerbianLatin[] = {{"sr", "", 0x241A}, {"sr", "RS", 0x241A}, {"sr", "ME", 0x2C1A}};

bool is_alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
char lower(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }
char upper(char c) { return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c; }

template <std::size_t N>
const Territory* find(const Territory (&table)[N], std::string_view lang, std::string_view territory) {
    for (auto& t : table)
        if (lang == t.lang && territory == t.territory) return &t;
    return nullptr;
}

bool known_langid(WORD langid) {
    for (auto& t : kLocales)
        if (t.langid == langid) return true;
    for (auto& t : kSerbianLatin)
        if (t.langid == langid) return true;
    return false;
}

// LANG from a system locale file ("LANG=de_DE.UTF-8", possibly quoted); empty if none.
std::string lang_from_file(const char* path) {
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("LANG=", 0) != 0) continue;
        std::string value = line.substr(5);
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
            value = value.substr(1, value.size() - 2);
        return value;
    }
    return {};
}

LCID user_default() {
    static const LCID lcid = bf::lcid_from_environment();
    return lcid;
}

LCID system_default() {
    static const LCID lcid = [] {
        for (const char* path : {"/etc/locale.conf", "/etc/default/locale"}) {
            std::string lang = lang_from_file(path);
            if (!lang.empty()) return bf::lcid_from_locale_name(lang);
        }
        return kEnglishUS;
    }();
    return lcid;
}

thread_local LCID t_thread_locale = 0;  // 0: not set yet, i.e. the user default

}  // namespace

namespace bf {

BFAPI LCID lcid_from_locale_name(std::string_view name) {
    // language[_TERRITORY][.codeset][@modifier]; "-" separators and a script part are accepted too.
    std::string_view modifier;
    if (auto at = name.find('@'); at != std::string_view::npos) {
        modifier = name.substr(at + 1);
        name = name.substr(0, at);
    }
    if (auto dot = name.find('.'); dot != std::string_view::npos) name = name.substr(0, dot);

    std::string lang, territory;
    std::size_t i = 0;
    while (i < name.size() && is_alpha(name[i]) && lang.size() < 4) lang += lower(name[i++]);
    if (lang.size() < 2 || lang.size() > 3 || (i < name.size() && name[i] != '_' && name[i] != '-'))
        return kEnglishUS;  // C, POSIX and anything that is not a language code
    std::string script;
    while (i < name.size()) {
        ++i;  // the separator
        std::size_t start = i;
        while (i < name.size() && name[i] != '_' && name[i] != '-') ++i;
        std::string_view part = name.substr(start, i - start);
        if (part.size() == 2 && is_alpha(part[0]) && is_alpha(part[1])) {
            territory = {upper(part[0]), upper(part[1])};
        } else if (part.size() == 4) {
            script.clear();
            for (char c : part) script += lower(c);
        }
    }

    if (lang == "sr" && (modifier == "latin" || script == "latn")) {
        if (auto* t = find(kSerbianLatin, lang, territory)) return t->langid;
        return kSerbianLatin[0].langid;
    }
    if (lang == "zh" && territory.empty() && script == "hant") return 0x0404;  // traditional script: Taiwan
    if (auto* t = find(kLocales, lang, territory)) return t->langid;
    if (auto* t = find(kLocales, lang, "")) return t->langid;
    return kEnglishUS;
}

BFAPI LCID lcid_from_environment() {
    for (const char* var : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(var);
        if (value && *value) return lcid_from_locale_name(value);
    }
    return kEnglishUS;
}

}  // namespace bf

extern "C" {

BFAPI LCID WINAPI GetUserDefaultLCID() { return user_default(); }
BFAPI LCID WINAPI GetSystemDefaultLCID() { return system_default(); }
BFAPI LANGID WINAPI GetUserDefaultLangID() { return LANGIDFROMLCID(user_default()); }
BFAPI LANGID WINAPI GetSystemDefaultLangID() { return LANGIDFROMLCID(system_default()); }
BFAPI LANGID WINAPI GetUserDefaultUILanguage() { return LANGIDFROMLCID(user_default()); }

BFAPI LCID WINAPI GetThreadLocale() { return t_thread_locale ? t_thread_locale : user_default(); }

BFAPI BOOL WINAPI SetThreadLocale(LCID Locale) {
    LCID resolved;
    if (Locale == LOCALE_USER_DEFAULT)
        resolved = user_default();
    else if (Locale == LOCALE_SYSTEM_DEFAULT)
        resolved = system_default();
    else if (Locale == LOCALE_INVARIANT || ((Locale >> 16) == 0 && known_langid(LANGIDFROMLCID(Locale))))
        resolved = Locale;
    else {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    t_thread_locale = resolved;
    return TRUE;
}

}  // extern "C"
