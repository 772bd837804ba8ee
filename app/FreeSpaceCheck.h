// The check of the working directory's free space that the window runs at start-up and after a
// new minimum was stored.
#pragma once

class CLanguageCatalogue;
class IPrompt;

// Reads the minimum (CSettingFile::GetFreeSpace); none (0 or less) passes at once. Otherwise tests
// the working directory's volume against it and, when short, tells the operator through prompt
// ("space_not_enough", caption "tips", warning icon). Returns false when the space is short.
bool CheckWorkingDirFreeSpace(IPrompt& prompt, const CLanguageCatalogue& texts);
