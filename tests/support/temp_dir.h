// A temporary folder owned by a test.
#pragma once

#include <string>

namespace purgix::test {

// Creates a fresh folder below $TMPDIR (else /tmp) and removes it with everything inside when
// it goes out of scope.
class TempDir {
public:
    TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir();

    // The folder's path, with a trailing "/".
    const std::string& Path() const noexcept { return path_; }
    // Path() + name.
    std::string File(const std::string& name) const { return path_ + name; }

private:
    std::string path_;
};

// Writes `content` to `path` (replacing it); throws on failure.
void WriteFile(const std::string& path, const std::string& content);
// Reads the whole file; throws on failure.
std::string ReadFile(const std::string& path);

} // namespace purgix::test
