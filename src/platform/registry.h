// A small typed registry: keys with named values below two roots, each root one text file.
//
// HKEY_CURRENT_USER is the invoking user's $XDG_CONFIG_HOME/kestrelon/purgix/user.reg,
// HKEY_LOCAL_MACHINE is /etc/kestrelon/purgix/system.reg; PURGIX_REGISTRY_DIR moves both into
// one folder. Files are REGEDIT4-style text with strings in UTF-8:
//
//   REGEDIT4
//
//   [HKEY_CURRENT_USER\Software\Kestrelon\Purgix]
//   "LastMethodGUID"="{BF885CA0-4B5B-4016-9165-2421B7013045}"
//   "Count"=dword:0000000a
//
// Key and value names compare without regard to case and are stored as first written. Every
// change re-reads the file under an exclusive lock, applies itself and replaces the file
// atomically (temporary file, fsync, rename), so two processes never lose each other's values
// and a crash never leaves a torn file. A file that cannot be parsed is moved aside (kept) and
// the root starts empty. Folders and files are opened without following symbolic links below
// the base folder, since the user's folder belongs to a user who could plant a link.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace purgix::platform {

enum RegRootKey { HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE };

enum RegDataType : std::uint32_t {
    REG_NONE = 0,
    REG_SZ = 1,
    REG_EXPAND_SZ = 2,
    REG_BINARY = 3,
    REG_DWORD = 4,
    REG_MULTI_SZ = 7,
    REG_QWORD = 11,
};

struct RegValue {
    RegDataType type = REG_NONE;
    std::string text;                 // REG_SZ, REG_EXPAND_SZ
    std::vector<std::string> strings; // REG_MULTI_SZ
    std::uint64_t number = 0;         // REG_DWORD, REG_QWORD
    std::vector<std::uint8_t> bytes;  // REG_BINARY and any other type

    static RegValue String(std::string s, RegDataType t = REG_SZ);
    static RegValue Dword(std::uint32_t v);
    static RegValue Qword(std::uint64_t v);
    static RegValue Binary(std::vector<std::uint8_t> b);
    static RegValue MultiString(std::vector<std::string> s);
    bool operator==(const RegValue&) const = default;
};

// A change could not be stored (the file or its folder could not be written).
class ERegistryError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A registry file that cannot be parsed.
class ERegistryParseError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The file of a root (honours PURGIX_REGISTRY_DIR).
std::string RegistryFilePath(RegRootKey root);

// Access to one root, one open key at a time.
class TRegistry {
public:
    explicit TRegistry(RegRootKey root = HKEY_CURRENT_USER) : root_(root) {}

    RegRootKey RootKey() const noexcept { return root_; }
    void SetRootKey(RegRootKey root);

    // Opens a key: "\A\B" is absolute from the root, "A\B" relative to the open key. With
    // `canCreate` a missing key (and its parents) is created and stored; false when it cannot
    // be opened or created.
    bool OpenKey(const std::string& key, bool canCreate);
    bool OpenKeyReadOnly(const std::string& key);
    void CloseKey() noexcept;
    bool KeyExists(const std::string& key) const;
    bool DeleteKey(const std::string& key);
    // The open key's path without a leading "\" (as first written); empty at the root.
    const std::string& CurrentPath() const noexcept { return path_; }

    bool ValueExists(const std::string& name) const;
    RegDataType GetDataType(const std::string& name) const; // REG_NONE when missing
    std::optional<RegValue> ReadValue(const std::string& name) const;
    // Text of a REG_SZ / REG_EXPAND_SZ value; empty when missing or of another type.
    std::string ReadString(const std::string& name) const;

    // Writes into the open key. Throws ERegistryError when no key is open for writing or the
    // change cannot be stored.
    void WriteValue(const std::string& name, const RegValue& value);
    void WriteString(const std::string& name, const std::string& value) {
        WriteValue(name, RegValue::String(value));
    }
    void WriteExpandString(const std::string& name, const std::string& value) {
        WriteValue(name, RegValue::String(value, REG_EXPAND_SZ));
    }
    void WriteInteger(const std::string& name, std::uint32_t value) {
        WriteValue(name, RegValue::Dword(value));
    }
    bool DeleteValue(const std::string& name);

private:
    std::string Resolve(const std::string& key) const;

    RegRootKey root_;
    std::string path_;
    bool open_ = false;
    bool writable_ = false;
};

// The parsed form of one root's file; exposed for tests of the text format.
struct RegistryHive {
    struct Value {
        std::string name;
        RegValue value;
    };
    struct Key {
        std::string path; // "Software\Kestrelon\Purgix"
        std::vector<Value> values;
    };
    std::vector<Key> keys; // parents before children, in creation order

    Key* Find(const std::string& path);
    const Key* Find(const std::string& path) const;
    Key& Create(const std::string& path);
    bool Delete(const std::string& path); // the key and everything below it

    static RegistryHive Parse(const std::string& text, RegRootKey root);
    std::string Serialize(RegRootKey root) const;
};

} // namespace purgix::platform
