// Persisted settings and the program's folders.
#pragma once

#include "platform/registry.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace purgix {

// Kinds of persisted properties. Object-like kinds are never written.
enum TPropertyKind {
    tkInteger,
    tkChar,
    tkEnumeration,
    tkFloat,
    tkString,
    tkSet,
    tkWChar,
    tkVariant,
    tkArray,
    tkInt64,
    tkClass,
    tkMethod,
    tkRecord,
    tkInterface,
    tkDynArray,
    tkClassRef,
    tkPointer,
    tkProcedure,
};

// One persisted property: its name (the registry value name), kind and text conversion. The
// setter throws std::exception (e.g. std::invalid_argument) for text it cannot take.
struct TPersistedProperty {
    std::string name;
    TPropertyKind kind;
    std::function<std::string()> get;
    std::function<void(const std::string&)> set;
};

// Persists every registered property of a derived object as a REG_SZ value named after it, in
// the key RegPath below RegRootKey. A derived class saves in its own destructor when RegPath is
// set and ForceSave is true (the base destructor runs after the derived fields are gone).
class TGlobalSettings {
public:
    TGlobalSettings() = default;
    TGlobalSettings(const TGlobalSettings&) = delete;
    TGlobalSettings& operator=(const TGlobalSettings&) = delete;
    virtual ~TGlobalSettings();

    void LoadFromRegistry();
    void SaveToRegistry();

    const std::string& RegPath() const noexcept { return FRegPath; }
    void SetRegPath(std::string value) { FRegPath = std::move(value); }
    bool ForceSave() const noexcept { return FForceSave; }
    void SetForceSave(bool value) noexcept { FForceSave = value; }
    platform::RegRootKey RegRootKey() const noexcept { return FRegRootKey; }
    void SetRegRootKey(platform::RegRootKey value) noexcept { FRegRootKey = value; }

    // The registered properties in ascending order of their names, without regard to case.
    std::vector<TPersistedProperty> Properties() const;

protected:
    void RegisterProperty(TPersistedProperty property);
    // Text unchanged in both directions.
    void RegisterString(const std::string& name, std::string& field);
    // Decimal; text that is not a number reads as 0.
    void RegisterInteger(const std::string& name, std::int64_t& field);
    // The value's name; reading matches names without regard to case and refuses others with
    // "Not a valid value for this type".
    void RegisterEnumeration(const std::string& name, int& field, std::vector<std::string> names);

private:
    std::string FRegPath;
    bool FForceSave = true;
    platform::RegRootKey FRegRootKey = platform::HKEY_CURRENT_USER;
    std::vector<TPersistedProperty> FProperties;
};

// The program's settings.
class TGlobalConfig : public TGlobalSettings {
public:
    // Defaults: LastMethodGUID = the DoD method, LogFileDir = program folder + "Logs/".
    TGlobalConfig();
    ~TGlobalConfig() override;

    const std::string& LastMethodGUID() const noexcept { return FLastMethodGuid; }
    void SetLastMethodGUID(std::string value) { FLastMethodGuid = std::move(value); }
    const std::string& LogFileDir() const noexcept { return FLogFileDir; }
    void SetLogFileDir(std::string value) { FLogFileDir = std::move(value); }

private:
    std::string FLastMethodGuid;
    std::string FLogFileDir;
};

// Program folders, each with a trailing "/": the executable's folder, + "Data/", + "Graphics/";
// and the method file, data folder + "algorithm.xml".
const std::string& ProgramFolder();
const std::string& DataFolder();
const std::string& GraphicsFolder();
const std::string& MethodFilePath();

// The one settings object of the process: created and loaded by InitializeGlobalConfig (at
// start-up, before any window), saved and freed by FinalizeGlobalConfig (at exit).
TGlobalConfig& GlobalConfig();
void InitializeGlobalConfig();
void FinalizeGlobalConfig();

} // namespace purgix
