// Commands `methods` and `method`: the wipe methods of the method file.
#include "cli/cli.h"

#include "platform/text.h"

#include "wipe/patternclass.h"

#include <nlohmann/json.hpp>

#include <sys/stat.h>

#include <array>
#include <iomanip>
#include <iostream>

namespace purgix::cli {
namespace {

using nlohmann::json;

const char* TypeName(TPatternType t) {
    switch (t) {
    case pt_fixed:
        return "pt_fixed";
    case pt_random:
        return "pt_random";
    case pt_invert:
        return "pt_invert";
    }
    return "unknown";
}

json MethodSummary(const TWipeAlgorithm& m) {
    return {{"GUID", m.GUID()},
            {"Name", m.Name()},
            {"Readonly", m.Readonly()},
            {"PassCount", m.Count()}};
}

void PrintJson(std::ostream& out, const json& j) {
    // Names come from a user-editable file: bytes that are not UTF-8 are replaced, not fatal.
    out << j.dump(2, ' ', false, json::error_handler_t::replace) << '\n';
}

std::string PassText(const TWipeAlgorithm& m, std::int32_t i) {
    const TWipePattern& p = m.Items(i);
    switch (p.PatternType()) {
    case pt_fixed:
        return "pattern  " + p.Pattern();
    case pt_random:
        return "random   " + std::to_string(p.RandomLen()) + " bytes";
    case pt_invert:
        return i == 0 ? std::string("invert   (no previous pass)")
                      : "invert   complement of pass " + std::to_string(i);
    }
    return {};
}

} // namespace

void LoadMethods(const Context& ctx, TWipeAlgorithms& methods) {
    const std::string path = ctx.MethodFilePath();
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        throw std::runtime_error("method file not found: " + path);
    if (!methods.LoadFromXML(path))
        throw std::runtime_error("the method file holds no wipe method: " + path);
}

TWipeAlgorithm* ResolveMethod(const TWipeAlgorithms& methods, std::string_view key) {
    static constexpr std::array<std::pair<std::string_view, std::string_view>, 5> kShort = {{
        {"simple", GUID_SIMPLE_RANDOM},
        {"dod", GUID_DOD},
        {"schneier", GUID_SCHNEIER},
        {"vsitr", GUID_VSITR},
        {"gutmann", GUID_GUTMANN},
    }};
    const std::string lower = platform::AsciiLower(key);
    for (const auto& [name, guid] : kShort)
        if (lower == name)
            return methods.GetAlgorithmFromGUID(guid);
    if (TWipeAlgorithm* m = methods.GetAlgorithmFromGUID(key); m != nullptr && !key.empty())
        return m;
    for (std::int32_t i = 0; i < methods.Count(); ++i)
        if (methods.Items(i).Name() == key)
            return &methods.Items(i);
    for (std::int32_t i = 0; i < methods.Count(); ++i)
        if (platform::AsciiLower(methods.Items(i).Name()) == lower)
            return &methods.Items(i);
    return nullptr;
}

int CmdMethods(Context& ctx) {
    if (!Positionals(ctx).empty())
        throw UsageError("methods takes no arguments");
    TWipeAlgorithms methods;
    LoadMethods(ctx, methods);
    if (ctx.options.json) {
        json list = json::array();
        for (std::int32_t i = 0; i < methods.Count(); ++i)
            list.push_back(MethodSummary(methods.Items(i)));
        PrintJson(ctx.out, list);
        return kExitOk;
    }
    ctx.out << std::left << std::setw(40) << "GUID"
            << "  " << std::setw(6) << "Passes"
            << "  " << std::setw(9) << "Read-only"
            << "  Name\n";
    for (std::int32_t i = 0; i < methods.Count(); ++i) {
        const TWipeAlgorithm& m = methods.Items(i);
        ctx.out << std::left << std::setw(40) << m.GUID() << "  " << std::setw(6) << m.Count()
                << "  " << std::setw(9) << (m.Readonly() ? "yes" : "no") << "  " << m.Name()
                << '\n';
    }
    return kExitOk;
}

int CmdMethod(Context& ctx) {
    const std::vector<std::string> args = Positionals(ctx);
    if (args.size() != 1)
        throw UsageError("method takes one GUID or name");
    TWipeAlgorithms methods;
    LoadMethods(ctx, methods);
    const TWipeAlgorithm* m = ResolveMethod(methods, args[0]);
    if (m == nullptr)
        throw UsageError("no such method: " + args[0]);
    if (ctx.options.json) {
        json j = MethodSummary(*m);
        json passes = json::array();
        for (std::int32_t i = 0; i < m->Count(); ++i) {
            const TWipePattern& p = m->Items(i);
            passes.push_back({{"PatternType", TypeName(p.PatternType())},
                              {"Pattern", p.Pattern()},
                              {"RandomLen", p.RandomLen()}});
        }
        j["Passes"] = std::move(passes);
        PrintJson(ctx.out, j);
        return kExitOk;
    }
    ctx.out << "Name:       " << m->Name() << '\n'
            << "GUID:       " << m->GUID() << '\n'
            << "Read-only:  " << (m->Readonly() ? "yes" : "no") << '\n'
            << "Passes:     " << m->Count() << '\n';
    for (std::int32_t i = 0; i < m->Count(); ++i)
        ctx.out << "  " << std::right << std::setw(3) << i + 1 << "  " << PassText(*m, i) << '\n';
    return kExitOk;
}

} // namespace purgix::cli
