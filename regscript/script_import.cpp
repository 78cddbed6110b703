// The section state machine and ImportRegistryScript, the driver that feeds it the
// lines of a script file and makes the registry calls it asks for.
//
// Phases: seeking a section (header lines are looked at, everything else is passed
// over), opening its key, inside the section (value lines are written; any other line
// ends the section and is then looked at again as a possible header), and byte data
// waiting for a continuation line (a line that begins with '[' ends the byte data
// instead and is looked at again, as the line after the section).
//
// Over-long lines keep only their first character: one that begins with '"' or '@'
// is a value line that writes nothing; any other ends the section, and a header among
// them cannot be opened, so its section is passed over.
#include "regscript/regscript.h"

namespace {

const WCHAR kOpenBracket = TEXT('[');

ScriptEvent FeedSeeking(ScriptImport* import, const WCHAR* line, ScriptLineStatus lineStatus) {
    import->next = kNextLineRead;
    if (lineStatus == kScriptLineTooLong) return kEventPassedOver;
    switch (ParseSectionHeader(line, &import->header)) {
        case kHeaderNone:
            return kEventPassedOver;
        case kHeaderUnknownRoot:
            return kEventUnknownRoot;
        default:
            import->phase = kPhaseOpeningKey;
            return kEventOpenKey;
    }
}

ScriptEvent ValueEvent(const ScriptValue* value) {
    return value->type == REG_NONE ? kEventValueSkipped : kEventWriteValue;
}

ScriptEvent FeedInSection(ScriptImport* import, const WCHAR* line, ScriptLineStatus lineStatus) {
    if (!IsValueLine(line)) {
        import->phase = kPhaseSeekSection;
        import->next = kNextLineSame;
        return kEventSectionEnd;
    }
    import->next = kNextLineCleared;
    if (lineStatus == kScriptLineTooLong) {
        SkipLongValueLine(&import->value);
        return kEventValueSkipped;
    }
    if (DecodeValueLine(line, &import->value) == kValueNeedsLine) {
        import->phase = kPhaseByteData;
        return kEventNeedLine;
    }
    return ValueEvent(&import->value);
}

ScriptEvent FeedByteData(ScriptImport* import, const WCHAR* line, ScriptLineStatus lineStatus) {
    if (line[0] == kOpenBracket) {
        // A stray '\' before a header: the value takes the bytes so far, and the
        // header is the line after the section.
        EndByteData(&import->value, FALSE);
        import->phase = kPhaseInSection;
        import->next = kNextLineSame;
        return ValueEvent(&import->value);
    }
    import->next = kNextLineCleared;
    if (lineStatus == kScriptLineTooLong) {
        EndByteData(&import->value, TRUE);
        import->phase = kPhaseInSection;
        return kEventValueSkipped;
    }
    if (ContinueByteData(line, &import->value) == kValueNeedsLine) return kEventNeedLine;
    import->phase = kPhaseInSection;
    return ValueEvent(&import->value);
}

// Writes a complete value under the open key; the result is not examined.
void WriteValue(HKEY key, const ScriptValue* value) {
    const BYTE* data = NULL;
    DWORD size = 0;
    ScriptValueData(value, &data, &size);
    RegSetValueExW(key, value->name, 0, value->type, data, size);
}

BOOL OpenSectionKey(const ScriptHeader* header, HKEY* key) {
    DWORD disposition = 0;
    *key = NULL;
    // No key path (NULL) opens the root itself.
    const LONG result = RegCreateKeyExW(header->root, header->hasKeyPath ? header->keyPath : NULL,
                                        0, NULL, 0, 0, NULL, key, &disposition);
    if (result != ERROR_SUCCESS) *key = NULL;
    return result == ERROR_SUCCESS;
}

}  // namespace

void ScriptImportStart(ScriptImport* import) {
    import->phase = kPhaseSeekSection;
    import->next = kNextLineRead;
    memset(&import->header, 0, sizeof import->header);
    memset(&import->value, 0, sizeof import->value);
}

ScriptEvent ScriptImportFeed(ScriptImport* import, const WCHAR* line,
                             ScriptLineStatus lineStatus) {
    switch (import->phase) {
        case kPhaseInSection:
            return FeedInSection(import, line, lineStatus);
        case kPhaseByteData:
            return FeedByteData(import, line, lineStatus);
        case kPhaseOpeningKey:  // the caller did not report the key: treat it as not opened
            import->phase = kPhaseSeekSection;
            return FeedSeeking(import, line, lineStatus);
        default:
            return FeedSeeking(import, line, lineStatus);
    }
}

void ScriptKeyOpened(ScriptImport* import, BOOL opened) {
    import->phase = opened ? kPhaseInSection : kPhaseSeekSection;
    import->next = opened ? kNextLineCleared : kNextLineRead;
}

ScriptNextLine ScriptImportNextLine(const ScriptImport* import) { return import->next; }

ScriptEvent ScriptImportEnd(ScriptImport* import) {
    if (import->phase != kPhaseByteData) return kEventPassedOver;
    EndByteData(&import->value, FALSE);
    import->phase = kPhaseInSection;
    return ValueEvent(&import->value);
}

void ImportRegistryScript(LPCWSTR path) {
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) return;

    ScriptImport import;  // the call's own buffers, about 11 KB
    WCHAR line[kScriptLineChars];
    HKEY key = NULL;
    ScriptImportStart(&import);
    memset(line, 0, sizeof line);
    ScriptLineStatus status = ReadScriptLine(file, line);
    while (status != kScriptEnd) {
        const ScriptEvent event = ScriptImportFeed(&import, line, status);
        if (event == kEventOpenKey) {
            ScriptKeyOpened(&import, OpenSectionKey(&import.header, &key));
        } else if (event == kEventWriteValue) {
            WriteValue(key, &import.value);
        } else if (event == kEventSectionEnd) {
            RegCloseKey(key);
            key = NULL;
        }
        const ScriptNextLine next = ScriptImportNextLine(&import);
        if (next == kNextLineSame) continue;
        if (next == kNextLineCleared) memset(line, 0, sizeof line);
        status = ReadScriptLine(file, line);
    }
    if (ScriptImportEnd(&import) == kEventWriteValue) WriteValue(key, &import.value);
    if (key != NULL) RegCloseKey(key);
    CloseHandle(file);
}
