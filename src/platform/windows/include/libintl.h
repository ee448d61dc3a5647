// Message catalogues on Windows, where no C library brings gettext: the
// calls the program uses, reading the same compiled catalogues
// (LANG/LC_MESSAGES/DOMAIN.mo) that GNU gettext reads on Linux.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// The translation of `msgid` in `domain` for the current language, or
// `msgid` itself when there is none.
const char* dgettext(const char* domain, const char* msgid);
const char* gettext(const char* msgid);
// Where `domain`'s catalogues are (a folder holding LANG/LC_MESSAGES/);
// null `dirname` asks for the current one.
const char* bindtextdomain(const char* domain, const char* dirname);
const char* bind_textdomain_codeset(const char* domain, const char* codeset);
const char* textdomain(const char* domain);

#ifdef __cplusplus
}
#endif
