// Locale identifiers.
// Offers: GetUserDefaultLCID, GetSystemDefaultLCID, GetUserDefaultLangID, GetSystemDefaultLangID,
// GetUserDefaultUILanguage, GetThreadLocale, SetThreadLocale; MAKELANGID, PRIMARYLANGID,
// SUBLANGID, MAKELCID, LANGIDFROMLCID, SORTIDFROMLCID and the LOCALE_* / LANG_* / SUBLANG_*
// constants the component uses.
//
// The user default comes from the locale environment (LC_ALL, then LC_MESSAGES, then LANG) and is
// read once per process, as the original fixes it for a session. The system default comes from
// LANG in /etc/locale.conf or /etc/default/locale. A locale name maps to the original's number for
// its language and territory, a bare language to that language's default, and C, POSIX or
// anything unknown to US English (1033).
#pragma once

#include <string_view>

#include <windef.h>

#ifndef MAKELANGID
#define MAKELANGID(p, s) (static_cast<WORD>((static_cast<WORD>(s) << 10) | static_cast<WORD>(p)))
#define PRIMARYLANGID(lgid) (static_cast<WORD>(static_cast<WORD>(lgid) & 0x3FF))
#define SUBLANGID(lgid) (static_cast<WORD>(static_cast<WORD>(lgid) >> 10))
#define MAKELCID(lgid, srtid) (static_cast<DWORD>((static_cast<DWORD>(static_cast<WORD>(srtid)) << 16) | static_cast<DWORD>(static_cast<WORD>(lgid))))
#define LANGIDFROMLCID(lcid) (static_cast<WORD>(lcid))
#define SORTIDFROMLCID(lcid) (static_cast<WORD>((static_cast<DWORD>(lcid) >> 16) & 0xF))
#endif

#define LANG_NEUTRAL 0x00
#define LANG_INVARIANT 0x7F
#define LANG_ENGLISH 0x09
#define LANG_GERMAN 0x07
#define LANG_FRENCH 0x0C
#define SUBLANG_NEUTRAL 0x00
#define SUBLANG_DEFAULT 0x01
#define SUBLANG_SYS_DEFAULT 0x02
#define SORT_DEFAULT 0x0

#define LANG_SYSTEM_DEFAULT MAKELANGID(LANG_NEUTRAL, SUBLANG_SYS_DEFAULT)
#define LANG_USER_DEFAULT MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT)
#define LOCALE_SYSTEM_DEFAULT MAKELCID(LANG_SYSTEM_DEFAULT, SORT_DEFAULT)
#define LOCALE_USER_DEFAULT MAKELCID(LANG_USER_DEFAULT, SORT_DEFAULT)
#define LOCALE_INVARIANT MAKELCID(MAKELANGID(LANG_INVARIANT, SUBLANG_NEUTRAL), SORT_DEFAULT)

extern "C" {
BFAPI LCID WINAPI GetUserDefaultLCID();
BFAPI LCID WINAPI GetSystemDefaultLCID();
BFAPI LANGID WINAPI GetUserDefaultLangID();
BFAPI LANGID WINAPI GetSystemDefaultLangID();
BFAPI LANGID WINAPI GetUserDefaultUILanguage();
// Per thread; a new thread starts at the user default.
BFAPI LCID WINAPI GetThreadLocale();
// Accepts LOCALE_USER_DEFAULT, LOCALE_SYSTEM_DEFAULT, LOCALE_INVARIANT and every locale this
// platform can name; anything else fails with ERROR_INVALID_PARAMETER.
BFAPI BOOL WINAPI SetThreadLocale(LCID Locale);
}

namespace bf {
// Maps a locale name such as "de_DE.UTF-8", "sr_RS@latin" or "en-GB" to its LCID.
BFAPI LCID lcid_from_locale_name(std::string_view name);
// The LCID the locale environment asks for right now (GetUserDefaultLCID keeps the first answer).
BFAPI LCID lcid_from_environment();
}  // namespace bf
