#include "app/GlobalSettings.h"

#include "platform/text.h"

#include "platform/debug.h"
#include "platform/paths.h"
#include "platform/product.h"
#include "wipe/patternclass.h"

#include <algorithm>
#include <charconv>
#include <stdexcept>

namespace purgix {
namespace {

bool Persisted(TPropertyKind kind) {
    switch (kind) {
    case tkClass:
    case tkMethod:
    case tkRecord:
    case tkInterface:
    case tkDynArray:
    case tkClassRef:
    case tkPointer:
    case tkProcedure:
        return false;
    default:
        return true;
    }
}

std::unique_ptr<TGlobalConfig>& ConfigSlot() {
    static std::unique_ptr<TGlobalConfig> config;
    return config;
}

} // namespace

TGlobalSettings::~TGlobalSettings() = default;

void TGlobalSettings::RegisterProperty(TPersistedProperty property) {
    FProperties.push_back(std::move(property));
}

void TGlobalSettings::RegisterString(const std::string& name, std::string& field) {
    RegisterProperty({name, tkString, [&field] { return field; },
                      [&field](const std::string& text) { field = text; }});
}

void TGlobalSettings::RegisterInteger(const std::string& name, std::int64_t& field) {
    RegisterProperty({name, tkInt64, [&field] { return std::to_string(field); },
                      [&field](const std::string& text) {
                          std::int64_t v = 0;
                          const auto [p, ec] =
                              std::from_chars(text.data(), text.data() + text.size(), v);
                          field = (ec == std::errc{} && p == text.data() + text.size()) ? v : 0;
                      }});
}

void TGlobalSettings::RegisterEnumeration(const std::string& name, int& field,
                                          std::vector<std::string> names) {
    auto shared = std::make_shared<std::vector<std::string>>(std::move(names));
    RegisterProperty({name, tkEnumeration,
                      [&field, shared] {
                          return field >= 0 && static_cast<std::size_t>(field) < shared->size()
                                     ? (*shared)[static_cast<std::size_t>(field)]
                                     : std::to_string(field);
                      },
                      [&field, shared](const std::string& text) {
                          for (std::size_t i = 0; i < shared->size(); ++i)
                              if (platform::AsciiLower((*shared)[i]) ==
                                  platform::AsciiLower(text)) {
                                  field = static_cast<int>(i);
                                  return;
                              }
                          throw std::invalid_argument("Not a valid value for this type");
                      }});
}

std::vector<TPersistedProperty> TGlobalSettings::Properties() const {
    std::vector<TPersistedProperty> sorted = FProperties;
    std::stable_sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) {
        return platform::AsciiLower(a.name) < platform::AsciiLower(b.name);
    });
    return sorted;
}

void TGlobalSettings::LoadFromRegistry() {
    if (FRegPath.empty())
        return;
    platform::TRegistry reg(FRegRootKey);
    if (!reg.OpenKey(FRegPath, true))
        return;
    for (const TPersistedProperty& p : Properties()) {
        const auto value = reg.ReadValue(p.name);
        if (!value || (value->type != platform::REG_SZ && value->type != platform::REG_EXPAND_SZ))
            continue;
        try {
            p.set(value->text);
        } catch (const std::exception& e) {
            platform::DebugOutput(std::string("EX COULD NOT LOAD VALUE FROM REGISTRY: ") +
                                  e.what());
        }
    }
}

void TGlobalSettings::SaveToRegistry() {
    if (FRegPath.empty())
        return;
    platform::TRegistry reg(FRegRootKey);
    if (!reg.OpenKey(FRegPath, true))
        return;
    for (const TPersistedProperty& p : Properties()) {
        if (!Persisted(p.kind))
            continue;
        try {
            reg.WriteString(p.name, p.kind == tkArray ? std::string() : p.get());
        } catch (const std::exception& e) {
            platform::DebugOutput(std::string("EX COULD NOT SAVE VALUE TO REGISTRY: ") + e.what());
        }
    }
}

TGlobalConfig::TGlobalConfig()
    : FLastMethodGuid(GUID_DEFAULT_METHOD), FLogFileDir(ProgramFolder() + "Logs/") {
    RegisterString("LastMethodGUID", FLastMethodGuid);
    RegisterString("LogFileDir", FLogFileDir);
}

// Saving happens here, while the derived fields still exist.
TGlobalConfig::~TGlobalConfig() {
    if (!RegPath().empty() && ForceSave())
        SaveToRegistry();
}

const std::string& ProgramFolder() {
    static const std::string folder = platform::ExecutableDir();
    return folder;
}

const std::string& DataFolder() {
    static const std::string folder = ProgramFolder() + "Data/";
    return folder;
}

const std::string& GraphicsFolder() {
    static const std::string folder = ProgramFolder() + "Graphics/";
    return folder;
}

const std::string& MethodFilePath() {
    static const std::string path = DataFolder() + "algorithm.xml";
    return path;
}

TGlobalConfig& GlobalConfig() {
    if (!ConfigSlot())
        throw std::logic_error("GlobalConfig used before InitializeGlobalConfig");
    return *ConfigSlot();
}

void InitializeGlobalConfig() {
    auto config = std::make_unique<TGlobalConfig>();
    config->SetRegPath(std::string(ProductRegistryKey));
    config->LoadFromRegistry();
    ConfigSlot() = std::move(config);
}

void FinalizeGlobalConfig() {
    ConfigSlot().reset();
}

} // namespace purgix
