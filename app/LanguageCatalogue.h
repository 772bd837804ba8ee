// Every text the program shows, looked up by an ASCII key ("openfile_error"). Each key has a
// built-in Chinese text; a language file for the interface language may give another one.
// A key that the language file lacks, or gives an empty value, shows its built-in text.
//
// Load and GetText may run at the same time on different threads (a settings dialog may reload
// while an opening runs): readers share a lock that Load takes alone only to swap the new file in.
#pragma once

#include "app/WriterPreferringMutex.h"
#include "services/language/QuarnLanguage.h"

#include <filesystem>
#include <memory>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

class CLanguageCatalogue
{
public:
    // The one catalogue of the program, using the interface language of the locale and the
    // language files installed with the program.
    static CLanguageCatalogue& Instance();

    // Language files from lang/ beside the program file, then ../share/kelvane/lang/.
    CLanguageCatalogue();
    // Language files from languageFolder only; languageId 0 takes the identifier from the locale.
    CLanguageCatalogue(std::filesystem::path languageFolder, int languageId);
    ~CLanguageCatalogue();

    CLanguageCatalogue(const CLanguageCatalogue&) = delete;
    CLanguageCatalogue& operator=(const CLanguageCatalogue&) = delete;

    // Opens the language file <folder>/<id>.lng anew, so that an edited file takes effect. Without
    // a readable file every text is its built-in one. Nothing is reported.
    void Load();

    // The language file's text for key (a backslash-n in it is a line break; at most 99
    // characters), else the built-in text, else an empty text.
    std::wstring GetText(std::string_view key) const;

    // The built-in text of key, or an empty text.
    static std::wstring GetDefaultText(std::string_view key);

    // Every key of the catalogue, in the order of the built-in table.
    static std::vector<std::string> Keys();

    // The interface language identifier of this process's locale (LC_ALL, LC_MESSAGES, LANG):
    // 1028 zh_TW/zh_HK, 1033 en, 1041 ja, 1031 de, 1036 fr, otherwise 2052.
    static int LanguageIdFromLocale();

    // The language identifier of a locale name such as "en_US.UTF-8"; see LanguageIdFromLocale.
    static int LanguageIdFromLocaleName(std::string_view locale);

    // The file that Load opens (or would open).
    std::filesystem::path LanguageFilePath() const;

private:
    struct HandleDeleter
    {
        void operator()(QUARN_LANGUAGE_HANDLE handle) const { QUARN_Language_ReleaseLanguageHandle(handle); }
    };
    using Handle = std::unique_ptr<QuarnLanguage, HandleDeleter>;

    std::vector<std::filesystem::path> folders;
    int languageId = 0;
    mutable CWriterPreferringMutex mutex;
    Handle handle;
};
