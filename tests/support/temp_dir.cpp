#include "support/temp_dir.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>

namespace purgix::test {

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = (base != nullptr && *base != '\0') ? base : "/tmp";
    if (tmpl.back() != '/')
        tmpl += '/';
    tmpl += "purgix-test-XXXXXX";
    if (::mkdtemp(tmpl.data()) == nullptr)
        throw std::system_error(errno, std::generic_category(), "mkdtemp " + tmpl);
    path_ = tmpl + "/";
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out.flush())
        throw std::runtime_error("cannot write " + path);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

} // namespace purgix::test
